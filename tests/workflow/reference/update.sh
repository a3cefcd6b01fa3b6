#!/usr/bin/env bash
# Takes the reference of the dialog layout test again: each dialog's layout
# (layout-<lang>.txt) and a screenshot of it with the window manager's frame
# (<lang>/<dialog>.png), in English, French and German, under Xvfb with
# openbox. Run after a change to a dialog, look at the pictures, commit.
#   tests/workflow/reference/update.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../../build}" && pwd)"
tests="$build/tests/workflow/workflow_tests"
[[ -x $tests ]] || { echo "build workflow_tests first" >&2; exit 1; }
command -v openbox >/dev/null || { echo "openbox is needed (apt-get install openbox)" >&2; exit 1; }
export LC_ALL=C.UTF-8 GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 QOR_DIALOG_REFERENCE_UPDATE=1
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    openbox >/dev/null 2>&1 &
    wm=$!
    sleep 1
    "$1" --gtest_filter="DialogLayout.*"
    status=$?
    kill "$wm"
    exit $status' _ "$tests"
ls "$here"
