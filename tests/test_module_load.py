"""windows.volumes: the load sequence, its failures, and the namespace it leaves.

The failures need a fresh interpreter each: a package tree on a temporary
path shadows one collaborator at a time, and the rest comes from the real
package tree behind it.
"""

import __builtin__
import ast
import logging
import os
import re
import shutil
import tempfile
import textwrap
import types
import unittest

import common
import common.service
import platforms
import windows
import windows.volumes as volumes
from common import utils, volume_entry
from common.service import service
from platforms import platform_utils

import support
from support import (CLASS_DOC, FIND_VOLUME_ID_DOC, IS_FAT_DOC, METHOD_ALL_VOLUME_ENTRIES_DOC,
                     METHOD_FIND_VOLUME_ID_DOC, row_named)

SIGNATURE = ("PyObject *(int __pyx_skip_dispatch, struct "
             "__pyx_opt_args_7windows_7winwrap_RaiseWindowsError *__pyx_optional_args)")
INIT_ENTRY = ("init windows.volumes", support.TRACEBACK_FILE)

# The real directories of the packages that a fake tree may shadow.
REAL_PACKAGE_DIRS = {
    "windows": os.path.dirname(windows.__file__),
    "common": os.path.dirname(common.__file__),
    "common/service": os.path.dirname(common.service.__file__),
    "platforms": os.path.dirname(platforms.__file__),
}

# A package of the fake tree that has no __init__.py of its own: its own
# directory first, then the real package's.
EXTENDING_INIT = "__path__.append(%r)\n"

# The head of a fake windows.winwrap that exports capsules without C code.
FAKE_WINWRAP_HEAD = textwrap.dedent("""\
    import ctypes

    _new_capsule = ctypes.pythonapi.PyCapsule_New
    _new_capsule.restype = ctypes.py_object
    _new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _target = ctypes.create_string_buffer(16)
    _names = []  # a capsule keeps a pointer to its name, not a copy


    def capsule(name):
        _names.append(ctypes.create_string_buffer(name))
        return _new_capsule(ctypes.addressof(_target), _names[-1], None)
    """)

# Runs in the fresh interpreter: records every __import__ call, imports the
# module, and prints what happened as a literal.
CHILD = textwrap.dedent("""\
    import __builtin__
    import sys
    import traceback

    %(prelude)s

    real_import = __builtin__.__import__
    imports = []


    def recording_import(name, globals=None, locals=None, fromlist=None, level=-1):
        importer = globals.get("__name__") if isinstance(globals, dict) else None
        imports.append((importer, name, tuple(fromlist or ()), level,
                        type(locals).__name__, len(locals) if isinstance(locals, dict) else None))
        return real_import(name, globals, locals, fromlist, level)


    __builtin__.__import__ = recording_import
    report = {}
    try:
        import windows.volumes
    except BaseException:
        error_type, error, error_traceback = sys.exc_info()
        report["error"] = (error_type.__name__, str(error))
        report["entries"] = [(name, filename) for filename, _, name, _
                             in traceback.extract_tb(error_traceback)]
    else:
        report["error"] = None
        report["re_compile_calls"] = list(getattr(windows.volumes.re, "compile_calls", ()))
        report["matcher_pattern"] = windows.volumes.VOLUME_NAME_GUID_MATCHER.pattern
    finally:
        __builtin__.__import__ = real_import
    report["imports"] = imports
    report["loaded"] = sorted(name for name in sys.modules if sys.modules[name] is not None)
    print(repr(report))
    """)

# The module's own imports, in order: (name, from-list, level), each with an
# empty locals dict.
COLLABORATOR_IMPORTS = [
    ("logging", (), -1),
    ("re", (), -1),
    ("common", ("utils",), -1),
    ("common", ("volume_entry",), -1),
    ("common.service", ("service",), -1),
    ("platforms", ("platform_utils",), -1),
]


def WriteTree(root, files):
    """Writes `files` (relative path -> source) below `root`. A package
    directory without its own __init__.py extends the real package."""
    packages = set()
    for path in files:
        parts = path.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            packages.add("/".join(parts[:depth]))
    for package in packages:
        if not os.path.isdir(os.path.join(root, package)):
            os.makedirs(os.path.join(root, package))
        if package + "/__init__.py" not in files:
            with open(os.path.join(root, package, "__init__.py"), "w") as init:
                init.write(EXTENDING_INIT % REAL_PACKAGE_DIRS[package])
    for path, source in files.items():
        with open(os.path.join(root, path), "w") as module:
            module.write(source)


