"""Bad input everywhere gives a clear error or a recorded failure: never a crash, never a hang."""

import gc
import sys
import threading
import tracemalloc
import weakref

import pytest

import brixel_var
import threads_main
from conftest import assert_records, wait_until


@pytest.mark.parametrize("name", ["", "x" * 100_000, "名前-☃", None])
def test_odd_names_are_accepted(make_manager, name):
    m = make_manager(lambda: 1)
    assert m._send(name) is True
    wait_until(m._done)
    (task,) = m._var.totals
    assert m._get_status(task) == {task: "完成"} and m._get_result(task) == {task: 1}
    assert task == name or (not name and task == "Thread_1")


def test_unknown_names_of_any_type_in_queries(make_manager):
    m = make_manager()
    for name in ([], {}, None, 3.5, "nobody"):
        try:
            hash(name)
        except TypeError:
            with pytest.raises(TypeError):
                m._get_status(name)
            continue
        assert m._get_status(name) == {name: "Task does not exist"}
        assert m._get_result(name) == {name: "Task does not exist"}
        with pytest.raises(Exception, match="does not exist"):
            m._stop(name)


def test_task_function_that_is_not_callable_is_a_recorded_failure(make_manager):
    m = make_manager(42)
    m._send()
    wait_until(m._done)
    assert m._get_all_status() == {"Thread_1": "失败"}
    assert isinstance(m._get_result("Thread_1")["Thread_1"], TypeError)


@pytest.mark.parametrize("call", [
    lambda m: m._send_list(None), lambda m: m._send_list("abc"), lambda m: m._send_list(iter([{}])),
    lambda m: m._join_property_log({}, 0, 0), lambda m: m._stop_action(object()),
])
@pytest.mark.filterwarnings("ignore:_send_list sends nothing:RuntimeWarning")
def test_odd_arguments_never_crash(make_manager, call):
    m = make_manager()
    try:
        call(m)
    except (TypeError, AttributeError, KeyError):
        pass
    assert m._send() is True
    wait_until(m._done)


@pytest.mark.parametrize("field, value", [("runs", None), ("max_workers", "many"), ("threads", 7), ("dones", 3)])
def test_store_fields_replaced_by_a_caller(make_manager, field, value):
    m = make_manager()
    m._send()
    setattr(m._var, field, value)
    wait_until(lambda: m._log.texts("debug") or m._done())
    assert all(t.startswith("Run error: ") for t in m._log.texts("debug"))
    assert m._var.thread_init.is_alive()
    m._close()
    m._var.thread_init.join(5)
    assert not m._var.thread_init.is_alive()


def test_batches_with_cleared_records_do_not_grow(make_manager, fast_time):
    fast_time.scale = 0.0
    m = make_manager(lambda n: [n], 30)
    threads_before = threading.active_count()

    def batch(size=10_000):
        for i in range(size):
            m._send(n=i)
        wait_until(lambda: m._done() and len(m._var.dones) == size, timeout=60)
        assert m._clear_record() is True
        # A task thread outlives its task by a moment: wait until the last ones have ended.
        wait_until(lambda: threading.active_count() <= threads_before + 1)  # + the queue's feeder

    # The standard library's registry of threads is a weak set whose table keeps the largest size
    # it reached; how large depends on how the threads' ends interleave, not on this module.
    ours = [tracemalloc.Filter(False, "*/_weakrefset.py")]

    batch()
    tracemalloc.start()
    try:
        batch()
        gc.collect()
        after_second = tracemalloc.take_snapshot().filter_traces(ours)
        batch_peak = tracemalloc.get_traced_memory()[1]
        for _ in range(8):
            batch()
        gc.collect()
        after_tenth = tracemalloc.take_snapshot().filter_traces(ours)
    finally:
        tracemalloc.stop()
    growth = sum(s.size_diff for s in after_tenth.compare_to(after_second, "filename"))
    # What eight more batches leave behind, against what one batch of 10,000 tasks occupies.
    assert growth < 0.01 * batch_peak, (growth, batch_peak)


def test_arguments_and_results_of_cleared_tasks_are_freed(make_manager):
    class Box:
        pass

    made = []

    def func(box):
        out = Box()
        made.append(weakref.ref(out))
        return out

    m = make_manager(func)
    boxes = [Box() for _ in range(5)]
    refs = [weakref.ref(b) for b in boxes]
    for b in boxes:
        m._send(box=b)
    del boxes, b
    wait_until(lambda: m._done() and len(m._var.dones) == 5)
    assert m._clear_record() is True
    gc.collect()
    assert all(r() is None for r in refs + made)


def test_dispatch_error_without_a_text_never_ends_dispatch(make_manager, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    class Untold(Exception):
        def __str__(self):
            raise RuntimeError("no text either")

    class Limit:
        def __gt__(self, other):
            raise Untold()

    m = make_manager(lambda: "ran", 2)
    m._set_max_workers(Limit(), True)
    m._send("a")
    wait_until(lambda: m._log.texts("debug"))
    assert m._log.texts("debug")[0] == "Run error: <exception str() failed>" and unraisable == []
    m._set_max_workers(2)  # dispatch is still there to take it up
    wait_until(lambda: m._done() and m._var.dones == ["a"])
    m._send("b")
    wait_until(lambda: m._var.dones == ["a", "b"])


class FailsToMarkRunning(brixel_var.BrixelVar):
    """A store whose first write of the running flag fails."""

    armed = False

    def __setattr__(self, name, value):
        if name == "is_run" and value is True and type(self).armed:
            type(self).armed = False
            raise RuntimeError("store refused")
        super().__setattr__(name, value)


@pytest.mark.paced_only
def test_a_store_that_fails_right_after_a_take_loses_no_name(make_manager, monkeypatch):
    # The control loop has taken the name off the queue: were it let go of, it would wait for ever,
    # outside the queue, with the batch ended around it.
    monkeypatch.setattr(threads_main, "BrixelVar", FailsToMarkRunning)
    m = make_manager(lambda key: key, 1)
    FailsToMarkRunning.armed = True
    for key in range(3):
        m._send(f"t{key}", key=key)
    wait_until(lambda: m._done() and len(m._var.dones) == 3)
    assert m._get_all_status() == {"t0": "失败", "t1": "完成", "t2": "完成"}
    assert "Run error: store refused" in m._log.texts("debug")
    assert_records(m)
