#!/usr/bin/env bash
# Runs the fuzz targets for SECONDS in all, half each: fuzz/run.sh BUILD_DIR SECONDS
# The reader's starts from the cabinets of fuzz/inputs, its regressions and, when there is one,
# the corpus's under 1 MiB (larger ones only slow each run down), each cabinet behind a zero
# parameter byte; the writer's from a few files of text, zeros and call opcodes under different
# settings. Each works in a scratch folder inside the build folder. Exits non-zero when a fuzzer
# finds a crash.
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$(( $2 > 1 ? $2 / 2 : 1 ))
root=$(cd "$(dirname "$0")/.." && pwd)
corpus=${CABMGR_CORPUS_DIR:-$root/../shared/corpus}
for t in fdi_fuzzer fci_fuzzer; do
    [ -x "$build/fuzz/$t" ] || { echo "fuzz/run.sh: $build/fuzz/$t not built" >&2; exit 2; }
    rm -rf "$build/fuzz-scratch-$t"
    mkdir -p "$build/fuzz-scratch-$t/"{inputs,work,artifacts}
done

# run TARGET MAX_LEN: fuzzes from the target's scratch inputs for $seconds.
run() {
    local scratch=$build/fuzz-scratch-$1
    echo "fuzz: $1, $(ls "$scratch/inputs" | wc -l) starting inputs, $seconds s"
    (cd "$scratch" && "$build/fuzz/$1" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -max_len="$2" -print_final_stats=1 -artifact_prefix="$scratch/artifacts/" \
        "$scratch/work" "$scratch/inputs" > "$scratch/fuzz.log" 2>&1) || {
        status=$?
        tail -60 "$scratch/fuzz.log"
        echo "fuzz: $1 failed (status $status); inputs in $scratch/artifacts" >&2
        exit 1
    }
    grep -E '^stat::number_of_executed_units|^Done' "$scratch/fuzz.log" || true
}

n=0
while IFS= read -r -d '' f; do
    n=$((n + 1))
    { printf '\000'; cat "$f"; } > "$build/fuzz-scratch-fdi_fuzzer/inputs/corpus-$n"
done < <(find "$root/fuzz/inputs" $([ -d "$corpus" ] && echo "$corpus") -type f -size -1024k \
    ! -name '*.tsv' ! -name '*.md' -print0)
cp "$root/fuzz/regressions/"* "$build/fuzz-scratch-fdi_fuzzer/inputs/"
run fdi_fuzzer 65536

# The writer's: parameter bytes (see fci_fuzzer.cpp), then the data.
text="Cabinets hold folders of files; a folder is one compressed stream of its files. "
for params in '\002\000\003\377' '\346\014\002\111' '\001\005\001\007' '\242\000\007\222'; do
    n=$((n + 1))
    { printf "$params"; for i in 1 2 3 4 5 6; do printf '%s' "$text"; done; head -c 3000 /dev/zero
      printf '\350\000\020\000\000%.0s' $(seq 1 200); } > "$build/fuzz-scratch-fci_fuzzer/inputs/start-$n"
done
run fci_fuzzer 16384
echo "fuzz: no crash"
