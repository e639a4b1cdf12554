"""The refresh of the volume table: VolumeInfo._PopulateVolumeTable."""

import __builtin__
import logging
import sys
import threading
import types
import unittest

import winsim
import windows.volumes as volumes
from common import volume_entry

from support import (COMPLETE, MULTIPLE, QUERY_FORMATS, REFRESHING, Handle, LogCapture, entry_names, lock_is_free,
                     refresh, reset_machine, row_named, volume_name)
from support import Rebound

DeviceType = volume_entry.DeviceType
VolumeEntry = volume_entry.VolumeEntry
VolumeID = volumes._VolumeIDFromSerialNumber

NEW_ENTRIES = "Got new volume entries: %r"
NO_MOUNT = "Volume %s has no mount point. Skipping."
MOUNT_FAILED = "Could not determine mount point for %s"
INFO_FAILED = "Unable to fetch volume info for %r, skipping."
CAPACITY = "Could not determine volume capacity for %r"

ENUMERATION = ("FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose")
PATHS = "GetVolumePathNamesForVolumeNameW"
INFO = "GetVolumeInformationW"
DRIVE = "GetDriveTypeW"
SPACE = "GetDiskFreeSpaceExW"
POPULATE = "windows.volumes.VolumeInfo._PopulateVolumeTable"

G1, G2, G3, G4, G5 = [volume_name(number) for number in range(1, 6)]


def entries(log):
    """The refresh's own records (the mount-point query's left out)."""
    return [entry for entry in log.entries() if entry[1] not in QUERY_FORMATS]


def volume_calls():
    """(function, volume name) of the Windows calls after the enumeration."""
    return [call[:2] for call in winsim.calls() if call[0] not in ENUMERATION]


class Clock(object):
    """Stands in for the module `utils`: GetMonotonicTime gives the readings in turn."""

    def __init__(self, *readings, **options):
        self.readings = list(readings)
        self.events = options.get("events", [])

    def GetMonotonicTime(self, *args):
        assert args == ()
        self.events.append("clock")
        return self.readings.pop(0)


class Anonymous(object):
    """Stands in for the module `volume_entry`: its records lack the attribute `volume`."""

    DeviceType = DeviceType
    VolumeEntry = staticmethod(lambda **fields: object())


class FakeLogger(object):
    """Records each call (method, positional arguments, exception being handled)."""

    def __init__(self, raise_on=None, calls=None):
        self.calls = [] if calls is None else calls
        self.raise_on = raise_on

    def _Record(self, level, args, kwargs):
        assert kwargs == {}
        self.calls.append((level, args, sys.exc_info()[0]))
        if args[0] == self.raise_on:
            raise RuntimeError("logger")

    def debug(self, *args, **kwargs):
        self._Record("debug", args, kwargs)

    def info(self, *args, **kwargs):
        self._Record("info", args, kwargs)

    def error(self, *args, **kwargs):
        self._Record("error", args, kwargs)

    def exception(self, *args, **kwargs):
        self._Record("exception", args, kwargs)


class Refresh(unittest.TestCase):
    """A fresh service on an empty machine; `self.log` captures while `with self.log` runs."""

    def setUp(self):
        reset_machine()
        self.service = volumes.VolumeInfo.NewInstance()
        self.log = LogCapture()

    def built(self, *machine):
        """Sets up the machine, refreshes once, and empties the call log."""
        reset_machine(*machine)
        with LogCapture():
            refresh(self.service)
        reset_machine(*machine)
        return self.service._volume_ids, self.service._volume_entries


class TokenTest(Refresh):

    def test_stale_token_returns_the_bound_one_and_does_nothing(self):
        token, table = self.built(dict(name=G1, mount_points=[u"D:\\"], serial=1))
        listed = []
        for stale in [{}, dict(token), None, object(), table]:
            with self.log, Rebound("_ListVolumeNames", lambda: listed.append(1) or [G1]):
                self.assertIs(self.service._PopulateVolumeTable(stale), token, repr(stale))
        self.assertEqual(self.log.records, [])
        self.assertEqual(winsim.calls(), [])
        self.assertEqual(listed, [])
        self.assertIs(self.service._volume_ids, token)
        self.assertIs(self.service._volume_entries, table)
        self.assertTrue(lock_is_free(self.service))

    def test_current_token_installs_a_new_token_and_table(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1))
        old_token, old_table = self.service._volume_ids, self.service._volume_entries
        with self.log:
            token = self.service._PopulateVolumeTable(old_token)
        self.assertIs(token, self.service._volume_ids)
        self.assertIs(type(token), dict)
        self.assertEqual(token, {})
        self.assertIsNot(token, old_token)
        self.assertEqual(old_table, {})
        self.assertEqual(self.service._volume_entries.keys(), [VolumeID(1)])

        # Whoever still holds the old token finds the refresh done.
        calls, records = len(winsim.calls()), len(self.log.records)
        with self.log:
            self.assertIs(self.service._PopulateVolumeTable(old_token), token)
            self.assertIs(self.service._PopulateVolumeTable(current_volume_ids=old_token), token)
        self.assertEqual((len(winsim.calls()), len(self.log.records)), (calls, records))

        table = self.service._volume_entries
        with self.log:
            newer = self.service._PopulateVolumeTable(current_volume_ids=token)
        self.assertIsNot(newer, token)
        self.assertIsNot(self.service._volume_entries, table)
        self.assertEqual(self.service._volume_entries, table)
        self.assertEqual((token, newer), ({}, {}))

    def test_order_of_the_steps_around_the_volumes(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1))
        events = []

        class Recording(volumes.VolumeInfo.cls):
            def __setattr__(self, name, value):
                events.append(("bind", name, value))
                object.__setattr__(self, name, value)

        service = Recording()
        del events[:]
        real = volumes._ListVolumeNames
        with Rebound("LOGGER", FakeLogger(calls=events)), Rebound("utils", Clock(0, 1, events=events)), \
                Rebound("_ListVolumeNames", lambda: events.append("list") or real()):
            token = refresh(service)
        table = service._volume_entries
        self.assertEqual(events, [
            ("info", (REFRESHING,), None), "clock", "list",
            ("bind", "_volume_ids", token), ("bind", "_volume_entries", table),
            ("info", (NEW_ENTRIES, table), None), "clock", ("info", (COMPLETE, 1), None),
        ])
        self.assertIs(events[3][2], token)
        self.assertIs(events[4][2], table)


