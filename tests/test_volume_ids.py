"""Volume IDs from serial numbers and stat results, and the FAT check with its cache."""

import logging
import sys
import unittest

import winsim
import windows.volumes as volumes

from support import (FIND_VOLUME_ID_DOC, IS_FAT_DOC, Handle, IntLike, LogCapture, LongOnly, LongSubclass, OldIntLike,
                     Rebound, Stat, StrSubclass, entry_names, module_entries, not_in_windows_host, refresh,
                     reset_machine, row_named, stat_result, volume_name)

VolumeID = volumes._VolumeIDFromSerialNumber
BY_HANDLE = "GetVolumeInformationByHandleW"


def empty_fat_cache():
    """Empties the module's FAT cache: only a completed refresh does that."""
    reset_machine(volume_name(0))  # Windows always lists at least one volume
    service = volumes.VolumeInfo.NewInstance()
    with LogCapture():
        refresh(service)


def by_handle_calls():
    return [call for call in winsim.calls() if call[0] == BY_HANDLE]


class Number(int):
    def __str__(self):
        return "number"


class Named(object):
    def __str__(self):
        return "named"


class VolumeIDFromSerialNumberTest(unittest.TestCase):

    def test_ids_are_the_interned_text_of_percent_formatting(self):
        cases = [
            (1234, "serial:1234"),
            (1234L, "serial:1234"),
            (0, "serial:0"),
            (0L, "serial:0"),
            (-5, "serial:-5"),
            (-5L, "serial:-5"),
            (2 ** 31 - 1, "serial:2147483647"),
            (2 ** 31, "serial:2147483648"),
            (2 ** 32 - 1, "serial:4294967295"),
            (2 ** 63 - 1, "serial:9223372036854775807"),
            (-2 ** 63, "serial:-9223372036854775808"),
            (2 ** 63, "serial:9223372036854775808"),
            (2 ** 64, "serial:18446744073709551616"),
            (-2 ** 64 - 1, "serial:-18446744073709551617"),
            (True, "serial:True"),
            (False, "serial:False"),
            (1.5, "serial:1.5"),
            (None, "serial:None"),
            ("1234", "serial:1234"),
            (StrSubclass("x"), "serial:x"),
            (Number(7), "serial:number"),  # only exact integers skip str()
            (LongSubclass(7), "serial:7"),
            (Named(), "serial:named"),
            ((1234,), "serial:1234"),
            ((1234L,), "serial:1234"),
        ]
        for serial_number, text in cases:
            volume_id = VolumeID(serial_number)
            self.assertIs(type(volume_id), str, repr(serial_number))
            self.assertEqual(volume_id, text, repr(serial_number))
            self.assertIs(volume_id, intern(text), repr(serial_number))

    def test_int_long_and_one_element_tuple_give_one_object(self):
        self.assertIs(VolumeID(1234), VolumeID(1234L))
        self.assertIs(VolumeID((1234,)), VolumeID(1234))
        self.assertIs(VolumeID("1234"), VolumeID(1234))

    def test_same_object_after_many_other_serials(self):
        first = VolumeID(4321)
        others = [VolumeID(serial) for serial in xrange(100000, 102000)]
        self.assertIs(VolumeID(4321), first)
        self.assertIs(VolumeID(4321L), first)
        for serial, volume_id in zip(xrange(100000, 102000), others):
            self.assertIs(VolumeID(serial), volume_id, serial)
            self.assertIs(volume_id, intern("serial:%d" % serial), serial)

    def test_refused_serial_numbers(self):
        cases = [
            (u"1234", TypeError, "Expected str, got unicode"),
            ((u"x",), TypeError, "Expected str, got unicode"),
            (type("Wide", (unicode,), {})(u"x"), TypeError, "Expected str, got unicode"),
            (type("UnicodeStr", (object,), {"__str__": lambda self: u"u"})(), TypeError,
             "Expected str, got unicode"),
            ((1, 2), TypeError, "not all arguments converted during string formatting"),
            ((), TypeError, "not enough arguments for format string"),
            (type("Broken", (object,), {"__str__": lambda self: 1 / 0})(), ZeroDivisionError, None),
        ]
        for serial_number, error, message in cases:
            try:
                VolumeID(serial_number)
            except error as caught:
                if message is not None:
                    self.assertEqual(str(caught), message, repr(serial_number))
                self.assertEqual(module_entries(sys.exc_info()[2])[-1][0],
                                 "windows.volumes._VolumeIDFromSerialNumber", repr(serial_number))
            else:
                self.fail("%r accepted" % (serial_number,))

    def test_calling_form(self):
        self.assertIsNone(VolumeID.__doc__)
        cases = [
            (lambda: VolumeID(), "_VolumeIDFromSerialNumber() takes exactly one argument (0 given)"),
            (lambda: VolumeID(1, 2), "_VolumeIDFromSerialNumber() takes exactly one argument (2 given)"),
            (lambda: VolumeID(serial_number=1), "_VolumeIDFromSerialNumber() takes no keyword arguments"),
        ]
        for call, message in cases:
            with row_named(message), self.assertRaises(TypeError) as caught:
                call()
            self.assertEqual(str(caught.exception), message)


