#!/usr/bin/env python3
"""The program's own texts in the user's language: the real program in
French and German, English unchanged as the default, log lines never
translated, and catalogs that hold every text the sources mark.

Run one case:  test_texts.py ProgramTexts.test_help_and_errors_follow_the_language
"""

import fcntl
import os
import re
import subprocess
import tempfile
import unittest

from packaging_support import BIN_DIR, SOURCE_DIR, environment, main, need_tool, run

PROGRAM = os.path.join(BIN_DIR, "qordownloader")
LOCK_NAME = "{6883A631-E832-497a-B901-4675F28C0DC3}"
LOG_XML = """<?xml version="1.0" encoding="UTF-8"?>
<log4j:configuration xmlns:log4j="http://jakarta.apache.org/log4j/">
  <appender name="RunFile" class="QorDwnlFileAppender">
    <param name="File" value="run.log"/>
    <layout class="org.apache.log4j.PatternLayout">
      <param name="ConversionPattern" value="%-5p %m%n"/>
    </layout>
  </appender>
  <root><priority value="info"/><appender-ref ref="RunFile"/></root>
</log4j:configuration>
"""


class ProgramTexts(unittest.TestCase):
    def setUp(self):
        if not os.access(PROGRAM, os.X_OK):
            self.skipTest("qordownloader not built")

    def test_help_and_errors_follow_the_language(self):
        french = run([PROGRAM, "--help"], env=environment(LANGUAGE="fr"))
        self.assertEqual(0, french.returncode)
        self.assertTrue(french.stdout.startswith("Utilisation : qordownloader [--unattended]\n"))
        self.assertIn("  -10   246   une autre copie est déjà en cours d'exécution\n", french.stdout)
        self.assertIn("Environnement :", french.stdout)

        german = run([PROGRAM, "--bogus"], env=environment(LANGUAGE="de"))
        self.assertEqual(2, german.returncode)
        self.assertEqual("qordownloader: unbekannte Option „--bogus“\n"
                         "„qordownloader --help“ gibt weitere Informationen.\n", german.stderr)

    def test_english_stays_the_default_and_the_source(self):
        default = run([PROGRAM, "--help"])
        self.assertTrue(default.stdout.startswith("Usage: qordownloader [--unattended]\n"))
        self.assertIn("  -10   246   another copy is already running\n", default.stdout)
        # English asked for, or a language without a catalog: the same bytes
        for language in ("en_GB", "it"):
            other = run([PROGRAM, "--help"], env=environment(LANGUAGE=language))
            self.assertEqual(default.stdout, other.stdout, language)
        # the C locale ignores LANGUAGE, as gettext does for every program
        plain_c = run([PROGRAM, "--bogus"], env=environment(LC_ALL="C", LANGUAGE="fr"))
        self.assertEqual("qordownloader: unknown option '--bogus'\n"
                         "Try 'qordownloader --help' for more information.\n", plain_c.stderr)

    def test_string_table_text_in_french_while_the_log_stays_english(self):
        folder = tempfile.mkdtemp(prefix="qor-texts-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        with open(os.path.join(folder, "LogQorDownloader.xml"), "w") as f:
            f.write(LOG_XML)
        # another copy holds the single-instance lock
        with open(os.path.join(folder, LOCK_NAME), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            result = run([PROGRAM, "--unattended"], cwd=folder, timeout=60,
                         env=environment(LANGUAGE="fr", QORDOWNLOADER_LOCK_DIR=folder))
        self.assertEqual(246, result.returncode, result.stdout + result.stderr)
        self.assertIn("L'application est déjà en cours d'exécution !", result.stderr)
        self.assertIn("Résultat : -10 (une autre copie est déjà en cours d'exécution)",
                      result.stdout)
        with open(os.path.join(folder, "run.log")) as f:
            log = f.read()
        self.assertRegex(log, r"(?m)^FATAL QorDownloader is already running")
        self.assertNotRegex(log, "[àéèê]")


class Catalogs(unittest.TestCase):
    def test_every_marked_text_is_in_the_template_and_translated(self):
        for tool in ("xgettext", "msgcmp", "msgfmt"):
            need_tool(self, tool)
        folder = tempfile.mkdtemp(prefix="qor-pot-")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        fresh = os.path.join(folder, "fresh.pot")
        run([os.path.join(SOURCE_DIR, "po", "update-pot.sh"), fresh], check=True)
        committed = os.path.join(SOURCE_DIR, "po", "qordownloader.pot")
        # a text added to the sources but not to po/ (run po/update-pot.sh)
        for definitions, reference in ((committed, fresh), (fresh, committed)):
            compared = run(["msgcmp", "--use-untranslated", definitions, reference])
            self.assertEqual(0, compared.returncode, compared.stderr)
        for language in ("fr", "de"):
            po = os.path.join(SOURCE_DIR, "po", language + ".po")
            compared = run(["msgcmp", po, fresh])
            self.assertEqual(0, compared.returncode, language + ": " + compared.stderr)
            statistics = run(["msgfmt", "--check", "--statistics", "-o", "/dev/null", po])
            self.assertEqual(0, statistics.returncode, statistics.stderr)
            self.assertNotRegex(statistics.stderr, "fuzzy|untranslated", language)


if __name__ == "__main__":
    main()
