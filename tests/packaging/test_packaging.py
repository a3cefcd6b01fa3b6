#!/usr/bin/env python3
"""The Debian package as an administrator meets it: lintian's verdict, an
install into a throwaway root (dpkg --root, scripts run without chroot), the
program run from there, its systemd units verified, and a clean removal; the
desktop entry, the icons and the manual pages.

Run one case:  test_packaging.py ThrowawayRoot.test_install_run_and_remove
Exit status 77 means every selected case was skipped (a tool not installed).
"""

import os
import re
import shutil
import stat
import struct
import tempfile
import unittest

from packaging_support import (BIN_DIR, PACKAGING, built_package, environment,
                               main, need_tool, run)


class InstalledRoot:
    """An empty root with a dpkg database, removed at the end."""

    def __init__(self, case):
        self.case = case
        self.path = tempfile.mkdtemp(prefix="qor-root-")
        for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"):
            os.makedirs(os.path.join(self.path, folder))
        open(os.path.join(self.path, "var/lib/dpkg/status"), "w").close()
        case.addCleanup(shutil.rmtree, self.path, True)

    def __truediv__(self, relative):
        return os.path.join(self.path, relative.lstrip("/"))

    def dpkg(self, *args):
        # the root has none of the package's dependencies: the host's serve
        return run(["dpkg", "--root=" + self.path, "--force-script-chrootless",
                    "--force-depends", "--force-not-root", *args], timeout=120)

    def files_outside_dpkg(self):
        found = []
        for dirpath, dirnames, filenames in os.walk(self.path):
            rel = os.path.relpath(dirpath, self.path)
            if rel.startswith("var/lib/dpkg") or rel.startswith("systemd-test"):
                continue
            found += [os.path.normpath(os.path.join(rel, n)) for n in filenames]
        return sorted(found)


def package_or_skip(case):
    need_tool(case, "dpkg")
    deb = built_package()
    if deb is None:
        case.skipTest("the package was not built (fixture packaging.deb)")
    return deb


def runpath_of(program):
    dynamic = run(["readelf", "-d", program], check=True).stdout
    match = re.search(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[([^\]]*)\]", dynamic)
    return match.group(1) if match else None


