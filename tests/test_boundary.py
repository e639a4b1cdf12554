"""windows.volumes at the host boundary: argument checking, traceback entries
and the lookup of module-level names at each use."""

import __builtin__
import sys
import unittest

import winsim
import windows.volumes as volumes

import support
from support import REPEAT_FORMAT, Handle, NoHandle, Stat, StrSubclass, UnicodeSubclass

V = volumes
VolumeInfoClass = volumes.VolumeInfo.cls  # behind the Singleton wrapper
RawAllVolumeEntries = VolumeInfoClass.__dict__["AllVolumeEntries"]

ONE_ARGUMENT_FUNCTIONS = ["GetVolumeInformationByHandle", "GetVolumeInformation", "_GetVolumePathNamesForVolumeName",
                          "FindVolumeID", "_VolumeIDFromSerialNumber"]


def ArgumentCountCases():
    """The host's own refusals of the built-in functions: no traceback entry."""
    cases = [
        ("_ListVolumeNames(1)", lambda vi: V._ListVolumeNames(1), "_ListVolumeNames() takes no arguments (1 given)"),
        ("_ListVolumeNames(1, 2)", lambda vi: V._ListVolumeNames(1, 2),
         "_ListVolumeNames() takes no arguments (2 given)"),
        ("_ListVolumeNames(x=1)", lambda vi: V._ListVolumeNames(x=1), "_ListVolumeNames() takes no keyword arguments"),
    ]
    for name in ONE_ARGUMENT_FUNCTIONS:
        function = getattr(V, name)
        cases += [
            (name + "()", lambda vi, f=function: f(), "%s() takes exactly one argument (0 given)" % name),
            (name + "(a, b)", lambda vi, f=function: f(u"C:\\", u"D:\\"),
             "%s() takes exactly one argument (2 given)" % name),
            (name + "(x=a)", lambda vi, f=function: f(x=u"C:\\"), "%s() takes no keyword arguments" % name),
        ]
    return cases