class LoadInFreshInterpreter(object):
    """Mix-in: imports windows.volumes in a fresh interpreter over a fake tree."""

    def RunChild(self, child, files, **substitutions):
        """Runs `child` filled with `substitutions` over a fake tree of
        `files`; returns the literal it prints last."""
        root = tempfile.mkdtemp(prefix="volumes-load-")
        self.addCleanup(shutil.rmtree, root)
        WriteTree(root, files)
        status, stdout, stderr = support.run_python(child % substitutions, path_before=[root])
        self.assertEqual(0, status, stderr)
        return ast.literal_eval(stdout.strip().splitlines()[-1])

    def Load(self, files=None, prelude=""):
        return self.RunChild(CHILD, files or {}, prelude=prelude)

    def ImportsBy(self, report, importer):
        return [(name, fromlist, level) for importer_name, name, fromlist, level, _, _ in report["imports"]
                if importer_name == importer]


def FakeWinwrap(capi_source):
    return FAKE_WINWRAP_HEAD + "\n" + capi_source + "\n"


# (description, fake files, prelude, error type, message or pattern, the
# module's init entry is the innermost entry)
FAILURE_CASES = [
    ("winwrap without __pyx_capi__", {"windows/winwrap.py": FakeWinwrap("")}, "",
     "AttributeError", re.compile(r"^'module' object has no attribute '__pyx_capi__'$"), True),
    ("capsule table without RaiseWindowsError",
     {"windows/winwrap.py": FakeWinwrap("__pyx_capi__ = {'RaiseWindowsErrors': capsule(%r)}" % SIGNATURE)}, "",
     "ImportError", "windows.winwrap does not export expected C function RaiseWindowsError", True),
    ("empty capsule table", {"windows/winwrap.py": FakeWinwrap("__pyx_capi__ = {}")}, "",
     "ImportError", "windows.winwrap does not export expected C function RaiseWindowsError", True),
    ("capsule under another signature",
     {"windows/winwrap.py": FakeWinwrap("__pyx_capi__ = {'RaiseWindowsError': capsule('PyObject *(int)')}")}, "",
     "TypeError", "C function windows.winwrap.RaiseWindowsError has wrong signature (expected %s, got %s)"
     % (SIGNATURE, "PyObject *(int)"), True),
    ("capsule whose signature only starts alike",
     {"windows/winwrap.py": FakeWinwrap("__pyx_capi__ = {'RaiseWindowsError': capsule(%r)}" % (SIGNATURE + " "))},
     "", "TypeError", "C function windows.winwrap.RaiseWindowsError has wrong signature (expected %s, got %s)"
     % (SIGNATURE, SIGNATURE + " "), True),
    ("winwrap whose import fails", {"windows/winwrap.py": "raise RuntimeError('winwrap is broken')\n"}, "",
     "RuntimeError", "winwrap is broken", False),
]

# Failures after RaiseWindowsError is bound, before the module's state is
# complete.
LATER_FAILURE_CASES = [
    ("platforms without platform_utils", {"platforms/__init__.py": ""}, "",
     "ImportError", "cannot import name platform_utils", True),
    ("common without utils", {"common/__init__.py": ""}, "",
     "ImportError", "cannot import name utils", True),
    ("DeviceType without RAM",
     {"common/volume_entry.py": "class DeviceType(object):\n"
                                "    UNKNOWN, REMOVABLE, INTERNAL, NETWORK = 'u', 'r', 'i', 'n'\n"}, "",
     "AttributeError", re.compile(r"\bRAM\b"), True),
    ("logging without getLogger", {"windows/logging.py": "\n"}, "",
     "AttributeError", re.compile(r"\bgetLogger\b"), True),
    ("built-ins without MemoryError", {}, "del __builtin__.MemoryError",
     "NameError", "name 'MemoryError' is not defined", True),
]

# Failures in the last steps, once the module's state is complete.
COMPLETE_STATE_FAILURE_CASES = [
    ("service without Singleton", {"common/service/service.py": "\n"}, "",
     "AttributeError", re.compile(r"\bSingleton\b"), True),
    ("Singleton that raises",
     {"common/service/service.py": "def Singleton(cls):\n    raise ValueError('no service for ' + cls.__name__)\n"},
     "", "ValueError", "no service for VolumeInfo", False),
]


