"""Helpers shared by the soundness suites: reference counting, a scripted
machine that takes a refresh down every path, collaborators and arguments
that fail on request, and the invariants a refresh must leave behind.

Where a test helper lives: one that two or more test files use lives in
support.py, or in soundness.py when only soundness suites use it; one that
a single test file uses lives in that file (soundness.py also keeps the
soundness passes' own machinery, such as the refresh scene). Each is
imported from its home, never from another test file.

- reference_growth / DEBUG_INTERPRETER: what a repeated call leaks.
- failures_of: the failing rows of a long table, all of them.
- QuietLog: formats every record of "windows.volumes" and keeps none.
- MACHINE, ADDED_VOLUME, use_machine, built_service: the scripted machine,
  and a service with its table built over it.
- Countdown, Injected and the collaborator stand-ins that tick it.
- Raising, OldStyleRaising, Misbehaving: arguments whose own methods raise
  Injected or answer what they should not.
- RefreshScene: a service with a built table, the machine changed, and the
  checks of what a refresh left.
"""

import gc
import logging
import sys

import winsim
import windows.volumes as volumes
from common import volume_entry
from support import LOGGER_NAME, Handle, LogCapture, NoHandle, Rebound, Replaced, lock_is_free

DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")
NEEDS_DEBUG_INTERPRETER = "reference counts need the debug interpreter (make test-debug)"

DeviceType = volume_entry.DeviceType
VolumeEntry = volume_entry.VolumeEntry
ServiceClass = volumes.VolumeInfo.cls


# ---------------------------------------------------------------------------
# Reference counts.

def reference_growth(run, warmup=3, repeat=12):
    """How much sys.gettotalrefcount() grew over `repeat` calls of `run`,
    after `warmup` calls that fill the caches of the host and the module.

    The readings go into a list made beforehand, so that taking them costs
    no references of its own. None without a debug interpreter."""
    if not DEBUG_INTERPRETER:
        return None
    for _ in xrange(warmup):
        run()
    readings = [0, 0]
    counter = xrange(repeat)
    gc.collect()
    sys.exc_clear()
    readings[0] = sys.gettotalrefcount()
    for _ in counter:
        run()
    gc.collect()
    sys.exc_clear()
    readings[1] = sys.gettotalrefcount()
    return readings[1] - readings[0]


def assert_no_growth(run, **options):
    """Fails when the references grew over repeated calls of `run`."""
    growth = reference_growth(run, **options)
    if growth:
        raise AssertionError("%d references more after %d calls" % (growth, options.get("repeat", 12)))


def failures_of(rows, check):
    """Runs check(*row[1:]) for each row, whose first item describes it; a
    "description: failure" line for each row whose check failed, so that one
    test reports every failing row."""
    failures = []
    for row in rows:
        try:
            check(*row[1:])
        except AssertionError as failure:
            failures.append("%s: %s" % (row[0], failure))
    return failures


# ---------------------------------------------------------------------------
# Logging.

class QuietLog(LogCapture):
    """While entered, takes every record of "windows.volumes" at every level,
    formats it with its traceback as a real handler would, and keeps
    nothing: the arguments' repr and the traceback entries are exercised and
    nothing outlives the record."""

    def __init__(self):
        LogCapture.__init__(self)
        self.setFormatter(logging.Formatter("%(levelname)s %(message)s"))

    def emit(self, record):
        self.format(record)


# ---------------------------------------------------------------------------
# The scripted machine: every way a volume goes through a refresh.

def guid_name(number):
    return u"\\\\?\\Volume{5eed0000-0000-0000-0000-%012x}\\" % number


