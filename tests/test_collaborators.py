"""Tests of the collaborating modules that windows.volumes imports.

These run where winsim is not built, so they do without support.py (which
imports winsim): the capsule signature and the child interpreter are their
own here.
"""

import __builtin__
import ctypes
import errno
import os
import subprocess
import sys
import threading
import unittest

import windows.winwrap as winwrap
from common import utils, volume_entry
from common.service import service
from platforms import platform_utils
from support import not_in_windows_host

try:
    import winsim
except ImportError:
    winsim = None

SIGNATURE = ("PyObject *(int __pyx_skip_dispatch, struct "
             "__pyx_opt_args_7windows_7winwrap_RaiseWindowsError *__pyx_optional_args)")

# (Windows code, POSIX errno that Windows maps it to)
ERRNO_CASES = [
    (2, errno.ENOENT),
    (3, errno.ENOENT),
    (5, errno.EACCES),
    (6, errno.EBADF),
    (8, errno.ENOMEM),
    (18, errno.ENOENT),
    (21, errno.EACCES),
    (87, errno.EINVAL),
]

# Windows' own texts for a few codes.
MESSAGES = {
    2: "The system cannot find the file specified.",
    5: "Access is denied.",
}


class OptionalArgs(ctypes.Structure):
    _fields_ = [("count", ctypes.c_int32), ("code", ctypes.c_uint32)]


def CapsuleFunction():
    capsule = winwrap.__pyx_capi__["RaiseWindowsError"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(capsule, SIGNATURE)
    # PYFUNCTYPE keeps the GIL and turns a NULL result into the exception set.
    prototype = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_int, ctypes.POINTER(OptionalArgs))
    return prototype(address)


def RunPython(source):
    """Runs source in a fresh interpreter on this test's path; returns its output."""
    return subprocess.check_output([sys.executable, "-c", source], env=os.environ.copy(),
                                   stderr=subprocess.STDOUT)


class CapsuleTest(unittest.TestCase):

    def test_capi_table_holds_exactly_the_entry_under_its_signature(self):
        self.assertEqual(["RaiseWindowsError"], list(winwrap.__pyx_capi__))
        get_name = ctypes.pythonapi.PyCapsule_GetName
        get_name.restype = ctypes.c_char_p
        get_name.argtypes = [ctypes.py_object]
        self.assertEqual(SIGNATURE, get_name(winwrap.__pyx_capi__["RaiseWindowsError"]))

    def test_record_with_code_raises_windows_error_for_it(self):
        raise_error = CapsuleFunction()
        for code, mapped_errno in ERRNO_CASES:
            try:
                raise_error(0, ctypes.byref(OptionalArgs(1, code)))
            except WindowsError as error:
                pass
            else:
                self.fail("code %d: no WindowsError" % code)
            self.assertEqual((code, mapped_errno), (error.winerror, error.errno), code)
            self.assertIsInstance(error.strerror, basestring, code)
            self.assertTrue(error.strerror, code)
            self.assertFalse(error.strerror.endswith(("\r", "\n")), (code, error.strerror))
            if code in MESSAGES:
                self.assertEqual(MESSAGES[code], error.strerror, code)
                self.assertEqual("[Error %d] %s" % (code, MESSAGES[code]), str(error), code)

    @unittest.skipUnless(winsim, "the winsim module is not built")
    def test_without_record_raises_for_the_threads_last_error(self):
        raise_error = CapsuleFunction()
        # A count of 0 means no optional argument: the last error applies too.
        for description, record in (("no record", None), ("a record of count 0", ctypes.byref(OptionalArgs(0, 87)))):
            for code in (5, 18, 234):
                winsim.set_last_error(code)
                try:
                    raise_error(0, record)
                except WindowsError as error:
                    self.assertEqual(code, error.winerror, description)
                else:
                    self.fail("%s, last error %d: no WindowsError" % (description, code))

    @unittest.skipUnless(winsim, "the winsim module is not built")
    def test_python_helper_without_code_uses_last_error(self):
        winsim.set_last_error(6)
        with self.assertRaises(WindowsError) as caught:
            winwrap.RaiseWindowsError()
        self.assertEqual((6, errno.EBADF), (caught.exception.winerror, caught.exception.errno))

    def test_python_helper(self):
        for arguments in (((5,), {}), ((5L,), {}), ((), {"code": 5})):
            try:
                winwrap.RaiseWindowsError(*arguments[0], **arguments[1])
            except WindowsError as error:
                self.assertEqual(5, error.winerror, arguments)
            else:
                self.fail("%r: no WindowsError" % (arguments,))
        for code, exception in ((-1, OverflowError), (2 ** 32, OverflowError), ("5", TypeError)):
            try:
                winwrap.RaiseWindowsError(code)
            except exception:
                pass
            else:
                self.fail("RaiseWindowsError(%r): no %s" % (code, exception.__name__))


