#!/usr/bin/env python3
"""End-to-end runs of the real qordownloader and libPelvane.so against nginx
and tinyproxy on 127.0.0.1, the way a user or a calling script meets them.

Run one case:  test_e2e.py SuccessfulRun.test_road_of_a_successful_run
Exit status 77 means every selected case was skipped (a binary not built).
"""

import glob
import os
import re
import shutil
import subprocess
import time

from e2e_support import (EXIT_ALREADY_RUNNING, EXIT_CONFIRMATION_REFUSED,
                         EXIT_DOWNLOAD_FAILED, EXIT_PROXY_CANCELED, EXIT_SUCCESS,
                         EXIT_USER_CANCELED, E2ECase, Xdo,
                         deterministic_bytes, main, read_tree, write_tree)

RUN_TIMEOUT = 60


def tree_size(root):
    total = 0
    for dirpath, _, filenames in os.walk(root):
        for name in filenames:
            try:
                total += os.path.getsize(os.path.join(dirpath, name))
            except OSError:
                pass
    return total


class SuccessfulRun(E2ECase):
    """Unattended runs that end with the update in DestPath."""

    def test_road_of_a_successful_run(self):
        # two versions newer than the installed one; the later one wins per path
        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(1, 200_000),
                                    "notes/old.txt": b"from 1.1.0\n",
                                    "readme.txt": b"readme 1.1.0\n"})
        self.repo.publish("1.2.0", {"setup.bin": deterministic_bytes(2, 300_000),
                                    "readme.txt": b"readme 1.2.0\n"})
        web = self.start_nginx()
        self.folder.write_ini(web.url, version="1.0.0")
        program = self.run_program(self.environment(), unattended=True)
        self.assertExit(program, EXIT_SUCCESS, RUN_TIMEOUT)

        self.assertEqual({"setup.bin": deterministic_bytes(2, 300_000),
                          "notes/old.txt": b"from 1.1.0\n",
                          "readme.txt": b"readme 1.2.0\n"}, read_tree(self.folder.dest))
        self.assertFalse(os.path.exists(self.folder.target), "Target is moved away")

        lines = self.folder.log_lines()
        self.assertTrue(lines and lines[0] == "INFO Begin", "first line: %r" % lines[:1])
        self.assertInOrder(lines, [
            "INFO Begin",
            "TRACE nIDEvent: 1", "TRACE M_TIMER_STARTDOWNLOAD",
            "INFO Test mode",
            "INFO No proxy",
            "No FlagFile: ",
            "INFO Update client library: " + self.folder.ini_value("CONFIG", "ClientLibrary"),
            "INFO downloadUntil: 1.2.0",
            "TRACE M_TIMER_STATUS_FINDTHREAD", "INFO FindUpdate success",
            "TRACE M_TIMER_GETSTATUS", "TRACE ResultUpdInter: SUCCESS",
            "INFO DownloadUpdate success",
            "TRACE M_TIMER_STATUS_FINALIZETHREAD", "INFO FinalizeUpdate success",
            "INFO Download stopped",
            "INFO Download success return code: 1",
            "TRACE End",
            "INFO Application return code: 1",
            "INFO End",
        ])
        self.assertEqual("INFO End", lines[-1])
        self.assertNotIn("ERROR", "\n".join(line.split(" ", 1)[0] for line in lines))
        self.assertRegex(program.output(), r"(?i)outcome.*1")

    def test_existing_dest_path_is_merged(self):
        self.repo.publish("1.1.0", {"app/a.txt": b"new a\n", "app/sub/b.txt": b"new b\n",
                                    "setup.bin": deterministic_bytes(3, 50_000)})
        write_tree(self.folder.dest, {"app/a.txt": b"old a\n", "keep.txt": b"kept\n",
                                      "app/sub/own.txt": b"own\n"})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        program = self.run_program(self.environment(), unattended=True)
        self.assertExit(program, EXIT_SUCCESS, RUN_TIMEOUT)

        self.assertEqual({"app/a.txt": b"new a\n", "app/sub/b.txt": b"new b\n",
                          "app/sub/own.txt": b"own\n", "keep.txt": b"kept\n",
                          "setup.bin": deterministic_bytes(3, 50_000)},
                         read_tree(self.folder.dest))
        self.assertFalse(os.path.exists(self.folder.target), "Target is gone after the merge")

    def test_second_run_clears_what_the_first_left(self):
        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(9, 40_000)})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        first = self.run_program(self.environment(), unattended=True)
        self.assertExit(first, EXIT_SUCCESS, RUN_TIMEOUT)
        self.assertTrue(os.path.exists(self.folder.flag_file), "the library marks Extract done")
        # a leftover the next run must clear with the rest of Extract
        write_tree(self.folder.extract, {"stale/leftover.bin": b"stale"})

        self.repo.publish("1.2.0", {"setup.bin": deterministic_bytes(10, 40_000)})
        second = self.run_program(self.environment(), unattended=True)
        self.assertExit(second, EXIT_SUCCESS, RUN_TIMEOUT)
        lines = self.folder.log_lines()
        self.assertInOrder(lines, ["INFO FlagFile found: " + self.folder.flag_file,
                                   "INFO Directory erased: " + self.folder.extract,
                                   "INFO FlagFile erased: " + self.folder.flag_file,
                                   "INFO downloadUntil: 1.2.0",
                                   "INFO Application return code: 1"])
        self.assertFalse(os.path.exists(os.path.join(self.folder.extract, "stale")))
        self.assertEqual({"setup.bin": deterministic_bytes(10, 40_000)},
                         read_tree(self.folder.dest))

    def test_nothing_newer_fails_without_touching_dest_path(self):
        self.repo.publish("1.1.0", {"setup.bin": b"x" * 1000})
        write_tree(self.folder.dest, {"setup.bin": b"installed\n"})
        web = self.start_nginx()
        self.folder.write_ini(web.url, version="1.1.0")
        program = self.run_program(self.environment(), unattended=True)
        self.assertExit(program, EXIT_DOWNLOAD_FAILED, RUN_TIMEOUT)
        self.assertIn("ERROR No file to download: 0", self.folder.log_lines())
        self.assertEqual({"setup.bin": b"installed\n"}, read_tree(self.folder.dest))