class LogRecordTest(Refresh):

    MACHINE = [
        dict(name=G5, mount_points=[u"G:\\"], serial=5),  # its mount-point query fails
        dict(name=G1, mount_points=[u"C:\\mnt\\one\\", u"D:\\"], serial=1, total_bytes=10),
        dict(name=G2, serial=2),
        dict(name=G3, mount_points=[u"E:\\"], serial=3, information_error=21),
        dict(name=G4, mount_points=[u"F:\\"], serial=4, total_bytes=None),
    ]

    def test_records_of_a_refresh(self):
        reset_machine(*self.MACHINE)
        winsim.fail(PATHS, 5)
        with self.log, Rebound("utils", Clock(100.0, 102.5)):
            refresh(self.service)
        table = self.service._volume_entries
        self.assertEqual(sorted(table), sorted([VolumeID(1), VolumeID(4)]))
        # logging hands a lone dict argument over as the record's args.
        self.assertEqual(entries(self.log), [
            ("INFO", REFRESHING, ()),
            ("ERROR", MOUNT_FAILED, (G5,)),
            ("DEBUG", MULTIPLE, (G1, [u"D:\\", u"C:\\mnt\\one\\"])),
            ("DEBUG", NO_MOUNT, (G2,)),
            ("ERROR", INFO_FAILED, (u"E:\\",)),
            ("DEBUG", CAPACITY, (u"F:\\",)),
            ("INFO", NEW_ENTRIES, table),
            ("INFO", COMPLETE, (2.5,)),
        ])
        records = dict((record.msg, record) for record in self.log.records)
        self.assertIs(records[NEW_ENTRIES].args, table)
        self.assertEqual(records[INFO_FAILED].getMessage(), "Unable to fetch volume info for u'E:\\\\', skipping.")
        self.assertEqual(records[CAPACITY].getMessage(), "Could not determine volume capacity for u'F:\\\\'")
        self.assertEqual(records[COMPLETE].getMessage(), "Volume information refresh complete in 2.5s.")
        for message, code, query in [(MOUNT_FAILED, 5, "windows.volumes._GetVolumePathNamesForVolumeName"),
                                     (INFO_FAILED, 21, "windows.volumes.GetVolumeInformation")]:
            record = records[message]
            self.assertEqual(record.levelno, logging.ERROR, message)
            error_type, error, error_traceback = record.exc_info
            self.assertIs(error_type, WindowsError, message)
            self.assertEqual(error.winerror, code, message)
            self.assertEqual(entry_names(error_traceback), [POPULATE, query], message)
        for record in self.log.records:
            if record.msg not in (MOUNT_FAILED, INFO_FAILED):
                self.assertIsNone(record.exc_info, record.msg)

    def test_logger_calls_are_made_on_the_logger_bound_now(self):
        reset_machine(*self.MACHINE)
        winsim.fail(PATHS, 5)
        sys.exc_clear()
        logger = FakeLogger()
        with Rebound("LOGGER", logger), Rebound("utils", Clock(1, 3)):
            refresh(self.service)
        table = self.service._volume_entries
        self.assertEqual([call for call in logger.calls if call[1][0] not in QUERY_FORMATS], [
            ("info", (REFRESHING,), None),
            ("exception", (MOUNT_FAILED, G5), WindowsError),
            ("debug", (MULTIPLE, G1, [u"D:\\", u"C:\\mnt\\one\\"]), None),
            ("debug", (NO_MOUNT, G2), None),
            ("exception", (INFO_FAILED, u"E:\\"), WindowsError),
            ("debug", (CAPACITY, u"F:\\"), None),
            ("info", (NEW_ENTRIES, table), None),
            ("info", (COMPLETE, 2), None),
        ])
        self.assertIs(logger.calls[-2][1][1], table)
        # The next refresh goes back to the module's logger.
        with self.log:
            refresh(self.service)
        self.assertEqual(entries(self.log)[0], ("INFO", REFRESHING, ()))

    def test_handled_exception_is_restored_after_skipped_volumes(self):
        reset_machine(*self.MACHINE)
        winsim.fail(PATHS, 5)
        try:
            raise ValueError("outer")
        except ValueError:
            with self.log:
                refresh(self.service)
            self.assertIs(sys.exc_info()[0], ValueError)
        sys.exc_clear()
        with self.log:
            refresh(self.service)
        self.assertEqual(sys.exc_info(), (None, None, None))

    def test_volume_names_that_are_not_unicode_are_skipped(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1), dict(name=G2, mount_points=[u"E:\\"], serial=2))
        wide = type("Wide", (unicode,), {})
        names = [5, wide(G2), G1.encode("ascii"), G2]
        with self.log, Rebound("_ListVolumeNames", lambda: names):
            refresh(self.service)
        self.assertEqual(self.service._volume_entries.keys(), [VolumeID(2)])
        self.assertEqual(entries(self.log)[1:4], [
            ("ERROR", MOUNT_FAILED, (5,)),
            ("ERROR", MOUNT_FAILED, (wide(G2),)),
            ("ERROR", INFO_FAILED, (u"D:\\",)),  # a str name has mount points, but no volume information
        ])
        messages = [str(record.exc_info[1]) for record in self.log.records[1:4]]
        self.assertEqual(messages, ["Expected basestring, got int", "Expected basestring, got Wide",
                                    "Expected unicode, got str"])
        for record in self.log.records[1:4]:
            self.assertIs(record.exc_info[0], TypeError, record.args)
            self.assertEqual(entry_names(record.exc_info[2]), [POPULATE], record.args)


