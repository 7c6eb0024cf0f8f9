"""The join loops and the progress summary lines."""

import itertools
import threading
import time as real_time

import pytest

import threads_main
from conftest import FastTime, shut, wait_until


class Recorded(threads_main.BrixelThreadsMain):
    """Stop-all is counted; the run status may be pinned to a marker object."""

    stopped = 0
    snapshot = None

    def _stop_all(self):
        self.stopped += 1
        return True

    def _get_run_status(self):
        return self.snapshot or super()._get_run_status()


@pytest.fixture
def make(make_manager):
    made = []
    yield lambda: made.append(Recorded(lambda **kw: kw)) or made[-1]
    for m in made:
        shut(m)


def fill(m, total=0, done=0, failed=0, all_time=0, min_time=0, max_time=0):
    m._var.totals.extend([None] * total)
    m._var.dones.extend([None] * done)
    m._var.failed.extend([None] * failed)
    m._var.all_time, m._var.min_time, m._var.max_time = all_time, min_time, max_time


def join_sleeps(clock):
    return clock.slept()  # the joins run on the main thread


def summaries(m):
    return [t for t in m._log.texts("info") if isinstance(t, str) and t.startswith("summary")]


@pytest.mark.parametrize("now, elapsed, start, old, stored, expected", [
    # a caller's plain mapping carries no run-time sum: the interval mean falls back to the cumulative one
    (130.7, 125.5, 100.0, (80, 40, 1), dict(total=100, done=52, failed=4, all_time=600, min_time=12, max_time=480),
     ["summary +     12 in 00:00:05 =    2.3/s Avg:    11 Min:    12 Max:   480 Err:     3 (25.00%)",
      "summary =     52 in 00:00:30 =    1.7/s Avg:    11 Min:    12 Max:   480 Err:     4 (7.69%)"]),
    # zero lengths: 0.0 throughput, no division by zero
    (100.0, 100.0, 100.0, (0, 0, 0), dict(total=0, done=5),
     ["summary +      5 in 00:00:00 =    0.0/s Avg:     0 Min:     0 Max:     0 Err:     0 (0.00%)",
      "summary =      5 in 00:00:00 =    0.0/s Avg:     0 Min:     0 Max:     0 Err:     0 (0.00%)"]),
    # 25 h 1 min 1.9 s wraps to 01:01:01; values wider than their field are printed whole
    (1e5, 1e5 - 90061.9, 1e5 - 90061.9, (0, 0, 0),
     dict(total=1234567, done=1234567, failed=1234567, all_time=9 * 1234567, min_time=123456, max_time=7654321),
     ["summary + 1234567 in 01:01:01 =   13.7/s Avg:     9 Min: 123456 Max: 7654321 Err: 1234567 (100.00%)",
      "summary = 1234567 in 01:01:01 =   13.7/s Avg:     9 Min: 123456 Max: 7654321 Err: 1234567 (100.00%)"]),
    # lists cleared during a join: a negative count still writes the lines, with no share or mean
    (10.0, 8.0, 0.0, (0, 4, 0), dict(total=0, done=2, failed=1, all_time=50),
     ["summary +     -2 in 00:00:02 =   -1.0/s Avg:     0 Min:     0 Max:     0 Err:     1 (0.00%)",
      "summary =      2 in 00:00:10 =    0.2/s Avg:    25 Min:     0 Max:     0 Err:     1 (50.00%)"]),
    # the clock set back an hour since the previous line and since the start: both spans read 00:00:00
    (100.0, 3700.0, 3650.0, (0, 0, 0), dict(total=3, done=3, all_time=30, min_time=5, max_time=20),
     ["summary +      3 in 00:00:00 =    0.0/s Avg:    10 Min:     5 Max:    20 Err:     0 (0.00%)",
      "summary =      3 in 00:00:00 =    0.0/s Avg:    10 Min:     5 Max:    20 Err:     0 (0.00%)"]),
], ids=["plain-snapshot", "zero-lengths", "wrap-and-wide", "negative-count", "clock-set-back"])
def test_summary_lines(make, monkeypatch, now, elapsed, start, old, stored, expected):
    monkeypatch.setattr(threads_main, "time", FastTime())
    threads_main.time.time = lambda: now
    m = make()
    m.snapshot = {"marker": 1}
    fill(m, **stored)
    old = dict(zip(["total", "done", "failed"], old))
    assert m._join_property_log(old, elapsed, start) == (m.snapshot, now)
    assert m._log.texts("info") == expected


