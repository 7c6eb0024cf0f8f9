"""The worker: outcome recording, break-result classification, timing figures."""

import gc
import sys
import threading
import time as real_time
import weakref

import pytest

import threads_main
from brixel_var import BrixelVar
from conftest import wait_until

FAILED, DONE = "失败", "完成"


def raise_(error):
    raise error


class Clock:
    """Stands in for the module's `time`: each time() returns the next value of a script."""

    def __init__(self, *values):
        self.values = list(values)

    def time(self):
        return self.values.pop(0)


def make_store(func, reserve=True, break_result=None, store=BrixelVar):
    var = store(func=func, reserve=reserve)
    var.add(threads=BrixelVar(), min_time=0, max_time=0, all_time=0, dones=[], success=[], failed=[])
    if break_result is not None:
        var.break_result = break_result
    return var


def run(var, name="t", **kwargs):
    """Creates the task's entry and runs its worker in the calling thread."""
    var.threads.set(name, value={"thread": object(), "result": None, "status": "待运行"})
    worker = threads_main._Worker(var, name, None, **kwargs)
    assert worker.start() is None
    return var.threads.get(name), worker


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3, 4), {}, "takes 4 positional arguments but 5 were given"),
        ((), {}, "missing 3 required positional arguments: 'brixel_var', 'brixel_name', and 'brixel_log'"),
        ((1, 2, 3), {"brixel_name": 4}, "got multiple values for argument 'brixel_name'"),
        ((1, 2, 3), {"self": 4}, "got multiple values for argument 'self'"),
    ],
)
def test_constructor_binds_like_a_def(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        threads_main._Worker(*args, **kwargs)


def test_returned_task_is_completed_and_sees_a_copy_of_its_keywords():
    def func(**kw):
        kw["x"] = "changed"
        return kw

    var = make_store(func)
    entry, worker = run(var, x=21)
    assert (worker.var, worker.brixel_name, worker._log, worker.kwargs) == (var, "t", None, {"x": 21})
    assert (entry.status, entry.result, entry.thread) == (DONE, {"x": "changed"}, None)
    assert (var.success, var.failed, var.dones) == (["t"], [], ["t"])
    times = (var.min_time, var.max_time, var.all_time)
    assert all(type(t) is int for t in times) and times[0] == times[1] == times[2] >= 0


@pytest.mark.parametrize(
    "func, error",
    [
        (lambda: 1 / 0, ZeroDivisionError),
        (5, TypeError),  # not callable
        (lambda: sys.exit(3), SystemExit),
        (lambda: raise_(KeyboardInterrupt), KeyboardInterrupt),
    ],
)
def test_failed_task_records_its_error_and_can_run_again(func, error):
    var = make_store(func)
    entry, worker = run(var)
    assert entry.status == FAILED and type(entry.result) is error and entry._worker is worker
    assert (var.success, var.failed, var.dones, entry.thread) == ([], ["t"], ["t"], None)
    times = (var.min_time, var.max_time, var.all_time)  # a run that raised is timed too
    assert all(type(t) is int for t in times) and times[0] == times[1] == times[2] >= 0
    var.func = lambda: "again"
    worker.start()
    assert (entry.status, entry.result, var.dones, var.success) == (DONE, "again", ["t", "t"], ["t"])


@pytest.mark.parametrize("func", [lambda: 7, lambda: 1 / 0])
def test_reserve_false_keeps_result_none(func):
    entry, _ = run(make_store(func, reserve=False))
    assert entry.result is None and entry.status in (DONE, FAILED)


class ListSub(list):
    pass


@pytest.mark.parametrize(
    "break_result, returned, listed",
    [
        ([None, False], None, "failed"),
        ([None, False], 0, "failed"),  # 0 == False
        (ListSub([1]), 1, "failed"),
        ({1, 2}, 2, "failed"),
        ((3,), 4, "success"),
        ("abc", "abc", "failed"),
        ("abc", "abcd", "success"),  # equality, not substring
        (frozenset({1}), 1, "success"),  # not a list, set or tuple: compared with ==
        (0, 0, "success"),  # a false break result never matches
        (None, None, "success"),
    ],
)
def test_break_result_classifies_returned_tasks(break_result, returned, listed):
    var = make_store(lambda: returned, break_result=break_result)
    entry, _ = run(var)
    assert entry.status == DONE and entry.result == returned
    assert getattr(var, listed) == ["t"] and var.dones == ["t"]


class NoTruth:
    def __bool__(self):
        raise ValueError("no single truth value")


class BadEq:
    __hash__ = None

    def __eq__(self, other):
        return NoTruth()


@pytest.mark.parametrize("break_result, returned, error", [({1}, [1], TypeError), ("x", BadEq(), ValueError)])
def test_failing_break_test_makes_the_task_failed(break_result, returned, error):
    var = make_store(lambda: returned, break_result=break_result)
    entry, _ = run(var)
    assert entry.status == FAILED and type(entry.result) is error
    assert (var.failed, var.success, var.dones) == (["t"], [], ["t"])


def test_a_reserve_without_a_truth_value_fails_its_tasks_and_the_batch_ends(make_manager):
    # Its test raises on the way to the result and again while the failure is recorded: each task
    # still ends, keeps no result and frees its place, so more tasks than the limit all run.
    m = make_manager(lambda x: x if x != "boom" else 1 / 0, 2, reserve=NoTruth())
    m._send_list([{"x": x} for x in (1, "boom", 3, 4, 5)])
    m._join_property(None, 0.01)
    assert m._get_run_status() == {"total": 5, "done": 5, "run": 5, "success": 0, "failed": 5, "stop": 0,
                                   "cancel": 0}
    assert {(r["status"], r["result"]) for r in m._get_all_result()["data"]} == {(FAILED, None)}


def test_keywords_kept_compact_read_assigned_and_deleted():
    seen = []
    var = make_store(lambda **kw: seen.append(kw))
    var.threads.set("t", value={"thread": None, "result": None, "status": "待运行"})
    W = threads_main._Worker
    # Submission builds workers with the call's own names; several values, one, and none.
    for kw in ({"a": 1, "b": (2,)}, {"a": (1, 2)}, {}):
        worker = W(var, "t", None, **kw)
        worker()
        assert seen.pop() == kw and worker.kwargs == kw
    worker = W(var, "t", None, a=1)
    read = worker.kwargs
    assert worker.kwargs is read  # the first read builds the dict; later reads see the same one
    read["a"] = 2
    worker.start()
    assert seen.pop() == {"a": 2}
    worker.kwargs = {"z": 0}
    worker.start()
    assert seen.pop() == {"z": 0}
    del worker.kwargs
    with pytest.raises(AttributeError, match="kwargs"):
        worker.kwargs
    with pytest.raises(AttributeError):
        del worker.kwargs
    worker.extra = 5  # an attribute of the caller's own goes to the instance dict
    assert vars(worker) == {"extra": 5}


def test_worker_is_its_threads_target_and_calls_start_through_self():
    var = make_store(lambda: "plain")
    var.threads.set("t", value={"thread": None, "result": None, "status": "待运行"})
    calls = []

    class Counted(threads_main._Worker):
        def start(self):
            calls.append(self.brixel_name)
            return super().start()

    worker = Counted(var, "t", None)
    thread = threading.Thread(target=worker)
    assert thread.name.endswith(" (start)")
    thread.start()
    thread.join()
    assert calls == ["t"] and var.threads.get("t").result == "plain"
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        worker(1)


class OwnWorker:
    """A worker class of the caller's, put in place of ours: the task's run as the store records it."""

    def __init__(self, brixel_var, brixel_name, brixel_log, **kwargs):
        self.var, self.brixel_name, self.kwargs = brixel_var, brixel_name, kwargs

    def start(self):
        var, name = self.var, self.brixel_name
        var.threads.get(name).status = "运行中"
        entry = var.threads.get(name)
        entry.result, entry.status, entry.thread = var.func(**self.kwargs), "完成", None
        var.success.append(name)
        var.dones.append(name)


def test_a_worker_class_put_in_place_of_ours_runs_the_tasks(make_manager, monkeypatch):
    monkeypatch.setattr(threads_main, "_Worker", OwnWorker)
    m = make_manager(lambda x: x * 2, 2)
    m._send("a", x=1)
    wait_until(m._done)
    assert m._get_all_result()["data"] == [{"task": "a", "result": 2, "status": "完成"}]


def test_timing_fields_treat_zero_as_unset(monkeypatch):
    # Elapsed times of 0, 125 and 500 ms; then 0 ms, which leaves the minimum that is set alone, and
    # a clock set back 1 s, which counts as 0 ms; then a failure of 250 ms, which counts too; then a
    # failure whose end the clock cannot read, which keeps its own error and leaves the figures alone.
    monkeypatch.setattr(threads_main, "time", Clock(3000.0, 3000.0, 4000.0, 4000.125, 1000.0, 1000.5, 7000.0,
                                                    7000.0, 8000.0, 7999.0, 5000.0, 5000.25, 6000.0))
    var = make_store(lambda: None)
    expected = {"a": (0, 0, 0), "b": (125, 125, 125), "c": (125, 500, 625), "zero": (125, 500, 625),
                "back": (125, 500, 625)}
    for name, times in expected.items():
        run(var, name)
        assert (var.min_time, var.max_time, var.all_time) == times
    var.func = lambda: 1 / 0
    run(var, "d")
    assert (var.min_time, var.max_time, var.all_time) == (125, 500, 875)
    run(var, "e")
    assert (var.min_time, var.max_time, var.all_time) == (125, 500, 875)
    assert type(var.threads.get("e").result) is ZeroDivisionError and var.failed == ["d", "e"]


@pytest.mark.parametrize("replaced", ["function", "module"])
def test_run_times_follow_the_clock_however_it_is_replaced(monkeypatch, replaced):
    # The time module's own function, replaced on the module itself, or the module-level name, and
    # put back: each run reads the clock that is in place when it runs.
    run(make_store(lambda: None), "real")
    script = Clock(2000.0, 2000.25, 3000.0, 3000.5)
    with monkeypatch.context() as patch:
        if replaced == "function":
            patch.setattr(threads_main.time, "time", script.time)
        else:
            patch.setattr(threads_main, "time", script)
        var = make_store(lambda: None)
        run(var, "a")
        run(var, "b")
        assert (var.min_time, var.max_time, var.all_time) == (250, 500, 750) and script.values == []
    var = make_store(lambda: None)
    run(var, "real")
    assert var.all_time < 1000 and script.values == []


class Entry:
    def __init__(self, status):
        self.thread, self.result, self.status = object(), None, status


class Entries:
    """Task entries of a class of the caller's own, reached through get()."""

    def __init__(self):
        self.entries = {}

    def set(self, name, value):
        self.entries[name] = Entry(value["status"])

    def get(self, name):
        return self.entries.get(name)


@pytest.mark.parametrize("func, status, failed", [(lambda: 5, DONE, []), (lambda: 1 / 0, FAILED, ["t"])])
def test_outcome_is_written_into_entries_of_any_class(func, status, failed):
    seen = []
    var = make_store(lambda: seen.append(var.threads.get("t").status) or func())
    var.threads = Entries()
    entry, worker = run(var)
    assert seen == ["运行中"] and (entry.status, entry.thread, var.failed, var.dones) == (status, None, failed, ["t"])
    assert entry.result == 5 if status == DONE else type(entry.result) is ZeroDivisionError
    assert (getattr(entry, "_worker", None) is worker) == (status == FAILED)


class SlowStore:
    """A store whose timing reads let other threads in before the write that follows them."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    add = __init__

    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        if name in ("min_time", "max_time", "all_time"):
            real_time.sleep(0.0002)
        return value

    def __getattr__(self, name):
        return None


def test_timing_updates_of_workers_finishing_together_are_not_lost(monkeypatch):
    local = threading.local()

    class PerThreadClock:  # every task takes 500 ms
        def time(self):
            local.calls = getattr(local, "calls", 0) + 1
            return 1000.0 if local.calls == 1 else 1000.5

    monkeypatch.setattr(threads_main, "time", PerThreadClock())
    var = make_store(lambda: None, store=SlowStore)
    barrier = threading.Barrier(20)

    def go(i):
        var.threads.set(i, value={"thread": None, "result": None, "status": "待运行"})
        worker = threads_main._Worker(var, i, None)
        barrier.wait()
        worker.start()

    threads = [threading.Thread(target=go, args=(i,)) for i in range(20)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert (var.min_time, var.max_time, var.all_time, len(var.dones)) == (500, 500, 500 * 20, 20)


class OwnExit(SystemExit):
    pass


@pytest.mark.parametrize("error", [SystemExit, KeyboardInterrupt, OwnExit("mine")])
def test_base_exception_of_a_task_is_a_failure_and_ends_the_thread_quietly(make_manager, monkeypatch, error):
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    m = make_manager(lambda fail: raise_(error) if fail else "ok")
    m._send("bad", fail=True)
    m._send("good", fail=False)
    wait_until(lambda: m._done() and len(m._var.dones) == 2)
    entry = m._var.threads.get("bad")
    assert entry.status == FAILED and isinstance(entry.result, BaseException)
    assert not isinstance(entry.result, Exception)
    assert entry.thread is None and m._var.failed == ["bad"] and sorted(m._var.dones) == ["bad", "good"]
    assert m._var.threads.get("good").status == DONE and reported == []


class Box:
    """A container a task returns, which a test then points back at the task's entry."""


def test_a_finished_entry_is_left_to_the_collector_only_with_a_container(make_manager):
    box = Box()
    m = make_manager(lambda kind: [box] if kind == "box" else (1 / 0 if kind == "fail" else 200), 2, reserve=True)
    for kind in ("plain", "box", "fail"):
        m._send(kind, kind=kind)
    wait_until(lambda: m._done() and len(m._var.dones) == 3)
    entries = {kind: m._var.threads.get(kind) for kind in ("plain", "box", "fail")}
    assert {kind: gc.is_tracked(e) for kind, e in entries.items()} == {"plain": False, "box": True, "fail": True}
    # The returned list closes a cycle through the entry once the records are gone.
    box.entry = entries["box"]
    ref = weakref.ref(box)
    del box, entries
    assert m._clear_record() is True
    gc.collect()
    assert ref() is None
