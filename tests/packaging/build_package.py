#!/usr/bin/env python3
"""Builds the Debian package of this build into build/packaging-test, once
for all packaging tests (a CTest fixture)."""

import glob
import os
import shutil
import sys

from packaging_support import BUILD_DIR, PACKAGE_DIR, run

if shutil.which("cpack") is None or shutil.which("dpkg-deb") is None:
    print("cpack or dpkg-deb is not installed")
    sys.exit(77)
shutil.rmtree(PACKAGE_DIR, ignore_errors=True)
os.makedirs(PACKAGE_DIR)
result = run(["cpack", "-G", "DEB", "-B", PACKAGE_DIR], timeout=300, cwd=BUILD_DIR)
print(result.stdout, result.stderr)
# cpack's own staging folder is not needed by the tests
shutil.rmtree(os.path.join(PACKAGE_DIR, "_CPack_Packages"), ignore_errors=True)
debs = glob.glob(os.path.join(PACKAGE_DIR, "*.deb"))
sys.exit(0 if result.returncode == 0 and len(debs) == 1 else 1)