class QueryTest(Refresh):

    def test_four_queries_per_described_volume_in_order(self):
        reset_machine(
            dict(name=G1, mount_points=[u"D:\\"], serial=1),
            dict(name=G2, serial=2),
            dict(name=G3, mount_points=[u"E:\\"], serial=3, information_error=21),
            dict(name=G4, mount_points=[u"F:\\"], serial=4, total_bytes=None),
            dict(name=G5, mount_points=[u"G:\\"], serial=5),
        )
        with self.log:
            refresh(self.service)
        calls = [call[0] for call in winsim.calls()]
        enumeration = len(calls) - len(volume_calls())
        self.assertEqual(calls[0], "FindFirstVolumeW")
        self.assertTrue(set(calls[:enumeration]) <= set(ENUMERATION))
        self.assertEqual(calls.count("FindFirstVolumeW"), 1)
        # The information is read by the GUID name, not by the mount point.
        self.assertEqual(volume_calls(), [
            (PATHS, G1), (INFO, G1), (DRIVE, G1), (SPACE, G1),
            (PATHS, G2),
            (PATHS, G3), (INFO, G3),
            (PATHS, G4), (INFO, G4), (DRIVE, G4), (SPACE, G4),
            (PATHS, G5), (INFO, G5), (DRIVE, G5), (SPACE, G5),
        ])

    def test_collaborators_in_order_and_the_keywords_of_volume_entry(self):
        odd = u"\\\\?\\Volume{not a guid}\\"
        reset_machine(
            dict(name=G1, mount_points=[u"D:\\"], label=u"D\xe4ten", serial=0xDEADBEEF, filesystem=u"FAT32",
                 drive_type=2, total_bytes=2 ** 40),
            dict(name=odd, mount_points=[u"E:\\"], serial=7, drive_type=9, total_bytes=None),
        )
        events = []

        def note(*event):
            events.append((len(winsim.calls()), event))

        made = []

        class VolumeEntryModule(object):
            @property
            def DeviceType(self):
                note("DeviceType")
                return DeviceType

            @property
            def VolumeEntry(self):
                note("VolumeEntry")
                return self.Make

            def Make(self, *args, **kwargs):
                note("VolumeEntry()")
                made.append((args, kwargs))
                # The table files the entry under the volume it reports.
                return VolumeEntry(**dict(kwargs, volume=("filed", kwargs["volume"])))

        class DriveTypes(dict):
            def get(self, *args):
                note("get", type(args[0]), *args)
                return dict.get(self, *args)

        matcher = volumes.VOLUME_NAME_GUID_MATCHER

        class Matcher(object):
            def match(self, *args):
                note("match", *args)
                return matcher.match(*args)

        def volume_id(*args):
            note("volume ID", *args)
            return VolumeID(*args)

        with self.log, Rebound("volume_entry", VolumeEntryModule()), \
                Rebound("DRIVE_TYPE_MAP", DriveTypes(volumes.DRIVE_TYPE_MAP)), \
                Rebound("VOLUME_NAME_GUID_MATCHER", Matcher()), Rebound("_VolumeIDFromSerialNumber", volume_id):
            refresh(self.service)

        calls = winsim.calls()
        timeline = []
        for position in range(len(calls) + 1):
            timeline.extend(event for at, event in events if at == position)
            if position < len(calls) and calls[position][0] not in ENUMERATION:
                timeline.append(calls[position][0])
        self.assertEqual(timeline, [
            PATHS, INFO, DRIVE, ("DeviceType",), ("get", long, 2L, DeviceType.UNKNOWN), SPACE,
            ("match", G1), ("VolumeEntry",), ("volume ID", 0xDEADBEEF), ("VolumeEntry()",),
            PATHS, INFO, DRIVE, ("DeviceType",), ("get", long, 9L, DeviceType.UNKNOWN), SPACE,
            ("match", odd), ("VolumeEntry",), ("volume ID", 7), ("VolumeEntry()",),
        ])

        self.assertEqual([args for args, _ in made], [(), ()])
        expected = [
            dict(volume=VolumeID(0xDEADBEEF), mountpoint=u"D:\\", device_file=G1, device_number=0xDEADBEEFL,
                 uuid="00000000-0000-0000-0000-000000000001", model=None, device_type=DeviceType.REMOVABLE,
                 label=u"D\xe4ten", filesystem="fat32", size=2L ** 40),
            dict(volume=VolumeID(7), mountpoint=u"E:\\", device_file=odd, device_number=7L, uuid=None, model=None,
                 device_type=DeviceType.UNKNOWN, label=u"", filesystem="ntfs", size=0L),
        ]
        for (_, kwargs), wanted in zip(made, expected):
            self.assertEqual(kwargs, wanted, wanted["mountpoint"])
            self.assertIs(kwargs["volume"], wanted["volume"], wanted["mountpoint"])
            self.assertEqual(dict((key, type(value)) for key, value in kwargs.items()),
                             dict((key, type(value)) for key, value in wanted.items()),
                             "types of %s" % kwargs["mountpoint"])
        self.assertEqual(sorted(self.service._volume_entries), [("filed", "serial:3735928559"), ("filed", "serial:7")])


