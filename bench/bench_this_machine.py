#!/usr/bin/python3
"""Times windows.volumes on this machine's own file systems, side by side
with psutil (disk_partitions(all=True) plus disk_usage of each, Debian's
python3-psutil) and `df -a`, on mounts it makes for the purpose:

  1  a query of a FUSE file system (GetVolumeInformation of a bindfs mount)
     in a small process and in one with 4 GiB resident and 1,000 threads
  2  a refresh (AllVolumeEntries(force_update=True)) with 200 FUSE mounts
  3  a refresh with 1,000 and with 3,000 tmpfs mounts
  4  the table read (_ListVolumeNames()) with a FUSE mount that hides its
     device (fusefat on a FAT32 image), with and without processes of user
     nobody that hold 600,000 descriptors

Run by hand, as root, after `make` (`make bench-this-machine` installs what
it needs and runs it; ARGS="--case 2 --quick" passes options):

    bench/bench_this_machine.py [--case N]... [--quick]

Each result line shows the module's time (the median of several calls), the
references, the module's ratio to the first reference, the goal and whether
the time meets it. --quick runs every case with smaller counts than the
goals are stated for, to try the benchmark out.

Its mounts exist only in a mount namespace of its own (it re-executes itself
under `unshare --mount --propagation private`), on a tmpfs of that
namespace. Every process it starts (FUSE daemons, the measuring processes,
the holders of descriptors) is stopped when its case ends, on errors and on
SIGINT, SIGTERM and SIGHUP too, and is killed by the kernel should the
benchmark die (PR_SET_PDEATHSIG); the namespace, and with it every mount,
goes with the last of them. It starts no loop device and changes no system
setting: each holder of descriptors raises only its own limit.
"""
import argparse
import contextlib
import ctypes
import json
import math
import os
import platform
import pwd
import resource
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(HERE)
WORKERS = os.path.join(HERE, "this_machine_workers.py")
PYTHON3 = "/usr/bin/python3"
NAMESPACE_MARK = "WINDOWS_VOLUMES_BENCH_OWN_MOUNT_NAMESPACE"
SKIP_STATUS = 77

# The counts the goals are stated for, and smaller ones to try the benchmark.
FULL = dict(resident_mib=4096, threads=1000, queries=20, fuse_mounts=200, tmpfs_mounts=(1000, 3000),
            descriptors=600000, repeat=5, slow_repeat=3)
QUICK = dict(resident_mib=512, threads=100, queries=10, fuse_mounts=20, tmpfs_mounts=(100, 300),
             descriptors=60000, repeat=3, slow_repeat=2)
# Each holder keeps at most this many descriptors: far below fs.nr_open's
# default (1,048,576), so that no system setting needs to change; fewer
# where the hard RLIMIT_NOFILE is lower and cannot be raised (no
# CAP_SYS_RESOURCE, as in some containers).
DESCRIPTORS_PER_HOLDER = 100000
MNT_DETACH = 2
PR_SET_PDEATHSIG = 1
CAP_SYS_RESOURCE = 24

libc = ctypes.CDLL(None, use_errno=True)

# A process of another user that holds `count` descriptors (of /dev/null)
# until its standard input ends: the benchmark closed it, or died.
HOLDER_SOURCE = """
import os, sys
count = int(sys.argv[1])
first = os.open("/dev/null", os.O_RDONLY)
held = [first] + [os.dup(first) for _ in range(count - 1)]
sys.stdout.write("%d\\n" % len(held))
sys.stdout.flush()
sys.stdin.read()
"""


# ---------------------------------------------------------------------------
# Processes and mounts, each undone on every way out.

def tool_environment():
    environment = dict(os.environ)
    environment["LC_ALL"] = "C"
    return environment


def die_with_benchmark(parent):
    """In a child before exec: SIGKILL when the benchmark ends. Set after
    any change of user, which clears it."""
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(1)  # the benchmark died before the line above


def child_setup(prepare=None):
    """What a child runs before exec: `prepare`, then the tie to the benchmark."""
    parent = os.getpid()

    def before_exec():
        if prepare:
            prepare()
        die_with_benchmark(parent)

    return before_exec


