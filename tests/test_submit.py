"""Task submission: naming, entries, the lock, bulk submission with and without a duration."""

import subprocess
import sys
import textwrap
import threading
import time
import types
import warnings

import pytest

import threads_main
from brixel_var import BrixelVar
from conftest import Paused, shut, wait_until


@pytest.fixture
def held(make_manager):
    """A manager whose control loop never dispatches (limit 0), so submissions stay waiting."""
    m = make_manager()
    m._var.max_workers = 0
    return m


def queued(m):
    return [m._var.queue.get(timeout=5) for _ in range(m._get_qsize())]


def test_generated_names_entries_queue_and_totals(held, dispatch):
    assert [held._send(x=i) for i in range(3)] == [True] * 3
    names = ["Thread_1", "Thread_2", "Thread_3"]
    assert held._var.totals == names and held._var.name == 4
    for i, name in enumerate(names):
        entry = held._var.threads.get(name)
        assert (entry.status, entry.result) == ("待运行", None)
        if dispatch == "eager":
            assert entry.thread is None  # a waiting task has no thread of its own
        else:
            assert not entry.thread.ident and entry.thread._target.kwargs == {"x": i}
    assert queued(held) == names


class StoreSub(BrixelVar):
    pass


def shadowed_store():
    """A plain store whose `set`, `keys` and `get` are replaced on the instance, recording their calls."""
    store, calls = BrixelVar(), []
    plain_set, plain_keys, plain_get = store.set, store.keys, store.get
    store.add(set=lambda name, value: calls.append(("set", name, dict(value))) or plain_set(name, value=value),
              keys=lambda: calls.append(("keys",)) or plain_keys(),
              get=lambda name: calls.append(("get", name)) or plain_get(name))
    return store, calls


@pytest.mark.parametrize("make_store", [BrixelVar, StoreSub, lambda: shadowed_store()[0]])
def test_naming_and_entries_agree_for_every_kind_of_store(held, make_store, dispatch):
    held._var.threads = make_store()
    for name in ("job", "job", "", "Thread_3", None):
        held._send(name, x=1)
    # A name in use is replaced by a generated one, and so is ""; the counter moves past a caller's
    # "Thread_3".
    names = ["job", "Thread_1", "Thread_2", "Thread_3", "Thread_4"]
    assert held._var.totals == names and list(held._var.threads.keys()) == names
    assert held._var.name == 5 and queued(held) == names
    for name in names:
        entry = held._var.threads.get(name)
        assert (entry.status, entry.result) == ("待运行", None)
        assert dispatch == "eager" or entry.thread._target.brixel_name == name


def test_a_store_method_replaced_on_the_instance_is_called(held):
    held._var.threads, calls = shadowed_store()
    held._send("a")
    assert calls[0] == ("keys",) and calls[1][:2] == ("set", "a")
    assert list(calls[1][2]) == ["thread", "result", "status"] and calls[1][2]["status"] == "待运行"
    del calls[:]
    assert held._get_status("a") == {"a": "待运行"} and held._get_all_status() == {"a": "待运行"}
    assert calls == [("keys",), ("get", "a"), ("keys",), ("get", "a")]


class Refused(Exception):
    pass


@pytest.mark.parametrize("where", ["instance", "class", "subclass"])
def test_the_open_check_of_a_submission_is_the_one_self_finds(make_manager, monkeypatch, where):
    armed = [True]

    def refuse(*args):
        if armed[0]:
            raise Refused

    if where == "subclass":
        class Checked(threads_main.BrixelThreadsMain):
            _check_while = refuse
        m = Checked(print, 2)
    else:
        m = make_manager(print, 2)
        if where == "instance":
            m._check_while = refuse
        else:
            monkeypatch.setattr(threads_main.BrixelThreadsMain, "_check_while", refuse)
    try:
        with pytest.raises(Refused):
            m._send("a")
        assert m._var.totals == [] and m._var.name == 1
    finally:
        armed[0] = False
        shut(m)


@pytest.mark.parametrize("counter, first", [(-3, "Thread_-3"), (2**70, f"Thread_{2**70}"), (True, "Thread_True"),
                                            ("7", None)])