class LoadFailureTest(LoadInFreshInterpreter, unittest.TestCase):

    def CheckFailure(self, report, error_type, message, innermost):
        self.assertIsNotNone(report["error"], "the import succeeded")
        self.assertEqual(error_type, report["error"][0])
        if isinstance(message, basestring):
            self.assertEqual(message, report["error"][1])
        else:
            self.assertRegexpMatches(report["error"][1], message)
        entries = report["entries"]
        self.assertEqual([INIT_ENTRY], [entry for entry in entries if entry[1] == support.TRACEBACK_FILE])
        if innermost:
            self.assertEqual(INIT_ENTRY, entries[-1])

    def test_binding_failures_end_the_load_before_any_collaborator_is_imported(self):
        for description, files, prelude, error_type, message, innermost in FAILURE_CASES:
            with row_named(description):
                report = self.Load(files, prelude)
                self.CheckFailure(report, error_type, message, innermost)
            self.assertEqual([], self.ImportsBy(report, "windows.volumes"), description)
            for collaborator in ("logging", "common", "common.utils", "platforms"):
                self.assertNotIn(collaborator, report["loaded"], description)

    def test_later_failures_fail_the_import_with_their_own_error(self):
        for description, files, prelude, error_type, message, innermost in (LATER_FAILURE_CASES +
                                                                             COMPLETE_STATE_FAILURE_CASES):
            with row_named(description):
                report = self.Load(files, prelude)
                self.CheckFailure(report, error_type, message, innermost)


# The head of a child that watches a load: `capturing_import`, once it is
# __import__, keeps the module being loaded in `half_built` at the first
# import the load makes; `attempt()` imports windows.volumes and gives None,
# or the error's type, message and traceback entries.
WATCHING_CHILD_HEAD = textwrap.dedent(r"""
    import __builtin__
    import sys
    import traceback

    real_import = __builtin__.__import__
    half_built = []


    def capturing_import(*args, **kwargs):
        module = sys.modules.get("windows.volumes")
        if module is not None and not half_built:
            half_built.append(module)
        return real_import(*args, **kwargs)


    def attempt():
        try:
            import windows.volumes
        except BaseException:
            error_type, error, error_traceback = sys.exc_info()
            return (error_type.__name__, str(error),
                    [(name, filename) for filename, _, name, _ in traceback.extract_tb(error_traceback)])
        return None
    """)

# Runs in the fresh interpreter: a failing import, what the half-built
# module's functions do (the child keeps the module alive, as a caller could
# keep it), a second import, then `cure` and a third.
RETRY_CHILD = WATCHING_CHILD_HEAD + textwrap.dedent(r"""
    import os

    %(prelude)s


    def outcome(function, arguments):
        try:
            function(*arguments)
        except BaseException as error:
            return (type(error).__name__, str(error))
        return "returned"


    CALLS = [
        ("GetVolumeInformation", (u"C:\\",)),
        ("GetVolumeInformation", ("C:\\",)),
        ("GetVolumeInformationByHandle", (object(),)),
        ("GetVolumeInformationByHandle", (1,)),
        ("_GetVolumePathNamesForVolumeName", (u"\\\\?\\Volume{1}\\",)),
        ("_GetVolumePathNamesForVolumeName", (5,)),
        ("_ListVolumeNames", ()),
        ("FindVolumeID", (os.stat("/"),)),
        ("_VolumeIDFromSerialNumber", (1,)),
        ("IsFAT", (1, object())),
    ]


    def call_all(namespace):
        return [(name, outcome(namespace[name], arguments)) for name, arguments in CALLS if name in namespace]


    __builtin__.__import__ = capturing_import  # the same frames in every attempt's traceback
    report = {"first": attempt()}
    report["kept_in_sys_modules"] = "windows.volumes" in sys.modules
    namespace = dict(vars(half_built[0])) if half_built else {}
    report["calls"] = call_all(namespace)
    service = namespace.get("VolumeInfo")
    if service is not None:
        report["calls"].append(("VolumeInfo", outcome(service.NewInstance, ())))
    report["second"] = attempt()
    %(cure)s
    report["cured"] = attempt()
    if report["cured"] is None:
        report["loaded_calls"] = call_all(vars(sys.modules["windows.volumes"]))
        report["stale_calls"] = call_all(namespace)
    __builtin__.__import__ = real_import
    print(repr(report))
    """)

NOT_LOADED = ("ImportError", "windows.volumes is not loaded")

# Cures: the fake winwrap goes, so the real one is found; a DeviceType
# that lacks RAM is given one.
REMOVE_FAKE_WINWRAP = textwrap.dedent("""\
    import windows
    os.remove(os.path.join(os.path.dirname(windows.__file__), "winwrap.py"))
    sys.modules.pop("windows.winwrap", None)
    """)
DEVICE_TYPE_WITHOUT_RAM = {"common/volume_entry.py": "class DeviceType(object):\n"
                                                     "    UNKNOWN, REMOVABLE, INTERNAL, NETWORK = 'u', 'r', 'i', 'n'\n"}
