#!/usr/bin/env python2.7
"""Times the hot paths and the refresh of windows.volumes against the same
operations written in plain Python (bench/reference.py), in one process, on
simulated machines. Run by hand after `make`:

    PYTHONPATH=build/python python2.7 bench/bench_volumes.py

Prints, per operation, the best time per call of each and their ratio.
"""

import logging
import os
import sys
import timeit

import winsim
import windows.volumes as native

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference  # noqa: E402  (needs the package tree on the path first)

REPEAT = 5


def ScriptMachine(count):
    """A simulated machine with `count` mounted volumes, half of them FAT32."""
    winsim.reset()
    for index in range(count):
        winsim.add_volume(
            u"\\\\?\\Volume{%08x-5eed-4b0b-9c1e-%012x}\\" % (index, index),
            mount_points=[u"M:\\volumes\\%d\\" % index],
            label=u"Volume %d" % index,
            serial=0x80000000 + index,
            filesystem=u"FAT32" if index % 2 else u"NTFS",
            total_bytes=(index + 1) << 30)


class Handle(object):
    """What IsFAT is given: an object whose `handle` is the Windows handle."""

    def __init__(self, handle):
        self.handle = handle


def BestPerCall(statement, number, namespace):
    """Best time per run of `statement`, compiled into timeit's own loop so
    that no Python-level wrapper call is measured with it."""
    timer = timeit.Timer(statement, "from __main__ import BENCH_NAMESPACE as ns; globals().update(ns)")
    BENCH_NAMESPACE.clear()
    BENCH_NAMESPACE.update(namespace)
    return min(timer.repeat(number=number, repeat=REPEAT)) / number


BENCH_NAMESPACE = {}


def Row(name, native_seconds, python_seconds, unit=1e9, unit_name="ns"):
    print "%-34s %10.1f %s %10.1f %s %8.1fx" % (name, native_seconds * unit, unit_name, python_seconds * unit,
                                                unit_name, python_seconds / native_seconds)


def HotPaths():
    ScriptMachine(16)
    native_service = native.VolumeInfo.NewInstance()
    python_service = reference.VolumeInfo()
    native_service.AllVolumeEntries()
    python_service.AllVolumeEntries()
    serial = 0x80000000 + 3
    stat_result = os.stat_result((0, 0, serial, 0, 0, 0, 0, 0, 0, 0))
    volume_id = native.FindVolumeID(stat_result)
    handle = Handle(winsim.open_handle(u"\\\\?\\Volume{00000003-5eed-4b0b-9c1e-000000000003}\\"))
    assert native.IsFAT(serial, handle) is True and reference.IsFAT(serial, handle) is True
    assert native_service.GetVolumeEntryForDeviceNumber(serial) == python_service.GetVolumeEntryForDeviceNumber(serial)

    number = 500000
    print "%-34s %13s %13s %9s" % ("hot path (per call)", "native", "plain Python", "ratio")
    cases = [
        ("FindVolumeID(stat_result)", "module.FindVolumeID(stat_result)"),
        ("IsFAT(serial, handle), cached", "module.IsFAT(serial, handle)"),
        ("GetVolumeEntryForVolumeID(id)", "service.GetVolumeEntryForVolumeID(volume_id)"),
        ("GetVolumeEntryForDeviceNumber(n)", "service.GetVolumeEntryForDeviceNumber(serial)"),
    ]
    common = dict(stat_result=stat_result, serial=serial, handle=handle, volume_id=volume_id)
    for name, statement in cases:
        native_seconds = BestPerCall(statement, number, dict(common, module=native, service=native_service))
        python_seconds = BestPerCall(statement, number, dict(common, module=reference, service=python_service))
        Row(name, native_seconds, python_seconds)


def Refreshes():
    print
    print "%-34s %13s %13s %9s" % ("refresh (per call)", "native", "plain Python", "ratio")
    per_volume = []
    for count in (100, 1000, 10000):
        ScriptMachine(count)
        native_service = native.VolumeInfo.NewInstance()
        python_service = reference.VolumeInfo()
        number = max(1, 2000 // count)
        statement = "service.AllVolumeEntries(force_update=True)"
        native_seconds = BestPerCall(statement, number, dict(service=native_service))
        python_seconds = BestPerCall(statement, number, dict(service=python_service))
        assert len(native_service.AllVolumeEntries()) == count
        Row("%d volumes" % count, native_seconds, python_seconds, 1e3, "ms")
        per_volume.append((count, native_seconds / count))
    print
    for count, seconds in per_volume:
        print "native refresh, %5d volumes: %6.2f us per volume" % (count, seconds * 1e6)


def main():
    # Records are dropped before formatting, as in an application that does
    # not log at debug or info level.
    logging.getLogger("windows.volumes").setLevel(logging.WARNING)
    logging.getLogger("bench.reference").setLevel(logging.WARNING)
    HotPaths()
    Refreshes()
    winsim.use_sample_machine()


if __name__ == "__main__":
    main()
