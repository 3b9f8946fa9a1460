#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the peers used by the
# interoperability tests need and is missing. Does nothing when all is there.
set -euo pipefail
packages=(g++ cmake ninja-build pkgconf zlib1g-dev libisal-dev libgtest-dev clang libclang-rt-14-dev
          clang-format-14 xz-utils git
          cabextract gcab 7zip libarchive-tools pigz hyperfine strace python3 time)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