def test_generated_names_take_the_counters_text_form(held, counter, first):
    held._var.name = counter
    if first is None:  # a counter that cannot be advanced: nothing is submitted
        with pytest.raises(TypeError):
            held._send()
        assert held._var.totals == []
        return
    held._send()
    assert held._var.totals == [first] and held._var.name == counter + 1


# A counter whose next value gives the same name again. Should the loop over names in use ever go
# round for ever again, it would hold the interpreter lock, so the submissions run in a child.
NO_ADVANCE = """
    import logging, sys, threading, threads_main
    threading.excepthook = lambda args: print(args.exc_value)
    for dispatch in ("paced", "eager"):
        m = threads_main.BrixelThreadsMain(lambda: None, 1, logger=logging.getLogger("quiet"), dispatch=dispatch)
        m._var.max_workers = 0
        m._var.name = eval(sys.argv[1])
        m._send()
        m._send_list([{}])  # the bulk path, on the sending thread
        for t in threading.enumerate():
            if t.name.endswith("(_send_list_thread)"):
                t.join()
        try:
            m._send()
        except ValueError as e:
            print(e)
        print(m._var.totals, m._get_qsize())
        m._close()
"""


@pytest.mark.parametrize("counter, text", [("float('inf')", "inf"), ("float('nan')", "nan"),
                                           ("2.0 ** 53", "9007199254740992.0")])
def test_a_counter_that_no_longer_advances_is_refused(counter, text):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(NO_ADVANCE), counter], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    refused = f"the name counter {text} does not advance: Thread_{text} is in use"
    assert done.stdout.splitlines() == [refused, refused, f"['Thread_{text}'] 1"] * 2


class StrSub(str):
    pass


@pytest.mark.parametrize("bad, type_name", [(5, "int"), (StrSub("x"), "StrSub"), (b"x", "bytes"), (1.5, "float")])
def test_thread_name_of_another_type_is_refused(held, bad, type_name):
    with pytest.raises(TypeError) as info:
        held._send(bad, x=1)
    assert str(info.value) == f"Argument 'thread_name' has incorrect type (expected str, got {type_name})"
    assert (held._var.totals, held._var.name, held._get_qsize()) == ([], 1, 0)


@pytest.mark.parametrize("keyword", ["brixel_var", "brixel_name", "brixel_log"])
def test_reserved_keyword_raises_and_leaves_the_lock_free(held, keyword):
    with pytest.raises(TypeError, match=f"multiple values for argument '{keyword}'"):
        held._send(**{keyword: 1})
    assert held._var.totals == [] and held._get_qsize() == 0 and list(held._var.threads.keys()) == []
    assert held._send() is True  # would wait for ever on a lock left taken
    assert held._var.totals == ["Thread_2"]


def test_a_finalizer_run_by_a_submissions_write_is_what_the_store_reads(held):
    # A submission writes `done`; the value it replaces runs code that writes `done` again, and that
    # later write is what the store reads afterwards (the first time and when `done` was read before).
    var = held._var

    class Done:
        def __del__(self):
            var.done = "set by a finalizer"

    for _ in range(2):
        var.done = Done()
        held._send()
        assert var.done == "set by a finalizer"
        held._send()
        assert var.done is False


def test_worker_class_is_looked_up_at_each_submission(held, monkeypatch):
    made = []

    class Recorded(threads_main._Worker):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append((self.brixel_name, self.kwargs, self.var))

    held._send("before")
    monkeypatch.setattr(threads_main, "_Worker", Recorded)
    held._send("a", x=1)
    monkeypatch.undo()
    held._send("after")
    assert made == [("a", {"x": 1}, held._var)]


class ListSub(list):
    pass


def test_bulk_submission_runs_every_request(make_manager):
    m = make_manager(lambda **kw: kw)
    assert m._send_list(ListSub([{"thread_name": "named", "x": 1}, [("x", 2)]])) is None  # pairs make a dict
    wait_until(lambda: len(m._var.dones) == 2)
    assert {name: e.result for name, e in m._var.threads.items()} == {"named": {"x": 1}, "Thread_1": {"x": 2}}


