#!/usr/bin/env python3
"""Whole requests of libPelvane.so, compared as curl's own test suite does:
request line, every header in order and the body, with only User-Agent
stripped and the run's port and timing replaced by fixed words. The library
is loaded with ctypes and driven through its nine entry points against nginx,
the fault server and tinyproxy on 127.0.0.1, with a recording relay in front.

Run:  QOR_BIN_DIR=build/bin tests/pelvane/test_exact_requests.py
Exit status 77 means every case was skipped (a binary not built).
"""

import base64
import ctypes
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import servers  # noqa: E402  (path set up above)

BIN_DIR = os.environ.get("QOR_BIN_DIR", os.path.join(HERE, "..", "..", "build", "bin"))
LIBRARY = os.path.join(BIN_DIR, "libPelvane.so")
PUBLISHER = os.path.join(BIN_DIR, "qor-publish")
PRODUCT, APPLICATION, LANGUAGE = "ORVANE", "0_TEST_0_EN", "EN"
CHANNEL = "/%s/%s/%s" % (PRODUCT, APPLICATION, LANGUAGE)
# 102400 bytes that do not compress: the file travels as published, not as a
# compressed object in the bundle
SETUP = random.Random(7).randbytes(102400)
STRIP = ("User-Agent",)


def scrambled(password):
    """The stored form of a proxy password: hex digits shifted by the key
    letter 'q' in base 36, reversed."""
    digits = "0123456789abcdefghijklmnopqrstuvwxyz"
    hex_text = password.encode("latin-1").hex()
    key = digits.index("q")
    return "".join(digits[(key + digits.index(c)) % 36] for c in hex_text)[::-1]


class Library:
    """libPelvane.so through its C entry points."""

    def __init__(self):
        self.lib = ctypes.CDLL(LIBRARY)
        i32, p32, text = ctypes.c_int32, ctypes.POINTER(ctypes.c_int32), ctypes.c_char_p
        self.lib.initUpdInterEx.argtypes = [text] * 3 + [i32] + [text] * 10 + [i32, i32, text, text]
        self.lib.getVersionCount.argtypes = [p32]
        self.lib.getVersionInfo.argtypes = [i32, text, i32, text, i32, p32, p32, p32]
        self.lib.downloadUntil.argtypes = [text]
        self.lib.getStatusUpdInter.argtypes = [p32] * 5
        self.lib.getResultUpdInterEx.argtypes = [p32] * 3

    def run(self, pin, url, folder, stats_url="", user_proxy="", pswd_proxy=""):
        """A whole update; (APIErrorCode, primary, secondary) of its end."""
        args = [pin, PRODUCT, stats_url, 1, os.path.join(folder, "extract"),
                os.path.join(folder, "target"), os.path.join(folder, "flag"), user_proxy,
                pswd_proxy, url, "", APPLICATION, LANGUAGE, "1.0.0", 5000, 5000, "", ""]
        encoded = [a.encode() if isinstance(a, str) else a for a in args]
        self.lib.initUpdInterEx(*encoded)
        count = ctypes.c_int32(-1)
        self.lib.getVersionCount(ctypes.byref(count))
        if count.value >= 1:
            version = ctypes.create_string_buffer(1024)
            notes = ctypes.create_string_buffer(4096)
            n = [ctypes.c_int32() for _ in range(3)]
            self.lib.getVersionInfo(0, version, 1023, notes, 4095, *[ctypes.byref(x) for x in n])
            self.lib.downloadUntil(version.value)
            status = [ctypes.c_int32(-1) for _ in range(5)]
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                self.lib.getStatusUpdInter(*[ctypes.byref(s) for s in status])
                if status[0].value != 1:
                    break
                time.sleep(0.02)
        codes = [ctypes.c_int32() for _ in range(3)]
        self.lib.getResultUpdInterEx(*[ctypes.byref(c) for c in codes])
        self.lib.closeUpdInter()  # waits for the statistics note
        return tuple(c.value for c in codes)


def publish(repo, key_file):
    """Publishes 1.1.0 signed with a fresh key; returns the clients' pin."""
    done = subprocess.run([PUBLISHER, "keygen", "--out", key_file], stdout=subprocess.PIPE,
                          check=True, timeout=60)
    release = tempfile.mkdtemp(prefix="qor-requests-release-")
    try:
        with open(os.path.join(release, "setup.bin"), "wb") as f:
            f.write(SETUP)
        subprocess.run([PUBLISHER, "--repo", repo, "--product", PRODUCT, "--channel",
                        "%s/%s" % (APPLICATION, LANGUAGE), "--version", "1.1.0", "--key-file",
                        key_file, release], check=True, stdout=subprocess.DEVNULL, timeout=60)
    finally:
        shutil.rmtree(release, ignore_errors=True)
    return done.stdout.decode().strip()