class FindVolumeIDTest(unittest.TestCase):

    def test_id_of_st_dev(self):
        for st_dev in [1234, 1234L, 0, 2 ** 32 - 1]:
            self.assertIs(volumes.FindVolumeID(stat_result(st_dev)), VolumeID(st_dev), repr(st_dev))
        self.assertIs(volumes.FindVolumeID(Stat(1234)), VolumeID(1234))

    def test_uses_the_function_bound_in_the_module_now(self):
        seen = []

        def fake(serial_number):
            seen.append(serial_number)
            return "fake"

        with Rebound("_VolumeIDFromSerialNumber", fake):
            self.assertEqual(volumes.FindVolumeID(stat_result(5)), "fake")
        self.assertEqual(seen, [5])
        self.assertIs(volumes.FindVolumeID(stat_result(5)), VolumeID(5))

    def test_failures(self):
        # The name is looked up before st_dev is read.
        with Rebound("_VolumeIDFromSerialNumber"):
            with self.assertRaises(NameError) as caught:
                volumes.FindVolumeID(object())
        self.assertEqual(str(caught.exception), "name '_VolumeIDFromSerialNumber' is not defined")

        try:
            volumes.FindVolumeID(object())
        except AttributeError:
            self.assertEqual(module_entries(sys.exc_info()[2]), [("windows.volumes.FindVolumeID", "windows\\volumes")])
        else:
            self.fail("no AttributeError")

        with self.assertRaises(TypeError) as caught:
            volumes.FindVolumeID(Stat(u"7"))
        self.assertEqual(str(caught.exception), "Expected str, got unicode")

    def test_calling_form(self):
        self.assertEqual(volumes.FindVolumeID.__doc__, FIND_VOLUME_ID_DOC)
        with self.assertRaises(TypeError) as caught:
            volumes.FindVolumeID(stat_result=stat_result(1))
        self.assertEqual(str(caught.exception), "FindVolumeID() takes no keyword arguments")


