"""Helpers shared by the windows.volumes test suites.

Where a test helper lives: one that two or more test files use lives in
support.py, or in soundness.py when only soundness suites use it; one that
a single test file uses lives in that file (soundness.py also keeps the
soundness passes' own machinery, such as the refresh scene). Each is
imported from its home, never from another test file.

- LOGGER_NAME, LogCapture: the records of the logger "windows.volumes", at
  every level.
- REFRESHING and the other formats: the records that several suites look
  for.
- CLASS_DOC and the other *_DOC: the docstrings that several suites check.
- reset_machine: an empty simulated machine, optionally with volumes.
- volume_name: a GUID volume name for a small number.
- raised: what a call raises.
- module_entries, entry_names: the traceback entries that windows.volumes
  added.
- run_python: a fresh interpreter on this suite's path.
- refresh, lock_is_free: a service's refresh, and whether its lock is free.
- Handle, NoHandle, Stat, stat_result, the subclasses of the built-in
  types, IntLike, LongOnly, OldIntLike, OldLongOnly: arguments as callers
  pass them.
- row_named: names the row of a case table in a failing assertion.
- Replaced, Rebound: an attribute, or a module-level name of
  windows.volumes, bound for a block.
- not_in_windows_host: leaves out a test that cannot hold in a Windows
  Python (the Windows Python leg), saying why.
"""

import contextlib
import logging
import os
import subprocess
import sys
import traceback
import unittest

import winsim

# The suite runs in a Windows Python 2.7 too (make test-winpython, on the
# stand-in's DLL): there the host has its own WindowsError and "mbcs" codec,
# and no Linux machine.
WINDOWS_HOST = sys.platform == "win32"


def not_in_windows_host(reason):
    """Leaves a test (or a test class) out in a Windows host, with the reason
    why it cannot hold there; unittest reports it skipped with that reason."""
    return unittest.skipIf(WINDOWS_HOST, "not in a Windows host: " + reason)


LOGGER_NAME = "windows.volumes"
# The file name of the module's traceback entries.
TRACEBACK_FILE = "windows\\volumes"

# Formats of the module's records that several suites look for.
REPEAT_FORMAT = "FindNextVolume improperly returned same value %s"
GROWTH_FORMAT = "%s isn't big enough, allocating %s bytes."
WRITE_FAILED_FORMAT = "Could not write path names into %s-byte buffer."
# The records of the mount-point query itself.
QUERY_FORMATS = (GROWTH_FORMAT, WRITE_FAILED_FORMAT)
REFRESHING = "Refreshing volume information table."
MULTIPLE = "Got multiple mounts for %s: %s"
COMPLETE = "Volume information refresh complete in %gs."

# The module's docstrings that several suites check, "\n" standing for a line
# break.
FIND_VOLUME_ID_DOC = (
    "Get the volume ID from the VolumeInfo service.\n\n  Args:\n    stat_result: Raw stat result of the file.\n\n"
    "  Returns:\n    Object to be used as volume ID. Generally string-typed.\n  ")
IS_FAT_DOC = (
    "Returns True if the filesystem is of the FAT family.\n\n  Note that once the result has been checked, it will "
    "be cached until the next\n  time VolumeInfo refreshes its cache.\n\n  Args:\n    serial_number: The serial "
    "number of the filesystem.\n    handle: PyHANDLE to a file on the file system.\n\n  Returns:\n    True if this "
    "is a FAT filesystem, False otherwise or if no device entry\n    could be found for this stat result.\n  ")
CLASS_DOC = (
    "Volume information cache service.\n\n  On Windows this currently does nothing but return the volume\n  serial "
    "number obtained with the stat, but will eventually handle\n  track other volume information to be used in "
    "volume mount/dismount\n  change handling.\n  ")
METHOD_FIND_VOLUME_ID_DOC = (
    "Get the volume ID from the VolumeInfo service.\n\n    Args:\n      stat_result: Raw stat result of the file.\n\n"
    "    Returns:\n      Object to be used as volume ID. Generally string-typed.\n    ")
METHOD_ALL_VOLUME_ENTRIES_DOC = (
    "Returns the volume entry dictionary.\n\n    Args:\n      force_update: If True, repopulate the volume entry "
    "table first.\n          Otherwise, uses cached values if available.\n\n    Returns:\n      Dictionary mapping "
    "volume IDs to volume_entry.VolumeEntry values.\n    ")


class LogCapture(logging.Handler):
    """Collects the records of "windows.volumes" while it is entered.

    `on_record(record)`, when given, runs for every record as it is emitted,
    inside the module's logging call (to change the machine at that moment).
    """

    def __init__(self, on_record=None):
        logging.Handler.__init__(self, logging.DEBUG)
        self.records = []
        self.on_record = on_record
        self._logger = logging.getLogger(LOGGER_NAME)
        self._saved = None

    def emit(self, record):
        self.records.append(record)
        if self.on_record is not None:
            self.on_record(record)

    # Handler.handleError would swallow what on_record raises; let it through.
    def handle(self, record):
        self.emit(record)
        return True

    def __enter__(self):
        self._saved = (self._logger.level, self._logger.propagate)
        self._logger.setLevel(logging.DEBUG)
        self._logger.propagate = False
        self._logger.addHandler(self)
        return self

    def __exit__(self, *unused):
        self._logger.removeHandler(self)
        self._logger.level, self._logger.propagate = self._saved
        return False

    def entries(self):
        """(level name, format, args) of every record, in order."""
        return [(record.levelname, record.msg, record.args) for record in self.records]


