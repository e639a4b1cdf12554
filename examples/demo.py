#!/usr/bin/env python2.7
"""What windows.volumes tells an application, on this machine.

Lists the volume GUID names, shows the volume table that the cache service
builds, and names the volume that holds each path given on the command line
(by default a few paths every machine has).

    PYTHONPATH=build/python python2.7 examples/demo.py [PATH ...]
    PYTHONPATH=build/python python2.7 examples/demo.py --sample-machine

On Linux the Windows functions are answered from this machine's mount
table; --sample-machine shows instead what the module makes of a small
simulated Windows machine (no paths are looked up there).
"""

import collections
import logging
import os
import sys
import tempfile

import windows.volumes as volumes


def HumanSize(size):
    """1536 -> '1.5 KiB'."""
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if size < 1024 or unit == "TiB":
            return ("%d %s" if unit == "bytes" else "%.1f %s") % (size, unit)
        size /= 1024.0


def PrintTable(rows):
    """Prints rows of text as columns, the first row as the heading."""
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    for index, row in enumerate(rows):
        print "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
        if index == 0:
            print "  ".join("-" * width for width in widths)


def Text(value):
    """A unicode value as the terminal's text; None as a dash."""
    if value is None:
        return "-"
    if isinstance(value, unicode):
        return value.encode(sys.stdout.encoding or "utf-8", "replace")
    return str(value)


# What FindVolumeID reads of a stat result: st_dev.
VolumeStat = collections.namedtuple("VolumeStat", "st_dev")


def OpenForQuery(path):
    """A Windows handle of `path`, a file or a folder, opened for no access
    (enough for the volume query); the caller closes it."""
    import ctypes
    from ctypes import wintypes
    create_file = ctypes.windll.kernel32.CreateFileW
    create_file.restype = wintypes.HANDLE
    create_file.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, wintypes.DWORD, ctypes.c_void_p, wintypes.DWORD,
                            wintypes.DWORD, wintypes.HANDLE]
    share_all, open_existing, backup_semantics = 0x7, 3, 0x02000000  # backup semantics: folders open too
    handle = create_file(unicode(path), 0, share_all, None, open_existing, backup_semantics, None)
    if handle is None or handle == ctypes.c_void_p(-1).value:
        raise ctypes.WinError()
    return handle


def StatForVolume(path):
    """A stat result of `path` whose st_dev is the serial number of the volume
    that holds it, as FindVolumeID expects.

    On Linux os.stat gives it: the stand-in reports a volume's device number
    as its serial number. Python 2.7 on Windows leaves st_dev at 0 for every
    file, so there the serial number is asked of the volume that holds the
    open file."""
    if os.name != "nt":
        return os.stat(path)
    import ctypes
    handle = OpenForQuery(path)
    try:
        return VolumeStat(volumes.GetVolumeInformationByHandle(handle)[1])
    finally:
        ctypes.windll.kernel32.CloseHandle(handle)


class BriefFormatter(logging.Formatter):
    """Log records on one line each; an exception by its last line only."""

    def formatException(self, exc_info):
        return "    " + logging.Formatter.formatException(self, exc_info).splitlines()[-1]


def main(paths):
    # The module logs through the logger "windows.volumes"; a volume it cannot
    # describe is left out of the table with an error record.
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(BriefFormatter("log: %(levelname)s %(message)s"))
    logging.getLogger().addHandler(handler)
    logging.getLogger().setLevel(logging.WARNING)

    # The thin layer: the GUID names of every volume the system knows.
    print "Volume GUID names:"
    for name in volumes._ListVolumeNames():
        print " ", Text(name)
    print

    # The cache service: one shared instance; the first call builds the table.
    service = volumes.VolumeInfo()
    entries = service.AllVolumeEntries()
    rows = [("volume ID", "mount point", "label", "file system", "device type", "size", "GUID")]
    for entry in sorted(entries.values(), key=lambda entry: entry.mountpoint):
        rows.append((entry.volume, Text(entry.mountpoint), Text(entry.label) or "-", entry.filesystem,
                     str(entry.device_type).split(".")[-1], HumanSize(entry.size), Text(entry.uuid)))
    print "Volume table (%d volumes):" % len(entries)
    PrintTable(rows)
    print

    if not paths:
        return
    # Per-file questions: which volume holds this path? No Windows call here.
    print
    print "Which volume holds a path:"
    rows = [("path", "volume ID", "mount point", "file system", "FAT family")]
    for path in paths:
        try:
            stat_result = StatForVolume(path)
        except EnvironmentError as error:
            rows.append((path, "(%s)" % error.strerror, "-", "-", "-"))
            continue
        volume_id = volumes.FindVolumeID(stat_result)
        entry = service.GetVolumeEntryForVolumeID(volume_id)
        if entry is None:
            rows.append((path, volume_id, "(not in the table)", "-", "-"))
        else:
            rows.append((path, volume_id, Text(entry.mountpoint), entry.filesystem,
                         "yes" if entry.filesystem in ("fat32", "exfat") else "no"))
    PrintTable(rows)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    if arguments == ["--sample-machine"]:
        import winsim  # the test-control module of the Windows stand-in
        winsim.use_sample_machine()
        main([])
    else:
        main(arguments or [os.sep, tempfile.gettempdir(), os.path.expanduser("~"), os.getcwd()])
