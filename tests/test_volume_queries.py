"""windows.volumes' Windows volume queries against scripted machines:
_ListVolumeNames, _GetVolumePathNamesForVolumeName, GetVolumeInformation and
GetVolumeInformationByHandle."""

import ast
import ctypes
import sys
import textwrap
import unittest

import winsim
import windows.volumes as volumes

import support
from support import (GROWTH_FORMAT, REPEAT_FORMAT, WRITE_FAILED_FORMAT, IntLike, IntSubclass, LongOnly, OldIntLike,
                     OldLongOnly, raised, row_named)

NAME_LENGTH = 261  # MAX_PATH + 1
A, B, C = support.volume_name(0xa), support.volume_name(0xb), support.volume_name(0xc)


# ---------------------------------------------------------------------------
# _ListVolumeNames

# (description, volumes, winsim.fail scripts, the result or the Windows code
# of the WindowsError, the error records (names repeated), the functions
# called in order)
LIST_CASES = [
    ("single volume", [A], [], [A], [], ["FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose"]),
    ("A B B", [A, B, B], [], [A, B], [B],
     ["FindFirstVolumeW", "FindNextVolumeW", "FindNextVolumeW", "FindVolumeClose"]),
    ("A B A", [A, B, A], [], [A, B, A], [],
     ["FindFirstVolumeW"] + ["FindNextVolumeW"] * 3 + ["FindVolumeClose"]),
    ("A A B", [A, A, B], [], [A], [A], ["FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose"]),
    ("only the case differs", [A, A.upper()], [], [A, A.upper()], [],
     ["FindFirstVolumeW"] + ["FindNextVolumeW"] * 2 + ["FindVolumeClose"]),
    ("access denied after two names", [A, B, C], [("FindNextVolumeW", 5, 1)], 5, [],
     ["FindFirstVolumeW", "FindNextVolumeW", "FindNextVolumeW", "FindVolumeClose"]),
    ("no more files early", [A, B, C], [("FindNextVolumeW", 18, 1)], [A, B],
     [], ["FindFirstVolumeW", "FindNextVolumeW", "FindNextVolumeW", "FindVolumeClose"]),
    ("FindFirstVolumeW fails", [A, B], [("FindFirstVolumeW", 5, 0)], 5, [], ["FindFirstVolumeW"]),
    ("empty machine", [], [], 18, [], ["FindFirstVolumeW"]),
    ("a name that fills the buffer", [A, u"x" * (NAME_LENGTH - 1)], [], [A, u"x" * (NAME_LENGTH - 1)], [],
     ["FindFirstVolumeW"] + ["FindNextVolumeW"] * 2 + ["FindVolumeClose"]),
    ("a name longer than the buffer", [A, u"x" * NAME_LENGTH], [], 206, [],
     ["FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose"]),
    ("names beyond the basic plane", [u"\\\\?\\Volume{\U0001F4BE}\\", A], [],
     [u"\\\\?\\Volume{\U0001F4BE}\\", A], [], ["FindFirstVolumeW"] + ["FindNextVolumeW"] * 2 + ["FindVolumeClose"]),
]


class ListVolumeNamesTest(unittest.TestCase):

    def test_scripted_searches(self):
        for description, names, failures, expected, repeated, functions in LIST_CASES:
            support.reset_machine(*names)
            for function, code, skip in failures:
                winsim.fail(function, code, skip=skip)
            with support.LogCapture() as log:
                if isinstance(expected, list):
                    result = volumes._ListVolumeNames()
                    self.assertEqual(expected, result, description)
                    self.assertIs(list, type(result), description)
                    self.assertTrue(all(type(name) is unicode for name in result), description)
                else:
                    with row_named(description):
                        error, _ = raised(volumes._ListVolumeNames)
                    self.assertIsInstance(error, WindowsError, description)
                    self.assertEqual(expected, error.winerror, description)
            self.assertEqual([("ERROR", REPEAT_FORMAT, (name,)) for name in repeated], log.entries(), description)
            calls = winsim.calls()
            self.assertEqual(functions, [call[0] for call in calls], description)
            self.assertEqual(("FindFirstVolumeW", NAME_LENGTH), calls[0], description)
            # One search handle throughout, closed once.
            handles = set(call[1] for call in calls[1:])
            self.assertLessEqual(len(handles), 1, description)
            for call in calls[1:]:
                self.assertEqual(call[2:], (NAME_LENGTH,) if call[0] == "FindNextVolumeW" else (), description)
            self.assertEqual(0, winsim.open_searches(), description)

    def test_handle_closed_when_the_logging_call_raises(self):
        support.reset_machine(A, B, B)
        failure = RuntimeError("handler failed")

        def Fail(record):
            raise failure
        with support.LogCapture(Fail):
            error, _ = raised(volumes._ListVolumeNames)
        self.assertIs(failure, error)
        self.assertEqual("FindVolumeClose", winsim.calls()[-1][0])
        self.assertEqual(0, winsim.open_searches())


