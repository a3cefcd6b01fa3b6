#!/usr/bin/env bash
# Shows the download dialog in the middle of a download under Xvfb and saves
# a screenshot. The program runs unattended (no prompts) against the fake
# update-client library of the tests, scripted to hold its download at 45%.
#   tests/workflow/screenshot.sh [build-dir] [output.png]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
out="${2:-$build/workflow-dialog.png}"
program="$build/bin/qordownloader"
fake="$build/tests/workflow/libFakeUpdInter.so"
for needed in "$program" "$fake"; do
    [[ -e $needed ]] || { echo "missing $needed: build qordownloader and qor_fake_updinter" >&2; exit 2; }
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat > "$work/QorDownloader.ini" <<INI
[CONFIG]
ClientLibrary=$fake
DestPath=dest
[UPDATE]
Extract=extract
Target=target
FlagFile=flag.txt
Version=1.0.0
INI
printf '[KARVO]\n' > "$work/UpdInter.ini"
printf 'version=2.5.0\nstatus=1 1 1 100 45 1\n' > "$work/script.txt"

export QOR_FAKE_UPDINTER_SCRIPT="$work/script.txt"
export GSETTINGS_BACKEND=memory
unset http_proxy https_proxy ftp_proxy all_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY

cd "$work"
xvfb-run -a -s "-screen 0 1024x640x24" bash -c '
    "$1" --unattended > run.txt 2>&1 &
    pid=$!
    # the bar reaches 45.5% on the first status poll, 1.5 s after the start
    for _ in $(seq 1 50); do
        grep -q "download: 4" run.txt 2>/dev/null && break
        sleep 0.2
    done
    sleep 0.5
    import -window root "$2"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
' _ "$program" "$out"
echo "$out"
