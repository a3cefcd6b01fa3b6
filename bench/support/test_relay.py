#!/usr/bin/env python3
"""The benchmarks' link-emulating relay: what it carries arrives whole and in
order, the end of a stream is passed on, the round trip and the rate are
never beaten (only lower bounds: a loaded machine may be slower, never
faster), parallel connections share the rate, and its counts are exact."""

import os
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay import Relay  # noqa: E402

RTT_MS, RATE_MBIT = 100.0, 8.0  # 1 MB/s: 100 KB take at least 0.1 s


class EchoServer:
    """Answers each connection with its bytes, reversed in blocks, once the
    client has half-closed, then closes."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            conn.sendall(bytes(reversed(read_to_end(conn))))


def read_to_end(conn):
    received = bytearray()
    while True:
        block = conn.recv(65536)
        if not block:
            return bytes(received)
        received += block


def exchange(port, payload):
    """Sends payload, half-closes, returns what came back and the seconds."""
    began = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=20) as conn:
        conn.sendall(payload)
        conn.shutdown(socket.SHUT_WR)
        answer = read_to_end(conn)
    return answer, time.monotonic() - began


class RelayTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = EchoServer()

    def test_bytes_arrive_whole_after_the_handshake_round_trip_and_the_rate(self):
        payload = os.urandom(100_000)
        with Relay(("127.0.0.1", self.server.port), RTT_MS, RATE_MBIT) as relay:
            answer, seconds = exchange(relay.port, payload)
            counts = relay.counts()
        self.assertEqual(answer, bytes(reversed(payload)))
        # handshake, the request at 1 MB/s, half a round trip up, the answer
        # at 1 MB/s once it is all there, half a round trip down
        self.assertGreaterEqual(seconds, 0.1 + 0.1 + 0.05 + 0.1 + 0.05)
        self.assertEqual(counts, {"connections": 1, "up": 100_000, "down": 100_000})

    def test_parallel_connections_share_the_rate(self):
        payload = os.urandom(100_000)
        results = []
        with Relay(("127.0.0.1", self.server.port), RTT_MS, RATE_MBIT) as relay:
            began = time.monotonic()
            threads = [threading.Thread(target=lambda: results.append(exchange(relay.port,
                                                                               payload)))
                       for _ in range(3)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            seconds = time.monotonic() - began
            counts = relay.counts()
        self.assertEqual([answer for answer, _ in results], [bytes(reversed(payload))] * 3)
        # the answers wait for the first whole request (handshake, 0.1 s of
        # upload, half a round trip), then 300 KB share the 1 MB/s way down
        # (a rate per connection would take 0.4 s)
        self.assertGreaterEqual(seconds, 0.1 + 0.1 + 0.05 + 0.3 + 0.05)
        self.assertEqual(counts, {"connections": 3, "up": 300_000, "down": 300_000})


if __name__ == "__main__":
    unittest.main()
