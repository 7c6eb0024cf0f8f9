"""Random sequences of operations on one manager (either dispatch, collections sent once or for a
duration), and on a cluster of two parts (also with its worker processes killed or hung), keep the
records consistent and never hang."""

import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition, rule,
                                 run_state_machine_as_test)

import threads_main
from conftest import (NO_CLUSTER_EXTRA, NO_CLUSTER_WHEN_SANITIZED, FastTime, RecordingLog, assert_records, sanitized,
                      shut, wait_until)


# The managers of the machine that is running, for tasks that act on them from inside.
ACTING = {}


def part_task(kind, n=0):
    """What a task does without acting on a manager: all that a cluster's tasks, which run in its
    parts' processes, can do (there, the kinds that act on a manager fail as "raise" does)."""
    if kind == "return":
        return n
    if kind == "sleep":
        time.sleep(0.003)
        return n
    if kind == "exit":
        sys.exit(n)
    raise ValueError(n)


def task(kind, n=0):
    if kind == "submit":  # to a second manager, as a load test's task may
        for _ in range(n + 1):
            ACTING["other"]._send(kind="return", n=n)
        return n
    if kind in ("_stop_all", "_close"):  # from inside a task: the others stop first, then this one
        getattr(ACTING["m"], kind)()
        return n
    if kind == "_stop":  # the earliest dispatched task, perhaps this very one
        ACTING["m"]._stop(ACTING["m"]._var.runs[0])
        return n
    return part_task(kind, n)


KINDS = st.sampled_from(["return", "raise", "sleep", "exit", "submit", "_stop", "_stop_all", "_close"])
NAMES = st.one_of(st.none(), st.sampled_from(["", "a", "b", "Thread_1", "Thread_3", "名前"]))