def test_a_batch_is_not_done_while_its_collection_is_being_sent(make_manager, monkeypatch):
    m = make_manager(lambda x: x, 4)
    m._send_list([{"x": 0}])
    m._join()
    # On a finished batch: not done from the call on, through the pause before the first task and
    # the one half-way, so the join waits for the whole collection.
    m._send_list(Paused([{"x": i} for i in range(1, 7)], at=(0, 3)))
    assert m._done() is False
    m._join()
    assert len(m._var.dones) == 7 and m._done() is True
    # A pass that ends in an error, or sends nothing, leaves a finished batch finished.
    with pytest.raises(TypeError):
        m._send_list_thread([None])
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an empty collection on a batch that has tasks is no mistake
        m._send_list([])
    wait_until(m._done)
    assert len(m._var.totals) == 7

    class Unstartable(threading.Thread):
        def start(self):
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(threads_main, "threading", types.SimpleNamespace(Thread=Unstartable))
    with pytest.raises(RuntimeError):
        m._send_list([{"x": 7}])
    assert m._done() is True


def test_a_timed_batch_is_done_once_its_window_has_passed(make_manager, fast_time):
    now = [100.0]
    fast_time.time = lambda: now[0]
    m = make_manager(lambda: None, 2, duration=2)
    m._send_list(Paused([{}], at=(0,), seconds=0.01))
    wait_until(lambda: len(m._var.dones) >= 3)
    assert m._done() is False  # every pause finds the tasks sent so far ended
    now[0] = 102.5
    wait_until(m._done)
    sent = len(m._var.totals)
    time.sleep(0.05)
    assert len(m._var.totals) == sent and m._var.dones == m._var.totals


@pytest.mark.parametrize("empty", [[], (), set()])
def test_an_empty_collection_before_any_task_warns_of_the_join_that_would_wait(held, empty):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert held._send_list(empty) is None
    message = (f"_send_list sends nothing from an empty {type(empty).__name__}, and the manager has no task: a "
               "join would wait for one")
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(RuntimeWarning, message, __file__)]
    assert held._done() is False


@pytest.mark.parametrize("collection", [{"x": 1}, ({"x": i} for i in range(2)), "abc", None, frozenset()])
def test_send_list_ignores_other_collections_and_warns_of_them(held, monkeypatch, collection):
    started = []
    monkeypatch.setattr(threads_main, "Thread", lambda *a, **kw: started.append(kw))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert held._send_list(collection) is None
    assert started == [] and held._var.totals == []
    said = [(w.category, str(w.message), w.filename) for w in caught]
    if collection is None:
        assert said == []  # nothing to send, said plainly
    else:
        kind = type(collection).__name__
        assert said == [(RuntimeWarning, f"_send_list sends nothing from a {kind}: give it a list, a set or a tuple",
                         __file__)]


def test_send_list_thread_called_directly_sends_a_generator_once(held):
    assert held._send_list_thread({"x": i} for i in range(3)) is None
    assert held._var.totals == ["Thread_1", "Thread_2", "Thread_3"]
    assert list(threads_main.BrixelThreadsMain._thread_list_yield((1, 2))) == [1, 2]


def test_a_task_sending_from_a_generator_is_stopped_inside_it(make_manager):
    # The generator is the caller's code, run for as long as it yields: a stop of the task that
    # sends from it ends the pass there, instead of letting it submit to the last element.
    closed = threading.Event()

    def pages():
        try:
            for page in range(100_000):
                time.sleep(0.001)
                yield {"page": page}
        finally:
            closed.set()

    def task(page=None):
        if page is None:
            m._send_list_thread(pages())
        return page

    m = make_manager(task, 4)
    m._send("feeder")
    wait_until(lambda: len(m._var.totals) > 5)
    assert m._stop_all() is True
    assert closed.wait(5) and m._get_status("feeder") == {"feeder": "停止"}
    sent = len(m._var.totals)
    wait_until(m._done)
    assert len(m._var.totals) == sent  # nothing sent after the stop