class TableTest(Refresh):

    def test_entries(self):
        odd = u"\\\\?\\Volume{not a guid}\\"
        reset_machine(
            dict(name=G1, mount_points=[u"D:\\"], label=u"D\xe4ten", serial=0xFFFFFFFF, filesystem=u"FAT32",
                 total_bytes=2 ** 64 - 1),
            dict(name=G2, mount_points=[u"E:\\"], serial=0, filesystem=u"exFAT", drive_type=5, total_bytes=0),
            dict(name=odd, mount_points=[u"F:\\"], serial=0x80000000, filesystem=u"NTFS", drive_type=4,
                 total_bytes=None),
        )
        with self.log:
            refresh(self.service)
        expected = [
            VolumeEntry(volume="serial:4294967295", mountpoint=u"D:\\", device_file=G1, device_number=0xFFFFFFFF,
                        uuid="00000000-0000-0000-0000-000000000001", model=None, device_type=DeviceType.INTERNAL,
                        label=u"D\xe4ten", filesystem="fat32", size=2 ** 64 - 1),
            VolumeEntry(volume="serial:0", mountpoint=u"E:\\", device_file=G2, device_number=0,
                        uuid="00000000-0000-0000-0000-000000000002", model=None, device_type=DeviceType.REMOVABLE,
                        label=u"", filesystem="exfat", size=0),
            VolumeEntry(volume="serial:2147483648", mountpoint=u"F:\\", device_file=odd, device_number=0x80000000,
                        uuid=None, model=None, device_type=DeviceType.NETWORK, label=u"", filesystem="ntfs", size=0),
        ]
        table = self.service._volume_entries
        self.assertEqual(table, dict((entry.volume, entry) for entry in expected))
        for entry in table.values():
            self.assertIs(entry.volume, VolumeID(entry.device_number), entry.mountpoint)
            self.assertIs(type(entry.device_number), long, entry.mountpoint)
            self.assertIs(type(entry.size), long, entry.mountpoint)
            self.assertIs(type(entry.filesystem), str, entry.mountpoint)
        # A size of 0 that Windows reported is no failure.
        self.assertEqual([entry[1:] for entry in entries(self.log) if entry[0] == "DEBUG"], [(CAPACITY, (u"F:\\",))])

    def test_shortest_mount_point_first_and_equal_lengths_keep_their_order(self):
        cases = [
            ([u"D:\\"], u"D:\\", None),
            ([u"C:\\mnt\\data\\", u"D:\\"], u"D:\\", [u"D:\\", u"C:\\mnt\\data\\"]),
            ([u"E:\\", u"D:\\"], u"E:\\", [u"E:\\", u"D:\\"]),
            ([u"C:\\mnt\\b\\", u"E:\\", u"C:\\mnt\\a\\", u"D:\\"], u"E:\\",
             [u"E:\\", u"D:\\", u"C:\\mnt\\b\\", u"C:\\mnt\\a\\"]),
        ]
        reset_machine(*[dict(name=volume_name(serial), mount_points=mounts, serial=serial)
                        for serial, (mounts, _, _) in enumerate(cases, 1)])
        with self.log:
            refresh(self.service)
        multiple = [entry[2] for entry in entries(self.log) if entry[1] == MULTIPLE]
        self.assertEqual(multiple, [(volume_name(serial), logged) for serial, (_, _, logged) in enumerate(cases, 1)
                                    if logged is not None])
        for serial, (mounts, mount_point, _) in enumerate(cases, 1):
            self.assertEqual(self.service._volume_entries[VolumeID(serial)].mountpoint, mount_point, mounts)

    def test_drive_types(self):
        cases = [
            (0, DeviceType.UNKNOWN), (1, DeviceType.UNKNOWN), (2, DeviceType.REMOVABLE), (3, DeviceType.INTERNAL),
            (4, DeviceType.NETWORK), (5, DeviceType.REMOVABLE), (6, DeviceType.RAM), (7, DeviceType.UNKNOWN),
            (0xFFFFFFFF, DeviceType.UNKNOWN),
        ]
        reset_machine(*[dict(name=volume_name(serial), mount_points=[u"D:\\"], serial=serial, drive_type=drive_type)
                        for serial, (drive_type, _) in enumerate(cases, 1)])
        with self.log:
            refresh(self.service)
        for serial, (drive_type, device_type) in enumerate(cases, 1):
            self.assertIs(self.service._volume_entries[VolumeID(serial)].device_type, device_type, drive_type)

    def test_same_serial_number_keeps_the_later_volume(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=9), dict(name=G2, mount_points=[u"E:\\"], serial=9))
        with self.log:
            refresh(self.service)
        self.assertEqual(self.service._volume_entries.keys(), [VolumeID(9)])
        self.assertEqual(self.service._volume_entries[VolumeID(9)].device_file, G2)

    def test_no_volume_mounted_installs_an_empty_table(self):
        reset_machine(G1, G2)
        old_token, old_table = self.service._volume_ids, self.service._volume_entries
        with self.log:
            refresh(self.service)
        self.assertIsNot(self.service._volume_ids, old_token)
        self.assertIsNot(self.service._volume_entries, old_table)
        self.assertEqual(self.service._volume_entries, {})
        self.assertEqual(entries(self.log)[:4], [
            ("INFO", REFRESHING, ()), ("DEBUG", NO_MOUNT, (G1,)), ("DEBUG", NO_MOUNT, (G2,)),
            ("INFO", NEW_ENTRIES, ({},)),
        ])
        self.assertEqual(self.log.records[3].getMessage(), "Got new volume entries: {}")
        self.assertEqual(volume_calls(), [(PATHS, G1), (PATHS, G2)])

    def test_module_names_are_looked_up_at_each_refresh(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1), dict(name=G2, mount_points=[u"E:\\"], serial=2),
                      dict(name=G3, mount_points=[u"F:\\"], serial=3, drive_type=2))
        listings = [
            (lambda: [G2], [2]),
            (lambda: (G3, G2), [2, 3]),
            (lambda: iter([G1, G3]), [1, 3]),
            (lambda: (name for name in [G2, G1]), [1, 2]),
        ]
        for listing, serials in listings:
            with self.log, Rebound("_ListVolumeNames", listing):
                refresh(self.service)
            self.assertEqual(sorted(self.service._volume_entries), sorted(VolumeID(serial) for serial in serials),
                             serials)
        self.assertEqual(sorted(self.service._volume_entries), [VolumeID(1), VolumeID(2)])

        with self.log, Rebound("DRIVE_TYPE_MAP", {3: "fixed"}):
            refresh(self.service)
        self.assertEqual([self.service._volume_entries[VolumeID(serial)].device_type for serial in (1, 2, 3)],
                         ["fixed", "fixed", DeviceType.UNKNOWN])

        with self.log:
            refresh(self.service)
        self.assertEqual(sorted(self.service._volume_entries), [VolumeID(1), VolumeID(2), VolumeID(3)])
        self.assertIs(self.service._volume_entries[VolumeID(3)].device_type, DeviceType.REMOVABLE)

    def test_queries_are_called_directly(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1))

        def refuse(*args):
            raise AssertionError("called through the namespace")

        with self.log, Rebound("_GetVolumePathNamesForVolumeName", refuse), Rebound("GetVolumeInformation", refuse):
            refresh(self.service)
        self.assertEqual(self.service._volume_entries.keys(), [VolumeID(1)])
        self.assertEqual([record.msg for record in self.log.records if record.exc_info], [])

    def test_builtins_are_the_fallback_for_module_names(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1))
        logger = FakeLogger()
        with Rebound("LOGGER"):
            __builtin__.LOGGER = logger
            try:
                refresh(self.service)
            finally:
                del __builtin__.LOGGER
            with self.assertRaises(NameError) as caught:
                refresh(self.service)
        self.assertEqual(str(caught.exception), "name 'LOGGER' is not defined")
        self.assertEqual([call[1][0] for call in logger.calls], [REFRESHING, NEW_ENTRIES, COMPLETE])

    def test_lock_is_held_while_refreshing(self):
        reset_machine(dict(name=G1, mount_points=[u"D:\\"], serial=1))
        held = []
        real = volumes._ListVolumeNames

        def listing():
            held.append(self.service._lock.locked())
            return real()

        with self.log, Rebound("_ListVolumeNames", listing):
            refresh(self.service)
        self.assertEqual(held, [True])
        self.assertTrue(lock_is_free(self.service))


