#!/usr/bin/env bash
# Measures cabmgr (MSZIP at several levels, LZX) against the cabinet tools Debian ships (gcab,
# cabextract, 7-Zip, bsdtar), tar | pigz and tar | xz, in one run, taking turns, and checks every
# output.
#
#   bash bench/run.sh                      full run: ~200 MB mixed tree, 20,000 small files and
#                                          ~100 MB of the system's files, 3 repetitions; writes
#                                          bench/results.md and bench/throughput.svg
#   bash bench/run.sh --quick --build DIR  short mode for the test command: small trees, one
#                                          repetition, every check; writes into DIR
#   bash bench/run.sh --memory-check       peak memory of cabmgr c and d on a 2 GiB input and on
#                                          200,000 small files; updates its section of
#                                          bench/results.md
# Other options: --build DIR (default build/release), --reps N, --dir DIR (working folder),
# --keep (keep the generated trees for the next run), --peers-only (measure the other tools
# even when cabmgr is not built), --no-install, --no-build.
#
# Exit status: 0 when every output was right (a slower cabmgr is not a failure), 1 when an
# output check failed or the tool could not run, 2 on a usage error.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

quick=0 memory_check=0 keep=0 peers_only=0 install=1 build_it=1
reps="" build_dir="" work_base=""
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=1 ;;
        --memory-check) memory_check=1 ;;
        --build) build_dir=${2:?--build needs a folder}; shift ;;
        --reps) reps=${2:?--reps needs a number}; shift ;;
        --dir) work_base=${2:?--dir needs a folder}; shift ;;
        --keep) keep=1 ;;
        --peers-only) peers_only=1 ;;
        --no-install) install=0 ;;
        --no-build) build_it=0 ;;
        -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
if [ $quick = 1 ] && [ $memory_check = 1 ]; then
    echo "bench: --memory-check does not run in quick mode" >&2
    exit 2
fi
[ -n "$reps" ] || reps=3
[ $quick = 0 ] || reps=1
case $reps in ''|*[!0-9]*|0) echo "bench: --reps needs a positive number" >&2; exit 2 ;; esac

