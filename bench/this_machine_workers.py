"""The measuring processes of bench/bench_this_machine.py, one job each:

    python2.7 this_machine_workers.py module-query PATH COUNT RESIDENT_MIB THREADS
    python2.7 this_machine_workers.py module-refresh REPEAT
    python2.7 this_machine_workers.py module-table REPEAT
    python3   this_machine_workers.py psutil-usage PATH COUNT
    python3   this_machine_workers.py psutil-refresh REPEAT

The module's jobs run under Python 2.7 with the package tree on PYTHONPATH,
psutil's under Debian's Python 3. Each prints one line of JSON: the seconds
of every timed call ("times") and what the calls found, so that a reader
can see both sides measured the same mounts. The first call of each job is
not timed: it reads the mount table once, as an application that has been
running for a while has done.
"""
from __future__ import print_function

import json
import logging
import os
import sys
import threading
import time

clock = getattr(time, "perf_counter", time.time)


# Longer than the module keeps an answer of a slow file system, so that each
# timed call asks anew rather than finding the last call's answer.
PAUSE = 0.15


def Timed(function, repeat):
    times = []
    for _ in range(repeat):
        time.sleep(PAUSE)
        start = clock()
        function()
        times.append(clock() - start)
    return times


def ProcessFacts():
    """This process's resident size and thread count, as the kernel counts them."""
    facts = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            facts[key] = value.split()
    return {"resident_mib": int(facts["VmRSS"][0]) / 1024.0, "threads": int(facts["Threads"][0])}


class Application(object):
    """A process grown to the size of a big application: `resident_mib` of
    memory that is really resident, and `threads` threads that wait."""

    def __init__(self, resident_mib, threads):
        # bytearray fills itself with zeros, so every page is touched.
        self.ballast = bytearray(resident_mib << 20)
        self.release = threading.Event()
        self.threads = [threading.Thread(target=self.release.wait) for _ in range(threads)]
        for thread in self.threads:
            thread.daemon = True
            thread.start()

    def end(self):
        self.release.set()
        for thread in self.threads:
            thread.join()
        self.ballast = None


class CountingHandler(logging.Handler):

    def __init__(self):
        logging.Handler.__init__(self)
        self.records = 0

    def emit(self, record):
        self.records += 1


def ModuleJob(job, arguments):
    import winsim
    import windows.volumes as volumes

    winsim.use_this_machine()
    log = CountingHandler()
    logger = logging.getLogger("windows.volumes")
    logger.addHandler(log)
    logger.propagate = False
    if job == "module-query":
        path = arguments[0].decode("utf-8") if isinstance(arguments[0], bytes) else arguments[0]
        count, resident_mib, threads = [int(argument) for argument in arguments[1:4]]
        answer = volumes.GetVolumeInformation(path)
        application = Application(resident_mib, threads)
        facts = ProcessFacts()
        times = Timed(lambda: volumes.GetVolumeInformation(path), count)
        application.end()
        return dict(times=times, file_system=answer[4], **facts)
    repeat = int(arguments[0])
    if job == "module-refresh":
        service = volumes.VolumeInfo()
        service.AllVolumeEntries(force_update=True)
        times = Timed(lambda: service.AllVolumeEntries(force_update=True), repeat)
        return dict(times=times, volumes=len(service.AllVolumeEntries()), log_records=log.records)
    if job == "module-table":
        names = volumes._ListVolumeNames()
        times = Timed(volumes._ListVolumeNames, repeat)
        return dict(times=times, volumes=len(names), log_records=log.records)
    raise SystemExit("unknown job %r" % job)


def PsutilJob(job, arguments):
    import psutil

    if job == "psutil-usage":
        path, count = arguments[0], int(arguments[1])
        psutil.disk_usage(path)
        return dict(times=Timed(lambda: psutil.disk_usage(path), count))
    if job == "psutil-refresh":
        found = {}

        def PartitionsAndUsage():
            partitions = psutil.disk_partitions(all=True)
            failures = 0
            for partition in partitions:
                try:
                    psutil.disk_usage(partition.mountpoint)
                except OSError:
                    failures += 1  # covered mounts, and the like
            found.update(partitions=len(partitions), usage_failures=failures)

        PartitionsAndUsage()
        times = Timed(PartitionsAndUsage, int(arguments[0]))
        return dict(times=times, **found)
    raise SystemExit("unknown job %r" % job)


def main():
    job, arguments = sys.argv[1], sys.argv[2:]
    result = (ModuleJob if job.startswith("module-") else PsutilJob)(job, arguments)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
