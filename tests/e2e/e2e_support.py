"""Shared pieces of the end-to-end tests: a private working folder with the two
INI files and a log configuration, a published update repository, the real
qordownloader process, and xdotool helpers that answer its dialogs.

The binaries are looked up in QOR_BIN_DIR (the build's bin/ folder); the test
servers come from tests/support/servers.py.
"""

import atexit
import glob
import os
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
PROGRAM = os.path.join(BIN_DIR, "qordownloader")
LIBRARY = os.path.join(BIN_DIR, "libPelvane.so")
PUBLISHER = os.path.join(BIN_DIR, "qor-publish")

PRODUCT = "ORVANE"
APPLICATION = "0_TEST_0_EN"
LANGUAGE = "EN"
_KEY_FOLDER = None
_PIN = None


def publisher_key():
    """(key file, pin) of a publisher key made once for this test process."""
    global _KEY_FOLDER, _PIN
    if _PIN is None:
        _KEY_FOLDER = tempfile.mkdtemp(prefix="qor-e2e-key-")
        atexit.register(shutil.rmtree, _KEY_FOLDER, True)
        done = subprocess.run([PUBLISHER, "keygen", "--out",
                               os.path.join(_KEY_FOLDER, "publisher.pem")],
                              stdout=subprocess.PIPE, check=True, timeout=60)
        _PIN = done.stdout.decode().strip()
    return os.path.join(_KEY_FOLDER, "publisher.pem"), _PIN
TITLE_REGEX = "^QorDownloader"

# Exit codes as a shell sees them (low 8 bits of the signed return code).
EXIT_SUCCESS = 1
EXIT_NOT_SET = 0
EXIT_CONFIRMATION_REFUSED = 255
EXIT_PROXY_CANCELED = 254
EXIT_USER_CANCELED = 253
EXIT_ALREADY_RUNNING = 246
EXIT_DOWNLOAD_FAILED = 245

LOG_XML = """<?xml version="1.0" encoding="UTF-8"?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="RunFile" class="QorDwnlFileAppender">
    <param name="File" value="logs/QorDownloader_%d{yyyyMMdd_HHmmss_SSS}.log"/>
    <param name="Append" value="true"/>
    <layout class="org.apache.log4j.PatternLayout">
      <param name="ConversionPattern" value="%d{HH:mm:ss,SSS} [%t] %-5p %c - %m%n"/>
    </layout>
  </appender>
  <root>
    <priority value="trace"/>
    <appender-ref ref="RunFile"/>
  </root>
</log4j:configuration>
"""


def missing_binaries(*paths):
    return [p for p in paths if not os.access(p, os.X_OK if not p.endswith(".so") else os.R_OK)]


def require_binaries(test, *paths):
    """Skip (never fail) when a binary this test needs was not built."""
    missing = missing_binaries(*(paths or (PROGRAM, LIBRARY, PUBLISHER)))
    if missing:
        test.skipTest("not built: " + ", ".join(missing))


def require_x_tools(test):
    for tool in ("Xvfb", "xdotool"):
        if shutil.which(tool) is None:
            test.skipTest(tool + " is not installed")


def deterministic_bytes(seed, size):
    """`size` bytes that depend only on `seed`: no randomness in test data."""
    out = bytearray()
    block = (seed * 7919 + 17) & 0xFFFFFFFF
    chunk = bytearray(4096)
    while len(out) < size:
        for i in range(0, len(chunk), 4):
            block = (block * 1103515245 + 12345) & 0xFFFFFFFF
            chunk[i:i + 4] = block.to_bytes(4, "little")
        out += chunk
    return bytes(out[:size])


def write_tree(root, files):
    """files: {relative path: bytes}."""
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def read_tree(root):
    """{relative path: bytes} of every regular file below root."""
    result = {}
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            full = os.path.join(dirpath, name)
            result[os.path.relpath(full, root)] = open(full, "rb").read()
    return result


