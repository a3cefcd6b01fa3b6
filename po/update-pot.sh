#!/usr/bin/env bash
# Extracts the program's translatable texts into po/qordownloader.pot and
# merges them into every po/<language>.po. Run after adding or changing a text
# in qorTr/qorTrW/qorTrFormat/QOR_N_; then translate the new entries (msgfmt
# --statistics lists what is left).
#   po/update-pot.sh [OUTPUT.pot]   (the tests write to a temporary file)
set -euo pipefail
cd "$(dirname "$0")/.."
output=${1:-po/qordownloader.pot}
mapfile -t sources < <(git ls-files -- 'app/*.cpp' 'workflow/*.cpp' 'proxy/*.cpp' 'tools/*.cpp' \
    'resources/*.cpp' 'config/*.cpp' 'updclient/*.cpp' 2>/dev/null || true)
if ((${#sources[@]} == 0)); then
    mapfile -t sources < <(find app workflow proxy tools resources config updclient -name '*.cpp' | sort)
fi
xgettext --language=C++ --from-code=UTF-8 --sort-by-file --no-wrap --add-location=file \
    --keyword= --keyword=qorTr --keyword=qorTrW --keyword=qorTrFormat --keyword=QOR_N_ \
    --package-name=qordownloader --package-version=2.0.0.0 \
    --msgid-bugs-address=qordownloader@velmora.invalid \
    --copyright-holder=Velmora --add-comments=TRANSLATORS: \
    -o "$output" "${sources[@]}"
if [[ $# -eq 0 ]]; then
    for po in po/*.po; do
        msgmerge --quiet --update --backup=none --no-wrap "$po" "$output"
    done
fi