MACHINE = (
    # A drive letter, a label outside the BMP.
    dict(name=guid_name(1), mount_points=[u"C:\\"], label=u"System \U0001F4BE", serial=0x1111,
         total_bytes=100 << 30, filesystem=u"NTFS"),
    # Two mount points: the buffer grows, the shorter one wins.
    dict(name=guid_name(2), mount_points=[u"D:\\data\\mounted\\", u"E:\\"], label=u"Stick", serial=0x2222,
         filesystem=u"FAT32", drive_type=2, total_bytes=8 << 30),
    # No mount point: left out.
    dict(name=guid_name(3), serial=0x3333),
    # Not ready: left out with a record.
    dict(name=guid_name(4), mount_points=[u"F:\\"], serial=0x4444, information_error=21),
    # No size, an unknown drive type, the serial's top bit set.
    dict(name=guid_name(5), mount_points=[u"G:\\"], serial=0xDEADBEEF, filesystem=u"exFAT", drive_type=7,
         total_bytes=None),
    # A name without the GUID form: no uuid.
    dict(name=u"\\\\?\\GLOBALROOT\\Device\\CdRom0\\", mount_points=[u"H:\\"], serial=0x6666,
         filesystem=u"CDFS", drive_type=5, total_bytes=650 << 20),
)
# Added after the first refresh, so that the next table differs.
ADDED_VOLUME = dict(name=guid_name(7), mount_points=[u"Z:\\"], serial=0x7777, total_bytes=1 << 30)


def use_machine(volumes_=MACHINE):
    winsim.reset()
    for volume in volumes_:
        winsim.add_volume(**volume)


def built_service():
    """A fresh service whose table is built over the machine in use."""
    service = volumes.VolumeInfo.NewInstance()
    service.AllVolumeEntries()
    return service


# ---------------------------------------------------------------------------
# Collaborators that fail on request.

class Injected(Exception):
    """What a collaborator made to fail raises, and an argument's own
    methods."""


class Countdown(object):
    """Counts the calls of a collaborator; the call numbered `fail_at`
    (from 0) raises Injected instead. `trace`, when given, receives for
    every call (name, call number, detail, Windows calls made so far)."""

    def __init__(self, name, fail_at=None, trace=None):
        self.name, self.fail_at, self.trace = name, fail_at, trace
        self.calls = 0
        self.raised = None

    def tick(self, detail=None):
        number = self.calls
        self.calls += 1
        if self.trace is not None:
            self.trace.append((self.name, number, detail, len(winsim.calls())))
        if number == self.fail_at:
            self.raised = Injected("%s call %d" % (self.name, number))
            raise self.raised


class CountingLogger(object):
    """Stands in for LOGGER: each method ticks, then logs to the real one."""

    def __init__(self, countdown, logger=None):
        self._countdown = countdown
        self._logger = logger or logging.getLogger(LOGGER_NAME)

    def _call(self, method, args):
        self._countdown.tick(args[0] if args else None)
        return getattr(self._logger, method)(*args)

    def debug(self, *args):
        return self._call("debug", args)

    def info(self, *args):
        return self._call("info", args)

    def error(self, *args):
        return self._call("error", args)

    def exception(self, *args):
        return self._call("exception", args)


class Clock(object):
    """Stands in for the module `utils`."""

    def __init__(self, countdown, utils):
        self._countdown, self._utils = countdown, utils

    def GetMonotonicTime(self):
        self._countdown.tick()
        return self._utils.GetMonotonicTime()


class EntryModule(object):
    """Stands in for the module `volume_entry`; DeviceType is the real one."""

    DeviceType = DeviceType

    def __init__(self, countdown):
        self._countdown = countdown

    def VolumeEntry(self, **fields):
        self._countdown.tick()
        return VolumeEntry(**fields)


class DriveTypeMap(dict):
    """Stands in for DRIVE_TYPE_MAP: a copy whose `get` ticks."""

    def __init__(self, countdown, original):
        dict.__init__(self, original)
        self.countdown = countdown

    def get(self, *args):
        self.countdown.tick()
        return dict.get(self, *args)