# ---------------------------------------------------------------------------
# _GetVolumePathNamesForVolumeName

FOLDER = u"C:\\Mounts\\Backup001\\"  # with E:\ and the three NULs: 26 characters


def PackedLength(mount_points):
    return sum(len(path) + 1 for path in mount_points) + 1


class PathNamesTest(unittest.TestCase):

    def Query(self, guid_path, on_record=None):
        with support.LogCapture(on_record) as log:
            try:
                result = volumes._GetVolumePathNamesForVolumeName(guid_path)
            except Exception:
                result = sys.exc_info()[1]
        return result, log.entries(), winsim.calls()

    def Machine(self, mount_points, name=A):
        support.reset_machine({"name": name, "mount_points": tuple(mount_points)})

    def test_answers_that_fit_the_first_buffer(self):
        # (mount points, the name as given)
        cases = [
            ((), A),
            ((u"D:\\",), A),
            ((u"D:\\",), A.encode("ascii")),
        ]
        for mount_points, given in cases:
            self.Machine(mount_points)
            result, records, calls = self.Query(given)
            self.assertEqual(list(mount_points), result, (mount_points, given))
            self.assertIs(list, type(result), (mount_points, given))
            self.assertTrue(all(type(path) is unicode for path in result), (mount_points, given))
            self.assertEqual(([], [("GetVolumePathNamesForVolumeNameW", A, 5)]), (records, calls),
                             (mount_points, given))

    def test_none_is_queried_as_the_text_None(self):
        self.Machine([u"N:\\"], name=u"None")
        result, records, calls = self.Query(None)
        self.assertEqual(([u"N:\\"], []), (result, records))
        self.assertEqual([("GetVolumePathNamesForVolumeNameW", u"None", 5)], calls)

    def test_growth_to_the_asked_length(self):
        # (mount points, the length asked for)
        cases = [
            ((u"E:\\", FOLDER), 26),
            ((u"E:\\", u"F:\\"), 9),
            ((u"C:\\Mounts\\\U0001F4BE\\",), 15),  # a surrogate pair counts twice
        ]
        self.assertEqual(26, PackedLength((u"E:\\", FOLDER)))
        for mount_points, asked in cases:
            self.Machine(mount_points)
            result, records, calls = self.Query(A)
            self.assertEqual(list(mount_points), result, mount_points)
            self.assertEqual([("DEBUG", GROWTH_FORMAT, (10, 2 * asked))], records, mount_points)
            self.assertEqual([("GetVolumePathNamesForVolumeNameW", A, 5),
                              ("GetVolumePathNamesForVolumeNameW", A, asked)], calls, mount_points)
        self.Machine((u"E:\\", FOLDER))
        with support.LogCapture() as log:
            volumes._GetVolumePathNamesForVolumeName(A)
        self.assertEqual(["10 isn't big enough, allocating 52 bytes."], [r.getMessage() for r in log.records])

    def test_second_growth_when_the_mount_points_change_between_calls(self):
        self.Machine((u"E:\\", FOLDER))
        grown = (u"E:\\", FOLDER, u"C:\\Mounts\\Another\\Folder\\")

        def Remount(record):
            if len(winsim.calls()) == 1:
                winsim.set_mount_points(A, grown)
        result, records, calls = self.Query(A, Remount)
        self.assertEqual(list(grown), result)
        self.assertEqual([("DEBUG", GROWTH_FORMAT, (10, 52)), ("DEBUG", GROWTH_FORMAT, (52, 2 * PackedLength(grown)))],
                         records)
        self.assertEqual([5, 26, PackedLength(grown)], [call[2] for call in calls])

    def test_failed_calls_log_and_raise_whatever_the_returned_length(self):
        for returned_length in (None, 0, 1, 2, 40):
            self.Machine([u"D:\\"])
            winsim.fail("GetVolumePathNamesForVolumeNameW", 5, returned_length=returned_length)
            error, records, calls = self.Query(A)
            self.assertIsInstance(error, WindowsError, returned_length)
            self.assertEqual(5, error.winerror, returned_length)
            self.assertEqual([("ERROR", WRITE_FAILED_FORMAT, (10,))], records, returned_length)
            self.assertEqual(1, len(calls), returned_length)

    def test_an_unknown_name_is_an_error(self):
        self.Machine([u"D:\\"])
        error, records, calls = self.Query(B)
        self.assertIsInstance(error, WindowsError)
        self.assertEqual(2, error.winerror)
        self.assertEqual([("ERROR", WRITE_FAILED_FORMAT, (10,))], records)
        self.assertEqual([("GetVolumePathNamesForVolumeNameW", B, 5)], calls)

    def test_failure_after_a_growth_names_the_grown_size(self):
        self.Machine((u"E:\\", FOLDER))
        winsim.fail("GetVolumePathNamesForVolumeNameW", 21, skip=1)
        error, records, calls = self.Query(A)
        self.assertEqual(21, error.winerror)
        self.assertEqual([("DEBUG", GROWTH_FORMAT, (10, 52)), ("ERROR", WRITE_FAILED_FORMAT, (52,))], records)
        self.assertEqual([5, 26], [call[2] for call in calls])

    def test_the_error_is_the_last_error_after_the_record(self):
        self.Machine([u"D:\\"])
        winsim.fail("GetVolumePathNamesForVolumeNameW", 5)
        error, records, _ = self.Query(A, lambda record: winsim.set_last_error(1117))
        self.assertEqual(1117, error.winerror)
        self.assertEqual([("ERROR", WRITE_FAILED_FORMAT, (10,))], records)

    def test_more_data_without_a_usable_length_is_no_mount_point(self):
        for returned_length in (0, 1):
            self.Machine([u"D:\\"])
            winsim.fail("GetVolumePathNamesForVolumeNameW", 234, returned_length=returned_length)
            result, records, calls = self.Query(A)
            self.assertEqual(([], [], 1), (result, records, len(calls)), returned_length)

    def test_an_exception_of_the_growth_record_propagates(self):
        self.Machine((u"E:\\", FOLDER))
        failure = RuntimeError("handler failed")

        def Fail(record):
            raise failure
        error, _, calls = self.Query(A, Fail)
        self.assertIs(failure, error)
        self.assertEqual(1, len(calls))

    def test_undecodable_str_makes_no_windows_call(self):
        self.Machine([u"D:\\"])
        error, records, calls = self.Query("\\\\?\\Volume{\xff}\\")
        self.assertIsInstance(error, UnicodeDecodeError)
        self.assertEqual(([], []), (records, calls))


