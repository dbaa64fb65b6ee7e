#!/bin/sh
# Makes (once) and refreshes the Debian sid root in which the CPython 3.14
# build and tests run. Reused while its ready-marker exists.
set -eu
ROOT="${QM_SID_ROOT:-/var/tmp/quillmesh-sid}"
MIRROR="${QM_MIRROR:-http://deb.debian.org/debian}"
PKGS="python3 python3-dev python3-pytest python3-hypothesis python3-numpy python3-pip \
      meson python3-mesonpy ninja-build g++ pkg-config libgtest-dev libbenchmark-dev"

if [ -f "$ROOT/.quillmesh-ready" ]; then
    exit 0
fi
command -v debootstrap >/dev/null || {
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
}
if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
    rm -rf "$ROOT"
    mkdir -p "$ROOT"
    echo "making the sid root in $ROOT (first use; takes a few minutes)" >&2
    debootstrap --variant=minbase sid "$ROOT" "$MIRROR" >"$ROOT.debootstrap.log" 2>&1 || {
        tail -n 30 "$ROOT.debootstrap.log" >&2; exit 1; }
fi
# The archive mirror may serve a frozen snapshot whose Release file is past
# its Valid-Until date; the packages are still the ones we want.
echo 'Acquire::Check-Valid-Until "false";' >"$ROOT/etc/apt/apt.conf.d/99quillmesh-valid-until"
chroot "$ROOT" /bin/sh -c "apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends $PKGS" >"$ROOT.apt.log" 2>&1 || {
    tail -n 30 "$ROOT.apt.log" >&2; exit 1; }
touch "$ROOT/.quillmesh-ready"
