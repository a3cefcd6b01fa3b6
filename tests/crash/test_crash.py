#!/usr/bin/env python3
"""The real qordownloader killed with SIGKILL at seeded instants of a run
(during the transfer, as files are verified, while Target is assembled and
swapped, at the Extract clean-up and the flag file, during the move to
DestPath, and while the INI file is rewritten), then run again to the end.

After every kill: each file in DestPath is byte-identical to one published
(or the installed) version of its path, nothing DestPath held before is lost,
and both INI files are whole. The final run ends with exit code 1, DestPath
holds exactly the update over what was there, and no temporary or partial
file reaches DestPath.

QOR_CRASH_SEED and QOR_CRASH_SCENARIOS choose the chains (scripts/crash-soak
runs many); the defaults are the CI's fixed set.
"""

import os
import shutil
import tempfile
import time
import unittest

from crash_support import (EXIT_SUCCESS, RELEASES, allowed_contents, check_dest, crash_folder, describe_difference,
                           final_tree, finish, ini_sections, kill_after_log_line, leftovers,
                           run_program, scenarios, seed_dest, seed_stale_target, stop_and_kill)
from e2e_support import (PrivateDisplay, Program, Repository, Xdo, clean_environment, main,
                         read_tree, require_binaries, require_x_tools)
import servers

SEED = int(os.environ.get("QOR_CRASH_SEED", "20261208"))
SCENARIOS = int(os.environ.get("QOR_CRASH_SCENARIOS", "16"))
# replays chosen scenarios of a seed, e.g. QOR_CRASH_ONLY=3,13
ONLY = {int(n) for n in os.environ.get("QOR_CRASH_ONLY", "").split(",") if n.strip()}
RUN_TIMEOUT = 60
# ~1 s for the whole transfer, so that delayed kills spread over it
RATE = os.environ.get("QOR_CRASH_RATE", "1m")


