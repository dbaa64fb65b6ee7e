#!/bin/sh
# Installs from Debian's archive whatever the host lacks of the packages named
# as arguments (default: everything building and testing needs). Installing
# takes root; without it, the missing packages are named and the script fails.
set -eu
PKGS="${*:-python3 python3-dev python3-venv python3-pip python3-pytest python3-hypothesis python3-numpy
      meson python3-mesonpy ninja-build g++ pkg-config libgtest-dev libbenchmark-dev
      debootstrap wamerican-insane clang-14 libclang-rt-14-dev mypy
      g++-aarch64-linux-gnu qemu-user}"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages:$missing; install them as root: apt-get install$missing" >&2
        exit 1
    fi
    echo "installing:$missing" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
