"""windows.volumes as it ships (kernel32 imported), in the Windows Python 2.7,
on Wine's own kernel32 and Wine's drives (make test-winpython).

The drive LABELLED_DRIVE (tools/wine-drive.sh) is a folder that Wine's drive
configuration gives the label LABELLED_LABEL and the serial number
LABELLED_SERIAL (hexadecimal), so that labels and serial numbers compared here
are not empty. Everything else is taken from what Wine reports, through the
module and, for comparison, through kernel32 called with ctypes.
"""
import ctypes
import ctypes.wintypes as wintypes
import msvcrt
import os
import re
import sys
import unittest

import windows.volumes as volumes

LABELLED_DRIVE = u"%s:\\" % os.environ["LABELLED_DRIVE"]  # its root, as u"L:\\"
LABELLED_LABEL = os.environ["LABELLED_LABEL"].decode("ascii")
LABELLED_SERIAL = int(os.environ["LABELLED_SERIAL"], 16)

GUID_NAME = re.compile(r"^\\\\\?\\Volume\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\}\\$")
DRIVE_UNKNOWN = 0
ERROR_PATH_NOT_FOUND = 3

KERNEL32 = ctypes.WinDLL("kernel32", use_last_error=True)
KERNEL32.GetDriveTypeW.restype = wintypes.UINT
KERNEL32.GetDriveTypeW.argtypes = [wintypes.LPCWSTR]
KERNEL32.GetDiskFreeSpaceExW.restype = wintypes.BOOL
KERNEL32.GetDiskFreeSpaceExW.argtypes = [wintypes.LPCWSTR, ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint64),
                                         ctypes.c_void_p]


class BY_HANDLE_FILE_INFORMATION(ctypes.Structure):
    _fields_ = [("dwFileAttributes", wintypes.DWORD), ("ftCreationTime", wintypes.FILETIME),
                ("ftLastAccessTime", wintypes.FILETIME), ("ftLastWriteTime", wintypes.FILETIME),
                ("dwVolumeSerialNumber", wintypes.DWORD), ("nFileSizeHigh", wintypes.DWORD),
                ("nFileSizeLow", wintypes.DWORD), ("nNumberOfLinks", wintypes.DWORD),
                ("nFileIndexHigh", wintypes.DWORD), ("nFileIndexLow", wintypes.DWORD)]


KERNEL32.GetFileInformationByHandle.restype = wintypes.BOOL
KERNEL32.GetFileInformationByHandle.argtypes = [wintypes.HANDLE, ctypes.POINTER(BY_HANDLE_FILE_INFORMATION)]


def capacity(root):
    """Total bytes of the volume at `root`, as kernel32 reports them."""
    total = ctypes.c_uint64()
    if not KERNEL32.GetDiskFreeSpaceExW(root, None, ctypes.byref(total), None):
        raise ctypes.WinError(ctypes.get_last_error())
    return total.value


def file_serial(handle):
    """The volume serial number that Windows reports for an open file."""
    information = BY_HANDLE_FILE_INFORMATION()
    if not KERNEL32.GetFileInformationByHandle(handle, ctypes.byref(information)):
        raise ctypes.WinError(ctypes.get_last_error())
    return information.dwVolumeSerialNumber


class Handle(object):
    """An object whose `handle` attribute is an open file's Windows handle."""

    def __init__(self, handle):
        self.handle = handle


class WineDrivesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.names = volumes._ListVolumeNames()
        cls.mounts = dict((name, volumes._GetVolumePathNamesForVolumeName(name)) for name in cls.names)
        cls.labelled = [name for name in cls.names if LABELLED_DRIVE in cls.mounts[name]]

    def setUp(self):
        self.assertEqual(1, len(self.labelled), "one volume is mounted at %s: %r" % (LABELLED_DRIVE, self.mounts))

    def test_enumeration_hands_out_guid_names(self):
        print >> sys.stderr, "\nWine's volumes: %r" % self.mounts
        self.assertGreaterEqual(len(self.names), 3)  # C:, Z: and the labelled drive
        self.assertEqual(len(self.names), len(set(self.names)))
        for name in self.names:
            self.assertIsInstance(name, unicode)
            self.assertRegexpMatches(name, GUID_NAME)

    def test_mount_paths_of_each_guid_name(self):
        drives = set()
        for name in self.names:
            for path in self.mounts[name]:
                self.assertIsInstance(path, unicode)
                self.assertRegexpMatches(path, r"^[A-Z]:\\$")
                drives.add(path)
        self.assertTrue(set([u"C:\\", u"Z:\\", LABELLED_DRIVE]) <= drives, drives)

    def test_information_on_each_mount_point_is_that_of_the_guid_name(self):
        for name in self.names:
            by_name = volumes.GetVolumeInformation(name)
            for path in self.mounts[name]:
                self.assertEqual(by_name, volumes.GetVolumeInformation(path), path)
        label, serial, component_length, flags, filesystem = volumes.GetVolumeInformation(LABELLED_DRIVE)
        self.assertEqual((LABELLED_LABEL, LABELLED_SERIAL), (label, serial))
        self.assertTrue(component_length > 0 and filesystem, (component_length, filesystem))

    def test_information_by_the_handle_of_an_open_file(self):
        with open(os.path.join(LABELLED_DRIVE, "by-handle.txt"), "w") as opened:
            handle = msvcrt.get_osfhandle(opened.fileno())
            by_handle = volumes.GetVolumeInformationByHandle(handle)
        self.assertEqual(volumes.GetVolumeInformation(LABELLED_DRIVE), by_handle)
        self.assertEqual((LABELLED_LABEL, LABELLED_SERIAL), by_handle[:2])

    def test_full_refresh_asks_drive_type_and_size_of_each_guid_name(self):
        service = volumes.VolumeInfo.NewInstance()
        table = service.AllVolumeEntries(force_update=True)
        self.assertEqual(len(self.names), len(table), table)
        for name in self.names:
            label, serial = volumes.GetVolumeInformation(name)[:2]
            entry = table["serial:%d" % serial]
            self.assertEqual((name, self.mounts[name][0], label, serial),
                             (entry.device_file, entry.mountpoint, entry.label, entry.device_number))
            # The refresh asks kernel32 with the GUID name: the same answers.
            self.assertEqual(capacity(name), entry.size)
            self.assertEqual(capacity(self.mounts[name][0]), entry.size)
            self.assertTrue(entry.size > 0)
            # Wine answers DRIVE_UNKNOWN for every GUID name (Windows answers
            # the drive type of the volume): the entry says what kernel32 said.
            self.assertEqual(DRIVE_UNKNOWN, KERNEL32.GetDriveTypeW(name))
            self.assertEqual("UNKNOWN", str(entry.device_type).split(".")[-1])
        entry = table["serial:%d" % LABELLED_SERIAL]
        self.assertEqual((LABELLED_DRIVE, LABELLED_LABEL), (entry.mountpoint, entry.label))

    def test_volume_id_and_is_fat_of_an_open_file(self):
        service = volumes.VolumeInfo.NewInstance()
        service.AllVolumeEntries()
        path = os.path.join(LABELLED_DRIVE, "volume-id.txt")
        with open(path, "w") as opened:
            handle = msvcrt.get_osfhandle(opened.fileno())
            serial = file_serial(handle)
            self.assertEqual(LABELLED_SERIAL, serial)
            # Python 2.7's os.stat leaves st_dev 0 on Windows; the
            # application's stat carries the serial number Windows reports.
            status = os.stat(path)
            status = os.stat_result(tuple(status)[:2] + (serial,) + tuple(status)[3:])
            volume_id = volumes.FindVolumeID(status)
            self.assertEqual("serial:%d" % LABELLED_SERIAL, volume_id)
            entry = service.GetVolumeEntryForVolumeID(volume_id)
            self.assertEqual((LABELLED_DRIVE, LABELLED_LABEL), (entry.mountpoint, entry.label))
            self.assertIs(False, volumes.IsFAT(serial, Handle(handle)))  # Wine's drives report NTFS
            self.assertEqual("NTFS", volumes.GetVolumeInformationByHandle(handle)[4])

    def test_missing_drive_raises_windows_error(self):
        free = [letter for letter in "QRSTUVWXY" if not any(u"%s:\\" % letter in paths
                                                             for paths in self.mounts.values())]
        with self.assertRaises(WindowsError) as caught:
            volumes.GetVolumeInformation(u"%s:\\" % free[0])
        self.assertEqual(ERROR_PATH_NOT_FOUND, caught.exception.winerror)


if __name__ == "__main__":
    unittest.main()