class Repository:
    """An update repository folder filled with the real qor-publish."""

    def __init__(self, root):
        self.root = root
        os.makedirs(root, exist_ok=True)

    def publish(self, version, files, notes="e2e release"):
        release = tempfile.mkdtemp(prefix="qor-e2e-release-")
        try:
            write_tree(release, files)
            command = [PUBLISHER, "--repo", self.root, "--product", PRODUCT,
                       "--channel", "%s/%s" % (APPLICATION, LANGUAGE), "--version", version,
                       "--key-file", publisher_key()[0], "--notes", notes, release]
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=60)
            if done.returncode != 0:
                raise RuntimeError("qor-publish failed (%d): %s"
                                   % (done.returncode, done.stdout.decode(errors="replace")))
        finally:
            shutil.rmtree(release, ignore_errors=True)

    def files_of(self, version):
        """Paths of every published file of `version` inside the repository
        (its files/ folder, not the objects generated from them)."""
        found = []
        for dirpath, _, filenames in os.walk(self.root):
            if ("/%s/files/" % version) in (dirpath + "/"):
                found += [os.path.join(dirpath, n) for n in filenames]
        return found


class WorkingFolder:
    """The folder qordownloader runs in: INI files, log configuration, and
    the Extract/Target/DestPath folders of the run."""

    def __init__(self, parent):
        self.path = os.path.join(parent, "run")
        os.makedirs(self.path)
        self.dest = os.path.join(self.path, "Orvane")
        self.extract = os.path.join(self.path, "work", "extract")
        self.target = os.path.join(self.path, "work", "target")
        self.flag_file = os.path.join(self.path, "work", "extract.done")
        with open(os.path.join(self.path, "LogQorDownloader.xml"), "w") as f:
            f.write(LOG_XML)

    def write_ini(self, url, version="1.0.0", user_proxy="", pswd_proxy="",
                  keep_archives="1", library=None):
        # library "" leaves the key out: the program's default name is used
        library_line = "" if library == "" else "ClientLibrary=%s\n" % (library or LIBRARY)
        own = ("[CONFIG]\nMode=TEST\n%sDestPath=%s\n\n"
               "[UPDATE]\nExtract=%s\nTarget=%s\nFlagFile=%s\nVersion=%s\n\n"
               "[PROXY]\nUserProxy=%s\nPswdProxy=%s\n"
               % (library_line, self.dest, self.extract, self.target, self.flag_file,
                  version, user_proxy, pswd_proxy))
        with open(os.path.join(self.path, "QorDownloader.ini"), "w") as f:
            f.write(own)
        self.write_updinter(url, keep_archives)

    def write_updinter(self, url, keep_archives="1"):
        # every address local: an empty StatsURL would fall back to the built-in one
        karvo = ("[KARVO]\nURL=%s\nKey=%s\nProductCode=%s\nApplication=%s\nLanguage=%s\n"
                 "KeepArchives=%s\nStatsURL=%s/stats\n" % (url, publisher_key()[1], PRODUCT, APPLICATION,
                                                          LANGUAGE, keep_archives, url))
        with open(os.path.join(self.path, "UpdInter.ini"), "w") as f:
            f.write(karvo)

    def ini_text(self):
        with open(os.path.join(self.path, "QorDownloader.ini"), "r", errors="replace") as f:
            return f.read()

    def ini_value(self, section, key):
        current = None
        for line in self.ini_text().splitlines():
            line = line.strip()
            if line.startswith("[") and line.endswith("]"):
                current = line[1:-1].strip().lower()
            elif "=" in line and current == section.lower():
                name, value = line.split("=", 1)
                if name.strip().lower() == key.lower():
                    return value.strip()
        return None

    def log_files(self):
        return sorted(glob.glob(os.path.join(self.path, "logs", "QorDownloader_*.log")))

    def log_lines(self):
        """Lines of the newest log file, reduced to 'LEVEL message'."""
        files = self.log_files()
        if not files:
            return []
        lines = []
        pattern = re.compile(r"^\S+ \[[^\]]*\] (\w+)\s+\S+ - (.*)$")
        with open(files[-1], "r", errors="replace") as f:
            for raw in f.read().splitlines():
                m = pattern.match(raw)
                if m:
                    lines.append("%s %s" % (m.group(1), m.group(2)))
                elif lines:
                    lines[-1] += "\n" + raw
        return lines