GIVE_DEVICE_TYPE_RAM = "from common import volume_entry\nvolume_entry.DeviceType.RAM = 'm'\n"


FAILURES_BEFORE_ANY_IMPORT = {"built-ins without MemoryError"}


class LoadRetryTest(LoadInFreshInterpreter, unittest.TestCase):
    """A load that fails before the module's state is complete leaves nothing
    that crashes, and the next import loads afresh."""

    def Retry(self, files, prelude="", cure=""):
        return self.RunChild(RETRY_CHILD, files, prelude=prelude, cure=cure)

    def test_every_failure_can_be_retried_and_leaves_functions_that_refuse_to_run(self):
        for description, files, prelude, error_type, message, _ in FAILURE_CASES + LATER_FAILURE_CASES:
            with row_named(description):
                report = self.Retry(files, prelude)
            self.assertEqual(error_type, report["first"][0], description)
            self.assertIn(INIT_ENTRY, report["first"][2], description)
            self.assertEqual(report["first"], report["second"], description)
            self.assertFalse(report["kept_in_sys_modules"], description)
            # The first three functions exist from the start of every load;
            # the child reaches them when the module imports its first module.
            if description not in FAILURES_BEFORE_ANY_IMPORT:
                self.assertGreaterEqual(len(report["calls"]), 6, description)
            for name, outcome in report["calls"]:
                self.assertEqual(NOT_LOADED, outcome, "%s: %s" % (description, name))

    def test_the_import_succeeds_once_the_cause_is_gone(self):
        cases = [
            ("winwrap without a capsule table", {"windows/winwrap.py": FakeWinwrap("__pyx_capi__ = {}")},
             REMOVE_FAKE_WINWRAP, "ImportError"),
            # The last failure before the state is complete.
            ("DeviceType without RAM", DEVICE_TYPE_WITHOUT_RAM, GIVE_DEVICE_TYPE_RAM, "AttributeError"),
        ]
        for description, files, cure, error_type in cases:
            with row_named(description):
                report = self.Retry(files, cure=cure)
            self.assertEqual(error_type, report["first"][0], description)
            self.assertEqual(report["first"], report["second"], description)
            self.assertIsNone(report["cured"], description)
            # The loaded module answers; what the failed load left behind now
            # reads the loaded module's state and cannot crash either.
            for name, outcome in report["loaded_calls"] + report["stale_calls"]:
                self.assertNotEqual(NOT_LOADED, outcome, "%s: %s" % (description, name))
            stale = report["stale_calls"]
            self.assertEqual(report["loaded_calls"][:len(stale)], stale, description)


