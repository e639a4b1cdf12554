"""Helpers shared by the windows.volumes test suites.

- LogCapture: the records of the logger "windows.volumes", at every level.
- reset_machine: an empty simulated machine, optionally with volumes.
- volume_name: a GUID volume name for a small number.
- module_entries: the traceback entries that windows.volumes added.
- run_python: a fresh interpreter on this suite's path.
- Replaced, Rebound: an attribute, or a module-level name of
  windows.volumes, bound for a block.
- not_in_windows_host: leaves out a test that cannot hold in a Windows
  Python (the Windows Python leg), saying why.
"""

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


def run_python(source, path_before=()):
    """Runs `source` in a fresh interpreter whose module path is `path_before`
    followed by this process's PYTHONPATH. Returns (exit status, stdout, stderr)."""
    environment = os.environ.copy()
    path = list(path_before) + [entry for entry in environment.get("PYTHONPATH", "").split(os.pathsep) if entry]
    environment["PYTHONPATH"] = os.pathsep.join(path)
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    process = subprocess.Popen([sys.executable, "-c", source], env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = process.communicate()
    return process.returncode, stdout, stderr


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
