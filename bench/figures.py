"""What the benchmark scripts share: memory of the process, indexes kept between runs, and the
options every script that feeds the performance report takes (--only, --json, --markdown)."""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

libc = ctypes.CDLL("libc.so.6")


def rss() -> int:
    """Resident bytes of this process, after giving back what the allocator holds free."""
    gc.collect()
    libc.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def measured_build(make: Callable[[], Any]) -> tuple[Any, float, int]:
    """(object, seconds, bytes of resident memory it added)."""
    before = rss()
    start = time.perf_counter()
    built = make()
    seconds = time.perf_counter() - start
    return built, seconds, rss() - before


def peak_growth(make: Callable[[], Any]) -> tuple[Any, float, int, int]:
    """(object, seconds, bytes of resident memory it added, the most it added at any moment):
    the peak is the process's high-water mark (VmHWM), reset before the build."""
    before = rss()
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets VmHWM to the current resident size
    start = time.perf_counter()
    built = make()
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as status:
        peak = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    return built, seconds, rss() - before, peak - before


def cached_index(path: Path, make: Callable[[], Any], log: Callable[[str], None]) -> Path:
    """`path`, built by make() and saved unless a previous run left a sound one there."""
    import torrelm

    if path.exists():
        try:
            torrelm.open(path, verify=True)
            log(f"  reusing {path} ({path.stat().st_size / 1e6:,.0f} MB)")
            return path
        except ValueError as problem:
            log(f"  rebuilding {path}: {problem}")
    start = time.perf_counter()
    index = make()
    built = time.perf_counter() - start
    torrelm.save(index, path)
    log(f"  built {path.name}: {len(index):,} terms in {built:.1f} s, "
        f"{path.stat().st_size / 1e6:,.0f} MB")
    del index
    gc.collect()
    return path


def add_report_options(parser: argparse.ArgumentParser, sections: Sequence[str]) -> None:
    """--only, --json and --markdown, as every script of the report takes them."""
    parser.add_argument("--only", default=",".join(sections),
                        help=f"comma-separated sections, of {','.join(sections)}")
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    parser.add_argument("--markdown", type=Path,
                        help="print the report section of the figures in this --json file, and stop")


def chosen_sections(parser: argparse.ArgumentParser, options: argparse.Namespace,
                    sections: Sequence[str],
                    report_lines: Callable[[dict], list[str]]) -> list[str] | None:
    """The sections --only names, or None once --markdown has printed its section."""
    if options.markdown:
        print("\n".join(report_lines(json.loads(options.markdown.read_text()))))
        sys.stdout.flush()
        return None
    chosen = [s.strip() for s in options.only.split(",") if s.strip()]
    unknown = set(chosen) - set(sections)
    if unknown:
        parser.error(f"unknown sections {sorted(unknown)}; choose from {','.join(sections)}")
    return chosen


def print_figure_rows(rows: Sequence[tuple[str, str, str, bool | None]],
                      log: Callable[[str], None], value_width: int = 12,
                      target_width: int = 10) -> None:
    """The summary a script ends with: each figure, what it measured, its target, and whether it
    met it (blank where it has none)."""
    if not rows:
        return
    width = max(len(r[0]) for r in rows)
    log("")
    log(f"{'figure':<{width}}  {'measured':>{value_width}}  {'target':<{target_width}}  met")
    for label, value, target, met in rows:
        verdict = "" if met is None else "yes" if met else "NO"
        log(f"{label:<{width}}  {value:>{value_width}}  {target:<{target_width}}  {verdict}")
