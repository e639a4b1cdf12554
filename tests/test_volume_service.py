"""The volume information cache service VolumeInfo: construction, lookups, method objects, threads."""

import sys
import threading
import types
import unittest

import winsim
import windows.volumes as volumes

from support import (CLASS_DOC, COMPLETE, METHOD_ALL_VOLUME_ENTRIES_DOC, METHOD_FIND_VOLUME_ID_DOC, REFRESHING,
                     LogCapture, entry_names, lock_is_free, raised, reset_machine, row_named, stat_result,
                     volume_name)
from support import Rebound

VolumeInfo = volumes.VolumeInfo
VolumeClass = VolumeInfo.cls
VolumeID = volumes._VolumeIDFromSerialNumber

SERIALS = [1, 0x80000000, 0xFFFFFFFF, 0]
MACHINE = [dict(name=volume_name(index), mount_points=[u"%s:\\" % letter], serial=serial, total_bytes=index)
           for index, (letter, serial) in enumerate(zip("DEFG", SERIALS), 1)]



def refreshes():
    """How many refreshes listed the volumes since the last reset."""
    return [call[0] for call in winsim.calls()].count("FindFirstVolumeW")


def error_of(call):
    """The exception that call() raises, and the names of the module's traceback entries."""
    error, error_traceback = raised(call)
    return error, entry_names(error_traceback)


class Undecided(object):
    """Its truth cannot be told."""

    def __nonzero__(self):
        raise ZeroDivisionError("truth")


class Service(unittest.TestCase):

    def setUp(self):
        reset_machine(*MACHINE)
        self.service = VolumeInfo.NewInstance()
        self.log = LogCapture()
        self.log.__enter__()

    def tearDown(self):
        self.log.__exit__(None, None, None)


class ConstructionTest(Service):

    def test_class(self):
        self.assertIs(VolumeInfo(), VolumeInfo())
        self.assertIsInstance(VolumeInfo(), VolumeClass)
        self.assertIsNot(VolumeInfo.NewInstance(), VolumeInfo())
        self.assertIs(type(VolumeClass), type)
        self.assertEqual(VolumeClass.__bases__, (object,))
        self.assertEqual((VolumeClass.__name__, VolumeClass.__module__, VolumeClass.__qualname__),
                         ("VolumeInfo", "windows.volumes", "VolumeInfo"))
        self.assertEqual(VolumeClass.__doc__, CLASS_DOC)
        self.assertEqual(VolumeInfo.__doc__, CLASS_DOC)
        self.assertEqual((winsim.calls(), self.log.records), ([], []))

    def test_init_binds_three_attributes_in_order_and_does_not_refresh(self):
        order = []

        class Recording(VolumeClass):
            def __setattr__(self, name, value):
                order.append((name, value))
                object.__setattr__(self, name, value)

        class PlatformUtils(object):
            @staticmethod
            def Lock(*args, **kwargs):
                order.append(("Lock()", args, kwargs))
                return "the lock"

        with Rebound("platform_utils", PlatformUtils()):
            service = Recording()
        self.assertEqual(order, [("_volume_ids", {}), ("_volume_entries", {}), ("Lock()", (), {}),
                                 ("_lock", "the lock")])
        self.assertIs(type(service._volume_ids), dict)
        self.assertIs(type(service._volume_entries), dict)
        self.assertIsNot(service._volume_ids, service._volume_entries)
        self.assertEqual((winsim.calls(), self.log.records), ([], []))

        other = VolumeInfo.NewInstance()
        for name in ["_volume_ids", "_volume_entries", "_lock"]:
            self.assertIsNot(getattr(other, name), getattr(self.service, name), name)
        self.assertTrue(lock_is_free(other))
        self.assertEqual(self.service.GetVolumeEntryForVolumeID(VolumeID(1)), None)

    def test_init_failure_stops_at_the_failing_step(self):
        service = VolumeClass.__new__(VolumeClass)
        with Rebound("platform_utils", object()):
            error, entries = error_of(lambda: service.__init__())
        self.assertIsInstance(error, AttributeError)
        self.assertEqual(entries, ["windows.volumes.VolumeInfo.__init__"])
        self.assertEqual((service._volume_ids, service._volume_entries), ({}, {}))
        self.assertFalse(hasattr(service, "_lock"))

    def test_init_calling_form(self):
        cases = [
            (lambda: VolumeInfo.NewInstance(1), "__init__() takes exactly one argument (2 given)"),
            (lambda: VolumeInfo.NewInstance(x=1), "__init__() takes no keyword arguments"),
            (lambda: VolumeClass.__dict__["__init__"](), "__init__() takes exactly one argument (0 given)"),
        ]
        for call, message in cases:
            with row_named(message):
                error, _ = error_of(call)
            self.assertIsInstance(error, TypeError, message)
            self.assertEqual(str(error), message, message)


