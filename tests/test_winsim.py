"""winsim: its arguments, its call log, and the machine it scripts.

The Windows functions are called through ctypes on the very library that
winsim drives, with texts encoded by the host's own UTF-16 codec.
"""
import ctypes
import os
import subprocess
import sys
import threading
import unittest

import winsim
from support import not_in_windows_host, row_named

# Already loaded as winsim's dependency: the loader hands out that copy. On
# Windows its functions are __stdcall, as kernel32's are (WinDLL), which on
# 32-bit Windows is not the C calling convention.
if sys.platform == "win32":
    KERNEL32 = ctypes.WinDLL("libwinstub.dll")
else:
    KERNEL32 = ctypes.CDLL("libwinstub.so")
DWORD = ctypes.c_uint32
HANDLE = ctypes.c_void_p
BUFFER = ctypes.c_char_p
# (HANDLE)-1, as ctypes returns a pointer: unsigned, as wide as the host's pointers.
INVALID_HANDLE_VALUE = 2 ** (8 * ctypes.sizeof(HANDLE)) - 1
for _name, _result, _arguments in [
        ("FindFirstVolumeW", HANDLE, [BUFFER, DWORD]),
        ("FindNextVolumeW", ctypes.c_int, [HANDLE, BUFFER, DWORD]),
        ("FindVolumeClose", ctypes.c_int, [HANDLE]),
        ("GetVolumePathNamesForVolumeNameW", ctypes.c_int,
         [BUFFER, BUFFER, DWORD, ctypes.POINTER(DWORD)]),
        ("GetVolumeInformationW", ctypes.c_int,
         [BUFFER, BUFFER, DWORD, ctypes.POINTER(DWORD), ctypes.POINTER(DWORD),
          ctypes.POINTER(DWORD), BUFFER, DWORD]),
        ("GetVolumeInformationByHandleW", ctypes.c_int,
         [HANDLE, BUFFER, DWORD, ctypes.POINTER(DWORD), ctypes.POINTER(DWORD),
          ctypes.POINTER(DWORD), BUFFER, DWORD]),
        ("GetDriveTypeW", ctypes.c_uint, [BUFFER]),
        ("GetDiskFreeSpaceExW", ctypes.c_int,
         [BUFFER, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64), ctypes.c_void_p]),
        ("GetLastError", DWORD, []),
]:
    getattr(KERNEL32, _name).restype = _result
    getattr(KERNEL32, _name).argtypes = _arguments

NAME_LENGTH = 261
A = u"\\\\?\\Volume{00000000-0000-0000-0000-00000000000a}\\"
B = u"\\\\?\\Volume{00000000-0000-0000-0000-00000000000b}\\"


def wide(text):
    return None if text is None else text.encode("utf-16-le") + "\0\0"


def buffer(length):
    return ctypes.create_string_buffer(2 * length)


def read(raw, length=None):
    """The UTF-16 text of a buffer, up to its first NUL unless a length is given."""
    data = raw.raw if length is None else raw.raw[:2 * length]
    text = data.decode("utf-16-le")
    return text if length is not None else text.split(u"\0")[0]


def enumerate_volumes():
    names = []
    name = buffer(NAME_LENGTH)
    search = KERNEL32.FindFirstVolumeW(name, NAME_LENGTH)
    if search == INVALID_HANDLE_VALUE:
        return names
    while True:
        names.append(read(name))
        if not KERNEL32.FindNextVolumeW(search, name, NAME_LENGTH):
            break
    KERNEL32.FindVolumeClose(search)
    return names


def volume_information(root):
    label, filesystem = buffer(NAME_LENGTH), buffer(NAME_LENGTH)
    serial, max_component, flags = DWORD(), DWORD(), DWORD()
    if not KERNEL32.GetVolumeInformationW(wide(root), label, NAME_LENGTH, serial, max_component, flags,
                                          filesystem, NAME_LENGTH):
        return KERNEL32.GetLastError()
    return read(label), serial.value, max_component.value, flags.value, read(filesystem)


