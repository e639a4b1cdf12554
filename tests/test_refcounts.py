"""Reference counts: every function and method of windows.volumes called
many times on its success paths and on each of its error paths (argument
errors, Windows failures, collaborators that raise, module names rebound to
something unusable), and the native stand-ins likewise; sys.gettotalrefcount()
must not grow.

Needs the debug interpreter: `make test-debug` runs it there.
"""

import unittest

import winsim
import windows.volumes as volumes

from soundness import (COLLABORATORS, DEBUG_INTERPRETER, MACHINE, NEEDS_DEBUG_INTERPRETER, Countdown, Injected,
                       Lock, Misbehaving, QuietLog, Raising, ServiceClass, VolumeEntry, assert_no_growth,
                       built_service, failures_of, use_machine)
from support import (Handle, IntLike, LongOnly, NoHandle, OldIntLike, Rebound, Replaced, Stat, UnicodeSubclass,
                     refresh, stat_result)

NAME, GROWN, UNMOUNTED, NOT_READY = [MACHINE[index]["name"] for index in (0, 1, 2, 3)]
SERIAL, FAT_SERIAL = MACHINE[0]["serial"], MACHINE[1]["serial"]
# A machine whose search hands out one name twice in a row, and a file
# system whose name the ANSI code page cannot hold.
REPEATING = (dict(name=NAME, mount_points=[u"C:\\"], serial=SERIAL), dict(name=NAME))
UNENCODABLE = (dict(name=NAME, mount_points=[u"C:\\"], serial=SERIAL, filesystem=u"\u4e2d\u6587FS"),)


# -- checks of one call --------------------------------------------------------

def returns(kind, function, *args, **kwargs):
    result = function(*args, **kwargs)
    if not isinstance(result, kind):
        raise AssertionError("returned %r, not %r" % (result, kind))


