"""Crash-consistency runs of the real qordownloader: a run is stopped at a
chosen instant and killed with SIGKILL, the folders are checked as a crash
left them, and a later run must finish the update.

Instants are chosen two ways. Named crash points (QOR_CRASH_POINT=name:N)
make the program stop itself with SIGSTOP at the Nth pass through a point of
its file handling; the test then kills it. During the transfer the test
watches the log for the download's start and kills after a seeded delay, so
that kills land at spread-out byte offsets of a rate-limited download.
"""

import os
import random
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from e2e_support import (  # noqa: E402  (path set up above)
    EXIT_SUCCESS, Program, WorkingFolder, deterministic_bytes, read_tree, write_tree)

# Two published versions newer than the installed 1.0.0. setup.bin changes in
# both; notes/old.txt only comes with 1.1.0; lib/data.bin only with 1.2.0.
RELEASES = [
    ("1.1.0", {"setup.bin": deterministic_bytes(11, 300_000),
               "notes/old.txt": b"from 1.1.0\n",
               "readme.txt": b"readme 1.1.0\n"}),
    ("1.2.0", {"setup.bin": deterministic_bytes(12, 400_000),
               "readme.txt": b"readme 1.2.0\n",
               "lib/data.bin": deterministic_bytes(13, 200_000)}),
]
FILE_COUNT = sum(len(files) for _, files in RELEASES)

# What the administrator's DestPath held before: the installed 1.0.0 and a
# file of the user's that no update brings.
INSTALLED = {"setup.bin": deterministic_bytes(10, 250_000),
             "readme.txt": b"readme 1.0.0\n",
             "keep/user.cfg": b"colour=blue\n"}

# A Target left by an earlier run that never got finalized: 1.1.0's files and
# one that only that earlier update brought, which must reach DestPath too.
STALE_TARGET = {"setup.bin": RELEASES[0][1]["setup.bin"],
                "notes/old.txt": RELEASES[0][1]["notes/old.txt"],
                "extras/earlier.txt": b"brought by an earlier update\n"}


def final_tree(stale_target=False):
    tree = dict(INSTALLED)
    if stale_target:
        tree.update(STALE_TARGET)
    for _, files in RELEASES:
        tree.update(files)
    return tree


def allowed_contents():
    """{path: [every content a complete file of that path may have]}."""
    allowed = {}
    for path, data in list(INSTALLED.items()) + list(STALE_TARGET.items()):
        allowed.setdefault(path, []).append(data)
    for _, files in RELEASES:
        for path, data in files.items():
            allowed.setdefault(path, []).append(data)
    return allowed


# Named points and how many passes a first run from a clean Extract makes
# through each (at least). The download is killed by delay instead.
POINTS = {
    "file-verified": FILE_COUNT,
    "assemble-cloned": 1,
    "assemble-file": FILE_COUNT,
    "swap-aside": 1,  # only when Target exists
    "swap-in": 1,
    "extract-removed": len(RELEASES),  # only with KeepArchives 0
    "flag-write": 1,
    "finalize-entry": 3,  # DestPath exists: its entries are merged one by one
}


class Scenario:
    """One seeded chain: a starting state, one or two kills, the final run."""

    def __init__(self, rng, index):
        self.index = index
        self.keep_archives = rng.choice(["1", "1", "0"])
        self.stale_target = rng.random() < 0.4
        kills = 1 if rng.random() < 0.7 else 2
        self.kills = []
        for _ in range(kills):
            self.kills.append(self._pick(rng))
        # what happens to Extract after each kill: kept as the crash left it,
        # or wiped as an administrator cleaning up might do
        self.wipe_extract = [rng.random() < 0.3 for _ in self.kills]

    def _pick(self, rng):
        if rng.random() < 0.3:
            return ("download", rng.uniform(0.0, 0.9))
        names = sorted(POINTS)
        if self.keep_archives != "0":
            names.remove("extract-removed")
        if not self.stale_target:
            names.remove("swap-aside")
        name = rng.choice(names)
        return (name, rng.randint(1, POINTS[name]))

    def describe(self):
        parts = []
        for (name, arg), wipe in zip(self.kills, self.wipe_extract):
            at = "%s+%.2fs" % (name, arg) if name == "download" else "%s:%d" % (name, arg)
            parts.append(at + (" wipe" if wipe else ""))
        return "#%d KeepArchives=%s%s kills=[%s]" % (
            self.index, self.keep_archives, " staleTarget" if self.stale_target else "",
            ", ".join(parts))


def scenarios(seed, count):
    rng = random.Random(seed)
    return [Scenario(rng, i) for i in range(count)]


