#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, then checks everything, stage by stage: the format
# of the C and C++ sources, a normal build and every test, a short fuzzing run, the benchmark in
# its short mode, the threaded code under ThreadSanitizer, and every test again under
# AddressSanitizer + UndefinedBehaviorSanitizer. Prints what each stage cost at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/install-deps.sh

configure() {  # configure DIR CMAKE-ARGS...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}
build() {  # build DIR CMAKE-ARGS...
    configure "$@"
    cmake --build "$1" -j "$jobs"
}
costs=()
stage_start=
stage() {  # stage TITLE: closes the stage before, opens the next
    local now=$EPOCHREALTIME
    if [ -n "$stage_start" ]; then
        costs+=("$(awk -v a="$stage_start" -v b="$now" 'BEGIN { printf "%6.0f s", b - a }')  $stage_title")
    fi
    stage_start=$now stage_title=$1
    [ "$1" = end ] || echo "== $1"
}

stage "format (clang-format against .clang-format)"
# Versions format differently: the one Debian 12 ships is the reference.
format=$(command -v clang-format-14 || command -v clang-format)
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 "$format" --dry-run --Werror

stage "normal build and tests"
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCABMGR_WERROR=ON
ctest --test-dir build/release --output-on-failure -j "$jobs"

if [ -f fuzz/CMakeLists.txt ]; then
    stage "fuzzing (bounded)"
    build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DCABMGR_FUZZ=ON -DCABMGR_WERROR=ON
    bash fuzz/run.sh build/fuzz "${CABMGR_FUZZ_SECONDS:-60}"
fi

if [ -f bench/run.sh ]; then
    stage "benchmark, short mode"
    bash bench/run.sh --quick --build build/release
    corpus=${CABMGR_CORPUS_DIR:-$root/../shared/corpus}
    if [ -d "$corpus" ]; then
        CABMGR_CORPUS_DIR=$corpus bash bench/lzx_decode.sh --quick --reps 1 --build build/release
    fi
fi

stage "ThreadSanitizer: the writer's and the reader's tests, cabmgr on several threads"
configure build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCABMGR_TSAN=ON -DCABMGR_WERROR=ON
cmake --build build/tsan -j "$jobs" --target cabmgr fci_test fdi_test
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R 'Fci|Fdi'
# Packing compresses on worker threads and unpacking decodes ahead on one: every method, a set.
tsan_work=$(mktemp -d)
trap 'rm -rf "$tsan_work"' EXIT
git archive HEAD | tar -x -C "$tsan_work" --one-top-level=tree
for method in "mszip -j 4" "mszip:1 -j 3" "mszip:9 -j 4 -s 100K" "lzx:17 -j 2"; do
    rm -rf "$tsan_work/out" "$tsan_work/x"
    mkdir "$tsan_work/out"
    # shellcheck disable=SC2086
    build/tsan/driver/cabmgr -q -m $method c "$tsan_work/tree" "$tsan_work/out/t.cab"
    build/tsan/driver/cabmgr -q d "$tsan_work/out/t.cab" "$tsan_work/x"
    diff -r "$tsan_work/tree" "$tsan_work/x"
    echo "cabmgr -m $method: $(ls "$tsan_work/out" | wc -l) cabinet(s), unpacked whole"
done
unset TSAN_OPTIONS

stage "sanitizer build and tests"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DCABMGR_SANITIZE=ON -DCABMGR_WERROR=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"

stage end
echo "== every stage passed; wall time of each (load average now: $(cut -d' ' -f1-3 /proc/loadavg)):"
printf '  %s\n' "${costs[@]}"