def total_bytes(root):
    total = ctypes.c_uint64()
    if not KERNEL32.GetDiskFreeSpaceExW(wide(root), None, total, None):
        return None
    return total.value


class WinsimTest(unittest.TestCase):

    def setUp(self):
        winsim.reset()

    def tearDown(self):
        winsim.use_sample_machine()

    def test_bad_arguments_are_refused_and_change_nothing(self):
        cases = [
            (winsim.add_volume, (), {}, TypeError),
            (winsim.add_volume, (5,), {}, TypeError),
            (winsim.add_volume, ("\xe9",), {}, UnicodeDecodeError),
            (winsim.add_volume, (u"a\0b",), {}, ValueError),
            (winsim.add_volume, (A,), {"colour": 1}, TypeError),
            (winsim.add_volume, (A,), {"mount_points": u"C:\\"}, TypeError),
            (winsim.add_volume, (A,), {"mount_points": 5}, TypeError),
            (winsim.add_volume, (A,), {"mount_points": [u"C:\\", 5]}, TypeError),
            (winsim.add_volume, (A,), {"label": None}, TypeError),
            (winsim.add_volume, (A,), {"serial": -1}, ValueError),
            (winsim.add_volume, (A,), {"serial": 2 ** 32}, ValueError),
            (winsim.add_volume, (A,), {"serial": "1"}, TypeError),
            (winsim.add_volume, (A,), {"serial": 1.0}, TypeError),
            (winsim.add_volume, (A,), {"max_component": 2 ** 32}, ValueError),
            (winsim.add_volume, (A,), {"flags": -2 ** 70}, ValueError),
            (winsim.add_volume, (A,), {"drive_type": 2 ** 32}, ValueError),
            (winsim.add_volume, (A,), {"information_error": 2 ** 32}, ValueError),
            (winsim.add_volume, (A,), {"total_bytes": 2 ** 64}, ValueError),
            (winsim.add_volume, (A,), {"total_bytes": -1}, ValueError),
            (winsim.add_volume, (A,), {"total_bytes": 10, "free_bytes": 11}, ValueError),
            (winsim.set_mount_points, (A, ()), {}, KeyError),
            (winsim.set_mount_points, (A,), {}, TypeError),
            (winsim.fail, ("CreateFileW", 5), {}, ValueError),
            (winsim.fail, ("GetLastError", 5), {}, ValueError),
            (winsim.fail, (u"GetDriveType\u0174", 5), {}, ValueError),
            (winsim.fail, (5, 5), {}, TypeError),
            (winsim.fail, ("GetDriveTypeW", -1), {}, ValueError),
            (winsim.fail, ("GetDriveTypeW", 5), {"times": -1}, ValueError),
            (winsim.fail, ("GetDriveTypeW", 5), {"skip": 2 ** 32}, ValueError),
            (winsim.fail, ("GetDriveTypeW", 5), {"returned_length": 3}, ValueError),
            (winsim.fail, ("GetVolumePathNamesForVolumeNameW", 5), {"returned_length": -3}, ValueError),
            (winsim.open_handle, (A,), {}, KeyError),
            (winsim.close_handle, (0x40000000,), {}, KeyError),
            (winsim.close_handle, ("1",), {}, TypeError),
            (winsim.close_handle, (2 ** 64,), {}, ValueError),
            (winsim.set_last_error, (2 ** 32,), {}, ValueError),
            (winsim.set_last_error, (-1,), {}, ValueError),
            (winsim.change_directory, (u"C:\\",), {}, ValueError),
            (winsim.change_directory, (), {}, TypeError),
            (winsim.add_directory, (u"relative",), {}, ValueError),
            (winsim.add_directory, (5,), {}, TypeError),
            (winsim.set_drive_directory, (u"C:relative",), {}, ValueError),
            (winsim.current_directory, (1,), {}, TypeError),
            (winsim.reset, (1,), {}, TypeError),
            (winsim.calls, (), {"x": 1}, TypeError),
        ]
        for function, args, kwargs, error in cases:
            with row_named((function.__name__, args, kwargs)):
                self.assertRaises(error, function, *args, **kwargs)
        # No volume and no script came of them.
        winsim.add_volume(A, mount_points=[u"A:\\"])
        self.assertEqual(enumerate_volumes(), [A])
        self.assertEqual(KERNEL32.GetDriveTypeW(wide(u"A:\\")), 3)
        self.assertEqual(winsim.get_last_error(), 18)

    def test_values_reach_the_machine_unchanged(self):
        winsim.add_volume(name=A, mount_points=(u"A:\\",), label=u"L", serial=2 ** 32 - 1,
                          max_component=2 ** 31, flags=2 ** 32 - 2, filesystem="exFAT", drive_type=7,
                          total_bytes=2 ** 64 - 1, free_bytes=2 ** 64 - 1)
        winsim.add_volume(B, [u"B:\\"], total_bytes=None, information_error=1117)
        self.assertEqual(volume_information(u"A:\\"), (u"L", 2 ** 32 - 1, 2 ** 31, 2 ** 32 - 2, u"exFAT"))
        self.assertEqual(KERNEL32.GetDriveTypeW(wide(A)), 7)
        self.assertEqual(total_bytes(A), 2 ** 64 - 1)
        self.assertEqual(volume_information(B), 1117)
        self.assertEqual(total_bytes(u"B:\\"), None)
        self.assertEqual(KERNEL32.GetLastError(), 21)

    def test_texts_cross_as_utf16(self):
        for text in [u"C:\\", "ascii\\", u"\u00e9t\u00e9\\", u"\U0001F4BE\\", u"a\U00010000b\U0010FFFF\\"]:
            winsim.reset()
            name = u"\\\\?\\Volume{%s}\\" % text
            winsim.add_volume(name, mount_points=[text, u"x" + text])
            self.assertEqual(enumerate_volumes(), [name], repr(text))
            paths, returned = buffer(NAME_LENGTH), DWORD()
            self.assertTrue(KERNEL32.GetVolumePathNamesForVolumeNameW(wide(name), paths, NAME_LENGTH, returned),
                            repr(text))
            self.assertEqual(read(paths, returned.value), u"%s\0x%s\0\0" % (text, text), repr(text))
            KERNEL32.GetDriveTypeW(wide(text))
            call = winsim.calls()[-1]
            self.assertEqual(call, ("GetDriveTypeW", text), repr(text))
            self.assertIsInstance(call[1], unicode, repr(text))

    def test_call_log_shapes(self):
        winsim.add_volume(A, mount_points=[u"A:\\"])
        handle = winsim.open_handle(A)
        name, returned, total = buffer(NAME_LENGTH), DWORD(), ctypes.c_uint64()
        search = KERNEL32.FindFirstVolumeW(name, 200)
        KERNEL32.FindNextVolumeW(search, name, 100)
        KERNEL32.FindVolumeClose(search)
        KERNEL32.GetVolumePathNamesForVolumeNameW(wide(A), name, 5, returned)
        KERNEL32.GetVolumeInformationW(wide(u"A:\\"), name, 40, None, None, None, name, 30)
        KERNEL32.GetVolumeInformationByHandleW(handle, None, 20, None, None, None, None, 10)
        KERNEL32.GetDriveTypeW(wide(A))
        KERNEL32.GetDiskFreeSpaceExW(wide(u"Z:\\"), None, total, None)
        self.assertEqual(winsim.calls(), [
            ("FindFirstVolumeW", 200),
            ("FindNextVolumeW", search, 100),
            ("FindVolumeClose", search),
            ("GetVolumePathNamesForVolumeNameW", A, 5),
            ("GetVolumeInformationW", u"A:\\", 40, 30),
            ("GetVolumeInformationByHandleW", handle, 20, 10),
            ("GetDriveTypeW", A),
            ("GetDiskFreeSpaceExW", u"Z:\\"),
        ])
        for call in winsim.calls():
            self.assertIsInstance(call, tuple, call)
            self.assertIsInstance(call[0], str, call)
            for argument in call[1:]:
                self.assertIsInstance(argument, (int, long, unicode), call)
        self.assertNotEqual(search, handle)

    def test_scripted_failures(self):
        winsim.add_volume(A, mount_points=[u"A:\\", u"C:\\A\\"])
        winsim.fail("GetDriveTypeW", 5, times=2, skip=1)
        winsim.fail(code=21, function=u"GetDriveTypeW")
        types = []
        for _ in range(5):
            types.append((KERNEL32.GetDriveTypeW(wide(A)), KERNEL32.GetLastError()))
        self.assertEqual(types, [(3, 0), (0, 5), (0, 5), (0, 21), (3, 21)])

        cases = [(40, 40), (None, 0xDEAD)]
        for scripted, expected in cases:
            winsim.fail("GetVolumePathNamesForVolumeNameW", 234, returned_length=scripted)
            returned = DWORD(0xDEAD)
            self.assertFalse(KERNEL32.GetVolumePathNamesForVolumeNameW(wide(A), buffer(5), 5, returned), scripted)
            self.assertEqual((returned.value, winsim.get_last_error()), (expected, 234), scripted)
        self.assertEqual(len(winsim.calls()), 7)

    def test_handles_and_searches(self):
        winsim.add_volume(A, label=u"first")
        winsim.add_volume(A, label=u"second")
        handle = winsim.open_handle(A)
        self.assertIsInstance(handle, (int, long))
        label = buffer(NAME_LENGTH)
        self.assertTrue(KERNEL32.GetVolumeInformationByHandleW(handle, label, NAME_LENGTH, None, None, None,
                                                               None, 0))
        self.assertEqual(read(label), u"first")
        winsim.close_handle(handle)
        self.assertRaises(KeyError, winsim.close_handle, handle)
        self.assertFalse(KERNEL32.GetVolumeInformationByHandleW(handle, label, NAME_LENGTH, None, None, None,
                                                                None, 0))
        self.assertEqual(winsim.get_last_error(), 6)

        searches = [KERNEL32.FindFirstVolumeW(label, NAME_LENGTH) for _ in range(3)]
        self.assertEqual(winsim.open_searches(), 3)
        for search in searches:
            KERNEL32.FindVolumeClose(search)
        self.assertEqual(winsim.open_searches(), 0)

    def test_current_directory_and_directories(self):
        winsim.add_volume(A, mount_points=[u"C:\\"], serial=1)
        winsim.add_volume(B, mount_points=[u"D:\\", u"C:\\Data\\"], serial=2, total_bytes=5)
        self.assertEqual(winsim.current_directory(), u"C:\\")
        self.assertEqual(volume_information(None)[1], 1)
        winsim.add_directory(u"C:\\Windows\\System32")
        winsim.change_directory(u"Windows")
        self.assertEqual(winsim.current_directory(), u"C:\\Windows")
        self.assertEqual([volume_information(root) for root in (u"C:", u"C:\\Windows\\", u"C:\\nowhere\\")],
                         [123, 144, 2])
        winsim.change_directory(u"D:\\")
        self.assertEqual(volume_information(u"C:")[1], 1)
        winsim.set_drive_directory(u"C:\\Windows")
        self.assertEqual(volume_information(u"C:"), 123)
        self.assertEqual(total_bytes(None), 5)
        winsim.reset()
        self.assertEqual(winsim.current_directory(), u"")

    def test_set_mount_points_changes_the_first_volume_of_that_name(self):
        winsim.add_volume(A, mount_points=[u"A:\\"])
        winsim.add_volume(A, mount_points=[u"B:\\"])
        winsim.set_mount_points(A, [u"Q:\\"])
        self.assertEqual(KERNEL32.GetDriveTypeW(wide(u"A:\\")), 1)
        self.assertEqual(KERNEL32.GetDriveTypeW(wide(u"Q:\\")), 3)
        self.assertEqual(KERNEL32.GetDriveTypeW(wide(u"B:\\")), 3)

    def test_last_error_is_the_calling_threads(self):
        seen = []
        for code in [0, 234, 2 ** 32 - 1]:
            winsim.set_last_error(code)
            self.assertEqual((winsim.get_last_error(), KERNEL32.GetLastError()), (code, code), code)
        thread = threading.Thread(target=lambda: seen.append(winsim.get_last_error()))
        thread.start()
        thread.join()
        self.assertEqual(seen, [0])

    def test_reset_and_sample_machine(self):
        winsim.add_volume(A)
        winsim.fail("FindFirstVolumeW", 5)
        KERNEL32.GetDriveTypeW(wide(A))
        winsim.set_last_error(5)
        winsim.reset()
        self.assertEqual((winsim.calls(), winsim.get_last_error()), ([], 0))
        self.assertEqual(enumerate_volumes(), [])
        self.assertEqual(winsim.get_last_error(), 18)

        sample = winsim.sample_volumes()
        winsim.use_sample_machine()
        self.assertEqual(winsim.calls(), [])
        names = enumerate_volumes()
        self.assertEqual(names, [volume["name"] for volume in sample])
        answers = [(volume_information(name), total_bytes(name)) for name in names]
        # The description is complete: the same machine rebuilt from it answers alike.
        winsim.reset()
        for volume in sample:
            winsim.add_volume(**volume)
        self.assertEqual([(volume_information(name), total_bytes(name)) for name in names], answers)

    @not_in_windows_host("the stand-in serves this machine on Linux only")
    def test_this_machine_is_the_default_on_linux(self):
        here = os.path.dirname(os.path.abspath(__file__))
        # Other programs may mount and unmount meanwhile: what is compared is
        # the volume that holds "/", which every Linux machine has.
        output = subprocess.check_output(
            [sys.executable, "-c",
             "import test_winsim, winsim\n"
             "import windows.volumes as volumes\n"
             "def paths(name):\n"
             "    try:\n"
             "        return volumes._GetVolumePathNamesForVolumeName(name)\n"
             "    except WindowsError:  # unmounted since it was listed\n"
             "        return []\n"
             "def root_volumes():\n"
             "    names = test_winsim.enumerate_volumes()\n"
             "    return names, [name for name in names if u'/' in paths(name)]\n"
             "default = root_volumes()\n"
             "winsim.use_this_machine()\n"
             "print repr((default, root_volumes(), [volume['name'] for volume in winsim.sample_volumes()]))"],
            cwd=here)
        (default_names, default_root), (_, this_root), sample_names = eval(output)
        self.assertEqual(1, len(this_root))
        self.assertEqual(default_root, this_root)
        self.assertFalse(set(default_names) & set(sample_names))

    @not_in_windows_host("the stand-in serves this machine on Linux only")
    def test_this_machine_cannot_be_scripted(self):
        winsim.use_this_machine()
        for function, args in [(winsim.add_volume, (A,)), (winsim.set_mount_points, (A, ())),
                               (winsim.fail, ("GetDriveTypeW", 5)), (winsim.open_handle, (A,)),
                               (winsim.close_handle, (1,)), (winsim.calls, ()), (winsim.open_searches, ())]:
            with row_named(function.__name__):
                self.assertRaises(RuntimeError, function, *args)
        # The machine-independent functions still work, and the others come back.
        winsim.set_last_error(7)
        self.assertEqual(winsim.get_last_error(), 7)
        winsim.reset()
        self.assertEqual(winsim.calls(), [])


if __name__ == "__main__":
    unittest.main()
