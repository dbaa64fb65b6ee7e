"""Resident-memory readings shared by the benchmarks."""

import ctypes
import gc
import os


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def trim():
    """Collects garbage and hands freed heap back, so growth reads true."""
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
