"""Cancelling waiting tasks, stopping running ones, clearing records, re-running failures, closing."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time as real_time

import pytest

import threads_main
from conftest import assert_records, close_twice_at_once, shut, wait_until

RUNNING, DONE, FAILED, CANCELLED, STOPPED = "运行中", "完成", "失败", "取消", "停止"


def spin(gate, exit_code=None):
    """Runs Python code until the gate opens, so an asynchronous exception lands at once."""
    while not gate.is_set():
        real_time.sleep(0.001)
    if exit_code is not None:
        sys.exit(exit_code)
    return "ok"


def entry(m, name):
    return m._var.threads.get(name)


def running(m, *names):
    wait_until(lambda: all(entry(m, n) and entry(m, n).status == RUNNING for n in names))


def ended(*threads):
    for thread in threads:
        thread.join(5)
        assert not thread.is_alive()


def ended_thread():
    thread = threading.Thread(target=int)
    thread.start()
    ended(thread)
    return thread


def test_stop_refuses_unknown_and_unstarted_then_drain(make_manager):
    m = make_manager(spin, 1)
    m._var.max_workers = 0  # nothing is dispatched: the names stay waiting
    names = [f"t{i}" for i in range(30)]
    for name in names:
        m._send(name, gate=threading.Event())
        if name == "t5":
            m._var.queue.put("orphan")  # a name whose records were cleared while it waited
    for name, tail in [("nope", "does not exist"), (5, "does not exist"), ("t0", "not running")]:
        with pytest.raises(Exception) as caught:
            m._stop(name)
        assert type(caught.value) is Exception and str(caught.value) == f"Task <{name}> {tail}"
    assert m._clear_queue() is True  # some puts have not reached the queue's pipe yet
    assert m._var.cancels == names and {entry(m, n).status for n in names} == {CANCELLED}
    assert m._get_qsize() == 0 and m._log.texts("info")[-2:] == ["Clear queue......", "Clear queue complete"]
    with pytest.raises(Exception, match="^Task <t0> not running$"):
        m._stop("t0")


def test_stop_running_twice_finished_and_own_exit(make_manager):
    gate, opened = threading.Event(), threading.Event()
    opened.set()
    m = make_manager(spin, 4)
    m._send("fin", gate=opened)
    m._send("run", gate=gate)
    m._send("exits", gate=gate, exit_code=3)
    running(m, "run", "exits")
    wait_until(lambda: "fin" in m._var.dones)
    thread = entry(m, "run").thread
    assert m._stop("run") is True
    assert (entry(m, "run").thread, entry(m, "run").status) == (None, STOPPED)
    ended(thread)
    assert m._stop("run") is True and m._stop("fin") is True
    assert m._log.texts("info").count("Stop complete") == 3
    gate.set()  # the task's own SystemExit is its outcome, unlike a stop
    wait_until(m._done)
    assert m._var.stops == ["run"] and m._var.dones == ["fin", "exits"] and entry(m, "fin").status == DONE
    assert entry(m, "exits").status == FAILED and isinstance(entry(m, "exits").result, SystemExit)


def raise_text(gate, text):
    spin(gate)
    raise ValueError(text)


def test_names_and_messages_with_lone_surrogates(make_manager):
    # An undecodable byte of a file name becomes a lone surrogate, which UTF-8 cannot hold: such a
    # task is still stopped for real, and its failure still counted among the causes.
    gate, opened = threading.Event(), threading.Event()
    opened.set()
    m = make_manager(raise_text, 2)
    m._send("file_\udcff.txt", gate=gate, text="never")
    m._send("bad_\udcfe", gate=opened, text="byte \udcff")
    running(m, "file_\udcff.txt")
    thread = entry(m, "file_\udcff.txt").thread
    assert m._stop("file_\udcff.txt") is True
    ended(thread)
    wait_until(m._done)
    assert m._var.stops == ["file_\udcff.txt"] and m._var.dones == ["bad_\udcfe"]
    assert [(e["error"], e["count"], e["example"]) for e in m._get_errors()] == [
        ("ValueError: byte \\udcff", 1, "bad_\\udcfe")]
    assert_records(m)


def test_stop_through_an_override_of_async_raise(make_manager):
    gate, sent = threading.Event(), []
    m = make_manager(spin, 2)
    m._async_raise = lambda tid, exc: sent.append(exc) or threads_main.BrixelThreadsMain._async_raise(tid, exc)
    m._send("a", gate=gate)
    running(m, "a")
    thread = entry(m, "a").thread
    assert m._stop("a") is True and sent == [SystemExit] and entry(m, "a").status == STOPPED
    ended(thread)


def test_stop_all_goes_on_after_a_refused_request(make_manager):
    gate = threading.Event()
    m = make_manager(spin, 4)
    # A task whose thread ended without clearing it, first in `runs`.
    m._var.threads.set("ghost", value={"thread": ended_thread(), "result": None, "status": RUNNING})
    m._var.runs.append("ghost")
    m._send("a", gate=gate)
    m._send("b", gate=gate)
    running(m, "a", "b")
    m._var.max_workers = 0
    m._send("w", gate=gate)
    threads = [entry(m, n).thread for n in "ab"]
    assert m._stop_all() is True
    assert m._var.stops == ["ghost", "a", "b"] and m._var.cancels == ["w"]
    assert [entry(m, n).status for n in ["ghost", "a", "b", "w"]] == [STOPPED, STOPPED, STOPPED, CANCELLED]
    assert "Stop error: Stop thread error" in m._log.texts("debug")
    assert m._log.texts("info")[-1] == "Stop all complete"
    ended(*threads)


@pytest.mark.paced_only
def test_stop_during_thread_start_up(make_manager, monkeypatch):
    class SlowStart(threading.Thread):
        def _set_native_id(self):
            super()._set_native_id()
            real_time.sleep(0.05)  # between the identifier being set and the thread counting as alive

    monkeypatch.setattr(threads_main, "Thread", SlowStart)
    gate = threading.Event()
    m = make_manager(spin, 2)
    m._send("a", gate=gate)
    wait_until(lambda: entry(m, "a").thread is not None and entry(m, "a").thread.ident)
    thread = entry(m, "a").thread
    assert not thread.is_alive() and m._stop("a") is True
    gate.set()
    wait_until(m._done, timeout=2)  # never, if the task were counted both stopped and done
    assert m._var.stops == ["a"] and m._var.dones == [] and entry(m, "a").status == STOPPED
    ended(thread)


@pytest.mark.paced_only
def test_a_task_stopped_before_it_began_stays_stopped_across_a_clearing(make_manager, held_start):
    # The stop leaves word for a thread that has not begun its task, and the records are cleared
    # before the thread begins: the task must not run then, nor write into the next batch's task of
    # the same name.
    calls = []
    m = make_manager(lambda i: calls.append(i) or i, 2)
    m._send("a", i=1)
    wait_until(lambda: held_start.thread)
    assert m._stop("a") is True and m._done() and m._clear_record() is True
    m._send("a", i=2)
    wait_until(m._done)
    held_start.gate.set()
    ended(held_start.thread)
    assert calls == [2] and m._get_result("a") == {"a": 2} and entry(m, "a").status == DONE
    assert m._get_run_status() == dict(total=1, done=1, run=1, success=1, failed=0, stop=0, cancel=0)
    assert held_start.raised == []


@pytest.mark.paced_only
def test_a_stop_is_for_the_task_of_its_name_not_an_earlier_one_still_on_its_thread(make_manager, held_start):
    # The first "a" catches its stop and stays on its thread; after a clearing, a second "a" is
    # stopped before its worker began: the stop must reach that task, not end at the earlier one.
    calls, release = [], threading.Event()

    def task(i):
        calls.append(i)
        if i == 1:
            try:
                spin(threading.Event())
            except SystemExit:
                release.wait(5)
        return i

    held_start.skip = 1
    m = make_manager(task, 2)
    m._send("a", i=1)
    running(m, "a")
    first = entry(m, "a").thread
    assert m._stop("a") is True
    wait_until(m._done)
    assert m._clear_record() is True
    m._send("a", i=2)
    wait_until(lambda: held_start.thread)
    assert m._stop("a") is True and entry(m, "a").status == STOPPED
    held_start.gate.set()
    release.set()
    ended(held_start.thread, first)
    assert calls == [1] and m._var.stops == ["a"] and m._var.dones == [] and held_start.raised == []


def test_async_raise_refusals_and_instances():
    contexts = []
    for tid in [ended_thread().ident, "x"]:
        with pytest.raises(threads_main.ManagerError, match="^Stop thread error$") as refused:
            threads_main.BrixelThreadsMain._async_raise(tid, SystemExit)
        assert refused.value.__cause__ is None
        contexts.append(refused.value.__context__)
    assert [type(e) for e in contexts] == [ValueError, TypeError] and str(contexts[0]) == "Invalid thread id"
    # What is no exception would reach the thread as a SystemError: the caller hears of it instead.
    for junk in [int, 5, None, object]:
        with pytest.raises(TypeError, match="^exc_type must be an exception class or instance"):
            threads_main.BrixelThreadsMain._async_raise(threading.get_ident(), junk)
    caught, gate = [], threading.Event()

    def target():
        try:
            spin(gate)
        except BaseException as error:
            caught.append(error)

    thread = threading.Thread(target=target)
    thread.start()
    assert threads_main.BrixelThreadsMain._async_raise(thread.ident, KeyError("k")) is None
    ended(thread)
    assert [type(e) for e in caught] == [KeyError] and caught[0].args == ()


def test_a_close_after_a_join_logs_no_run_error(make_manager):
    # The close turns the switch off while the control loop may be in a pass: its calls through
    # self then refuse, which ends the loop and is no error of the run.
    for _ in range(5):
        m = make_manager(lambda: 1, 1)
        m._send()
        m._join()
        m._close()
        assert [t for t in m._log.texts("debug") if str(t).startswith("Run error")] == []


def test_close_idle_then_closed(make_manager):
    m = make_manager()
    assert m._close() is True and m._is_close()
    said = [text for level, text in m._log.lines if level != "debug"]
    assert said == ["Close......", "Clear queue......", "Clear queue complete", "Close complete"]
    ended(m._var.thread_init)
    logged = len(m._log.lines)
    for call in [m._close, m._stop_all, m._rerun_failed, m._get_qsize, lambda: m._stop("x"), m._send]:
        with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$"):
            call()
    assert len(m._log.lines) == logged
    with pytest.raises(ValueError, match="is closed"):
        m._clear_queue()  # the closed queue's own error


def test_a_ctrl_c_while_the_close_waits_for_the_store_lock_still_closes(make_manager):
    # Another thread holds the store's lock (a sending thread does, a chunk at a time) when a Ctrl-C
    # interrupts the close's wait for it: the close goes on, and the Ctrl-C comes out at its end.
    m = make_manager(lambda x: x, 2)
    held, release = threading.Event(), threading.Event()

    def holder():
        with m._var.lock:
            held.set()
            release.wait(5)

    def ctrl_c():
        real_time.sleep(0.3)  # the close waits for the lock by then
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        real_time.sleep(0.1)
        release.set()

    threads = [threading.Thread(target=holder), threading.Thread(target=ctrl_c)]
    threads[0].start()
    held.wait(5)
    before = signal.signal(signal.SIGINT, signal.default_int_handler)  # (a background shell ignores it)
    try:
        threads[1].start()
        with pytest.raises(KeyboardInterrupt):
            m._close()
    finally:
        signal.signal(signal.SIGINT, before)
        release.set()
        ended(*threads)
    assert m._is_close() and m._log.texts("info")[-1] == "Close complete"
    with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$"):
        m._send(x=1)


def never_dispatching(make_manager, waiting):
    """A manager whose limit of 0 (taken as it is) never lets a task start, with `waiting` tasks
    queued; with its queue, and the queue's own get."""
    m = make_manager(print, 0, True)
    for _ in range(waiting):
        m._send()
    return m, m._var.queue, m._var.queue.get


