#!/usr/bin/env python3
"""Runs nginx from tests/support/servers.py on ROOT until SIGTERM, writing
"<port> <access log path>" to INFO_FILE once it listens."""
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "support"))
from servers import Nginx  # noqa: E402


def main():
    root, info = sys.argv[1], sys.argv[2]
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *a: stop.set())
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    web = Nginx(root).start()
    try:
        with open(info + ".tmp", "w") as f:
            f.write("%d %s\n" % (web.port, web.access_log))
        os.replace(info + ".tmp", info)
        while not stop.is_set():
            stop.wait(0.2)
    finally:
        web.stop()


if __name__ == "__main__":
    main()