def start(argv, prepare=None, **options):
    options.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(argv, env=tool_environment(), close_fds=True, preexec_fn=child_setup(prepare), **options)


def stop(processes, grace=5.0):
    """Ends `processes`: SIGTERM, then SIGKILL after `grace` seconds; waits
    for each, bounded."""
    for process in processes:
        if process.poll() is None:
            process.terminate()
    deadline = time.monotonic() + grace
    for process in processes:
        try:
            process.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
    for process in processes:
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            sys.stderr.write("bench: process %d did not end after SIGKILL\n" % process.pid)
        for stream in (process.stdin, process.stdout, process.stderr):
            if stream:
                stream.close()


def mount(source, target, fstype, data):
    if libc.mount(source.encode(), target.encode(), fstype.encode(), 0, data.encode()) != 0:
        error = ctypes.get_errno()
        raise OSError(error, "mount %s on %s: %s" % (fstype, target, os.strerror(error)))


def detach(target):
    """Unmounts `target` and everything mounted below it, at once (lazily:
    nothing waits for a busy or silent file system)."""
    if libc.umount2(target.encode(), MNT_DETACH) != 0 and ctypes.get_errno() not in (22, 2):  # EINVAL, ENOENT
        sys.stderr.write("bench: cannot unmount %s: %s\n" % (target, os.strerror(ctypes.get_errno())))


def mounted_targets():
    with open("/proc/self/mountinfo") as table:
        return set(line.split()[4] for line in table)


def scratch_tmpfs(stack, parent, name, size="64m"):
    """A tmpfs on a new folder `name` of `parent`, unmounted with all that is
    mounted below it when `stack` unwinds."""
    target = os.path.join(parent, name)
    os.mkdir(target)
    stack.callback(remove_folder, target)
    return mount_tmpfs(stack, target, size)


def mount_tmpfs(stack, target, size):
    mount("bench-" + os.path.basename(target), target, "tmpfs", "size=%s,mode=0755" % size)
    stack.callback(detach, target)
    return target


def remove_folder(path):
    try:
        os.rmdir(path)
    except OSError as error:
        sys.stderr.write("bench: cannot remove %s: %s\n" % (path, error.strerror))


def run_tool(argv, timeout=60):
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=tool_environment(), timeout=timeout)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(argv), result.returncode, result.stdout.decode()))


def start_fuse_daemons(stack, argvs, targets, logs):
    """Starts FUSE drivers in the foreground; returns once every target is
    mounted. They are stopped, and their mounts detached, when `stack` unwinds."""
    daemons = []
    stack.callback(stop, daemons)
    with open(os.path.join(logs, "fuse.log"), "ab") as log:
        for argv in argvs:
            daemons.append(start(argv, stdout=log, stderr=subprocess.STDOUT))
    deadline = time.monotonic() + 30 + 0.2 * len(argvs)
    while True:
        missing = set(targets) - mounted_targets()
        if not missing:
            return daemons
        dead = [daemon for daemon in daemons if daemon.poll() is not None]
        if dead or time.monotonic() > deadline:
            with open(os.path.join(logs, "fuse.log"), "rb") as log:
                raise RuntimeError("%d of %d FUSE mounts did not come (%d daemons ended): %s" % (
                    len(missing), len(targets), len(dead), log.read()[-2000:].decode(errors="replace")))
        time.sleep(0.05)


def has_capability(number):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("CapEff:"):
                return bool(int(line.split()[1], 16) >> number & 1)
    return False