class MethodObjectTest(Service):

    METHODS = [
        # (name, docstring, defaults)
        ("__init__", None, None),
        ("FindVolumeID", METHOD_FIND_VOLUME_ID_DOC, None),
        ("AllVolumeEntries", METHOD_ALL_VOLUME_ENTRIES_DOC, (False,)),
        ("GetVolumeEntryForVolumeID", None, None),
        ("GetVolumeEntryForDeviceNumber", None, None),
        ("_PopulateVolumeTable", None, None),
    ]

    def test_names_docstrings_and_defaults(self):
        for name, doc, defaults in self.METHODS:
            function = VolumeClass.__dict__[name]
            self.assertEqual(type(function).__name__, "native_function", name)
            self.assertEqual(type(function).__module__, "windows.volumes", name)
            self.assertEqual((function.__name__, function.func_name), (name, name), name)
            self.assertEqual(function.__qualname__, "VolumeInfo." + name, name)
            self.assertEqual(function.__module__, "windows.volumes", name)
            self.assertEqual((function.__doc__, function.func_doc), (doc, doc), name)
            self.assertEqual((function.__defaults__, function.func_defaults), (defaults, defaults), name)
            self.assertEqual(getattr(self.service, name).__doc__, doc, name)
        self.assertIs(VolumeClass.__dict__["AllVolumeEntries"].__defaults__[0], False)

    def test_methods_bind_like_python_functions(self):
        class Derived(VolumeClass):
            pass

        derived = Derived()
        for name, _, _ in self.METHODS:
            function = VolumeClass.__dict__[name]
            for instance in [self.service, derived]:
                row = (name, type(instance).__name__)
                bound = getattr(instance, name)
                self.assertIs(type(bound), types.MethodType, row)
                self.assertIs(bound.im_self, instance, row)
                self.assertIs(bound.im_func, function, row)
                self.assertIs(bound.im_class, type(instance), row)
                self.assertEqual(bound, getattr(instance, name), row)
            unbound = getattr(VolumeClass, name)
            self.assertIsNone(unbound.im_self, name)
            self.assertIs(unbound.im_func, function, name)
            if name != "__init__":  # the decorator has an __init__ of its own
                self.assertIs(getattr(VolumeInfo, name).im_func, function, name)
        self.assertTrue(repr(self.service.AllVolumeEntries).startswith("<bound method VolumeInfo.AllVolumeEntries of "))

        # Through the class the instance is checked, as for any method; the function itself takes any self.
        self.assertEqual(VolumeClass.AllVolumeEntries(self.service), self.service._volume_entries)
        self.assertRaises(TypeError, VolumeClass.AllVolumeEntries, object())
        self.assertIs(VolumeClass.__dict__["FindVolumeID"](None, stat_result(1)), VolumeID(1))

    def test_calling_forms(self):
        service = self.service
        raw = VolumeClass.__dict__
        accepted = [
            lambda: raw["AllVolumeEntries"](self=service),
            lambda: raw["AllVolumeEntries"](self=service, force_update=False),
            lambda: service.AllVolumeEntries(force_update=False),
            lambda: raw["FindVolumeID"](self=service, stat_result=stat_result(1)),
            lambda: service.GetVolumeEntryForVolumeID(volume_id=VolumeID(1)),
            lambda: service.GetVolumeEntryForDeviceNumber(st_dev=1),
            lambda: raw["_PopulateVolumeTable"](self=service, current_volume_ids={}),
        ]
        for call in accepted:
            call()
        refused = [
            (lambda: service.AllVolumeEntries(1, 2), "AllVolumeEntries",
             "AllVolumeEntries() takes at most 2 positional arguments (3 given)"),
            (lambda: raw["AllVolumeEntries"](), "AllVolumeEntries",
             "AllVolumeEntries() takes at least 1 positional argument (0 given)"),
            (lambda: raw["AllVolumeEntries"](force_update=True), "AllVolumeEntries",
             "AllVolumeEntries() takes at least 1 positional argument (0 given)"),
            (lambda: service.AllVolumeEntries(bogus=1), "AllVolumeEntries",
             "AllVolumeEntries() got an unexpected keyword argument 'bogus'"),
            (lambda: service.AllVolumeEntries(True, force_update=True), "AllVolumeEntries",
             "AllVolumeEntries() got multiple values for keyword argument 'force_update'"),
            (lambda: service.FindVolumeID(), "FindVolumeID",
             "FindVolumeID() takes exactly 2 positional arguments (1 given)"),
            (lambda: service.GetVolumeEntryForVolumeID(1, 2), "GetVolumeEntryForVolumeID",
             "GetVolumeEntryForVolumeID() takes exactly 2 positional arguments (3 given)"),
            (lambda: service.GetVolumeEntryForDeviceNumber(1, st_dev=1), "GetVolumeEntryForDeviceNumber",
             "GetVolumeEntryForDeviceNumber() got multiple values for keyword argument 'st_dev'"),
            (lambda: service._PopulateVolumeTable(), "_PopulateVolumeTable",
             "_PopulateVolumeTable() takes exactly 2 positional arguments (1 given)"),
            (lambda: service._PopulateVolumeTable({}, **{3: 4}), "_PopulateVolumeTable",
             "_PopulateVolumeTable() keywords must be strings"),
        ]
        for call, name, message in refused:
            with row_named(message):
                error, entries = error_of(call)
            self.assertIsInstance(error, TypeError, message)
            self.assertEqual(str(error), message, message)
            self.assertEqual(entries, ["windows.volumes.VolumeInfo." + name], message)


