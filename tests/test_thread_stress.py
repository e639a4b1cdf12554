"""Threads: 16 threads share one service for a few seconds, mixing forced
and unforced AllVolumeEntries, lookups, FindVolumeID and IsFAT, while a
control thread moves the machine from one state to the next between
refreshes. Nothing crashes, every table returned is complete for one of the
machine's states, refreshes never overlap, and there are no more refreshes
than calls that forced one. No assertion depends on how the threads happen
to be scheduled.

SOUNDNESS_STRESS_SECONDS sets the duration (default 3).
"""

import logging
import os
import sys
import threading
import time
import unittest

import winsim
import windows.volumes as volumes

from soundness import use_machine
from support import REFRESHING, Handle, LogCapture, Stat, lock_is_free

THREADS = 16
SECONDS = float(os.environ.get("SOUNDNESS_STRESS_SECONDS", "3"))
# Every thread does at least this much, however slow the host.
MINIMUM_ROUNDS = 40

VOLUMES = (
    dict(name=u"\\\\?\\Volume{57e55000-0000-0000-0000-000000000001}\\", serial=0x5101, filesystem=u"FAT32"),
    dict(name=u"\\\\?\\Volume{57e55000-0000-0000-0000-000000000002}\\", serial=0x5102, filesystem=u"NTFS"),
    dict(name=u"\\\\?\\Volume{57e55000-0000-0000-0000-000000000003}\\", serial=0x5103, filesystem=u"exFAT"),
    dict(name=u"\\\\?\\Volume{57e55000-0000-0000-0000-000000000004}\\", serial=0x5104, filesystem=u"NTFS"),
)
# The machine's states: the mount points of each volume. Every state has a
# volume mounted, so a built table never becomes empty (an empty table
# would make unforced calls refresh).
STATES = (
    ([u"C:\\"], [u"D:\\"], [u"E:\\"], []),
    ([u"C:\\"], [], [u"F:\\mounted\\", u"G:\\"], [u"H:\\"]),
    ([u"C:\\data\\"], [u"D:\\"], [], [u"I:\\", u"J:\\"]),
    ([], [], [], [u"K:\\"]),
)


def apply_state(state):
    for volume, mount_points in zip(VOLUMES, STATES[state]):
        winsim.set_mount_points(volume["name"], mount_points)


def expected_tables():
    """The table of each state, from a refresh on one thread."""
    tables = []
    for state in range(len(STATES)):
        apply_state(state)
        tables.append(volumes.VolumeInfo.NewInstance().AllVolumeEntries())
    assert all(tables) and len(set(map(repr, tables))) == len(tables)
    return tables


class WatchedLock(object):
    """The service's lock, telling which thread holds it."""

    def __init__(self, real):
        self.real = real
        self.holder = None

    def __enter__(self):
        self.real.acquire()
        assert self.holder is None, "the lock was held twice"
        self.holder = threading.current_thread()

    def __exit__(self, *unused):
        self.holder = None
        self.real.release()
        return False


class RefreshWatch(LogCapture):
    """Counts refreshes by their first record, and checks that every record
    of a refresh is written by the thread that holds the lock. Keeps no
    record; emits under the handler's own lock, as a logging handler does."""

    handle = logging.Handler.handle

    def __init__(self, service_lock):
        LogCapture.__init__(self)
        self.service_lock = service_lock
        self.refreshes = 0
        self.outside_lock = []

    def emit(self, record):
        if self.service_lock.holder is not threading.current_thread():
            self.outside_lock.append(record.getMessage())
        elif record.msg == REFRESHING:
            self.refreshes += 1