class UnattendedWithoutDisplay(E2ECase):
    """--unattended where administrators run it: no display of any kind."""

    def headless_environment(self):
        env = self.environment()
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY"):
            env.pop(name, None)
        return env

    def test_whole_run_without_a_display(self):
        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(11, 150_000)})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        program = self.run_program(self.headless_environment(), unattended=True)
        self.assertExit(program, EXIT_SUCCESS, RUN_TIMEOUT)
        self.assertEqual({"setup.bin": deterministic_bytes(11, 150_000)},
                         read_tree(self.folder.dest))
        self.assertIn("Outcome: 1 (update downloaded and finalized)", program.output())
        self.assertInOrder(self.folder.log_lines(), [
            "INFO Begin", "INFO Download confirmed (unattended)", "INFO FindUpdate success",
            "INFO DownloadUpdate success", "INFO FinalizeUpdate success",
            "INFO Application return code: 1", "INFO End"])
        self.assertTrue(any("POST /stats" in line for line in web.access_lines()))

    def test_stats_url_off_sends_no_statistics_note(self):
        self.repo.publish("1.1.0", {"setup.bin": b"x" * 1000})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        updinter = os.path.join(self.folder.path, "UpdInter.ini")
        with open(updinter) as f:
            text = f.read().replace("StatsURL=%s/stats" % web.url, "StatsURL=off")
        with open(updinter, "w") as f:
            f.write(text)
        program = self.run_program(self.headless_environment(), unattended=True)
        self.assertExit(program, EXIT_SUCCESS, RUN_TIMEOUT)
        self.assertFalse([line for line in web.access_lines() if "/stats" in line])
        lines = self.folder.log_lines()
        self.assertIn("INFO Statistics note switched off: StatsURL=off", lines)
        self.assertFalse([line for line in lines if "Statistics not sent" in line])

    def test_failure_names_the_step_the_library_error_and_the_log_file(self):
        self.repo.publish("1.1.0", {"setup.bin": b"x" * 1000})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        web.stop()  # nothing listens at the update address any more
        program = self.run_program(self.headless_environment(), unattended=True)
        self.assertExit(program, EXIT_DOWNLOAD_FAILED, RUN_TIMEOUT)
        m = re.search(r"^failed at getVersionCount: network \(APIErrorCode 3\): curl 7, "
                      r"Couldn't connect to server; URL %s; log file: (/\S+)$" % re.escape(web.url),
                      program.output(), re.M)
        self.assertTrue(m, program.output())
        self.assertEqual(self.folder.log_files()[-1], m.group(1))
        self.assertTrue(any(line.startswith("ERROR Run failed at getVersionCount: network")
                            for line in self.folder.log_lines()))

    def test_sigterm_stops_the_download_and_moves_nothing(self):
        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(12, 3_000_000)})
        web = self.start_nginx(rate="300k")
        self.folder.write_ini(web.url)
        program = self.run_program(self.headless_environment(), unattended=True)
        self.assertTrue(program.wait_output(r"find: update 1\.1\.0 found", RUN_TIMEOUT),
                        program.output())
        time.sleep(0.5)
        program.proc.terminate()
        self.assertExit(program, EXIT_USER_CANCELED, RUN_TIMEOUT)
        self.assertIn("Outcome: -3 (download canceled by the user)", program.output())
        self.assertFalse(os.path.exists(self.folder.dest), "nothing reached DestPath")
        self.assertFalse(os.path.exists(self.folder.target), "no half-built Target")
        self.assertInOrder(self.folder.log_lines(), [
            "WARN Stop requested: stopping the download", "INFO Stopping download...",
            "INFO ...download stopped", "WARN Download failure return code: -3",
            "INFO Application return code: -3"])


