#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds cabmgr, packs the sample folder into a
# cabinet, unpacks that cabinet into a new folder and shows that the two trees are the same.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh

echo "== building cabmgr"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target cabmgr -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
cabmgr=build/release/driver/cabmgr

work=build/demo
rm -rf "$work"
mkdir -p "$work"

echo "== packing sample/ into $work/sample.cab"
"$cabmgr" c sample "$work/sample.cab"
echo "exit status 0; the cabinet, as another cabinet tool lists it:"
cabextract -q -l "$work/sample.cab" | sed 's/^/  /'

echo "== unpacking $work/sample.cab into $work/unpacked"
"$cabmgr" d "$work/sample.cab" "$work/unpacked"
echo "exit status 0"

echo "== comparing the two trees (diff -r sample $work/unpacked)"
if diff -r sample "$work/unpacked"; then
    echo "The unpacked tree is the same as sample/: $(find sample -type f | wc -l) files."
else
    echo "The trees differ." >&2
    exit 1
fi