@pytest.mark.paced_only
def test_ctrl_c_that_loses_a_name_in_the_drain_of_a_close_still_ends_the_batch(make_manager):
    # A Ctrl-C inside the queue's take can lose the name it was reading: the drain goes on for the
    # names behind it, and the close cancels the lost one, which can no longer run.
    m, queue, real_get = never_dispatching(make_manager, 5)

    def get(*args, **kwargs):
        real_get(*args, **kwargs)  # read, then lost (an empty queue's error passes through)
        del queue.get
        raise KeyboardInterrupt

    queue.get = get
    with pytest.raises(KeyboardInterrupt):
        m._close()
    assert m._get_run_status()["cancel"] == 5 and set(m._get_all_status().values()) == {CANCELLED}
    assert_records(m)


@pytest.mark.paced_only
def test_a_close_made_inside_a_take_of_a_drain_leaves_no_name_waiting(make_manager):
    # A SIGINT handler closes the manager while _stop_all's drain is inside a take, holding the
    # queue's read lock: the close can take none of the names, and closes the queue over them.
    m, queue, real_get = never_dispatching(make_manager, 5)
    closed = []

    def get(*args, **kwargs):
        del queue.get
        with queue._rlock:
            closed.append(m._close())
        return real_get(*args, **kwargs)

    queue.get = get
    with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$"):
        m._stop_all()
    assert closed == [True] and set(m._get_all_status().values()) == {CANCELLED}
    assert m._get_run_status()["cancel"] == 5
    assert_records(m)