class FailureTest(Refresh):
    """What ends a refresh early leaves the service as it was."""

    MACHINE = [dict(name=G1, mount_points=[u"C:\\mnt\\one\\", u"D:\\"], serial=1, filesystem=u"FAT32"),
               dict(name=G2, mount_points=[u"E:\\"], serial=2)]

    def setUp(self):
        Refresh.setUp(self)
        self.token, self.table = self.built(*self.MACHINE)
        self.handle = Handle(winsim.open_handle(G1))
        self.assertIs(volumes.IsFAT(1, self.handle), True)  # cached from now on

    def assertUnchanged(self):
        self.assertIs(self.service._volume_ids, self.token)
        self.assertIs(self.service._volume_entries, self.table)
        self.assertEqual(sorted(self.table), [VolumeID(1), VolumeID(2)])
        self.assertTrue(lock_is_free(self.service))
        self.assertIs(volumes.IsFAT(1, object()), True)  # still cached: no handle needed

    def test_enumeration_failure(self):
        winsim.fail("FindFirstVolumeW", 21)
        with self.log:
            try:
                refresh(self.service)
            except WindowsError as error:
                self.assertEqual(error.winerror, 21)
                self.assertEqual(entry_names(sys.exc_info()[2]), [POPULATE, "windows.volumes._ListVolumeNames"])
            else:
                self.fail("no WindowsError")
        self.assertUnchanged()
        self.assertEqual(self.log.entries(), [("INFO", REFRESHING, ())])

    def test_failures_outside_the_except_clauses(self):
        def raising(error):
            def function(*args):
                raise error
            return function

        def listing_then(error):
            def names():
                yield G1
                raise error
            return lambda: names()

        class Entries(object):
            DeviceType = DeviceType
            VolumeEntry = staticmethod(raising(TypeError("refused")))

        class BrokenMap(object):
            get = staticmethod(raising(KeyError("map")))

        cases = [
            ([Rebound("_ListVolumeNames", raising(RuntimeError("listing")))], RuntimeError),
            ([Rebound("_ListVolumeNames")], NameError),
            ([Rebound("_ListVolumeNames", lambda: 5)], TypeError),
            ([Rebound("_ListVolumeNames", listing_then(ValueError("iteration")))], ValueError),
            ([Rebound("DRIVE_TYPE_MAP", object())], AttributeError),
            ([Rebound("DRIVE_TYPE_MAP", BrokenMap())], KeyError),
            ([Rebound("VOLUME_NAME_GUID_MATCHER")], NameError),
            ([Rebound("volume_entry", Entries())], TypeError),
            ([Rebound("volume_entry", Anonymous())], AttributeError),
            ([Rebound("_VolumeIDFromSerialNumber", lambda serial: [serial])], TypeError),  # unhashable key
            ([Rebound("_VolumeIDFromSerialNumber", raising(ValueError("ID")))], ValueError),
            ([Rebound("utils", object())], AttributeError),
            ([Rebound("LOGGER", FakeLogger(raise_on=MULTIPLE))], RuntimeError),
            ([Rebound("LOGGER", FakeLogger(raise_on=REFRESHING))], RuntimeError),
        ]
        for rebindings, error in cases:
            description = [(rebound.name, getattr(rebound.value, "__name__", rebound.value)) for rebound in rebindings]
            with row_named(description):
                with self.log:
                    for rebound in rebindings:
                        rebound.__enter__()
                    try:
                        self.assertRaises(error, refresh, self.service)
                    finally:
                        for rebound in reversed(rebindings):
                            rebound.__exit__(None, None, None)
                self.assertUnchanged()
        self.assertFalse([record for record in self.log.records if record.msg == NEW_ENTRIES])

    def test_failures_after_installation_keep_the_new_table(self):
        cases = [
            ("logger raising at the new entries", Rebound("LOGGER", FakeLogger(raise_on=NEW_ENTRIES))),
            ("logger raising at the completion", Rebound("LOGGER", FakeLogger(raise_on=COMPLETE))),
            ("clock with one reading", Rebound("utils", Clock(1.0))),  # the second reading fails
        ]
        for description, rebound in cases:
            token, table = self.service._volume_ids, self.service._volume_entries
            with row_named(description), self.log, rebound:
                self.assertRaises((RuntimeError, IndexError), refresh, self.service)
            self.assertIsNot(self.service._volume_ids, token, description)
            self.assertIsNot(self.service._volume_entries, table, description)
            self.assertEqual(self.service._volume_entries, table, description)
            self.assertTrue(lock_is_free(self.service), description)
            self.assertIs(volumes.IsFAT(1, object()), True, description)  # the FAT cache was not emptied

    def test_completed_refresh_empties_the_fat_cache_a_stale_call_does_not(self):
        with self.log:
            self.service._PopulateVolumeTable({})
        self.assertIs(volumes.IsFAT(1, object()), True)
        for _ in range(2):
            with self.log:
                refresh(self.service)
            self.assertEqual(self.service._volume_entries, self.table)
            self.assertRaises(AttributeError, volumes.IsFAT, 1, object())
            self.assertIs(volumes.IsFAT(1, self.handle), True)


