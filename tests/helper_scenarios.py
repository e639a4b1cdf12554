"""The scenarios of test_slow_query_helper, each in an interpreter of its own
that starts with no child of its own:

    helper_scenarios.py SCENARIO MOUNT_DIRECTORY CONTROL_DIRECTORY

MOUNT_DIRECTORY is served by stalling_fs.py with CONTROL_DIRECTORY. Prints,
as its last line, the repr of a dict of what it saw.
"""
import ctypes
import errno
import os
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time

import winsim
import windows.volumes as volumes

ERROR_SEM_TIMEOUT = 121
HELPER_NAME = "winstub-queries"
# Marks the helpers started from this interpreter (and its forks): they get
# its environment.
MARK = "WINSTUB_HELPER_SCENARIO"
# Longer than an answer serves the same question again (linux_slow_queries.h).
PAST_KEPT = 0.15


def children():
    """The pids of this process's children, running or not collected."""
    found = set()
    for task in os.listdir("/proc/self/task"):
        with open("/proc/self/task/%s/children" % task) as listing:
            found.update(int(pid) for pid in listing.read().split())
    return sorted(found)


def wildcard_wait():
    """What os.waitpid(-1, os.WNOHANG) says: "ECHILD" or its (pid, status)."""
    try:
        return os.waitpid(-1, os.WNOHANG)
    except OSError as error:
        return errno.errorcode[error.errno]


def process_field(pid, name):
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith(name + ":"):
                    return line.split()[1]
    except IOError:
        return None
    return None


def helpers():
    """The helper processes started from this interpreter or its forks."""
    found = []
    mark = "%s=%s" % (MARK, os.environ[MARK])
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as comm:
                if comm.read().strip() != HELPER_NAME:
                    continue
            with open("/proc/%s/environ" % entry) as environment:
                if mark not in environment.read().split("\0"):
                    continue
        except IOError:
            continue  # gone meanwhile
        if process_field(int(entry), "State") not in (None, "Z"):
            found.append(int(entry))
    return sorted(found)


def until(condition, seconds=10.0):
    deadline = time.time() + seconds
    while not condition() and time.time() < deadline:
        time.sleep(0.02)
    return condition()


class Kernel32(object):
    """The stand-in's functions, called as a C program calls them, from any
    thread and without the interpreter lock."""

    def __init__(self):
        with open("/proc/self/maps") as maps:
            paths = [line.split()[-1] for line in maps if line.rstrip().endswith("/libwinstub.so")]
        self.library = ctypes.CDLL(paths[0])
        self.library.GetDiskFreeSpaceExW.argtypes = [ctypes.c_char_p] + [ctypes.POINTER(ctypes.c_uint64)] * 3
        self.library.GetVolumeInformationByHandleW.argtypes = [
            ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32),
            ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]
        self.library.GetLastError.restype = ctypes.c_uint32

    def free_space(self, directory):
        """(error, total bytes, seconds) of GetDiskFreeSpaceExW(directory); None: NULL."""
        name = None if directory is None else ctypes.create_string_buffer((directory + u"\0").encode("utf-16-le"))
        available, total, free = ctypes.c_uint64(), ctypes.c_uint64(), ctypes.c_uint64()
        start = time.time()
        answered = self.library.GetDiskFreeSpaceExW(name, ctypes.byref(available), ctypes.byref(total),
                                                    ctypes.byref(free))
        seconds = time.time() - start
        return (0, total.value, seconds) if answered else (self.library.GetLastError(), None, seconds)

    def serial_by_handle(self, fd):
        serial = ctypes.c_uint32()
        if self.library.GetVolumeInformationByHandleW(fd, None, 0, ctypes.byref(serial), None, None, None, 0):
            return 0, serial.value
        return self.library.GetLastError(), None