# Runs in the fresh interpreter: an import, `cure`, later loads, then every
# function and the class that Singleton was given, on a small simulated
# machine, each call with its log records. Only the module's namespace is
# kept from the import, not the module: the host empties a module's namespace
# when the module goes.
COMPLETE_STATE_CHILD = WATCHING_CHILD_HEAD + textwrap.dedent(r"""
    import gc
    import imp
    import logging

    import winsim
    import windows
    from support import Handle, stat_result

    %(prelude)s


    def outcome(call):
        try:
            return ("returned", call())
        except BaseException as error:
            return (type(error).__name__, str(error))


    __builtin__.__import__ = capturing_import
    report = {"first": attempt()}
    __builtin__.__import__ = real_import
    namespace = vars(half_built.pop())
    %(cure)s
    path = imp.find_module("volumes", windows.__path__)[1]
    later_import = attempt()
    report["later"] = [later_import and later_import[:2],
                       outcome(lambda: imp.load_dynamic("windows.volumes", path) and None),
                       outcome(lambda: imp.load_dynamic("other.volumes", path) and None)]
    report["in_sys_modules"] = "windows.volumes" in sys.modules
    report["in_package"] = hasattr(windows, "volumes")
    gc.collect()

    STICK = u"\\\\?\\Volume{0000000a-0000-0000-0000-000000000007}\\"
    DATA = u"\\\\?\\Volume{0000000a-0000-0000-0000-000000000009}\\"
    DVD = u"\\\\?\\Volume{0000000a-0000-0000-0000-00000000000b}\\"
    winsim.reset()
    winsim.add_volume(STICK, mount_points=[u"E:\\"], label=u"STICK", serial=7, filesystem=u"FAT32", drive_type=2,
                      total_bytes=8 << 30)
    winsim.add_volume(DATA, mount_points=[u"D:\\data\\", u"D:\\"], label=u"Data", serial=9, filesystem=u"NTFS",
                      drive_type=3, total_bytes=1 << 40)
    winsim.add_volume(DVD, mount_points=[u"F:\\"], serial=11, drive_type=5, information_error=21)
    stick = Handle(winsim.open_handle(STICK))

    records = []


    class Recorder(logging.Handler):
        def emit(self, record):
            records.append((record.levelname, record.msg))


    logger = logging.getLogger("windows.volumes")
    logger.addHandler(Recorder(logging.DEBUG))
    logger.setLevel(logging.DEBUG)
    logger.propagate = False

    FUNCTION_CALLS = [
        ("_ListVolumeNames", ()),
        ("_GetVolumePathNamesForVolumeName", (DATA,)),
        ("GetVolumeInformation", (u"E:\\",)),
        ("GetVolumeInformation", (u"F:\\",)),  # not ready
        ("GetVolumeInformationByHandle", (stick.handle,)),
        ("FindVolumeID", (stat_result(7),)),
        ("_VolumeIDFromSerialNumber", (9,)),
        ("IsFAT", (7, stick)),
        ("IsFAT", (7, object())),  # cached
    ]


    def function_calls(source, functions):
        def call(name, arguments):
            return lambda: functions[name](*arguments)
        return [("%%s %%d %%s" %% (source, index, name), call(name, arguments))
                for index, (name, arguments) in enumerate(FUNCTION_CALLS)]


    # Looked up in the namespace at each call, and as the application may
    # hold them from the load on.
    calls = function_calls("namespace", namespace)
    from common.service import service
    if getattr(service, "held", None):
        calls += function_calls("held", service.held)
    kept = getattr(service, "kept", [])
    if kept:
        instances = []
        calls += [
            ("VolumeInfo()", lambda: instances.append(kept[0]()) or type(instances[0]).__name__),
            ("AllVolumeEntries", lambda: sorted(instances[0].AllVolumeEntries().items())),
            ("GetVolumeEntryForVolumeID", lambda: instances[0].GetVolumeEntryForVolumeID("serial:9")),
            ("GetVolumeEntryForDeviceNumber", lambda: instances[0].GetVolumeEntryForDeviceNumber(7)),
            ("VolumeInfo.FindVolumeID", lambda: instances[0].FindVolumeID(stat_result(9))),
            ("AllVolumeEntries(force_update=True)", lambda: len(instances[0].AllVolumeEntries(force_update=True))),
            # The refresh emptied the IsFAT cache: the handle is asked again.
            ("IsFAT after a refresh", lambda: namespace["IsFAT"](7, object())),
        ]
    report["calls"] = []
    for label, call in calls:
        del records[:]
        result = repr(outcome(call))
        report["calls"].append((label, result, list(records)))
    print(repr(report))
    """)

# A Singleton that keeps every class it is given (service.kept), and what the
# module's namespace holds then (service.held), and raises until told not to.
SINGLETON_UNTIL_CURED = {"common/service/service.py": textwrap.dedent("""\
    import sys

    execfile(%r)
    _real_singleton = Singleton
    kept = []
    held = {}
    broken = [True]


    def Singleton(cls):
        kept.append(cls)
        held.update(vars(sys.modules[cls.__module__]))
        if broken:
            raise ValueError("no service for " + cls.__name__)
        return _real_singleton(cls)
    """) % os.path.join(REAL_PACKAGE_DIRS["common/service"], "service.py")}
CURE_SINGLETON = "from common.service import service\ndel service.broken[:]\n"

FAILED_EARLIER = ("ImportError", "windows.volumes failed to load earlier in this process")


class CompleteStateFailureTest(LoadInFreshInterpreter, unittest.TestCase):
    """A load that fails once the module's state is complete fails the
    import, and leaves the state and what was made from it working."""

    def Run(self, files, prelude="", cure=""):
        return self.RunChild(COMPLETE_STATE_CHILD, files, prelude=prelude, cure=cure)

    def test_functions_and_class_answer_as_those_of_a_loaded_module_and_no_load_follows(self):
        loaded = self.Run(SINGLETON_UNTIL_CURED, prelude=CURE_SINGLETON)
        self.assertIsNone(loaded["first"])
        expected = dict((label, (result, records)) for label, result, records in loaded["calls"])
        self.assertEqual(25, len(expected))
        self.assertTrue(expected["namespace 3 GetVolumeInformation"][0].startswith("('WindowsError'"))
        for label, (result, _) in expected.items():
            self.assertNotIn(repr(NOT_LOADED), result, label)
        # (description, fake files, cure, error, calls made: those through
        # the namespace, those held since the load, the class's)
        cases = [
            ("service without Singleton", {"common/service/service.py": "\n"}, "", "AttributeError", 9),
            ("Singleton that raises", SINGLETON_UNTIL_CURED, "", "ValueError", 25),
            # The cause gone, the module is still not loaded again.
            ("Singleton that raises, cured", SINGLETON_UNTIL_CURED, CURE_SINGLETON, "ValueError", 25),
        ]
        for description, files, cure, error_type, calls in cases:
            with row_named(description):
                report = self.Run(files, cure=cure)
                self.assertEqual(error_type, report["first"][0])
                self.assertEqual([FAILED_EARLIER] * 3, report["later"])
                self.assertFalse(report["in_sys_modules"])
                self.assertFalse(report["in_package"])
                self.assertEqual(calls, len(report["calls"]))
                for label, result, records in report["calls"]:
                    self.assertEqual(expected[label], (result, records), label)