def test_each_task_keeps_its_own_keywords_whatever_the_call_shape(held):
    held._send(thread_name="a", x=1, y=2)
    held._send("b", y=3)
    held._send(x=4, thread_name="c")
    held._send(x=5, thread_name="d")
    # Requests with the same keys share their names; a new order or a new key set must not.
    held._send_list_thread([{"x": 6}, {"y": 7, "x": 8}, {"x": 9, "y": 10}, {}, {"thread_name": "e", "x": 11},
                            {"x": 12}, {"x": 13}])
    # The tasks run (the default task function returns its keywords), in either way of dispatch.
    held._set_max_workers(4)
    wait_until(lambda: len(held._var.dones) == 11)
    kwargs = [held._get_result(n)[n] for n in held._var.totals]
    assert held._var.totals[:4] == ["a", "b", "c", "d"] and held._var.totals[8] == "e"
    assert kwargs == [{"x": 1, "y": 2}, {"y": 3}, {"x": 4}, {"x": 5}, {"x": 6}, {"y": 7, "x": 8},
                      {"x": 9, "y": 10}, {}, {"x": 11}, {"x": 12}, {"x": 13}]
    assert [list(k) for k in kwargs[5:7]] == [["y", "x"], ["x", "y"]]
    with pytest.raises(TypeError, match="keywords must be strings"):
        held._send_list_thread([{1: 2}])
    assert len(held._var.totals) == 11 and held._var.dones == held._var.totals


class KeysOfItsOwn(dict):
    """A dict that `**` reads through keys() and [], not as stored."""

    def __iter__(self):
        return iter(["x"])

    def keys(self):
        return ["x"]

    def __getitem__(self, key):
        return "given"


@pytest.mark.parametrize("collection", [list, iter])
def test_a_dict_with_keys_of_its_own_is_taken_as_double_star_takes_it(held, collection):
    held._send_list_thread(collection([KeysOfItsOwn(x="stored", y=2), {"x": 1}]))
    held._set_max_workers(4)
    wait_until(lambda: len(held._var.dones) == 2)
    assert [held._get_result(n)[n] for n in held._var.totals] == [{"x": "given"}, {"x": 1}]


def test_none_request_ends_the_sending_thread_with_a_report(held, monkeypatch):
    with pytest.raises(TypeError, match="argument after \\*\\* must be a mapping, not NoneType"):
        held._send_list_thread([{"x": 1}, None, {"x": 2}])
    assert held._var.totals == ["Thread_1"]
    reported = []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    held._send_list([None])
    wait_until(lambda: reported)
    assert type(reported[0].exc_value) is TypeError and held._var.totals == ["Thread_1"]


def test_duration_resubmits_within_the_window_then_waits_for_close(make_manager, fast_time, monkeypatch):
    reported, senders = [], []
    monkeypatch.setattr(threading, "excepthook", reported.append)
    script = [100.0, 100.0, 101.0, 102.0, 102.5]  # the start, then one reading per pass
    fast_time.time = lambda: script.pop(0) if len(script) > 1 else script[0]
    m = make_manager(duration=2)
    m._var.max_workers = 0  # nothing leaves the queue

    class Recorded(threading.Thread):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            senders.extend([self] if "args" in kwargs else [])

    monkeypatch.setattr(threads_main, "threading", types.SimpleNamespace(Thread=Recorded))
    m._send_list([{"thread_name": "a"}, {}])
    # Three passes (the end of the window counts), then sleeps until the manager closes.
    wait_until(lambda: fast_time.sleeps.count(0.05) > 3)
    assert m._var.totals == ["a", "Thread_1", "Thread_2", "Thread_3", "Thread_4", "Thread_5"]
    assert senders[0].is_alive()
    shut(m)
    senders[0].join(5)
    assert not senders[0].is_alive() and reported == []


def test_a_timed_collection_is_sent_once_however_many_names_wait(make_manager, fast_time):
    m = make_manager(duration=0.01)
    m._var.max_workers = 0  # nothing leaves the queue
    for _ in range(1000):
        m._send()
    m._send_list([{"thread_name": "timed"}])
    wait_until(lambda: "timed" in m._var.totals)