@pytest.mark.paced_only
@pytest.mark.parametrize("changed_meanwhile", [False, True])
def test_a_paced_drain_switches_threads_quickly_and_gives_the_interval_back(make_manager, changed_meanwhile):
    # Each take lets go of the interpreter lock, and with tasks busy in Python code the drain waited
    # the whole switch interval to get it back, take after take.
    m, queue, real_get = never_dispatching(make_manager, 3)
    before, seen = sys.getswitchinterval(), []

    def get(*args, **kwargs):
        seen.append(sys.getswitchinterval())
        if changed_meanwhile:
            sys.setswitchinterval(0.002)  # the caller's own change, made during the drain
        return real_get(*args, **kwargs)

    queue.get = get
    try:
        assert m._clear_queue() is True
        assert seen[0] == pytest.approx(0.00001) and m._get_run_status()["cancel"] == 3
        assert sys.getswitchinterval() == pytest.approx(0.002 if changed_meanwhile else before)
    finally:
        sys.setswitchinterval(before)


@pytest.mark.paced_only
def test_a_close_inside_a_take_whose_own_drain_fails_cancels_each_name_once(make_manager):
    # The take has read a name the drain has yet to cancel: the close, whose own drain fails, leaves
    # what is left to the drain, which cancels it as it meets the closed queue.
    m, queue, real_get = never_dispatching(make_manager, 5)

    def failing_drain():
        raise RuntimeError("drain broke")

    def get(*args, **kwargs):
        del queue.get
        name = real_get(True, 5)  # (the queue's feeder thread may not have written it yet)
        m._clear_queue = failing_drain
        with pytest.raises(threads_main.ManagerError, match="^Close error：drain broke$"):
            m._close()
        del m._clear_queue
        return name

    queue.get = get
    with pytest.raises(ValueError, match="is closed"):
        m._clear_queue()
    assert sorted(m._var.cancels) == sorted(m._var.totals)
    assert_records(m)


