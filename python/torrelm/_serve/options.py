"""The serve command's options: from the command line and from a TOML file (--config), the
command line winning, checked before anything starts. The top of the service's modules: it
imports the others only to run the command."""

from __future__ import annotations

import argparse
import os
import sys
import tomllib
from typing import Any, NoReturn, Protocol

from .._storage import _read_small
from .names import DEFAULT_NAME, INDEX_NAME

# The largest configuration file read: a few options take a few hundred bytes.
MAX_CONFIG_BYTES = 1 << 20

SERVE_HELP = """\
Serves one or more indexes over HTTP: JSON endpoints /api/complete, /api/suggest and /api/videos
(each taking q, limit and max_dist), /api/typeahead (q, limit, videos: what the page asks on
every keystroke), each with index=NAME to pick an index; /healthz, /stats, /metrics (Prometheus)
and a search page at /. Give each index as NAME=FILE (the first answers requests naming none),
or one FILE alone, named "default". Every worker maps the same private snapshot of each index
file (a copy the service keeps), so they share one copy of it and none dies if a file is
rewritten or truncated in place; each picks up a newer file, replaced or rewritten, within half a
second once it is complete (idle or not), keeping the old one if the new one fails its checks.
SIGTERM or Ctrl-C stops it without losing a request: it stops accepting, answers what was sent
(queued connections, and the next request on each keep-alive connection), removes its
snapshots and exits 0. A port already taken, by this service or another, fails at once.
Options may come from a TOML file (--config), with the long option names as keys; the command
line wins."""

# What each option is when not given, under its argparse name.
DEFAULTS: dict[str, Any] = {
    "index": [], "host": "127.0.0.1", "port": 8000, "workers": 1, "max_text": 256,
    "max_dist_limit": 2, "snapshot_dir": None, "map_in_place": False, "search_url": None,
    "videos": None, "access_log": None, "cors_origin": [], "graceful_timeout": 10,
    "idle_timeout": 10, "max_connections": 10_000, "block": None,
}
# The kind of value each key of the configuration file takes; the keys are the long options'
# names (with dashes or underscores), and "indexes" for the index files.
_KINDS = {"indexes": "indexes", "host": "text", "port": "integer", "workers": "integer",
          "max_text": "integer", "max_dist_limit": "integer", "snapshot_dir": "path",
          "map_in_place": "boolean", "search_url": "text", "videos": "path",
          "access_log": "log", "cors_origin": "texts", "graceful_timeout": "integer",
          "idle_timeout": "integer", "max_connections": "integer", "block": "path"}


class _Failing(Protocol):
    def error(self, message: str) -> NoReturn: ...