def test_worked_example_from_a_carried_snapshot(make, monkeypatch):
    # The 40 tasks before the previous line ran 420 ms in all, the 12 since then 180 ms: 15 ms each.
    monkeypatch.setattr(threads_main, "time", FastTime())
    m = make()
    fill(m, total=80, done=40, failed=1, all_time=420, min_time=12, max_time=480)
    threads_main.time.time = lambda: 125.5
    snapshot, elapsed = m._join_property_log({"total": 0, "done": 0, "failed": 0}, 100.0, 100.0)
    assert snapshot == {"total": 80, "done": 40, "run": 0, "success": 0, "failed": 1, "stop": 0, "cancel": 0}
    assert list(snapshot) == list(m._get_run_status()) and elapsed == 125.5
    fill(m, total=20, done=12, failed=3, all_time=600, min_time=12, max_time=480)
    threads_main.time.time = lambda: 130.7
    assert m._join_property_log(snapshot, elapsed, 100.0)[1] == 130.7
    assert m._log.texts("info")[2:] == [
        "summary +     12 in 00:00:05 =    2.3/s Avg:    15 Min:    12 Max:   480 Err:     3 (25.00%)",
        "summary =     52 in 00:00:30 =    1.7/s Avg:    11 Min:    12 Max:   480 Err:     4 (7.69%)"]


def test_final_share_is_failures_over_completed_tasks(make_manager, fast_time):
    # The first 30 calls complete (every fourth raises after 20 ms); the later ones hold until the
    # end, so 40 tasks are submitted while 30 complete.
    completed, failing, gate, lock, calls = 30, 8, threading.Event(), threading.Lock(), itertools.count()

    def task():
        with lock:
            k = next(calls)
        if k >= completed:
            while not gate.wait(0.005):
                pass
        elif k % 4 == 0:
            real_time.sleep(0.02)
            raise ValueError(k)

    m = make_manager(task, 3)
    for _ in range(completed + 10):
        m._send()

    def stop_once_completed():
        wait_until(lambda: len(m._var.dones) == completed)
        m._var.stop_switch = True

    helper = threading.Thread(target=stop_once_completed)
    helper.start()
    try:
        assert m._join_property("brixel_break", 1) is True
    finally:
        gate.set()
        helper.join(5)
    final = summaries(m)[-1]
    mean = m._var.all_time // completed
    assert len(m._var.failed) == failing and m._var.max_time >= 20  # the raising tasks were timed
    assert final.startswith(f"summary =     {completed} in ") and f"/s Avg: {mean:>5} Min:" in final
    assert final.endswith(f"Err:     {failing} ({failing / completed * 100:.2f}%)")  # 26.67 %, not 8 of 40


def test_no_completion_returns_the_same_objects(make_manager):
    m = make_manager()
    fill(m, total=5, done=2)
    old, elapsed = {"total": 0, "done": 2, "failed": 0}, 1234.5
    result = m._join_property_log(old, elapsed, 1000.0)
    assert result[0] is old and result[1] is elapsed and m._log.texts() == []


def test_join_on_finished_work(make_manager, fast_time):
    m = make_manager()
    m._var.done = True
    assert m._join() is True
    lines = m._log.texts("info")
    assert lines[0] == "Join......" and lines[3] == "Join complete" and len(lines) == 4
    assert lines[1] == lines[2] == m._get_run_status() and type(lines[1]) is dict
    assert 0 < sum(join_sleeps(fast_time)) < 0.1  # one look, not a whole second