class ThreadStressTest(unittest.TestCase):

    def setUp(self):
        use_machine(VOLUMES)
        self.tables = expected_tables()
        # Each volume's entries over all states, None where it is not mounted.
        self.entries = {}
        for volume in VOLUMES:
            volume_id = volumes._VolumeIDFromSerialNumber(volume["serial"])
            self.entries[volume["serial"]] = [table.get(volume_id) for table in self.tables]
        self.handles = dict((volume["serial"], Handle(winsim.open_handle(volume["name"]))) for volume in VOLUMES)
        self.service = volumes.VolumeInfo.NewInstance()
        self.lock = WatchedLock(self.service._lock)
        self.service._lock = self.lock
        apply_state(0)
        self.service.AllVolumeEntries()
        self.watch = RefreshWatch(self.lock).__enter__()
        self.saved_interval = sys.getcheckinterval()
        # Switch threads often, so that calls interleave closely.
        sys.setcheckinterval(5)
        self.failures = []
        self.forced = [0] * THREADS
        self.states_applied = 0
        self.stop = threading.Event()

    def tearDown(self):
        sys.setcheckinterval(self.saved_interval)
        self.watch.__exit__(None, None, None)

    def fail_in_thread(self, message):
        self.failures.append("%s: %s" % (threading.current_thread().name, message))

    # -- the threads --------------------------------------------------------------

    def check_table(self, table):
        if table not in self.tables:
            self.fail_in_thread("a table of no machine state: %r" % (table,))

    def check_entry(self, serial, entry):
        if entry is not None and entry not in self.entries[serial]:
            self.fail_in_thread("an entry of no machine state: %r" % (entry,))

    def worker(self, number):
        service, deadline = self.service, time.time() + SECONDS
        rounds = 0
        try:
            while rounds < MINIMUM_ROUNDS or time.time() < deadline:
                volume = VOLUMES[(number + rounds) % len(VOLUMES)]
                serial = volume["serial"]
                operation = (number + rounds) % 8
                if operation == 0:
                    self.forced[number] += 1
                    self.check_table(service.AllVolumeEntries(True))
                elif operation in (1, 2):
                    self.check_table(service.AllVolumeEntries())
                elif operation == 3:
                    self.check_entry(serial, service.GetVolumeEntryForVolumeID(
                        volumes._VolumeIDFromSerialNumber(serial)))
                elif operation == 4:
                    self.check_entry(serial, service.GetVolumeEntryForDeviceNumber(serial))
                elif operation == 5:
                    if volumes.FindVolumeID(Stat(serial)) != "serial:%d" % serial:
                        self.fail_in_thread("FindVolumeID gave another ID")
                elif operation == 6:
                    if service.FindVolumeID(Stat(serial)) is not volumes._VolumeIDFromSerialNumber(serial):
                        self.fail_in_thread("the method FindVolumeID gave another ID")
                else:
                    answer = volumes.IsFAT(serial, self.handles[serial])
                    if answer is not (volume["filesystem"] in (u"FAT32", u"exFAT")):
                        self.fail_in_thread("IsFAT answered %r for %s" % (answer, volume["filesystem"]))
                rounds += 1
        except Exception as error:
            self.fail_in_thread("raised %r" % (error,))

    def control(self):
        """Moves the machine to its next state, each time under the
        service's lock, so never while a refresh runs."""
        state = 0
        try:
            while not self.stop.is_set():
                state = (state + 1) % len(STATES)
                with self.lock.real:
                    apply_state(state)
                self.states_applied += 1
                time.sleep(0.001)
        except Exception as error:
            self.fail_in_thread("raised %r" % (error,))

    def test_threads_share_one_service(self):
        workers = [threading.Thread(target=self.worker, args=(number,), name="worker %d" % number)
                   for number in range(THREADS)]
        controller = threading.Thread(target=self.control, name="control")
        controller.start()
        for thread in workers:
            thread.start()
        for thread in workers:
            thread.join()
        self.stop.set()
        controller.join()

        self.assertEqual(self.failures, [], "\n".join(self.failures[:20]))
        self.assertEqual(self.watch.outside_lock, [], "records written without the lock")
        forced = sum(self.forced)
        self.assertGreaterEqual(forced, THREADS * MINIMUM_ROUNDS // 8)
        self.assertGreaterEqual(self.watch.refreshes, 1)
        self.assertLessEqual(self.watch.refreshes, forced)
        self.assertTrue(lock_is_free(self.service), "the lock is held")
        self.assertEqual(winsim.open_searches(), 0)


if __name__ == "__main__":
    unittest.main()