class CrashConsistency(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="qor-crash-")
        cls.repo = Repository(os.path.join(cls.tmp, "repo"))
        cls.web = None
        cls.display = None

    @classmethod
    def tearDownClass(cls):
        if cls.web is not None:
            cls.web.stop()
        if cls.display is not None:
            cls.display.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        require_binaries(self)
        require_x_tools(self)
        cls = type(self)
        if cls.web is None:
            for version, files in RELEASES:
                cls.repo.publish(version, files)
            cls.web = servers.Nginx(root=cls.repo.root, rate=RATE).start()
            cls.display = PrivateDisplay()
        self.allowed = allowed_contents()
        self.kills = 0

    def new_folder(self, name, keep_archives="1"):
        parent = os.path.join(self.tmp, name)
        os.makedirs(parent)
        folder = crash_folder(parent)
        folder.write_ini(self.web.url, keep_archives=keep_archives)
        home = os.path.join(parent, "home")
        os.makedirs(home)
        seed_dest(folder)
        return folder, clean_environment(home, None, self.display.name)

    def ini_snapshot(self, folder):
        return {name: ini_sections(os.path.join(folder.path, name))
                for name in ("QorDownloader.ini", "UpdInter.ini")}

    def check_after_kill(self, folder, ini_before, what):
        problems = check_dest(folder, self.allowed)
        self.assertEqual([], problems, "after the kill at %s" % what)
        self.assertEqual(ini_before, self.ini_snapshot(folder), "INI files after " + what)

    def kill_at(self, folder, env, point, arg):
        """One run killed at the point; True when the kill happened."""
        if point == "download":
            program = run_program(folder, env)
            try:
                return kill_after_log_line(program, folder, "Downloading update 1/", arg,
                                           RUN_TIMEOUT)
            finally:
                program.kill()
        program = run_program(folder, env, "%s:%d" % (point, arg))
        try:
            return stop_and_kill(program, RUN_TIMEOUT)
        finally:
            program.kill()

    def finish_run(self, folder, env, what, stale_target=False):
        program = run_program(folder, env)
        code = finish(program, RUN_TIMEOUT)
        self.assertEqual(EXIT_SUCCESS, code, "final run after %s:\n%s\nlog:\n%s" % (
            what, program.output(), "\n".join(folder.log_lines()[-40:])))
        got = read_tree(folder.dest)
        expected = final_tree(stale_target)
        self.assertTrue(expected == got, "DestPath after %s: %s" % (
            what, describe_difference(expected, got)))
        self.assertEqual([], leftovers(folder.dest), "DestPath after " + what)
        self.assertFalse(os.path.exists(folder.target), "Target is moved away")

    def test_seeded_kills_then_a_run_to_the_end(self):
        reached = {}
        for scenario in scenarios(SEED, SCENARIOS):
            if ONLY and scenario.index not in ONLY:
                continue
            what = scenario.describe()
            with self.subTest(scenario=what):
                folder, env = self.new_folder("s%d" % scenario.index, scenario.keep_archives)
                if scenario.stale_target:
                    seed_stale_target(folder)
                ini_before = self.ini_snapshot(folder)
                for number, ((point, arg), wipe) in enumerate(
                        zip(scenario.kills, scenario.wipe_extract)):
                    killed = self.kill_at(folder, env, point, arg)
                    # a first run from a clean Extract passes every point it is
                    # asked for; later runs may find the work done already
                    if number == 0 and point != "download":
                        self.assertTrue(killed, "%s: point %s:%d never reached" % (
                            what, point, arg))
                    if killed:
                        self.kills += 1
                        reached[point] = reached.get(point, 0) + 1
                        self.check_after_kill(folder, ini_before, what)
                    if wipe:
                        shutil.rmtree(folder.extract, ignore_errors=True)
                self.finish_run(folder, env, what, scenario.stale_target)
        print("\ncrash test: seed %d, %d scenarios, %d kills: %s" % (
            SEED, SCENARIOS, self.kills,
            ", ".join("%s %d" % item for item in sorted(reached.items()))))
        self.assertGreaterEqual(self.kills, len(ONLY) if ONLY else SCENARIOS)

    def test_rerun_over_kept_archives_that_target_already_holds(self):
        # killed after Target was swapped in but before the flag file: the
        # rerun finds Extract's verified files and Target's links to them
        for point in ("flag-write", "swap-in"):
            with self.subTest(point=point):
                folder, env = self.new_folder("kept-" + point)
                self.assertTrue(self.kill_at(folder, env, point, 1))
                target_before = read_tree(folder.target)
                self.assertEqual([], leftovers(folder.target))
                # the rerun stopped before the move: Target is rebuilt from the
                # same files and must hold nothing else
                self.assertTrue(self.kill_at(folder, env, "flag-write", 1))
                self.assertEqual([], leftovers(folder.target), "Target after the rerun")
                self.assertEqual(target_before, read_tree(folder.target))
                self.finish_run(folder, env, point + " then flag-write")

    def test_kill_while_the_proxy_credentials_are_written(self):
        # only an attended run with a proxy rewrites the INI file; the proxy
        # is never reached, the run is killed before the download
        for hit in (1, 2):  # the user name, then the scrambled password
            with self.subTest(hit=hit):
                folder, env = self.new_folder("ini-%d" % hit)
                folder.write_ini(self.web.url, user_proxy="olduser", pswd_proxy="")
                before = self.ini_snapshot(folder)
                proxied = dict(env, http_proxy="http://127.0.0.1:9", https_proxy="http://127.0.0.1:9",
                               QOR_CRASH_POINT="ini-write:%d" % hit)
                program = Program(folder, proxied, unattended=False)
                try:
                    self.type_credentials(Xdo(proxied), program, "s3cret-pw")
                    self.assertTrue(stop_and_kill(program, RUN_TIMEOUT), "INI write not reached")
                finally:
                    program.kill()
                after = self.ini_snapshot(folder)
                self.assertIsNotNone(after["QorDownloader.ini"], "QorDownloader.ini is whole")
                proxy_keys = after["QorDownloader.ini"].pop("PROXY")
                before_keys = dict(before["QorDownloader.ini"])
                before_keys.pop("PROXY")
                self.assertEqual(before_keys, after["QorDownloader.ini"])
                self.assertEqual(before["UpdInter.ini"], after["UpdInter.ini"])
                # the first write is killed before its rename: nothing changed;
                # the second finds the user name stored and the password not yet
                expected_user = "olduser" if hit == 1 else "orvane"
                self.assertEqual({"UserProxy": expected_user, "PswdProxy": ""}, proxy_keys)
                self.assertEqual([], check_dest(folder, self.allowed))
                self.finish_run(folder, env, "ini-write:%d" % hit)

    def type_credentials(self, xdo, program, password):
        pid = program.proc.pid
        confirmation = xdo.wait_windows(pid, timeout=20)
        self.assertTrue(confirmation, "no confirmation box:\n" + program.output())
        time.sleep(0.3)
        xdo.key(confirmation[-1], "Return")
        dialog = xdo.wait_windows(pid, timeout=20, exclude=confirmation)
        self.assertTrue(dialog, "the proxy dialog did not appear:\n" + program.output())
        time.sleep(0.3)
        xdo.click_at(dialog[-1], 133 / 195, 57 / 97)
        xdo.key(dialog[-1], "ctrl+a")
        xdo.type(dialog[-1], password)
        xdo.click_at(dialog[-1], 133 / 195, 39 / 97)
        xdo.key(dialog[-1], "ctrl+a")
        xdo.type(dialog[-1], "orvane")
        xdo.key(dialog[-1], "Return")


if __name__ == "__main__":
    main()
