"""How long a batch call keeps Ctrl-C waiting: from the signal to the KeyboardInterrupt.

An index of 200,000 random words; complete_many, suggest_many and videos_many over 300,000 short
texts (a few microseconds of work each, so that most of a batch of completions is spent making
its result lists), interrupted at several points of the call. The signal is SIGALRM from a
kernel timer with the handler Ctrl-C has (signal.default_int_handler), so that its moment is
known to the microsecond; it takes the same path as SIGINT. Target: 100 ms at most.

    python bench/bench_interrupt.py
"""

from __future__ import annotations

import random
import signal
import time

import torrelm

AFTER = (0.1, 0.5, 1.0, 3.0, 6.0, 12.0)


def main() -> None:
    rng = random.Random(0)
    letters = "abcdefghij"
    terms = {"".join(rng.choices(letters, k=rng.randint(3, 12))) for _ in range(200_000)}
    index = torrelm.build([(t, i, rng.randint(1, 1000)) for i, t in enumerate(terms)])
    texts = ["".join(rng.choices(letters, k=rng.randint(1, 4))) for _ in range(300_000)]
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    for method in ("complete_many", "suggest_many", "videos_many"):
        call = getattr(index, method)
        start = time.perf_counter()
        call(texts)
        whole = time.perf_counter() - start
        waits = []
        for after in AFTER:
            if after >= whole:
                continue
            signal.setitimer(signal.ITIMER_REAL, after)
            start = time.perf_counter()
            try:
                call(texts)
                waits.append(float("nan"))
            except KeyboardInterrupt:
                waits.append((time.perf_counter() - start - after) * 1000)
        shown = ", ".join(f"{wait:.0f}" for wait in waits)
        print(f"{method}: whole batch {whole:.1f} s; ms from the signal to KeyboardInterrupt "
              f"at {', '.join(f'{a:g}' for a in AFTER[:len(waits)])} s: {shown} "
              f"(most {max(waits):.0f})")


if __name__ == "__main__":
    main()