def hold_descriptors(stack, total):
    """Processes of user nobody holding `total` descriptors between them,
    until `stack` unwinds."""
    nobody = pwd.getpwnam("nobody")
    spare = 64  # the interpreter's own files
    per_holder = DESCRIPTORS_PER_HOLDER
    if not has_capability(CAP_SYS_RESOURCE):
        per_holder = min(per_holder, resource.getrlimit(resource.RLIMIT_NOFILE)[1] - spare)
    count = int(math.ceil(total / float(per_holder)))
    shares = [total // count + (1 if index < total % count else 0) for index in range(count)]
    holders = []
    stack.callback(stop, holders)
    for share in shares:
        def become_nobody(share=share):
            resource.setrlimit(resource.RLIMIT_NOFILE, (share + spare, share + spare))
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)

        holder = start([PYTHON3, "-c", HOLDER_SOURCE, str(share)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                       cwd="/", prepare=become_nobody)
        holders.append(holder)
    held = 0
    deadline = time.monotonic() + 60
    for holder in holders:
        ready = select.select([holder.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]
        line = holder.stdout.readline() if ready else b""
        if not line.strip().isdigit():
            raise RuntimeError("a holder of descriptors failed or is late (status %s)" % holder.poll())
        held += int(line)
    return held, len(holders)


# ---------------------------------------------------------------------------
# Measuring.

class Measure(object):

    def __init__(self, arguments):
        self.python2 = arguments.python2
        self.package_dir = arguments.package_dir

    def worker(self, python, job, *arguments, timeout=600):
        environment = tool_environment()
        if python == self.python2:
            environment["PYTHONPATH"] = self.package_dir
            environment["PYTHONDONTWRITEBYTECODE"] = "1"
        result = subprocess.run([python, WORKERS, job] + [str(argument) for argument in arguments],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=environment, timeout=timeout,
                                preexec_fn=child_setup())
        if result.returncode != 0:
            raise RuntimeError("%s %s failed with status %d" % (os.path.basename(python), job, result.returncode))
        found = json.loads(result.stdout.decode().strip().splitlines()[-1])
        found["median"] = statistics.median(found["times"])
        return found

    def module(self, job, *arguments):
        return self.worker(self.python2, job, *arguments)

    def psutil(self, job, *arguments):
        return self.worker(PYTHON3, job, *arguments)

    @staticmethod
    def df(repeat):
        """The whole of `df -a`, from start to exit."""
        times = []
        for _ in range(repeat + 1):
            start = time.perf_counter()
            subprocess.run(["df", "-a"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, env=tool_environment(), timeout=120)
            times.append(time.perf_counter() - start)
        return statistics.median(times[1:])


def duration(seconds):
    if seconds is None:
        return "-"
    if seconds >= 1:
        return "%.2f s" % seconds
    milliseconds = seconds * 1e3
    if milliseconds >= 100:
        return "%.0f ms" % milliseconds
    if milliseconds >= 10:
        return "%.1f ms" % milliseconds
    if milliseconds >= 1:
        return "%.2f ms" % milliseconds
    return "%.3f ms" % milliseconds


class Report(object):
    """Result lines: the module's time, the references, the ratio of the
    module's time to the first reference, the goal and the verdict."""

    FORMAT = "%-2s %-54s %9s  %-34s %7s  %-15s %s"

    def __init__(self):
        self.rows = []
        self.header()

    def header(self):
        print(self.FORMAT % ("", "case", "module", "references", "ratio", "goal", "verdict"))

    def row(self, case, what, module, references, goal=None):
        """`references`: (name, seconds) pairs, the first one the ratio's.
        `goal`: ("time", seconds) or ("ratio", factor), or None for a line
        that is there for reference."""
        ratio = module / references[0][1] if references and references[0][1] else None
        if goal is None:
            goal_text, verdict = "-", ""
        elif goal[0] == "time":
            goal_text = "<= %s" % duration(goal[1])
            verdict = "PASS" if module <= goal[1] else "FAIL"
        else:
            goal_text = "<= %gx %s" % (goal[1], references[0][0])
            verdict = "PASS" if ratio is not None and ratio <= goal[1] else "FAIL"
        line = self.FORMAT % (case, what, duration(module),
                              ", ".join("%s %s" % (name, duration(seconds)) for name, seconds in references),
                              "-" if ratio is None else ("%.1fx" % ratio if ratio < 100 else "%.0fx" % ratio),
                              goal_text, verdict)
        self.rows.append(line)
        print(line, flush=True)

    def summary(self):
        if self.rows:
            print("\nAll results:")
            self.header()
            for line in self.rows:
                print(line)


def load():
    with open("/proc/loadavg") as average:
        return " ".join(average.read().split()[:3])


def memory_facts():
    facts = {}
    with open("/proc/meminfo") as info:
        for line in info:
            key, _, value = line.partition(":")
            facts[key] = int(value.split()[0]) // 1024
    return facts


def machine_facts(arguments, counts):
    memory = memory_facts()
    processes = sum(1 for entry in os.listdir("/proc") if entry.isdigit())
    commit = subprocess.run(["git", "-C", REPOSITORY, "describe", "--always", "--dirty"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL).stdout.decode().strip()
    print("machine: %d cores (%d usable here), kernel %s, load %s, %d processes, memory %d MiB (%d available)" % (
        os.cpu_count(), len(os.sched_getaffinity(0)), platform.release(), load(), processes, memory["MemTotal"],
        memory["MemAvailable"]))
    print("module: %s (%s, commit %s); psutil %s; %s" % (
        arguments.package_dir, os.path.basename(arguments.python2), commit or "?",
        subprocess.run([PYTHON3, "-c", "import psutil; print(psutil.__version__)"], stdout=subprocess.PIPE)
        .stdout.decode().strip(), subprocess.run(["df", "--version"], stdout=subprocess.PIPE).stdout.decode()
        .splitlines()[0]))
    print("times: medians of %d queries and of %d refreshes (%d in cases 2 and 4), timed inside a running process "
          "after one untimed call; df -a: the whole program, start to exit; %s" % (
              counts["queries"], counts["repeat"], counts["slow_repeat"],
              "--quick: counts below the goals' own" if arguments.quick else "the goals' counts"))
    print()


# ---------------------------------------------------------------------------
# The cases.

def case_fuse_query(measure, report, space, counts):
    """1: a query of a FUSE file system in a small process and in a big one."""
    with contextlib.ExitStack() as stack:
        base = scratch_tmpfs(stack, space, "case1")
        source, target = os.path.join(base, "source"), os.path.join(base, "fuse")
        os.mkdir(source)
        os.mkdir(target)
        start_fuse_daemons(stack, [["bindfs", "-f", source, target]], [target], base)
        psutil = measure.psutil("psutil-usage", target, counts["queries"])["median"]
        for resident_mib, threads, goal in [(0, 0, None), (counts["resident_mib"], counts["threads"],
                                                           ("time", 0.5e-3))]:
            found = measure.module("module-query", target + "/", counts["queries"], resident_mib, threads)
            report.row(1, "FUSE query, %d MiB resident, %d thread%s" % (
                found["resident_mib"], found["threads"], "" if found["threads"] == 1 else "s"),
                       found["median"], [("psutil disk_usage", psutil)], goal)


def refresh_row(measure, report, case, what, counts, goal, repeat=None):
    repeat = repeat or counts["repeat"]
    module = measure.module("module-refresh", repeat)
    psutil = measure.psutil("psutil-refresh", repeat)
    df = measure.df(repeat)
    report.row(case, "%s (%d volumes; psutil %d)" % (what, module["volumes"], psutil["partitions"]),
               module["median"], [("psutil", psutil["median"]), ("df -a", df)], goal)


def case_fuse_refresh(measure, report, space, counts):
    """2: a refresh with many FUSE mounts, each served by a daemon of its own."""
    count = counts["fuse_mounts"]
    with contextlib.ExitStack() as stack:
        base = scratch_tmpfs(stack, space, "case2")
        source = os.path.join(base, "source")
        os.mkdir(source)
        targets = [os.path.join(base, "fuse%d" % index) for index in range(count)]
        for target in targets:
            os.mkdir(target)
        start_fuse_daemons(stack, [["bindfs", "-f", source, target] for target in targets], targets, base)
        refresh_row(measure, report, 2, "refresh, %d FUSE mounts" % count, counts, ("ratio", 3),
                    repeat=counts["slow_repeat"])


def case_tmpfs_refresh(measure, report, space, counts):
    """3: a refresh with many local (tmpfs) mounts."""
    for count in counts["tmpfs_mounts"]:
        with contextlib.ExitStack() as stack:
            base = scratch_tmpfs(stack, space, "case3-%d" % count, size="1m")
            for index in range(count):
                target = os.path.join(base, "t%d" % index)
                os.mkdir(target)
                mount("bench-tmpfs", target, "tmpfs", "size=64k")
            refresh_row(measure, report, 3, "refresh, %d tmpfs mounts" % count, counts, ("ratio", 2))


def case_hidden_device(measure, report, space, counts):
    """4: the table read with a FUSE mount that hides its device, with and
    without other users' processes that hold many descriptors."""
    repeat = counts["slow_repeat"]
    with contextlib.ExitStack() as stack:
        base = scratch_tmpfs(stack, space, "case4", size="96m")
        image, target = os.path.join(base, "fat32.img"), os.path.join(base, "fat")
        with open(image, "wb") as opened:
            opened.truncate(64 << 20)
        run_tool(["mkfs.vfat", "-F", "32", "-n", "BENCH", image])
        os.mkdir(target)
        start_fuse_daemons(stack, [["fusefat", "-f", "-o", "rw+", image, target]], [target], base)
        alone = measure.module("module-table", repeat)
        psutil_alone = measure.psutil("psutil-refresh", repeat)["median"]
        report.row(4, "table read, fusefat mount (%d volumes)" % alone["volumes"], alone["median"],
                   [("psutil", psutil_alone)])
        with contextlib.ExitStack() as holding:
            held, holders = hold_descriptors(holding, counts["descriptors"])
            crowded = measure.module("module-table", repeat)
            psutil_crowded = measure.psutil("psutil-refresh", repeat)["median"]
        report.row(4, "... while %d nobody processes hold %d fds" % (holders, held), crowded["median"],
                   [("without", alone["median"]), ("psutil", psutil_crowded)], ("ratio", 2))


CASES = {1: case_fuse_query, 2: case_fuse_refresh, 3: case_tmpfs_refresh, 4: case_hidden_device}
TOOLS = {1: ["bindfs"], 2: ["bindfs", "df"], 3: ["df"], 4: ["fusefat", "mkfs.vfat"]}


# ---------------------------------------------------------------------------

def why_not_here(arguments):
    if os.geteuid() != 0:
        return "not root: mounting needs root"
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as error:
        return "no FUSE: /dev/fuse cannot be opened (%s)" % error.strerror
    import shutil
    for case in arguments.case:
        for program in TOOLS[case] + ["unshare"]:
            if not shutil.which(program, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"):
                return "%s is not installed (tools/setup-fidelity.sh bench installs it)" % program
    if subprocess.run([PYTHON3, "-c", "import psutil"], stderr=subprocess.DEVNULL).returncode != 0:
        return "python3-psutil is not installed (tools/setup-fidelity.sh bench installs it)"
    if not os.path.isdir(os.path.join(arguments.package_dir, "windows")):
        return "no package tree in %s: run make first" % arguments.package_dir
    return None


def raise_on_signal(number, frame):
    raise SystemExit("bench: ended by signal %d" % number)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--case", type=int, action="append", choices=sorted(CASES),
                        help="run only this case (repeatable); all by default")
    parser.add_argument("--quick", action="store_true", help="smaller counts than the goals', for a short run")
    parser.add_argument("--python2", default="/usr/bin/python2.7")
    parser.add_argument("--package-dir", default=os.path.join(REPOSITORY, "build", "python"))
    arguments = parser.parse_args()
    arguments.case = sorted(set(arguments.case or CASES))
    arguments.package_dir = os.path.abspath(arguments.package_dir)
    reason = why_not_here(arguments)
    if reason:
        sys.stderr.write("bench_this_machine: cannot run: %s\n" % reason)
        sys.exit(SKIP_STATUS)
    if os.environ.get(NAMESPACE_MARK) != "1":
        os.environ[NAMESPACE_MARK] = "1"
        os.execvp("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__)] + sys.argv[1:])
    for number in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(number, raise_on_signal)
    counts = QUICK if arguments.quick else FULL
    measure = Measure(arguments)
    machine_facts(arguments, counts)
    report = Report()
    with contextlib.ExitStack() as stack:
        # Everything of the run lies on a tmpfs of the namespace's own,
        # which goes with it: a run that is killed leaves an empty folder.
        space = tempfile.mkdtemp(prefix="windows-volumes-bench-")
        stack.callback(remove_folder, space)
        mount_tmpfs(stack, space, "128m")
        try:
            for case in arguments.case:
                print("-- case %d (load %s)" % (case, load()), flush=True)
                CASES[case](measure, report, space, counts)
        finally:
            report.summary()


if __name__ == "__main__":
    main()
