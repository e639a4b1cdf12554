"""The hot paths and the refresh of windows.volumes written in plain Python.

The benchmark times the native module against these, in the same process and
on the same simulated machine. The two Windows calls that the refresh makes
itself are reached through ctypes from the same stand-in library; the
volume queries are the module's own.
"""

import ctypes
import logging
import os
import re

from common import utils
from common import volume_entry
from platforms import platform_utils
import windows.volumes as native

LOGGER = logging.getLogger("bench.reference")
VOLUME_NAME_GUID_MATCHER = re.compile(r"\\\\\?\\Volume\{([\w-]+)\}\\")
DRIVE_TYPE_MAP = dict(native.DRIVE_TYPE_MAP)
FAT_FILESYSTEM_NAMES = frozenset(["fat32", "exfat"])
IS_FAT_CACHE = {}


def _Kernel32():
    path = os.environ.get("WINSTUB_LIBRARY")
    if not path:
        import winsim
        path = os.path.join(os.path.dirname(os.path.dirname(winsim.__file__)), "cmake", "lib", "libwinstub.so")
    kernel32 = ctypes.CDLL(path)
    kernel32.GetDriveTypeW.argtypes = [ctypes.c_void_p]
    kernel32.GetDriveTypeW.restype = ctypes.c_uint
    kernel32.GetDiskFreeSpaceExW.argtypes = [ctypes.c_void_p] * 4
    kernel32.GetDiskFreeSpaceExW.restype = ctypes.c_int
    return kernel32


KERNEL32 = _Kernel32()


def _Utf16(text):
    return ctypes.create_string_buffer(text.encode("utf-16-le") + "\0\0")


def _VolumeIDFromSerialNumber(serial_number):
    volume_id = "serial:%s" % (serial_number,)
    if type(volume_id) is not str:
        raise TypeError("Expected str, got %s" % type(volume_id).__name__)
    return intern(volume_id)


def FindVolumeID(stat_result):
    return _VolumeIDFromSerialNumber(stat_result.st_dev)


def IsFAT(serial_number, handle):
    volume_id = _VolumeIDFromSerialNumber(serial_number)
    is_fat = IS_FAT_CACHE.get(volume_id)
    if is_fat is not None:
        return is_fat
    try:
        filesystem = native.GetVolumeInformationByHandle(handle.handle)[4]
    except WindowsError:
        LOGGER.exception("WindowsError")
        return False
    is_fat = filesystem.lower() in FAT_FILESYSTEM_NAMES
    IS_FAT_CACHE[volume_id] = is_fat
    return is_fat


class VolumeInfo(object):

    def __init__(self):
        self._volume_ids = {}
        self._volume_entries = {}
        self._lock = platform_utils.Lock()

    def FindVolumeID(self, stat_result):
        return FindVolumeID(stat_result)

    def AllVolumeEntries(self, force_update=False):
        if not self._volume_entries or force_update:
            self._PopulateVolumeTable(self._volume_ids)
        return self._volume_entries.copy()

    def GetVolumeEntryForVolumeID(self, volume_id):
        return self._volume_entries.get(volume_id)

    def GetVolumeEntryForDeviceNumber(self, st_dev):
        return self.GetVolumeEntryForVolumeID(self._FindVolumeIDForDeviceNumber(st_dev))

    def _FindVolumeIDForDeviceNumber(self, st_dev):
        return _VolumeIDFromSerialNumber(st_dev)

    def _PopulateVolumeTable(self, current_volume_ids):
        with self._lock:
            if self._volume_ids is not current_volume_ids:
                return self._volume_ids
            LOGGER.info("Refreshing volume information table.")
            start_time = utils.GetMonotonicTime()
            new_volume_ids = {}
            new_volume_entries = {}
            for volume_name in native._ListVolumeNames():
                try:
                    mount_points = native._GetVolumePathNamesForVolumeName(volume_name)
                except Exception:
                    LOGGER.exception("Could not determine mount point for %s", volume_name)
                    continue
                if not mount_points:
                    LOGGER.debug("Volume %s has no mount point. Skipping.", volume_name)
                    continue
                if len(mount_points) > 1:
                    mount_points.sort(key=len)
                    LOGGER.debug("Got multiple mounts for %s: %s", volume_name, mount_points)
                mount_point = mount_points[0]
                try:
                    label, serial_number, _, _, filesystem = native.GetVolumeInformation(volume_name)
                except Exception:
                    LOGGER.exception("Unable to fetch volume info for %r, skipping.", mount_point)
                    continue
                wide_name = _Utf16(volume_name)
                device_type = DRIVE_TYPE_MAP.get(long(KERNEL32.GetDriveTypeW(wide_name)),
                                                 volume_entry.DeviceType.UNKNOWN)
                capacity_bytes = ctypes.c_uint64(0)
                if not KERNEL32.GetDiskFreeSpaceExW(wide_name, None, ctypes.byref(capacity_bytes), None):
                    capacity_bytes.value = 0
                    LOGGER.debug("Could not determine volume capacity for %r", mount_point)
                volume_uuid = None
                match = VOLUME_NAME_GUID_MATCHER.match(volume_name)
                if match:
                    volume_uuid = match.group(1).encode("ascii")
                entry = volume_entry.VolumeEntry(
                    volume=_VolumeIDFromSerialNumber(serial_number), mountpoint=mount_point,
                    device_file=volume_name, device_number=serial_number, uuid=volume_uuid, model=None,
                    device_type=device_type, label=label, filesystem=filesystem.lower(),
                    size=long(capacity_bytes.value))
                new_volume_entries[entry.volume] = entry
            self._volume_ids = new_volume_ids
            self._volume_entries = new_volume_entries
            LOGGER.info("Got new volume entries: %r", new_volume_entries)
            end_time = utils.GetMonotonicTime()
            LOGGER.info("Volume information refresh complete in %gs.", end_time - start_time)
            IS_FAT_CACHE.clear()
            return new_volume_ids
