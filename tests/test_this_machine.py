"""windows.volumes on this machine: the real volumes of the Linux machine
that the tests run on.

Every check holds on any Linux machine, whatever it mounts: a container
whose root is an overlay, a desktop, a build server. Nothing here depends on
a particular mount.
"""
import logging
import os
import shutil
import subprocess
import tempfile
import unittest

import support
import winsim
import windows.volumes as volumes
from support import Handle


def mount_point(target):
    return target if target.endswith("/") else target + "/"


@support.not_in_windows_host("the stand-in serves this machine's mounts on Linux only")
class ThisMachineTest(unittest.TestCase):

    def setUp(self):
        winsim.use_this_machine()
        self.directory = tempfile.mkdtemp()
        self.info = volumes.VolumeInfo.NewInstance()
        self.entries = self.info.AllVolumeEntries()

    def tearDown(self):
        shutil.rmtree(self.directory)
        winsim.reset()

    def entry_holding(self, path):
        status = os.stat(path)
        entry = self.info.GetVolumeEntryForVolumeID(volumes.FindVolumeID(status))
        self.assertIsNotNone(entry, "no volume holds %s (st_dev %d)" % (path, status.st_dev))
        return entry

    def mount_points(self, entry):
        return volumes._GetVolumePathNamesForVolumeName(entry.device_file)

    def test_root_and_a_fresh_directory_are_in_the_table(self):
        for path in ["/", self.directory]:
            entry = self.entry_holding(path)
            self.assertEqual(entry.device_number, os.stat(path).st_dev, path)
            self.assertEqual(entry, self.info.GetVolumeEntryForDeviceNumber(os.stat(path).st_dev), path)
            self.assertEqual(entry.device_file, u"\\\\?\\Volume{%s}\\" % entry.uuid, path)
            # The path lies below one of the volume's mount points.
            real = mount_point(os.path.realpath(path))
            self.assertTrue([point for point in self.mount_points(entry) if real.startswith(point)],
                            (real, self.mount_points(entry)))
            self.assertIn(entry.mountpoint, self.mount_points(entry), path)
        self.assertIn(u"/", self.mount_points(self.entry_holding("/")))

    def test_sizes_agree_with_statvfs(self):
        for path in ["/", self.directory]:
            stats = os.statvfs(path)
            self.assertEqual(self.entry_holding(path).size, stats.f_blocks * stats.f_frsize, path)

    def test_information_by_name_and_by_mount_point_agree(self):
        entry = self.entry_holding("/")
        by_name = volumes.GetVolumeInformation(entry.device_file)
        self.assertEqual(by_name, volumes.GetVolumeInformation(u"/"))
        label, serial, max_component, flags, filesystem = by_name
        self.assertEqual((label, serial, filesystem.lower()), (entry.label, os.stat("/").st_dev, entry.filesystem))
        self.assertEqual(bool(flags & 0x80000), bool(os.statvfs("/").f_flag & os.ST_RDONLY))
        self.assertEqual(max_component, os.statvfs("/").f_namemax)

    def test_real_file_systems_are_mount_points_of_their_volume(self):
        try:
            findmnt = subprocess.Popen(["findmnt", "--real", "--raw", "--noheadings", "--output", "TARGET,MAJ:MIN"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError:
            self.skipTest("findmnt is not installed")
        output, errors = findmnt.communicate()
        # Status 1 with no output: nothing to list.
        if findmnt.returncode not in (0, 1) or errors:
            self.skipTest("this findmnt cannot list real file systems: %s" % errors)
        by_serial = dict((entry.device_number, self.mount_points(entry)) for entry in self.entries.values())
        checked = 0
        for line in output.splitlines():
            target, numbers = line.rsplit(" ", 1)
            target = target.decode("string_escape").decode("utf-8")
            major, minor = [int(number) for number in numbers.split(":")]
            device = os.makedev(major, minor)
            if device >= 2 ** 32:
                continue  # left out: no serial number to give it
            point = mount_point(target)
            if point in by_serial.get(device, ()):
                checked += 1
                continue
            # Where stat reports another number than the table (btrfs
            # subvolumes), the volume carries the number that stat reports.
            self.assertIn(point, by_serial.get(os.stat(target).st_dev, ()), (target, numbers))
            checked += 1
        self.assertTrue(checked or not output.strip())

    def test_is_fat_with_an_open_file(self):
        path = os.path.join(self.directory, "file")
        with open(path, "w") as opened:
            opened.write("x")
        fd = os.open(path, os.O_RDONLY)
        try:
            serial = os.fstat(fd).st_dev
            label, reported, _, _, filesystem = volumes.GetVolumeInformationByHandle(fd)
            self.assertEqual(reported, serial)
            # The file system of the file is the one of its directory's volume.
            self.assertEqual(filesystem.lower(), self.entry_holding(self.directory).filesystem)
            with support.LogCapture() as log:
                is_fat = volumes.IsFAT(serial, Handle(fd))
            self.assertEqual(log.entries(), [])
            self.assertIs(is_fat, filesystem.lower() in ("fat32", "exfat"))
        finally:
            os.close(fd)

    def test_roots_spelt_otherwise_and_directories_that_are_no_roots(self):
        # The module adds the "\\" that ends a root to whatever it is given.
        root = volumes.GetVolumeInformation(u"/")
        link = os.path.join(self.directory, "to-root")
        os.symlink("/", link)
        os.mkdir(os.path.join(self.directory, "sub"))
        for spelling in [u"/./", u"//", u"/proc/..", unicode(link), unicode(self.directory) + u"/sub/../" + u"to-root/"]:
            self.assertEqual(volumes.GetVolumeInformation(spelling), root, spelling)
        cases = [
            (unicode(self.directory), 144),
            (unicode(self.directory) + u"/sub/", 144),
            (unicode(link) + u"/proc/self", 144),
            # Missing: in a directory that exists (2), below one that does not (3).
            (unicode(self.directory) + u"/missing", 2),
            (unicode(self.directory) + u"/missing/deeper", 3),
            (u"/proc", 3),  # a mount of no volume
        ]
        for path, code in cases:
            with self.assertRaises(WindowsError) as caught:
                volumes.GetVolumeInformation(path)
            self.assertEqual(caught.exception.winerror, code, path)

    def test_a_closed_handle_is_refused(self):
        fd = os.open(self.directory, os.O_RDONLY)
        os.close(fd)
        with self.assertRaises(WindowsError) as caught:
            volumes.GetVolumeInformationByHandle(fd)
        self.assertEqual(caught.exception.winerror, 6)
        # IsFAT logs the failure and answers False.
        with support.LogCapture() as log:
            self.assertIs(volumes.IsFAT(12345, Handle(fd)), False)
        self.assertEqual([(level, message) for level, message, _ in log.entries()], [("ERROR", "WindowsError")])


if __name__ == "__main__":
    logging.basicConfig()
    unittest.main()
