"""Shared pieces of the packaging tests: where the build and the package are,
running a command with a bounded time, and the runner that exits 77 when
every selected case was skipped (a tool that is not installed)."""

import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.abspath(os.path.join(HERE, "..", ".."))
BUILD_DIR = os.environ.get("QOR_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
BIN_DIR = os.path.join(BUILD_DIR, "bin")
PACKAGE_DIR = os.path.join(BUILD_DIR, "packaging-test")
PACKAGING = os.path.join(SOURCE_DIR, "packaging")

# the fixed locale of the test suite, whatever the caller's
C_LOCALE = {"LC_ALL": "C.UTF-8"}


def environment(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("LANGUAGE", "LANG", "LC_ALL", "LC_MESSAGES")}
    env.update(C_LOCALE)
    env.update(extra)
    return env


def run(args, timeout=120, env=None, cwd=None, check=False):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, timeout=timeout, env=env or environment(),
                            cwd=cwd)
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (
            " ".join(args), result.returncode, result.stdout, result.stderr))
    return result


def need_tool(case, name):
    path = shutil.which(name)
    if path is None:
        case.skipTest("%s is not installed" % name)
    return path


def built_package():
    """The .deb that the packaging.deb fixture built, or None."""
    if not os.path.isdir(PACKAGE_DIR):
        return None
    debs = [f for f in os.listdir(PACKAGE_DIR) if f.endswith(".deb")]
    return os.path.join(PACKAGE_DIR, debs[0]) if len(debs) == 1 else None


def main():
    loader = unittest.TestLoader()
    module = sys.modules["__main__"]
    names = sys.argv[1:]
    suite = loader.loadTestsFromNames(names, module) if names else \
        loader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun and len(result.skipped) == result.testsRun:
        sys.exit(77)
    sys.exit(0)