def raises(exception, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except exception:
        return
    except Exception as error:
        raise AssertionError("raised %r, not %r" % (error, exception))
    raise AssertionError("raised no %r" % (exception,))


def inside(manager, check, *args, **kwargs):
    with manager:
        check(*args, **kwargs)


def failing(function, code, check, *args, **kwargs):
    """`check` with the next call of a Windows function failing."""
    winsim.fail(function, code, **dict((key, kwargs.pop(key)) for key in ("skip", "returned_length")
                                      if key in kwargs))
    check(*args, **kwargs)


# -- objects that misbehave ----------------------------------------------------

class UnicodeStr(object):
    def __str__(self):
        return u"1234"


class Unusable(object):
    """A module name rebound to this has none of the attributes used."""


def raising_function(*args, **kwargs):
    raise Injected("called")


class RaisingLockFactory(object):
    """Stands in for the module platform_utils."""

    Lock = staticmethod(raising_function)


class EntryWithout(object):
    """Stands in for the module volume_entry; its records lack `volume` or
    carry an unhashable one."""

    from common.volume_entry import DeviceType

    def __init__(self, volume):
        self.volume = volume

    def VolumeEntry(self, **fields):
        if self.volume == "missing":
            return object()
        record = Unusable()
        record.volume = self.volume
        return record


# -- the calls -----------------------------------------------------------------

def module_function_cases():
    V = volumes
    return [
        # _ListVolumeNames
        ("_ListVolumeNames", MACHINE, lambda f: returns(list, V._ListVolumeNames)),
        ("_ListVolumeNames(1)", MACHINE, lambda f: raises(TypeError, V._ListVolumeNames, 1)),
        ("_ListVolumeNames(x=1)", MACHINE, lambda f: raises(TypeError, V._ListVolumeNames, x=1)),
        ("_ListVolumeNames, first call failing", MACHINE,
         lambda f: failing("FindFirstVolumeW", 5, raises, WindowsError, V._ListVolumeNames)),
        ("_ListVolumeNames, next call failing", MACHINE,
         lambda f: failing("FindNextVolumeW", 5, raises, WindowsError, V._ListVolumeNames, skip=1)),
        ("_ListVolumeNames, early end", MACHINE,
         lambda f: failing("FindNextVolumeW", 18, returns, list, V._ListVolumeNames, skip=1)),
        ("_ListVolumeNames, repeated name", REPEATING, lambda f: returns(list, V._ListVolumeNames)),
        ("_ListVolumeNames, repeated name, logger raising", REPEATING,
         lambda f: inside(Rebound("LOGGER", CollaboratorLogger()), raises, Injected, V._ListVolumeNames)),
        ("_ListVolumeNames, repeated name, LOGGER unusable", REPEATING,
         lambda f: inside(Rebound("LOGGER", Unusable()), raises, AttributeError, V._ListVolumeNames)),
        ("_ListVolumeNames, repeated name, LOGGER missing", REPEATING,
         lambda f: inside(Rebound("LOGGER"), raises, NameError, V._ListVolumeNames)),
        # _GetVolumePathNamesForVolumeName
        ("mount points", MACHINE, lambda f: returns(list, V._GetVolumePathNamesForVolumeName, NAME)),
        ("mount points of a str", MACHINE,
         lambda f: returns(list, V._GetVolumePathNamesForVolumeName, NAME.encode("ascii"))),
        ("mount points, grown buffer", MACHINE, lambda f: returns(list, V._GetVolumePathNamesForVolumeName, GROWN)),
        ("mount points, none", MACHINE, lambda f: returns(list, V._GetVolumePathNamesForVolumeName, UNMOUNTED)),
        ("mount points of None", MACHINE, lambda f: raises(WindowsError, V._GetVolumePathNamesForVolumeName, None)),
        ("mount points of an int", MACHINE, lambda f: raises(TypeError, V._GetVolumePathNamesForVolumeName, 1)),
        ("mount points of a unicode subclass", MACHINE,
         lambda f: raises(TypeError, V._GetVolumePathNamesForVolumeName, UnicodeSubclass(NAME))),
        ("mount points of an undecodable str", MACHINE,
         lambda f: raises(UnicodeDecodeError, V._GetVolumePathNamesForVolumeName, "\xff")),
        ("mount points, no argument", MACHINE, lambda f: raises(TypeError, V._GetVolumePathNamesForVolumeName)),
        ("mount points, keyword", MACHINE,
         lambda f: raises(TypeError, V._GetVolumePathNamesForVolumeName, guid_path=NAME)),
        ("mount points, failing", MACHINE,
         lambda f: failing("GetVolumePathNamesForVolumeNameW", 5, raises, WindowsError,
                           V._GetVolumePathNamesForVolumeName, NAME)),
        ("mount points, more data of no length", MACHINE,
         lambda f: failing("GetVolumePathNamesForVolumeNameW", 234, returns, list,
                           V._GetVolumePathNamesForVolumeName, NAME, returned_length=1)),
        ("mount points, more data asked", MACHINE,
         lambda f: failing("GetVolumePathNamesForVolumeNameW", 234, returns, list,
                           V._GetVolumePathNamesForVolumeName, NAME, returned_length=40)),
        ("mount points, growth record raising", MACHINE,
         lambda f: inside(Rebound("LOGGER", CollaboratorLogger()), raises, Injected,
                          V._GetVolumePathNamesForVolumeName, GROWN)),
        ("mount points, error record raising", MACHINE,
         lambda f: inside(Rebound("LOGGER", CollaboratorLogger()), failing, "GetVolumePathNamesForVolumeNameW", 5,
                          raises, Injected, V._GetVolumePathNamesForVolumeName, NAME)),
        # GetVolumeInformation
        ("information", MACHINE, lambda f: returns(tuple, V.GetVolumeInformation, NAME)),
        ("information by a mount point without backslash", MACHINE,
         lambda f: returns(tuple, V.GetVolumeInformation, u"C:")),
        ("information of None", MACHINE, lambda f: raises(TypeError, V.GetVolumeInformation, None)),
        ("information of a str", MACHINE, lambda f: raises(TypeError, V.GetVolumeInformation, "C:\\")),
        ("information of an unknown path", MACHINE, lambda f: raises(WindowsError, V.GetVolumeInformation, u"Q:\\")),
        ("information, not ready", MACHINE, lambda f: raises(WindowsError, V.GetVolumeInformation, NOT_READY)),
        ("information, unencodable file system", UNENCODABLE,
         lambda f: raises(UnicodeEncodeError, V.GetVolumeInformation, NAME)),
        ("information, two arguments", MACHINE, lambda f: raises(TypeError, V.GetVolumeInformation, NAME, NAME)),
        # GetVolumeInformationByHandle
        ("information by handle", MACHINE, lambda f: returns(tuple, V.GetVolumeInformationByHandle, f.handle.handle)),
        ("information by a closed handle", MACHINE,
         lambda f: raises(WindowsError, V.GetVolumeInformationByHandle, f.closed_handle)),
        ("information by a str handle", MACHINE, lambda f: raises(TypeError, V.GetVolumeInformationByHandle, "1")),
        ("information by a raising __int__", MACHINE,
         lambda f: raises(Injected, V.GetVolumeInformationByHandle, Raising())),
        ("information by a wrong __int__", MACHINE,
         lambda f: raises(TypeError, V.GetVolumeInformationByHandle, IntLike("3"))),
        ("information by __long__", MACHINE,
         lambda f: raises(WindowsError, V.GetVolumeInformationByHandle, LongOnly(5L))),
        ("information by an old-style __int__", MACHINE,
         lambda f: raises(WindowsError, V.GetVolumeInformationByHandle, OldIntLike(7))),
        ("information by a huge handle", MACHINE,
         lambda f: raises(OverflowError, V.GetVolumeInformationByHandle, 1 << 64)),
        ("information by handle, unencodable file system", UNENCODABLE,
         lambda f: raises(UnicodeEncodeError, V.GetVolumeInformationByHandle, f.handle.handle)),
        # FindVolumeID
        ("FindVolumeID", MACHINE, lambda f: returns(str, V.FindVolumeID, stat_result(SERIAL))),
        ("FindVolumeID of a long", MACHINE, lambda f: returns(str, V.FindVolumeID, stat_result(1L << 40))),
        ("FindVolumeID without st_dev", MACHINE, lambda f: raises(AttributeError, V.FindVolumeID, object())),
        ("FindVolumeID of unicode", MACHINE,
         lambda f: raises(TypeError, V.FindVolumeID, Stat(u"1"))),
        ("FindVolumeID of a raising __str__", MACHINE, lambda f: raises(Injected, V.FindVolumeID, Stat(Raising()))),
        ("FindVolumeID, function rebound", MACHINE,
         lambda f: inside(Rebound("_VolumeIDFromSerialNumber", str), returns, str, V.FindVolumeID, stat_result(1))),
        ("FindVolumeID, function None", MACHINE,
         lambda f: inside(Rebound("_VolumeIDFromSerialNumber", None), raises, TypeError, V.FindVolumeID,
                          stat_result(1))),
        ("FindVolumeID, function raising", MACHINE,
         lambda f: inside(Rebound("_VolumeIDFromSerialNumber", raising_function), raises, Injected,
                          V.FindVolumeID, stat_result(1))),
        ("FindVolumeID, function missing", MACHINE,
         lambda f: inside(Rebound("_VolumeIDFromSerialNumber"), raises, NameError, V.FindVolumeID, stat_result(1))),
        ("FindVolumeID, keyword", MACHINE, lambda f: raises(TypeError, V.FindVolumeID, stat_result=stat_result(1))),
        # _VolumeIDFromSerialNumber
        ("volume ID of an int", MACHINE, lambda f: returns(str, V._VolumeIDFromSerialNumber, 1234)),
        ("volume ID of a long", MACHINE, lambda f: returns(str, V._VolumeIDFromSerialNumber, 1234L)),
        ("volume ID of a negative number", MACHINE, lambda f: returns(str, V._VolumeIDFromSerialNumber, -5)),
        ("volume ID of a huge long", MACHINE, lambda f: returns(str, V._VolumeIDFromSerialNumber, 1 << 100)),
        ("volume ID of a 1-tuple", MACHINE, lambda f: returns(str, V._VolumeIDFromSerialNumber, (7,))),
        ("volume ID of a 2-tuple", MACHINE, lambda f: raises(TypeError, V._VolumeIDFromSerialNumber, (7, 8))),
        ("volume ID of unicode", MACHINE, lambda f: raises(TypeError, V._VolumeIDFromSerialNumber, u"7")),
        ("volume ID of a unicode __str__", MACHINE,
         lambda f: raises(TypeError, V._VolumeIDFromSerialNumber, UnicodeStr())),
        ("volume ID of a raising __str__", MACHINE,
         lambda f: raises(Injected, V._VolumeIDFromSerialNumber, Raising())),
        ("volume ID, two arguments", MACHINE, lambda f: raises(TypeError, V._VolumeIDFromSerialNumber, 1, 2)),
        # IsFAT
        ("IsFAT asking Windows", MACHINE, lambda f: (f.service, returns(bool, V.IsFAT, FAT_SERIAL, f.fat_handle))),
        ("IsFAT from the cache", MACHINE,
         lambda f: (V.IsFAT(FAT_SERIAL, f.fat_handle), returns(bool, V.IsFAT, FAT_SERIAL, NoHandle()))),
        ("IsFAT by keywords", MACHINE,
         lambda f: returns(bool, V.IsFAT, handle=f.fat_handle, serial_number=FAT_SERIAL)),
        ("IsFAT by unicode keywords", MACHINE,
         lambda f: returns(bool, V.IsFAT, **{u"handle": f.fat_handle, u"serial_number": FAT_SERIAL})),
        ("IsFAT, WindowsError", MACHINE, lambda f: returns(bool, V.IsFAT, 99, Handle(f.closed_handle))),
        ("IsFAT, WindowsError, logger raising", MACHINE,
         lambda f: inside(Rebound("LOGGER", CollaboratorLogger()), raises, Injected, V.IsFAT, 99,
                          Handle(f.closed_handle))),
        ("IsFAT, WindowsError, LOGGER None", MACHINE,
         lambda f: inside(Rebound("LOGGER", None), raises, AttributeError, V.IsFAT, 99, Handle(f.closed_handle))),
        ("IsFAT, WindowsError rebound to None", MACHINE,
         lambda f: inside(Rebound("WindowsError", None), raises, WindowsError, V.IsFAT, 99, Handle(f.closed_handle))),
        ("IsFAT, WindowsError rebound to a tuple", MACHINE,
         lambda f: inside(Rebound("WindowsError", (ValueError, WindowsError)), returns, bool, V.IsFAT, 99,
                          Handle(f.closed_handle))),
        ("IsFAT without handle attribute", MACHINE, lambda f: raises(AttributeError, V.IsFAT, 99, NoHandle())),
        ("IsFAT with a str handle", MACHINE, lambda f: raises(TypeError, V.IsFAT, 99, Handle("1"))),
        ("IsFAT with a huge handle", MACHINE, lambda f: raises(OverflowError, V.IsFAT, 99, Handle(-1 << 70))),
        ("IsFAT of a unicode serial", MACHINE, lambda f: raises(TypeError, V.IsFAT, u"1", f.fat_handle)),
        ("IsFAT, unencodable file system", UNENCODABLE,
         lambda f: raises(UnicodeEncodeError, V.IsFAT, 98, f.handle)),
        ("IsFAT, one argument", MACHINE, lambda f: raises(TypeError, V.IsFAT, 1)),
        ("IsFAT, three arguments", MACHINE, lambda f: raises(TypeError, V.IsFAT, 1, 2, 3)),
        ("IsFAT, keyword missing", MACHINE, lambda f: raises(TypeError, V.IsFAT, serial_number=1)),
        ("IsFAT, multiple values", MACHINE, lambda f: raises(TypeError, V.IsFAT, 1, f.handle, serial_number=1)),
        ("IsFAT, unexpected keyword", MACHINE, lambda f: raises(TypeError, V.IsFAT, 1, f.handle, other=1)),
        ("IsFAT, non-ASCII keyword", MACHINE,
         lambda f: raises(TypeError, V.IsFAT, 1, f.handle, **{u"h\xe4ndle\U0001F600": 1})),
        ("IsFAT, keyword not a string", MACHINE,
         lambda f: raises(TypeError, apply, V.IsFAT, (1, f.handle), {1: 2})),
    ]


class CollaboratorLogger(object):
    """A LOGGER whose every method raises."""

    def __getattr__(self, name):
        return raising_function


def service_cases():
    V = volumes
    methods = ServiceClass.__dict__
    cases = [
        # construction
        ("VolumeInfo()", MACHINE, lambda f: returns(ServiceClass, V.VolumeInfo.NewInstance)),
        ("VolumeInfo(1)", MACHINE, lambda f: raises(TypeError, V.VolumeInfo.NewInstance, 1)),
        ("VolumeInfo(x=1)", MACHINE, lambda f: raises(TypeError, V.VolumeInfo.NewInstance, x=1)),
        ("VolumeInfo(), Lock raising", MACHINE,
         lambda f: inside(Rebound("platform_utils", RaisingLockFactory()), raises, Injected,
                          V.VolumeInfo.NewInstance)),
        ("VolumeInfo(), platform_utils unusable", MACHINE,
         lambda f: inside(Rebound("platform_utils", Unusable()), raises, AttributeError, V.VolumeInfo.NewInstance)),
        ("VolumeInfo(), platform_utils missing", MACHINE,
         lambda f: inside(Rebound("platform_utils"), raises, NameError, V.VolumeInfo.NewInstance)),
        # FindVolumeID
        ("method FindVolumeID", MACHINE, lambda f: returns(str, f.service.FindVolumeID, stat_result(SERIAL))),
        ("method FindVolumeID by keyword", MACHINE,
         lambda f: returns(str, f.service.FindVolumeID, stat_result=stat_result(SERIAL))),
        ("method FindVolumeID without st_dev", MACHINE,
         lambda f: raises(AttributeError, f.service.FindVolumeID, None)),
        ("method FindVolumeID, function rebound", MACHINE,
         lambda f: inside(Rebound("FindVolumeID", repr), returns, str, f.service.FindVolumeID, 1)),
        ("method FindVolumeID, function None", MACHINE,
         lambda f: inside(Rebound("FindVolumeID", None), raises, TypeError, f.service.FindVolumeID, 1)),
        ("method FindVolumeID, function missing", MACHINE,
         lambda f: inside(Rebound("FindVolumeID"), raises, NameError, f.service.FindVolumeID, 1)),
        ("method FindVolumeID, no argument", MACHINE, lambda f: raises(TypeError, f.service.FindVolumeID)),
        # AllVolumeEntries
        ("AllVolumeEntries, first", MACHINE,
         lambda f: returns(dict, V.VolumeInfo.NewInstance().AllVolumeEntries)),
        ("AllVolumeEntries, built", MACHINE, lambda f: returns(dict, f.service.AllVolumeEntries)),
        ("AllVolumeEntries, forced", MACHINE, lambda f: returns(dict, f.service.AllVolumeEntries, True)),
        ("AllVolumeEntries, forced by keyword", MACHINE,
         lambda f: returns(dict, f.service.AllVolumeEntries, force_update=1)),
        ("AllVolumeEntries, raising truth", MACHINE, lambda f: raises(Injected, f.service.AllVolumeEntries, Raising())),
        ("AllVolumeEntries, empty table and raising truth", MACHINE,
         lambda f: returns(dict, V.VolumeInfo.NewInstance().AllVolumeEntries, Raising())),
        ("AllVolumeEntries, too many arguments", MACHINE,
         lambda f: raises(TypeError, f.service.AllVolumeEntries, 1, 2)),
        ("AllVolumeEntries, unexpected keyword", MACHINE,
         lambda f: raises(TypeError, f.service.AllVolumeEntries, force=1)),
        ("AllVolumeEntries, refresh failing", MACHINE,
         lambda f: failing("FindFirstVolumeW", 5, raises, WindowsError, f.service.AllVolumeEntries, True)),
        ("AllVolumeEntries, refresh overridden and raising", MACHINE,
         lambda f: inside(Replaced(f.service, "_PopulateVolumeTable", raising_function), raises, Injected,
                          f.service.AllVolumeEntries, True)),
        ("AllVolumeEntries, table without copy", MACHINE,
         lambda f: inside(Replaced(f.service, "_volume_entries", [1]), raises, AttributeError,
                          f.service.AllVolumeEntries)),
        # GetVolumeEntryForVolumeID
        ("entry by ID", MACHINE,
         lambda f: returns(VolumeEntry, f.service.GetVolumeEntryForVolumeID, V._VolumeIDFromSerialNumber(SERIAL))),
        ("entry by an unknown ID", MACHINE, lambda f: returns(type(None), f.service.GetVolumeEntryForVolumeID, "x")),
        ("entry by an unhashable ID", MACHINE, lambda f: raises(TypeError, f.service.GetVolumeEntryForVolumeID, [])),
        ("entry by an ID that cannot be compared", MACHINE,
         lambda f: raises(Injected, f.service.GetVolumeEntryForVolumeID, Misbehaving("__eq__ raising"))),
        ("entry by ID, keywords", MACHINE,
         lambda f: returns(type(None), f.service.GetVolumeEntryForVolumeID, volume_id=1)),
        # GetVolumeEntryForDeviceNumber
        ("entry by device number", MACHINE,
         lambda f: returns(VolumeEntry, f.service.GetVolumeEntryForDeviceNumber, SERIAL)),
        ("entry by an unknown device number", MACHINE,
         lambda f: returns(type(None), f.service.GetVolumeEntryForDeviceNumber, 1)),
        ("entry by a unicode device number", MACHINE,
         lambda f: raises(TypeError, f.service.GetVolumeEntryForDeviceNumber, u"1")),
        ("entry by device number, ID overridden", MACHINE,
         lambda f: inside(Replaced(f.service, "_FindVolumeIDForDeviceNumber", raising_function), raises, Injected,
                          f.service.GetVolumeEntryForDeviceNumber, 1)),
        ("entry by device number, lookup overridden", MACHINE,
         lambda f: inside(Replaced(f.service, "GetVolumeEntryForVolumeID", raising_function), raises, Injected,
                          f.service.GetVolumeEntryForDeviceNumber, 1)),
        # _PopulateVolumeTable
        ("refresh", MACHINE, lambda f: returns(dict, refresh, f.service)),
        ("refresh, stale token", MACHINE, lambda f: returns(dict, f.service._PopulateVolumeTable, {})),
        ("refresh, one argument", MACHINE, lambda f: raises(TypeError, f.service._PopulateVolumeTable)),
        ("refresh, enumeration failing", MACHINE,
         lambda f: failing("FindFirstVolumeW", 5, raises, WindowsError, refresh, f.service)),
        ("refresh, exit suppressing a failure", MACHINE,
         lambda f: inside(Replaced(f.service, "_lock", Lock(f.service._lock, suppress=True)), failing,
                          "FindFirstVolumeW", 5, returns, type(None), refresh, f.service)),
        ("refresh, lock without __exit__", MACHINE,
         lambda f: inside(Replaced(f.service, "_lock", object()), raises, AttributeError, refresh, f.service)),
        ("refresh, lock missing", MACHINE,
         lambda f: inside(Replaced(f.service, "_lock"), raises, AttributeError, refresh, f.service)),
        ("refresh, names listed by a generator", MACHINE,
         lambda f: inside(Rebound("_ListVolumeNames", lambda: (name for name in [NAME, 5, None, "x"])),
                          returns, dict, refresh, f.service)),
        ("refresh, names not iterable", MACHINE,
         lambda f: inside(Rebound("_ListVolumeNames", lambda: 5), raises, TypeError, refresh, f.service)),
        ("refresh, VolumeEntry without volume", MACHINE,
         lambda f: inside(Rebound("volume_entry", EntryWithout("missing")), raises, AttributeError, refresh,
                          f.service)),
        ("refresh, VolumeEntry with an unhashable volume", MACHINE,
         lambda f: inside(Rebound("volume_entry", EntryWithout([])), raises, TypeError, refresh, f.service)),
        # A native method called on something that is no service.
        ("AllVolumeEntries of a non-service", MACHINE,
         lambda f: raises(AttributeError, methods["AllVolumeEntries"], 5)),
        ("refresh of a non-service", MACHINE,
         lambda f: raises(AttributeError, methods["_PopulateVolumeTable"], 5, {})),
        ("entry by device number of a non-service", MACHINE,
         lambda f: raises(AttributeError, methods["GetVolumeEntryForDeviceNumber"], 5, 1)),
        ("__init__ of a non-service", MACHINE, lambda f: raises(AttributeError, methods["__init__"], 5)),
    ]
    # Module names a refresh uses, rebound to something unusable or removed.
    for name in ("LOGGER", "utils", "_ListVolumeNames", "DRIVE_TYPE_MAP", "volume_entry",
                 "VOLUME_NAME_GUID_MATCHER", "_VolumeIDFromSerialNumber"):
        cases.append(("refresh, %s unusable" % name, MACHINE,
                      lambda f, name=name: inside(Rebound(name, Unusable()), raises, (AttributeError, TypeError),
                                                  refresh, f.service)))
        cases.append(("refresh, %s missing" % name, MACHINE,
                      lambda f, name=name: inside(Rebound(name), raises, NameError, refresh, f.service)))
    # Each collaborator raising at its first call in a refresh.
    for name, install in COLLABORATORS:
        cases.append(("refresh, %s raising" % name, MACHINE,
                      lambda f, name=name, install=install: inside(install(f.service, Countdown(name, fail_at=0)),
                                                                   raises, Injected, refresh, f.service)))
    return cases


def collaborator_cases():
    """The native collaborator windows.winwrap and the machine's controls."""
    from windows import winwrap
    W = winsim
    volume = dict(name=u"\\?\Volume{1}\\", mount_points=[u"Y:\\"], label=u"L", serial=1, total_bytes=5, free_bytes=1)
    return [
        ("RaiseWindowsError()", MACHINE, lambda f: raises(WindowsError, winwrap.RaiseWindowsError)),
        ("RaiseWindowsError(5)", MACHINE, lambda f: raises(WindowsError, winwrap.RaiseWindowsError, 5)),
        ("RaiseWindowsError(unknown code)", MACHINE,
         lambda f: raises(WindowsError, winwrap.RaiseWindowsError, code=0xFFFFFFFF)),
        ("RaiseWindowsError(-1)", MACHINE, lambda f: raises(OverflowError, winwrap.RaiseWindowsError, -1)),
        ("RaiseWindowsError(2**32)", MACHINE, lambda f: raises(OverflowError, winwrap.RaiseWindowsError, 1 << 32)),
        ("RaiseWindowsError('5')", MACHINE, lambda f: raises(TypeError, winwrap.RaiseWindowsError, "5")),
        ("add_volume", MACHINE, lambda f: returns(type(None), W.add_volume, **volume)),
        ("add_volume, no size", MACHINE, lambda f: returns(type(None), W.add_volume, u"x", total_bytes=None)),
        ("add_volume, name with NUL", MACHINE, lambda f: raises(ValueError, W.add_volume, u"a\0")),
        ("add_volume, undecodable name", MACHINE, lambda f: raises(UnicodeDecodeError, W.add_volume, "\xff")),
        ("add_volume, one mount point string", MACHINE,
         lambda f: raises(TypeError, W.add_volume, u"x", mount_points=u"Y:\\")),
        ("add_volume, mount point of an int", MACHINE, lambda f: raises(TypeError, W.add_volume, u"x", [1])),
        ("add_volume, mount points raising", MACHINE,
         lambda f: raises(Injected, W.add_volume, u"x", (raising_function() for _ in [1]))),
        ("add_volume, negative serial", MACHINE, lambda f: raises(ValueError, W.add_volume, u"x", serial=-1)),
        ("add_volume, serial of a str", MACHINE, lambda f: raises(TypeError, W.add_volume, u"x", serial="1")),
        ("add_volume, more free than total", MACHINE,
         lambda f: raises(ValueError, W.add_volume, u"x", total_bytes=1, free_bytes=2)),
        ("add_volume, unknown keyword", MACHINE, lambda f: raises(TypeError, W.add_volume, u"x", other=1)),
        ("set_mount_points", MACHINE, lambda f: returns(type(None), W.set_mount_points, NAME, [u"Q:\\"])),
        ("set_mount_points, unknown name", MACHINE, lambda f: raises(KeyError, W.set_mount_points, u"?", [])),
        ("fail", MACHINE, lambda f: returns(type(None), W.fail, "GetDriveTypeW", 5, times=2, skip=1)),
        ("fail, returned length", MACHINE,
         lambda f: returns(type(None), W.fail, "GetVolumePathNamesForVolumeNameW", 234, returned_length=9)),
        ("fail, returned length elsewhere", MACHINE,
         lambda f: raises(ValueError, W.fail, "GetDriveTypeW", 5, returned_length=9)),
        ("fail, unknown function", MACHINE, lambda f: raises(ValueError, W.fail, "GetLastError", 5)),
        ("open_handle", MACHINE, lambda f: returns(int, W.open_handle, NAME)),
        ("open_handle, unknown name", MACHINE, lambda f: raises(KeyError, W.open_handle, u"?")),
        ("close_handle", MACHINE, lambda f: returns(type(None), W.close_handle, f.handle.handle)),
        ("close_handle, closed", MACHINE, lambda f: raises(KeyError, W.close_handle, f.closed_handle)),
        ("close_handle, huge", MACHINE, lambda f: raises(ValueError, W.close_handle, 1 << 70)),
        ("set_last_error and get_last_error", MACHINE,
         lambda f: (W.set_last_error(0xFFFFFFFF), returns((int, long), W.get_last_error))),
        ("calls", MACHINE, lambda f: (volumes._ListVolumeNames(), returns(list, W.calls))),
        ("open_searches", MACHINE, lambda f: returns(int, W.open_searches)),
        ("sample_volumes", MACHINE, lambda f: returns(list, W.sample_volumes)),
        ("use_sample_machine", MACHINE, lambda f: returns(type(None), W.use_sample_machine)),
        ("scripting the sample machine", MACHINE,
         lambda f: (W.use_sample_machine(), returns(type(None), W.add_volume, u"x"))),
    ]


class Fixture(object):
    """The machine of a case, handles open on its first two volumes, one
    closed handle, and, when asked for, a service with its table built
    (which empties the IsFAT cache)."""

    def __init__(self, machine):
        use_machine(machine)
        self.handle = Handle(winsim.open_handle(machine[0]["name"]))
        self.fat_handle = Handle(winsim.open_handle(machine[min(1, len(machine) - 1)]["name"]))
        self.closed_handle = winsim.open_handle(machine[0]["name"])
        winsim.close_handle(self.closed_handle)
        self._service = None

    @property
    def service(self):
        if self._service is None:
            self._service = built_service()
        return self._service


@unittest.skipUnless(DEBUG_INTERPRETER, NEEDS_DEBUG_INTERPRETER)
class ReferenceCountTest(unittest.TestCase):

    def setUp(self):
        self.log = QuietLog().__enter__()

    def tearDown(self):
        self.log.__exit__(None, None, None)

    def check_cases(self, cases):
        failures = failures_of(cases, lambda machine, case: assert_no_growth(lambda: case(Fixture(machine)),
                                                                             warmup=3, repeat=12))
        self.assertEqual(failures, [], "\n".join(failures))

    def test_module_functions(self):
        self.check_cases(module_function_cases())

    def test_service(self):
        self.check_cases(service_cases())

    def test_native_collaborator_and_controls(self):
        self.check_cases(collaborator_cases())


if __name__ == "__main__":
    unittest.main()