# (call, function of a fresh VolumeInfo instance, message, traceback entry
# of the refusal or None)
ARGUMENT_ERRORS = [(call, function, message, None) for call, function, message in ArgumentCountCases()] + [
    ("FindVolumeID(stat_result=s)", lambda vi: V.FindVolumeID(stat_result=winsim),
     "FindVolumeID() takes no keyword arguments", None),
    ("GetVolumeInformation(path=u)", lambda vi: V.GetVolumeInformation(path=u"C:\\"),
     "GetVolumeInformation() takes no keyword arguments", None),
    # Arguments by position or keyword: IsFAT and the methods.
    ("IsFAT()", lambda vi: V.IsFAT(), "IsFAT() takes exactly 2 positional arguments (0 given)", "IsFAT"),
    ("IsFAT(n)", lambda vi: V.IsFAT(1), "IsFAT() takes exactly 2 positional arguments (1 given)", "IsFAT"),
    ("IsFAT(n, h, x)", lambda vi: V.IsFAT(1, 2, 3), "IsFAT() takes exactly 2 positional arguments (3 given)",
     "IsFAT"),
    ("IsFAT(serial_number=n)", lambda vi: V.IsFAT(serial_number=1),
     "IsFAT() takes exactly 2 positional arguments (1 given)", "IsFAT"),
    ("IsFAT(n, h, bogus=x)", lambda vi: V.IsFAT(1, 2, bogus=3),
     "IsFAT() got an unexpected keyword argument 'bogus'", "IsFAT"),
    ("IsFAT(n, h, serial_number=n)", lambda vi: V.IsFAT(1, 2, serial_number=1),
     "IsFAT() got multiple values for keyword argument 'serial_number'", "IsFAT"),
    ("IsFAT(n, handle=h, serial_number=n)", lambda vi: V.IsFAT(1, handle=2, serial_number=1),
     "IsFAT() got multiple values for keyword argument 'serial_number'", "IsFAT"),
    ("IsFAT(n, h, **{1: x})", lambda vi: V.IsFAT(1, 2, **{1: 3}), "IsFAT() keywords must be strings", "IsFAT"),
    ("vi.AllVolumeEntries(a, b)", lambda vi: vi.AllVolumeEntries(True, True),
     "AllVolumeEntries() takes at most 2 positional arguments (3 given)", "VolumeInfo.AllVolumeEntries"),
    ("AllVolumeEntries()", lambda vi: RawAllVolumeEntries(),
     "AllVolumeEntries() takes at least 1 positional argument (0 given)", "VolumeInfo.AllVolumeEntries"),
    ("vi.AllVolumeEntries(bogus=x)", lambda vi: vi.AllVolumeEntries(bogus=True),
     "AllVolumeEntries() got an unexpected keyword argument 'bogus'", "VolumeInfo.AllVolumeEntries"),
    ("vi.AllVolumeEntries(a, force_update=a)", lambda vi: vi.AllVolumeEntries(True, force_update=True),
     "AllVolumeEntries() got multiple values for keyword argument 'force_update'", "VolumeInfo.AllVolumeEntries"),
    ("AllVolumeEntries(vi, self=vi)", lambda vi: RawAllVolumeEntries(vi, self=vi),
     "AllVolumeEntries() got multiple values for keyword argument 'self'", "VolumeInfo.AllVolumeEntries"),
    ("vi.FindVolumeID()", lambda vi: vi.FindVolumeID(),
     "FindVolumeID() takes exactly 2 positional arguments (1 given)", "VolumeInfo.FindVolumeID"),
    ("vi.FindVolumeID(s, x)", lambda vi: vi.FindVolumeID(1, 2),
     "FindVolumeID() takes exactly 2 positional arguments (3 given)", "VolumeInfo.FindVolumeID"),
    ("vi.GetVolumeEntryForVolumeID(i, volume=x)", lambda vi: vi.GetVolumeEntryForVolumeID("serial:1", volume=1),
     "GetVolumeEntryForVolumeID() got an unexpected keyword argument 'volume'",
     "VolumeInfo.GetVolumeEntryForVolumeID"),
    ("vi.GetVolumeEntryForDeviceNumber(d, st_dev=d)", lambda vi: vi.GetVolumeEntryForDeviceNumber(1, st_dev=1),
     "GetVolumeEntryForDeviceNumber() got multiple values for keyword argument 'st_dev'",
     "VolumeInfo.GetVolumeEntryForDeviceNumber"),
    ("vi._PopulateVolumeTable()", lambda vi: vi._PopulateVolumeTable(),
     "_PopulateVolumeTable() takes exactly 2 positional arguments (1 given)", "VolumeInfo._PopulateVolumeTable"),
    ("vi._PopulateVolumeTable(t, x)", lambda vi: vi._PopulateVolumeTable({}, {}),
     "_PopulateVolumeTable() takes exactly 2 positional arguments (3 given)", "VolumeInfo._PopulateVolumeTable"),
    # __init__ takes self alone, by the host's one-argument convention.
    ("VolumeInfo class(x)", lambda vi: VolumeInfoClass(1), "__init__() takes exactly one argument (2 given)", None),
    ("vi.__init__(x=y)", lambda vi: vi.__init__(x=1), "__init__() takes no keyword arguments", None),
    # Declared text arguments: exactly the type, or None.
    ("GetVolumeInformation(str)", lambda vi: V.GetVolumeInformation("C:\\"),
     "Argument 'path' has incorrect type (expected unicode, got str)", None),
    ("GetVolumeInformation(int)", lambda vi: V.GetVolumeInformation(3),
     "Argument 'path' has incorrect type (expected unicode, got int)", None),
    ("GetVolumeInformation(unicode subclass)", lambda vi: V.GetVolumeInformation(UnicodeSubclass(u"C:\\")),
     "Argument 'path' has incorrect type (expected unicode, got UnicodeSubclass)", None),
    ("GetVolumeInformation(bytearray)", lambda vi: V.GetVolumeInformation(bytearray("C:\\")),
     "Argument 'path' has incorrect type (expected unicode, got bytearray)", None),
    ("_GetVolumePathNamesForVolumeName(int)", lambda vi: V._GetVolumePathNamesForVolumeName(1),
     "Argument 'guid_path' has incorrect type (expected basestring, got int)", None),
    ("_GetVolumePathNamesForVolumeName(unicode subclass)",
     lambda vi: V._GetVolumePathNamesForVolumeName(UnicodeSubclass(support.volume_name(1))),
     "Argument 'guid_path' has incorrect type (expected basestring, got UnicodeSubclass)", None),
    ("_GetVolumePathNamesForVolumeName(str subclass)",
     lambda vi: V._GetVolumePathNamesForVolumeName(StrSubclass("\\\\?\\Volume{1}\\")),
     "Argument 'guid_path' has incorrect type (expected basestring, got StrSubclass)", None),
]