SECOND_LOAD_CHILD = textwrap.dedent(r"""
    import imp
    import os
    import sys

    import winsim
    import windows.volumes as volumes
    from support import Handle

    winsim.reset()
    winsim.add_volume(u"\\\\?\\Volume{1}\\", mount_points=[u"D:\\"], serial=7, filesystem=u"FAT32")
    report = {"fat": volumes.IsFAT(7, Handle(winsim.open_handle(u"\\\\?\\Volume{1}\\")))}
    seen = []
    original = volumes._VolumeIDFromSerialNumber
    volumes._VolumeIDFromSerialNumber = lambda serial: seen.append(serial) or original(serial)
    # Through another path to the same file, the host runs the library's init
    # again; through the same path it copies the loaded module's namespace.
    linked = os.path.join(sys.argv[1], os.path.basename(volumes.__file__))
    os.symlink(os.path.abspath(volumes.__file__), linked)
    loads = [("volumes", linked), ("other.volumes", linked), ("windows.volumes", linked),
             ("again.volumes", volumes.__file__)]
    names = [name for name, _ in loads]
    errors = []
    for name, path in loads:
        try:
            imp.load_dynamic(name, path)
            errors.append(None)
        except ImportError as error:
            errors.append(str(error))
    report["errors"] = errors
    report["registered"] = [name for name in names if name in sys.modules]
    report["same_module"] = sys.modules["windows.volumes"] is volumes
    report["fat_cached"] = volumes.IsFAT(7, object())  # answered from the cache: no handle needed
    report["volume_id"] = volumes.FindVolumeID(os.stat("/"))
    report["seen"] = seen
    report["st_dev"] = os.stat("/").st_dev
    print(repr(report))
    """)


@support.not_in_windows_host("a second init needs another path to the same library: os.symlink is not in its Python")
class SecondLoadTest(unittest.TestCase):

    def test_a_second_load_of_the_library_changes_nothing_the_loaded_module_sees(self):
        directory = tempfile.mkdtemp(prefix="volumes-second-")
        self.addCleanup(shutil.rmtree, directory)
        status, stdout, stderr = support.run_python(SECOND_LOAD_CHILD, arguments=[directory])
        self.assertEqual(0, status, stderr)
        report = ast.literal_eval(stdout.strip().splitlines()[-1])
        already = "windows.volumes is already loaded in this process"
        self.assertEqual([already, already, already, None], report["errors"])
        self.assertEqual(["windows.volumes", "again.volumes"], report["registered"])
        self.assertTrue(report["same_module"])
        self.assertIs(True, report["fat"])
        self.assertIs(True, report["fat_cached"])
        self.assertEqual("serial:%d" % report["st_dev"], report["volume_id"])
        self.assertEqual([7, report["st_dev"]], report["seen"])


class LoadSequenceTest(LoadInFreshInterpreter, unittest.TestCase):

    def test_winwrap_is_bound_first_then_the_collaborators_are_imported_in_order(self):
        report = self.Load()
        self.assertIsNone(report["error"])
        imports = report["imports"]
        winwrap = [index for index, call in enumerate(imports) if call[1] == "windows.winwrap"]
        own = [index for index, call in enumerate(imports) if call[0] == "windows.volumes"]
        self.assertTrue(winwrap, "windows.winwrap was never imported")
        self.assertLess(winwrap[0], own[0])
        self.assertEqual(0, imports[winwrap[0]][3])  # by its absolute name
        self.assertEqual(COLLABORATOR_IMPORTS, self.ImportsBy(report, "windows.volumes"))
        # Each with an empty locals dict of its own.
        self.assertEqual([("dict", 0)] * len(own), [imports[index][4:] for index in own])

    def test_imports_try_the_package_relative_name_first(self):
        # windows/re.py shadows the standard module for an implicit relative
        # import from inside the package.
        shadow = textwrap.dedent("""\
            from __future__ import absolute_import
            import re as _re

            compile_calls = []


            def compile(*args, **kwargs):
                compile_calls.append((args, kwargs))
                return _re.compile(*args, **kwargs)
            """)
        report = self.Load({"windows/re.py": shadow})
        self.assertIsNone(report["error"])
        self.assertIn("windows.re", report["loaded"])
        pattern = "\\\\\\\\\\?\\\\Volume\\{([\\w-]+)\\}\\\\"
        self.assertEqual(28, len(pattern))
        self.assertEqual([((pattern,), {})], report["re_compile_calls"])
        self.assertEqual(pattern, report["matcher_pattern"])


