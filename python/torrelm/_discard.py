"""Freeing the partial answers of a batch stopped by Ctrl-C.

A batch of a few hundred thousand texts makes millions of result tuples; freeing them at once
holds the interpreter for most of a second, which would come between Ctrl-C and the
KeyboardInterrupt. They are freed here instead, a few hundred lists at a time on a thread of
their own, which gives the interpreter back between two of them."""

from __future__ import annotations

import threading

# Lists of result lists still to free, and the thread that frees them while there are any.
_pending: list[list[object]] = []
_lock = threading.Lock()
_freeing = False
_CHUNK = 256


def discard_later(items: list[object]) -> None:
    """Takes `items`, which nothing else refers to, and frees it in the background."""
    global _freeing
    with _lock:
        _pending.append(items)
        if _freeing:
            return
        _freeing = True
    try:
        threading.Thread(target=_free, name="torrelm-discard", daemon=True).start()
    except RuntimeError:  # no thread to be had (or the interpreter is shutting down): now
        _free()


def _free() -> None:
    global _freeing
    while True:
        with _lock:
            if not _pending:
                _freeing = False
                return
            items = _pending[-1]
            if len(items) <= _CHUNK:
                _pending.pop()
        # Outside the lock: freeing what the chunk held takes the most time.
        del items[-_CHUNK:]
