#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and this machine
# lacks.  Safe to run again: packages already present are not touched.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev binutils groff-base
          libcli11-dev nlohmann-json3-dev libfmt-dev
          libsqlite3-dev libdb-dev liblmdb-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# pkg-config, for the test of the installed mdnio.pc: either Debian package provides it.
command -v pkg-config >/dev/null 2>&1 || missing+=(pkgconf)
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
