"""Status and result queries."""

import threading

import pytest

from conftest import wait_until

MISSING = "Task does not exist"
COUNTS = ["total", "run", "success", "failed", "stop", "cancel"]


def add_task(m, name, status, result=None, lists=()):
    m._var.threads.set(name, value={"thread": None, "result": result, "status": status})
    for field in ("totals",) + tuple(lists):
        getattr(m._var, field).append(name)


def record(name, result, status):
    return {"task": name, "result": result, "status": status}


@pytest.mark.parametrize("closed", [False, True])
def test_fresh_manager(make_manager, closed):
    m = make_manager()
    m._var.switch = not closed
    run = m._get_run_status()
    assert list(run) == ["total", "done", "run", "success", "failed", "stop", "cancel"] and set(run.values()) == {0}
    for summary in (m._get_all_result(), m._get_failed_result()):
        assert list(summary) == COUNTS + ["data"] and summary == dict.fromkeys(COUNTS, 0) | {"data": []}
    assert m._get_all_status() == {} and m._get_failed() == []
    assert m._get_status("nope") == {"nope": MISSING} and m._get_result(7) == {7: MISSING}


@pytest.mark.parametrize("closed", [False, True])
def test_recorded_tasks(make_manager, closed):
    m = make_manager()
    error = ValueError("bad")
    add_task(m, "a", "完成", 1, ["runs", "dones", "success"])
    add_task(m, "b", "失败", error, ["runs", "dones", "failed"])
    add_task(m, "c", "完成", "brk", ["runs", "dones", "failed"])  # matched the break result
    add_task(m, "d", "停止", None, ["runs", "stops"])
    add_task(m, "e", "待运行")
    m._var.switch = not closed
    assert m._get_run_status() == dict(total=5, done=3, run=4, success=1, failed=2, stop=1, cancel=0)
    assert list(m._get_all_status().items()) == [("a", "完成"), ("b", "失败"), ("c", "完成"), ("d", "停止"),
                                                 ("e", "待运行")]
    assert m._get_status("e") == {"e": "待运行"} and m._get_result("e") == {"e": None}
    assert m._get_result("b")["b"] is error
    counts = dict(total=5, run=4, success=1, failed=2, stop=1, cancel=0)
    every = m._get_all_result()
    assert every == counts | {"data": [record("a", 1, "完成"), record("b", error, "失败"), record("c", "brk", "完成"),
                                       record("d", None, "停止"), record("e", None, "待运行")]}
    assert all(list(r) == ["task", "result", "status"] for r in every["data"])
    assert m._get_failed_result() == counts | {"data": [record("b", error, "失败")]}
    assert m._get_failed() == ["b"] and m._get_all_result()["data"] is not every["data"]


class VanishingStore:
    """Records cleared between the name snapshot and the fetch: "gone" is listed but not found."""

    def __init__(self, entry):
        self.keys, self.items = lambda: ["kept", "gone"], lambda: [("kept", entry)]
        self.get = {"kept": entry}.get


def test_entry_gone_after_the_snapshot(make_manager):
    m = make_manager()
    add_task(m, "kept", "失败", 5)
    m._var.threads = VanishingStore(m._var.threads.get("kept"))
    assert m._get_all_status() == {"kept": "失败"} and m._get_failed() == ["kept"]
    assert m._get_status("gone") == {"gone": MISSING} and m._get_result("gone") == {"gone": MISSING}
    assert m._get_all_result()["data"] == m._get_failed_result()["data"] == [record("kept", 5, "失败")]


def test_queries_race_submissions_and_clearing(make_manager):
    m = make_manager()
    threads, start, finished = m._var.threads, threading.Barrier(2), threading.Event()

    def submit():
        start.wait()
        for i in range(3500):
            threads.set(f"t{i}", value={"thread": None, "result": i, "status": "失败"})
            if i % 1000 == 999:
                threads.clear()
        finished.set()

    writer = threading.Thread(target=submit)
    writer.start()
    start.wait()
    while not finished.is_set():
        assert set(m._get_all_status().values()) <= {"失败"}
        assert all(r["result"] == int(r["task"][1:]) for r in m._get_failed_result()["data"])
        m._get_all_result(), m._get_failed(), m._get_status("t5"), m._get_result("t5")
    writer.join(10)
    assert list(m._get_all_status()) == m._get_failed() == [f"t{i}" for i in range(3000, 3500)]


def test_end_to_end_with_a_break_result(make_manager):
    gate = threading.Event()

    def task(outcome):
        gate.wait(5)
        if outcome == "raise":
            raise ValueError(outcome)
        return outcome

    m = make_manager(task)
    for outcome in (1, "raise", "brk"):
        m._send(outcome=outcome)
    # The tasks finish only once the join has stored the break result.
    opener = threading.Thread(target=lambda: wait_until(lambda: m._var.break_result == "brk") or gate.set())
    opener.start()
    assert m._join_property("brk", 1) is True
    opener.join(5)
    counts = dict(total=3, run=3, success=1, failed=2, stop=0, cancel=0)
    every = m._get_all_result()
    assert every == counts | {"data": [record("Thread_1", 1, "完成"), record("Thread_2", every["data"][1]["result"], "失败"),
                                       record("Thread_3", "brk", "完成")]}
    assert type(every["data"][1]["result"]) is ValueError
    assert m._get_failed_result() == counts | {"data": [every["data"][1]]} and m._get_failed() == ["Thread_2"]
    assert [t[:16] for t in m._log.texts("info") if str(t).startswith("summary =")][-1] == "summary =      3"
