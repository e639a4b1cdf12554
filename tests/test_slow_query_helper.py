"""The helper that asks file systems that may not answer, seen from the
application, on the suite's FUSE file system that stops answering
(stalling_fs.py): nothing it starts shows in the application's waits or
signals or takes a pid that the application's children may get; it survives
the application's fork, SIGCHLD settings and its own death; its cost does not
grow with the application; queries share an answer only when they ask the
same question.

Each scenario runs in an interpreter of its own (helper_scenarios.py), which
starts with no child of its own; those about pids in a pid namespace of their
own, where the next pid can be chosen. Needs what test_real_file_systems
needs (root, loop devices, /dev/fuse), whose mount namespace, clean-ups and
skips it shares; docs/this_machine.md describes it.
"""

import ast
import os
import sys
import time

import helper_scenarios as scenarios
import test_real_file_systems as real

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = os.path.join(HERE, "helper_scenarios.py")
ERROR_PATH_NOT_FOUND = 3
ERROR_TOO_MANY_OPEN_FILES = 4
DRIVE_NO_ROOT_DIR = 1
DRIVE_RAMDISK = 6
DRIVE_FIXED_OR_RAM = (3, 6)
ERROR_NOT_READY = 21
ERROR_SEM_TIMEOUT = real.ERROR_SEM_TIMEOUT
TIMEOUT = real.MACHINE_TIMEOUT
AT_ONCE = real.AT_ONCE
# What stalling_fs.py reports: 1000 blocks of 4096 bytes.
STALLING_SIZE = 4096000
# A FUSE query once the helper runs, at any size of the application (it
# takes about 0.2 ms; a fork of a 1 GiB process took 28 ms).
QUERY_LIMIT = 0.005


