#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, only what is missing.
set -euo pipefail

packages=(
    cmake make                                              # build
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64    # Windows cross toolchain, windres, windmc
    googletest                                              # GoogleTest sources, built with the cross toolchain
    wine wine64                                             # runs the Windows programs and tests
    bsdutils util-linux                                     # script (pseudo-terminal) and flock
    tmux                                                    # drives the console as an operator would
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