def add_serve_parser(commands: Any) -> argparse.ArgumentParser:
    """The serve command's parser. Every option is left out of the namespace when not given
    (argparse.SUPPRESS), so that settings() tells the command line from the file."""
    serve: argparse.ArgumentParser = commands.add_parser(
        "serve", help="serve indexes over HTTP, with a search page", description=SERVE_HELP,
        argument_default=argparse.SUPPRESS)
    serve.add_argument("index", nargs="*", metavar="[NAME=]INDEX",
                       help="an index file to serve, named NAME (letters, digits, '_', '.', "
                       "'-'); one file alone is named 'default'")
    serve.add_argument("--config", metavar="FILE",
                       help="a TOML file of options: the long names as keys, e.g. port = 8080, "
                       "cors-origin = ['https://a.example'], and indexes = {en = 'en.idx'}")
    serve.add_argument("--host", help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=int, help="port (default 8000)")
    serve.add_argument("--search-url", metavar="URL",
                       help="where the page's Enter sends the text typed when no completion is "
                       "chosen: a URL with {q} for the text, e.g. "
                       "'https://videos.example/results?q={q}' (default: nowhere)")
    serve.add_argument("--workers", type=int, metavar="N", help="worker processes (default 1)")
    serve.add_argument("--max-text", type=int, metavar="N",
                       help="the longest q taken, in characters (default 256)")
    serve.add_argument("--max-dist-limit", type=int, metavar="N",
                       help="the largest max_dist a request may ask for (default 2)")
    serve.add_argument("--videos", metavar="FILE",
                       help="a Parquet or CSV file of the videos' titles (columns id and title, "
                       "maybe thumbnail and url), joined into the videos answered and read "
                       "again when it is replaced")
    serve.add_argument("--access-log", metavar="PATH",
                       help="append a JSON line per request to PATH ('-': standard output; "
                       "default: no access log)")
    serve.add_argument("--cors-origin", action="append", metavar="ORIGIN",
                       help="let pages from ORIGIN (e.g. https://videos.example) call the "
                       "service from a browser; repeat for several (default: none)")
    serve.add_argument("--graceful-timeout", type=int, metavar="SECONDS",
                       help="on SIGTERM or Ctrl-C, how long requests in flight may take to "
                       "finish (default 10)")
    serve.add_argument("--block", metavar="FILE",
                       help="a block list: a line a term, '~word' a word, '#' a comment; no "
                       "completion, suggestion or correction matching it is answered (folded "
                       "as the index folds), and the file is read again when it is replaced, "
                       "so a term is pulled within a second without a rebuild")
    serve.add_argument("--idle-timeout", type=int, metavar="SECONDS",
                       help="close a connection that sends no request for this long (default "
                       "10; a keep-alive connection waits 5 s for its next request)")
    serve.add_argument("--max-connections", type=int, metavar="N",
                       help="connections each worker keeps open at most, within its limit of "
                       "open files, which the service raises to the most it may; past it the "
                       "connection idle longest is closed (default 10000)")
    mapped = serve.add_mutually_exclusive_group()
    mapped.add_argument("--snapshot-dir", metavar="DIR",
                        help="where the service makes its folder of snapshots and metrics "
                        "(default: the system's temporary folder); on the indexes' own file "
                        "system, a copy can share their blocks (Btrfs, XFS)")
    mapped.add_argument("--map-in-place", action="store_true",
                        help="map each index file itself, with no snapshot: no copy's space or "
                        "time, but a worker dies if a file is rewritten or truncated in place; "
                        "only for files always replaced by renaming, as torrelm.save does")
    return serve


def _config(path: str, parser: _Failing) -> dict[str, Any]:
    """The options in the TOML file at `path`, under their argparse names, paths in it taken
    from the file's folder."""
    try:
        text, _ = _read_small(path, MAX_CONFIG_BYTES, "configuration file")
        table = tomllib.loads(text.decode())
    except OSError as error:
        parser.error(f"--config {path}: {error.strerror or error}")
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        parser.error(f"--config {path}: not TOML: {error}")
    except ValueError as error:  # not a regular file, or too large
        parser.error(f"--config {path}: {error}")
    folder = os.path.dirname(os.path.abspath(path))

    def located(value: str) -> str:
        return os.path.join(folder, os.path.expanduser(value))

    found: dict[str, Any] = {}
    for key, value in table.items():
        name = key.replace("-", "_")
        kind = _KINDS.get(name)

        def wrong(wanted: str) -> NoReturn:
            parser.error(f"--config {path}: {key} must be {wanted}, not {value!r}")

        if kind is None:
            parser.error(f"--config {path}: unknown key {key!r} (the keys are "
                         f"{', '.join(k.replace('_', '-') for k in _KINDS)})")
        if kind == "integer" and (isinstance(value, bool) or not isinstance(value, int)):
            wrong("a whole number")
        if kind == "boolean" and not isinstance(value, bool):
            wrong("true or false")
        if kind in ("text", "path", "log") and not isinstance(value, str):
            wrong("a string")
        if kind in ("path", "log") and value != "-":
            value = located(value)
        if kind == "texts":
            value = [value] if isinstance(value, str) else value
            if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
                wrong("a string or a list of strings")
        if kind == "indexes":
            if isinstance(value, str):
                value = [value]
            if isinstance(value, dict) and all(isinstance(v, str) for v in value.values()):
                value = [f"{k}={located(v)}" for k, v in value.items()]
            elif isinstance(value, list) and all(isinstance(v, str) for v in value):
                value = [_located_index(v, located) for v in value]
            else:
                wrong("a table of names and files, or a list of [NAME=]FILE strings")
            name = "index"
        found[name] = value
    return found


def _located_index(given: str, located: Any) -> str:
    name, sep, path = given.partition("=")
    return f"{name}={located(path)}" if sep and "/" not in name else located(given)


