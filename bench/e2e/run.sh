#!/usr/bin/env bash
# Whole-program benchmarks: a 1 GiB unattended run vs curl -o, the UI
# thread's CPU share while the library downloads, and the time to the
# confirmation prompt.  Usage: bench/e2e/run.sh BUILD_DIR [bench_e2e.py options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=${1:?usage: bench/e2e/run.sh BUILD_DIR}
shift
if [[ -n ${DISPLAY:-} ]]; then
    exec python3 -B "$here/bench_e2e.py" "$build_dir" "$@"
fi
exec xvfb-run -a -s "-screen 0 1280x1024x24" python3 -B "$here/bench_e2e.py" "$build_dir" "$@"