def test_work_ending_during_a_poll_is_reported(make_manager, fast_time):
    m = make_manager()
    fill(m, total=3)
    m._var.runs.extend("abc")  # three tasks running, as far as the counters tell

    def finish():
        wait_until(lambda: len(join_sleeps(fast_time)) >= 2)
        m._var.dones.extend("abc")
        m._var.done = True

    worker = threading.Thread(target=finish)
    worker.start()
    assert m._join_property("brixel_break", 1) is True
    worker.join(5)
    assert [t[:16] for t in summaries(m)] == ["summary +      3", "summary =      3"]


JOINS = {"join": lambda m, *a: m._join(*a), "property": lambda m, *a: m._join_property(*a, interval=1)}


@pytest.mark.parametrize("kind, args, stored", [
    ("join", (), "kept"), ("join", (None,), None), ("property", (None,), None), ("property", (0,), 0),
    ("join", ("brixel_break",), "kept"), ("property", ("brixel_break",), "kept"),
    ("join", (type("Text", (str,), {"__ne__": lambda s, o: True})("brixel_break"),), "kept"),
    ("property", (type("Same", (), {"__ne__": lambda s, o: False})(),), "kept"),
])
def test_break_result_recording(make_manager, kind, args, stored):
    m = make_manager()
    m._var.break_result, m._var.done = "kept", True
    assert JOINS[kind](m, *args) is True
    assert m._var.break_result == stored


@pytest.mark.parametrize("kind", JOINS)
@pytest.mark.parametrize("done", [False, True])
def test_stop_switch_ends_the_join_with_stop_all(make, kind, done):
    m = make()
    m._var.done, m._var.stop_switch = done, True
    assert JOINS[kind](m, "brixel_break") is True
    assert m.stopped == 1 and m._log.texts("info")[-2:] == ["Join stop all......", "Join complete"]


def test_timed_mode_runs_to_its_duration(make, fast_time):
    m = make()
    m._var.done, m._var.stop_switch, m._var.duration = True, True, 0.2
    began = real_time.time()
    m._join_property("brixel_break", 1)
    assert real_time.time() - began > 0.2 and len(join_sleeps(fast_time)) >= 2
    assert m.stopped == 1 and summaries(m) == []


class VirtualTime(FastTime):
    """A clock that only the sleeps move: each requested second passes at once."""

    def __init__(self):
        super().__init__(scale=0)
        self.now = 1000.0

    def sleep(self, seconds):
        super().sleep(seconds)
        self.now += seconds

    def time(self):
        return self.now


def test_timed_mode_ends_at_its_duration_not_at_its_next_line(make, monkeypatch):
    clock = VirtualTime()
    monkeypatch.setattr(threads_main, "time", clock)
    m = make()
    m._var.duration = 1.2
    m._join_property("brixel_break", 5)
    assert sum(join_sleeps(clock)) < 1.3  # not the 5 s of its interval


def test_a_duration_of_nan_set_during_a_timed_join_ends_it(make_manager):
    # As the timed submission takes it: the window is over, rather than never reached.
    m = make_manager()
    m._var.duration = 60
    returned = threading.Event()
    joiner = threading.Thread(target=lambda: m._join_property("brixel_break", 0.01) and returned.set(), daemon=True)
    joiner.start()
    wait_until(lambda: m._log.texts("info")[:1] == ["Join......"])
    m._var.duration = float("nan")
    assert returned.wait(5)


def test_a_timed_batch_can_be_cleared_as_soon_as_its_join_and_a_stop_all_return(make_manager):
    # As a load test that steps its load does: the sending thread's window opens a moment after
    # the join's, and its hold on the batch must have ended by the time the join returns.
    def brief():
        real_time.sleep(0.001)

    for _ in range(5):
        m = make_manager(brief, 4, duration=0.05)
        m._send_list([{} for _ in range(20)])
        m._join_property("brixel_break", 0.02)
        m._stop_all()
        assert m._clear_record() is True and m._get_run_status()["total"] == 0
        shut(m)


