#!/usr/bin/env bash
# Installs the built project into a temporary prefix, builds tests/package against it with
# find_package(cabmanager), runs the consumer with the shared and the static library, and checks
# that the shared library exports only the manager and the Cabinet API, and that the manual page
# and the completion file are installed whole.
# Usage: run.sh BUILD_DIR [SANITIZE(ON|OFF)]
set -euo pipefail
build=$(cd "$1" && pwd)
sanitize=${2:-OFF}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
lib=$(find "$work/prefix" -name 'libcabmanager.so' | head -n 1)
[ -n "$lib" ] || { echo "libcabmanager.so was not installed"; exit 1; }
[ -n "$(find "$work/prefix" -name 'libcabmanager.a')" ] || { echo "libcabmanager.a was not installed"; exit 1; }
# The manual page renders without a warning; the completion file parses.
man_warnings=$(MANWIDTH=80 man --warnings -l "$work/prefix/share/man/man1/cabmgr.1" 2>&1 >/dev/null)
[ -z "$man_warnings" ] || { echo "cabmgr.1: $man_warnings"; exit 1; }
bash -n "$work/prefix/share/bash-completion/completions/cabmgr"

unexpected=$(nm -DC --defined-only "$lib" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); print }' |
    grep -Ev '^(CCabManager::|FCI|FDI|cab::ConvertRecordString\(|cab::ReportRecordFailure\(|vtable for CCabManager$|typeinfo (name )?for CCabManager$)' || true)
if [ -n "$unexpected" ]; then
    echo "libcabmanager.so exports more than it should:"
    echo "$unexpected" | head -n 20
    exit 1
fi

flags=""
[ "$sanitize" = "ON" ] && flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
cmake -S "$here" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/build" >/dev/null

for kind in shared static; do
    mkdir -p "$work/run-$kind"
    "$work/build/consumer_$kind" "$root/sample" "$work/run-$kind" >/dev/null
    echo "consumer_$kind: ok"
done