class ManagerMachine(RuleBasedStateMachine):
    dispatch = "paced"
    duration = None  # a time span: every collection sent is sent again and again for that long

    @initialize()
    def build(self):
        self.patches = [(threads_main, "time", threads_main.time), (threads_main, "BrixelLog", threads_main.BrixelLog),
                        (threading, "excepthook", threading.excepthook)]
        threads_main.time = FastTime()
        threads_main.BrixelLog = RecordingLog
        # Threads that end with an exception: only the expected kinds may appear (checked at teardown).
        self.reports = []
        threading.excepthook = self.reports.append
        self.m = self.make(3, dispatch=self.dispatch, duration=self.duration)
        self.other = threads_main.BrixelThreadsMain(task, 2, dispatch=self.dispatch)
        ACTING.update(m=self.m, other=self.other)

    def make(self, workers, **kwargs):
        return threads_main.BrixelThreadsMain(task, workers, **kwargs)

    def teardown(self):
        m = getattr(self, "m", None)
        try:
            if hasattr(self, "other"):
                shut(self.other)
            if m is not None and not m._is_close():
                # A task may close the manager meanwhile: that ends the wait too.
                def settled():
                    try:
                        return m._get_qsize() == 0 and self.running() == 0 and m._done()
                    except threads_main.ManagerError:
                        return True

                try:
                    if m._is_run() or m._get_qsize():
                        wait_until(settled, timeout=20)
                    # Untimed and done, nothing is on its way: the records agree name by name.
                    if self.duration is None and settled() and not m._is_close():
                        self.check_settled()
                finally:
                    shut(m)  # also when a check fails: an open manager would keep the run from exiting
            if m is not None and m._var.thread_init is not None:
                # Closed by one of its tasks, its control thread may still be ending.
                m._var.thread_init.join(5)
                assert not m._var.thread_init.is_alive()
        finally:
            for module, name, value in getattr(self, "patches", []):
                setattr(module, name, value)
        for report in getattr(self, "reports", []):
            error = report.exc_value
            # A sending thread overtaken by close ends with the closed-manager error; a task thread
            # stopped by close ends with SystemExit. Anything else is a fault.
            closed = type(error) is threads_main.ManagerError and str(error) == "The manager has stopped"
            assert closed or type(error) is SystemExit, report

    def running(self):
        v = self.m._var
        return len(v.runs) - len(v.dones) - len(v.stops)

    def expect_closed(self, call, *args, **kwargs):
        # A task may close the manager at any moment: a refusal is right once it is closed.
        try:
            return call(*args, **kwargs)
        except threads_main.ManagerError as e:
            assert str(e) == "The manager has stopped" and self.m._is_close()
            return None

    @rule(name=NAMES, kind=KINDS, n=st.integers(0, 3))
    def send(self, name, kind, n):
        assert self.expect_closed(self.m._send, name, kind=kind, n=n) in (True, None)

    @rule(kinds=st.lists(KINDS, max_size=4))
    def send_list(self, kinds):
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "_send_list sends nothing from an empty list", RuntimeWarning)
            assert self.m._send_list([{"kind": k} for k in kinds]) is None

    @rule(name=st.sampled_from(["a", "b", "名前", "Thread_1", "Thread_2", "Thread_3", "nobody"]))
    def stop(self, name):
        try:
            self.expect_closed(self.m._stop, name)
        except threads_main.ManagerError:
            raise
        except Exception as e:  # the builtin Exception for unknown or unstarted tasks
            assert type(e) is Exception and str(e) in (f"Task <{name}> does not exist", f"Task <{name}> not running")

    @rule()
    def stop_all(self):
        self.expect_closed(self.m._stop_all)

    # No rule has a precondition on the manager being open: a task may close it at any moment, so
    # that depends on timing, and a replay must draw the same rules.
    @rule()
    def clear_queue(self):
        try:
            assert self.m._clear_queue() is True
        # The queue of a manager that a task closed meanwhile: ValueError, or OSError when the close
        # lands inside the queue's own get.
        except (ValueError, OSError):
            assert self.m._is_close()

    @rule()
    def rerun_failed(self):
        self.expect_closed(self.m._rerun_failed)

    @rule()
    def clear_record(self):
        # Whether it may clear depends on tasks that end on their own between any two calls, so only
        # the form of the answer is checked here; the invariant checks what is left.
        assert self.m._clear_record() in (True, False)

    @rule()
    def join(self):
        # A join waits for the work in hand; with none dispatched since the flags were last reset
        # it would wait for more to come, so it is only tried while there is some (a timing
        # matter, hence tested here and not as a precondition, which must replay exactly).
        if self.m._done() or self.m._is_run():
            assert self.expect_closed(self.m._join) in (True, None)

    @rule()
    def join_timed(self):
        self.m._var.duration = 0.05
        try:
            assert self.expect_closed(self.m._join_property, "brixel_break", 0.2) in (True, None)
        finally:
            self.m._var.duration = self.duration

    @rule(workers=st.integers(-1, 5))
    def set_max_workers(self, workers):
        self.expect_closed(self.m._set_max_workers, workers)

    @rule()
    def close(self):
        self.expect_closed(self.m._close)

    @invariant()
    def records_are_consistent(self):
        if not hasattr(self, "m"):
            return
        counts = self.m._get_run_status()
        assert list(counts) == ["total", "done", "run", "success", "failed", "stop", "cancel"]
        self.check_records()
        assert_records(self.other, settled=False)

    def check_records(self):
        assert_records(self.m, settled=False)

    def check_settled(self):
        assert_records(self.m)


class EagerManagerMachine(ManagerMachine):
    dispatch = "eager"


class TimedManagerMachine(ManagerMachine):
    duration = 0.05


class TimedEagerManagerMachine(ManagerMachine):
    dispatch = "eager"
    duration = 0.05


SETTINGS = settings(max_examples=25, stateful_step_count=15, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))
TestManagerSequences = ManagerMachine.TestCase
TestManagerSequences.settings = SETTINGS
TestEagerManagerSequences = EagerManagerMachine.TestCase
TestEagerManagerSequences.settings = SETTINGS
TestTimedManagerSequences = TimedManagerMachine.TestCase
TestTimedManagerSequences.settings = SETTINGS
TestTimedEagerManagerSequences = TimedEagerManagerMachine.TestCase
TestTimedEagerManagerSequences.settings = SETTINGS


class ClusterMachine(ManagerMachine):
    """The same sequences on a cluster of two parts (on the module's Dask cluster), whose tasks run
    in the parts' processes. Its records are counts merged from the parts: they are checked as
    counts while it runs, and against the statuses once it has settled."""

    client = None

    def make(self, workers, **kwargs):
        from brixel_cluster import BrixelThreadsCluster

        return BrixelThreadsCluster(part_task, workers, address=self.client, **kwargs)

    def check_records(self):
        counts = self.m._get_run_status()
        assert all(type(n) is int and n >= 0 for n in counts.values()), counts

    def check_settled(self):
        statuses = self.m._get_all_status()
        assert set(statuses.values()) <= {"完成", "失败", "停止", "取消"}, statuses
        assert len(statuses) == self.m._get_run_status()["total"], statuses