class PrivateDisplay:
    """An Xvfb of its own: windows of other tests can neither take the
    keyboard focus from this test's dialogs nor receive its key presses."""

    def __init__(self):
        read_end, write_end = os.pipe()
        try:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                 "-nolisten", "tcp", "-noreset"], pass_fds=(write_end,),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.close(write_end)
        number = b""
        deadline = time.monotonic() + 15
        try:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        finally:
            os.close(read_end)
        if not number.strip().isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def clean_environment(home, proxy_url=None, display=None):
    """The program's environment: nothing of this machine's own settings."""
    env = {
        "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME": home,
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
        # keep the desktop's proxy settings (GSettings) out of the run
        "GSETTINGS_BACKEND": "memory",
        "NO_AT_BRIDGE": "1",
        "XDG_CONFIG_HOME": os.path.join(home, ".config"),
        "XDG_CACHE_HOME": os.path.join(home, ".cache"),
        "XDG_STATE_HOME": os.path.join(home, ".local", "state"),
        "XDG_RUNTIME_DIR": home,
        # a private single-instance lock, so that parallel tests do not meet
        "QORDOWNLOADER_LOCK_DIR": home,
    }
    names = ["ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"]
    if display:
        env["DISPLAY"] = display
    else:
        names += ["DISPLAY", "XAUTHORITY"]
    for name in names:
        if name in os.environ:
            env[name] = os.environ[name]
    if proxy_url:
        env["http_proxy"] = proxy_url
        env["https_proxy"] = proxy_url
    return env


class Program:
    """One run of the real qordownloader in a working folder."""

    def __init__(self, folder, env, unattended=False, extra_args=(), executable=None):
        args = [executable or PROGRAM] + (["--unattended"] if unattended else []) + list(extra_args)
        self.stdout_path = os.path.join(folder.path, "stdout-%d.txt" % time.monotonic_ns())
        self._stdout = open(self.stdout_path, "wb")
        self.proc = subprocess.Popen(args, cwd=folder.path, env=env, stdin=subprocess.DEVNULL,
                                     stdout=self._stdout, stderr=subprocess.STDOUT)

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout=timeout)
        finally:
            if self.proc.poll() is not None:
                self._stdout.close()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._stdout.close()

    def output(self):
        with open(self.stdout_path, "r", errors="replace") as f:
            return f.read()

    def wait_output(self, regex, timeout):
        """Waits until the program's output matches regex; the match or None."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = re.search(regex, self.output())
            if m:
                return m
            if self.proc.poll() is not None:
                return re.search(regex, self.output())
            time.sleep(0.1)
        return None


class Xdo:
    """xdotool helpers; every wait is capped."""

    def __init__(self, env):
        self.env = {k: v for k, v in env.items() if k in ("DISPLAY", "XAUTHORITY", "PATH")}

    def _run(self, args, timeout=10):
        done = subprocess.run(["xdotool"] + args, env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        return done.returncode, done.stdout.decode(errors="replace")

    def windows(self, pid, name_regex=TITLE_REGEX):
        """Visible windows of `pid` whose title matches."""
        code, out = self._run(["search", "--onlyvisible", "--pid", str(pid), "--name",
                               name_regex])
        return [int(w) for w in out.split()] if code == 0 else []

    def wait_windows(self, pid, count=1, timeout=20, name_regex=TITLE_REGEX, exclude=()):
        """Waits until `count` matching windows (not in exclude) are visible."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [w for w in self.windows(pid, name_regex) if w not in exclude]
            if len(found) >= count:
                return found
            time.sleep(0.1)
        return []

    def name(self, window):
        code, out = self._run(["getwindowname", str(window)])
        return out.rstrip("\n") if code == 0 else None

    def click_at(self, window, x_fraction, y_fraction):
        """Clicks a point given as fractions of the window's size: controls
        laid out in dialog units keep their place relative to the dialog."""
        code, out = self._run(["getwindowgeometry", "--shell", str(window)])
        size = dict(line.split("=", 1) for line in out.split() if "=" in line)
        if code != 0 or "WIDTH" not in size:
            return False
        x = int(int(size["WIDTH"]) * x_fraction)
        y = int(int(size["HEIGHT"]) * y_fraction)
        self.focus(window)
        code, _ = self._run(["mousemove", "--window", str(window), str(x), str(y), "click", "1"])
        return code == 0

    def focus(self, window):
        self._run(["windowfocus", "--sync", str(window)])
        time.sleep(0.15)

    def key(self, window, *keys):
        self.focus(window)
        self._run(["key", "--clearmodifiers", "--delay", "60"] + list(keys))

    def type(self, window, text):
        self.focus(window)
        self._run(["type", "--clearmodifiers", "--delay", "40", text])