build_dir=${build_dir:-build/release}
case $build_dir in /*) ;; *) build_dir=$root/$build_dir ;; esac
cabmgr=$build_dir/driver/cabmgr
jobs=$(nproc 2>/dev/null || echo 2)
say() { echo "bench: $*" >&2; }

# ---------------------------------------------------------------- tools
if [ $install = 1 ]; then
    bash "$root/scripts/install-deps.sh"
fi

if [ $quick = 1 ] || [ $build_it = 0 ]; then
    if [ ! -x "$cabmgr" ] && [ $peers_only = 0 ]; then
        say "$cabmgr is not built yet: nothing to measure"
        exit 0
    fi
else
    if [ ! -f "$build_dir/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    say "building cabmgr in $build_dir"
    if ! cmake --build "$build_dir" -j "$jobs" --target cabmgr >"$build_dir/bench-build.log" 2>&1; then
        if [ $peers_only = 0 ]; then
            tail -n 30 "$build_dir/bench-build.log" >&2
            say "cabmgr did not build (log: $build_dir/bench-build.log); --peers-only measures the others"
            exit 1
        fi
        say "cabmgr did not build; measuring the other tools only"
    fi
fi
# The source measured: the commit, and whether files outside bench/ differed from it at build time.
BENCH_COMMIT=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no -- . ':!bench' 2>/dev/null)" ]; then
    BENCH_COMMIT="$BENCH_COMMIT with uncommitted changes"
fi
export BENCH_COMMIT
have_ours=0
[ -x "$cabmgr" ] && have_ours=1
if [ -f "$build_dir/CMakeCache.txt" ]; then
    build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
    grep -q '^CABMGR_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt" && build_type="$build_type+sanitizers"
    case $build_type in
        Release|RelWithDebInfo) ;;
        *) say "warning: $build_dir is a '$build_type' build; its figures say little" ;;
    esac
fi
[ -x /usr/bin/time ] || { say "GNU time (/usr/bin/time) is missing"; exit 1; }

sevenzip=$(command -v 7zz || command -v 7z || true)
declare -A tool_ok
for t in gcab cabextract bsdtar pigz xz tar strace; do
    if command -v "$t" >/dev/null; then tool_ok[$t]=1; else say "note: $t is missing; its rows are left out"; fi
done
# strace may be installed yet not allowed to trace (some containers): then no counts.
if [ -n "${tool_ok[strace]:-}" ] && ! strace -f -c -o /dev/null true >/dev/null 2>&1; then
    say "note: strace cannot trace here; no system-call counts"
    unset 'tool_ok[strace]'
fi
[ -n "${tool_ok[tar]:-}" ] && [ -n "${tool_ok[pigz]:-}" ] && tool_ok[tar-pigz]=1
[ -n "${tool_ok[tar]:-}" ] && [ -n "${tool_ok[xz]:-}" ] && tool_ok[tar-xz]=1
[ -n "$sevenzip" ] && tool_ok[7zip]=1 || say "note: 7zz/7z is missing; its rows are left out"
# cabmgr's packings: the default (MSZIP level 4), other MSZIP levels, LZX with the largest window
# (its default lazy parse over hash chains, and the thorough near-optimal one over binary trees).
ours_packers=(cabmgr cabmgr-mszip1 cabmgr-mszip6 cabmgr-mszip9 cabmgr-lzx21 cabmgr-lzx21-thorough)
if [ $have_ours = 1 ]; then
    for t in "${ours_packers[@]}"; do tool_ok[$t]=1; done
fi
if [ -z "${tool_ok[cabextract]:-}" ] && [ $have_ours = 1 ]; then
    say "cabextract is needed to check cabmgr's cabinets"
    exit 1
fi

# ---------------------------------------------------------------- working folder
need_mb=2500
[ $quick = 1 ] && need_mb=100
[ $memory_check = 1 ] && need_mb=8500
free_mb() { df -Pm "$1" 2>/dev/null | awk 'NR==2 {print $4}'; }
if [ -z "$work_base" ]; then
    if [ -d /dev/shm ] && [ -w /dev/shm ] && [ "$(free_mb /dev/shm || echo 0)" -ge $need_mb ]; then
        work_base=/dev/shm
    else
        work_base=${TMPDIR:-/tmp}
    fi
fi
mkdir -p "$work_base"
fs_type=$(stat -f -c %T "$work_base" 2>/dev/null || echo unknown)
case $fs_type in
    tmpfs|ramfs) fs_desc="$work_base, a memory file system ($fs_type)" ;;
    *) fs_desc="$work_base, on $fs_type (no memory file system with ${need_mb} MB free)" ;;
esac
if [ $quick = 1 ]; then
    work=$(mktemp -d "$work_base/cabmgr-bench-quick.XXXXXX")
else
    work=$work_base/cabmgr-bench-$(id -u)
    mkdir -p "$work"
fi
corpus=$work/corpus
out=$work/out
cleanup() {
    rm -rf "$out"
    if [ $keep = 0 ] || [ $quick = 1 ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
rm -rf "$out"
mkdir -p "$out/tmp"
# Every tool's temporary files go to the same folder as its output.
export TMPDIR=$out/tmp
say "working in $fs_desc"
load_start=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown)

raw=$out/raw.tsv
printf 'phase\ttree\ttool\trep\twall\tuser\tsys\trss_kb\tsize\tok\n' >"$raw"
failures=()
fail() {
    failures+=("$*")
    say "CHECK FAILED: $*"
}

# timed LOG CMD...: runs CMD with its output in LOG; sets T_WALL (s, from the shell's clock),
# T_USER, T_SYS (s) and T_RSS (KiB, largest process of the command); returns CMD's status.
timed() {
    local log=$1 rc=0 t0 t1
    shift
    t0=$EPOCHREALTIME
    /usr/bin/time -f '%U %S %M' -o "$out/time.txt" "$@" >"$log" 2>&1 || rc=$?
    t1=$EPOCHREALTIME
    T_WALL=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.4f", b - a}')
    read -r T_USER T_SYS T_RSS < <(tail -n 1 "$out/time.txt")
    return $rc
}
record() {  # record PHASE TREE TOOL REP SIZE OK
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" \
        "$T_WALL" "$T_USER" "$T_SYS" "$T_RSS" "$5" "$6" >>"$raw"
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }

# check_cab CAB TREE-NAME: the cabinet tests clean, and its names and MD5 sums are exactly
# those of the tree's files.
check_cab() {
    local log=$out/cabextract-t.log
    if ! cabextract -t "$1" >"$log" 2>&1; then
        tail -n 5 "$log" >&2
        return 1
    fi
    sed -nE 's/^  (.+)  OK +([0-9a-f]{32})$/\1 \2/p' "$log" | LC_ALL=C sort >"$out/cab.sums"
    if ! cmp -s "$out/cab.sums" "$out/$2.sums"; then
        say "$1: names or contents differ from $2 (first differences follow)"
        diff "$out/$2.sums" "$out/cab.sums" | head -n 5 >&2
        return 1
    fi
}
# tree_sums TREE-NAME: "path md5" of every file of the tree, sorted, for check_cab.
tree_sums() {
    (cd "$corpus/$1" && xargs -d '\n' -a "$out/$1.list" md5sum) |
        sed -E 's/^([0-9a-f]{32})  (.*)$/\2 \1/' | LC_ALL=C sort >"$out/$1.sums"
}
# check_tree TREE DEST: DEST holds exactly TREE's files, byte for byte.
check_tree() {
    if ! diff -rq "$1" "$2" >"$out/diff.log" 2>&1; then
        head -n 5 "$out/diff.log" >&2
        return 1
    fi
}

# ---------------------------------------------------------------- packing and unpacking
pack() {  # pack TREE-NAME TOOL REP
    local name=$1 tool=$2 rep=$3 tree=$corpus/$1 dst rc=0 ok=1 method=()
    case $tool in
        cabmgr|cabmgr-*)
            # cabmgr-mszip9 packs with -m mszip:9, cabmgr-lzx21-thorough with -m lzx:21:thorough.
            [ "$tool" = cabmgr ] || method=(-m "$(sed -E 's/^cabmgr-([a-z]+)([0-9]+)-?/\1:\2:/; s/:$//' <<<"$tool")")
            dst=$out/$name.$tool.cab
            rm -f "$dst"
            timed "$out/log.txt" "$cabmgr" "${method[@]}" c "$tree" "$dst" || rc=$?
            if [ $rc != 0 ] || ! check_cab "$dst" "$name"; then
                ok=0; fail "cabmgr ${method[*]} c $name (status $rc): cabinet missing, not clean, or unlike the tree"
                tail -n 5 "$out/log.txt" >&2
            fi ;;
        gcab)
            dst=$out/$name.gcab.cab
            rm -f "$dst"
            mapfile -t list < "$out/$name.list"
            timed "$out/log.txt" env -C "$tree" gcab -c -z "$dst" "${list[@]}" || rc=$?
            if [ $rc != 0 ] || ! check_cab "$dst" "$name"; then
                ok=0; fail "gcab -c -z $name (status $rc): cabinet missing, not clean, or unlike the tree"
            fi ;;
        tar-pigz|tar-xz)
            # tar | COMPRESSOR; the compressor then tests its own output.
            local zip=(pigz -p 2 -6) ext=gz
            [ $tool = tar-pigz ] || { zip=(xz -6); ext=xz; }
            dst=$out/$name.tar.$ext
            rm -f "$dst"
            timed "$out/log.txt" bash -c 'set -o pipefail; tar -cf - -C "$1" . | "${@:3}" >"$2"' \
                _ "$tree" "$dst" "${zip[@]}" || rc=$?
            if [ $rc != 0 ] || ! "${zip[0]}" -t "$dst" 2>/dev/null; then
                ok=0; fail "tar | ${zip[0]} $name (status $rc): archive missing or damaged"
            fi ;;
    esac
    record pack "$name" "$tool" "$rep" "$(size_of "$dst")" $ok
}

unpack_cmd() {  # unpack_cmd TOOL CAB DEST: prints nothing, sets CMD
    case $1 in
        cabmgr) CMD=("$cabmgr" d "$2" "$3") ;;
        gcab) CMD=(gcab -x -C "$3" "$2") ;;
        cabextract) CMD=(cabextract -q -d "$3" "$2") ;;
        7zip) CMD=("$sevenzip" x "-o$3" -y -bd -bso0 -bsp0 "$2") ;;
        bsdtar) CMD=(bsdtar -xf "$2" -C "$3") ;;
    esac
}

unpack() {  # unpack TREE-NAME TOOL REP [lzx]: reads cabmgr's MSZIP cabinet, or its LZX one
    local name=$1 tool=$2 rep=$3 kind=${4:-} cab=$out/$1.cab dest=$out/x rc=0 ok=1 phase=unpack
    [ -z "$kind" ] || { cab=$out/$name.$kind.cab; phase=unpack-$kind; }
    rm -rf "$dest"
    mkdir -p "$dest"
    unpack_cmd "$tool" "$cab" "$dest"
    timed "$out/log.txt" "${CMD[@]}" || rc=$?
    if [ $rc != 0 ] || ! check_tree "$corpus/$name" "$dest"; then
        ok=0; fail "$tool: unpacking cabmgr's $name ${kind:-mszip} cabinet (status $rc) gave a different tree"
        tail -n 5 "$out/log.txt" >&2
    fi
    record "$phase" "$name" "$tool" "$rep" 0 $ok
    rm -rf "$dest"
}

# Tools take turns, and the one that starts moves on each repetition.
rotate() {  # rotate N ITEMS...: prints ITEMS rotated left by N
    local n=$1
    shift
    local a=("$@") i
    for ((i = 0; i < ${#a[@]}; i++)); do echo "${a[(i + n) % ${#a[@]}]}"; done
}
available() { local t; for t in "$@"; do [ -n "${tool_ok[$t]:-}" ] && echo "$t"; done; true; }

syscalls() {  # syscalls TREE-NAME TOOL: strace -c of one unpacking, kept for the report
    local name=$1 tool=$2 dest=$out/x rc=0
    rm -rf "$dest"
    mkdir -p "$dest"
    unpack_cmd "$tool" "$out/$name.cab" "$dest"
    strace -f -c -o "$out/strace.$name.$tool" "${CMD[@]}" >/dev/null 2>&1 || rc=$?
    if [ $rc != 0 ] || ! check_tree "$corpus/$name" "$dest"; then
        fail "$tool under strace: unpacking cabmgr's $name cabinet gave a different tree"
    fi
    rm -rf "$dest"
}

trees="mixed small system"
run_benchmark() {
    local scale=full
    [ $quick = 1 ] && scale=quick
    python3 "$here/corpus.py" --out "$corpus" --scale "$scale" >"$out/corpus.json"
    local name rep tool packers
    for name in $trees; do
        (cd "$corpus/$name" && find . -type f -printf '%P\n' | LC_ALL=C sort) >"$out/$name.list"
        tree_sums "$name"
    done

    say "packing, $reps repetition(s)"
    for ((rep = 1; rep <= reps; rep++)); do
        # tar | xz is a reference for size: one run is enough, and it is the slowest by far.
        packers=$(available "${ours_packers[@]}" gcab tar-pigz)
        [ $rep = 1 ] && packers="$packers $(available tar-xz)"
        for name in $trees; do
            for tool in $(rotate $((rep - 1)) $packers); do
                pack "$name" "$tool" "$rep"
                say "  pack $name $tool #$rep: ${T_WALL}s"
            done
        done
    done

    # Every tool unpacks the same cabinet: cabmgr's own, or gcab's when measuring the others only.
    # The LZX cabinet is read by the tools that read LZX and were asked for.
    for name in $trees; do
        if [ -f "$out/$name.cabmgr.cab" ]; then
            cp "$out/$name.cabmgr.cab" "$out/$name.cab"
        elif [ $have_ours = 0 ] && [ -f "$out/$name.gcab.cab" ]; then
            cp "$out/$name.gcab.cab" "$out/$name.cab"
        fi
        [ ! -f "$out/$name.cabmgr-lzx21.cab" ] || cp "$out/$name.cabmgr-lzx21.cab" "$out/$name.lzx.cab"
    done
    say "unpacking, $reps repetition(s)"
    for ((rep = 1; rep <= reps; rep++)); do
        for name in $trees; do
            if [ -f "$out/$name.cab" ]; then
                for tool in $(rotate $((rep - 1)) $(available cabmgr gcab cabextract 7zip bsdtar)); do
                    unpack "$name" "$tool" "$rep"
                    say "  unpack $name $tool #$rep: ${T_WALL}s"
                done
            fi
            if [ -f "$out/$name.lzx.cab" ]; then
                for tool in $(rotate $((rep - 1)) $(available cabmgr cabextract 7zip)); do
                    unpack "$name" "$tool" "$rep" lzx
                    say "  unpack $name lzx $tool #$rep: ${T_WALL}s"
                done
            fi
        done
    done

    if [ -n "${tool_ok[strace]:-}" ]; then
        say "counting system calls (strace -c -f)"
        for name in $trees; do
            [ -f "$out/$name.cab" ] || continue
            for tool in $(available cabmgr gcab cabextract 7zip bsdtar); do
                syscalls "$name" "$tool"
            done
        done
    fi
}

# memory_pack_unpack TREE-NAME WHAT: cabmgr c and d of the tree alone, each checked, their peaks
# recorded as memcheck rows.
memory_pack_unpack() {
    local name=$1 what=$2 rc=0 ok=1 cab=$out/$1.cab dest=$out/x
    say "packing $what with cabmgr c"
    timed "$out/log.txt" "$cabmgr" c "$corpus/$name" "$cab" || rc=$?
    if [ $rc != 0 ] || ! check_cab "$cab" "$name"; then
        ok=0; fail "cabmgr c on $what (status $rc)"
        tail -n 5 "$out/log.txt" >&2
    fi
    # A set's later cabinets count in its size.
    record memcheck "$name" cabmgr-c 1 "$(cat "$out/$name".cab "$out/$name"[0-9]*.cab 2>/dev/null | wc -c)" $ok
    say "  ${T_WALL}s, peak ${T_RSS} KiB"
    rc=0 ok=1
    rm -rf "$dest"
    mkdir -p "$dest"
    say "unpacking it with cabmgr d"
    timed "$out/log.txt" "$cabmgr" d "$cab" "$dest" || rc=$?
    if [ $rc != 0 ] || ! check_tree "$corpus/$name" "$dest"; then
        ok=0; fail "cabmgr d of $what (status $rc)"
    fi
    record memcheck "$name" cabmgr-d 1 0 $ok
    say "  ${T_WALL}s, peak ${T_RSS} KiB"
    rm -rf "$dest" "$out/$name".cab "$out/$name"[0-9]*.cab
}

run_memory_check() {
    if [ $have_ours = 0 ]; then
        say "cabmgr is not built: no memory check"
        exit 1
    fi
    # 200,000 files: more than one cabinet holds, so cabmgr c writes a set.
    python3 "$here/corpus.py" --out "$corpus" --only-big --big $((2 << 30)) --many 200000 \
        >"$out/corpus.json"
    local name
    for name in big many; do
        (cd "$corpus/$name" && find . -type f -printf '%P\n' | LC_ALL=C sort) >"$out/$name.list"
        tree_sums "$name"
    done
    memory_pack_unpack big "the 2 GiB tree"
    memory_pack_unpack many "200,000 small files"
}

if [ $memory_check = 1 ]; then
    run_memory_check
else
    run_benchmark
fi

# ---------------------------------------------------------------- report
if [ $quick = 1 ]; then
    md=$build_dir/bench-results.md svg=$build_dir/bench-throughput.svg
else
    md=$here/results.md svg=$here/throughput.svg
    cp "$raw" "$build_dir/bench-raw.tsv" 2>/dev/null || true
fi
mkdir -p "$(dirname "$md")"
mode=full
[ $quick = 1 ] && mode=quick
[ $memory_check = 1 ] && mode=memory
export BENCH_LOAD="${load_start} at the start, $(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo unknown) at the end"
export BENCH_CABMGR=$cabmgr BENCH_SEVENZIP=$sevenzip BENCH_BUILD_TYPE=${build_type:-unknown}
python3 "$here/report.py" --mode "$mode" --raw "$raw" --corpus "$out/corpus.json" \
    --strace-dir "$out" --workdir "$fs_desc" --reps "$reps" --md "$md" --svg "$svg"

if [ ${#failures[@]} -gt 0 ]; then
    say "${#failures[@]} output check(s) failed:"
    printf '  %s\n' "${failures[@]}" >&2
    exit 1
fi
say "every output checked out; table in $md"