class Installed(E2ECase):
    """The tree that `cmake --install` lays out works on its own."""

    def test_installed_program_finds_its_library(self):
        build_dir = os.environ.get("QOR_BUILD_DIR")
        if not build_dir or shutil.which("cmake") is None:
            self.skipTest("QOR_BUILD_DIR or cmake missing")
        prefix = os.path.join(self.tmp, "prefix")
        done = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
        self.assertEqual(0, done.returncode, done.stdout.decode(errors="replace"))
        program = os.path.join(prefix, "bin", "qordownloader")
        with open(program, "rb") as f:
            if b"libasan.so" in f.read():
                # its dlopen interceptor makes libasan the caller, whose
                # RUNPATH is not ours: the lookup only fails under ASan
                self.skipTest("sanitizer build: dlopen does not see the program's RUNPATH")
        self.assertTrue(os.access(os.path.join(prefix, "bin", "qor-publish"), os.X_OK))
        self.assertEqual(1, len(glob.glob(os.path.join(prefix, "lib*", "**", "libPelvane.so"),
                                          recursive=True)))
        for sample in ("LogQorDownloader.xml", "QorDownloader.ini", "UpdInter.ini"):
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "qordownloader",
                                                        sample)), sample)

        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(8, 30_000)})
        web = self.start_nginx()
        # no ClientLibrary key: the default name, found beside the installed program
        self.folder.write_ini(web.url, library="")
        run = self.run_program(self.environment(), unattended=True, executable=program)
        self.assertExit(run, EXIT_SUCCESS, RUN_TIMEOUT)
        self.assertIn("INFO Update client library: libPelvane.so", self.folder.log_lines())
        self.assertEqual({"setup.bin": deterministic_bytes(8, 30_000)},
                         read_tree(self.folder.dest))