class Matcher(object):
    """Stands in for VOLUME_NAME_GUID_MATCHER: `match` and the match's
    `group` tick."""

    def __init__(self, countdown, pattern):
        self._countdown, self._pattern = countdown, pattern

    def match(self, text):
        self._countdown.tick()
        match = self._pattern.match(text)
        return None if match is None else Match(self._countdown, match)


class Match(object):
    def __init__(self, countdown, match):
        self._countdown, self._match = countdown, match

    def group(self, *args):
        self._countdown.tick()
        return self._match.group(*args)


def VolumeIDFunction(countdown, function):
    def _VolumeIDFromSerialNumber(serial_number):
        countdown.tick()
        return function(serial_number)
    return _VolumeIDFromSerialNumber


class Lock(object):
    """Stands in for a service's lock, around the lock it replaces. `enter`
    ticks before that lock is taken; `exit` after it is released (a lock
    that fails to release is not the module's fault). `suppress` is what
    __exit__ answers."""

    def __init__(self, real, enter=None, exit=None, suppress=False):
        self.real, self._enter, self._exit, self.suppress = real, enter, exit, suppress

    def __enter__(self):
        if self._enter:
            self._enter.tick()
        self.real.__enter__()

    def __exit__(self, *exc_info):
        self.real.__exit__(*exc_info)
        if self._exit:
            self._exit.tick()
        return self.suppress


# The collaborators of a refresh: name -> function(service, countdown)
# giving the context manager that puts the ticking stand-in in place.
COLLABORATORS = (
    ("LOGGER", lambda service, countdown: Rebound("LOGGER", CountingLogger(countdown))),
    ("utils.GetMonotonicTime", lambda service, countdown: Rebound("utils", Clock(countdown, volumes.utils))),
    ("volume_entry.VolumeEntry", lambda service, countdown: Rebound("volume_entry", EntryModule(countdown))),
    ("DRIVE_TYPE_MAP.get",
     lambda service, countdown: Rebound("DRIVE_TYPE_MAP", DriveTypeMap(countdown, volumes.DRIVE_TYPE_MAP))),
    ("VOLUME_NAME_GUID_MATCHER",
     lambda service, countdown: Rebound("VOLUME_NAME_GUID_MATCHER",
                                        Matcher(countdown, volumes.VOLUME_NAME_GUID_MATCHER))),
    ("_VolumeIDFromSerialNumber",
     lambda service, countdown: Rebound("_VolumeIDFromSerialNumber",
                                        VolumeIDFunction(countdown, volumes._VolumeIDFromSerialNumber))),
    ("_lock.__enter__", lambda service, countdown: Replaced(service, "_lock", Lock(service._lock, enter=countdown))),
    ("_lock.__exit__", lambda service, countdown: Replaced(service, "_lock", Lock(service._lock, exit=countdown))),
)


# ---------------------------------------------------------------------------
# Arguments that misbehave.

class OldStyleRaising:
    """An old-style instance whose __str__, __int__ and __nonzero__ raise."""

    def __str__(self):
        raise Injected("__str__")

    def __int__(self):
        raise Injected("__int__")

    def __nonzero__(self):
        raise Injected("__nonzero__")


class Raising(OldStyleRaising, object):
    """The same methods on a new-style instance."""


