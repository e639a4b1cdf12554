#!/usr/bin/python3
"""A FUSE file system that can stop answering, for test_real_file_systems.

    stalling_fs.py MOUNT_DIRECTORY CONTROL_DIRECTORY [IMAGE [FSNAME [BLOCKS]]]

Serves one directory holding the file "file" (five bytes), the empty
directory "dir" and, given IMAGE, the file "image" with IMAGE's bytes
(read-only, every read asked of this daemon: direct_io). While the file
CONTROL_DIRECTORY/stall exists, statfs, getattr (by which the kernel also
looks names up), read and flush (which every close of a file sends) do not
answer: they wait until it is removed (at
most STALL_LIMIT seconds, so that nothing waits for ever should the test
die); while CONTROL_DIRECTORY/stall-flush exists, flush alone does not
answer. While CONTROL_DIRECTORY/hide exists, "dir" does not. Each stalled request
adds a line to CONTROL_DIRECTORY/stalled, and
each statfs request, stalled or not, a line to CONTROL_DIRECTORY/statfs.
The mount's source is FSNAME ("stalling" without it); statfs reports BLOCKS
blocks of 4096 bytes (1000 without it). Runs in the
foreground until unmounted or killed. Needs python3-fusepy (the module
`fusepy`).
"""
import errno
import os
import stat
import sys
import time

import fusepy

STALL_LIMIT = 60.0
CONTENT = b"hello"


class StallingFS(fusepy.Operations):

    def __init__(self, control, image, blocks):
        self.image = image
        self.blocks = blocks
        self.stall = os.path.join(control, "stall")
        self.hide = os.path.join(control, "hide")
        self.stall_flush = os.path.join(control, "stall-flush")
        self.stalled = os.path.join(control, "stalled")
        self.asked = os.path.join(control, "statfs")
        self.started = time.time()

    def _wait_while_stalled(self, what, also=None):
        def stalled():
            return os.path.exists(self.stall) or (also is not None and os.path.exists(also))
        if not stalled():
            return
        with open(self.stalled, "a") as log:
            log.write(what + "\n")
        deadline = time.monotonic() + STALL_LIMIT
        while stalled() and time.monotonic() < deadline:
            time.sleep(0.01)

    def statfs(self, path):
        with open(self.asked, "a") as log:
            log.write(path + "\n")
        self._wait_while_stalled("statfs " + path)
        return dict(f_bsize=4096, f_frsize=4096, f_blocks=self.blocks, f_bfree=600, f_bavail=500,
                    f_files=100, f_ffree=90, f_favail=90, f_namemax=255)

    def getattr(self, path, fh=None):
        self._wait_while_stalled("getattr " + path)
        now = self.started
        if path == "/dir" and os.path.exists(self.hide):
            raise fusepy.FuseOSError(errno.ENOENT)
        if path in ("/", "/dir"):
            return dict(st_mode=stat.S_IFDIR | 0o755, st_nlink=2, st_size=0,
                        st_ctime=now, st_mtime=now, st_atime=now)
        if path == "/image" and self.image:
            return dict(st_mode=stat.S_IFREG | 0o444, st_nlink=1, st_size=os.path.getsize(self.image),
                        st_ctime=now, st_mtime=now, st_atime=now)
        if path == "/file":
            return dict(st_mode=stat.S_IFREG | 0o644, st_nlink=1, st_size=len(CONTENT),
                        st_ctime=now, st_mtime=now, st_atime=now)
        raise fusepy.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        if path == "/dir":
            return [".", ".."]
        return [".", "..", "file", "dir"] + (["image"] if self.image else [])

    def open(self, path, flags):
        return 0

    def flush(self, path, fh):
        self._wait_while_stalled("flush " + path, self.stall_flush)
        return 0

    def read(self, path, size, offset, fh):
        self._wait_while_stalled("read " + path)
        if path == "/image":
            with open(self.image, "rb") as image:
                image.seek(offset)
                return image.read(size)
        return CONTENT[offset:offset + size]


def main():
    mount_directory, control = sys.argv[1:3]
    image = sys.argv[3] if len(sys.argv) > 3 and sys.argv[3] else None
    fsname = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else "stalling"
    blocks = int(sys.argv[5]) if len(sys.argv) > 5 else 1000
    fusepy.FUSE(StallingFS(control, image, blocks), mount_directory, foreground=True, nothreads=False,
                fsname=fsname, subtype="stalling", ro=True, direct_io=True)


if __name__ == "__main__":
    main()