@pytest.mark.parametrize("dispatch, duration", [("paced", None), ("eager", None), ("eager", 0.05)])
def test_cluster_sequences(dask_client, dispatch, duration):
    import cloudpickle  # a dependency of distributed

    # The task travels to the parts by value: their processes need not import this file.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    machine = type("Machine", (ClusterMachine,), {"client": dask_client, "dispatch": dispatch, "duration": duration})
    run_state_machine_as_test(machine, settings=SETTINGS)


class LostPartMachine(ClusterMachine):
    """The cluster's sequences on an embedded cluster of its own, whose worker processes a rule kills
    or stops (a hung worker) at any step: the parts left go on, every call answers, the run settles
    and the close leaves no process behind."""

    lost_all = "Every part of the cluster has been lost"

    def make(self, workers, **kwargs):
        from brixel_cluster import BrixelThreadsCluster

        return BrixelThreadsCluster(part_task, workers, processes=2, **kwargs)

    # Every sequence loses a part, at a step drawn with it; a rule may signal the other one too.
    @initialize(step=st.integers(0, 10), part=st.integers(0, 1), how=st.sampled_from([signal.SIGKILL, signal.SIGSTOP]))
    def plan(self, step, part, how):
        self.planned, self.steps, self.signalled = (step, part, how), 0, 0

    @invariant()
    def signal_as_planned(self):
        if hasattr(self, "m") and hasattr(self, "planned"):
            step, part, how = self.planned
            if self.steps == step:
                self.signal_worker(part, how)
            self.steps += 1

    @precondition(lambda self: hasattr(self, "m") and self.signalled < 2)
    @rule(part=st.integers(0, 1), how=st.sampled_from([signal.SIGKILL, signal.SIGSTOP]))
    def signal_worker(self, part, how):
        self.signalled += 1
        try:
            os.kill(self.m._parts_info()[part]["pid"], how)
        except ProcessLookupError:
            pass  # that part's process has gone already

    def expect_closed(self, call, *args, **kwargs):
        # Once every part is lost, a submission is refused with its own error.
        def unless_all_lost():
            try:
                return call(*args, **kwargs)
            except threads_main.ManagerError as e:
                if str(e) != self.lost_all:
                    raise
                assert all(p["lost"] for p in self.m._parts_info())
                return None

        return super().expect_closed(unless_all_lost)

    @rule(kinds=st.lists(KINDS, max_size=4))
    def send_list(self, kinds):
        self.expect_closed(super().send_list, kinds)

    def teardown(self):
        import psutil

        # A collection sent once every part was lost ends its sending thread with that error.
        self.reports = [r for r in getattr(self, "reports", []) if str(r.exc_value) != self.lost_all]
        super().teardown()
        if hasattr(self, "m"):
            # Closed, nothing runs: no task is counted running, those of a lost part included.
            counts = self.m._get_run_status()
            assert counts["run"] == counts["done"] + counts["stop"], counts
        left = []
        for _ in range(300):
            left = [p for p in psutil.Process().children(recursive=True) if "resource_tracker" not in " ".join(p.cmdline())]
            if not left:
                break
            time.sleep(0.01)
        for p in left:
            try:
                p.kill()
            except psutil.NoSuchProcess:
                pass
        assert not left, left


LOST_PARTS = """
import sys
import cloudpickle
from hypothesis import settings
from hypothesis.stateful import run_state_machine_as_test
import brixel_cluster.cluster
import test_sequences

if __name__ == "__main__":
    brixel_cluster.cluster._CALL_TIMEOUT = 2.0  # a stopped worker is lost once a call to it has waited this long
    cloudpickle.register_pickle_by_value(test_sequences)
    machine = type("Machine", (test_sequences.LostPartMachine,), {"dispatch": "paced"})
    run_state_machine_as_test(machine, settings=settings(test_sequences.SETTINGS, max_examples=5,
                                                         stateful_step_count=12))
    print("ok")
"""


def test_cluster_sequences_with_parts_lost():
    if sanitized():
        pytest.skip(NO_CLUSTER_WHEN_SANITIZED)
    pytest.importorskip("distributed", reason=NO_CLUSTER_EXTRA)
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONPATH=os.pathsep.join([here, os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", LOST_PARTS], capture_output=True, text=True, timeout=600,
                          env=env, cwd=here)
    assert done.returncode == 0 and done.stdout.strip().endswith("ok"), done.stdout[-3000:] + done.stderr[-5000:]