def traced(function):
    """A special method of a lock whose lookups and calls the lock records."""

    class Traced(object):
        def __get__(self, lock, owner):
            lock.events.append(("lookup", function.__name__))

            def method(*args):
                lock.events.append(("call", function.__name__, args, len(winsim.calls())))
                return function(lock, *args)
            return method

    return Traced()


class RecordingLock(object):

    def __init__(self, enter_error=None, suppress=False):
        self.events = []
        self.enter_error = enter_error
        self.suppress = suppress
        self.lock = threading.Lock()

    @traced
    def __enter__(self):
        if self.enter_error is not None:
            raise self.enter_error
        self.lock.acquire()
        return "ignored"

    @traced
    def __exit__(self, *exc_info):
        self.lock.release()
        return self.suppress


class OldStyleLock:
    """An old-style instance: its special methods are plain attributes."""

    def __init__(self):
        self.events = []

    def __getattr__(self, name):
        if name not in ("__enter__", "__exit__"):
            raise AttributeError(name)
        self.events.append(("lookup", name))
        return lambda *args: self.events.append(("call", name, args, len(winsim.calls())))


SEM_FAILCRITICALERRORS, SEM_NOGPFAULTERRORBOX, SEM_NOOPENFILEERRORBOX = 0x0001, 0x0002, 0x8000
DIALOGS_OFF = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX
# The calls that may read a drive's medium.
MEDIUM_READING = (INFO, SPACE)