# Failures after the arguments were accepted, on an empty machine: (call,
# function of a fresh VolumeInfo instance, exception type, message (or the
# Windows code of a WindowsError, or None when the host's own), the
# module's traceback entries, outermost first).
FAILURES_AFTER_ACCEPTANCE = [
    ("_ListVolumeNames() on an empty machine", lambda vi: V._ListVolumeNames(), WindowsError, 18,
     ["_ListVolumeNames"]),
    ("_GetVolumePathNamesForVolumeName(unknown)",
     lambda vi: V._GetVolumePathNamesForVolumeName(support.volume_name(7)), WindowsError, 2,
     ["_GetVolumePathNamesForVolumeName"]),
    ("_GetVolumePathNamesForVolumeName(undecodable str)", lambda vi: V._GetVolumePathNamesForVolumeName("\xff"),
     UnicodeDecodeError, None, ["_GetVolumePathNamesForVolumeName"]),
    ("GetVolumeInformation(None)", lambda vi: V.GetVolumeInformation(None), TypeError, "Expected unicode, got None",
     ["GetVolumeInformation"]),
    ("GetVolumeInformation(unknown root)", lambda vi: V.GetVolumeInformation(u"Q:\\"), WindowsError, 3,
     ["GetVolumeInformation"]),
    ("GetVolumeInformationByHandle(str)", lambda vi: V.GetVolumeInformationByHandle("12"), TypeError,
     "an integer is required", ["GetVolumeInformationByHandle"]),
    ("GetVolumeInformationByHandle(2**63)", lambda vi: V.GetVolumeInformationByHandle(2 ** 63), OverflowError, None,
     ["GetVolumeInformationByHandle"]),
    ("GetVolumeInformationByHandle(not open)", lambda vi: V.GetVolumeInformationByHandle(12345), WindowsError, 6,
     ["GetVolumeInformationByHandle"]),
    ("FindVolumeID(no st_dev)", lambda vi: V.FindVolumeID(NoHandle()), AttributeError, None, ["FindVolumeID"]),
    ("_VolumeIDFromSerialNumber(unicode)", lambda vi: V._VolumeIDFromSerialNumber(u"1234"), TypeError,
     "Expected str, got unicode", ["_VolumeIDFromSerialNumber"]),
    # A serial number that no other test caches an answer for.
    ("IsFAT(n, no handle attribute)", lambda vi: V.IsFAT(987654321, NoHandle()), AttributeError, None, ["IsFAT"]),
    ("vi.GetVolumeEntryForVolumeID(unhashable)", lambda vi: vi.GetVolumeEntryForVolumeID([]), TypeError, None,
     ["VolumeInfo.GetVolumeEntryForVolumeID"]),
    ("vi.FindVolumeID(no st_dev)", lambda vi: vi.FindVolumeID(NoHandle()), AttributeError, None,
     ["VolumeInfo.FindVolumeID", "FindVolumeID"]),
]


def Entries(names):
    return [("windows.volumes." + name, support.TRACEBACK_FILE) for name in names]


class BoundaryTest(unittest.TestCase):

    def setUp(self):
        self.instance = volumes.VolumeInfo.NewInstance()
        support.reset_machine()

    def test_argument_errors(self):
        for call, function, message, entry in ARGUMENT_ERRORS:
            winsim.reset()
            with support.row_named(call):
                error, error_traceback = support.raised(function, self.instance)
            self.assertIs(TypeError, type(error), call)
            self.assertEqual(message, str(error), call)
            self.assertEqual(Entries([entry] if entry else []), support.module_entries(error_traceback), call)
            self.assertEqual([], winsim.calls(), call)

    def test_failures_after_acceptance_carry_the_function_entry(self):
        for call, function, expected_type, message, entries in FAILURES_AFTER_ACCEPTANCE:
            winsim.reset()
            with support.LogCapture(), support.row_named(call):
                error, error_traceback = support.raised(function, self.instance)
            self.assertTrue(issubclass(type(error), expected_type), "%s: %s" % (call, type(error)))
            if isinstance(message, int):
                self.assertEqual(message, error.winerror, call)
            elif message is not None:
                self.assertEqual(message, str(error), call)
            self.assertEqual(Entries(entries), support.module_entries(error_traceback), call)
            # The module's entries are the innermost ones.
            self.assertEqual(Entries(entries[-1:]), support.module_entries(_Innermost(error_traceback)), call)

    def test_accepted_calling_forms(self):
        support.reset_machine({"name": support.volume_name(1), "mount_points": (u"C:\\",),
                               "filesystem": u"FAT32"})
        handle_object = Handle(winsim.open_handle(support.volume_name(1)))
        self.assertIs(True, volumes.IsFAT(handle=handle_object, serial_number=1))
        self.assertIs(True, volumes.IsFAT(**{u"serial_number": 2, u"handle": handle_object}))
        entries = self.instance.AllVolumeEntries(force_update=False)
        self.assertEqual(1, len(entries))
        self.assertEqual(entries, self.instance.AllVolumeEntries(False))
        self.assertEqual(entries, RawAllVolumeEntries(self=self.instance))
        self.assertEqual(volumes.FindVolumeID(Stat(5)), self.instance.FindVolumeID(stat_result=Stat(5)))
        self.assertEqual([u"C:\\"], volumes._GetVolumePathNamesForVolumeName(str(support.volume_name(1))))
        self.assertEqual([u"C:\\"], volumes._GetVolumePathNamesForVolumeName(support.volume_name(1)))


