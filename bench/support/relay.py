#!/usr/bin/env python3
"""A link-emulating TCP relay: listens on 127.0.0.1 and forwards every
connection to one server, as if client and server were joined by a real
link of a given round trip and rate.

Each direction is one emulated link shared by all connections (as on a real
line, parallel connections share its bandwidth): a block of data leaves when
the link has sent what came before it, at the rate, and arrives half a round
trip later. A new connection costs one round trip before its first byte
reaches the server, as TCP's handshake would. TCP's slow start and losses
are not emulated, so figures through the relay are a best case of a real
link of that round trip and rate.

Python API:

    with Relay(("127.0.0.1", 8080), rtt_ms=40, rate_mbit=50) as relay:
        relay.url                         # "http://127.0.0.1:<port>"
        relay.counts()                    # {"connections": n, "up": bytes, "down": bytes}

Command line (runs until SIGTERM/SIGINT, prints "PORT <n>" once it listens
and the counts when it stops):

    relay.py --to HOST:PORT [--port N] [--rtt-ms 40] [--rate-mbit 50]
"""

import argparse
import asyncio
import signal
import socket
import sys
import threading
import time

BLOCK = 16384  # read size: one block is 2.6 ms of a 50 Mbit/s link


class _Link:
    """One direction: when each block has been sent at the rate and then
    carried for half the round trip."""

    def __init__(self, rate_bytes_per_s, one_way_s):
        self.rate = rate_bytes_per_s
        self.one_way = one_way_s
        self.free_at = 0.0

    def arrival(self, size, now):
        start = max(now, self.free_at)
        self.free_at = start + size / self.rate
        return self.free_at + self.one_way


class Relay:
    def __init__(self, upstream, rtt_ms=40.0, rate_mbit=50.0, port=0):
        self.upstream = upstream
        self.rtt = rtt_ms / 1000.0
        self.rate_mbit = rate_mbit
        self.rtt_ms = rtt_ms
        self.port = port
        rate = rate_mbit * 1e6 / 8
        self._links = {"up": _Link(rate, self.rtt / 2), "down": _Link(rate, self.rtt / 2)}
        # what may wait in the relay per connection and direction: twice the
        # bandwidth-delay product, so that a fast sender is held back as a
        # real link's window would hold it
        self._held_max = max(4 * BLOCK, int(2 * rate * self.rtt))
        self._counts = {"connections": 0, "up": 0, "down": 0}
        self._lock = threading.Lock()
        self._loop = None
        self._thread = None
        self._server = None
        self._ready = threading.Event()
        self._error = None

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def counts(self):
        with self._lock:
            return dict(self._counts)

    def _count(self, key, amount):
        with self._lock:
            self._counts[key] += amount

    async def _pump(self, reader, writer, link, direction, not_before):
        """Carries one direction of one connection: reads as the link lets it,
        delivers each block at its arrival time, passes the end on."""
        queue = asyncio.Queue()
        held = [0]
        room = asyncio.Event()
        room.set()

        async def deliver():
            loop = asyncio.get_running_loop()
            while True:
                due, data = await queue.get()
                if data is None:
                    break
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                try:
                    writer.write(data)
                    await writer.drain()
                except (ConnectionError, OSError):
                    break
                held[0] -= len(data)
                if held[0] < self._held_max:
                    room.set()
            try:
                if writer.can_write_eof():
                    writer.write_eof()
            except (ConnectionError, OSError):
                pass

        delivering = asyncio.ensure_future(deliver())
        loop = asyncio.get_running_loop()
        due = loop.time()
        try:
            while True:
                await room.wait()
                try:
                    data = await reader.read(BLOCK)
                except (ConnectionError, OSError):
                    data = b""
                if not data:
                    break
                self._count(direction, len(data))
                due = link.arrival(len(data), max(loop.time(), not_before))
                held[0] += len(data)
                if held[0] >= self._held_max:
                    room.clear()
                queue.put_nowait((due, data))
        finally:
            # the end of the stream follows the data, half a round trip after it was seen
            queue.put_nowait((max(due, loop.time() + self.rtt / 2), None))
            await delivering

    async def _serve(self, client_reader, client_writer):
        self._count("connections", 1)
        loop = asyncio.get_running_loop()
        handshake_done = loop.time() + self.rtt
        try:
            server_reader, server_writer = await asyncio.open_connection(*self.upstream)
        except OSError:
            client_writer.close()
            return
        # the relay's own hops must add no delay: no Nagle waiting for an ACK
        for writer in (client_writer, server_writer):
            writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            await asyncio.gather(
                self._pump(client_reader, server_writer, self._links["up"], "up",
                           handshake_done),
                self._pump(server_reader, client_writer, self._links["down"], "down", 0.0))
        except asyncio.CancelledError:
            pass  # the relay stops
        finally:
            for writer in (client_writer, server_writer):
                writer.close()

    async def _main(self, stopping):
        self._server = await asyncio.start_server(self._serve, "127.0.0.1", self.port)
        self.port = self._server.sockets[0].getsockname()[1]
        self._ready.set()
        await stopping.wait()
        self._server.close()
        await self._server.wait_closed()

    def _run(self):
        self._loop = asyncio.new_event_loop()
        self._stopping = asyncio.Event()
        try:
            self._loop.run_until_complete(self._main(self._stopping))
        except Exception as error:  # reported to start()
            self._error = error
            self._ready.set()
        finally:
            pending = asyncio.all_tasks(self._loop)
            for task in pending:
                task.cancel()
            if pending:
                self._loop.run_until_complete(asyncio.gather(*pending, return_exceptions=True))
            self._loop.close()

    def start(self):
        self._thread = threading.Thread(target=self._run, name="relay", daemon=True)
        self._thread.start()
        self._ready.wait(10)
        if self._error is not None or not self._ready.is_set():
            raise RuntimeError("relay did not start: %s" % self._error)
        return self

    def stop(self):
        if self._loop is not None and self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._stopping.set)
            self._thread.join(10)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def measure(url_host, port, path, large_path=None):
    """Round trip of a tiny request on a fresh connection and on a kept one,
    and the rate of one large answer, through whatever joins us to the
    server: (first ms, kept ms, large bytes, large seconds)."""
    import http.client
    connection = http.client.HTTPConnection(url_host, port, timeout=60)
    began = time.monotonic()
    connection.request("HEAD", path)
    connection.getresponse().read()
    first = time.monotonic() - began
    kept = []
    for _ in range(5):
        began = time.monotonic()
        connection.request("HEAD", path)
        connection.getresponse().read()
        kept.append(time.monotonic() - began)
    size = seconds = 0
    if large_path:
        began = time.monotonic()
        connection.request("GET", large_path)
        answer = connection.getresponse()
        while True:
            block = answer.read(1 << 16)
            if not block:
                break
            size += len(block)
        seconds = time.monotonic() - began
    connection.close()
    return first * 1000, sorted(kept)[len(kept) // 2] * 1000, size, seconds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--to", required=True, help="HOST:PORT of the server")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--rtt-ms", type=float, default=40.0)
    parser.add_argument("--rate-mbit", type=float, default=50.0)
    args = parser.parse_args(argv)
    host, _, port = args.to.rpartition(":")
    relay = Relay((host or "127.0.0.1", int(port)), args.rtt_ms, args.rate_mbit,
                  args.port).start()
    print("PORT %d" % relay.port, flush=True)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    stop.wait()
    relay.stop()
    counts = relay.counts()
    print("connections %(connections)d, bytes up %(up)d, down %(down)d" % counts, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