class Scene(object):

    def __init__(self, target, control):
        self.target = unicode(target)
        self.control = control
        self.stall = os.path.join(control, "stall")
        self.root = os.open(target, os.O_RDONLY)  # before anything stalls
        winsim.use_this_machine()

    def block(self):
        open(self.stall, "w").close()
        time.sleep(PAST_KEPT)

    def release(self):
        if os.path.exists(self.stall):
            os.unlink(self.stall)

    def query(self):
        """(0 or the error, seconds) of GetVolumeInformation of the mount."""
        start = time.time()
        try:
            volumes.GetVolumeInformation(self.target + u"/")
            code = 0
        except WindowsError as error:
            code = error.winerror
        return code, time.time() - start

    def query_until_answered(self):
        deadline = time.time() + 10
        while True:
            code, _ = self.query()
            if code != ERROR_SEM_TIMEOUT or time.time() > deadline:
                return code
            time.sleep(0.05)

    def lines(self, name):
        path = os.path.join(self.control, name)
        if not os.path.exists(path):
            return 0
        with open(path) as log:
            return len(log.read().splitlines())


# Scenarios ----------------------------------------------------------------

def waits(scene):
    signals = []
    signal.signal(signal.SIGCHLD, lambda number, frame: signals.append(number))
    seen = {"answered": scene.query()[0]}
    scene.block()
    seen["timed_out"] = scene.query()[0]
    seen["children_while_stuck"] = children()
    seen["wait_while_stuck"] = wildcard_wait()
    scene.release()
    codes = []
    for _ in range(10):
        time.sleep(PAST_KEPT)
        codes.append(scene.query_until_answered())
    seen["later_answers"] = codes
    time.sleep(0.2)
    seen["children_after"] = children()
    seen["wait_after"] = wildcard_wait()
    seen["sigchld"] = len(signals)
    return seen


def sigchld_ignored(scene):
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    scene.block()
    seen = {"timed_out": scene.query()[0], "children_while_stuck": children()}
    scene.release()
    seen["answered"] = scene.query_until_answered()
    seen["children_after"] = children()
    return seen


def last_pid():
    with open("/proc/sys/kernel/ns_last_pid") as last:
        return int(last.read())


def set_last_pid(pid):
    with open("/proc/sys/kernel/ns_last_pid", "w") as last:
        last.write(str(pid))


def reused_pid(scene, run_child):
    """In a pid namespace of its own: a question gets stuck and comes back,
    the application collects what its wildcard wait finds, and its next
    child gets the first pid that the library's question took."""
    first = last_pid()
    scene.block()
    seen = {"timed_out": scene.query()[0]}
    scene.release()
    time.sleep(0.5)
    collected = []
    deadline = time.time() + 2
    while time.time() < deadline:
        found = wildcard_wait()
        if found == "ECHILD":
            break
        if found[0]:
            collected.append(found[0])
        else:
            time.sleep(0.05)
    seen["collected"] = collected
    set_last_pid(first)
    child = run_child()
    seen["got_the_first_pid"] = child.pid == first + 1
    seen.update(run_child.after(child))
    return seen


def exit_status(scene):
    def run_child():
        return subprocess.Popen(["sh", "-c", "exit 3"])

    def after(child):
        until(lambda: process_field(child.pid, "State") == "Z", 5)
        answered = scene.query_until_answered()
        return {"answered": answered, "status": child.wait()}
    run_child.after = after
    return reused_pid(scene, run_child)


def sleeper_survives(scene):
    def run_child():
        return subprocess.Popen(["sleep", "30"])

    def after(child):
        winsim.use_this_machine()  # the machine replaced, then gone
        winsim.reset()
        time.sleep(0.3)
        alive = child.poll() is None
        if alive:
            child.kill()
        child.wait()
        return {"alive": alive}
    run_child.after = after
    return reused_pid(scene, run_child)


def forked(scene):
    seen = {"answered": scene.query()[0], "helpers": len(helpers())}
    scene.block()
    seen["timed_out"] = scene.query()[0]

    def in_child():
        code, seconds = scene.query()
        return {"code": code, "seconds": seconds, "helpers": len(helpers()), "wait": wildcard_wait()}
    seen["child_while_stuck"] = in_fork(in_child)
    scene.release()
    seen["answered_again"] = scene.query_until_answered()
    seen["child_later"] = in_fork(lambda: {"code": scene.query_until_answered()})
    return seen


