#!/usr/bin/env bash
# Landing many small files: a release made of a real tree of small files
# (the regular files of /usr/include, or the folder given) is published,
# served by local nginx and downloaded by libPelvane.so into a fresh Extract
# and Target; prints files per second for the whole run, beside the same
# files written through the atomic replace with a flush of file and folder
# each, and without them followed by one flush of the file system.
# QOR_BENCH_BASELINE_LIB=<another libPelvane.so> (an earlier build) runs in
# the same rounds, interleaved, so that a before/after pair shares the load.
#   bench/smallfiles/run.sh <build-dir> [tree, default /usr/include] [rounds, default 3]
set -euo pipefail

build=$(cd "${1:?usage: run.sh <build-dir> [tree] [rounds]}" && pwd)
tree=${2:-/usr/include}
rounds=${3:-${QOR_BENCH_ROUNDS:-3}}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/nginx-bench.sh"
lib="$build/bin/libPelvane.so"
publish="$build/bin/qor-publish"
bench="$build/bench/pelvane/pelvane_bench"
foundation="$build/bench/foundation/qor_foundation_bench"
bench_setup "$build" pelvane-smallfiles bin/libPelvane.so bin/qor-publish \
  bench/pelvane/pelvane_bench bench/foundation/qor_foundation_bench

# regular files only: a release holds no links, fifos or unreadable files
cp -a "$tree/." "$work/release/" 2>/dev/null || true
find "$work/release" ! -type f ! -type d -delete
files=$(find "$work/release" -type f | wc -l)
kib=$(du -sk "$work/release" | cut -f1)
"$publish" --repo "$work/repo" --product BENCH --channel APP/EN --version 1.0.0 \
  --key-file "$work/bench.pem" "$work/release" > /dev/null
echo "== $files files, $((kib / 1024)) MiB from $tree ($(df -T "$work" | awk 'NR == 2 { print $2 }') under /tmp), $rounds rounds (median)"

bench_nginx "$work/repo" "$work/port"
url="http://127.0.0.1:$bench_port"

baseline=${QOR_BENCH_BASELINE_LIB:-}
land() { # library: prints the seconds of one whole run into a fresh Extract and Target
  rm -rf "$work/extract" "$work/target"
  sync
  local line
  line=$("$bench" download "$1" "$url" "$work/extract" "$work/target" 2>/dev/null)
  [[ $line == "result 1 "* ]] || { echo "the download failed: $line" >&2; exit 1; }
  [[ $(find "$work/target" -type f | wc -l) -eq $files ]] || { echo "Target is not complete" >&2; exit 1; }
  sed -E 's/.*: ([0-9.]+) s,.*/\1/' <<< "$line"
}

runs=() before=() durable=() batched=()
for ((round = 1; round <= rounds; ++round)); do
  rm -rf "$work/landed"
  runs+=("$(land "$lib")")
  if [[ -n $baseline ]]; then
    before+=("$(land "$baseline")")
  fi
  sync
  durable+=("$("$foundation" land "$work/release" "$work/landed" durable)")
  rm -rf "$work/landed"
  sync
  batched+=("$("$foundation" land "$work/release" "$work/landed" batched)")
  echo "   round $round: library ${runs[-1]} s${baseline:+ (baseline ${before[-1]} s)} | replace, flushed each ${durable[-1]} s | replace, one flush ${batched[-1]} s"
done

python3 - "$files" "${runs[*]}" "${durable[*]}" "${batched[*]}" "${before[*]:-}" <<'PY'
import statistics, sys
files = int(sys.argv[1])
library, durable, batched, before = ([float(v) for v in arg.split()] for arg in sys.argv[2:6])
rate = lambda values: files / statistics.median(values)
print()
print("%-52s %10s" % ("figure (median)", "files/s"))
print("%-52s %10.0f" % ("library: download and land in Target, whole run", rate(library)))
if before:
    print("%-52s %10.0f" % ("  the same with the baseline library", rate(before)))
print("%-52s %10.0f" % ("atomic replace, file and folder flushed per file", rate(durable)))
print("%-52s %10.0f" % ("atomic replace, one file-system flush at the end", rate(batched)))
PY
