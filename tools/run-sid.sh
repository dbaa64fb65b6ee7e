#!/bin/sh
# Runs the suite with CPython 3.14 inside the Debian sid root: copies the work
# tree in (builds are kept in the root between runs), then run-suite.sh there.
set -eu
ROOT="${QM_SID_ROOT:-/var/tmp/quillmesh-sid}"
# One user of the root at a time: several work trees on one machine share it.
exec 9>"$ROOT.lock"
flock 9
"$(dirname "$0")/sid-root.sh"
rm -rf "$ROOT/work/src"
# A fresh build each time: the copy keeps the files' times, so a build left
# by another tree's copy could look newer than these sources and be reused.
rm -rf "$ROOT/work/build/sid" "$ROOT/work/build/sid"-* "$ROOT/work/build/sid".*
mkdir -p "$ROOT/work/src" "$ROOT/work/build"
tar --exclude=./build --exclude=./.git --exclude=./fuzz/out -cf - . | tar -C "$ROOT/work/src" -xf -
mounted=""
if ! mountpoint -q "$ROOT/proc" 2>/dev/null; then
    if mount -t proc proc "$ROOT/proc" 2>/dev/null; then mounted=yes; fi
fi
cleanup() { if [ -n "$mounted" ]; then umount "$ROOT/proc" || true; fi; }
trap cleanup EXIT
rc=0
chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/sh -c "cd /work/src && tools/run-suite.sh sid /work/build" || rc=$?
exit $rc