def in_fork(work, started=None):
    """What `work` returns in a forked child; with `started`, the time that
    it returns, how long the fork took is in it too ("forked_after")."""
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            forked_after = time.time() - started() if started else None
            os.close(reading)
            result = work()
            if started:
                result["forked_after"] = forked_after
            os.write(writing, repr(result))
        finally:
            os._exit(0)
    os.close(writing)
    data = ""
    while True:
        part = os.read(reading, 65536)
        if not part:
            break
        data += part
    os.close(reading)
    os.waitpid(pid, 0)
    return eval(data) if data else None


def killed(scene):
    seen = {"answered": scene.query()[0]}
    first = helpers()
    seen["helpers"] = len(first)
    seen["helper_is_a_child"] = bool(first) and process_field(first[0], "PPid") == str(os.getpid())
    if first:
        os.kill(first[0], signal.SIGKILL)
        until(lambda: first[0] not in helpers(), 5)
    time.sleep(PAST_KEPT)
    seen["after_kill"] = scene.query()
    second = helpers()
    seen["another_helper"] = len(second) == 1 and second != first
    if not second:
        return seen
    # Killed while a question waits in it.
    scene.block()
    killer = subprocess.Popen(["sh", "-c", "sleep 0.5; kill -9 %d" % second[0]])
    seen["killed_while_asked"] = scene.query()
    killer.wait()
    scene.release()
    seen["answered_again"] = scene.query_until_answered()
    return seen


