"""The search service: python -m torrelm serve [NAME=]INDEX...

Its modules import one way, each only those below it: options (the command's options and
configuration file), runner (the port, the workers, the stops), app (the Starlette app and its
routes), holders (the indexes and the videos' titles served, with their snapshots), then
observe (metrics and the access log), titles (the videos' titles as the workers map
them) and names. Nothing here is imported by
the library or by the command line but for the serve command itself.
"""

from __future__ import annotations

from typing import Any

__all__ = ["MAX_LIMIT", "RELOAD_INTERVAL", "create_app", "serve"]


def __getattr__(name: str) -> Any:
    # Lazily: the command line reads the options without importing Starlette or uvicorn.
    if name in ("create_app", "MAX_LIMIT", "_nearest_rank"):
        from . import app

        return getattr(app, name)
    if name == "serve":
        from .runner import serve

        return serve
    if name == "RELOAD_INTERVAL":
        from .holders import RELOAD_INTERVAL

        return RELOAD_INTERVAL
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
