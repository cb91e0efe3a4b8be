"""Reads the reports that AddressSanitizer wrote with log_path and fails when a leak was allocated
by the module (a frame of torrelm in its stack) or when any other sanitizer error occurred.

The interpreter leaves many allocations of its own behind at exit; they are counted, not failed.
So are the objects a module makes once while it is imported (nanobind keeps the functions and
types of torrelm._native for the life of the process): they cannot grow with use.
"""

import re
import sys
from pathlib import Path


def main(folder: str) -> int:
    logs = sorted(Path(folder).glob("asan*"))
    ours, others, imported, errors = [], 0, 0, []
    for log in logs:
        text = log.read_text(errors="replace")
        errors += re.findall(r"^.*(?:ERROR: AddressSanitizer|runtime error).*$", text, re.M)
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of)", text):
            if not block.startswith(("Direct", "Indirect")):
                continue
            if "torrelm" in block and re.search(r"\bin (PyModule_ExecDef|PyInit_)", block):
                imported += 1
            elif "torrelm" in block:
                ours.append(block)
            else:
                others += 1
    print(f"sanitizer reports: {len(logs)} files, {len(errors)} errors, {len(ours)} leaks from the "
          f"modules, {imported} made once by their import and {others} of the interpreter's own at "
          f"exit (ignored)")
    for line in errors:
        print(line)
    for block in ours:
        print("\n".join(block.splitlines()[:20]), "\n")
    return 1 if ours or errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
