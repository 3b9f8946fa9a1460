#!/usr/bin/env bash
# LZX (and Quantum) decoding speed of our block decoders against cabextract, on the larger LZX
# cabinets of the shared corpus. Both sides decode whole folders and write the data to /dev/null
# (`cabextract -p`); the smaller cabinet is run several times over, so process start-up (larger
# for a C++ program) weighs on its figure. CPU time (user + sys) is compared, since the machine
# may be shared; outputs are checked to be byte-identical first.
#
#   bash bench/lzx_decode.sh [--quick] [--build DIR] [--reps N]
#     --quick      skip the two 2 GiB folders
#     --build DIR  build folder whose bench/lzx_bench is run (default build/release; built if
#                  missing)
#     --reps N     runs per measurement, the best is kept (default 3)
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
corpus=$(cd "${CABMGR_CORPUS_DIR:-$root/../shared/corpus}" && pwd)

quick=0 build_dir=build/release reps=3
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=1 ;;
        --build) build_dir=${2:?--build needs a folder}; shift ;;
        --reps) reps=${2:?--reps needs a number}; shift ;;
        -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "lzx_decode: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
command -v cabextract >/dev/null || { echo "lzx_decode: cabextract is not installed" >&2; exit 1; }

driver=$build_dir/bench/lzx_bench
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" -j2 --target lzx_bench >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name, runs per measurement (small cabinets are repeated to get past process start-up)
cabs=(
    "file-type/fixture.cab 40"
    "libmspack/cabextract-cabs/large-files-cab.cab 10"
)
if [ $quick = 0 ]; then
    cabs+=("libmspack/cabextract-old/huge-lzx15.cab 1" "libmspack/cabextract-old/huge-lzx21.cab 1")
fi

cpu_seconds() {  # cpu_seconds RUNS COMMAND...: user+sys of RUNS runs of COMMAND
    local runs=$1
    shift
    local TIMEFORMAT='%U %S'
    { time (for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1; done); } 2>&1 |
        awk '{ printf "%.3f", $1 + $2 }'
}

best_of() {  # best_of RUNS COMMAND...: the least cpu_seconds of $reps measurements
    local best=""
    for ((r = 0; r < reps; r++)); do
        local t
        t=$(cpu_seconds "$@")
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    done
    echo "$best"
}

status=0
printf '%-48s %10s %12s %12s %8s\n' cabinet MiB ours_s cabextract_s ratio
total_ours=0 total_peer=0
for entry in "${cabs[@]}"; do
    read -r cab runs <<<"$entry"
    ours_sum=$("$driver" "$corpus/$cab" | tee >(wc -c >"$work/size") | md5sum | cut -d' ' -f1)
    peer_sum=$(cabextract -q -p "$corpus/$cab" 2>/dev/null | md5sum | cut -d' ' -f1)
    if [ "$ours_sum" != "$peer_sum" ]; then
        echo "lzx_decode: $cab: output differs from cabextract" >&2
        status=1
        continue
    fi
    sleep 0.1  # let the size writer finish
    mib=$(awk -v r="$runs" '{ printf "%.1f", $1 * r / 1048576 }' "$work/size")
    ours=$(best_of "$runs" "$driver" "$corpus/$cab")
    peer=$(best_of "$runs" cabextract -q -p "$corpus/$cab")
    ratio=$(awk -v a="$peer" -v b="$ours" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-48s %10s %12s %12s %8s\n' "$(basename "$cab") x$runs" "$mib" "$ours" "$peer" "$ratio"
    total_ours=$(awk -v a="$total_ours" -v b="$ours" 'BEGIN { print a + b }')
    total_peer=$(awk -v a="$total_peer" -v b="$peer" 'BEGIN { print a + b }')
done
echo "ratio = cabextract CPU time / ours (above 1: we are faster);" \
    "overall $(awk -v a="$total_peer" -v b="$total_ours" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
exit $status