# The docstrings that only this file checks, "\n" standing for a line break
# (the others are in support.py).
LIST_VOLUME_NAMES_DOC = (
    "Returns a list of UNC volume names.\n\n  Returns:\n    List of UNC GUID volume names as reported by the "
    "system. Not all such\n    names will actually correspond to mounted volumes, because Windows.\n\n  Raises:\n"
    "    WindowsError: If calls to the Windows API fail.\n  ")
PATH_NAMES_DOC = (
    "Retrieves volume paths as per the win32 call of the same name.\n\n  Args:\n    guid_path: The GUID path of "
    "the volume, of the form:\n        " + '"' + "\\\\?\\Volume{ABCDEF-01234...}\\" + '"' + ".\n\n  Returns:\n"
    "    List of unicode mount points (drive letters or otherwise) assigned to this\n    volume. Note that some "
    "volumes may have no paths assigned. This may even\n    happen when the volume actually does have accessible "
    "mounts, due to an\n    apparent bug in the disk management subsystem.\n\n  Raises:\n    WindowsError: If a "
    "Windows API returns an error code.\n  ")
VOLUME_INFORMATION_DOC = (
    "Retrieves volume information as per the win32 call of the same name.\n\n  Args:\n    path: Unicode path to "
    "the volume mountpoint. Must end in a trailing slash.\n\n  Returns:\n    Tuple containing five values. Not "
    "coincidentally, this is the same form\n    as win32file.GetVolumeInformation, except that the volume label is "
    "unicode\n    and the serial number doesn't need manipulation to match the stat result.\n\n    volume_label: "
    "Unicode volume label.\n    serial_number: Integer, matches stat_result.st_dev for this volume.\n    "
    "component_length: Integer, maximum path component length on this volume.\n    flags: Integer. See "
    "Microsoft's documentation for flag details.\n    filesystem: String, filesystem name.\n\n  Raises:\n    "
    "TypeError: If input path is not unicode.\n    WindowsError: For any error involving the Windows API call.\n  ")
VOLUME_INFORMATION_BY_HANDLE_DOC = VOLUME_INFORMATION_DOC.replace(
    "    path: Unicode path to the volume mountpoint. Must end in a trailing slash.\n",
    "    handle: File handle to a file on the volume you wish to look up.\n").replace(
    "    TypeError: If input path is not unicode.\n", "")

MODULE_FUNCTIONS = {
    "GetVolumeInformationByHandle": VOLUME_INFORMATION_BY_HANDLE_DOC,
    "GetVolumeInformation": VOLUME_INFORMATION_DOC,
    "_GetVolumePathNamesForVolumeName": PATH_NAMES_DOC,
    "_ListVolumeNames": LIST_VOLUME_NAMES_DOC,
    "FindVolumeID": FIND_VOLUME_ID_DOC,
    "_VolumeIDFromSerialNumber": None,
    "IsFAT": IS_FAT_DOC,
}

# method -> (docstring, defaults)
METHODS = {
    "__init__": (None, None),
    "FindVolumeID": (METHOD_FIND_VOLUME_ID_DOC, None),
    "AllVolumeEntries": (METHOD_ALL_VOLUME_ENTRIES_DOC, (False,)),
    "GetVolumeEntryForVolumeID": (None, None),
    "GetVolumeEntryForDeviceNumber": (None, None),
    "_PopulateVolumeTable": (None, None),
}


