"""Small utilities shared across the application."""

import ctypes
import os
import sys


def _MakeWindowsClock():
    kernel32 = ctypes.windll.kernel32
    frequency = ctypes.c_int64()
    if not kernel32.QueryPerformanceFrequency(ctypes.byref(frequency)):
        raise ctypes.WinError()
    frequency = float(frequency.value)

    def GetMonotonicTime():
        """Seconds from the performance counter, a monotonic clock."""
        counter = ctypes.c_int64()
        if not kernel32.QueryPerformanceCounter(ctypes.byref(counter)):
            raise ctypes.WinError()
        return counter.value / frequency

    return GetMonotonicTime


def _MakePosixClock():
    class timespec(ctypes.Structure):
        _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]

    # glibc has clock_gettime in libc itself; older ones only in librt.
    libc = ctypes.CDLL(None, use_errno=True)
    if not hasattr(libc, "clock_gettime"):
        libc = ctypes.CDLL("librt.so.1", use_errno=True)
    clock_gettime = libc.clock_gettime
    clock_gettime.argtypes = [ctypes.c_int, ctypes.POINTER(timespec)]
    clock_gettime.restype = ctypes.c_int
    clock_monotonic = 1  # CLOCK_MONOTONIC in <linux/time.h>

    def GetMonotonicTime():
        """Seconds from CLOCK_MONOTONIC."""
        now = timespec()
        if clock_gettime(clock_monotonic, ctypes.byref(now)) != 0:
            error = ctypes.get_errno()
            raise OSError(error, "clock_gettime: %s" % os.strerror(error))
        return now.tv_sec + now.tv_nsec * 1e-9

    return GetMonotonicTime


# Python 2.7's time module has no monotonic clock: read the platform's own.
if sys.platform == "win32":
    GetMonotonicTime = _MakeWindowsClock()
elif sys.platform.startswith("linux"):
    GetMonotonicTime = _MakePosixClock()
else:
    raise ImportError("no monotonic clock known for platform %r" % sys.platform)
