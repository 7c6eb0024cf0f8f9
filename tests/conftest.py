"""Shared fixtures: a fast clock, a recording logger, managers that are always closed."""

import collections
import gc
import logging
import os
import threading
import time as real_time

import pytest

import threads_main

# Sleeps requested by the module are scaled by this factor, so a one-second join poll takes 50 ms.
SCALE = 0.05


class FastTime:
    """Stands in for the module's `time`: sleeps are scaled down, everything else is the real clock."""

    def __init__(self, scale=SCALE):
        self.scale = scale
        # The latest requests, bounded for long runs: of every thread, and of the main thread alone.
        self.sleeps = collections.deque(maxlen=1000)
        self.main_sleeps = collections.deque(maxlen=5000)

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if threading.current_thread() is threading.main_thread():
            self.main_sleeps.append(seconds)
        real_time.sleep(seconds * self.scale)

    def slept(self):
        """The sleeps that the main thread requested, in order."""
        return list(self.main_sleeps)

    def __getattr__(self, name):
        return getattr(real_time, name)


class RecordingLog:
    """Stands in for BrixelLog: keeps every call as (level, message), the message object as given."""

    instances = []

    def __init__(self, title, file=False, control=False):
        self.title, self.file, self.control = title, file, control
        self.lines = []
        self._lock = threading.Lock()
        RecordingLog.instances.append(self)

    def _add(self, level, message):
        with self._lock:
            self.lines.append((level, message))

    def info(self, message):
        self._add("info", message)

    def debug(self, message):
        self._add("debug", message)

    def warning(self, message):
        self._add("warning", message)

    def texts(self, level=None):
        return [m for lv, m in list(self.lines) if level is None or lv == level]


class Paused(list):
    """A collection whose iteration pauses at the given positions: a sending pass slower than its
    tasks, which have all ended whenever it pauses."""

    def __init__(self, items, at, seconds=0.05):
        super().__init__(items)
        self.at, self.seconds = at, seconds

    def __iter__(self):
        for i, element in enumerate(list.__iter__(self)):
            if i in self.at:
                real_time.sleep(self.seconds)
            yield element


def wait_until(predicate, timeout=10.0, interval=0.002):
    """Polls `predicate` until it is true; fails the test after `timeout` seconds."""
    deadline = real_time.monotonic() + timeout
    while not predicate():
        if real_time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        real_time.sleep(interval)


WORDS = {"待运行", "运行中", "完成", "失败", "取消", "停止"}


def assert_records(m, settled=True):
    """Every name in `totals` is in exactly one of `dones`, `stops`, `cancels`, the queue (waiting) or
    the running set, and the running count is the size of that set. Names run more than once (put
    back by a re-run) are left out. With `settled`, the statuses agree and the queue holds exactly
    the waiting names (while the manager is open)."""
    v = m._var
    # The lists a task moves on to are read first, so a task that moves on between two reads is
    # seen in its later place only.
    dones, stops, cancels = list(v.dones), list(v.stops), list(v.cancels)
    runs, totals = list(v.runs), list(v.totals)
    done_set, stop_set, cancel_set, run_set = set(dones), set(stops), set(cancels), set(runs)
    run_counts, done_counts = collections.Counter(runs), collections.Counter(dones)
    # A finished task put back by a re-run may run, be stopped or be cancelled once more.
    again = {n for n, k in run_counts.items() if k > 1} | {n for n, k in done_counts.items() if k > 1}
    again |= done_set & (stop_set | cancel_set)
    assert len(stop_set) == len(stops)
    # Counted with repeats: a task put back by a re-run is dispatched, and finishes, once more.
    running = run_counts - done_counts - collections.Counter(stops)
    assert len(runs) - len(dones) - len(stops) == sum(running.values()) >= 0
    statuses = m._get_all_status() if settled else {}
    waiting = 0
    for name in totals:
        if name in again:
            continue
        places = [name in done_set, name in stop_set, name in cancel_set, name in run_set and name in running,
                  name not in run_set and name not in cancel_set]
        assert sum(places) == 1, (name, places)
        waiting += places[4]
        if settled:
            expected = [{"完成", "失败"}, {"停止"}, {"取消"}, {"运行中"}, {"待运行"}][places.index(True)]
            assert statuses[name] in expected, (name, statuses[name])
    assert set(statuses.values()) <= WORDS
    if settled and not m._is_close():
        assert m._get_qsize() == waiting