def cost(scene, megabytes):
    if megabytes:
        resident = bytearray(megabytes << 20)
        resident[::4096] = b"\x01" * len(xrange(0, len(resident), 4096))
    seen = {"resident_kib": int(process_field(os.getpid(), "VmRSS"))}
    seen["first"] = scene.query()
    times = []
    for _ in range(15):
        time.sleep(PAST_KEPT)
        code, seconds = scene.query()
        times.append(seconds if code == 0 else None)
    seen["median"] = sorted(times)[len(times) // 2]
    return seen


def sharing(scene):
    kernel32 = Kernel32()
    seen = {}
    # By handle and by path at once: two questions.
    results = {}
    scene.block()
    by_handle = threading.Thread(target=lambda: results.update(handle=kernel32.serial_by_handle(scene.root)))
    by_path = threading.Thread(target=lambda: results.update(path=kernel32.free_space(scene.target)))
    by_handle.start()
    time.sleep(0.3)
    by_path.start()
    time.sleep(0.5)
    scene.release()
    by_handle.join(10)
    by_path.join(10)
    seen["by_handle"] = results.get("handle")
    seen["by_path"] = results.get("path")
    seen["serial"] = os.fstat(scene.root).st_dev
    # Four spellings of directories of one file system that does not answer.
    workspace = os.path.dirname(scene.target)
    os.chdir(workspace)
    stalled = scene.lines("stalled")
    scene.block()
    spellings = [scene.target + u"/.", scene.target + u"//", scene.target + u"/./",
                 os.path.basename(scene.target) + u"/."]
    seen["spellings"] = [kernel32.free_space(spelling) for spelling in spellings]
    seen["spellings_stalled"] = scene.lines("stalled") - stalled
    scene.release()
    until(lambda: kernel32.free_space(spellings[0])[0] == 0)
    # The current directory on it, then elsewhere.
    os.chdir(scene.target)
    scene.block()
    seen["current_on_it"] = [kernel32.free_space(None), kernel32.free_space(u".")]
    os.chdir(workspace)
    seen["current_moved"] = [kernel32.free_space(None), kernel32.free_space(u".")]
    stats = os.statvfs(workspace)
    seen["workspace_total"] = stats.f_blocks * stats.f_frsize
    scene.release()
    return seen


def refresh(scene):
    info = volumes.VolumeInfo.NewInstance()
    info.AllVolumeEntries(force_update=True)
    time.sleep(PAST_KEPT)
    before = scene.lines("statfs")
    entries = info.AllVolumeEntries(force_update=True)
    return {"statfs": scene.lines("statfs") - before,
            "listed": volumes.FindVolumeID(os.fstat(scene.root)) in entries}


def own_mount_namespace():
    """Moves this process into a mount namespace of its own, whose mounts go
    with it; None, or what to report when it cannot."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x20000) != 0:  # CLONE_NEWNS
        return {"unshare": ctypes.get_errno()}
    subprocess.check_call(["mount", "--make-rprivate", "/"])
    return None


def at_once(count, function):
    """The results of `function` called by `count` native threads at once,
    and how long they took together."""
    results = []
    threads = [threading.Thread(target=lambda: results.append(function())) for _ in range(count)]
    start = time.time()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    return results, time.time() - start


def fork_while_waiting(scene):
    """Native threads wait on the stalled file system, two of them on the
    library's other waiters, when the main thread forks; the child asks in
    two rounds of two threads at once."""
    kernel32 = Kernel32()
    scene.block()
    waiting = [threading.Thread(target=kernel32.free_space, args=(scene.target,)) for _ in range(3)]
    for thread in waiting:
        thread.start()
    time.sleep(0.5)

    def in_child():
        signal.alarm(20)  # a child that hangs reports nothing
        rounds = []
        for _ in range(2):
            results, seconds = at_once(2, lambda: kernel32.free_space(scene.control))
            rounds.append((sorted(code for code, _, _ in results), seconds))
        return {"rounds": rounds, "stalled": kernel32.free_space(scene.target)[0]}
    start = time.time()
    seen = {"child": in_fork(in_child, lambda: start)}
    seen["fork_seconds"] = seen["child"].pop("forked_after") if seen["child"] else None
    for thread in waiting:
        thread.join(10)
    return seen


def helper_threads():
    """The thread count of each helper of this interpreter."""
    return [int(process_field(pid, "Threads") or 0) for pid in helpers()]


def many_waiting(scene):
    """Eight native threads ask the stalled file system each its own
    question; the helper's threads while they wait, and once it answers."""
    kernel32 = Kernel32()
    kernel32.free_space(scene.target)  # the helper runs
    scene.block()
    paths = [scene.target + u"/asked-%d" % number for number in range(8)]
    waiting = [threading.Thread(target=kernel32.free_space, args=(path,)) for path in paths]
    for thread in waiting:
        thread.start()
    until(lambda: all(count > len(paths) for count in helper_threads()), 5)
    seen = {"stalled": scene.lines("stalled"), "while_waiting": helper_threads()}
    scene.release()
    for thread in waiting:
        thread.join(10)
    # The threads that waited end once they have answered.
    until(lambda: all(count <= 3 for count in helper_threads()), 5)
    seen["after"] = helper_threads()
    seen["next"] = kernel32.free_space(scene.target)[0]
    return seen


def flush_stalled(scene):
    """By handle, while the file system answers everything but the flush
    that each close of a file sends."""
    kernel32 = Kernel32()
    on_fuse = os.open(os.path.join(scene.target, "file"), os.O_RDONLY)
    kernel32.serial_by_handle(on_fuse)  # the helper runs
    time.sleep(PAST_KEPT)
    stall_flush = os.path.join(scene.control, "stall-flush")
    open(stall_flush, "w").close()
    try:
        start = time.time()
        code = kernel32.serial_by_handle(on_fuse)[0]
        seen = {"by_handle": code, "seconds": time.time() - start}
    finally:
        os.unlink(stall_flush)
    os.close(on_fuse)
    return seen


def past_deadline_across_table_changes(scene):
    """A question of the stalled file system times out; the mount table
    changes; the next question of it fails at once and asks nothing more."""
    kernel32 = Kernel32()
    kernel32.free_space(scene.target)  # the helper runs
    scene.block()
    seen = {"first": kernel32.free_space(scene.target + u"/asked-first")[0]}
    threads = helper_threads()
    directory = tempfile.mkdtemp(dir=scene.control)
    try:
        subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", directory])
        subprocess.check_call(["umount", directory])
    finally:
        os.rmdir(directory)
    code, _, seconds = kernel32.free_space(scene.target + u"/asked-after")
    seen.update(after=code, seconds=seconds, threads_grew=helper_threads() != threads)
    return seen


def descriptor_limit(scene):
    """The helper started by an application whose own limit of descriptors
    is low: the limit that the helper keeps, and the application's."""
    import resource
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (32, hard))
    shown = "unlimited" if hard == resource.RLIM_INFINITY else str(hard)  # as /proc shows it
    seen = {"answered": Kernel32().free_space(scene.control)[0], "application": ["32", shown]}
    for pid in helpers():
        with open("/proc/%d/limits" % pid) as limits:
            line = [line for line in limits if line.startswith("Max open files")][0]
        seen["helper"] = line.split()[3:5]
    return seen


