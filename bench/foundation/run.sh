#!/usr/bin/env bash
# Directory trees and logging figures, side by side with the shell tools:
#   eraseTree vs rm -rf on 100,000 small files in 1,000 folders (goal: within 1.1x)
#   moveTree merging into an existing tree vs cp -a + rm -rf   (goal: faster)
#   a disabled log statement vs a bare level check              (goal: within 2 ns)
#   a write through the system-call seam vs a bare write(2)     (goal: no measurable cost)
# Usage: bench/foundation/run.sh BUILD_DIR [ROUNDS]
set -euo pipefail
build_dir=${1:?usage: bench/foundation/run.sh BUILD_DIR [ROUNDS]}
rounds=${2:-3}
bench=$build_dir/bench/foundation/qor_foundation_bench
if [[ ! -x $bench ]]; then
    cmake --build "$build_dir" --target qor_foundation_bench >/dev/null
fi

folders=1000
files=100
work=$(mktemp -d "${TMPDIR:-/tmp}/qor-bench-foundation-XXXXXX")
trap 'rm -rf "$work"' EXIT

seconds() { # runs a command, prints its wall time in seconds
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", (e - s) / 1e9 }'
}
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "tree: $folders folders x $files small files = $((folders * files)) files, $rounds rounds (median)"

erase_ours=() erase_rm=()
for ((round = 0; round < rounds; round++)); do
    "$bench" maketree "$work/a" $folders $files
    "$bench" maketree "$work/b" $folders $files
    sync
    # eraseTree keeps the top folder; rm -rf takes it too (one rmdir more)
    if ((round % 2 == 0)); then
        erase_ours+=("$("$bench" erase "$work/a")")
        erase_rm+=("$(seconds rm -rf "$work/b")")
    else
        erase_rm+=("$(seconds rm -rf "$work/b")")
        erase_ours+=("$("$bench" erase "$work/a")")
    fi
    rm -rf "$work/a" "$work/b"
done
ours=$(median "${erase_ours[@]}")
theirs=$(median "${erase_rm[@]}")
printf '%-36s %8ss\n' "eraseTree" "$ours"
printf '%-36s %8ss   ratio %sx (goal <= 1.10x)\n' "rm -rf" "$theirs" "$(ratio "$ours" "$theirs")"

move_ours=() move_cp=()
for ((round = 0; round < rounds; round++)); do
    # the destination already holds the same folders and half of the files
    "$bench" maketree "$work/src1" $folders $files
    "$bench" maketree "$work/dst1" $folders $((files / 2))
    "$bench" maketree "$work/src2" $folders $files
    "$bench" maketree "$work/dst2" $folders $((files / 2))
    sync
    move_ours+=("$("$bench" move "$work/src1" "$work/dst1")")
    move_cp+=("$(seconds bash -c "cp -a '$work/src2/.' '$work/dst2/' && rm -rf '$work/src2'")")
    [[ ! -e $work/src1 && $(find "$work/dst1" -type f | wc -l) -eq $((folders * files)) ]] ||
        { echo "moveTree left the trees wrong" >&2; exit 1; }
    rm -rf "$work/dst1" "$work/dst2"
done
ours=$(median "${move_ours[@]}")
theirs=$(median "${move_cp[@]}")
printf '%-36s %8ss\n' "moveTree (merge)" "$ours"
printf '%-36s %8ss   ratio %sx (goal < 1.00x)\n' "cp -a + rm -rf" "$theirs" "$(ratio "$ours" "$theirs")"

"$bench" log
"$bench" seam