def test_the_looks_thin_out_as_a_join_waits_but_a_deadline_is_met_on_time(make, monkeypatch):
    # Each look takes the interpreter lock from the batch's threads: a long wait looks less often.
    clock = VirtualTime()
    monkeypatch.setattr(threads_main, "time", clock)
    m = make()
    began = clock.now
    m._done = lambda: clock.now >= began + 30  # the work ends after 30 s
    m._join()
    slices = join_sleeps(clock)
    assert slices[:200] == pytest.approx([0.005] * 200)  # every 5 ms while the wait is short
    assert max(slices) == pytest.approx(0.05) and len(slices) < 1100  # not 6,000 looks
    assert 29.999 < sum(slices) < 30.05  # the end is noticed within one slice

    # Timed: the last slice ends just past the deadline, however long the slices before it.
    clock.main_sleeps.clear()
    m._var.duration = 2.97
    m._join_property("brixel_break", 5)
    slices = join_sleeps(clock)
    assert max(slices) == pytest.approx(0.05) and len(slices) < 70
    assert 2.97 < sum(slices) <= 2.972


def test_closed_manager(make_manager):
    m = make_manager()
    m._var.switch = False
    for join in (lambda: m._join(None), lambda: m._join_property(None, 1)):
        with pytest.raises(threads_main.ManagerError, match="The manager has stopped"):
            join()
    # (A paced control loop whose pass was under way as the switch went off logs a Run error.)
    assert [t for t in m._log.texts() if not str(t).startswith("Run error")] == []
    assert m._var.break_result is None
    assert m._join_log() is None and m._log.texts("info") == [m._get_run_status()]


def test_join_returns_promptly_after_the_last_task(make_manager):
    # A long interval (300 s of requested sleep, 15 s here): the join returns as the batch ends, not
    # at its next line. Waited for on an event, with room to spare for a busy machine.
    gate, returned = threading.Event(), threading.Event()
    m = make_manager(lambda: gate.wait(10), 2)
    m._send(), m._send()
    joiner = threading.Thread(target=lambda: m._join_property("brixel_break", 300) and returned.set(), daemon=True)
    joiner.start()
    wait_until(lambda: m._log.texts("info")[:1] == ["Join......"] and m._var.runs == ["Thread_1", "Thread_2"])
    gate.set()
    assert returned.wait(5)
    assert summaries(m)[-1].startswith("summary =      2 in ")


def test_last_line_rate_over_the_true_span(make_manager):
    # A batch that ends well inside an interval: the last line counts only the time it ran.
    ended = []

    def task():
        real_time.sleep(0.02)
        ended.append(real_time.time())

    m = make_manager(task, 4)
    for _ in range(60):
        m._send()
    began = real_time.time()
    assert m._join_property("brixel_break", 3) is True
    final = summaries(m)[-1]
    count, rate = int(final.split()[2]), float(final.split("=")[2].split("/s")[0])
    assert count == 60 and rate == pytest.approx(60 / (max(ended) - began), rel=0.05)


class InterruptedStore(threads_main.BrixelVar):
    """A store whose Python code reads `switch`: a Ctrl-C can land in that read once it is armed."""

    armed = False

    def __getattribute__(self, name):
        if name == "switch" and InterruptedStore.armed and threading.current_thread() is threading.main_thread():
            InterruptedStore.armed = False
            raise KeyboardInterrupt
        return super().__getattribute__(name)


@pytest.mark.parametrize("join", [lambda m: m._join(), lambda m: m._join_property("brixel_break", 300)],
                         ids=["join", "join_property"])
def test_a_ctrl_c_in_the_joins_look_at_the_switch_ends_the_join(make_manager, monkeypatch, join):
    monkeypatch.setattr(threads_main, "BrixelVar", InterruptedStore)
    gate = threading.Event()
    m = make_manager(lambda: gate.wait(10), 2)
    m._send()
    timer = threading.Timer(0.2, lambda: setattr(InterruptedStore, "armed", True))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            join(m)
        assert not InterruptedStore.armed and not m._done()
    finally:
        timer.join()
        InterruptedStore.armed = False
        gate.set()
