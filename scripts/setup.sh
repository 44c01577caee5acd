#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Quick when they
# are already present: apt-get runs only for what is missing.
set -euo pipefail
packages=(cmake ninja-build g++ libgtest-dev libboost-log-dev libasio-dev libcrypto++-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