def test_a_pass_after_the_first_ends_with_the_window(make_manager, fast_time):
    # The clock as the sending loop reads it: its start, its first look (the first pass goes whole),
    # its second, then once after each chunk of 64 of the second pass, which ends at the closed
    # window; then past it.
    script = [100.0, 100.0, 100.5, 100.9, 101.5]
    fast_time.time = lambda: script.pop(0) if len(script) > 1 else script[0]
    m = make_manager(duration=1)
    m._var.max_workers = 0
    m._send_list([{}] * 200)
    wait_until(lambda: fast_time.sleeps.count(0.05) > 3)  # past the window, pausing at the longest
    assert len(m._var.totals) == 200 + 128


def test_a_cleared_batchs_sending_loop_sends_nothing_into_the_next(make_manager, fast_time):
    # The first run's loop outlives its window; a longer duration set for the next run would have
    # reopened it, and its collection would have run in the next batch.
    m = make_manager(lambda x: x, 4, reserve=True, duration=0.05)
    m._send_list([{"x": "first"}])
    m._join()
    assert m._clear_record() is True
    m._var.duration = 1.0
    m._send_list([{"x": "second"}])
    m._join()
    assert {row["result"] for row in m._get_all_result()["data"]} == {"second"}


class SlowList(list):
    """A collection that takes a while to go through: 20 ms an element."""

    def __iter__(self):
        for element in super().__iter__():
            time.sleep(0.02)
            yield element


def test_a_timed_join_waits_for_a_first_pass_that_outlasts_the_window(make_manager, fast_time):
    m = make_manager(duration=0.05)
    m._send_list(SlowList([{}] * 10))
    m._join_property(None, 1)
    assert len(m._var.totals) == 10


def test_duration_holds_back_at_the_queue_threshold(make_manager, fast_time):
    m = make_manager(duration=60)
    m._var.max_workers = 0
    m._send_list([{}, {}, {}])
    wait_until(lambda: m._get_qsize() >= 1000)
    wait_until(lambda: 0.05 in fast_time.sleeps)  # paused again and again, the pause at its longest
    total = len(m._var.totals)
    # A pass starts only below 1000 waiting names and runs to its end: at most 2 names more.
    assert 1000 <= total <= 1002 and len(set(m._var.totals)) == total


def test_a_full_queue_paces_the_timed_send_to_the_tasks(make_manager, fast_time):
    # The queue sizes the sending loop reads after its first pass (which goes whatever waits): full
    # while the tasks take few names, nearly empty once they take many, then in between; when the
    # script ends the manager closes.
    readings = iter([1000, 1000, 1000, 100, 1000, 1000, 1000, 1000, 1000, 600])
    m = make_manager(duration=60)
    m._var.max_workers = 0

    def qsize():
        if threading.current_thread() is not threading.main_thread():
            return type(m)._get_qsize(m)  # the paced control loop asks too
        for waiting in readings:
            return waiting
        m._var.switch = False
        return 1000

    m._get_qsize = qsize
    m._send_list_thread([{}])
    # Doubled while a pause leaves three quarters waiting, halved when it leaves under a quarter,
    # kept in between, and never beyond 50 ms.
    assert fast_time.slept() == pytest.approx([0.005, 0.01, 0.02, 0.01, 0.02, 0.04, 0.05, 0.05, 0.05])
    assert m._var.totals == ["Thread_1", "Thread_2", "Thread_3"]


def test_past_its_window_the_timed_send_pauses_longer_until_the_window_reopens(make_manager, fast_time):
    # Readings of the sending loop (this thread): the first pass, three past the window, one inside
    # it again (a longer duration would do the same), then past it until the manager closes.
    m = make_manager(duration=2)
    m._var.max_workers = 0
    readings = [100.0, 100.0, 103.0, 103.0, 103.0, 101.0] + [103.0] * 6

    def clock():
        if threading.current_thread() is not threading.main_thread():
            return time.time()
        if len(readings) == 1:
            m._var.switch = False
        return readings.pop(0) if len(readings) > 1 else readings[0]

    fast_time.time = clock
    m._send_list_thread([{}])
    assert fast_time.slept() == pytest.approx([0.005, 0.01, 0.02, 0.005, 0.01, 0.02, 0.04, 0.05, 0.05])
    assert len(m._var.totals) == 2