def descriptors(scene):
    """The helper starts while the application holds a file of the stalled
    file system (whose close waits for its flush) and a pipe."""
    kernel32 = Kernel32()
    on_fuse = os.open(os.path.join(scene.target, "file"), os.O_RDONLY)
    reading, writing = os.pipe()
    scene.block()
    # A directory that is no mount point: asked of the helper.
    seen = {"answered": kernel32.free_space(scene.control)[0]}
    started = helpers()
    seen["helper_files"] = sorted(set(os.readlink("/proc/%d/fd/%s" % (started[0], fd)).split(":")[0]
                                      for fd in os.listdir("/proc/%d/fd" % started[0]))) if started else None
    os.close(writing)
    ready = select.select([reading], [], [], 1.0)[0]
    seen["end_of_file"] = bool(ready) and os.read(reading, 1) == ""
    scene.release()
    os.close(reading)
    os.close(on_fuse)
    return seen


def namespace_and_root(scene):
    """Asked first in the namespace it started in, the helper answers after
    the application has entered a mount namespace of its own, then a root of
    its own, from there."""
    kernel32 = Kernel32()
    workspace = os.path.dirname(scene.target)
    folder = os.path.join(workspace, "own-namespace")
    os.mkdir(folder)
    seen = {"before": kernel32.free_space(folder)[:2]}
    failed = own_mount_namespace()
    if failed:
        return failed
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=64m", "own", folder])
    seen["in_namespace"] = kernel32.free_space(folder)[:2]
    os.makedirs(os.path.join(folder, "data", "sub"))
    os.mkdir(os.path.join(folder, "proc"))
    subprocess.check_call(["mount", "-t", "proc", "proc", os.path.join(folder, "proc")])
    os.chroot(folder)
    os.chdir("/")
    seen["in_root"] = kernel32.free_space(u"/data/sub")[:2]
    seen["missing_in_root"] = kernel32.free_space(u"/data/none")[0]
    # Ends here: what runs at exit (the sanitizers' report, whose path lies
    # outside this root) would fail in it.
    sys.stdout.write(repr(seen) + "\n")
    sys.stdout.flush()
    os._exit(0)


def existence(scene):
    """A directory's existence is its own answer, also straight after one of
    its file system's directories was asked."""
    kernel32 = Kernel32()
    workspace = os.path.dirname(scene.target)
    return {"codes": [kernel32.free_space(path)[0] for path in
                      (workspace, os.path.join(workspace, "no-such"), scene.target + u"/dir",
                       scene.target + u"/no-such", None, u"no-such")]}


def released_after(scene, seconds):
    """Lets the stalled file system answer after `seconds`, whatever waits."""
    timer = threading.Timer(seconds, scene.release)
    timer.daemon = True
    timer.start()
    return timer


def own_descriptors(pid="self"):
    """{number: what it is} of a process's descriptors."""
    found = {}
    for fd in os.listdir("/proc/%s/fd" % pid):
        try:
            found[int(fd)] = os.readlink("/proc/%s/fd/%s" % (pid, fd))
        except OSError:
            pass  # the listing's own
    return found


