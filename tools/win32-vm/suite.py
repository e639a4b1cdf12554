"""Runs unittest files one after another in this one interpreter, each as
`python FILE` would run it: as __main__, with FILE as sys.argv[0], to the
sys.exit of its unittest.main. Each file's own lines (unittest's "Ran N
tests" and its verdict) are printed under its name, with every skipped test
and its reason, then a summary.

A file that exits with 77 is skipped as a whole, as CTest's SKIP_RETURN_CODE
has it; any other non-zero exit, or an exception out of the file, fails the
run. Logging handlers that a file installs on the root logger are removed
after it, so that the next file starts as a fresh process would.

Usage: python suite.py FILE...
"""
import logging
import os
import runpy
import sys
import time
import traceback
import unittest
import unittest.runner

SKIP_STATUS = 77


class CountingRunner(unittest.runner.TextTestRunner):
    """unittest.main's runner, keeping each run's result to be counted."""
    results = []

    def run(self, test):
        result = super(CountingRunner, self).run(test)
        CountingRunner.results.append(result)
        return result


def exit_status(code):
    """The process exit status that sys.exit(code) makes."""
    if code is None:
        return 0
    if isinstance(code, (int, long)):
        return code
    sys.stderr.write("%s\n" % (code,))
    return 1


def run_file(path):
    """Runs one file as its own program would run; returns its exit status."""
    saved_argv = sys.argv[:]
    saved_handlers = logging.root.handlers[:]
    sys.argv[:] = [path]
    try:
        runpy.run_path(path, run_name="__main__")
        return 0
    except SystemExit as stop:
        return exit_status(stop.code)
    except BaseException:
        traceback.print_exc()
        return 1
    finally:
        sys.argv[:] = saved_argv
        logging.root.handlers[:] = saved_handlers
        sys.stdout.flush()
        sys.stderr.flush()


def main(paths):
    unittest.runner.TextTestRunner = CountingRunner
    failed, skipped = [], []
    tests_run = tests_skipped = 0
    started = time.time()
    for path in paths:
        name = os.path.basename(path)
        sys.stdout.write("=== %s\n" % name)
        sys.stdout.flush()
        del CountingRunner.results[:]
        status = run_file(path)
        tests_run += sum(result.testsRun for result in CountingRunner.results)
        for result in CountingRunner.results:
            tests_skipped += len(result.skipped)
            for test, reason in result.skipped:
                sys.stdout.write("    skipped %s: %s\n" % (test.id(), reason))
        if status == SKIP_STATUS:
            skipped.append(name)
            sys.stdout.write("=== %s: skipped as a whole\n" % name)
        elif status != 0 or any(not result.wasSuccessful() for result in CountingRunner.results):
            failed.append(name)
            sys.stdout.write("=== %s: FAILED (exit status %d)\n" % (name, status))
        sys.stdout.flush()
    sys.stdout.write("=== %d files in %.0f s: %d passed, %d failed, %d skipped as a whole; "
                     "%d tests ran, %d of them skipped%s\n" % (
                         len(paths), time.time() - started, len(paths) - len(failed) - len(skipped), len(failed),
                         len(skipped), tests_run, tests_skipped,
                         "".join("\n    failed: " + name for name in failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