class AllVolumeEntriesTest(Service):

    def test_first_call_builds_the_table_later_calls_copy_it(self):
        for serial in SERIALS:
            self.assertIsNone(self.service.GetVolumeEntryForVolumeID(VolumeID(serial)), serial)
            self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(serial), serial)
        self.assertEqual(refreshes(), 0)
        first = self.service.AllVolumeEntries()
        self.assertEqual(refreshes(), 1)
        second = self.service.AllVolumeEntries()
        self.assertEqual(refreshes(), 1)
        table = self.service._volume_entries
        self.assertEqual(sorted(first), sorted(VolumeID(serial) for serial in SERIALS))
        self.assertEqual(first, second)
        self.assertEqual(first, table)
        for call, result in [("first", first), ("second", second)]:
            self.assertIs(type(result), dict, call)
            self.assertIsNot(result, table, call)
            for key in table:
                self.assertIs(result[key], table[key], (call, key))
        self.assertIsNot(first, second)

    def test_force_update(self):
        self.service.AllVolumeEntries()
        raw = VolumeClass.__dict__["AllVolumeEntries"]
        cases = [
            ((), {}, False),
            ((True,), {}, True),
            ((), {"force_update": True}, True),
            ((), {u"force_update": True}, True),
            ((0,), {}, False),
            ((), {"force_update": 0}, False),
            ((None,), {}, False),
            (([],), {}, False),
            (("yes",), {}, True),
            (([0],), {}, True),
        ]
        for args, kwargs, refreshed in cases:
            before, table = refreshes(), self.service._volume_entries
            result = self.service.AllVolumeEntries(*args, **kwargs)
            self.assertEqual(refreshes() - before, int(refreshed), (args, kwargs))
            self.assertEqual(self.service._volume_entries is not table, refreshed, (args, kwargs))
            self.assertEqual(result, self.service._volume_entries, (args, kwargs))
        before = refreshes()
        raw(self=self.service, force_update=True)
        self.assertEqual(refreshes(), before + 1)

    def test_force_update_is_not_evaluated_with_an_empty_table(self):
        self.assertEqual(len(self.service.AllVolumeEntries(Undecided())), len(SERIALS))
        self.assertEqual(refreshes(), 1)
        error, entries = error_of(lambda: self.service.AllVolumeEntries(force_update=Undecided()))
        self.assertIsInstance(error, ZeroDivisionError)
        self.assertEqual(entries, ["windows.volumes.VolumeInfo.AllVolumeEntries"])
        self.assertEqual(refreshes(), 1)

    def test_an_empty_table_is_built_again_at_every_call(self):
        reset_machine(volume_name(1), volume_name(2))
        for count in range(1, 4):
            self.assertEqual(self.service.AllVolumeEntries(Undecided()), {})
            self.assertEqual(refreshes(), count)

    def test_returned_dicts_are_independent_and_stay_as_they_were(self):
        first = self.service.AllVolumeEntries()
        table = self.service._volume_entries
        snapshot = dict(table)
        del first[VolumeID(1)]
        first["mine"] = None
        self.assertEqual(self.service.AllVolumeEntries(), snapshot)
        self.assertEqual(table, snapshot)

        kept = self.service.AllVolumeEntries()
        winsim.add_volume(volume_name(9), mount_points=[u"Z:\\"], serial=9)
        winsim.set_mount_points(volume_name(1), [u"Y:\\"])
        newer = self.service.AllVolumeEntries(True)
        self.assertEqual(kept, snapshot)
        self.assertEqual(table, snapshot)
        self.assertIsNot(self.service._volume_entries, table)
        self.assertEqual(newer[VolumeID(9)].mountpoint, u"Z:\\")
        self.assertEqual(newer[VolumeID(1)].mountpoint, u"Y:\\")
        self.assertEqual(kept[VolumeID(1)].mountpoint, u"D:\\")

    def test_a_new_volume_is_found_after_the_next_refresh(self):
        self.service.AllVolumeEntries()
        winsim.add_volume(volume_name(9), mount_points=[u"Z:\\"], serial=9)
        for lookup in range(2):
            self.assertIsNone(self.service.GetVolumeEntryForVolumeID(VolumeID(9)))
            self.assertIsNone(self.service.GetVolumeEntryForDeviceNumber(9))
            self.service.AllVolumeEntries()
        self.service.AllVolumeEntries(force_update=True)
        self.assertEqual(self.service.GetVolumeEntryForDeviceNumber(9).device_file, volume_name(9))

    def test_failed_refresh_keeps_the_previous_table(self):
        first = self.service.AllVolumeEntries()
        table = self.service._volume_entries
        winsim.fail("FindFirstVolumeW", 21)
        error, entries = error_of(lambda: self.service.AllVolumeEntries(True))
        self.assertIsInstance(error, WindowsError)
        self.assertEqual(entries, ["windows.volumes.VolumeInfo.AllVolumeEntries",
                                   "windows.volumes.VolumeInfo._PopulateVolumeTable",
                                   "windows.volumes._ListVolumeNames"])
        self.assertIs(self.service._volume_entries, table)
        self.assertIs(self.service.GetVolumeEntryForVolumeID(VolumeID(1)), table[VolumeID(1)])
        self.assertEqual(self.service.AllVolumeEntries(), first)
        self.assertTrue(lock_is_free(self.service))

    def test_refresh_is_the_populate_method_found_on_the_instance(self):
        calls = []
        service = self.service

        def populate(*args):
            calls.append(args)
            service._volume_entries = {"volume": "entry"}
            return "ignored"

        token = service._volume_ids
        service._PopulateVolumeTable = populate
        result = service.AllVolumeEntries()
        self.assertEqual(calls, [(token,)])
        self.assertIs(calls[0][0], token)
        self.assertEqual(result, {"volume": "entry"})
        self.assertIsNot(result, service._volume_entries)
        self.assertEqual(refreshes(), 0)


    def test_the_table_is_read_again_before_it_is_copied(self):
        self.service.AllVolumeEntries()
        service = self.service
        installed = {"installed": "meanwhile"}

        class Installing(object):
            # Stands for a refresh by another thread while the flag is tested.
            def __nonzero__(self):
                service._volume_entries = installed
                return False

        reads = []
        traced = type("Traced", (VolumeClass,), {
            "__getattribute__": lambda this, name: reads.append(name) or object.__getattribute__(this, name)})
        self.assertEqual(service.AllVolumeEntries(Installing()), installed)
        traced_service = VolumeInfo.NewInstance()
        traced_service.__class__ = traced
        traced_service._volume_entries = {"volume": "entry"}
        del reads[:]
        traced_service.AllVolumeEntries()
        self.assertEqual(reads, ["AllVolumeEntries", "_volume_entries", "_volume_entries"])
        traced_service._volume_entries = {}
        del reads[:]
        traced_service.AllVolumeEntries()
        # The refresh's own reads between: the lock, the token under it.
        self.assertEqual(reads, ["AllVolumeEntries", "_volume_entries", "_PopulateVolumeTable", "_volume_ids",
                                 "_lock", "_volume_ids", "_volume_entries"])

    def test_the_table_is_read_through_its_own_methods(self):
        calls = []

        class Table(dict):
            def get(self, *args):
                calls.append(("get",) + args)
                return "got"

            def copy(self, *args):
                calls.append(("copy",) + args)
                return "copied"

        self.service._volume_entries = Table(volume="entry")
        self.assertEqual(self.service.GetVolumeEntryForVolumeID("volume"), "got")
        self.assertEqual(self.service.AllVolumeEntries(), "copied")
        self.assertEqual(calls, [("get", "volume"), ("copy",)])
        self.assertEqual(refreshes(), 0)


