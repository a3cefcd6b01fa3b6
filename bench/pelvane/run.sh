#!/usr/bin/env bash
# Download figures of libPelvane.so against local nginx, beside curl.
#   bench/pelvane/run.sh <build-dir> [size-MiB of the large update, default 1024]
# Generates the data under a private folder in /tmp and deletes it afterwards.
set -euo pipefail

build=$(cd "${1:?usage: run.sh <build-dir> [MiB]}" && pwd)
large_mib=${2:-1024}
here=$(cd "$(dirname "$0")" && pwd)
servers="$here/../../tests/support/servers.py"
lib="$build/bin/libPelvane.so"
publish="$build/bin/qor-publish"
bench="$build/bench/pelvane/pelvane_bench"
for f in "$lib" "$publish" "$bench"; do
  [[ -x "$f" || -f "$f" ]] || { echo "missing $f (build Pelvane qor-publish pelvane_bench signature_bench)"; exit 2; }
done

work=$(mktemp -d /tmp/pelvane-bench-XXXXXX)
nginx_pid=""
slow_pid=""
cleanup() {
  set +e
  for pid in $nginx_pid $slow_pid; do
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
trap cleanup EXIT
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
# accepted manifest serials are remembered under the bench's own folder
export XDG_STATE_HOME="$work/state"
PELVANE_BENCH_PIN=$("$publish" keygen --out "$work/bench.pem")
export PELVANE_BENCH_PIN

make_repo() { # name MiB
  mkdir -p "$work/release-$1"
  head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom > "$work/release-$1/payload.bin"
  mkdir -p "$work/repo-$1"
  "$publish" --repo "$work/repo-$1" --product BENCH --channel APP/EN --version 1.0.0 \
    --key-file "$work/bench.pem" "$work/release-$1" > /dev/null
  rm -rf "$work/release-$1"
}

start_nginx() { # root portfile [rate]
  local extra=()
  [[ -n "${3:-}" ]] && extra=(--rate "$3")
  python3 "$servers" nginx --root "$1" --port-file "$2" "${extra[@]}" > /dev/null 2>&1 &
  local pid=$!
  for _ in $(seq 100); do [[ -s "$2" ]] && break; sleep 0.1; done
  echo "$pid"
}

echo "== generating 10 MiB and ${large_mib} MiB updates in $work"
make_repo small 10
make_repo large "$large_mib"

nginx_pid=$(start_nginx "$work" "$work/port")
port=$(cat "$work/port")

run_library() { # name
  rm -rf "$work/extract" "$work/target"
  "$bench" download "$lib" "http://127.0.0.1:$port/repo-$1" "$work/extract" "$work/target"
}

echo "== 10 MiB update through the library"
small_line=$(run_library small)
echo "$small_line"

file="$work/repo-large/BENCH/APP/EN/1.0.0/payload.bin"
bytes=$(stat -c %s "$file")
echo "== ${large_mib} MiB: curl -o, then the library (twice each, best kept)"
best_curl=999999; best_lib=999999; large_line=""
for round in 1 2; do
  rm -f "$work/curl.out"
  t=$(curl -s -o "$work/curl.out" -w '%{time_total}' \
      "http://127.0.0.1:$port/repo-large/BENCH/APP/EN/1.0.0/payload.bin")
  rm -f "$work/curl.out"
  best_curl=$(python3 -c "print(min($best_curl, $t))")
  line=$(run_library large)
  s=$(echo "$line" | sed -E 's/.*: ([0-9.]+) s,.*/\1/')
  if python3 -c "import sys; sys.exit(0 if $s < $best_lib else 1)"; then best_lib=$s; large_line=$line; fi
done
rm -rf "$work/extract" "$work/target"

echo "== closeDownload latency (rate-limited server)"
slow_pid=$(start_nginx "$work" "$work/slow-port" 2m)
cancel_line=$("$bench" cancel "$lib" "http://127.0.0.1:$(cat "$work/slow-port")/repo-large" \
  "$work/extract" "$work/target")
status_line=$("$bench" status "$lib")
verify_line=$("$build/bench/pelvane/signature_bench" | tail -1)

python3 - "$bytes" "$best_curl" "$best_lib" "$small_line" "$large_line" "$cancel_line" "$status_line" "$verify_line" <<'PY'
import re, sys
size, curl_s, lib_s = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
small, large, cancel, status, verify = sys.argv[4:9]
mib = size / 1048576
curl_rate, lib_rate = mib / curl_s, mib / lib_s
rss = lambda line: float(re.search(r"peak RSS ([0-9.]+)", line).group(1))
print()
print("%-40s %14s %14s %8s" % ("figure", "libPelvane", "curl -o", "goal"))
print("%-40s %11.0f MiB/s %11.0f MiB/s %8s" % ("%d MiB download throughput" % mib, lib_rate, curl_rate, ">=0.95x"))
print("%-40s %14.2f %14s %8s" % ("  ratio library/curl", lib_rate / curl_rate, "", ""))
print("%-40s %10.1f MiB %14s %8s" % ("peak RSS, 10 MiB update", rss(small), "", "<32 MiB"))
print("%-40s %10.1f MiB %14s %8s" % ("peak RSS, %d MiB update" % mib, rss(large), "", "<32 MiB"))
print("%-40s %14s %14s %8s" % ("closeDownload to status 0", cancel.split(": ")[1], "", "<500 ms"))
print("%-40s %14s %14s %8s" % ("one getStatusUpdInter", status.split(": ")[1].split(" (")[0], "", "<10 us"))
print("%-40s %14s %14s %8s" % ("signature check per manifest", verify.split(": ")[1].split(" (")[0], "", "<1 ms"))
PY
