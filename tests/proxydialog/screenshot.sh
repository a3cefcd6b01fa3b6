#!/usr/bin/env bash
# Shows the real proxy credentials dialog on a private Xvfb display and saves
# a PNG of the screen: tests/proxydialog/screenshot.sh <build-dir> [out.png]
set -euo pipefail
build=${1:?usage: screenshot.sh <build-dir> [out.png]}
out=${2:-$build/proxydialog.png}
tests=$build/tests/proxydialog/proxydialog_tests
[[ -x $tests ]] || { echo "build proxydialog_tests first" >&2; exit 1; }

# The test binary keeps the dialog open for a few seconds when asked to.
export QOR_PROXY_DIALOG_HOLD_MS=4000 LANG=C.UTF-8 GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1
xvfb-run -a -s "-screen 0 640x400x24" bash -c '
    "$1" >/dev/null 2>&1 &
    sleep 2.5
    import -window root "$2"
    wait' _ "$tests" "$out"
echo "$out"
