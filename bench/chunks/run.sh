#!/usr/bin/env bash
# Chunk reuse against nginx: a client three versions behind, the oldest
# version in its base store, updating across three versions that each
# change about 5 % of one payload in about 20 places.
#   bench/chunks/run.sh <build-dir> [MiB, default 256]
# Prints bytes served by nginx (its access log) against the versions' sizes
# and the bytes that really changed, the time against a plain full download
# and curl -o, and the peak RSS. Works in a private folder under /tmp.
set -euo pipefail

build=$(cd "${1:?usage: run.sh <build-dir> [MiB]}" && pwd)
mib=${2:-256}
here=$(cd "$(dirname "$0")" && pwd)
lib="$build/bin/libPelvane.so"
publish="$build/bin/qor-publish"
bench="$build/bench/chunks/chunk_bench"
for f in "$lib" "$publish" "$bench"; do
  [[ -e "$f" ]] || { echo "missing $f (build Pelvane qor-publish chunk_bench)"; exit 2; }
done

work=$(mktemp -d /tmp/chunks-bench-XXXXXX)
server_pid=""
cleanup() {
  set +e
  if [[ -n "$server_pid" ]]; then
    kill "$server_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
unset http_proxy https_proxy all_proxy HTTP_PROXY HTTPS_PROXY ALL_PROXY
export XDG_CACHE_HOME="$work/cache"
# accepted serials and the last channel.qor are kept under the bench's own folder
export XDG_STATE_HOME="$work/state"
unset PELVANE_BASE_STORE PELVANE_BASE_STORE_MAX_MIB PELVANE_CHUNKS

versions=(1.0.0 1.1.0 1.2.0 1.3.0)
echo "== generating ${mib} MiB and three edited versions in $work"
python3 "$here/make_versions.py" "$work/releases" "$mib" "${versions[@]}" > "$work/changes.txt"
cat "$work/changes.txt"

publish_version() {
  "$publish" --repo "$work/repo" --product BENCH --channel APP/EN --version "$1" \
    --key-file "$work/bench.pem" "$work/releases/$1" > /dev/null
}
mkdir -p "$work/repo"
PELVANE_BENCH_PIN=$("$publish" keygen --out "$work/bench.pem")
export PELVANE_BENCH_PIN
publish_version 1.0.0

python3 "$here/serve.py" "$work/repo" "$work/server" > /dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do [[ -s "$work/server" ]] && break; sleep 0.1; done
read -r port access_log < "$work/server"
url="http://127.0.0.1:$port"

echo "== the client installs 1.0.0 (its base store keeps it), then loses Target"
"$bench" "$lib" "$url" "$work/extract" "$work/target" "" > /dev/null
rm -rf "$work/extract" "$work/target"
for v in "${versions[@]:1}"; do publish_version "$v"; done
index_bytes=$(stat -c %s "$work/repo/BENCH/APP/EN/1.3.0/cidx/payload.bin")

served_since() { # first line of the access log to count
  tail -n +"$1" "$access_log" | sed -nE 's/.*sent=([0-9]+).*/\1/p' | awk '{s+=$1} END {print s+0}'
}

echo "== update 1.0.0 -> 1.3.0 with chunk reuse"
mark=$(( $(wc -l < "$access_log") + 1 ))
chunked_line=$("$bench" "$lib" "$url" "$work/extract" "$work/target" 1.0.0)
echo "$chunked_line"
chunked_served=$(served_since "$mark")
chunked_requests=$(tail -n +"$mark" "$access_log" | wc -l)
cmp -s "$work/target/payload.bin" "$work/releases/1.3.0/payload.bin" || { echo "Target is wrong"; exit 1; }

echo "== republishing 1.3.0 unchanged as 1.4.0: what an update to it costs"
cp -r "$work/releases/1.3.0" "$work/releases/1.4.0"
publish_version 1.4.0
mark=$(( $(wc -l < "$access_log") + 1 ))
"$bench" "$lib" "$url" "$work/extract2" "$work/target" 1.3.0 > /dev/null
unchanged_served=$(served_since "$mark")
rm -rf "$work/extract2"

echo "== plain full download of 1.3.0 (nothing local), twice, and curl -o, twice"
best_full=999999; best_curl=999999; full_line=""
for round in 1 2; do
  rm -rf "$work/extract3" "$work/target3" "$work/cache"
  line=$(PELVANE_BASE_STORE=0 "$bench" "$lib" "$url" "$work/extract3" "$work/target3" 1.2.0)
  s=$(echo "$line" | sed -E 's/.*: ([0-9.]+) s,.*/\1/')
  if python3 -c "import sys; sys.exit(0 if $s < $best_full else 1)"; then best_full=$s; full_line=$line; fi
  rm -f "$work/curl.out"
  t=$(curl -s -o "$work/curl.out" -w '%{time_total}' "$url/BENCH/APP/EN/1.3.0/files/payload.bin")
  best_curl=$(python3 -c "print(min($best_curl, $t))")
done
rm -rf "$work/extract3" "$work/target3" "$work/curl.out"

sizes=0
for v in "${versions[@]:1}"; do
  sizes=$(( sizes + $(stat -c %s "$work/releases/$v/payload.bin") ))
done
changed=$(awk '{s+=$3} END {print s}' "$work/changes.txt")

python3 - "$sizes" "$changed" "$chunked_served" "$chunked_requests" "$unchanged_served" \
  "$index_bytes" "$chunked_line" "$full_line" "$best_curl" <<'PY'
import re, sys
sizes, changed, served, requests, unchanged, index = map(int, sys.argv[1:7])
chunked, full, curl_s = sys.argv[7], sys.argv[8], float(sys.argv[9])
secs = lambda line: float(re.search(r": ([0-9.]+) s", line).group(1))
rss = lambda line: float(re.search(r"peak RSS ([0-9.]+)", line).group(1))
mib = lambda n: n / 1048576
print()
print("%-52s %14s %10s" % ("figure", "value", "goal"))
print("%-52s %10.1f MiB" % ("sum of the three versions' sizes", mib(sizes)))
print("%-52s %10.1f MiB" % ("bytes that really changed (new bytes, 3 versions)", mib(changed)))
print("%-52s %10.1f MiB %10s" % ("bytes served by nginx, 1.0.0 -> 1.3.0", mib(served), ""))
print("%-52s %14.2f %10s" % ("  served / changed", served / changed, "<= 1.3"))
print("%-52s %14.3f" % ("  served / sum of sizes", served / sizes))
print("%-52s %14d" % ("  requests", requests))
print("%-52s %10d B %10s" % ("republished unchanged file: bytes served", unchanged, "= index"))
print("%-52s %10d B" % ("  its chunk index", index))
print("%-52s %12.2f s" % ("time of the chunked update", secs(chunked)))
print("%-52s %12.2f s" % ("time of a plain full download (library)", secs(full)))
print("%-52s %12.2f s" % ("time of curl -o", curl_s))
print("%-52s %14.2f %10s" % ("  full download speed / curl -o speed", curl_s / secs(full), ">= 0.95"))
print("%-52s %10.1f MiB %10s" % ("peak RSS, chunked update", rss(chunked), "< 48 MiB"))
print("%-52s %10.1f MiB %10s" % ("peak RSS, full download", rss(full), "< 48 MiB"))
PY