BACKLOG_LEFT_IN_THE_PIPE = """
    import logging, threads_main
    logging.getLogger("BrixelThreads").disabled = True
    m = threads_main.BrixelThreadsMain(print, 0, True)  # nothing is ever dispatched
    for _ in range(5000):
        m._send()
    queue, real_get, takes = m._var.queue, m._var.queue.get, []

    def get(*args, **kwargs):
        takes.append(1)
        if len(takes) > 1:
            raise EOFError("Ran out of input")  # what a name cut in half leaves in the pipe
        real_get(*args, **kwargs)
        raise KeyboardInterrupt

    queue.get = get
    try:
        m._close()
    except KeyboardInterrupt:
        print(m._is_close(), set(m._get_all_status().values()))
"""


BACKLOG_LEFT_BY_AN_EMPTY_DRAIN = """
    import logging, threads_main
    logging.getLogger("BrixelThreads").disabled = True

    class OwnDrain(threads_main.BrixelThreadsMain):
        def _clear_queue(self):
            return True  # takes nothing

    m = OwnDrain(print, 0, True)
    for _ in range(5000):
        m._send()
    m._close()
    print(m._is_close(), set(m._get_all_status().values()))
"""


@pytest.mark.paced_only
@pytest.mark.parametrize("script", [BACKLOG_LEFT_IN_THE_PIPE, BACKLOG_LEFT_BY_AN_EMPTY_DRAIN],
                         ids=["cut-short", "empty-drain"])
def test_a_close_whose_drain_left_names_lets_the_interpreter_exit(dispatch, script):
    # The names left in the queue fill its pipe, and its feeder thread, blocked writing the rest,
    # must not be waited for at exit.
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                            text=True, timeout=30, env={**os.environ, "PYTHONFAULTHANDLER": "1"})
    assert result.returncode == 0 and result.stdout == f"True {{{CANCELLED!r}}}\n", result.stderr[-2000:]


class ClosedUnderTheDrain(threads_main.BrixelThreadsMain):
    """A close from elsewhere lands while _stop_all drains: the queue is closed under the drain."""

    def _clear_queue(self):
        if not self._is_close():
            self._close()
        return super()._clear_queue()


def test_stop_all_overtaken_by_a_close_says_the_manager_has_stopped(recording_log, dispatch):
    m = ClosedUnderTheDrain(print, 0, True, dispatch=dispatch)  # nothing is ever dispatched
    for _ in range(3):
        m._send()
    with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$") as caught:
        m._stop_all()
    assert isinstance(caught.value.__context__, Exception)  # the closed queue's own error
    assert m._is_close() and m._get_run_status()["cancel"] == 3
    assert_records(m)


class OwnDrain(threads_main.BrixelThreadsMain):
    """A drain of the subclass's own that fails, or takes nothing."""

    fails = True

    def _clear_queue(self):
        if self.fails:
            raise RuntimeError("drain refused")
        return True


@pytest.mark.parametrize("fails", [True, False], ids=["failing-drain", "empty-drain"])
def test_a_close_cancels_what_its_drain_left_waiting(recording_log, dispatch, fails):
    OwnDrain.fails = fails
    m = OwnDrain(print, 0, True, dispatch=dispatch)  # nothing is ever dispatched
    for _ in range(3):
        m._send()
    if fails:
        with pytest.raises(threads_main.ManagerError, match="drain refused"):
            m._close()
    else:
        m._close()
    assert m._is_close() and m._get_run_status()["cancel"] == 3
    assert set(m._get_all_status().values()) == {"取消"}
    assert_records(m)


def test_two_closes_at_once_one_closes_the_other_refuses(make_manager):
    # A task's close and the caller's, both past the open check: only one may drain and close the
    # queue; the other refuses, as it would a moment later.
    m, _, _ = never_dispatching(make_manager, 3)
    assert close_twice_at_once(m) == [True, "The manager has stopped"]
    said = [text for level, text in m._log.lines if level != "debug"]
    assert said == ["Close......", "Clear queue......", "Clear queue complete", "Close complete"]
    assert m._is_close() and m._get_run_status()["cancel"] == 3
    assert_records(m)


