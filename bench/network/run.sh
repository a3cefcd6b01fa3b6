#!/usr/bin/env bash
# Updates over an emulated real link (40 ms round trip, 50 Mbit/s unless
# set): a real ~1,800-file release tree one version behind, and a channel of
# 100 versions (metadata per run, a run with nothing new); see network.py.
#   bench/network/run.sh <build-dir> [network.py options]
# PELVANE_CONNECTIONS reaches the client; --connections 1,4 runs the update
# once per value. The first run fetches the release's Debian packages into
# bench/realworld's cache (about 25 MiB).
set -euo pipefail
build=$(cd "${1:?usage: run.sh <build-dir> [options]}" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
exec python3 -B "$here/network.py" --build "$build" "$@"