class ErrorModeTest(Refresh):
    """Critical-error dialogs are off around every call that may read a drive's medium."""

    MACHINE = [dict(name=G1, mount_points=[u"C:\\"], serial=1),
               dict(name=G2, mount_points=[u"F:\\"], serial=2, information_error=21),  # no medium
               dict(name=G3, mount_points=[u"G:\\"], serial=3, total_bytes=None)]

    def assertModes(self, caller_mode):
        modes = winsim.error_modes()
        self.assertTrue(modes)
        for call, mode in zip(winsim.calls(), modes):
            expected = caller_mode | DIALOGS_OFF if call[0] in MEDIUM_READING else caller_mode
            self.assertEqual(mode, expected, call)
        self.assertEqual(winsim.thread_error_mode(), caller_mode)

    def test_refresh_and_queries_on_every_way_out(self):
        for caller_mode in (0, SEM_NOGPFAULTERRORBOX, SEM_FAILCRITICALERRORS):
            with row_named("caller's mode %#x" % caller_mode):
                reset_machine(*self.MACHINE)
                winsim.set_thread_error_mode(caller_mode)
                with self.log:
                    refresh(self.service)
                self.assertEqual(sorted(self.service._volume_entries), [VolumeID(1), VolumeID(3)])
                self.assertEqual([call[0] for call in winsim.calls()].count(INFO), 3)
                self.assertModes(caller_mode)

                reset_machine(*self.MACHINE)
                winsim.set_thread_error_mode(caller_mode)
                with self.log, Rebound("volume_entry", Anonymous()):  # fails after the size query
                    self.assertRaises(AttributeError, refresh, self.service)
                self.assertModes(caller_mode)

                # The query's own last error reaches WindowsError.
                reset_machine(*self.MACHINE)
                winsim.set_thread_error_mode(caller_mode)
                for path, code in [(u"F:\\", 21), (u"Q:\\", 3)]:
                    try:
                        volumes.GetVolumeInformation(path)
                    except WindowsError as error:
                        self.assertEqual(error.winerror, code, repr(path))
                    else:
                        self.fail("no WindowsError for %r" % path)
                self.assertEqual(volumes.GetVolumeInformation(u"C:\\")[1], 1)
                self.assertModes(caller_mode)
        winsim.set_thread_error_mode(0)