@pytest.mark.parametrize("cleared", [None, 0])
def test_a_duration_cleared_during_a_timed_send_closes_its_window(make_manager, fast_time, cleared):
    # None ended the sending thread with a TypeError (the start time plus None); it now does what 0
    # does, as the join takes both to mean no duration.
    m = make_manager(duration=60)
    m._var.max_workers = 0
    readings = []

    def clock():
        if threading.current_thread() is not threading.main_thread():
            return time.time()
        readings.append(None)  # the start, then one per pass
        if len(readings) == 3:
            m._var.duration = cleared
        elif len(readings) == 6:
            m._var.switch = False
        return 100.0 + len(readings)

    fast_time.time = clock
    assert m._send_list_thread([{}]) is None
    assert m._var.totals == ["Thread_1"] and fast_time.slept() == pytest.approx([0.005, 0.01, 0.02, 0.04])


def test_close_during_a_timed_send_ends_it_quietly(make_manager):
    m = make_manager(duration=60)
    m._var.max_workers = 0
    original, calls = m._send, []

    def send(**kw):
        calls.append(kw)
        if len(calls) == 5:
            m._var.switch = False  # the manager closes between two submissions
        return original(**kw)

    m._send = send
    assert m._send_list_thread([{}, {}]) is None
    assert len(calls) == 5 and len(m._var.totals) == 4


class Pairs:
    """A mapping that is no dict at all."""

    def __init__(self, on_keys):
        self.on_keys = on_keys

    def keys(self):
        self.on_keys()
        return ["x"]

    def __getitem__(self, key):
        return 1


def test_a_bulk_pass_submits_in_order_and_stops_at_a_bad_request(make_manager):
    # Long enough to be taken in several parts; each request is submitted (and its task started)
    # before a later one runs any code, and a bad one ends the pass with the earlier ones running.
    m = make_manager(lambda **kw: kw, 4)
    with pytest.raises(TypeError, match="thread_name"):
        m._send_list_thread([{"x": 0}, {"x": 1}, {"thread_name": 5}])
    wait_until(lambda: len(m._var.dones) == 2)  # with no task thread yet to take them
    seen = []
    requests = [{"x": i} for i in range(150)]
    requests[30] = Pairs(lambda: seen.append(len(m._var.totals)))
    requests[100] = {"thread_name": 5}
    with pytest.raises(TypeError, match="thread_name"):
        m._send_list_thread(requests)
    assert seen == [32] and len(m._var.totals) == 102
    wait_until(lambda: len(m._var.dones) == 102)
    assert m._get_result(m._var.totals[101]) == {m._var.totals[101]: {"x": 99}}
    # A bad request among those submitted ahead of a request that is no dict: each one before it
    # is submitted once.
    with pytest.raises(TypeError, match="thread_name"):
        m._send_list_thread([{"x": 0}, {"thread_name": 5}, Pairs(lambda: None)])
    assert len(m._var.totals) == 103


def test_a_bulk_pass_honours_overrides_per_request(make_manager):
    m = make_manager()
    m._var.max_workers = 0
    checks, paced = [], []
    own_check = m._check_while
    # The paced control loop asks _get_qsize, which checks too: count this thread's calls only.
    m._check_while = lambda: checks.append(threading.get_ident()) or own_check()
    m._send_list_thread([{} for _ in range(100)])
    assert checks.count(threading.get_ident()) == 100
    del m._check_while

    def one_at_a_time(thread_list):
        for element in thread_list:
            paced.append(len(m._var.totals))
            yield element

    m._thread_list_yield = one_at_a_time
    m._send_list_thread([{} for _ in range(70)])
    assert paced == list(range(100, 170))
    # A close met between two parts of a pass ends it: nothing after the close is submitted.
    del m._thread_list_yield
    closing = Pairs(lambda: setattr(m._var, "switch", False))
    with pytest.raises(threads_main.ManagerError, match="The manager has stopped"):
        m._send_list_thread([{}] * 80 + [closing] + [{}] * 10)
    assert len(m._var.totals) == 250
    m._var.switch = True  # for the fixture's own close