def process_state(pid):
    try:
        with open("/proc/%d/stat" % pid, "r") as f:
            text = f.read()
    except OSError:
        return None
    # the state follows the command name in parentheses, which may hold spaces
    return text[text.rindex(")") + 2]


def stop_and_kill(program, timeout):
    """Waits until the program stopped itself at its crash point, then kills
    it. False when it ended without reaching the point."""
    pid = program.proc.pid
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if program.proc.poll() is not None:
            return False
        if process_state(pid) in ("T", "t"):
            os.kill(pid, signal.SIGKILL)
            program.proc.wait()
            return True
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    program.proc.wait()
    raise AssertionError("the program neither stopped nor ended within %ss" % timeout)


def kill_after_log_line(program, folder, text, delay, timeout):
    """Kills the program `delay` seconds after `text` shows in its log. False
    when it ended first."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if program.proc.poll() is not None:
            return False
        if any(text in line for line in folder.log_lines()):
            break
        time.sleep(0.01)
    else:
        raise AssertionError("log line %r did not appear within %ss" % (text, timeout))
    time.sleep(delay)
    if program.proc.poll() is not None:
        return False
    os.kill(program.proc.pid, signal.SIGKILL)
    program.proc.wait()
    return True


def ini_sections(path):
    """{section: {key: value}} of an INI file; None when it is not whole
    (a line that is neither a section, a key=value pair nor blank)."""
    sections = {}
    current = None
    with open(path, "r", encoding="utf-8", errors="strict") as f:
        text = f.read()
    if text and not text.endswith("\n"):
        return None
    for line in text.splitlines():
        stripped = line.strip()
        if not stripped or stripped.startswith(";"):
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            current = sections.setdefault(stripped[1:-1], {})
        elif "=" in stripped and current is not None:
            key, value = stripped.split("=", 1)
            current[key.strip()] = value.strip()
        else:
            return None
    return sections


def crash_folder(parent):
    folder = WorkingFolder(parent)
    return folder


def seed_dest(folder):
    write_tree(folder.dest, INSTALLED)


def seed_stale_target(folder):
    write_tree(folder.target, STALE_TARGET)


def leftovers(root):
    """Names below root that only a half-done operation leaves behind."""
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            if ".pelvane-" in name or name.endswith(".part") or name.endswith(".meta"):
                found.append(os.path.relpath(os.path.join(dirpath, name), root))
    return found


def describe_difference(expected, got):
    """Per path: missing, unexpected, or which version it holds instead."""
    named = {}
    for path, data in INSTALLED.items():
        named[(path, data)] = "installed"
    for path, data in STALE_TARGET.items():
        named.setdefault((path, data), "the stale Target's")
    for version, files in RELEASES:
        for path, data in files.items():
            named[(path, data)] = version
    notes = []
    for path in sorted(set(expected) | set(got)):
        if path not in got:
            notes.append("%s missing" % path)
        elif path not in expected:
            notes.append("%s unexpected" % path)
        elif expected[path] != got[path]:
            notes.append("%s holds %s instead of %s" % (
                path, named.get((path, got[path]), "%d foreign bytes" % len(got[path])),
                named.get((path, expected[path]), "?")))
    return "; ".join(notes)


def check_dest(folder, allowed):
    """Problems with DestPath as a crash may leave it: every file whole and
    of one published (or the installed) version, nothing of before lost."""
    problems = []
    tree = read_tree(folder.dest) if os.path.isdir(folder.dest) else {}
    for path, data in sorted(tree.items()):
        if path not in allowed:
            problems.append("unexpected file %s (%d bytes)" % (path, len(data)))
        elif data not in allowed[path]:
            problems.append("%s is no published version of it (%d bytes)" % (path, len(data)))
    for path in INSTALLED:
        if path not in tree:
            problems.append("%s was in DestPath before and is gone" % path)
    return problems


def run_program(folder, env, crash_point=None):
    run_env = dict(env)
    if crash_point:
        run_env["QOR_CRASH_POINT"] = crash_point
    else:
        run_env.pop("QOR_CRASH_POINT", None)
    return Program(folder, run_env, unattended=True)


def finish(program, timeout):
    try:
        return program.wait(timeout)
    except Exception:
        program.kill()
        raise


__all__ = ["EXIT_SUCCESS", "POINTS", "RELEASES", "allowed_contents", "check_dest", "describe_difference",
           "crash_folder", "final_tree", "finish", "ini_sections", "kill_after_log_line",
           "leftovers", "run_program", "scenarios", "seed_dest", "seed_stale_target",
           "stop_and_kill"]
