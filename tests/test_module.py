"""Module surface, manager construction, worker-limit policy and the control loop."""

import functools
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import time as real_time
import types

import pytest

import threads_main
from conftest import AtOnce, RecordingLog, shut, wait_until

DEFAULT = min((os.cpu_count() or 1) + 4, 30)


def run_child(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


def test_namespace_in_import_order():
    names = [n for n in vars(threads_main) if not n.startswith("__")]
    assert names == ["ctypes", "inspect", "os", "threading", "time", "Queue", "Lock", "Thread", "BrixelLog",
                     "BrixelVar", "BrixelThreadsMain", "_Worker", "ManagerError", "histogram_from_times",
                     "merge_histograms", "histogram_latency", "record_runs", "merge_errors"]
    assert threads_main.BrixelThreadsMain.__bases__ == (object,)
    assert threads_main._Worker.__bases__ == (object,)
    assert threads_main.ManagerError.__bases__ == (Exception,)


def test_methods_in_table_order_and_static_ones():
    methods = [n for n in vars(threads_main.BrixelThreadsMain) if n.startswith("_") and not n.startswith("__")]
    assert methods[:5] == ["_start", "_send", "_thread_list_yield", "_send_list_thread", "_send_list"]
    assert methods[-10:-6] == ["_check_max_workers", "_queue_init", "_consumer", "_async_raise"]
    assert methods[-6:] == ["_get_latency", "_get_timeline", "_get_histogram", "_write_report", "_get_errors",
                            "_get_run_info"]
    assert len(methods) == 39
    for name in ("_thread_list_yield", "_async_raise"):
        assert isinstance(vars(threads_main.BrixelThreadsMain)[name], staticmethod)
    tail = ("_async_raise", "__enter__", "__exit__", "_get_latency")
    assert [n for n in vars(threads_main.BrixelThreadsMain) if n in tail] == list(tail)
    produce = threads_main.BrixelThreadsMain._thread_list_yield
    assert str(inspect.signature(produce)) == "(thread_list)"
    items = [{"x": 1}, {"x": 2}]
    produced = produce(items)
    assert isinstance(produced, types.GeneratorType)
    assert [id(item) for item in produced] == [id(item) for item in items]


def test_manager_error_is_looked_up_at_each_use(make_manager, monkeypatch):
    class Replaced(Exception):
        pass

    m, broken = make_manager(), make_manager()
    broken._clear_queue = lambda: 1 / 0
    monkeypatch.setattr(threads_main, "ManagerError", Replaced)
    with pytest.raises(Replaced, match="^Close error：division by zero$") as caught:
        broken._close()
    assert type(caught.value.__context__) is ZeroDivisionError
    with pytest.raises(Replaced, match="^The manager has stopped$"):
        broken._send()
    monkeypatch.setattr(threads_main, "ManagerError", lambda message: message)
    m._var.switch = False
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        m._check_while()


def test_second_execution_in_one_interpreter_is_refused():
    # The refused module leaves the first one as it was: its names and its store read what is set.
    result = run_child("""
        import gc, sys, threads_main
        first = threads_main
        del sys.modules["threads_main"]
        try:
            import threads_main
        except RuntimeError as e:
            print(e)
        gc.collect()
        m = first.BrixelThreadsMain(lambda: 1, 1)
        m._var.max_workers = 0
        first.ManagerError = KeyError
        m._close()
        try:
            m._send()
        except KeyError:
            print("replaced")
    """)
    assert result.stdout.split("\n")[:2] == ["Module 'threads_main' has already been imported. "
                                             "Re-initialisation is not supported.", "replaced"], result.stderr
    assert "Error" not in result.stderr, result.stderr


def test_second_interpreter_is_refused():
    result = run_child("""
        import _interpreters, threads_main
        interp = _interpreters.create()
        err = _interpreters.run_string(interp, "import threads_main")
        print(err.type.__name__, err.msg, sep=": ")
    """)
    assert result.stdout.strip() == ("ImportError: Interpreter change detected - this module can only be loaded "
                                     "into one interpreter per process."), result.stderr


@pytest.mark.parametrize("requested, maximum, expected", [
    (None, False, DEFAULT), (0, False, DEFAULT), (-3, False, DEFAULT), (4.0, False, DEFAULT),
    ("8", False, DEFAULT), (3, False, 3), (30, False, 30), (100, False, 30), (True, False, 1),
    (100, True, 100), (None, True, None), (-1, 1, -1),
])
def test_worker_limit_policy(make_manager, requested, maximum, expected):
    m = make_manager(print, requested, maximum)
    assert m._var.max_workers == expected


def test_default_limit_without_processor_count(make_manager, monkeypatch):
    class NoCpus:
        @staticmethod
        def cpu_count():
            return None

    monkeypatch.setattr(threads_main, "os", NoCpus)
    assert make_manager(print)._var.max_workers == 5


def test_set_max_workers_logs_and_refuses_when_closed(make_manager):
    m = make_manager(print, 3)
    assert m._set_max_workers(100) is True and m._var.max_workers == 30
    assert m._set_max_workers() is True and m._var.max_workers == DEFAULT
    assert m._log.texts("info")[-2:] == ["Workers number: 100", "Workers number: None"]
    m._var.switch = False
    with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$"):
        m._set_max_workers(8)
    assert m._var.max_workers == DEFAULT


def test_store_built_in_seven_steps(make_manager, monkeypatch):
    calls = []

    class RecordingVar(threads_main.BrixelVar):
        def __init__(self, **kwargs):
            calls.append(("new", list(kwargs)))
            super().__init__(**kwargs)

        def add(self, **kwargs):
            calls.append(("add", list(kwargs)))
            super().add(**kwargs)

    monkeypatch.setattr(threads_main, "BrixelVar", RecordingVar)
    func = lambda: None  # noqa: E731
    m = make_manager(func, 4, reserve=False, duration=7)
    assert calls == [
        ("new", ["func", "queue", "lock", "reserve", "duration"]),
        ("new", []),
        ("add", ["switch", "stop_switch", "threads", "is_run", "done", "name"]),
        ("add", ["min_time", "max_time", "all_time"]),
        ("add", ["totals", "runs", "stops", "cancels"]),
        ("add", ["dones", "success", "failed"]),
        ("add", ["start_time", "end_time"]),
        ("add", ["max_workers"]),
    ]
    var = m._var
    assert (var.func, var.reserve, var.duration, var.max_workers) == (func, False, 7, 4)
    assert (var.switch, var.stop_switch, var.is_run, var.done, var.name) == (True, False, False, False, 1)
    assert (var.min_time, var.max_time, var.all_time) == (0, 0, 0)
    lists = [var.totals, var.runs, var.stops, var.cancels, var.dones, var.success, var.failed, var.start_time,
             var.end_time]
    assert all(x == [] for x in lists) and len({id(x) for x in lists}) == len(lists)
    assert var.break_result is None
    assert list(var.threads.keys()) == []
    assert var.thread_init.is_alive() and not var.thread_init.daemon
    assert isinstance(m._log, RecordingLog) and (m._log.title, m._log.file, m._log.control) == (
        "BrixelThreads", False, False)
    assert set(vars(m)) == {"_log", "_var"}


@pytest.mark.paced_only
def test_fresh_manager_flags_and_open_check(make_manager, fast_time):
    m = make_manager(print)
    wait_until(lambda: len(fast_time.sleeps) >= 1)
    real_time.sleep(0.3)  # a few passes, idle ones included
    assert (m._done(), m._is_run(), m._is_close(), m._get_qsize()) == (False, False, False, 0)
    assert m._check_while() is None
    m._var.switch = False
    assert m._is_close() is True
    for method in (m._check_while, m._get_qsize):
        with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$"):
            method()
    m._var.thread_init.join(5)
    assert not m._var.thread_init.is_alive()


def test_two_managers_are_independent(make_manager):
    a, b = make_manager(print, 2), make_manager(print, 3)
    assert a._var is not b._var and a._var.queue is not b._var.queue and a._var.lock is not b._var.lock
    assert a._var.thread_init is not b._var.thread_init
    shut(a)
    assert b._check_while() is None and b._var.thread_init.is_alive()


class FakeThread:
    """A task thread that counts as running until the test says it finished."""

    def __init__(self):
        self.started = 0

    def start(self):
        self.started += 1


def queue_fake_task(m, name):
    thread = FakeThread()
    m._var.threads.set(name, value={"thread": thread, "result": None, "status": "待运行"})
    m._var.queue.put(name)
    return thread


@pytest.mark.paced_only
def test_dispatch_stays_within_the_limit_and_sets_flags(make_manager):
    m = make_manager(print, 2)
    threads = [queue_fake_task(m, f"t{i}") for i in range(5)]
    wait_until(lambda: len(m._var.runs) == 2)
    wait_until(lambda: m._get_qsize() == 3)
    assert m._var.runs == ["t0", "t1"] and (m._is_run(), m._done()) == (True, False)
    m._var.dones.append("t0")
    wait_until(lambda: len(m._var.runs) == 3)
    m._var.stops.append("t1")
    m._var.dones.extend(["t2"])
    wait_until(lambda: len(m._var.runs) == 5)
    m._var.dones.extend(["t3", "t4"])
    wait_until(m._done)
    assert m._is_run() is False and [t.started for t in threads] == [1] * 5


@pytest.mark.paced_only
def test_dispatch_failures_are_logged_and_do_not_block(make_manager):
    m = make_manager(print, 2)
    m._var.threads.set("gone", value={"thread": None, "result": None, "status": "完成"})
    m._var.queue.put("gone")
    wait_until(lambda: "gone" in m._var.runs)
    wait_until(lambda: any(t.startswith("Run error: ") for t in m._log.texts("debug")))
    later = queue_fake_task(m, "later")
    wait_until(lambda: later.started == 1)
    assert m._var.runs == ["gone", "later"] and m._done() is False


@pytest.mark.paced_only
def test_uncomparable_limit_is_logged_each_pass(make_manager):
    m = make_manager(print, None, True)
    queue_fake_task(m, "t")
    wait_until(lambda: len(m._log.texts("debug")) >= 3)
    assert m._log.texts("debug")[0] == "Run error: '<' not supported between instances of 'int' and 'NoneType'"
    assert m._var.runs == [] and m._get_qsize() == 1


@pytest.mark.paced_only
def test_control_loop_uses_overridden_methods(make_manager, recording_log, fast_time):
    sizes = []

    class Counting(threads_main.BrixelThreadsMain):
        def _get_qsize(self):
            sizes.append(1)
            return super()._get_qsize()

    m = Counting(print)
    try:
        wait_until(lambda: len(sizes) >= 4)
    finally:
        shut(m)


@pytest.mark.parametrize("name", [n for n in vars(threads_main.BrixelThreadsMain)
                                  if n.startswith("_") and not n.startswith("__")])
def test_every_method_refuses_too_many_arguments(make_manager, name):
    m = make_manager(print)
    with pytest.raises(TypeError):
        getattr(m, name)(*[object()] * 8)


def test_bad_constructor_arguments():
    with pytest.raises(TypeError):
        threads_main.BrixelThreadsMain()
    with pytest.raises(TypeError):
        threads_main.BrixelThreadsMain(print, bogus=1)
    with pytest.raises(TypeError):
        threads_main._Worker()


async def fetch_later(url):
    return url


@pytest.mark.parametrize("func", [fetch_later, functools.partial(fetch_later, "u")])
def test_a_coroutine_function_is_refused_at_construction(func):
    # Each task would only make a coroutine that nothing runs, and count as completed.
    threads = threading.active_count()
    with pytest.raises(TypeError, match="^the task function .*fetch_later.* is a coroutine function: tasks run on "
                                        "threads, and nothing would await it"):
        threads_main.BrixelThreadsMain(func)
    assert threading.active_count() <= threads  # refused before the control thread starts


@pytest.mark.parametrize("limit, most", [(10**20, 6), (4.0, 4), (2.5, 3), (True, 1)])
def test_limit_means_the_same_in_both_modes(make_manager, limit, most):
    # Compared as the dispatch compares it (running < limit): a huge int is never reached, a float
    # lets as many run as the ints below it.
    task = AtOnce(0.05)
    m = make_manager(task, limit, True)
    for _ in range(6):
        m._send()
    wait_until(lambda: m._done() and len(m._var.dones) == 6)
    assert task.peak == most and m._log.texts("debug") == []


def test_uncomparable_limit_dispatches_nothing_and_says_why(make_manager, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    m = make_manager(print, None, True)
    m._send("t")
    wait_until(lambda: m._log.texts("debug"))
    assert m._log.texts("debug")[0] == "Run error: '<' not supported between instances of 'int' and 'NoneType'"
    assert m._var.runs == [] and m._get_qsize() == 1 and unraisable == []
    m._set_max_workers(2)  # a limit that compares again: the waiting task runs
    wait_until(lambda: m._done() and m._var.dones == ["t"])