class WindowsErrorTest(unittest.TestCase):

    def test_is_a_builtin_os_error(self):
        self.assertIs(WindowsError, __builtin__.WindowsError)
        self.assertIs(WindowsError, winwrap.WindowsError)
        self.assertTrue(issubclass(WindowsError, OSError))

    def test_fields_and_text(self):
        for code, mapped_errno in ERRNO_CASES:
            error = WindowsError(code, "Message.")
            self.assertEqual((code, mapped_errno, "Message.", None),
                             (error.winerror, error.errno, error.strerror, error.filename), code)
            self.assertEqual("[Error %d] Message." % code, str(error), code)
        self.assertEqual("[Error 3] Not found.: 'C:\\\\x'", str(WindowsError(3, "Not found.", "C:\\x")))
        self.assertEqual("odd", str(WindowsError("odd")))

    @not_in_windows_host("the host has a WindowsError of its own")
    def test_import_installs_it_where_the_host_has_none(self):
        output = RunPython(
            "import __builtin__\n"
            "assert not hasattr(__builtin__, 'WindowsError')\n"
            "import windows.winwrap\n"
            "print __builtin__.WindowsError is windows.winwrap.WindowsError\n")
        self.assertEqual("True", output.strip())

    def test_import_uses_the_hosts_own_windows_error(self):
        output = RunPython(
            "import __builtin__\n"
            "class HostWindowsError(OSError):\n"
            "    pass\n"
            "__builtin__.WindowsError = HostWindowsError\n"
            "import windows.winwrap\n"
            "try:\n"
            "    windows.winwrap.RaiseWindowsError(5)\n"
            "except HostWindowsError as error:\n"
            "    print windows.winwrap.WindowsError is HostWindowsError, error.args[0]\n")
        self.assertEqual("True 5", output.strip())


FIELDS = dict(volume="serial:3405691582", mountpoint=u"C:\\", device_file=u"\\\\?\\Volume{1}\\",
              device_number=3405691582L, uuid="1", model=None,
              device_type=volume_entry.DeviceType.INTERNAL, label=u"System", filesystem="ntfs",
              size=256060514304L)
OTHER_VALUES = dict(volume="serial:1", mountpoint=u"D:\\", device_file=u"\\\\?\\Volume{2}\\",
                    device_number=1, uuid=None, model="disk", device_type=volume_entry.DeviceType.REMOVABLE,
                    label=u"", filesystem="fat32", size=0L)


class VolumeEntryTest(unittest.TestCase):

    def test_takes_exactly_the_ten_keywords(self):
        entry = volume_entry.VolumeEntry(**FIELDS)
        self.assertEqual(FIELDS, dict((name, getattr(entry, name)) for name in FIELDS))
        refused = [((), dict(FIELDS, extra=1))]
        refused += [((), dict((k, v) for k, v in FIELDS.items() if k != name)) for name in FIELDS]
        refused += [(("serial:1",), dict((k, v) for k, v in FIELDS.items() if k != "volume"))]
        for args, kwargs in refused:
            try:
                volume_entry.VolumeEntry(*args, **kwargs)
            except TypeError:
                pass
            else:
                self.fail("accepted %r %r" % (args, sorted(kwargs)))

    def test_equality_and_hash_by_value(self):
        entry = volume_entry.VolumeEntry(**FIELDS)
        same = volume_entry.VolumeEntry(**FIELDS)
        self.assertTrue(entry == same)
        self.assertFalse(entry != same)
        self.assertEqual(1, len({entry, same}))
        for name in FIELDS:
            other = volume_entry.VolumeEntry(**dict(FIELDS, **{name: OTHER_VALUES[name]}))
            self.assertTrue(entry != other, name)
            self.assertFalse(entry == other, name)
        self.assertNotEqual(entry, tuple(FIELDS.values()))

    def test_is_immutable(self):
        entry = volume_entry.VolumeEntry(**FIELDS)
        self.assertRaises(AttributeError, setattr, entry, "label", u"x")
        self.assertRaises(AttributeError, setattr, entry, "other", 1)

    def test_repr_shows_every_field_in_order(self):
        text = repr(volume_entry.VolumeEntry(**FIELDS))
        self.assertTrue(text.startswith("VolumeEntry("), text)
        positions = [text.index("%s=%r," % (name, FIELDS[name])) for name in volume_entry.VolumeEntry.FIELDS[:-1]]
        self.assertEqual(sorted(positions), positions)
        self.assertTrue(text.endswith("size=256060514304L)"), text)
        self.assertIn("device_type=DeviceType.INTERNAL", text)

    def test_device_types_are_distinct_named_values(self):
        names = ["UNKNOWN", "REMOVABLE", "INTERNAL", "NETWORK", "RAM"]
        members = [getattr(volume_entry.DeviceType, name) for name in names]
        self.assertEqual(len(names), len(set(members)))
        self.assertEqual(["DeviceType." + name for name in names], [repr(m) for m in members])