class NamespaceTest(unittest.TestCase):

    def test_exactly_these_names(self):
        expected = set(MODULE_FUNCTIONS) | {
            "__doc__", "__builtins__", "logging", "re", "utils", "volume_entry", "service", "platform_utils",
            "LOGGER", "DRIVE_TYPE_MAP", "VOLUME_NAME_GUID_MATCHER", "VolumeInfo", "__test__",
            # set by the host's import machinery
            "__name__", "__file__", "__package__"}
        self.assertEqual(sorted(expected), sorted(vars(volumes)))

    def test_module_private_state_is_not_reachable(self):
        for name in ("FAT_FILESYSTEM_NAMES", "IS_FAT_CACHE"):
            self.assertFalse(hasattr(volumes, name), name)

    def test_values(self):
        self.assertEqual("Volume information cache service.", volumes.__doc__)
        self.assertIs(__builtin__, volumes.__builtins__)
        self.assertIs(dict, type(volumes.__test__))
        self.assertEqual({}, volumes.__test__)
        for name, module in [("logging", logging), ("re", re), ("utils", utils), ("volume_entry", volume_entry),
                             ("service", service), ("platform_utils", platform_utils)]:
            self.assertIs(module, getattr(volumes, name), name)
        self.assertIs(logging.getLogger("windows.volumes"), volumes.LOGGER)

    def test_module_functions(self):
        for name, doc in sorted(MODULE_FUNCTIONS.items()):
            function = getattr(volumes, name)
            self.assertIs(types.BuiltinFunctionType, type(function), name)
            self.assertEqual((name, "windows.volumes"), (function.__name__, function.__module__), name)
            self.assertEqual(doc, function.__doc__, name)

    def test_volume_info_class(self):
        cls = volumes.VolumeInfo.cls  # behind the Singleton wrapper
        self.assertIs(type, type(cls))
        self.assertEqual(("VolumeInfo", (object,), "windows.volumes", "VolumeInfo", CLASS_DOC),
                         (cls.__name__, cls.__bases__, cls.__dict__["__module__"], cls.__dict__["__qualname__"],
                          cls.__dict__["__doc__"]))
        self.assertNotIn("__metaclass__", cls.__dict__)
        for name, (doc, defaults) in sorted(METHODS.items()):
            method = cls.__dict__[name]
            self.assertEqual((name, "VolumeInfo." + name, "windows.volumes", doc, defaults, defaults),
                             (method.__name__, method.__qualname__, method.__module__, method.__doc__,
                              method.__defaults__, method.func_defaults), name)
        self.assertIn("_FindVolumeIDForDeviceNumber", cls.__dict__)
        # Fetched through an instance, a method is bound to it.
        instance = volumes.VolumeInfo.NewInstance()
        bound = instance.AllVolumeEntries
        self.assertIs(instance, bound.__self__)
        self.assertIs(cls.__dict__["AllVolumeEntries"], bound.__func__)


class DriveTypeMapTest(unittest.TestCase):

    def test_entries(self):
        device_type = volume_entry.DeviceType
        expected = {0: device_type.UNKNOWN, 1: device_type.UNKNOWN, 2: device_type.REMOVABLE,
                    3: device_type.INTERNAL, 4: device_type.NETWORK, 5: device_type.REMOVABLE, 6: device_type.RAM}
        drive_types = volumes.DRIVE_TYPE_MAP
        self.assertIs(dict, type(drive_types))
        self.assertEqual(7, len(drive_types))
        for key, value in drive_types.items():
            self.assertIs(long, type(key), key)
            self.assertIs(expected[key], value, key)
        for key in range(7):
            self.assertIs(drive_types[key], drive_types[long(key)], key)
        self.assertIsNone(drive_types.get(7))
        self.assertIsNone(drive_types.get(-1))


GUID = u"6e3c1f2a-9b47-4d0e-8a15-3c7f20b9d461"
GUID_NAME = u"\\\\?\\Volume{%s}\\" % GUID

# (text, group 1 of the match or None for no match)
MATCHER_CASES = [
    (GUID_NAME, GUID),
    (GUID_NAME.encode("ascii"), GUID),
    (GUID_NAME + u"more\\text", GUID),
    (u"\\\\?\\Volume{under_score-1}\\", u"under_score-1"),
    (GUID_NAME[:-1], None),
    (u"C:\\", None),
    (u"x" + GUID_NAME, None),
    (u"\\" + GUID_NAME, None),
    (u"\\\\?\\Volume{}\\", None),
    (u"\\\\?\\Volume{%s.0}\\" % GUID, None),
    (u"\\\\?\\volume{%s}\\" % GUID, None),
    (u"\\\\.\\Volume{%s}\\" % GUID, None),
]


class VolumeNameMatcherTest(unittest.TestCase):

    def test_pattern(self):
        matcher = volumes.VOLUME_NAME_GUID_MATCHER
        self.assertIs(str, type(matcher.pattern))
        self.assertEqual(r"\\\\\?\\Volume\{([\w-]+)\}\\", matcher.pattern)
        self.assertEqual(0, matcher.flags)

    def test_matches(self):
        for text, guid in MATCHER_CASES:
            match = volumes.VOLUME_NAME_GUID_MATCHER.match(text)
            self.assertEqual(guid, match and match.group(1), repr(text))


if __name__ == "__main__":
    unittest.main()