class Lintian(unittest.TestCase):
    def test_no_warnings_or_errors_left(self):
        deb = package_or_skip(self)
        lintian = need_tool(self, "lintian")
        result = run([lintian, "--fail-on", "error,warning", deb], timeout=300)
        tags = [line for line in result.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        print(result.stdout)
        self.assertEqual([], tags)
        self.assertEqual(0, result.returncode, result.stderr)


class ThrowawayRoot(unittest.TestCase):
    def test_install_run_and_remove(self):
        deb = package_or_skip(self)
        root = InstalledRoot(self)
        result = root.dpkg("--install", deb)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)

        # the library sits in a private folder that the program's run path names
        program = root / "usr/bin/qordownloader"
        runpath = runpath_of(program)
        self.assertIsNotNone(runpath, "the installed program has no run path")
        self.assertTrue(runpath.startswith("$ORIGIN/"), runpath)
        private = os.path.normpath(runpath.replace("$ORIGIN", os.path.dirname(program)))
        self.assertTrue(os.path.isfile(os.path.join(private, "libPelvane.so")), private)
        self.assertEqual("qordownloader", os.path.basename(private))
        for public in ("usr/lib", "usr/lib/x86_64-linux-gnu", "lib"):
            self.assertFalse(os.path.exists(os.path.join(root / public, "libPelvane.so")))
        # nothing for the loader's cache: no trigger, no ldconfig call
        info = root / "var/lib/dpkg/info"
        self.assertFalse(os.path.exists(os.path.join(info, "qordownloader.triggers")))
        for script in ("postinst", "prerm", "postrm"):
            with open(os.path.join(info, "qordownloader." + script)) as f:
                self.assertNotIn("ldconfig", f.read(), script)

        version = run([program, "--version"])
        self.assertEqual((0, "qordownloader 2.0.0.0\n"), (version.returncode, version.stdout))
        # the installed catalogs, found beside the installed program
        french = run([program, "--help"], env=environment(LANGUAGE="fr"))
        self.assertEqual(0, french.returncode)
        self.assertTrue(french.stdout.startswith("Utilisation : qordownloader"), french.stdout)

        # the service's user and folders, from sysusers.d and tmpfiles.d
        with open(root / "etc/passwd") as f:
            users = [line.split(":") for line in f.read().splitlines()]
        service_user = [u for u in users if u[0] == "qordownloader"]
        self.assertEqual(1, len(service_user), users)
        self.assertEqual("/var/lib/qordownloader", service_user[0][5])
        self.assertEqual("/usr/sbin/nologin", service_user[0][6])
        uid = int(service_user[0][2])
        self.assertLess(uid, 1000, "a system user")
        for folder in ("var/lib/qordownloader", "var/log/qordownloader"):
            status = os.stat(root / folder)
            self.assertEqual(0o750, stat.S_IMODE(status.st_mode), folder)
            if os.geteuid() == 0:
                self.assertEqual(uid, status.st_uid, folder)
        for name in ("QorDownloader.ini", "UpdInter.ini", "LogQorDownloader.xml"):
            link = root / ("var/lib/qordownloader/" + name)
            self.assertEqual("/etc/qordownloader/" + name, os.readlink(link))
        # the service's logs/ (where the log configuration writes) is /var/log's folder
        self.assertEqual("/var/log/qordownloader", os.readlink(root / "var/lib/qordownloader/logs"))
        if os.geteuid() == 0:
            ini = os.stat(root / "etc/qordownloader/QorDownloader.ini")
            self.assertEqual(0o640, stat.S_IMODE(ini.st_mode))
            self.assertEqual(int(service_user[0][3]), ini.st_gid)

        # an administrator's edit survives removal; purge takes everything
        with open(root / "etc/qordownloader/UpdInter.ini", "a") as f:
            f.write("; edited\n")
        with open(root / "var/log/qordownloader/QorDownloader_1.log", "w") as f:
            f.write("a run\n")
        result = root.dpkg("--remove", "qordownloader")
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertFalse(os.path.exists(program))
        self.assertFalse(os.path.exists(private))
        self.assertTrue(os.path.exists(root / "etc/qordownloader/UpdInter.ini"))
        result = root.dpkg("--purge", "qordownloader")
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        status = root.dpkg("--status", "qordownloader")
        self.assertNotIn("Status: install ok installed", status.stdout)
        # left: only the system user's entries, as Debian keeps system users
        left = [f for f in root.files_outside_dpkg()
                if not re.match(r"etc/(passwd|group|shadow|gshadow)(-|\.lock)?$|etc/\.pwd\.lock$", f)]
        self.assertEqual([], left)


class SystemdUnits(unittest.TestCase):
    """systemd-analyze verify works without a running systemd. The system
    units are verified inside the installed root, so that ExecStart must name
    the installed program and Documentation= an installed manual page."""

    def install(self):
        deb = package_or_skip(self)
        self.analyze = need_tool(self, "systemd-analyze")
        need_tool(self, "man")
        root = InstalledRoot(self)
        result = root.dpkg("--install", deb)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        # the standard targets and slices the units refer to
        for kind, host in (("system", "/lib/systemd/system"), ("user", "/usr/lib/systemd/user")):
            os.makedirs(root / ("etc/systemd/" + kind), exist_ok=True)
            for name in os.listdir(host):
                if name.endswith((".target", ".slice")):
                    shutil.copy(os.path.join(host, name), root / ("etc/systemd/%s/%s" % (kind, name)))
        self.env = environment(MANPATH=root / "usr/share/man",
                               XDG_RUNTIME_DIR=root / "run/user",
                               SYSTEMD_LOG_COLOR="0")
        os.makedirs(root / "run/user", exist_ok=True)
        return root

    def verify_system(self, root, *units):
        return run([self.analyze, "verify", "--root=" + root.path] +
                   [root / ("usr/lib/systemd/system/" + u) for u in units],
                   env=self.env, cwd=root.path)

    def verify_user(self, root, *units):
        # the user manager takes no --root: a copy whose ExecStart names the
        # program inside the root
        folder = root / "systemd-test"
        os.makedirs(folder, exist_ok=True)
        paths = []
        for unit in units:
            with open(root / ("usr/lib/systemd/user/" + unit)) as f:
                text = f.read().replace("/usr/bin/qordownloader", root / "usr/bin/qordownloader")
            paths.append(os.path.join(folder, unit))
            with open(paths[-1], "w") as f:
                f.write(text)
        return run([self.analyze, "verify", "--user"] + paths, env=self.env, cwd=root.path)

    def test_packaged_units_verify(self):
        root = self.install()
        system = self.verify_system(root, "qordownloader.service", "qordownloader.timer")
        self.assertEqual(0, system.returncode, system.stdout + system.stderr)
        self.assertEqual("", system.stderr.strip())
        user = self.verify_user(root, "qordownloader.service", "qordownloader.timer")
        self.assertEqual(0, user.returncode, user.stdout + user.stderr)
        self.assertEqual("", user.stderr.strip())

    def test_verify_catches_broken_units(self):
        # the check above means something only if verify rejects these
        root = self.install()
        timer = root / "usr/lib/systemd/system/qordownloader.timer"
        with open(timer) as f:
            text = f.read()
        with open(timer, "w") as f:
            f.write(text.replace("OnCalendar=daily", "OnCalendar=every day"))
        self.assertNotEqual(0, self.verify_system(root, "qordownloader.timer").returncode)
        os.remove(root / "usr/bin/qordownloader")
        self.assertNotEqual(0, self.verify_system(root, "qordownloader.service").returncode)