class Failures(E2ECase):
    """Runs that fail with -11 and leave DestPath as it was."""

    def test_tampered_file_on_server(self):
        payload = deterministic_bytes(4, 120_000)
        self.repo.publish("1.1.0", {"setup.bin": payload, "readme.txt": b"readme\n"})
        published = [p for p in self.repo.files_of("1.1.0") if p.endswith("setup.bin")]
        self.assertEqual(1, len(published), "published file of 1.1.0 not found in the repo")
        tampered = bytearray(payload)
        tampered[5000] ^= 0xFF  # same size, one byte changed
        with open(published[0], "wb") as f:
            f.write(tampered)
        write_tree(self.folder.dest, {"setup.bin": b"installed\n"})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        program = self.run_program(self.environment(), unattended=True)
        self.assertExit(program, EXIT_DOWNLOAD_FAILED, RUN_TIMEOUT)

        self.assertEqual({"setup.bin": b"installed\n"}, read_tree(self.folder.dest))
        lines = self.folder.log_lines()
        # the library's code 9: a file's SHA-256 is wrong
        self.assertInOrder(lines, ["INFO FindUpdate success", "WARN APIErrorCode: 9",
                                   "ERROR DownloadUpdate failure",
                                   "WARN Download failure return code: -11",
                                   "INFO Application return code: -11"])
        self.assertNotIn("INFO FinalizeUpdate success", lines)

    def test_server_stopped_half_way_then_resumed(self):
        payload = deterministic_bytes(5, 1_500_000)
        self.repo.publish("1.1.0", {"setup.bin": payload})
        web = self.start_nginx(rate="250k")
        self.folder.write_ini(web.url)
        program = self.run_program(self.environment(), unattended=True)

        deadline = time.monotonic() + 30
        while tree_size(self.folder.extract) < 300_000 and time.monotonic() < deadline:
            self.assertIsNone(program.proc.poll(), "ended before the server was stopped:\n"
                              + program.output())
            time.sleep(0.1)
        self.assertGreaterEqual(tree_size(self.folder.extract), 300_000, "no progress seen")
        web._kill()  # the server goes away in the middle of the transfer
        self.assertExit(program, EXIT_DOWNLOAD_FAILED, RUN_TIMEOUT)
        self.assertFalse(os.path.exists(self.folder.dest), "nothing reaches DestPath")
        self.assertInOrder(self.folder.log_lines(), ["INFO FindUpdate success",
                                                     "WARN APIErrorCode: 3",
                                                     "ERROR DownloadUpdate failure"])
        partial = tree_size(self.folder.extract)
        self.assertGreater(partial, 0, "the partial download is kept for a resume")

        # the server comes back at the same address; the next run resumes
        self.restart_on_same_port(web)
        seen_before = len(web.access_lines())
        program = self.run_program(self.environment(), unattended=True)
        self.assertExit(program, EXIT_SUCCESS, RUN_TIMEOUT)
        self.assertEqual({"setup.bin": payload}, read_tree(self.folder.dest))
        second_run = [line for line in web.access_lines()[seen_before:] if "setup.bin" in line]
        self.assertTrue(any(" 206 " in line and 'range="bytes=' in line for line in second_run),
                        "no range request resumed setup.bin:\n" + "\n".join(second_run))
        sent = sum(int(m.group(1)) for m in (re.search(r"sent=(\d+)", line)
                                             for line in second_run) if m)
        self.assertLess(sent, len(payload), "the resume fetched only the missing part")