class SlowQueryHelperTest(real.StallingFileSystemTest):

    test_a_file_system_that_stops_answering = None  # test_real_file_systems runs it

    def scenario(self, name, pid_namespace=False):
        argv = [sys.executable, SCENARIOS, name, self.target, self.control]
        environment = os.environ.copy()
        if pid_namespace:
            # The tools without the sanitizer runtime, the interpreter with it.
            sanitizer = ["%s=%s" % (key, os.environ[key]) for key in real.SANITIZER_VARIABLES if key in os.environ]
            argv = ["unshare", "--pid", "--fork", "--kill-child", "/bin/sh", "-c", '"$@"; exit $?', "sh",
                    "/usr/bin/env"] + sanitizer + argv
            environment = real.tool_environment()
        status, output = real.run(argv, timeout=60, check=False, environment=environment,
                                  preexec_fn=real.die_with_parent)
        lines = [line for line in output.splitlines() if line.startswith("{")]
        self.assertEqual(status, 0, output)
        self.assertTrue(lines, output)
        return ast.literal_eval(lines[-1])

    def test_nothing_in_the_applications_waits_or_signals(self):
        seen = self.scenario("waits")
        self.assertEqual((seen["answered"], seen["timed_out"]), (0, ERROR_SEM_TIMEOUT))
        self.assertEqual(seen["later_answers"], [0] * 10)
        for moment in ("while_stuck", "after"):
            self.assertEqual(seen["children_" + moment], [], moment)
            self.assertEqual(seen["wait_" + moment], "ECHILD", moment)
        self.assertEqual(seen["sigchld"], 0)

    def test_sigchld_ignored(self):
        seen = self.scenario("sigchld-ignored")
        self.assertEqual((seen["timed_out"], seen["answered"]), (ERROR_SEM_TIMEOUT, 0))
        self.assertEqual((seen["children_while_stuck"], seen["children_after"]), ([], []))

    def test_a_child_that_gets_the_pid_the_library_took_first(self):
        for name, outcome in [("exit-status", {"status": 3, "answered": 0}), ("sleeper-survives", {"alive": True})]:
            seen = self.scenario(name, pid_namespace=True)
            self.assertEqual(seen["timed_out"], ERROR_SEM_TIMEOUT, name)
            self.assertTrue(seen["got_the_first_pid"], (name, seen))
            for key, value in outcome.items():
                self.assertEqual(seen[key], value, (name, key, seen))
            self.assertEqual(seen["collected"], [], name)

    def test_a_forked_child_asks_its_own_helper(self):
        seen = self.scenario("forked")
        self.assertEqual((seen["answered"], seen["timed_out"]), (0, ERROR_SEM_TIMEOUT))
        child = seen["child_while_stuck"]
        # Its own question, with its own wait: the parent's stuck one is not its.
        self.assertEqual(child["code"], ERROR_SEM_TIMEOUT)
        self.assertGreaterEqual(child["seconds"], TIMEOUT - 0.5, seen)
        self.assertEqual((seen["helpers"], child["helpers"], child["wait"]), (1, 2, "ECHILD"))
        self.assertEqual(seen["answered_again"], 0)
        self.assertEqual(seen["child_later"], {"code": 0})

    def test_the_helper_killed(self):
        seen = self.scenario("killed")
        self.assertEqual((seen["answered"], seen["helpers"], seen["helper_is_a_child"]), (0, 1, False))
        code, seconds = seen["after_kill"]
        self.assertEqual(code, 0)
        self.assertLess(seconds, AT_ONCE)
        self.assertTrue(seen["another_helper"], seen)
        # Killed while it asks: its thread waits in the kernel until the file
        # system answers, and the question ends with its deadline.
        code, seconds = seen["killed_while_asked"]
        self.assertIn(code, (ERROR_SEM_TIMEOUT, ERROR_NOT_READY))
        self.assertLess(seconds, TIMEOUT + AT_ONCE)
        self.assertEqual(seen["answered_again"], 0)

    def test_the_cost_of_a_query_does_not_grow_with_the_application(self):
        medians = {}
        for name, least_resident in [("cost-small", 0), ("cost-1gib", 1 << 20)]:
            seen = self.scenario(name)
            self.assertGreaterEqual(seen["resident_kib"], least_resident, name)
            self.assertEqual(seen["first"][0], 0, name)
            self.assertIsNotNone(seen["median"], (name, seen))
            self.assertLess(seen["median"], QUERY_LIMIT, (name, seen))
            medians[name] = seen["median"]
        sys.stderr.write("(query %.2f ms at a few MiB, %.2f ms at 1 GiB) " %
                         (medians["cost-small"] * 1e3, medians["cost-1gib"] * 1e3))

    def test_only_the_same_question_shares_an_answer(self):
        seen = self.scenario("sharing")
        # By handle and by path at once: each its own answer.
        self.assertEqual(seen["by_handle"], (0, seen["serial"]))
        self.assertEqual(seen["by_path"][:2], (0, STALLING_SIZE))
        # Directories of one file system: one question, one time-out.
        spellings = seen["spellings"]
        self.assertEqual([code for code, _, _ in spellings], [ERROR_SEM_TIMEOUT] * 4)
        self.assertGreaterEqual(spellings[0][2], TIMEOUT - 0.5)
        for _, _, seconds in spellings[1:]:
            self.assertLess(seconds, AT_ONCE)
        self.assertEqual(seen["spellings_stalled"], 1)
        # The current directory: its file system, wherever it has gone.
        self.assertEqual([code for code, _, _ in seen["current_on_it"]], [ERROR_SEM_TIMEOUT] * 2, seen)
        self.assertEqual([answer[:2] for answer in seen["current_moved"]], [(0, seen["workspace_total"])] * 2)

    def test_a_refresh_asks_a_fuse_volume_once(self):
        seen = self.scenario("refresh")
        self.assertTrue(seen["listed"])
        self.assertEqual(seen["statfs"], 1)

    def test_a_refresh_asks_its_slow_file_systems_side_by_side(self):
        # A second file system that stops answering with the first (one control folder).
        second = self.space.folder("second")
        self.space.fuse([real.PYTHON3, os.path.join(HERE, "stalling_fs.py"), second, self.control, ""], second)
        self.addCleanup(self.release)
        info = real.volumes.VolumeInfo.NewInstance()
        info.AllVolumeEntries(force_update=True)
        self.block()
        time.sleep(2 * real.ANSWER_KEPT)  # the last answers no longer serve
        with real.support.LogCapture() as log:
            start = time.time()
            info.AllVolumeEntries(force_update=True)
            seconds = time.time() - start
        skipped = [record.args[0] for record in log.records
                   if record.msg == "Unable to fetch volume info for %r, skipping."]
        self.assertEqual(sorted(skipped), sorted([unicode(self.target + "/"), unicode(second + "/")]))
        # Both were asked at the first of them: the refresh waits one time-out, not two.
        self.assertTrue(TIMEOUT - 0.5 <= seconds < 2 * TIMEOUT - 0.5, seconds)

    def test_a_fork_while_native_threads_wait(self):
        seen = self.scenario("fork-while-waiting")
        child = seen["child"]
        self.assertIsNotNone(child, "the forked child did not report: it hung")
        # The parent's waiters and their lock are not the child's.
        self.assertLess(seen["fork_seconds"], 0.1)
        for codes, seconds in child["rounds"]:
            self.assertEqual(codes, [0, 0], child)
            self.assertLess(seconds, AT_ONCE, child)
        self.assertEqual(child["stalled"], ERROR_SEM_TIMEOUT)

    def test_questions_that_wait_each_hold_one_thread_of_the_helper(self):
        seen = self.scenario("many-waiting")
        # The daemon sees one lookup at a time in a directory: the other
        # seven wait in the kernel, in the helper.
        self.assertGreaterEqual(seen["stalled"], 1, seen)
        # Each question its own thread, and one more reads on; the main one
        # of them and at most two readers stay.
        [waiting] = seen["while_waiting"]
        self.assertGreaterEqual(waiting, 9, seen)
        [after] = seen["after"]
        self.assertLessEqual(after, 3, seen)
        self.assertEqual(seen["next"], 0)

    def test_an_answer_by_handle_comes_before_the_close_of_its_file(self):
        # The close of the helper's copy sends a flush that is not answered.
        seen = self.scenario("flush-stalled")
        self.assertEqual(seen["by_handle"], 0, seen)
        self.assertLess(seen["seconds"], AT_ONCE, seen)

    def test_a_file_system_past_its_deadline_stays_so_across_table_changes(self):
        seen = self.scenario("past-deadline-across-table-changes")
        self.assertEqual(seen["first"], ERROR_SEM_TIMEOUT)
        self.assertEqual(seen["after"], ERROR_SEM_TIMEOUT)
        # Not asked again: no new time-out, no thread more in the helper.
        self.assertLess(seen["seconds"], AT_ONCE, seen)
        self.assertFalse(seen["threads_grew"], seen)

    def test_the_helper_takes_all_the_descriptors_allowed(self):
        # Each question that waits holds descriptors there: the application's
        # low limit would soon leave a question without its caller's root.
        seen = self.scenario("descriptor-limit")
        self.assertEqual(seen["answered"], 0, seen)
        hard = seen["application"][1]
        self.assertEqual(seen["helper"], [hard, hard], seen)

    def test_the_helper_holds_no_descriptor_of_the_application(self):
        seen = self.scenario("descriptors")
        self.assertEqual(seen["answered"], 0)
        self.assertEqual(seen["helper_files"], ["/dev/null", "socket"])
        # The pipe's other end is nowhere else.
        self.assertTrue(seen["end_of_file"], seen)

    def test_answers_in_the_callers_namespace_and_root(self):
        seen = self.scenario("namespace-and-root")
        self.assertEqual(seen["before"][0], 0, seen)
        self.assertEqual(seen["in_namespace"], (0, 64 << 20))
        self.assertEqual(seen["in_root"], (0, 64 << 20))
        self.assertEqual(seen["missing_in_root"], ERROR_PATH_NOT_FOUND)

    def test_a_directory_that_does_not_exist(self):
        seen = self.scenario("existence")
        self.assertEqual(seen["codes"], [0, ERROR_PATH_NOT_FOUND, 0, ERROR_PATH_NOT_FOUND, 0, ERROR_PATH_NOT_FOUND])

    def test_a_file_system_mounted_where_another_was_a_moment_ago(self):
        # The kernel gives the next tmpfs the device number that the last one
        # freed; the second is asked about within the time an answer is kept.
        kernel32 = scenarios.Kernel32()
        folder = self.space.folder("replaced")
        seen = []
        for megabytes in (8, 16):
            self.space.mount(["-t", "tmpfs", "-o", "size=%dm" % megabytes, "replaced"], folder)
            seen.append((os.stat(folder).st_dev, kernel32.free_space(folder)[:2]))
            real.Workspace.unmount(folder)
        self.assertEqual([answer for _, answer in seen], [(0, 8 << 20), (0, 16 << 20)], seen)

    def test_no_wait_on_a_file_the_library_did_not_open(self):
        # The stalled file system's answers come 8 s later.
        seen = self.scenario("reused-numbers")
        self.assertEqual((seen["first"], seen["numbers"]), (0, 2))
        code, seconds = seen["calls"]
        self.assertIn(seen["drive_type"], DRIVE_FIXED_OR_RAM)
        self.assertEqual(code, 0)
        self.assertLess(seconds, AT_ONCE)
        # Its program under the stalled file system: the start waits there, the caller its time-out.
        seen = self.scenario("program-on-stalled")
        self.assertIn(seen["code"], (ERROR_SEM_TIMEOUT, ERROR_NOT_READY))
        self.assertLess(seen["seconds"], TIMEOUT + AT_ONCE)

    def test_a_forked_child_that_never_calls_holds_nothing_of_the_library(self):
        # After 70 machines, each with a helper of its own, come and gone.
        seen = self.scenario("child-without-calls")
        self.assertEqual((seen["library"], seen["in_child"]), (2, []))

    def test_a_helper_that_never_comes(self):
        seen = self.scenario("helper-never-comes")
        # Three questions at once wait for one start, not for one each.
        self.assertEqual(seen["codes"], [ERROR_SEM_TIMEOUT] * 3)
        self.assertLess(seen["seconds"], TIMEOUT + AT_ONCE)
        code, _, seconds = seen["next"]
        self.assertEqual(code, ERROR_SEM_TIMEOUT)
        self.assertLess(seconds, AT_ONCE)
        self.assertEqual(seen["threads"], 1)

    def test_the_first_child_of_a_new_pid_namespace_is_the_applications(self):
        seen = self.scenario("new-pid-namespace")
        code, _, seconds = seen["question"]
        self.assertEqual(code, ERROR_NOT_READY)
        self.assertLess(seconds, AT_ONCE)
        self.assertEqual(seen["child_pid"], "1")

    def test_an_answer_serves_only_while_it_is_fresh(self):
        seen = self.scenario("late-answer")
        self.assertEqual((seen["timed_out"], seen["hidden"]), (ERROR_SEM_TIMEOUT, ERROR_PATH_NOT_FOUND))
        seen = self.scenario("symbolic-link")
        self.assertEqual(seen["codes"], [0, ERROR_PATH_NOT_FOUND])

    def test_answers_only_under_the_callers_root(self):
        seen = self.scenario("without-descriptors")
        self.assertEqual(seen["first"], (0, 1 << 20))
        self.assertGreater(seen["held"], 0)
        # Without a descriptor for its root the question fails; it is never
        # answered for the namespace the helper started in.
        self.assertIn(seen["answer"], [(0, 1 << 20), (ERROR_TOO_MANY_OPEN_FILES, None)])
        self.assertEqual(seen["after"], (0, 1 << 20))
        # A root within the old root's mount: paths name the new root's at once.
        seen = self.scenario("same-mount-root")
        self.assertEqual(seen, {"before": (DRIVE_NO_ROOT_DIR, DRIVE_RAMDISK), "after": (DRIVE_RAMDISK, DRIVE_NO_ROOT_DIR)})


if __name__ == "__main__":
    real.main()