def log_text(lines):
    return "\n".join(lines)


class E2ECase(unittest.TestCase):
    """A private temporary folder per test and cleanup of every process."""

    def setUp(self):
        require_binaries(self)
        self.tmp = tempfile.mkdtemp(prefix="qor-e2e-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.repo = Repository(os.path.join(self.tmp, "repo"))
        self.folder = WorkingFolder(self.tmp)
        self.home = os.path.join(self.tmp, "home")
        os.makedirs(self.home)
        require_x_tools(self)
        self.display = PrivateDisplay()
        self.addCleanup(self.display.stop)

    def environment(self, proxy_url=None):
        return clean_environment(self.home, proxy_url, self.display.name)

    def start_nginx(self, rate=None):
        web = servers.Nginx(root=self.repo.root, rate=rate).start()
        self.addCleanup(web.stop)
        return web

    def restart_on_same_port(self, web):
        """Brings a stopped nginx back at the same address, as a server that
        was down for a moment would come back."""
        web._kill()
        web.proc = subprocess.Popen(web._command(), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        servers._wait_listening(web.port, web.proc, web.name)

    def start_proxy(self, user, password):
        proxy = servers.Tinyproxy(user=user, password=password).start()
        self.addCleanup(proxy.stop)
        return proxy

    def run_program(self, env, unattended=False, extra_args=(), executable=None):
        program = Program(self.folder, env, unattended, extra_args, executable)
        self.addCleanup(program.kill)
        return program

    def assertInOrder(self, lines, expected):
        """Each expected text appears in a later line than the one before."""
        position = 0
        for text in expected:
            for index in range(position, len(lines)):
                if text in lines[index]:
                    position = index + 1
                    break
            else:
                self.fail("log line %r not found after line %d; log:\n%s"
                          % (text, position, log_text(lines)))

    def assertExit(self, program, code, timeout):
        try:
            got = program.wait(timeout)
        except subprocess.TimeoutExpired:
            program.kill()
            self.fail("qordownloader did not end within %ss; output:\n%s\nlog:\n%s"
                      % (timeout, program.output(), log_text(self.folder.log_lines())))
        self.assertEqual(code, got, "exit status; output:\n%s\nlog:\n%s"
                         % (program.output(), log_text(self.folder.log_lines()[-60:])))


def main():
    """Runs the tests named on the command line; exit 77 when all skipped."""
    loader = unittest.TestLoader()
    names = sys.argv[1:]
    module = sys.modules["__main__"]
    suite = loader.loadTestsFromNames(names, module) if names else \
        loader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0)