class ExactRequests(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        missing = [p for p in (LIBRARY, PUBLISHER) if not os.path.exists(p)]
        if missing:
            raise unittest.SkipTest("not built: " + ", ".join(missing))
        # the library reads the proxy from the environment and, without one,
        # from the desktop's settings: keep this machine's out
        for name in ("http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                     "ALL_PROXY", "no_proxy", "NO_PROXY"):
            os.environ.pop(name, None)
        os.environ["GSETTINGS_BACKEND"] = "memory"
        cls.tmp = tempfile.mkdtemp(prefix="qor-requests-")
        cls.repo = os.path.join(cls.tmp, "repo")
        os.makedirs(cls.repo)
        # the library's accepted serials and base copies stay in the test's folder
        os.environ["XDG_STATE_HOME"] = os.path.join(cls.tmp, "state")
        os.environ["XDG_CACHE_HOME"] = os.path.join(cls.tmp, "cache")
        for name in ("PELVANE_BASE_STORE", "PELVANE_BASE_STORE_MAX_MIB", "PELVANE_CHUNKS"):
            os.environ.pop(name, None)
        cls.pin = publish(cls.repo, os.path.join(cls.tmp, "publisher.key"))
        cls.library = Library()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.folder = tempfile.mkdtemp(dir=self.tmp)
        # a base store of its own: one kept by an earlier test would add chunk requests
        os.environ["XDG_CACHE_HOME"] = os.path.join(self.folder, "cache")

    def serve(self, server):
        server.start()
        self.addCleanup(server.stop)
        recorder = servers.RequestRecorder(server.port).start()
        self.addCleanup(recorder.stop)
        return recorder

    def texts(self, recorder, replace=()):
        return [r.text(STRIP, replace) for r in recorder.requests()]

    def test_update_and_statistics_requests(self):
        recorder = self.serve(servers.Nginx(root=self.repo))
        host = "127.0.0.1:%d" % recorder.port
        codes = self.library.run(self.pin, recorder.url, self.folder,
                                 stats_url=recorder.url + "/stats")
        self.assertEqual(0, codes[0], "the update went through: %r" % (codes,))
        texts = self.texts(recorder, [(host, "HOST")])
        body_pattern = re.compile(r'"durationMs":\d+')
        self.assertEqual([
            "GET %s/channel.qor HTTP/1.1\r\nHost: HOST\r\nAccept: */*\r\n\r\n" % CHANNEL,
            "GET %s/1.1.0/list.json.zst HTTP/1.1\r\nHost: HOST\r\nAccept: */*\r\n\r\n" % CHANNEL,
            "GET %s/1.1.0/files/setup.bin HTTP/1.1\r\nHost: HOST\r\nAccept: */*\r\n\r\n"
            % CHANNEL,
            "POST /stats HTTP/1.1\r\nHost: HOST\r\nAccept: */*\r\n"
            "Content-Type: application/json\r\nContent-Length: %d\r\n\r\n"
            '{"product":"ORVANE","version":"1.1.0","outcome":"success","apiErrorCode":0,'
            '"error":"ok","durationMs":N}' % len(recorder.requests()[-1].body),
        ], [body_pattern.sub('"durationMs":N', t) for t in texts])

    def test_resumed_request_carries_range_and_validator(self):
        # the first answer breaks off after 40000 bytes; the retry resumes
        faults = servers.FaultServer(self.repo, rules=[
            {"path": CHANNEL + "/1.1.0/files/setup.bin", "kind": "drop", "after": 40000, "times": 1}])
        recorder = self.serve(faults)
        host = "127.0.0.1:%d" % recorder.port
        codes = self.library.run(self.pin, recorder.url, self.folder)
        self.assertEqual(0, codes[0], "the update went through: %r" % (codes,))
        fetches = [r for r in recorder.requests() if r.line.endswith("setup.bin HTTP/1.1")]
        self.assertEqual(2, len(fetches))
        etag = fetches[1].header("If-Range") or "missing"
        stat = os.stat(os.path.join(self.repo, CHANNEL.lstrip("/"), "1.1.0", "files", "setup.bin"))
        self.assertEqual('"%x-%x"' % (int(stat.st_mtime), stat.st_size), etag,
                         "the validator the server gave")
        self.assertEqual(
            "GET %s/1.1.0/files/setup.bin HTTP/1.1\r\nHost: HOST\r\nRange: bytes=40000-\r\n"
            "Accept: */*\r\nIf-Range: ETAG\r\n\r\n" % CHANNEL,
            fetches[1].text(STRIP, [(host, "HOST"), (etag, "ETAG")]))
        # the fault server's own record of the same request agrees
        seen = [r for r in faults.requests() if r["path"].endswith("setup.bin")]
        self.assertEqual(("GET %s/1.1.0/files/setup.bin HTTP/1.1" % CHANNEL, "bytes=40000-", etag),
                         (seen[1]["request_line"], seen[1]["range"], seen[1]["if_range"]))

    def test_request_through_the_proxy_with_credentials(self):
        web = servers.Nginx(root=self.repo).start()
        self.addCleanup(web.stop)
        recorder = self.serve(servers.Tinyproxy(user="orvane", password="s3cret-pw"))
        os.environ["http_proxy"] = recorder.url
        self.addCleanup(os.environ.pop, "http_proxy", None)
        codes = self.library.run(self.pin, web.url, self.folder, user_proxy="orvane",
                                 pswd_proxy=scrambled("s3cret-pw"))
        self.assertEqual(0, codes[0], "the update went through the proxy: %r" % (codes,))
        origin = "127.0.0.1:%d" % web.port
        credentials = base64.b64encode(b"orvane:s3cret-pw").decode()
        texts = []
        for text in self.texts(recorder, [(origin, "ORIGIN")]):
            # libcurl sends a request again, unchanged, when the proxy has
            # closed the kept-alive connection it went out on
            if not texts or texts[-1] != text:
                texts.append(text)
        # Each transfer handle (one for channel.qor, one for the download)
        # asks first without credentials to learn the proxy's scheme; after
        # the 407 it sends Basic credentials. tinyproxy answers in HTTP/1.0,
        # and libcurl repeats that one request in 1.0.
        def request(path, version="1.1", authorized=True):
            return ("GET http://ORIGIN%s/%s HTTP/%s\r\nHost: ORIGIN\r\n%sAccept: */*\r\n"
                    "Proxy-Connection: Keep-Alive\r\n\r\n"
                    % (CHANNEL, path, version,
                       "Proxy-Authorization: Basic %s\r\n" % credentials if authorized else ""))
        self.assertEqual([request("channel.qor", authorized=False),
                          request("channel.qor", "1.0"),
                          request("1.1.0/list.json.zst", authorized=False),
                          request("1.1.0/list.json.zst", "1.0"),
                          request("1.1.0/files/setup.bin")], texts)

    def test_behind_a_cache_the_versions_come_from_it_and_the_top_level_is_revalidated(self):
        repo = os.path.join(self.folder, "repo")
        shutil.copytree(self.repo, repo)
        web = servers.Nginx(root=repo).start()
        self.addCleanup(web.stop)
        cache = servers.Varnish(web.port, channel_ttl=3).start()
        self.addCleanup(cache.stop)
        origin = lambda: [" ".join(line.split()[1:3]) for line in web.access_lines()]

        def run(name):
            # each client a base store of its own: all it needs comes over the wire
            os.environ["XDG_CACHE_HOME"] = os.path.join(self.folder, name, "cache")
            return self.library.run(self.pin, cache.url, os.path.join(self.folder, name))[0]
        self.assertEqual(0, run("first"))
        self.assertEqual(["%s/channel.qor 200" % CHANNEL, "%s/1.1.0/list.json.zst 200" % CHANNEL,
                          "%s/1.1.0/files/setup.bin 200" % CHANNEL], origin())
        # a second client within the top level's time in the cache: nothing reaches the origin
        self.assertEqual(0, run("second"))
        self.assertEqual(3, len(origin()), origin())
        # once that time is over the cache revalidates it; the version objects stay cached
        time.sleep(3.5)
        self.assertEqual(0, run("third"))
        self.assertEqual(["%s/channel.qor 304" % CHANNEL], origin()[3:])
        # a publication is seen once the top level's time in the cache is over
        release = os.path.join(self.folder, "release")
        os.makedirs(release)
        with open(os.path.join(release, "setup.bin"), "wb") as f:
            f.write(SETUP[::-1])
        subprocess.run([PUBLISHER, "--repo", repo, "--product", PRODUCT, "--channel",
                        "%s/%s" % (APPLICATION, LANGUAGE), "--version", "1.2.0", "--key-file",
                        os.path.join(self.tmp, "publisher.key"), release], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        time.sleep(3.5)
        self.assertEqual(0, run("fourth"))
        with open(os.path.join(self.folder, "fourth", "target", "setup.bin"), "rb") as f:
            self.assertEqual(SETUP[::-1], f.read())
        self.assertIn("%s/channel.qor 200" % CHANNEL, origin()[4:])
        self.assertIn("%s/1.2.0/files/setup.bin 200" % CHANNEL, origin()[4:])
        self.assertNotIn("%s/1.1.0/files/setup.bin 200" % CHANNEL, origin()[4:])


def main():
    result = unittest.main(exit=False, verbosity=2).result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0)


if __name__ == "__main__":
    main()
