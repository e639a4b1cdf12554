"""Fault sweep of the refresh: every Windows call of an undisturbed refresh
made to fail in turn, with several error codes, and every call of each
collaborator made to raise in turn. After each run the refresh must have
left the lock free, the token and the table replaced together or not at
all, the old table as it was, no volume search open, and (under the debug
interpreter) no reference behind.
"""

import logging
import unittest

import winsim

from soundness import (ADDED_VOLUME, COLLABORATORS, MACHINE, Countdown, DeviceType, QuietLog, RefreshScene,
                       ServiceClass, VolumeEntry, assert_no_growth, failures_of, fat_answer_cached)
from support import LOGGER_NAME, MULTIPLE, QUERY_FORMATS

ACCESS_DENIED, INVALID_HANDLE, NO_MORE_FILES, NOT_READY, MORE_DATA = 5, 6, 18, 21, 234
COMMON_CODES = (ACCESS_DENIED, INVALID_HANDLE, NOT_READY)
# Codes that mean something more to one function.
EXTRA_CODES = {"FindNextVolumeW": (NO_MORE_FILES,), "GetVolumePathNamesForVolumeNameW": (MORE_DATA,)}
# Windows calls that take a volume name first.
BY_NAME = ("GetVolumePathNamesForVolumeNameW", "GetVolumeInformationW", "GetDriveTypeW", "GetDiskFreeSpaceExW")
# Reruns of every faulty refresh when counting references (under the debug
# interpreter).
REPEAT = 3

ENUMERATION_ORDER = [volume["name"] for volume in MACHINE + (ADDED_VOLUME,)]


def replace(entry, **fields):
    values = dict((name, getattr(entry, name)) for name in VolumeEntry.FIELDS)
    values.update(fields)
    return VolumeEntry(**values)


class TracedService(ServiceClass):
    """Records, in the trace of the collaborators' calls, when the table is
    installed."""

    trace = None

    def __setattr__(self, name, value):
        if self.trace is not None and name == "_volume_entries":
            self.trace.append(("installed", 0, None, len(winsim.calls())))
        ServiceClass.__setattr__(self, name, value)


class Undisturbed(object):
    """What a refresh does when nothing fails: its Windows calls, the
    collaborators' calls in order, and the table it builds."""

    def __init__(self):
        trace = []
        scene = RefreshScene(TracedService)
        service = scene.service
        countdowns, managers = [], []
        try:
            # Entered one by one: the lock's stand-ins wrap each other.
            for name, install in COLLABORATORS:
                countdowns.append(Countdown(name, trace=trace))
                managers.append(install(service, countdowns[-1]))
                managers[-1].__enter__()
            service.trace = trace
            _, error = scene.refresh()
        finally:
            service.trace = None
            for manager in reversed(managers):
                manager.__exit__(None, None, None)
        assert error is None, error
        self.calls = scene.calls()
        self.table = service._volume_entries
        self.by_name = dict((entry.device_file, entry) for entry in self.table.values())
        self.call_counts = dict((countdown.name, countdown.calls) for countdown in countdowns)
        # (name, number) -> (order, detail, Windows calls of the refresh made before it)
        self.events = dict(((name, number), (order, detail, made - scene.first_call))
                           for order, (name, number, detail, made) in enumerate(trace))

    def after_installation(self, collaborator, number):
        return self.events[collaborator, number][0] > self.events["installed", 0][0]

    def inside_mount_point_query(self, collaborator, number):
        """The volume whose mount points were being asked for when the call
        was made inside that query (its own records), else None."""
        _, detail, made = self.events[collaborator, number]
        if collaborator != "LOGGER" or detail not in QUERY_FORMATS:
            return None
        last_call = self.calls[made - 1]
        assert last_call[0] == "GetVolumePathNamesForVolumeNameW", last_call
        return last_call[1]


class FaultSweepTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.log = QuietLog().__enter__()
        cls.undisturbed = Undisturbed()

    @classmethod
    def tearDownClass(cls):
        cls.log.__exit__(None, None, None)

    def test_the_undisturbed_refresh_goes_every_way(self):
        undisturbed = self.undisturbed
        functions = set(call[0] for call in undisturbed.calls)
        self.assertEqual(functions, set(["FindFirstVolumeW", "FindNextVolumeW", "FindVolumeClose"]) | set(BY_NAME))
        # The buffer grew for the volume with two mount points only.
        self.assertEqual([call[1] for call in undisturbed.calls
                          if call[0] == "GetVolumePathNamesForVolumeNameW" and call[2] != 5], [MACHINE[1]["name"]])
        self.assertEqual(sorted(undisturbed.by_name),
                         sorted(volume["name"] for volume in (MACHINE[0], MACHINE[1], MACHINE[4], MACHINE[5],
                                                              ADDED_VOLUME)))
        for name, _ in COLLABORATORS:
            self.assertGreater(undisturbed.call_counts[name], 0, name)

    # -- Windows failures ------------------------------------------------------

    def windows_faults(self):
        """(call index, function, calls of it before, code) for every call of
        the undisturbed refresh and every code that fits it."""
        seen = {}
        for index, call in enumerate(self.undisturbed.calls):
            function = call[0]
            before = seen.get(function, 0)
            seen[function] = before + 1
            for code in COMMON_CODES + EXTRA_CODES.get(function, ()):
                yield index, function, before, code

    def expected_windows_outcome(self, index, function, before, code):
        """(WindowsError code or None, expected table or None for no table,
        volume searches left open)."""
        undisturbed = self.undisturbed
        call = undisturbed.calls[index]
        table = dict(undisturbed.table)
        if function == "FindFirstVolumeW":
            return code, None, 0
        if function == "FindNextVolumeW":
            if code != NO_MORE_FILES:
                return code, None, 0
            # The enumeration ends early: only the volumes handed out so far.
            handed_out = ENUMERATION_ORDER[:1 + before]
            return None, dict((key, entry) for key, entry in table.items() if entry.device_file in handed_out), 0
        if function == "FindVolumeClose":
            # The module ignores the close's result; the stand-in keeps a
            # search whose close failed open.
            return None, table, 1
        entry = undisturbed.by_name.get(call[1])
        if entry is None:
            return None, table, 0
        if function == "GetVolumePathNamesForVolumeNameW":
            if code == MORE_DATA and call[2] != 5:
                # The length asked for before is still there: the query grows
                # to it again and asks once more.
                return None, table, 0
            del table[entry.volume]
        elif function == "GetVolumeInformationW":
            del table[entry.volume]
        elif function == "GetDriveTypeW":
            table[entry.volume] = replace(entry, device_type=DeviceType.UNKNOWN)
        elif function == "GetDiskFreeSpaceExW":
            table[entry.volume] = replace(entry, size=0L)
        return None, table, 0

    def run_windows_fault(self, index, function, before, code):
        error_code, expected_table, searches_left = self.expected_windows_outcome(index, function, before, code)
        description = "%s failing with %d at its call %d (refresh call %d)" % (function, code, before, index)
        scene = RefreshScene()
        winsim.fail(function, code, skip=before)
        result, error = scene.refresh()
        installed = scene.installed()
        scene.check_left_clean(searches_left)
        self.assertEqual(scene.calls()[index][0], function, description)
        if error_code is not None:
            self.assertIsInstance(error, WindowsError, description)
            self.assertEqual(error.winerror, error_code, description)
            self.assertEqual(installed, "old", description)
            self.assertTrue(fat_answer_cached(RefreshScene.CACHED_SERIAL), description)
            return
        self.assertIsNone(error, "%s: %r" % (description, error))
        self.assertEqual(installed, "new", description)
        self.assertEqual(result, expected_table, description)
        self.assertFalse(fat_answer_cached(RefreshScene.CACHED_SERIAL), description)

    def sweep(self, runs):
        """Runs each (description, run) and then checks its references;
        reports every run that failed."""
        def check(run):
            run()
            assert_no_growth(run, warmup=1, repeat=REPEAT)

        failures = failures_of(runs, check)
        self.assertEqual(failures, [], "\n".join(failures))

    def test_each_windows_call_failing(self):
        self.sweep(("%s failing at its call %d with %d" % fault[1:], lambda fault=fault: self.run_windows_fault(*fault))
                   for fault in self.windows_faults())

    # -- collaborators raising -------------------------------------------------

    def run_collaborator_fault(self, name, install, number, exit_after_failure=False):
        description = "%s raising at its call %d" % (name, number)
        undisturbed = self.undisturbed
        scene = RefreshScene()
        countdown = Countdown(name, fail_at=number)
        with install(scene.service, countdown):
            if exit_after_failure:
                # The block fails first; __exit__ raises while it handles that.
                winsim.fail("FindFirstVolumeW", ACCESS_DENIED)
            result, error = scene.refresh()
        installed = scene.installed()
        scene.check_left_clean()
        self.assertIsNotNone(countdown.raised, description)
        queried = undisturbed.inside_mount_point_query(name, number)
        if queried is not None:
            # Raised inside a guarded query: that volume is left out and the
            # refresh completes.
            self.assertIsNone(error, "%s: %r" % (description, error))
            self.assertEqual(installed, "new", description)
            expected = dict(undisturbed.table)
            expected.pop(undisturbed.by_name[queried].volume, None)
            self.assertEqual(result, expected, description)
            self.assertFalse(fat_answer_cached(RefreshScene.CACHED_SERIAL), description)
            return
        # Propagated unchanged: the very exception the collaborator raised.
        self.assertIs(error, countdown.raised, description)
        expected = "new" if undisturbed.after_installation(name, number) and not exit_after_failure else "old"
        self.assertEqual(installed, expected, description)
        # Only a refresh that got past its last record empties the FAT cache.
        self.assertEqual(fat_answer_cached(RefreshScene.CACHED_SERIAL),
                         not (installed == "new" and name == "_lock.__exit__"), description)

    def test_each_collaborator_call_raising(self):
        self.sweep(("%s raising at its call %d" % (name, number),
                    lambda fault=(name, install, number): self.run_collaborator_fault(*fault))
                   for name, install in COLLABORATORS for number in range(self.undisturbed.call_counts[name]))

    def test_lock_exit_raising_while_the_refresh_fails(self):
        name, install = [collaborator for collaborator in COLLABORATORS if collaborator[0] == "_lock.__exit__"][0]
        self.sweep([("__exit__ raising over a WindowsError",
                     lambda: self.run_collaborator_fault(name, install, 0, exit_after_failure=True))])

    # -- collaborators that change what they are shown -------------------------

    def run_logger_emptying_mount_points(self):
        scene = RefreshScene()
        emptying = EmptyingHandler(MULTIPLE)
        with AddedHandler(emptying):
            _, error = scene.refresh()
        self.assertEqual(scene.installed(), "old")
        scene.check_left_clean()
        # As mount_points[0] of an emptied list: the refresh ends.
        self.assertIsInstance(error, IndexError)
        self.assertTrue(emptying.emptied)

    def test_logger_emptying_the_mount_points_it_is_shown(self):
        self.sweep([("a handler emptying the mount points", self.run_logger_emptying_mount_points)])


class EmptyingHandler(logging.Handler):
    """Empties the list argument of the records with the given format."""

    def __init__(self, format):
        logging.Handler.__init__(self, logging.DEBUG)
        self.format_, self.emptied = format, False

    def emit(self, record):
        if record.msg == self.format_:
            del record.args[1][:]
            self.emptied = True


class AddedHandler(object):
    """A handler of the logger "windows.volumes" for a block."""

    def __init__(self, handler):
        self.handler = handler

    def __enter__(self):
        logging.getLogger(LOGGER_NAME).addHandler(self.handler)

    def __exit__(self, *unused):
        logging.getLogger(LOGGER_NAME).removeHandler(self.handler)
        return False


if __name__ == "__main__":
    unittest.main()