class LookupTest(Service):

    def test_lookups_agree_with_find_volume_id(self):
        table = self.service.AllVolumeEntries()
        calls = len(winsim.calls())
        for serial in SERIALS + [12345]:
            expected = table.get(VolumeID(serial))
            for st_dev in [int(serial), long(serial)]:
                stat = stat_result(st_dev)
                volume_id = self.service.FindVolumeID(stat)
                self.assertIs(volume_id, volumes.FindVolumeID(stat), repr(st_dev))
                self.assertIs(self.service.GetVolumeEntryForVolumeID(volume_id), expected, repr(st_dev))
                self.assertIs(self.service.GetVolumeEntryForDeviceNumber(st_dev), expected, repr(st_dev))
                self.assertIs(self.service.GetVolumeEntryForDeviceNumber(stat.st_dev), expected, repr(st_dev))
            if expected is not None:
                self.assertEqual(expected.device_number, serial, serial)
        self.assertIsNone(table.get(VolumeID(12345)))
        self.assertEqual(len(winsim.calls()), calls)

    def test_find_volume_id_leaves_an_empty_table_empty(self):
        table = self.service._volume_entries
        self.assertIs(self.service.FindVolumeID(stat_result(1)), VolumeID(1))
        self.assertIs(self.service._volume_entries, table)
        self.assertEqual(table, {})
        self.assertEqual(winsim.calls(), [])

    def test_lookup_failures_propagate(self):
        self.service.AllVolumeEntries()
        cases = [
            (lambda: self.service.GetVolumeEntryForVolumeID([1]), TypeError,
             ["windows.volumes.VolumeInfo.GetVolumeEntryForVolumeID"]),
            (lambda: self.service.FindVolumeID(object()), AttributeError,
             ["windows.volumes.VolumeInfo.FindVolumeID", "windows.volumes.FindVolumeID"]),
            (lambda: self.service.GetVolumeEntryForDeviceNumber(u"1"), TypeError,
             ["windows.volumes.VolumeInfo.GetVolumeEntryForDeviceNumber",
              "windows.volumes._VolumeIDFromSerialNumber"]),
        ]
        for call, error_type, expected_entries in cases:
            with row_named(expected_entries[0]):
                error, entries = error_of(call)
            self.assertIsInstance(error, error_type, expected_entries[0])
            # What the device-number method adds in between is its own affair.
            self.assertEqual([entries[0], entries[-1]], [expected_entries[0], expected_entries[-1]],
                             expected_entries[0])

    def test_names_are_looked_up_at_each_call(self):
        self.service.AllVolumeEntries()
        seen = []
        with Rebound("FindVolumeID", lambda stat: seen.append(stat) or "found"):
            self.assertEqual(self.service.FindVolumeID("a stat"), "found")
        self.assertEqual(seen, ["a stat"])
        with Rebound("_VolumeIDFromSerialNumber", lambda serial: VolumeID(serial + 1)):
            self.assertIs(self.service.GetVolumeEntryForDeviceNumber(0), self.service._volume_entries[VolumeID(1)])
        self.assertIs(self.service.FindVolumeID(stat_result(1)), VolumeID(1))

        class Derived(VolumeClass):
            def GetVolumeEntryForVolumeID(self, volume_id):
                return ("derived", volume_id)

        self.assertEqual(Derived().GetVolumeEntryForDeviceNumber(5), ("derived", VolumeID(5)))
        self.service._FindVolumeIDForDeviceNumber = lambda st_dev: VolumeID(1)
        self.assertIs(self.service.GetVolumeEntryForDeviceNumber(999), self.service._volume_entries[VolumeID(1)])