class Dialogs(E2ECase):
    """Interactive runs whose dialogs are answered with xdotool key presses."""

    def answer(self, xdo, program, keys, timeout=20, exclude=()):
        """Presses keys on the newest dialog until it goes away: a key press
        sent while the toolkit is still settling the window can be lost."""
        windows = xdo.wait_windows(program.proc.pid, timeout=timeout, exclude=exclude)
        self.assertTrue(windows, "no dialog of qordownloader appeared; output:\n%s\nlog:\n%s"
                        % (program.output(), "\n".join(self.folder.log_lines()[-30:])))
        window = windows[-1]
        time.sleep(0.3)
        for _ in range(3):
            xdo.key(window, *keys)
            if self.wait_gone(xdo, program, window, timeout=4):
                break
        return window

    def wait_gone(self, xdo, program, window, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if window not in xdo.windows(program.proc.pid):
                return True
            time.sleep(0.1)
        return False

    def wait_log(self, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(text in line for line in self.folder.log_lines()):
                return True
            time.sleep(0.1)
        return False

    def proxy_run(self, typed_password):
        """Confirms, types credentials into the proxy dialog, closes the final box."""
        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(6, 100_000)})
        web = self.start_nginx()
        proxy = self.start_proxy("orvane", "s3cret-pw")
        self.folder.write_ini(web.url)
        env = self.environment(proxy_url=proxy.url)
        xdo = Xdo(env)
        program = self.run_program(env)

        confirmation = self.answer(xdo, program, ["Return"])
        dialog = xdo.wait_windows(program.proc.pid, timeout=20, exclude=[confirmation])
        self.assertTrue(dialog, "the proxy dialog did not appear:\n" + program.output())
        dialog = dialog[-1]
        time.sleep(0.3)
        for _ in range(3):
            # click into each entry (template 146: 195 x 97, login at 90,32 and
            # password at 90,50, both 86 x 14), replace its text, Enter acts as OK
            xdo.click_at(dialog, 133 / 195, 57 / 97)
            xdo.key(dialog, "ctrl+a")
            xdo.type(dialog, typed_password)
            xdo.click_at(dialog, 133 / 195, 39 / 97)
            xdo.key(dialog, "ctrl+a")
            xdo.type(dialog, "orvane")
            xdo.key(dialog, "Return")
            if self.wait_gone(xdo, program, dialog, timeout=4):
                break
        # the final message box
        self.assertTrue(self.wait_log("Download stopped", RUN_TIMEOUT),
                        "the run did not reach its end:\n" + "\n".join(self.folder.log_lines()))
        self.answer(xdo, program, ["Return"])
        return program, proxy, web

    def test_credentials_typed_into_proxy_dialog(self):
        program, proxy, _ = self.proxy_run("s3cret-pw")
        self.assertExit(program, EXIT_SUCCESS, RUN_TIMEOUT)
        self.assertEqual({"setup.bin": deterministic_bytes(6, 100_000)},
                         read_tree(self.folder.dest))
        self.assertEqual("orvane", self.folder.ini_value("PROXY", "UserProxy"))
        stored = self.folder.ini_value("PROXY", "PswdProxy")
        self.assertRegex(stored or "", r"^[0-9a-z]{18}$", "scrambled: two base-36 digits a byte")
        self.assertNotIn("s3cret", self.folder.ini_text())
        self.assertIn("setup.bin", proxy.log_text(), "the download went through the proxy")
        self.assertInOrder(self.folder.log_lines(), [
            "INFO Leaving proxy settings with OK button", "INFO FindUpdate success",
            "INFO DownloadUpdate success", "INFO FinalizeUpdate success",
            "INFO Application return code: 1"])

    def test_wrong_proxy_password(self):
        program, _, web = self.proxy_run("wrong-pw")
        self.assertExit(program, EXIT_DOWNLOAD_FAILED, RUN_TIMEOUT)
        self.assertFalse(os.path.exists(self.folder.dest))
        lines = self.folder.log_lines()
        self.assertInOrder(lines, ["INFO Leaving proxy settings with OK button",
                                   "WARN APIErrorCode: ", "WARN PrimaryErrorCode: ",
                                   "WARN SecondaryErrorCode: ",
                                   "ERROR FindUpdate failure: thread return code NOK",
                                   "INFO Application return code: -11"])
        # the library's code 6: the proxy refused the credentials (tinyproxy
        # answers a wrong password with 401 rather than 407)
        codes = [line for line in lines if re.match(r"WARN (APIErrorCode|SecondaryErrorCode)", line)]
        self.assertEqual("WARN APIErrorCode: 6", codes[0] if codes else None)
        self.assertIn(codes[1], ("WARN SecondaryErrorCode: 407", "WARN SecondaryErrorCode: 401"))
        self.assertEqual([], web.access_lines(), "nothing got past the proxy")

    def test_proxy_dialog_canceled(self):
        self.repo.publish("1.1.0", {"setup.bin": b"x" * 1000})
        web = self.start_nginx()
        proxy = self.start_proxy("orvane", "s3cret-pw")
        self.folder.write_ini(web.url)
        env = self.environment(proxy_url=proxy.url)
        xdo = Xdo(env)
        program = self.run_program(env)
        confirmation = self.answer(xdo, program, ["Return"])
        self.answer(xdo, program, ["Escape"], exclude=[confirmation])
        self.assertExit(program, EXIT_PROXY_CANCELED, 30)
        self.assertInOrder(self.folder.log_lines(), [
            "WARN Leaving proxy settings with Cancel button",
            "WARN Download canceled from proxy configuration",
            "WARN Download failure return code: -2", "INFO Application return code: -2"])
        self.assertIsNone(self.folder.ini_value("PROXY", "UserProxy") or None,
                          "nothing is stored after Cancel")
        self.assertEqual([], web.access_lines(), "nothing is downloaded")

    def test_cancel_during_download(self):
        self.repo.publish("1.1.0", {"setup.bin": deterministic_bytes(7, 2_000_000)})
        web = self.start_nginx(rate="100k")
        self.folder.write_ini(web.url)
        env = self.environment()
        xdo = Xdo(env)
        program = self.run_program(env)

        self.answer(xdo, program, ["Return"])
        self.assertTrue(self.wait_log("FindUpdate success", 20), "the download did not start")
        # the cancel button shows once the library reports its status
        self.assertTrue(self.wait_log("TRACE M_TIMER_GETSTATUS", 5))
        time.sleep(1.0)
        main_dialog = xdo.wait_windows(program.proc.pid, timeout=10)
        self.assertTrue(main_dialog, "the download dialog is not visible")
        # Escape asks like the Cancel button; answering No keeps the download
        xdo.key(main_dialog[0], "Escape")
        self.assertTrue(xdo.wait_windows(program.proc.pid, timeout=5, exclude=main_dialog),
                        "Escape did not ask to cancel")
        self.answer(xdo, program, ["Escape"], exclude=main_dialog)
        self.assertTrue(self.wait_log("INFO Download not canceled cause user choice (NO)", 5))
        # the Cancel button sits at 262,69 (50 x 16) of the 320 x 92 dialog
        for _ in range(3):
            self.assertTrue(xdo.click_at(main_dialog[0], 287 / 320, 77 / 92))
            if xdo.wait_windows(program.proc.pid, timeout=4, exclude=main_dialog):
                break
        prompt = self.answer(xdo, program, ["Return"], exclude=main_dialog)
        # the wait dialog: any other window of the process
        wait_dialog_seen = False
        deadline = time.monotonic() + 10
        while program.proc.poll() is None and time.monotonic() < deadline:
            others = [w for w in xdo.windows(program.proc.pid, name_regex="")
                      if w not in main_dialog and w != prompt]
            if others:
                wait_dialog_seen = True
                break
            time.sleep(0.03)
        self.assertExit(program, EXIT_USER_CANCELED, 30)
        self.assertTrue(wait_dialog_seen, "the wait dialog was not shown")

        lines = self.folder.log_lines()
        self.assertInOrder(lines, ["INFO Stopping download...", "TRACE M_TIMER_GETSTATUS_CANCELUPDATE",
                                   "INFO ...download stopped",
                                   "WARN Download failure return code: -3",
                                   "INFO Application return code: -3"])
        self.assertNotIn("INFO DownloadUpdate success", lines)
        self.assertFalse(os.path.exists(self.folder.dest))

    def test_second_instance_is_refused(self):
        self.repo.publish("1.1.0", {"setup.bin": b"x" * 1000})
        web = self.start_nginx()
        self.folder.write_ini(web.url)
        env = self.environment()
        xdo = Xdo(env)
        first = self.run_program(env)
        prompt = xdo.wait_windows(first.proc.pid, timeout=20)
        self.assertTrue(prompt, "the first copy shows no confirmation:\n" + first.output())
        self.assertEqual("QorDownloader v2.0.0.0", xdo.name(prompt[-1]))
        time.sleep(0.3)
        self.assertEqual(prompt[-1:], xdo.windows(first.proc.pid),
                         "only the prompt shows while it is open, not the download dialog")

        second = self.run_program(env, unattended=True)
        self.assertExit(second, EXIT_ALREADY_RUNNING, 30)
        self.assertIn("The application is already running !", second.output())
        self.assertIsNone(first.proc.poll(), "the first copy is unaffected")

        # the first copy goes on: refusing its confirmation ends it with -1
        self.answer(xdo, first, ["Escape"])
        self.assertExit(first, EXIT_CONFIRMATION_REFUSED, 30)
        logs = self.folder.log_files()
        self.assertEqual(2, len(logs), "one log file per run")
        texts = [open(p, errors="replace").read() for p in logs]
        refused = [t for t in texts if "QorDownloader is already running" in t]
        self.assertEqual(1, len(refused))
        self.assertIn("FATAL", refused[0])
        self.assertIn("Application return code: -10", refused[0])
        self.assertFalse(os.path.exists(self.folder.dest))


if __name__ == "__main__":
    main()