def reused_numbers(scene):
    """The application puts a file of the stalled file system in the numbers
    of the library's own descriptors (the mount-table watch, the helper's
    connection); the library's next calls must not wait on it."""
    kernel32 = Kernel32()
    seen = {"first": kernel32.free_space(scene.control)[0]}
    mine = own_descriptors()
    numbers = [fd for fd, name in mine.items() if name.endswith("/mountinfo") or name.startswith("socket:")]
    seen["numbers"] = len(numbers)
    on_fuse = os.open(os.path.join(scene.target, "file"), os.O_RDONLY)
    for fd in numbers:
        os.dup2(on_fuse, fd)
    scene.block()
    time.sleep(1.1)  # past the kernel's cached attributes
    timer = released_after(scene, 8)
    start = time.time()
    seen["drive_type"] = kernel32.library.GetDriveTypeW(ctypes.create_string_buffer(u"/\0".encode("utf-16-le")))
    code = kernel32.free_space(scene.control)[0]
    seen["calls"] = (code, time.time() - start)
    timer.cancel()
    scene.release()
    return seen


def child_without_calls(scene):
    """A forked child that never calls the library holds none of its
    descriptors, so its parent's helper ends with its parent; also after
    many machines have come and gone."""
    kernel32 = Kernel32()
    for _ in range(70):
        winsim.use_this_machine()
        kernel32.free_space(scene.control)
    library = set(fd for fd, name in own_descriptors().items()
                  if name.endswith("/mountinfo") or name.startswith("socket:"))
    return {"library": len(library),
            "in_child": in_fork(lambda: {"held": sorted(library & set(own_descriptors()))})["held"]}


def late_answer(scene):
    """An answer that came after its question's time-out is as old as it is."""
    kernel32 = Kernel32()
    directory = scene.target + u"/dir"
    scene.block()
    seen = {"timed_out": kernel32.free_space(directory)[0]}
    scene.release()
    time.sleep(0.5)  # the helper has its answer now, unread
    open(os.path.join(scene.control, "hide"), "w").close()
    time.sleep(1.2)  # past the kernel's cached entry
    seen["hidden"] = kernel32.free_space(directory)[0]
    return seen


def symbolic_link(scene):
    """A symbolic link pointed elsewhere at once is followed there."""
    kernel32 = Kernel32()
    link = os.path.join(scene.control, "link")
    os.mkdir(os.path.join(scene.control, "there"))
    os.symlink("there", link)
    seen = [kernel32.free_space(link)[0]]
    os.unlink(link)
    os.symlink("nowhere", link)
    seen.append(kernel32.free_space(link)[0])
    return {"codes": seen}


def without_descriptors(scene):
    """In a mount namespace of its own with no descriptor left, a question
    fails rather than be answered in the helper's namespace."""
    kernel32 = Kernel32()
    folder = os.path.join(scene.control, "small")
    os.mkdir(folder)
    kernel32.free_space(scene.control)  # the helper starts here
    failed = own_mount_namespace()
    if failed:
        return failed
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=1m", "small", folder])
    os.mkdir(os.path.join(folder, "sub"))
    seen = {"first": kernel32.free_space(os.path.join(folder, "sub"))[:2]}  # the table of this namespace read
    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError:
        pass
    code, total, _ = kernel32.free_space(os.path.join(folder, "sub"))
    for fd in held:
        os.close(fd)
    seen.update(held=len(held), answer=(code, total), after=kernel32.free_space(os.path.join(folder, "sub"))[:2])
    return seen


def same_mount_root(scene):
    """A chroot into a directory of the root's own mount changes what the
    paths name at once."""
    failed = own_mount_namespace()
    if failed:
        return failed
    jail = os.path.join(scene.control, "jail")
    for name in ("proc", "mnt"):
        os.makedirs(os.path.join(jail, name))
    subprocess.check_call(["mount", "-t", "proc", "proc", os.path.join(jail, "proc")])
    subprocess.check_call(["mount", "-t", "tmpfs", "-o", "size=1m", "jailed", os.path.join(jail, "mnt")])
    kernel32 = Kernel32()
    inside = ctypes.create_string_buffer(u"/mnt/\0".encode("utf-16-le"))
    outside = ctypes.create_string_buffer((jail + u"/mnt/\0").encode("utf-16-le"))
    seen = {"before": (kernel32.library.GetDriveTypeW(inside), kernel32.library.GetDriveTypeW(outside))}
    os.chroot(jail)
    seen["after"] = (kernel32.library.GetDriveTypeW(inside), kernel32.library.GetDriveTypeW(outside))
    sys.stdout.write(repr(seen) + "\n")
    sys.stdout.flush()
    os._exit(0)  # what runs at exit looks for paths outside this root