class Barrier(object):
    """All `parties` threads leave wait() together (threading.Barrier is not in 2.7)."""

    def __init__(self, parties):
        self.parties = parties
        self.arrived = 0
        self.condition = threading.Condition()

    def wait(self):
        with self.condition:
            self.arrived += 1
            self.condition.notify_all()
            while self.arrived < self.parties:
                self.condition.wait()


class CountingLock(object):
    """A plain lock that counts its holders, and tells a condition when a thread starts waiting for it."""

    def __init__(self):
        self.lock = threading.Lock()
        self.holders = self.most_holders = self.waiting = 0
        self.condition = threading.Condition()

    def __enter__(self):
        with self.condition:
            self.waiting += 1
            self.condition.notify_all()
        self.lock.acquire()
        self.holders += 1
        self.most_holders = max(self.most_holders, self.holders)

    def __exit__(self, *exc_info):
        self.holders -= 1
        self.lock.release()
        return False

    def acquire(self, blocking=True):
        return self.lock.acquire(blocking)

    def release(self):
        self.lock.release()

    def wait_for(self, waiting, finished):
        """Until `waiting` threads wait for the lock, or finished() tells that one will never come."""
        with self.condition:
            while self.waiting < waiting and not finished():
                self.condition.wait(0.05)


class RefreshWatch(object):
    """Watches the refresh records: how many refreshes started, and whether one started while another ran."""

    def __init__(self):
        self.started = self.overlaps = 0
        self.running = False

    def __call__(self, record):
        if record.msg == REFRESHING:
            self.started += 1
            self.overlaps += self.running
            self.running = True
        elif record.msg == COMPLETE:
            self.running = False


