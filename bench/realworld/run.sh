#!/usr/bin/env bash
# Real software updates: release trees of Debian and npm packages, several
# versions each, updated one and three versions behind; prints what the
# field's tools transfer beside what we transfer, and the design figures.
#   bench/realworld/run.sh <build-dir> [realworld.py options] [RELEASE...]
# Needs the network for the first run (apt-get download, npm pack); the
# trees and the peer figures are cached (see README.md).
set -euo pipefail
build=$(cd "${1:?usage: run.sh <build-dir> [options] [RELEASE...]}" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)

# the peers' own tools; npm comes with nodejs where Debian's is not wanted
packages=(bsdiff zstd xz-utils casync zchunk dpkg tar time nginx-light)
command -v npm >/dev/null 2>&1 || packages+=(npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

exec python3 -B "$here/realworld.py" --build "$build" "$@"