# Runs in a fresh interpreter whose address space is too small for the
# buffer that the system asks for.
ABSURD_LENGTH_CHILD = textwrap.dedent("""\
    import os
    import resource
    import sys

    import winsim
    import windows.volumes as volumes
    import support

    support.reset_machine({"name": %(name)r, "mount_points": (u"D:\\\\",)})
    winsim.fail("GetVolumePathNamesForVolumeNameW", 234, returned_length=%(length)d)
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    limit = in_use + 256 * 2 ** 20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    with support.LogCapture() as log:
        try:
            volumes._GetVolumePathNamesForVolumeName(%(name)r)
            report = None
        except Exception:
            error_type, error, error_traceback = sys.exc_info()
            report = (error_type.__name__, str(error), support.module_entries(error_traceback))
    print(repr((report, log.entries(), winsim.calls())))
    """)


@support.not_in_windows_host("the child limits its address space with RLIMIT_AS and reads /proc")
class AbsurdLengthTest(unittest.TestCase):

    def test_memory_error_with_the_true_byte_count(self):
        for length in (2 ** 31, 2 ** 32 - 1):
            status, stdout, stderr = support.run_python(ABSURD_LENGTH_CHILD % {"name": A, "length": length})
            self.assertEqual(0, status, "%d: %s" % (length, stderr))
            report, records, calls = ast.literal_eval(stdout.strip().splitlines()[-1])
            self.assertEqual(("MemoryError", "Could not allocate %d bytes." % (2 * length),
                              [("windows.volumes._GetVolumePathNamesForVolumeName", support.TRACEBACK_FILE)]),
                             report, length)
            self.assertEqual([("DEBUG", GROWTH_FORMAT, (10, 2 * length))], records, length)
            self.assertEqual([("GetVolumePathNamesForVolumeNameW", A, 5)], calls, length)