class ThreadTest(Service):

    THREADS = 8

    def run_threads(self, target):
        results, errors = [], []

        def run():
            try:
                results.append(target())
            except BaseException as error:
                errors.append(error)

        threads = [threading.Thread(target=run) for _ in range(self.THREADS)]
        for thread in threads:
            thread.start()
        return threads, results, errors

    def join(self, threads):
        for thread in threads:
            thread.join(60)  # only a deadlock gets near this
            self.assertFalse(thread.is_alive())

    def test_concurrent_forced_refreshes(self):
        expected = self.service.AllVolumeEntries()
        self.service._lock = lock = CountingLock()
        watch = RefreshWatch()
        interval = sys.getcheckinterval()
        sys.setcheckinterval(1)  # switch threads as often as the host can
        try:
            for _ in range(5):
                barrier = Barrier(self.THREADS)

                def force():
                    barrier.wait()
                    return self.service.AllVolumeEntries(force_update=True)

                with LogCapture(on_record=watch):
                    threads, results, errors = self.run_threads(force)
                    self.join(threads)
                self.assertEqual(errors, [])
                self.assertEqual(len(results), self.THREADS)
                for result in results:
                    self.assertEqual(result, expected)
                    self.assertIsNot(result, self.service._volume_entries)
                self.assertEqual(len(set(map(id, results))), self.THREADS)
        finally:
            sys.setcheckinterval(interval)
        self.assertEqual(watch.overlaps, 0)
        self.assertFalse(watch.running)
        self.assertTrue(5 <= watch.started <= 5 * self.THREADS, watch.started)
        self.assertEqual(lock.most_holders, 1)
        self.assertEqual(lock.holders, 0)
        self.assertTrue(lock_is_free(self.service))
        self.assertEqual(refreshes(), watch.started + 1)

    def test_waiting_callers_collapse_into_one_refresh(self):
        for build_first, call in [(True, lambda: self.service.AllVolumeEntries(force_update=True)),
                                  (False, lambda: self.service.AllVolumeEntries())]:
            row = "table built first" if build_first else "empty table"
            self.service = VolumeInfo.NewInstance()
            if build_first:
                self.service.AllVolumeEntries()
            self.service._lock = lock = CountingLock()
            token = self.service._volume_ids
            watch = RefreshWatch()
            with LogCapture(on_record=watch):
                # Every caller has read the token before it waits for the lock, which is held here.
                lock.lock.acquire()
                threads, results, errors = self.run_threads(call)
                lock.wait_for(self.THREADS, lambda: results or errors)
                lock.lock.release()
                with row_named(row):
                    self.join(threads)
            self.assertEqual(errors, [], row)
            self.assertEqual(watch.started, 1, row)
            self.assertIsNot(self.service._volume_ids, token, row)
            self.assertEqual(len(results), self.THREADS, row)
            for result in results:
                self.assertEqual(result, self.service._volume_entries, row)
                self.assertEqual(len(result), len(SERIALS), row)
            self.assertEqual((lock.holders, lock.most_holders), (0, 1), row)
            self.assertTrue(lock_is_free(self.service), row)


if __name__ == "__main__":
    unittest.main()