class LockProtocolTest(Refresh):

    def setUp(self):
        Refresh.setUp(self)
        self.token, self.table = self.built(dict(name=G1, mount_points=[u"D:\\"], serial=1, filesystem=u"FAT32"))
        self.assertIs(volumes.IsFAT(1, Handle(winsim.open_handle(G1))), True)
        winsim.reset()
        winsim.add_volume(G1, mount_points=[u"D:\\"], serial=1)

    def test_exit_then_enter_looked_up_and_everything_runs_inside(self):
        for lock in [RecordingLock(), OldStyleLock()]:
            kind = lock.__class__.__name__
            winsim.reset()
            winsim.add_volume(G1, mount_points=[u"D:\\"], serial=1)
            self.service._lock = lock
            with self.log:
                self.assertIs(refresh(self.service), self.service._volume_ids, kind)
            calls = len(winsim.calls())
            self.assertEqual(lock.events, [("lookup", "__exit__"), ("lookup", "__enter__"),
                                           ("call", "__enter__", (), 0), ("call", "__exit__", (None,) * 3, calls)],
                             kind)
            # A stale token is checked under the lock too.
            del lock.events[:]
            self.service._PopulateVolumeTable({})
            self.assertEqual(lock.events, [("lookup", "__exit__"), ("lookup", "__enter__"),
                                           ("call", "__enter__", (), calls), ("call", "__exit__", (None,) * 3, calls)],
                             kind)

    def test_exit_sees_the_exception(self):
        lock = self.service._lock = RecordingLock()
        winsim.fail("FindFirstVolumeW", 21)
        with self.log:
            self.assertRaises(WindowsError, refresh, self.service)
        self.assertEqual([event[:2] for event in lock.events],
                         [("lookup", "__exit__"), ("lookup", "__enter__"), ("call", "__enter__"), ("call", "__exit__")])
        error_type, error, error_traceback = lock.events[-1][2]
        self.assertIs(error_type, WindowsError)
        self.assertIsInstance(error, WindowsError)
        self.assertEqual(error.winerror, 21)
        self.assertIn("windows.volumes._ListVolumeNames", entry_names(error_traceback))
        self.assertFalse(lock.lock.locked())
        self.assertIs(self.service._volume_ids, self.token)
        self.assertIs(self.service._volume_entries, self.table)

    def test_exit_sees_a_traceback_for_errors_of_the_module_itself(self):
        def listing_fails():
            raise RuntimeError("listing")

        cases = [
            (Rebound("_ListVolumeNames"), NameError),
            (Rebound("DRIVE_TYPE_MAP", object()), AttributeError),
            (Rebound("volume_entry", Anonymous()), AttributeError),
            (Rebound("_VolumeIDFromSerialNumber", lambda serial: [serial]), TypeError),  # unhashable key
            (Rebound("_ListVolumeNames", listing_fails), RuntimeError),
        ]
        for rebound, error_type in cases:
            row = "%s, %s" % (rebound.name, error_type.__name__)
            lock = self.service._lock = RecordingLock()
            with self.log, rebound:
                try:
                    refresh(self.service)
                except error_type:
                    caller_entries = entry_names(sys.exc_info()[2])
                else:
                    self.fail("%s: no %s" % (rebound.name, error_type.__name__))
            exit_type, exit_value, exit_traceback = lock.events[-1][2]
            self.assertEqual((exit_type, type(exit_value)), (error_type, error_type), row)
            self.assertIsInstance(exit_traceback, types.TracebackType, row)
            self.assertEqual(entry_names(exit_traceback), [POPULATE], row)
            self.assertEqual(caller_entries, [POPULATE], row)

    def test_exit_that_suppresses(self):
        lock = self.service._lock = RecordingLock(suppress=True)
        winsim.fail("FindFirstVolumeW", 21)
        with self.log:
            self.assertIsNone(refresh(self.service))
        self.assertEqual(lock.events[-1][:2], ("call", "__exit__"))
        self.assertIs(lock.events[-1][2][0], WindowsError)
        self.assertIs(self.service._volume_ids, self.token)
        self.assertIs(self.service._volume_entries, self.table)
        self.assertIs(volumes.IsFAT(1, object()), True)

    def test_enter_that_raises(self):
        lock = self.service._lock = RecordingLock(enter_error=RuntimeError("enter"))
        with self.log:
            self.assertRaises(RuntimeError, refresh, self.service)
        self.assertEqual(lock.events, [("lookup", "__exit__"), ("lookup", "__enter__"), ("call", "__enter__", (), 0)])
        self.assertEqual((self.log.records, winsim.calls()), ([], []))
        self.assertIs(self.service._volume_ids, self.token)
        self.assertIs(self.service._volume_entries, self.table)
        self.assertIs(volumes.IsFAT(1, object()), True)

    def test_missing_lock_methods(self):
        class ExitOnly(object):
            def __init__(self):
                self.events = []

            @traced
            def __exit__(self, *args):
                pass

        class EnterOnly(object):
            def __init__(self):
                self.events = []

            @traced
            def __enter__(self):
                pass

        class InstanceMethods(object):
            # Special methods are looked up on the type, not on the instance.
            def __init__(self):
                self.events = []
                self.__enter__ = self.__exit__ = lambda *args: None

        cases = [
            (EnterOnly(), "__exit__", []),
            (ExitOnly(), "__enter__", [("lookup", "__exit__")]),
            (InstanceMethods(), "__exit__", []),
        ]
        for lock, missing, events in cases:
            kind = lock.__class__.__name__
            self.service._lock = lock
            with self.log:
                with row_named(kind), self.assertRaises(AttributeError) as caught:
                    refresh(self.service)
            self.assertEqual(str(caught.exception), missing, kind)
            self.assertEqual(lock.events, events, kind)
        del self.service._lock
        with self.assertRaises(AttributeError):
            refresh(self.service)
        self.assertEqual((self.log.records, winsim.calls()), ([], []))
        self.assertIs(self.service._volume_entries, self.table)


if __name__ == "__main__":
    unittest.main()