# ---------------------------------------------------------------------------
# GetVolumeInformation and GetVolumeInformationByHandle

# (label, serial, max_component, flags, filesystem) as the machine has them,
# and the file-system name as the tuple gives it.
INFORMATION_CASES = [
    ((u"System", 5, 255, 0x3E706FF, u"NTFS"), "NTFS"),
    ((u"", 2 ** 31, 0, 2 ** 32 - 1, u"FAT32"), "FAT32"),
    ((u"Backup \U0001F4BE", 2 ** 32 - 1, 2 ** 32 - 1, 0, u"exFAT"), "exFAT"),
    ((u"L" * (NAME_LENGTH - 1), 0, 255, 6, u"F" * (NAME_LENGTH - 1)), "F" * (NAME_LENGTH - 1)),
    # The Windows ANSI code page: the euro sign is 0x80 there.
    ((u"Caf\xe9", 0xA41B2C3D, 255, 0, u"\u20acFS"), "\x80FS"),
]


def InformationVolume(label, serial, max_component, flags, filesystem, **extra):
    volume = {"name": A, "mount_points": (u"C:\\", u"\\", u"C:\\Data\\"), "label": label, "serial": serial,
              "max_component": max_component, "flags": flags, "filesystem": filesystem}
    volume.update(extra)
    return volume


class VolumeInformationTest(unittest.TestCase):

    def test_tuple_elements_and_their_types(self):
        for machine_values, filesystem in INFORMATION_CASES:
            support.reset_machine(InformationVolume(*machine_values))
            handle = winsim.open_handle(A)
            expected = machine_values[:4] + (filesystem,)
            for query, result in (("by mount point", volumes.GetVolumeInformation(u"C:\\")),
                                  ("by handle", volumes.GetVolumeInformationByHandle(handle))):
                row = (machine_values, query)
                self.assertIs(tuple, type(result), row)
                self.assertEqual(expected, result, row)
                self.assertEqual([unicode, long, long, long, str], [type(element) for element in result], row)

    def test_path_rules(self):
        # (path given, root queried)
        cases = [
            (u"C:\\", u"C:\\"),
            (u"C:", u"C:\\"),
            (u"", u"\\"),
            (u"C:\\Data", u"C:\\Data\\"),
            (A, A),
        ]
        values = (u"System", 7, 255, 3, u"NTFS")
        for given, queried in cases:
            support.reset_machine(InformationVolume(*values))
            self.assertEqual(values[:4] + ("NTFS",), volumes.GetVolumeInformation(given), repr(given))
            self.assertEqual([("GetVolumeInformationW", queried, NAME_LENGTH, NAME_LENGTH)], winsim.calls(),
                             repr(given))

    def test_failures(self):
        not_ready = InformationVolume(u"", 0, 0, 0, u"", information_error=21)
        # (machine, path, also by handle, error type, Windows code of a WindowsError)
        self.check_failures([
            (not_ready, u"C:\\", True, WindowsError, 21),
            (not_ready, u"Q:\\", False, WindowsError, 3),
        ])

    @support.not_in_windows_host('its "mbcs" codec encodes every name (best fit: u"\\u0100FS" is "AFS")')
    def test_unencodable_file_system_name(self):
        unencodable = InformationVolume(u"", 1, 255, 0, u"\u0100FS")
        self.check_failures([(unencodable, u"C:\\", True, UnicodeEncodeError, None)])

    def check_failures(self, cases):
        for volume, path, by_handle, error_type, code in cases:
            support.reset_machine(volume)
            queries = [(volumes.GetVolumeInformation, path)]
            if by_handle:
                queries.append((volumes.GetVolumeInformationByHandle, winsim.open_handle(A)))
            for query, argument in queries:
                error, _ = raised(query, argument)
                self.assertIsInstance(error, error_type, (path, query.__name__))
                if code is not None:
                    self.assertEqual(code, error.winerror, (path, query.__name__))

    def test_none_makes_no_windows_call(self):
        support.reset_machine(InformationVolume(u"", 1, 255, 0, u"NTFS"))
        error, _ = raised(volumes.GetVolumeInformation, None)
        self.assertEqual((TypeError, "Expected unicode, got None"), (type(error), str(error)))
        self.assertEqual([], winsim.calls())


