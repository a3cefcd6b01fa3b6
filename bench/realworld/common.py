"""Shared pieces of the real-world benchmark: the cache folder, measured
child processes, release trees as path -> file maps, deterministic tars,
libzstd through ctypes and a small store of computed figures."""

import ctypes
import ctypes.util
import hashlib
import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

# Bump when a figure is computed differently, so that cached figures of the
# old recipe are not mixed with new ones.
RECIPE = 3


def default_cache():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(base, "qor-bench", "realworld")


def log(text):
    print(time.strftime("%H:%M:%S ") + text, flush=True)


class Measured:
    """What one child process cost: wall and CPU seconds, peak RSS and peak
    anonymous memory in bytes; timed_out when it was killed for running too
    long."""

    def __init__(self, status, wall, cpu, peak_rss, timed_out=False, peak_anon=0):
        self.status, self.wall, self.cpu, self.peak_rss = status, wall, cpu, peak_rss
        self.timed_out, self.peak_anon = timed_out, peak_anon


def _descendants(pid):
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        try:
            with open("/proc/%d/task/%d/children" % (p, p)) as f:
                kids = [int(k) for k in f.read().split()]
        except OSError:
            continue
        found += kids
        todo += kids
    return found


def _anon_bytes(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


class AnonSampler(threading.Thread):
    """Samples the anonymous resident memory of a process' descendants every
    5 ms and keeps the peak. RSS counts the pages of mapped files too (the
    client maps its sources and targets), so it overstates what a run takes
    from the machine; a spike shorter than the period can be missed."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.peak, self.done = pid, 0, threading.Event()

    def run(self):
        while not self.done.wait(0.005):
            self.peak = max([self.peak] + [_anon_bytes(p) for p in _descendants(self.pid)])


def run_measured(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=None,
                 timeout=None):
    """Runs command to its end, or kills it after timeout seconds. GNU time
    runs it and reports its peak RSS: on Linux a child that execs keeps the
    memory high-water mark of the process it was forked from, so wait4 here
    would report this Python process' size. wait4 on time gives the CPU of
    time and command together (time's own share is negligible)."""
    started = time.monotonic()
    with tempfile.NamedTemporaryFile("r", prefix="measured-") as report:
        child = subprocess.Popen(["/usr/bin/time", "-q", "-f", "%M", "-o", report.name, "--"]
                                 + list(command), stdout=stdout, stderr=stderr, env=env,
                                 start_new_session=True)
        fired = threading.Event()

        def kill():
            fired.set()
            os.killpg(child.pid, signal.SIGKILL)

        timer = threading.Timer(timeout, kill) if timeout else None
        if timer:
            timer.start()
        sampler = AnonSampler(child.pid)
        sampler.start()
        try:
            _, status, usage = os.wait4(child.pid, 0)
        finally:
            sampler.done.set()
            sampler.join()
            if timer:
                timer.cancel()
        child.returncode = os.waitstatus_to_exitcode(status)
        lines = report.read().split()
    peak_kib = int(lines[-1]) if lines and lines[-1].isdigit() else 0
    return Measured(child.returncode, time.monotonic() - started,
                    usage.ru_utime + usage.ru_stime, peak_kib * 1024, fired.is_set(),
                    sampler.peak)


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def output_size(command):
    """Bytes that command writes to stdout (compressors run with -c)."""
    total = 0
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as child:
        while True:
            block = child.stdout.read(1 << 20)
            if not block:
                break
            total += len(block)
    if child.returncode != 0:
        raise RuntimeError("%s failed with %d" % (command[0], child.returncode))
    return total


def tree_files(root):
    """Regular files of a release tree: relative path -> absolute path."""
    files = {}
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                files[os.path.relpath(path, root)] = path
    return files


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_tar(tree, out):
    """A tar that depends on the files only, so that two versions differ
    where their files do."""
    run(["tar", "--sort=name", "--owner=0", "--group=0", "--numeric-owner", "--mtime=@0",
         "--format=gnu", "-C", tree, "-cf", out, "."])
    return out


def tree_bytes(root):
    return sum(os.path.getsize(p) for p in tree_files(root).values())


def disk_usage(root):
    """Bytes a folder takes on disk (blocks, hard links counted once)."""
    seen, total = set(), 0
    for folder, _, names in os.walk(root):
        for name in names:
            st = os.lstat(os.path.join(folder, name))
            if (st.st_dev, st.st_ino) not in seen:
                seen.add((st.st_dev, st.st_ino))
                total += st.st_blocks * 512
    return total


def fresh_folder(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


class Zstd:
    """libzstd, for the per-file and per-chunk figures that would otherwise
    cost one zstd process per file. ctypes drops the GIL during the call, so
    threads compress in parallel."""

    _COMPRESSION_LEVEL, _WINDOW_LOG, _LONG_DISTANCE = 100, 101, 160

    def __init__(self):
        name = ctypes.util.find_library("zstd") or "libzstd.so.1"
        self.lib = ctypes.CDLL(name)
        self.lib.ZSTD_createCCtx.restype = ctypes.c_void_p
        self.lib.ZSTD_freeCCtx.argtypes = [ctypes.c_void_p]
        self.lib.ZSTD_CCtx_setParameter.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        self.lib.ZSTD_CCtx_setParameter.restype = ctypes.c_size_t
        self.lib.ZSTD_compress2.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t,
                                            ctypes.c_char_p, ctypes.c_size_t]
        self.lib.ZSTD_compress2.restype = ctypes.c_size_t
        self.lib.ZSTD_compressBound.argtypes = [ctypes.c_size_t]
        self.lib.ZSTD_compressBound.restype = ctypes.c_size_t
        self.lib.ZSTD_isError.argtypes = [ctypes.c_size_t]
        self.lib.ZSTD_isError.restype = ctypes.c_uint

    def compress(self, data, level=19, long_window=True):
        """The compressed bytes of data as one frame (zstd -19 --long=31
        without the CLI's 4-byte checksum)."""
        context = self.lib.ZSTD_createCCtx()
        try:
            self.lib.ZSTD_CCtx_setParameter(context, self._COMPRESSION_LEVEL, level)
            if long_window:
                self.lib.ZSTD_CCtx_setParameter(context, self._LONG_DISTANCE, 1)
                self.lib.ZSTD_CCtx_setParameter(context, self._WINDOW_LOG, 31)
            capacity = self.lib.ZSTD_compressBound(len(data))
            out = ctypes.create_string_buffer(capacity)
            size = self.lib.ZSTD_compress2(context, out, capacity, data, len(data))
            if self.lib.ZSTD_isError(size):
                raise RuntimeError("ZSTD_compress2 failed")
            return out.raw[:size]
        finally:
            self.lib.ZSTD_freeCCtx(context)


class Figures:
    """Figures computed once per input and kept in the cache: the inputs are
    immutable (release trees, or file contents named by their digests), so
    only a new recipe recomputes them."""

    def __init__(self, folder, recompute=False):
        self.folder = folder
        # recomputing keeps what this run computed already
        self.since = time.time() if recompute else None
        os.makedirs(self.folder, exist_ok=True)

    def get(self, key, compute):
        path = os.path.join(self.folder, "%s.r%d.json" % (key, RECIPE))
        if os.path.exists(path) and (self.since is None or os.path.getmtime(path) >= self.since):
            with open(path) as f:
                return json.load(f)
        value = compute()
        # threads may compute the same key at once (equal files)
        scratch = "%s.%d-%d.tmp" % (path, os.getpid(), threading.get_ident())
        with open(scratch, "w") as f:
            json.dump(value, f, indent=1, sort_keys=True)
        os.replace(scratch, path)
        return value
