#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, then builds and runs every test: once as a normal
# build, once under AddressSanitizer + UndefinedBehaviorSanitizer, plus a short fuzzing run and
# the benchmark in its short mode.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/install-deps.sh

build() {  # build DIR CMAKE-ARGS...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

echo "== normal build and tests"
build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCABMGR_WERROR=ON
ctest --test-dir build/release --output-on-failure -j "$jobs"

if [ -f fuzz/CMakeLists.txt ]; then
    echo "== fuzzing (bounded)"
    build build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DCABMGR_FUZZ=ON -DCABMGR_WERROR=ON
    bash fuzz/run.sh build/fuzz "${CABMGR_FUZZ_SECONDS:-60}"
fi

if [ -f bench/run.sh ]; then
    echo "== benchmark, short mode"
    bash bench/run.sh --quick --build build/release
    corpus=${CABMGR_CORPUS_DIR:-$root/../shared/corpus}
    if [ -d "$corpus" ]; then
        CABMGR_CORPUS_DIR=$corpus bash bench/lzx_decode.sh --quick --reps 1 --build build/release
    fi
fi

echo "== sanitizer build and tests"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DCABMGR_SANITIZE=ON -DCABMGR_WERROR=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"