class OldEmpty:
    pass


class Unconvertible(object):
    def __int__(self):
        raise ValueError("no number here")


class HandleConversionTest(unittest.TestCase):

    def setUp(self):
        support.reset_machine(InformationVolume(u"Data", 9, 255, 0, u"NTFS"))
        self.handle = winsim.open_handle(A)
        self.expected = (u"Data", 9L, 255L, 0L, "NTFS")

    def test_objects_that_convert_to_the_open_handle(self):
        h = self.handle
        for given in (h, long(h), IntSubclass(h), IntLike(h), IntLike(long(h)), LongOnly(long(h)), LongOnly(h),
                      OldIntLike(h), OldLongOnly(long(h))):
            self.assertEqual(self.expected, volumes.GetVolumeInformationByHandle(given), repr(given))
        self.assertEqual([("GetVolumeInformationByHandleW", h, NAME_LENGTH, NAME_LENGTH)] * 9, winsim.calls())

    def test_values_passed_on_as_they_are(self):
        # None of these is an open handle: the system refuses each. A handle is
        # as wide as a pointer: a 32-bit host passes on the low 32 bits.
        h = self.handle
        wide = ctypes.sizeof(ctypes.c_void_p) == 8
        for given, passed_on_64, passed_on_32 in [
                (True, 1, 1), (False, 0, 0), (-1, -1, -1), (2 ** 63 - 1, 2 ** 63 - 1, -1),
                (-2 ** 63, -2 ** 63, 0), (IntLike(-2 ** 63), -2 ** 63, 0), (h + 1, h + 1, h + 1),
                (2 ** 32 + h + 1, 2 ** 32 + h + 1, h + 1)]:
            passed = passed_on_64 if wide else passed_on_32
            error, _ = raised(volumes.GetVolumeInformationByHandle, given)
            self.assertIsInstance(error, WindowsError, repr(given))
            self.assertEqual(6, error.winerror, repr(given))
            self.assertEqual(("GetVolumeInformationByHandleW", passed, NAME_LENGTH, NAME_LENGTH),
                             winsim.calls()[-1], repr(given))

    def test_closed_handle(self):
        winsim.close_handle(self.handle)
        error, _ = raised(volumes.GetVolumeInformationByHandle, self.handle)
        self.assertEqual(6, error.winerror)
        self.assertEqual([("GetVolumeInformationByHandleW", self.handle, NAME_LENGTH, NAME_LENGTH)],
                         winsim.calls()[-1:])

    def test_refused_values_make_no_windows_call(self):
        # (value, error type, message or None for the host's own)
        cases = [
            ("12", TypeError, "an integer is required"),
            (u"12", TypeError, "an integer is required"),
            (None, TypeError, "an integer is required"),
            (object(), TypeError, "an integer is required"),
            (OldEmpty(), TypeError, "an integer is required"),
            (IntLike("12"), TypeError, "__int__ returned non-int (type str)"),
            (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
            (LongOnly("12"), TypeError, "__long__ returned non-long (type str)"),
            (OldIntLike(None), TypeError, "__int__ returned non-int (type NoneType)"),
            (Unconvertible(), ValueError, "no number here"),
            (2 ** 63, OverflowError, None),
            (-2 ** 63 - 1, OverflowError, None),
            (IntLike(2 ** 64), OverflowError, None),
            (LongOnly(-2 ** 63 - 1), OverflowError, None),
        ]
        calls_before = winsim.calls()
        for value, error_type, message in cases:
            error, _ = raised(volumes.GetVolumeInformationByHandle, value)
            self.assertIs(error_type, type(error), repr(value))
            if message is not None:
                self.assertEqual(message, str(error), repr(value))
        self.assertEqual(calls_before, winsim.calls())


if __name__ == "__main__":
    unittest.main()
