"""Runs a representative workload under valgrind memcheck and fails on memory errors or on a
definite leak allocated by the module. The interpreter's own leftovers at exit are not counted.

    python tools/valgrind_check.py [LOG]
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

WORKLOAD = """
import sys
sys.path[:0] = [{tests!r}]
import runpy
from conftest import build
from test_leaks import BROKEN, exercise
from _torrelm import PrefixSearch
arguments = (build(), PrefixSearch.from_bytes(bytes(BROKEN)), build().to_bytes(), "cat",
             ["", "c", "a", "t", "r"], (10, [0, 1], [6, 4]), (10, [0, 1], [6]))
for _ in range(20):
    exercise(*arguments)
for example in {examples!r}:
    runpy.run_path(example, run_name="__main__")
"""


def main() -> int:
    log = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp()) / "memcheck.log"
    workload = WORKLOAD.format(tests=str(ROOT / "tests" / "python"),
                               # The Spark job needs Spark and its logs: make test-spark runs it.
                               examples=[str(p) for p in sorted((ROOT / "examples").glob("*.py"))
                                         if not p.name.startswith("spark_")])
    command = ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=none",
               "--num-callers=50", f"--log-file={log}", sys.executable, "-c", workload]
    result = subprocess.run(command, env={"PYTHONMALLOC": "malloc", "PATH": "/usr/bin:/bin"},
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        print(result.stderr[-4000:])
        return 1
    text = log.read_text(errors="replace")
    records = re.split(r"\n(?===\d+== \n==\d+== )", text)
    # What a module makes once, while it is imported (nanobind keeps torrelm._native's functions
    # and types for the life of the process), is not a leak of the work it does.
    once = [r for r in records if "definitely lost" in r and "torrelm" in r
            and ("PyModule_ExecDef" in r or "PyInit_" in r)]
    ours = [r for r in records if "definitely lost" in r and "torrelm" in r and r not in once]
    errors = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
    definite = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
    print(f"valgrind memcheck: {errors[-1] if errors else '?'} memory errors; definitely lost in all: "
          f"{definite.group(1) if definite else 0} bytes, of which allocated by the module: "
          f"{len(ours)} records, besides {len(once)} made once at import (log: {log})")
    for record in ours:
        print(record[:3000])
    return 1 if ours or (errors and errors[-1] != "0") else 0


if __name__ == "__main__":
    sys.exit(main())
