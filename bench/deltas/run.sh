#!/usr/bin/env bash
# Both delta methods of the codec layer beside `zstd --patch-from` and
# bsdiff on real file pairs: per release of bench/realworld's cache, the
# largest file that changed between its two newest versions (at most
# QOR_DELTA_BENCH_MAX_MIB, default 16) and a small changed one. Bytes and
# seconds; skipped when the cache is absent (bench/realworld/run.sh fetches it).
#   bench/deltas/run.sh <build-dir>
set -euo pipefail

build=$(cd "${1:?usage: run.sh <build-dir>}" && pwd)
bench="$build/bench/deltas/delta_bench"
[[ -x $bench ]] || { echo "missing $bench (build delta_bench)"; exit 2; }
trees=${QOR_BENCH_REALWORLD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qor-bench/realworld}/trees
if [[ ! -d $trees ]]; then
  echo "no release trees under $trees: skipped (bench/realworld/run.sh fetch builds the cache)"
  exit 0
fi
work=$(mktemp -d /tmp/delta-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

python3 - "$bench" "$trees" "$work" "${QOR_DELTA_BENCH_MAX_MIB:-16}" <<'PY'
import filecmp, os, re, resource, shutil, subprocess, sys, time
bench, trees, work, max_mib = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def version_key(name):
    return [int(p) if p.isdigit() else p for p in re.split(r"[^0-9A-Za-z]+", name) if p]

def files(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found[os.path.relpath(path, root)] = path
    return found

def pairs():
    for release in sorted(os.listdir(trees)):
        versions = sorted(os.listdir(os.path.join(trees, release)), key=version_key)
        if len(versions) < 2:
            continue
        old, new = (files(os.path.join(trees, release, v)) for v in versions[-2:])
        changed = [(os.path.getsize(new[p]), p) for p in new
                   if p in old and os.path.getsize(new[p]) <= max_mib << 20
                   and not filecmp.cmp(old[p], new[p], shallow=False)]
        changed.sort()
        picked = [c for c in changed if c[0] >= 64 << 10][-1:] + [c for c in changed if 4 << 10 <= c[0] < 64 << 10][-1:]
        for _, path in picked:
            yield release, versions[-2], versions[-1], path, old[path], new[path]

def timed(command):
    began = time.monotonic()
    done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode == 0, time.monotonic() - began

rows = []
for release, old_version, new_version, path, old, new in pairs():
    line = subprocess.run([bench, old, new, work], capture_output=True, text=True)
    if line.returncode != 0:
        print("%s %s: %s" % (release, path, line.stderr.strip()))
        continue
    ours = dict(item.split("=") for item in line.stdout.split())
    patch = os.path.join(work, "patch.zst")
    ok, patch_s = timed(["zstd", "-q", "-f", "-19", "--long=31", "--single-thread",
                         "--patch-from=" + old, new, "-o", patch]) if shutil.which("zstd") else (False, 0)
    ours["zstd_cli"] = os.path.getsize(patch) if ok else None
    ours["zstd_cli_s"] = patch_s
    diff = os.path.join(work, "bsdiff")
    ok, diff_s = timed(["bsdiff", old, new, diff]) if shutil.which("bsdiff") else (False, 0)
    ours["bsdiff"] = os.path.getsize(diff) if ok else None
    ours["bsdiff_s"] = diff_s
    rows.append((release, os.path.basename(path), ours))

if not rows:
    print("no changed file pairs found under " + trees)
    sys.exit(0)
kib = lambda v: "-" if v in (None, "-") else "%.1f" % (int(v) / 1024)
sec = lambda v: "-" if v in (None, "-") else "%.2f" % float(v)
print("Sizes in KiB; make/apply in seconds (one core). 'ours' = the smaller of suffix and")
print("patch-from, kept only below the compressed object (zst); else the object travels.")
print()
head = ("release", "file", "new", "zst", "suffix", "make", "apply", "patch-from", "make", "apply",
        "zstd CLI", "make", "bsdiff", "make", "ours/best peer")
print("%-16s %-24s %9s %8s | %8s %6s %5s | %10s %6s %5s | %8s %6s | %8s %6s | %s" % head)
for release, name, f in rows:
    ours = min(int(f["suffix"]) if f["suffix"] != "-" else 1 << 62, int(f["patchfrom"]))
    ours = ours if ours < min(int(f["zst"]), int(f["new"])) else min(int(f["zst"]), int(f["new"]))
    peers = [v for v in (f["zstd_cli"], f["bsdiff"]) if v]
    ratio = "%.2f" % (ours / min(peers)) if peers else "-"
    print("%-16s %-24s %9s %8s | %8s %6s %5s | %10s %6s %5s | %8s %6s | %8s %6s | %s" % (
        release[:16], name[:24], kib(f["new"]), kib(f["zst"]), kib(f["suffix"]), sec(f["suffix_make_s"]),
        sec(f["suffix_apply_s"]), kib(f["patchfrom"]), sec(f["patchfrom_make_s"]), sec(f["patchfrom_apply_s"]),
        kib(f["zstd_cli"]), sec(f["zstd_cli_s"]), kib(f["bsdiff"]), sec(f["bsdiff_s"]), ratio))
PY
