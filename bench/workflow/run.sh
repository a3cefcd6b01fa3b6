#!/usr/bin/env bash
# The download dialog's figures: a worker's synchronous call onto the UI
# thread, one status tick of the download phase, memory left by dialogs.
# Needs a display (scripts/bench provides one under Xvfb).
# Usage: bench/workflow/run.sh BUILD_DIR
set -euo pipefail
build_dir=$(realpath "${1:?usage: bench/workflow/run.sh BUILD_DIR}")
bench=$build_dir/bench/workflow/qor_workflow_bench
fake=$build_dir/tests/workflow/libFakeUpdInter.so
if [[ ! -x $bench || ! -e $fake ]]; then
    cmake --build "$build_dir" --target qor_workflow_bench qor_fake_updinter >/dev/null
fi
if [[ -z ${DISPLAY:-} ]]; then
    exec xvfb-run -a "$bench" "$fake"
fi
"$bench" "$fake"