def volume_name(number):
    """The GUID volume name whose last GUID group is `number` in hexadecimal."""
    return u"\\\\?\\Volume{00000000-0000-0000-0000-%012x}\\" % number


def reset_machine(*volumes):
    """Makes an empty simulated machine active and adds `volumes` in order:
    each a name, or a dict of winsim.add_volume keywords."""
    winsim.reset()
    for volume in volumes:
        if isinstance(volume, dict):
            winsim.add_volume(**volume)
        else:
            winsim.add_volume(volume)


def module_entries(exc_traceback):
    """(function name, file name) of the traceback entries in the module's
    file, innermost last."""
    return [(name, filename) for filename, _, name, _ in traceback.extract_tb(exc_traceback)
            if filename == TRACEBACK_FILE]


def entry_names(exc_traceback):
    """The function names of module_entries(exc_traceback)."""
    return [name for name, _ in module_entries(exc_traceback)]


def raised(function, *args):
    """The exception that function(*args) raises, and its traceback; an
    AssertionError when it raises nothing."""
    try:
        function(*args)
    except Exception:
        return sys.exc_info()[1:]
    raise AssertionError("%s%r raised nothing" % (getattr(function, "__name__", function), args))


def run_python(source, path_before=(), arguments=()):
    """Runs `source` in a fresh interpreter whose module path is `path_before`
    followed by this process's PYTHONPATH, with `arguments` in sys.argv[1:].
    Returns (exit status, stdout, stderr)."""
    environment = os.environ.copy()
    path = list(path_before) + [entry for entry in environment.get("PYTHONPATH", "").split(os.pathsep) if entry]
    environment["PYTHONPATH"] = os.pathsep.join(path)
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    process = subprocess.Popen([sys.executable, "-c", source] + list(arguments), env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = process.communicate()
    return process.returncode, stdout, stderr


# ---------------------------------------------------------------------------
# The service.

def refresh(service):
    """A refresh of `service` with its current token."""
    return service._PopulateVolumeTable(service._volume_ids)


def lock_is_free(service):
    """Whether the service's lock can be taken now (it is given back at
    once). A stand-in that wraps the lock it replaces keeps it in `real`."""
    lock = service._lock
    while hasattr(lock, "real"):
        lock = lock.real
    if not lock.acquire(False):
        return False
    lock.release()
    return True


# ---------------------------------------------------------------------------
# Arguments as callers pass them.

class Handle(object):
    """Stands in for a PyHANDLE: the Windows handle (or a file descriptor)
    in the attribute `handle`."""

    def __init__(self, handle):
        self.handle = handle


class NoHandle(object):
    """An object without the attributes `handle` and `st_dev`."""


class Stat(object):
    """A stat result whose st_dev is any object."""

    def __init__(self, st_dev):
        self.st_dev = st_dev


def stat_result(st_dev):
    """A real stat result whose st_dev is `st_dev` (no file is looked at)."""
    return os.stat_result((0, 0, st_dev, 0, 0, 0, 0, 0, 0, 0))


class StrSubclass(str):
    pass


class UnicodeSubclass(unicode):
    pass


class IntSubclass(int):
    pass


class LongSubclass(long):
    pass


class OldIntLike:
    """An old-style instance whose __int__ gives `value`, whatever it is."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntLike(OldIntLike, object):
    """The same as a new-style instance."""


class OldLongOnly:
    """An old-style instance with only __long__, giving `value`, whatever it
    is."""

    def __init__(self, value):
        self.value = value

    def __long__(self):
        return self.value


class LongOnly(OldLongOnly, object):
    """The same as a new-style instance."""


# ---------------------------------------------------------------------------
# Case tables.

@contextlib.contextmanager
def row_named(row):
    """Names `row` (itself if a str, else its repr) at the head of the
    message of an assertion that fails in the block: for the checks that
    take no message of their own (assertRaises, a helper's assertions)."""
    try:
        yield
    except AssertionError as failure:
        label = row if isinstance(row, str) else repr(row)
        message = failure.args[0] if failure.args else ""
        raise AssertionError("%s: %s" % (label, message)), None, sys.exc_info()[2]


# ---------------------------------------------------------------------------
# Bindings for a block.

_MISSING = object()


class Replaced(object):
    """Binds an attribute of an object for the duration of a block
    (`value` omitted: deletes it)."""

    def __init__(self, owner, name, value=_MISSING):
        self.owner, self.name, self.value = owner, name, value

    def __enter__(self):
        self.saved = getattr(self.owner, self.name, _MISSING)
        if self.value is _MISSING:
            if self.saved is not _MISSING:
                delattr(self.owner, self.name)
        else:
            setattr(self.owner, self.name, self.value)
        return self.value

    def __exit__(self, *unused):
        if self.saved is _MISSING:
            if hasattr(self.owner, self.name):
                delattr(self.owner, self.name)
        else:
            setattr(self.owner, self.name, self.saved)
        self.saved = None
        return False


def Rebound(name, value=_MISSING):
    """A module-level name of windows.volumes bound for a block (`value`
    omitted: removed)."""
    import windows.volumes
    return Replaced(windows.volumes, name, value)
