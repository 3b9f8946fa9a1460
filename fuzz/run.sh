#!/usr/bin/env bash
# Runs the reader's fuzz target for a bounded time: fuzz/run.sh BUILD_DIR SECONDS
# The corpus cabinets (each behind a zero parameter byte) are the starting inputs, copied into a
# scratch folder inside the build folder. Exits non-zero when the fuzzer finds a crash.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${CABMGR_CORPUS_DIR:-$root/../shared/corpus}
target=$build/fuzz/fdi_fuzzer
[ -x "$target" ] || { echo "fuzz/run.sh: $target not built" >&2; exit 2; }

scratch=$build/fuzz-scratch
rm -rf "$scratch"
mkdir -p "$scratch/inputs" "$scratch/work" "$scratch/artifacts"
n=0
# Cabinets over 1 MiB only slow each run down; the small ones cover the same structures.
while IFS= read -r -d '' f; do
    n=$((n + 1))
    { printf '\000'; cat "$f"; } > "$scratch/inputs/corpus-$n"
done < <(find "$corpus" -type f -size -1024k ! -name '*.tsv' ! -name '*.md' -print0)
if [ -d "$root/fuzz/regressions" ]; then
    cp "$root/fuzz/regressions/"* "$scratch/inputs/" 2>/dev/null || true
fi
echo "fuzz: $n starting inputs, $seconds s"
cd "$scratch"
"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" "$scratch/work" "$scratch/inputs" \
    > "$scratch/fuzz.log" 2>&1 || {
    status=$?
    tail -60 "$scratch/fuzz.log"
    echo "fuzz: the target failed (status $status); inputs in $scratch/artifacts" >&2
    exit 1
}
grep -E '^stat::number_of_executed_units|^Done' "$scratch/fuzz.log" || true
echo "fuzz: no crash"