def test_leaving_a_with_block_while_another_thread_closes(make_manager):
    # The block's exit found the manager open, then lost the close to a task's: the manager is
    # closed, which is all leaving the block asks, so the exit raises nothing.
    m = make_manager(print, 0, True)
    assert close_twice_at_once(m, lambda: m.__exit__(None, None, None)) == [True, None]
    assert m._is_close()
    # A refusal on an open manager (an override's) still goes on.
    m = make_manager(print, 0, True)

    def refuse():
        raise threads_main.ManagerError("The manager has stopped")

    m._close = refuse
    with pytest.raises(threads_main.ManagerError, match="^The manager has stopped$"):
        m.__exit__(None, None, None)
    del m._close


class HeldControl(threads_main.BrixelThreadsMain):
    """A control thread that ignores the close until released, and a refused or counted SystemExit."""

    refuse = True

    def _queue_init(self):
        self.release = threading.Event()
        while not self.release.wait(0.005):
            pass

    @staticmethod
    def _async_raise(tid, exc_type):
        if HeldControl.refuse:
            raise threads_main.ManagerError("Stop thread error")
        HeldControl.sent = exc_type


@pytest.mark.parametrize("refuse", [True, False])
def test_close_warns_only_when_ending_the_control_thread_failed(make_manager, monkeypatch, refuse):
    monkeypatch.setattr(HeldControl, "refuse", refuse)
    m = HeldControl(len)
    try:
        assert m._close() is True
        warned = m._log.texts("warning")
        assert warned == (["Close error：Stop thread error"] if refuse else []) and m._log.texts()[-1] == "Close complete"
        assert refuse or HeldControl.sent is SystemExit
    finally:
        m.release.set()
        ended(m._var.thread_init)


class CountedClose(threads_main.BrixelThreadsMain):
    closes = 0

    def _close(self):
        self.closes += 1
        return super()._close()


@pytest.mark.parametrize("body", ["plain", "raises", "closes", "broken"])
def test_context_manager(make_manager, body):
    m = CountedClose(len)
    expected = {"raises": KeyError, "broken": threads_main.ManagerError}.get(body)
    with pytest.raises(expected) if expected else contextlib.nullcontext() as caught:
        with m as entered:
            assert entered is m and not m._is_close()
            if body == "closes":
                m._close()
            if body == "broken":
                m._clear_queue = lambda: 1 / 0
            if body in ("raises", "broken"):
                raise KeyError("body")
    assert m._is_close() and m.closes == 1
    ended(m._var.thread_init)
    if body == "broken":  # the close's own error goes on, with the body's error behind it
        assert str(caught.value) == "Close error：division by zero"
        assert type(caught.value.__context__.__context__) is KeyError
    assert m.__exit__(None, None, None) is None and m.closes == 1


def test_close_cancels_waiting_and_stops_running(make_manager):
    gate = threading.Event()
    m = make_manager(spin, 2)
    for name in ["r1", "r2", "w1", "w2", "w3"]:
        m._send(name, gate=gate)
    running(m, "r1", "r2")
    threads = [entry(m, n).thread for n in ["r1", "r2"]]
    assert m._close() is True
    assert m._var.stops == ["r1", "r2"] and m._var.cancels == ["w1", "w2", "w3"]
    assert m._get_all_status() == {"r1": STOPPED, "r2": STOPPED, "w1": CANCELLED, "w2": CANCELLED, "w3": CANCELLED}
    assert m._get_run_status()["stop"] == 2 and m._done() is False
    ended(*threads, m._var.thread_init)


class FailingLine:
    """The manager's log, whose one line `text` fails."""

    def __init__(self, log, text):
        self.log, self.text, self.debug, self.warning = log, text, log.debug, log.warning

    def info(self, message):
        if message == self.text:
            raise RuntimeError("log down")
        self.log.info(message)


def test_stop_all_whose_drain_fails_still_stops_the_running_tasks(make_manager):
    gate = threading.Event()
    m = make_manager(spin, 2)
    for name in ["r1", "r2", "w1", "w2"]:
        m._send(name, gate=gate)
    running(m, "r1", "r2")
    m._log = FailingLine(m._log, "Clear queue......")
    with pytest.raises(RuntimeError, match="log down"):
        m._stop_all()
    assert m._get_all_status() == {"r1": STOPPED, "r2": STOPPED, "w1": CANCELLED, "w2": CANCELLED}
    assert_records(m)


class InterruptingLog:
    """The manager's log, with a Ctrl-C landing in its first "Stop error" line."""

    def __init__(self, log):
        self.log, self.info, self.warning = log, log.info, log.warning

    def debug(self, text):
        self.log.debug(text)
        if text.startswith("Stop error") and not self.log.texts("interrupted"):
            self.log.lines.append(("interrupted", text))
            raise KeyboardInterrupt