def png_size(path):
    with open(path, "rb") as f:
        header = f.read(24)
    assert header[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", header[16:24])


class DesktopIntegration(unittest.TestCase):
    def test_desktop_entry_validates_and_names_the_packaged_icons(self):
        deb = package_or_skip(self)
        validate = need_tool(self, "desktop-file-validate")
        entry = os.path.join(PACKAGING, "qordownloader.desktop")
        result = run([validate, entry])
        self.assertEqual((0, ""), (result.returncode, result.stdout + result.stderr))
        with open(entry) as f:
            icon = re.search(r"^Icon=(.+)$", f.read(), re.M).group(1)
        folder = tempfile.mkdtemp(prefix="qor-deb-")
        self.addCleanup(shutil.rmtree, folder, True)
        run(["dpkg-deb", "-x", deb, folder], check=True)
        for size in (48, 128, 256):
            png = os.path.join(folder, "usr/share/icons/hicolor/%dx%d/apps/%s.png" % (size, size, icon))
            self.assertTrue(os.path.isfile(png), png)
            self.assertEqual((size, size), png_size(png))
        self.assertTrue(os.path.isfile(os.path.join(folder, "usr/share/applications/qordownloader.desktop")))


class ManualPages(unittest.TestCase):
    def render(self, page):
        # a terminal of 80 columns: no warning, and nothing wider
        man = need_tool(self, "man")
        result = run([man, "--warnings", "-l", os.path.join(PACKAGING, "man", page)],
                     env=environment(MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual("", result.stderr, page)
        text = re.sub(r".\x08", "", result.stdout)
        wide = [line for line in text.splitlines() if len(line) > 80]
        self.assertEqual([], wide, page)
        return text

    def test_pages_render_without_warnings(self):
        for page in ("qordownloader.1", "qor-publish.1"):
            text = self.render(page)
            for section in ("EXIT STATUS", "FILES", "ENVIRONMENT", "EXAMPLES"):
                self.assertIn(section, text, page)

    def test_program_page_lists_every_exit_code_the_program_knows(self):
        text = self.render("qordownloader.1")
        exit_status = text[text.index("EXIT STATUS"):text.index("FILES")]
        helped = run([os.path.join(BIN_DIR, "qordownloader"), "--help"], check=True).stdout
        codes = re.findall(r"^  (-?\d+)\s+(\d+)\s+\S", helped, re.M)
        self.assertGreaterEqual(len(codes), 8, helped)
        for code, status in codes:
            self.assertRegex(exit_status, r"(?m)^\s*%s\s+%s\s+\S" % (re.escape(code), status))
        # and the README installed beside the samples
        with open(os.path.join(PACKAGING, "..", "demo", "sample", "README")) as f:
            readme = f.read()
        for code, status in codes:
            self.assertRegex(readme, r"(?m)^  %s\s" % status, "README lacks exit status " + status)

    def test_publisher_page_gives_every_exit_code_its_own_meaning(self):
        text = self.render("qor-publish.1")
        exit_status = text[text.index("EXIT STATUS"):text.index("FILES")]
        page = dict(re.findall(r"(?m)^ {7}(\d) +(.+)$", exit_status))
        helped = run([os.path.join(BIN_DIR, "qor-publish"), "--help"], check=True).stdout
        told = dict(re.findall(r"(\d) ([^,]+)", helped[helped.index("Exit codes:"):]))
        self.assertEqual(sorted(told), sorted(page), exit_status)
        self.assertIn("verify", page["6"])
        self.assertNotIn("verify", page["3"])


if __name__ == "__main__":
    main()