def named_indexes(given: list[str], parser: _Failing) -> dict[str, str]:
    """{name: file} of the INDEX arguments, in their order: NAME=FILE, or a FILE alone
    (DEFAULT_NAME). A FILE whose own name holds '=' is written with its folder: ./a=b.idx."""
    named: dict[str, str] = {}
    for item in given:
        name, sep, path = item.partition("=")
        if not sep or "/" in name:
            name, path = DEFAULT_NAME, item
        elif not INDEX_NAME.fullmatch(name):
            parser.error(f"{item!r}: {name!r} cannot name an index: use letters, digits, '_', "
                         "'.' and '-', starting with a letter or digit (64 at most)")
        if not path:
            parser.error(f"{item!r}: no index file after '='")
        if name in named:
            parser.error(f"two indexes are named {name!r}: give each file as NAME=FILE with "
                         "names of its own")
        named[name] = path
    if not named:
        parser.error("no index to serve: give INDEX, or indexes in --config")
    return named


def settings(args: argparse.Namespace, parser: _Failing) -> argparse.Namespace:
    """The serve command's settings: the command line's options, then the file's, then the
    defaults; checked, with the indexes as {name: file} under `indexes`."""
    given = {k: v for k, v in vars(args).items() if k not in ("command", "run", "config")}
    from_file = _config(args.config, parser) if getattr(args, "config", None) else {}
    # One of the two ways to map the files, the command line's if it names one.
    if "map_in_place" in given or "snapshot_dir" in given:
        from_file.pop("map_in_place", None)
        from_file.pop("snapshot_dir", None)
    elif from_file.get("map_in_place") and from_file.get("snapshot_dir") is not None:
        parser.error(f"--config {args.config}: snapshot-dir and map-in-place exclude each other")
    merged = {**DEFAULTS, **from_file, **{k: v for k, v in given.items() if v != []}}
    result = argparse.Namespace(**{**vars(args), **merged})
    if result.workers < 1:
        parser.error("--workers must be at least 1")
    if not 0 <= result.port <= 65535:
        parser.error("--port must be between 0 and 65535")
    if result.max_text < 0 or result.max_dist_limit < 0:
        parser.error("--max-text and --max-dist-limit cannot be negative")
    if result.graceful_timeout < 0:
        parser.error("--graceful-timeout cannot be negative")
    if result.idle_timeout < 1 or result.max_connections < 1:
        parser.error("--idle-timeout and --max-connections must be at least 1")
    if result.snapshot_dir is not None and not os.path.isdir(result.snapshot_dir):
        parser.error(f"--snapshot-dir {result.snapshot_dir}: no such folder")
    if result.search_url is not None and "{q}" not in result.search_url:
        parser.error(f"--search-url {result.search_url!r} has no {{q}} for the text typed")
    result.indexes = named_indexes(result.index, parser)
    return result


def serve_command(args: argparse.Namespace) -> int:
    import importlib.util

    if not all(importlib.util.find_spec(name) for name in
               ("prometheus_client", "starlette", "uvicorn")):
        # Found, not imported: prometheus_client picks its mode at import, from an environment
        # the service sets up later.
        raise SystemExit("torrelm serve: needs Starlette, uvicorn and prometheus_client: pip "
                         "install 'torrelm[serve]'") from None
    from . import serve
    from .observe import AccessLog

    if args.access_log is not None:
        try:
            AccessLog.open(args.access_log).close()
        except OSError as error:
            raise SystemExit(f"torrelm serve: --access-log {args.access_log}: "
                             f"{error.strerror or error}") from None

    def announce(line: str) -> None:
        print(f"torrelm serve: {line}", file=sys.stderr, flush=True)

    serve(args.indexes, host=args.host, port=args.port, workers=args.workers,
          max_text=args.max_text, max_dist=args.max_dist_limit, snapshot_dir=args.snapshot_dir,
          map_in_place=args.map_in_place, search_url=args.search_url, videos=args.videos,
          access_log=args.access_log, cors_origins=args.cors_origin,
          graceful_timeout=args.graceful_timeout, idle_timeout=args.idle_timeout,
          max_connections=args.max_connections, block=args.block, announce=announce)
    return 0