class RecordingLogger(object):
    """Stands in for LOGGER: keeps (level, format, args) of every call."""

    def __init__(self, failure=None):
        self.calls = []
        self.failure = failure

    def _Record(level):
        def Log(self, message, *args):
            self.calls.append((level, message, args))
            if self.failure is not None:
                raise self.failure
        return Log

    debug, info, error, exception = [_Record(level) for level in ("debug", "info", "error", "exception")]


class FakePlatformUtils(object):
    LOCK = object()

    @staticmethod
    def Lock():
        return FakePlatformUtils.LOCK


# (module-level name, replacement, a call that uses the name, its result
# with the replacement in place)
REBINDINGS = [
    ("_VolumeIDFromSerialNumber", lambda serial_number: "custom:%s" % serial_number,
     lambda: V.FindVolumeID(Stat(5)), "custom:5"),
    ("platform_utils", FakePlatformUtils, lambda: V.VolumeInfo.NewInstance()._lock, FakePlatformUtils.LOCK),
]

A, B = support.volume_name(0xa), support.volume_name(0xb)
REPEAT_RECORD = ("error", REPEAT_FORMAT, (B,))


class NameLookupTest(unittest.TestCase):
    """Module-level names are looked up in the module, then the built-ins,
    at each use."""

    def setUp(self):
        support.reset_machine(A, B, B)  # the search repeats B: one error record

    def Restore(self, namespace, name):
        """Puts `name` of `namespace` back as it is now when the test ends."""
        if hasattr(namespace, name):
            self.addCleanup(setattr, namespace, name, getattr(namespace, name))
        else:
            self.addCleanup(lambda: hasattr(namespace, name) and delattr(namespace, name))

    def Rebind(self, namespace, name, value):
        self.Restore(namespace, name)
        setattr(namespace, name, value)

    def Unbind(self, namespace, name):
        self.Restore(namespace, name)
        if hasattr(namespace, name):
            delattr(namespace, name)

    def test_rebinding_logger_takes_effect_at_the_next_call(self):
        first, second = RecordingLogger(), RecordingLogger()
        with support.LogCapture() as log:
            self.Rebind(volumes, "LOGGER", first)
            self.assertEqual([A, B], volumes._ListVolumeNames())
            self.Rebind(volumes, "LOGGER", second)
            self.assertEqual([A, B], volumes._ListVolumeNames())
        self.assertEqual(([REPEAT_RECORD], [REPEAT_RECORD], []), (first.calls, second.calls, log.records))

    def test_logger_from_the_builtins_when_the_module_has_none(self):
        recorder = RecordingLogger()
        self.Unbind(volumes, "LOGGER")
        self.Rebind(__builtin__, "LOGGER", recorder)
        self.assertEqual([A, B], volumes._ListVolumeNames())
        self.assertEqual([REPEAT_RECORD], recorder.calls)

    def test_logger_in_neither_place(self):
        self.Unbind(volumes, "LOGGER")
        self.Unbind(__builtin__, "LOGGER")
        try:
            volumes._ListVolumeNames()
        except NameError as error:
            self.assertEqual("name 'LOGGER' is not defined", str(error))
            self.assertEqual(Entries(["_ListVolumeNames"]), support.module_entries(sys.exc_info()[2]))
        else:
            self.fail("no NameError")
        self.assertEqual(0, winsim.open_searches())

    def test_an_exception_of_the_logging_call_propagates(self):
        failure = ValueError("logging failed")
        self.Rebind(volumes, "LOGGER", RecordingLogger(failure))
        with self.assertRaises(ValueError) as caught:
            volumes._ListVolumeNames()
        self.assertIs(failure, caught.exception)
        self.assertEqual(0, winsim.open_searches())

    def test_other_names(self):
        for name, replacement, use, expected in REBINDINGS:
            self.Rebind(volumes, name, replacement)
            self.assertEqual(expected, use(), name)


def _Innermost(error_traceback):
    while error_traceback.tb_next is not None:
        error_traceback = error_traceback.tb_next
    return error_traceback


if __name__ == "__main__":
    unittest.main()