class SingletonTest(unittest.TestCase):

    def Decorate(self):
        record = {"inits": 0}

        class Service(object):
            """The service."""

            def __init__(self, *args):
                record["inits"] += 1
                self.args = args

            def Method(self):
                """Does things."""

        return service.Singleton(Service), Service, record

    def test_one_shared_instance_made_by_init_once(self):
        decorated, cls, record = self.Decorate()
        self.assertEqual(0, record["inits"])
        first = decorated()
        self.assertIs(first, decorated())
        self.assertIsInstance(first, cls)
        self.assertEqual(1, record["inits"])

    def test_fresh_instances_and_class_access(self):
        decorated, cls, record = self.Decorate()
        shared = decorated()
        fresh = decorated.NewInstance(1, 2)
        self.assertIsNot(shared, fresh)
        self.assertIsNot(fresh, decorated.NewInstance())
        self.assertEqual((1, 2), fresh.args)
        self.assertIs(shared, decorated())
        self.assertIs(cls, decorated.cls)
        self.assertEqual("Does things.", decorated.Method.__doc__)
        self.assertEqual(("The service.", "Service"), (decorated.__doc__, decorated.__name__))

    def test_arguments_reach_init_once(self):
        decorated, _, _ = self.Decorate()
        self.assertEqual((7,), decorated(7).args)
        self.assertRaises(TypeError, decorated, 7)

    def test_failed_construction_is_retried(self):
        attempts = []

        class Flaky(object):
            def __init__(self):
                attempts.append(self)
                if len(attempts) == 1:
                    raise IOError("first time")

        decorated = service.Singleton(Flaky)
        self.assertRaises(IOError, decorated)
        instance = decorated()
        self.assertEqual(2, len(attempts))
        self.assertIs(attempts[1], instance)
        self.assertIs(instance, decorated())

    def test_concurrent_first_construction_makes_one_instance(self):
        threads_count = 8
        callers_ready = threading.Semaphore(0)
        all_ready = threading.Event()
        inits = []

        class Slow(object):
            def __init__(self):
                inits.append(self)
                # Stay inside __init__ until every thread is about to construct.
                all_ready.wait()

        decorated = service.Singleton(Slow)
        results = []

        def Construct():
            callers_ready.release()
            results.append(decorated())

        threads = [threading.Thread(target=Construct) for _ in range(threads_count)]
        for thread in threads:
            thread.start()
        for _ in range(threads_count):
            callers_ready.acquire()
        all_ready.set()
        for thread in threads:
            thread.join()
        self.assertEqual(1, len(inits))
        self.assertEqual([inits[0]] * threads_count, results)


class LockTest(unittest.TestCase):

    def test_held_inside_with_block_and_released_after(self):
        lock = platform_utils.Lock()
        self.assertIsNot(lock, platform_utils.Lock())
        with lock:
            self.assertFalse(lock.acquire(False))
        self.assertTrue(lock.acquire(False))
        lock.release()
        with self.assertRaises(KeyError):
            with lock:
                raise KeyError()
        self.assertTrue(lock.acquire(False))
        lock.release()


class MonotonicTimeTest(unittest.TestCase):

    def test_readings_are_floats_that_never_decrease(self):
        readings = [utils.GetMonotonicTime() for _ in range(10000)]
        self.assertTrue(all(isinstance(reading, float) for reading in readings))
        self.assertEqual(sorted(readings), readings)
        self.assertTrue(readings[0] > 0)


if __name__ == "__main__":
    unittest.main()