class IsFATTest(unittest.TestCase):

    def setUp(self):
        empty_fat_cache()
        self.volumes = [
            # (file-system name, serial number, answer)
            (u"FAT32", 0x1001, True),
            (u"exFAT", 0x1002, True),
            (u"EXFAT", 0x1003, True),
            (u"fat32", 0x1004, True),
            (u"NTFS", 0x1005, False),
            (u"FAT", 0x1006, False),
            (u"ReFS", 0x1007, False),
            (u"FAT16", 0x1008, False),
            (u"FAT12", 0x1009, False),
            (u"fat", 0x100a, False),
        ]
        reset_machine(*[dict(name=volume_name(serial), mount_points=[u"X:\\"], serial=serial, filesystem=filesystem)
                        for filesystem, serial, _ in self.volumes])
        self.handles = dict((serial, winsim.open_handle(volume_name(serial))) for _, serial, _ in self.volumes)

    def test_fat_family_by_file_system_name(self):
        for filesystem, serial, answer in self.volumes:
            before = len(by_handle_calls())
            self.assertIs(volumes.IsFAT(serial, Handle(self.handles[serial])), answer, filesystem)
            self.assertEqual(by_handle_calls()[before:], [(BY_HANDLE, self.handles[serial], 261, 261)], filesystem)

    def test_cached_answer_does_not_touch_the_handle(self):
        serial = 0x1001
        handle = self.handles[serial]
        self.assertIs(volumes.IsFAT(serial, Handle(handle)), True)
        winsim.close_handle(handle)
        calls = len(winsim.calls())
        for again in [Handle(handle), object(), None, Handle("not a number")]:
            self.assertIs(volumes.IsFAT(serial, again), True, repr(again))
        # The cache is keyed by the volume ID, whatever form the serial number had.
        for same in [long(serial), (serial,), str(serial)]:
            self.assertIs(volumes.IsFAT(same, object()), True, repr(same))
        self.assertEqual(len(winsim.calls()), calls)

    def test_answer_is_filed_under_the_serial_number_given(self):
        # Nothing ties the serial number to the handle's volume.
        self.assertIs(volumes.IsFAT(777, Handle(self.handles[0x1001])), True)
        self.assertIs(volumes.IsFAT(777, Handle(self.handles[0x1005])), True)
        self.assertIs(volumes.IsFAT(778, Handle(self.handles[0x1005])), False)
        self.assertIs(volumes.IsFAT(778, Handle(self.handles[0x1001])), False)
        self.assertEqual(len(by_handle_calls()), 2)

    def test_windows_error_is_logged_answered_false_and_not_cached(self):
        failures = [
            # (serial number, how the query fails, Windows code)
            (0x1002, lambda handle: winsim.fail(BY_HANDLE, 5), 5),
            (0x1003, winsim.close_handle, 6),
        ]
        for serial, arrange, code in failures:
            handle = self.handles[serial]
            arrange(handle)
            with LogCapture() as log:
                self.assertIs(volumes.IsFAT(serial, Handle(handle)), False, code)
            self.assertEqual(log.entries(), [("ERROR", "WindowsError", ())], code)
            record = log.records[0]
            self.assertEqual(record.levelno, logging.ERROR, code)
            self.assertEqual(record.getMessage(), "WindowsError", code)
            error_type, error, error_traceback = record.exc_info
            self.assertIs(error_type, WindowsError, code)
            self.assertIsInstance(error, WindowsError, code)
            self.assertEqual(error.winerror, code, code)
            self.assertEqual(entry_names(error_traceback),
                             ["windows.volumes.IsFAT", "windows.volumes.GetVolumeInformationByHandle"], code)
            # Not cached: the next call asks Windows again.
            before = len(by_handle_calls())
            self.assertIs(volumes.IsFAT(serial, Handle(self.handles[0x1001])), True, code)
            self.assertEqual(len(by_handle_calls()), before + 1, code)

    def test_handled_exception_is_restored_afterwards(self):
        winsim.fail(BY_HANDLE, 5)
        try:
            raise ValueError("outer")
        except ValueError:
            with LogCapture():
                self.assertIs(volumes.IsFAT(0x1001, Handle(self.handles[0x1001])), False)
            self.assertIs(sys.exc_info()[0], ValueError)
        sys.exc_clear()
        winsim.fail(BY_HANDLE, 5)
        with LogCapture():
            volumes.IsFAT(0x1001, Handle(self.handles[0x1001]))
        self.assertEqual(sys.exc_info(), (None, None, None))

    def test_windows_error_and_logger_are_looked_up_at_each_call(self):
        handle = Handle(self.handles[0x1001])

        class Logger(object):
            def __init__(self):
                self.calls = []

            def exception(self, *args):
                self.calls.append((args, sys.exc_info()[0]))

        fake = Logger()
        winsim.fail(BY_HANDLE, 5)
        with Rebound("LOGGER", fake):
            self.assertIs(volumes.IsFAT(0x1001, handle), False)
        self.assertEqual(fake.calls, [(("WindowsError",), WindowsError)])

        # An OSError is not a WindowsError; a module attribute of that name wins over the built-in.
        winsim.fail(BY_HANDLE, 5)
        with Rebound("WindowsError", KeyError):
            with self.assertRaises(WindowsError):
                volumes.IsFAT(0x1001, handle)
        winsim.fail(BY_HANDLE, 5)
        with Rebound("WindowsError", OSError), LogCapture() as log:
            self.assertIs(volumes.IsFAT(0x1001, handle), False)
        self.assertEqual(log.entries(), [("ERROR", "WindowsError", ())])

        class Raising(object):
            def exception(self, *args):
                raise RuntimeError("logger")

        winsim.fail(BY_HANDLE, 5)
        with Rebound("LOGGER", Raising()):
            with self.assertRaises(RuntimeError):
                volumes.IsFAT(0x1001, handle)
        self.assertIs(volumes.IsFAT(0x1001, handle), True)

    def test_volume_id_function_is_looked_up_and_the_query_called_directly(self):
        def refuse(*args):
            raise AssertionError("called through the namespace")

        with Rebound("_VolumeIDFromSerialNumber", lambda serial: "one key"), \
                Rebound("GetVolumeInformationByHandle", refuse):
            self.assertIs(volumes.IsFAT(0x1001, Handle(self.handles[0x1001])), True)
            self.assertIs(volumes.IsFAT(0x1005, object()), True)  # filed under the same key
        self.assertIs(volumes.IsFAT(0x1005, Handle(self.handles[0x1005])), False)
        self.assertEqual(len(by_handle_calls()), 2)

    def test_other_failures_propagate_unlogged_and_uncached(self):
        serial = 0x1001
        cases = [
            (object(), AttributeError, "'object' object has no attribute 'handle'"),
            (Handle("12"), TypeError, "an integer is required"),
            (Handle(None), TypeError, "an integer is required"),
            (Handle(2 ** 63), OverflowError, None),
            (Handle(-2 ** 63 - 1), OverflowError, None),
        ]
        for handle, error, message in cases:
            with LogCapture() as log:
                try:
                    volumes.IsFAT(serial, handle)
                except error as caught:
                    if message is not None:
                        self.assertEqual(str(caught), message, repr(handle))
                    self.assertEqual(module_entries(sys.exc_info()[2])[0][0], "windows.volumes.IsFAT", repr(handle))
                else:
                    self.fail("%r accepted" % (handle,))
            self.assertEqual(log.records, [], repr(handle))
        # A volume-ID failure comes before the cache is consulted.
        with self.assertRaises(TypeError):
            volumes.IsFAT(u"1", object())
        self.assertEqual(by_handle_calls(), [])
        self.assertIs(volumes.IsFAT(serial, Handle(self.handles[serial])), True)

    @not_in_windows_host('its "mbcs" codec encodes every name (best fit: u"\\u0100FS" is "AFS")')
    def test_file_system_name_that_cannot_be_encoded_propagates(self):
        reset_machine(dict(name=volume_name(1), mount_points=[u"X:\\"], serial=1, filesystem=u"\u0100FS"))
        handle = Handle(winsim.open_handle(volume_name(1)))
        for _ in range(2):  # not cached
            with LogCapture() as log:
                self.assertRaises(UnicodeEncodeError, volumes.IsFAT, 1, handle)
            self.assertEqual(log.records, [])
        self.assertEqual(len(by_handle_calls()), 2)

    def test_answer_given_across_a_refresh_stays_cached(self):
        service = volumes.VolumeInfo.NewInstance()
        handle = self.handles[0x1001]
        self.assertIs(volumes.IsFAT(0x1005, Handle(self.handles[0x1005])), False)

        class Refreshing(object):
            @property
            def handle(self):
                with LogCapture():
                    service.AllVolumeEntries(force_update=True)
                return handle

        self.assertIs(volumes.IsFAT(0x1001, Refreshing()), True)
        self.assertRaises(AttributeError, volumes.IsFAT, 0x1005, object())  # the refresh ran in between
        self.assertIs(volumes.IsFAT(0x1001, object()), True)

    def test_handle_objects(self):
        handle = self.handles[0x1001]

        class Computed(object):
            @property
            def handle(self):
                return handle

        holders = [Handle(handle), Handle(long(handle)), Handle(IntLike(handle)), Handle(LongOnly(long(handle))),
                   Handle(OldIntLike(handle)), Computed()]
        for serial, holder in enumerate(holders, 1):
            self.assertIs(volumes.IsFAT(serial, holder), True, repr(holder.handle))
        self.assertEqual(by_handle_calls(), [(BY_HANDLE, handle, 261, 261)] * len(holders))

    def test_completed_refresh_empties_the_cache(self):
        serial = 0x1001
        holder = Handle(self.handles[serial])
        self.assertIs(volumes.IsFAT(serial, holder), True)
        service = volumes.VolumeInfo.NewInstance()
        for _ in range(2):  # the second refresh finds the same table: still emptied
            self.assertIs(volumes.IsFAT(serial, holder), True)
            before = len(by_handle_calls())
            with LogCapture():
                service.AllVolumeEntries(force_update=True)
            with self.assertRaises(AttributeError):
                volumes.IsFAT(serial, object())
            self.assertIs(volumes.IsFAT(serial, holder), True)
            self.assertEqual(len(by_handle_calls()), before + 1)

    def test_calling_forms(self):
        holder = Handle(self.handles[0x1001])
        accepted = [
            ((0x1001, holder), {}),
            ((0x1001,), {"handle": holder}),
            ((), {"serial_number": 0x1001, "handle": holder}),
            ((), {"handle": holder, "serial_number": 0x1001}),
            ((), {u"handle": holder, u"serial_number": 0x1001}),
        ]
        for args, kwargs in accepted:
            self.assertIs(volumes.IsFAT(*args, **kwargs), True, (args, kwargs))
        refused = [
            ((), {}, "IsFAT() takes exactly 2 positional arguments (0 given)"),
            ((1,), {}, "IsFAT() takes exactly 2 positional arguments (1 given)"),
            ((), {"serial_number": 1}, "IsFAT() takes exactly 2 positional arguments (1 given)"),
            ((), {"handle": holder}, "IsFAT() takes exactly 2 positional arguments (0 given)"),
            ((1, holder, 3), {}, "IsFAT() takes exactly 2 positional arguments (3 given)"),
            ((1, holder), {"serial_number": 1}, "IsFAT() got multiple values for keyword argument 'serial_number'"),
            ((1, holder), {"colour": 1}, "IsFAT() got an unexpected keyword argument 'colour'"),
            ((1, holder), {2: 1}, "IsFAT() keywords must be strings"),
        ]
        for args, kwargs, message in refused:
            try:
                volumes.IsFAT(*args, **kwargs)
            except TypeError as caught:
                self.assertEqual(str(caught), message, (args, kwargs))
                self.assertEqual(module_entries(sys.exc_info()[2]), [("windows.volumes.IsFAT", "windows\\volumes")],
                                 (args, kwargs))
            else:
                self.fail("accepted %r %r" % (args, kwargs))
        self.assertEqual(volumes.IsFAT.__doc__, IS_FAT_DOC)

    def test_cache_is_private(self):
        for name in ["IS_FAT_CACHE", "FAT_FILESYSTEM_NAMES"]:
            self.assertFalse(hasattr(volumes, name), name)


if __name__ == "__main__":
    unittest.main()
