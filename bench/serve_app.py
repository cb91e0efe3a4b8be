"""The service's app for the server stacks bench_serve.py compares (its closed section).

Every stack starts the same app from an import string, `serve_app:app` with the factory flag,
in worker processes that find their settings in the environment:
  TORRELM_BENCH_INDEX    the index file, mapped in place (the bench never rewrites it)
  TORRELM_BENCH_INLINE   "1": run_in_threadpool, as the service's holders imported it, is replaced by a
                         coroutine that calls the function directly. On a service that hands its
                         queries to Starlette's thread pool this predicts the same service calling
                         them inline; on one that calls them inline already, it only moves the
                         opening of a reloaded file onto the event loop.

`python serve_app.py HOST PORT` runs one uvicorn process (httptools, uvloop) on a socket of its
own bound with SO_REUSEPORT: several of them on one port are workers among which the kernel
spreads the connections evenly, where workers that share one listening socket take whatever
connection each happens to accept first.
"""

from __future__ import annotations

import os
import socket
import sys


def app():
    import torrelm._serve as served
    import torrelm._serve.holders as holders

    if os.environ.get("TORRELM_BENCH_INLINE") == "1":
        async def direct(function, *args, **kwargs):
            return function(*args, **kwargs)

        holders.run_in_threadpool = direct
    return served.create_app(os.environ["TORRELM_BENCH_INDEX"], map_in_place=True)


def reuseport_socket(host: str, port: int) -> socket.socket:
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    sock.bind((host, port))
    sock.listen(2048)
    sock.set_inheritable(True)
    return sock


def main() -> None:
    import uvicorn

    host, port = sys.argv[1], int(sys.argv[2])
    sock = reuseport_socket(host, port)
    config = uvicorn.Config(app, factory=True, loop="uvloop", http="httptools",
                            log_level="warning", access_log=False)
    uvicorn.Server(config).run(sockets=[sock])


if __name__ == "__main__":
    main()