def test_a_ctrl_c_in_the_stop_walk_of_a_close_still_stops_every_task(make_manager):
    # The first stop request is refused, and the Ctrl-C lands in the line that reports it: the
    # close raises it, but only once the tasks after that one are stopped too.
    gate, refused = threading.Event(), []
    m = make_manager(spin, 3)

    def refuse_once(tid, exc):
        if not refused:
            refused.append(tid)
            raise ValueError("refused")
        return threads_main.BrixelThreadsMain._async_raise(tid, exc)

    m._async_raise = refuse_once
    for name in "abc":
        m._send(name, gate=gate)
    running(m, "a", "b", "c")
    threads = [entry(m, n).thread for n in "abc"]
    m._log = InterruptingLog(m._log)
    with pytest.raises(KeyboardInterrupt):
        m._close()
    assert m._var.stops == ["a", "b", "c"] and refused
    ended(*threads[1:])
    gate.set()  # the refused one ends on its own
    ended(threads[0], m._var.thread_init)


@pytest.mark.paced_only
def test_a_ctrl_c_that_cuts_a_stop_short_has_that_task_stopped_all_the_same(make_manager, monkeypatch):
    # The Ctrl-C lands in the thread's is_alive, before the request has gone out.
    interrupt = threading.Event()

    class Interrupted(threading.Thread):
        def is_alive(self):
            if interrupt.is_set() and threading.current_thread() is threading.main_thread():
                interrupt.clear()
                raise KeyboardInterrupt
            return super().is_alive()

    monkeypatch.setattr(threads_main, "Thread", Interrupted)
    gate = threading.Event()
    m = make_manager(spin, 2)
    m._send("a", gate=gate)
    m._send("b", gate=gate)
    running(m, "a", "b")
    threads = [entry(m, n).thread for n in "ab"]
    interrupt.set()
    with pytest.raises(KeyboardInterrupt):
        m._stop_all()
    assert m._var.stops == ["a", "b"]
    ended(*threads)
    assert m._done() is True


def test_clear_record_only_once_the_batch_has_finished(make_manager):
    gate = threading.Event()
    m = make_manager(spin, 2)
    m._send(gate=gate)
    running(m, "Thread_1")
    assert m._clear_record() is False and entry(m, "Thread_1") is not None
    gate.set()
    wait_until(m._done)
    m._var.max_workers = 0
    m._send("held", gate=gate)
    assert m._done() is False and m._clear_record() is False  # a name waits: the batch goes on
    m._clear_queue()  # ... until its last task is cancelled: then it has ended
    assert m._done() is True
    kept = (m._var.name, m._var.min_time, m._var.max_workers)
    assert m._clear_record() is True
    assert list(m._var.threads.keys()) == [] and m._done() is False
    for field in ["totals", "runs", "stops", "cancels", "dones", "success", "failed"]:
        assert getattr(m._var, field) == []
    assert (m._var.name, m._var.min_time, m._var.max_workers) == kept and m._clear_record() is False


def test_rerun_failed_runs_the_task_again(make_manager):
    calls, gate = [], threading.Event()

    def flaky(key):
        calls.append(key)
        if len(calls) == 1:
            raise ValueError("first time")
        gate.wait(5)
        return key * 2

    m = make_manager(flaky, 2)
    m._send("f", key=21)
    wait_until(m._done)
    assert entry(m, "f").status == FAILED and m._var.failed == ["f"]
    assert m._rerun_failed() is True and m._rerun_failed() is True  # put back once only
    assert m._clear_record() is False  # the re-run is on its way
    gate.set()
    wait_until(lambda: m._var.dones.count("f") == 2)
    assert m._join() is True
    assert (entry(m, "f").status, entry(m, "f").result) == (DONE, 42)
    assert m._var.runs == ["f", "f"] and m._var.success == ["f"] and m._var.failed == ["f"]
    assert m._rerun_failed() is True and m._get_qsize() == 0  # nothing failed any more


def test_a_stop_of_a_rerun_still_waiting_is_refused_and_one_running_is_stopped(make_manager):
    calls, gate = [], threading.Event()

    def task(key):
        calls.append(key)
        if key == "f" and calls.count("f") == 1:
            raise ValueError("first time")
        while not gate.is_set():
            real_time.sleep(0.001)  # Python code: a stop lands at once

    m = make_manager(task, 1)
    m._send("f", key="f")
    wait_until(m._done)
    m._send("busy", key="busy")  # holds the only slot
    wait_until(lambda: entry(m, "busy").status == RUNNING)
    m._rerun_failed()  # "f" waits behind it, in `runs` from its first run
    with pytest.raises(Exception, match="^Task <f> not running$"):
        m._stop("f")
    with pytest.raises(Exception, match="^Task <f> not running$"):
        m._stop(type("Name", (str,), {})("f"))  # the same text in a str of another class
    assert m._stop("busy") is True
    wait_until(lambda: entry(m, "f").status == RUNNING)
    assert m._stop("f") is True
    gate.set()
    assert m._join() is True
    assert calls.count("f") == 2 and m._get_all_status() == {"f": STOPPED, "busy": STOPPED}