class Misbehaving(object):
    """Each instance misbehaves in one way, named by `how` (one of
    MISBEHAVIOURS)."""

    def __init__(self, how):
        object.__setattr__(self, "how", how)

    def _raise(self, name):
        raise Injected("%s of %s" % (name, self.how))

    def __int__(self):
        if self.how == "__int__ raising":
            self._raise("__int__")
        if self.how == "__int__ wrong type":
            return "7"
        if self.how == "__int__ huge":
            return 1 << 80
        return NotImplemented if self.how == "__int__ NotImplemented" else 7

    def __long__(self):
        if self.how == "__long__ raising":
            self._raise("__long__")
        return 3.5 if self.how == "__long__ wrong type" else 7L

    def __str__(self):
        if self.how == "__str__ raising":
            self._raise("__str__")
        if self.how == "__str__ wrong type":
            return 5
        return u"\u20ac" if self.how == "__str__ unicode" else "misbehaving"

    def __getattr__(self, name):
        if self.how == "__getattr__ raising":
            self._raise("__getattr__ %s" % name)
        if self.how == "__getattr__ wrong type":
            return Misbehaving("__int__ raising")
        raise AttributeError(name)

    def __hash__(self):
        if self.how == "__hash__ raising":
            self._raise("__hash__")
        if self.how == "__hash__ wrong type":
            return "hash"
        # Collides with the table's keys, so that __eq__ is asked.
        return hash(volumes._VolumeIDFromSerialNumber(MACHINE[0]["serial"]))

    def __eq__(self, other):
        if self.how == "__eq__ raising":
            self._raise("__eq__")
        return NotImplemented if self.how == "__eq__ NotImplemented" else "yes"

    def __nonzero__(self):
        if self.how == "__nonzero__ raising":
            self._raise("__nonzero__")
        return "yes" if self.how == "__nonzero__ wrong type" else True

    def __repr__(self):
        return "<%s>" % self.how


MISBEHAVIOURS = ("__int__ raising", "__int__ wrong type", "__int__ huge", "__int__ NotImplemented",
                 "__long__ raising", "__long__ wrong type", "__str__ raising", "__str__ wrong type",
                 "__str__ unicode", "__getattr__ raising", "__getattr__ wrong type", "__hash__ raising",
                 "__hash__ wrong type", "__eq__ raising", "__eq__ NotImplemented", "__nonzero__ raising",
                 "__nonzero__ wrong type")


# ---------------------------------------------------------------------------
# A refresh over the scripted machine, and what it must leave behind.

def fat_answer_cached(serial_number):
    """Whether IsFAT has an answer cached for the serial number (asked
    without touching the cache or Windows: a handle without the attribute
    `handle` can be answered for only from the cache)."""
    try:
        volumes.IsFAT(serial_number, NoHandle())
    except AttributeError:
        return False
    return True


class RefreshScene(object):
    """A fresh service whose table was built over the scripted machine, an
    IsFAT answer cached, then a volume added, so that the next refresh
    builds a different table."""

    CACHED_SERIAL = MACHINE[1]["serial"]

    def __init__(self, new_service=volumes.VolumeInfo.NewInstance, machine=MACHINE):
        use_machine(machine)
        self.service = new_service()
        self.service.AllVolumeEntries()
        self.old_ids = self.service._volume_ids
        self.old_entries = self.service._volume_entries
        self.snapshot = dict(self.old_entries)
        handle = winsim.open_handle(machine[1]["name"])
        volumes.IsFAT(self.CACHED_SERIAL, Handle(handle))
        winsim.close_handle(handle)
        winsim.add_volume(**ADDED_VOLUME)
        # Windows calls of the next refresh start here.
        self.first_call = len(winsim.calls())

    def calls(self):
        return winsim.calls()[self.first_call:]

    def refresh(self):
        """AllVolumeEntries(True): (result, None) or (None, exception)."""
        try:
            return self.service.AllVolumeEntries(True), None
        except Exception as error:
            return None, error

    def installed(self):
        """"old" or "new", after checking that the token and the table were
        replaced together and the old table was left as it was."""
        service = self.service
        same_ids = service._volume_ids is self.old_ids
        same_entries = service._volume_entries is self.old_entries
        assert same_ids == same_entries, "token and table replaced apart (token %s, table %s)" % (
            "old" if same_ids else "new", "old" if same_entries else "new")
        assert self.old_entries == self.snapshot and all(
            self.old_entries[key] is value for key, value in self.snapshot.items()), "the old table changed"
        return "old" if same_ids else "new"

    def check_left_clean(self, searches_left=0):
        assert lock_is_free(self.service), "the lock is held"
        assert winsim.open_searches() == searches_left, "%d volume searches open" % winsim.open_searches()