def program_on_stalled(scene):
    """The helper's program lies where the stalled file system is mounted
    over it: its start waits there, the caller only its time-out."""
    failed = own_mount_namespace()
    if failed:
        return failed
    kernel32 = Kernel32()
    directory = os.path.dirname(kernel32.library._name)
    subprocess.check_call(["mount", "--bind", scene.target, directory])
    scene.block()
    time.sleep(1.1)  # past the kernel's cached attributes
    timer = released_after(scene, 8)
    code, _, seconds = kernel32.free_space(scene.control)
    timer.cancel()
    scene.release()
    return {"code": code, "seconds": seconds}


def helper_never_comes(scene):
    """The helper's program runs but never connects (another program in its
    place): questions at once from several threads end by one time-out, and
    the next fails at once."""
    failed = own_mount_namespace()
    if failed:
        return failed
    kernel32 = Kernel32()
    program = os.path.join(os.path.dirname(kernel32.library._name), HELPER_NAME)
    subprocess.check_call(["mount", "--bind", "/bin/true", program])
    results, seconds = at_once(3, lambda: kernel32.free_space(scene.control))
    seen = {"codes": sorted(code for code, _, _ in results), "seconds": seconds}
    seen["next"] = kernel32.free_space(scene.control)
    seen["threads"] = len(os.listdir("/proc/self/task"))
    return seen


def new_pid_namespace(scene):
    """After unshare(CLONE_NEWPID) the application's next child is the new
    namespace's first process, not the library's."""
    kernel32 = Kernel32()
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x20000000) != 0:  # CLONE_NEWPID
        return {"unshare": ctypes.get_errno()}
    seen = {"question": kernel32.free_space(scene.control)}
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(writing, str(os.getpid()))
        os._exit(0)
    os.close(writing)
    seen["child_pid"] = os.read(reading, 16)
    os.waitpid(pid, 0)
    # Ends here: a pid namespace whose first process has ended takes no
    # other, and what runs at exit (the sanitizers' leak check) needs one.
    sys.stdout.write(repr(seen) + "\n")
    sys.stdout.flush()
    os._exit(0)


SCENARIOS = {
    "waits": waits,
    "sigchld-ignored": sigchld_ignored,
    "exit-status": exit_status,
    "sleeper-survives": sleeper_survives,
    "forked": forked,
    "killed": killed,
    "cost-small": lambda scene: cost(scene, 0),
    "cost-1gib": lambda scene: cost(scene, 1024),
    "sharing": sharing,
    "refresh": refresh,
    "fork-while-waiting": fork_while_waiting,
    "descriptors": descriptors,
    "many-waiting": many_waiting,
    "flush-stalled": flush_stalled,
    "descriptor-limit": descriptor_limit,
    "past-deadline-across-table-changes": past_deadline_across_table_changes,
    "namespace-and-root": namespace_and_root,
    "existence": existence,
    "reused-numbers": reused_numbers,
    "child-without-calls": child_without_calls,
    "late-answer": late_answer,
    "symbolic-link": symbolic_link,
    "without-descriptors": without_descriptors,
    "same-mount-root": same_mount_root,
    "program-on-stalled": program_on_stalled,
    "helper-never-comes": helper_never_comes,
    "new-pid-namespace": new_pid_namespace,
}


def main():
    name, target, control = sys.argv[1:4]
    os.environ[MARK] = "%d-%s" % (os.getpid(), name)
    scene = Scene(target, control)
    try:
        seen = SCENARIOS[name](scene)
    finally:
        scene.release()
    sys.stdout.write(repr(seen) + "\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