class SettlesWhileItDispatches(threads_main.BrixelThreadsMain):
    """Between the take of a name and its dispatch, another operation may look for the batch's end."""

    def _consumer(self, thread_name):
        self._stop_action()  # nothing waits, nothing runs yet: the name is on its way
        return super()._consumer(thread_name)


class DrainedOnItsWay(threads_main.BrixelThreadsMain):
    """Between the take of a name and its dispatch, the queue is drained (and the running stopped)."""

    way = "_stop_all"

    def _consumer(self, thread_name):
        getattr(self, self.way)()
        return super()._consumer(thread_name)


class FailsToDispatch(threads_main.BrixelThreadsMain):
    """Lets go of the first name it takes before handing it on: its dispatch raises, or closes."""

    way, armed = "raises", True

    def _consumer(self, thread_name):
        if self.armed:
            self.armed = False
            if self.way == "raises":
                raise RuntimeError("no slot")
            self._close()
        return super()._consumer(thread_name)


@pytest.mark.paced_only
@pytest.mark.parametrize("way", ["raises", "closes"])
def test_a_name_let_go_of_on_its_way_to_its_thread_still_ends(recording_log, dispatch, way):
    m = FailsToDispatch(lambda key: key * 2, 2, dispatch=dispatch)
    m.way = way
    try:
        for key in range(3):
            m._send(f"t{key}", key=key)
        if way == "raises":
            wait_until(lambda: m._done() and len(m._var.dones) == 3)
            assert m._get_all_status() == {"t0": FAILED, "t1": DONE, "t2": DONE}
            assert "Run error: no slot" in m._log.texts("debug")
            m.armed = True  # its re-run is let go of too: it fails again, and is kept again
            assert m._rerun_failed() is True
            wait_until(lambda: not m.armed and m._done() and m._var.failed == ["t0", "t0"])
            assert m._rerun_failed() is True
            wait_until(lambda: m._get_status("t0") == {"t0": DONE} and m._done())
            assert m._get_result("t0") == {"t0": 0}
        else:
            wait_until(m._is_close)
            m._var.thread_init.join(5)
            assert m._get_status("t0") == {"t0": CANCELLED}
        assert_records(m)
    finally:
        shut(m)


@pytest.mark.paced_only
def test_a_name_on_its_way_to_its_thread_keeps_the_batch_open(recording_log, dispatch):
    m = SettlesWhileItDispatches(spin, 2, dispatch=dispatch)
    gate = threading.Event()
    try:
        m._send("a", gate=gate)
        running(m, "a")
        assert m._done() is False and m._is_run() is True
        gate.set()
        wait_until(m._done)
    finally:
        gate.set()
        shut(m)


@pytest.mark.paced_only
@pytest.mark.parametrize("way", ["_stop_all", "_clear_queue"])
def test_a_name_on_its_way_to_its_thread_as_the_queue_is_drained_is_cancelled(recording_log, dispatch, way):
    # The drain did not find it waiting, and a stop walk would not find it running: started, it
    # would run on after a _stop_all (or after a close, keeping the interpreter from exiting).
    m = DrainedOnItsWay(spin, 2, dispatch=dispatch)
    m.way = way
    gate = threading.Event()
    try:
        m._send("a", gate=gate)
        wait_until(m._done)
        assert m._get_all_status() == {"a": CANCELLED} and m._var.runs == []
        assert_records(m)
    finally:
        gate.set()
        shut(m)


class RerunsEveryFailure(threads_main.BrixelThreadsMain):
    """Takes every failed name for a re-run, those of break results too, which keep no worker."""

    def _get_failed(self):
        return list(self._var.failed)


def test_a_rerun_passes_over_a_failed_task_that_keeps_no_worker(recording_log, dispatch):
    m = RerunsEveryFailure(lambda n: n, 2, dispatch=dispatch)
    try:
        m._var.break_result = 7
        m._send("seven", n=7)
        wait_until(m._done)
        assert m._var.failed == ["seven"] and m._rerun_failed() is True
        # Put back without a thread, it would have stayed counted as running: no batch end again.
        assert m._get_qsize() == 0 and m._var.runs == ["seven"] and m._done()
    finally:
        shut(m)


