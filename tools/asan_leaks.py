"""Reads the reports that AddressSanitizer wrote with log_path and fails when a leak was allocated
by the module (a frame of torrelm in its stack) or when any other sanitizer error occurred.

The interpreter leaves many allocations of its own behind at exit; they are counted, not failed.
"""

import re
import sys
from pathlib import Path


def main(folder: str) -> int:
    logs = sorted(Path(folder).glob("asan*"))
    ours, others, errors = [], 0, []
    for log in logs:
        text = log.read_text(errors="replace")
        errors += re.findall(r"^.*(?:ERROR: AddressSanitizer|runtime error).*$", text, re.M)
        for block in re.split(r"\n(?=(?:Direct|Indirect) leak of)", text):
            if not block.startswith(("Direct", "Indirect")):
                continue
            if "torrelm" in block:
                ours.append(block)
            else:
                others += 1
    print(f"sanitizer reports: {len(logs)} files, {len(errors)} errors, {len(ours)} leaks from the "
          f"module, {others} leaks of the interpreter's own at exit (ignored)")
    for line in errors:
        print(line)
    for block in ours:
        print("\n".join(block.splitlines()[:20]), "\n")
    return 1 if ours or errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
