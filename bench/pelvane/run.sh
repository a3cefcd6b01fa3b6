#!/usr/bin/env bash
# Download figures of libPelvane.so against local nginx, beside curl. The
# large update runs QOR_BENCH_ROUNDS times (default 3), interleaved with
# curl -o; medians, the spread and the CPU time are printed, because on a
# shared machine one run says little.
#   bench/pelvane/run.sh <build-dir> [size-MiB of the large update, default 1024]
# Generates the data under a private folder in /tmp and deletes it afterwards.
set -euo pipefail

build=$(cd "${1:?usage: run.sh <build-dir> [MiB]}" && pwd)
large_mib=${2:-1024}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/nginx-bench.sh"
lib="$build/bin/libPelvane.so"
publish="$build/bin/qor-publish"
bench="$build/bench/pelvane/pelvane_bench"
bench_setup "$build" pelvane-bench bin/libPelvane.so bin/qor-publish bench/pelvane/pelvane_bench \
  bench/pelvane/signature_bench

make_repo() { # name MiB
  mkdir -p "$work/release-$1"
  head -c "$(( $2 * 1024 * 1024 ))" /dev/urandom > "$work/release-$1/payload.bin"
  mkdir -p "$work/repo-$1"
  "$publish" --repo "$work/repo-$1" --product BENCH --channel APP/EN --version 1.0.0 \
    --key-file "$work/bench.pem" "$work/release-$1" > /dev/null
  rm -rf "$work/release-$1"
}

echo "== generating 10 MiB and ${large_mib} MiB updates in $work"
make_repo small 10
make_repo large "$large_mib"

bench_nginx "$work" "$work/port"
port=$bench_port

run_library() { # name
  rm -rf "$work/extract" "$work/target"
  "$bench" download "$lib" "http://127.0.0.1:$port/repo-$1" "$work/extract" "$work/target"
}

echo "== 10 MiB update through the library"
small_line=$(run_library small)
echo "$small_line"

file="$work/repo-large/BENCH/APP/EN/1.0.0/files/payload.bin"
bytes=$(stat -c %s "$file")
rounds=${QOR_BENCH_ROUNDS:-3}
# wall, user and system seconds of one command (its children included)
measure() {
  python3 -c '
import resource, subprocess, sys, time
began = time.monotonic()
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wall = time.monotonic() - began
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print("%.3f %.3f %.3f %d" % (wall, used.ru_utime, used.ru_stime, done.returncode))' "$@"
}
echo "== ${large_mib} MiB: curl -o and the library, interleaved, $rounds rounds (QOR_BENCH_ROUNDS)"
curl_runs=(); lib_runs=()
for ((round = 1; round <= rounds; ++round)); do
  rm -f "$work/curl.out"
  c=$(measure curl -s -o "$work/curl.out" \
      "http://127.0.0.1:$port/repo-large/BENCH/APP/EN/1.0.0/files/payload.bin")
  rm -rf "$work/curl.out" "$work/extract" "$work/target"
  l=$(measure "$bench" download "$lib" "http://127.0.0.1:$port/repo-large" "$work/extract" \
      "$work/target")
  echo "   round $round: curl -o $c | library $l   (wall user sys status)"
  curl_runs+=("$c"); lib_runs+=("$l")
done
large_line=$(run_library large)
rm -rf "$work/extract" "$work/target"

echo "== closeDownload latency (rate-limited server)"
bench_nginx "$work" "$work/slow-port" 2m
cancel_line=$("$bench" cancel "$lib" "http://127.0.0.1:$bench_port/repo-large" \
  "$work/extract" "$work/target")
status_line=$("$bench" status "$lib")
verify_line=$("$build/bench/pelvane/signature_bench" | tail -1)

python3 - "$bytes" "$small_line" "$large_line" "$cancel_line" "$status_line" "$verify_line" \
  "${curl_runs[*]}" "${lib_runs[*]}" <<'PY'
import re, statistics, sys
size = int(sys.argv[1])
small, large, cancel, status, verify = sys.argv[2:7]
def runs(text):
    values = [float(v) for v in text.split()]
    return [values[i:i + 4] for i in range(0, len(values), 4)]
curl, lib = runs(sys.argv[7]), runs(sys.argv[8])
mib = size / 1048576
rate = lambda run: mib / run[0]
cpu = lambda run: run[1] + run[2]
spread = lambda values: "%.0f..%.0f" % (min(values), max(values))
rss = lambda line: float(re.search(r"peak RSS ([0-9.]+)", line).group(1))
curl_rate = statistics.median(rate(r) for r in curl)
lib_rate = statistics.median(rate(r) for r in lib)
print()
print("%-40s %14s %14s %8s" % ("figure", "libPelvane", "curl -o", "goal"))
print("%-40s %11.0f MiB/s %11.0f MiB/s %8s" % ("%d MiB throughput, median" % mib, lib_rate, curl_rate, ">=0.95x"))
print("%-40s %14s %14s %8s" % ("  spread over %d rounds (MiB/s)" % len(lib), spread([rate(r) for r in lib]), spread([rate(r) for r in curl]), ""))
print("%-40s %14.2f %14s %8s" % ("  ratio library/curl (medians)", lib_rate / curl_rate, "", ""))
print("%-40s %12.2f s %12.2f s %8s" % ("  CPU user+sys per GiB, median", statistics.median(cpu(r) for r in lib) * 1024 / mib, statistics.median(cpu(r) for r in curl) * 1024 / mib, ""))
print("%-40s %10.1f MiB %14s %8s" % ("peak RSS, 10 MiB update", rss(small), "", "<32 MiB"))
print("%-40s %10.1f MiB %14s %8s" % ("peak RSS, %d MiB update" % mib, rss(large), "", "<32 MiB"))
print("%-40s %14s %14s %8s" % ("closeDownload to status 0", cancel.split(": ")[1], "", "<500 ms"))
print("%-40s %14s %14s %8s" % ("one getStatusUpdInter", status.split(": ")[1].split(" (")[0], "", "<10 us"))
print("%-40s %14s %14s %8s" % ("signature check per manifest", verify.split(": ")[1].split(" (")[0], "", "<1 ms"))
PY