def test_a_rerun_after_the_records_were_cleared_puts_nothing_back(make_manager):
    # The re-run waits for the store's lock (someone holds it) while a clear takes it first: what it
    # looked for is gone by the time it has the lock, and the next batch ends as usual.
    m = make_manager(lambda: 1 / 0, 2)
    m._send("a")
    wait_until(m._done)
    asked, cleared = threading.Event(), threading.Event()

    class LetsTheClearFirst:
        def __init__(self, lock):
            self.lock = lock

        def acquire(self, *args):
            if threading.current_thread() is rerun:
                asked.set()
                cleared.wait(5)
            return self.lock.acquire(*args)

        def release(self):
            self.lock.release()

    m._var.lock = LetsTheClearFirst(m._var.lock)
    results = []
    rerun = threading.Thread(target=lambda: results.append(m._rerun_failed()))
    rerun.start()
    assert asked.wait(5)
    assert m._clear_record() is True
    cleared.set()
    ended(rerun)
    assert results == [True] and m._var.runs == [] and m._get_qsize() == 0
    m._send("next")
    wait_until(m._done)
    assert m._var.runs == ["next"] and m._join() is True


def test_stops_racing_dispatch_never_stall_the_manager(make_manager):
    for _ in range(30):
        m, stopping = make_manager(lambda: None, 8), threading.Event()

        def stopper(m=m, stopping=stopping):
            while not stopping.is_set():
                m._stop_action()

        sender = threading.Thread(target=lambda m=m: [m._send() for _ in range(40)])
        walker = threading.Thread(target=stopper)
        walker.start()
        sender.start()
        ended(sender)  # no submission blocked
        assert m._close() is True
        stopping.set()
        ended(walker, m._var.thread_init)
        lists = lambda: (m._var.dones, m._var.stops, m._var.cancels)  # noqa: E731
        wait_until(lambda: sum(map(len, lists())) == 40, timeout=5)
        assert sorted(sum(lists(), [])) == sorted(m._var.totals)


def test_child_interpreter_exits_after_close():
    code = textwrap.dedent("""
        import logging, threading, time, threads_main
        gate = threading.Event()
        def spin():
            while not gate.is_set():
                time.sleep(0.001)
        m = threads_main.BrixelThreadsMain(spin, 4, logger=logging.getLogger("quiet"))
        for _ in range(20):
            m._send()
        while len(m._var.runs) < 4:
            time.sleep(0.005)
        m._close()
        print(len(m._var.stops), len(m._var.cancels))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["4", "16"]


def test_ctrl_c_in_a_with_block_closes_and_the_interpreter_exits():
    # The running tasks sit in a C call (time.sleep) when the close stops them: they read "停止" at
    # once, and the process ends when the call returns instead of waiting on unclosed threads.
    code = textwrap.dedent("""
        import logging, os, signal, threading, time, threads_main
        signal.signal(signal.SIGINT, signal.default_int_handler)  # a background shell passes it ignored
        m = threads_main.BrixelThreadsMain(lambda: time.sleep(0.5), 2, logger=logging.getLogger("quiet"))
        try:
            with m:
                for _ in range(6):
                    m._send()
                while len(m._var.runs) < 2:
                    time.sleep(0.005)
                threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
                m._join()
        except KeyboardInterrupt:
            print(m._is_close(), sorted(m._get_all_status().values()))
    """)
    for _ in range(10):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                                env={**os.environ, "PYTHONFAULTHANDLER": "1"})
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == f"True {sorted([CANCELLED] * 4 + [STOPPED] * 2)}", result.stderr


@pytest.mark.parametrize("taking", ["_stop_all", "_clear_queue"])
def test_batch_cancelled_whole_ends(make_manager, taking):
    m = make_manager(print, 0, True)  # nothing is ever dispatched
    m._clear_queue()
    assert m._done() is False  # no task yet: no batch to end
    for _ in range(5):
        m._send()
    getattr(m, taking)()
    assert m._get_run_status()["cancel"] == 5
    wait_until(m._done)
    assert m._join() is True and m._clear_record() is True
    m._clear_queue()
    real_time.sleep(0.05)
    assert m._done() is False  # no task since the records were cleared


def test_a_name_is_in_totals_before_its_task_can_finish(make_manager):
    m = make_manager(lambda: None, 4)
    short, stop = [], threading.Event()

    def watch():
        while not stop.is_set():
            dones = list(m._var.dones)  # read first: whatever is done by now must be in totals
            if not set(dones) <= set(m._var.totals):
                short.append(dones)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for round_ in range(1, 101):
            for _ in range(3):
                m._send_list([{}])
            wait_until(lambda: m._done() and len(m._var.dones) == 3 * round_)
            assert len(m._var.totals) == 3 * round_
    finally:
        stop.set()
        watcher.join()
    assert short == []


def test_clearing_records_while_tasks_are_sent_loses_no_name(make_manager):
    m = make_manager(lambda: None, 4)
    stop = threading.Event()

    def clear():
        while not stop.is_set():
            m._clear_record()

    clearer = threading.Thread(target=clear)
    clearer.start()
    try:
        for _ in range(300):
            m._send()
    finally:
        stop.set()
        clearer.join()
    # The clearer's last clearing may come after the last task ended, and a manager with no task
    # since its records were cleared is never done: one more task makes a batch to wait for.
    m._send()
    wait_until(m._done)
    assert sorted(m._var.totals) == sorted(m._get_all_status())
    assert_records(m)