def close_twice_at_once(m, second=None):
    """Runs `m._close()` and `second` (another `_close` by default) on two threads that have both
    passed the open check before either goes on; the second goes on once the first has turned the
    switch off. Returns their outcomes in that order: a result, or a ManagerError's text."""
    check, meeting, outcomes = m._check_while, threading.Barrier(2), [None, None]

    def check_then_meet():
        check()
        meeting.wait(5)
        if threading.current_thread() is closers[1]:
            wait_until(m._is_close, timeout=5)

    def run(i, call):
        try:
            outcomes[i] = call()
        except threads_main.ManagerError as e:
            outcomes[i] = str(e)

    m._check_while = check_then_meet
    closers = [threading.Thread(target=run, args=(i, call)) for i, call in enumerate([m._close, second or m._close])]
    for t in closers:
        t.start()
    for t in closers:
        t.join(30)
    del m._check_while
    return outcomes


def shut(manager):
    """Closes a manager (if still open) and waits for its control thread to end."""
    if not manager._is_close():
        try:
            manager._close()
        except NotImplementedError:
            manager._var.switch = False
        except threads_main.ManagerError:
            assert manager._is_close()  # closed meanwhile, by one of its tasks
    if manager._var.thread_init is not None:  # a cluster has none
        manager._var.thread_init.join(5)


@pytest.fixture
def fast_time(monkeypatch):
    clock = FastTime()
    monkeypatch.setattr(threads_main, "time", clock)
    return clock


@pytest.fixture
def recording_log(monkeypatch):
    monkeypatch.setattr(threads_main, "BrixelLog", RecordingLog)
    return RecordingLog


def pytest_configure(config):
    config.addinivalue_line("markers", "paced_only: the test is about the paced control loop itself")


@pytest.fixture(params=["paced", "eager"])
def dispatch(request):
    """Both ways of starting work: the behaviour tested holds in each, unless marked paced_only."""
    if request.param == "eager" and request.node.get_closest_marker("paced_only"):
        pytest.skip("about the paced control loop")
    return request.param


@pytest.fixture
def tracked_threads(monkeypatch):
    """Every thread the module creates (control, task and sending threads); `runs_tasks` tells the
    eager task threads."""
    made = []

    class Tracked(threading.Thread):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.runs_tasks = getattr(kwargs.get("target"), "__name__", "") == "_run_tasks"
            made.append(self)

    monkeypatch.setattr(threads_main, "Thread", Tracked)
    return made


class AtOnce:
    """A task that sleeps `seconds` and counts how many of its calls run at once: `peak` is the most."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.running = self.peak = 0
        self.lock = threading.Lock()

    def __call__(self):
        with self.lock:
            self.running += 1
            self.peak = max(self.peak, self.running)
        real_time.sleep(self.seconds)
        with self.lock:
            self.running -= 1


class HeldStart:
    """The first paced task thread after `skip` others, held before its worker begins until `gate`
    opens: `thread` is that thread once it waits, and `raised` what any task thread's run let out."""

    def __init__(self):
        self.thread = None
        self.skip = 0
        self.gate = threading.Event()
        self.raised = []


@pytest.fixture
def held_start(monkeypatch):
    held = HeldStart()

    class Held(threading.Thread):
        def run(self):
            if isinstance(self._target, threads_main._Worker) and held.thread is None:
                if held.skip:
                    held.skip -= 1
                else:
                    held.thread = self
                    held.gate.wait(5)
            try:
                super().run()
            except BaseException as e:
                held.raised.append(e)

    monkeypatch.setattr(threads_main, "Thread", Held)
    return held


@pytest.fixture
def make_manager(fast_time, recording_log, dispatch):
    """Builds managers with a fast clock and a recording logger; closes them all afterwards."""
    made = []

    def make(func=lambda **kw: kw, *args, **kwargs):
        kwargs.setdefault("dispatch", dispatch)
        manager = threads_main.BrixelThreadsMain(func, *args, **kwargs)
        made.append(manager)
        return manager

    yield make
    for manager in made:
        shut(manager)


def sanitized():
    """Whether this run has the sanitizer runtimes preloaded."""
    return "asan" in os.environ.get("LD_PRELOAD", "")


NO_CLUSTER_WHEN_SANITIZED = ("the sanitizer run hosts no Dask worker processes: they would each load the "
                             "instrumented runtimes; the cluster is tested by the plain run")
NO_CLUSTER_EXTRA = 'the cluster extra is not installed: pip install "threads_main[cluster]"'


@pytest.fixture(scope="module")
def dask_client():
    """One embedded Dask cluster of 2 worker processes for the module: runs put their parts on it
    (address=client), which is what starting one per run would do, without the wait."""
    if sanitized():
        pytest.skip(NO_CLUSTER_WHEN_SANITIZED)
    distributed = pytest.importorskip("distributed", reason=NO_CLUSTER_EXTRA)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=":0", silence_logs=logging.ERROR)
    client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()
    cluster.close()
    # Dask's leftovers are collected now, not in a later test's task thread, where a stop could
    # land in one of their weakref callbacks.
    gc.collect()
