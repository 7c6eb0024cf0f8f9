"""A manager's run-time records: latency, timeline, raw histogram and the report written from them."""

import csv
import pickle
import sys
import threading
import time

import pytest

import threads_main
from conftest import wait_until
from test_latency import KEYS, ROW_KEYS, Tags


def timed_sleep(seconds, outcome=None):
    """Sleeps and returns what it measured itself (a lower bound of the manager's figure)."""
    began = time.perf_counter()
    time.sleep(seconds)
    took = time.perf_counter() - began
    if outcome == "raise":
        raise ValueError(took)
    return outcome if outcome is not None else took


def wait_for(gate):
    while not gate.wait(0.002):  # Python code between the waits: a stop lands here
        pass
    return "opened"


def run_batch(m, sleeps, outcomes=None, break_result="brixel_break"):
    for i, seconds in enumerate(sleeps):
        m._send(f"t{i}", seconds=seconds, outcome=(outcomes or {}).get(i))
    assert m._join(break_result) is True
    wait_until(lambda: m._done() and len(m._var.dones) == len(sleeps))


def own_times(m):
    """Each task's own measurement: its result, or the argument of the error it raised."""
    results = [m._get_result(name)[name] for name in m._var.dones]
    return [r.args[0] if isinstance(r, ValueError) else r for r in results]


def test_latency_of_known_sleeps_within_a_loose_bound(make_manager):
    m = make_manager(timed_sleep, 4, reserve=True)
    sleeps = [0.004] * 12 + [0.030] * 6 + [0.080] * 2
    run_batch(m, sleeps)
    latency = m._get_latency()
    assert list(latency) == KEYS and latency["count"] == len(sleeps)
    own = sorted(own_times(m))
    # The manager times the task function from outside: never less than the task saw itself, and
    # more only by the call and a switch of the interpreter lock (loose: the machine is shared).
    assert latency["min"] >= own[0] * 1e3 * (1 - 1 / 256) and latency["max"] >= own[-1] * 1e3
    slack, low = 25.0, 1 - 1 / 256  # a percentile is a bucket's midpoint, within 1/256 of the sample
    assert 4.0 <= latency["min"] < 4.0 + slack and 80.0 <= latency["max"] < 80.0 + slack
    assert 4.0 * low <= latency["p50"] < 4.0 + slack  # rank 10 of 20: a 4 ms sleep
    assert 30.0 * low <= latency["p90"] < 30.0 + slack and 80.0 * low <= latency["p99"] < 80.0 + slack
    assert latency["mean"] == pytest.approx(sum(own) / len(own) * 1e3, abs=slack)
    rows = m._get_timeline()
    assert rows and all(list(row) == ROW_KEYS for row in rows) and rows[0]["second"] == 0
    assert sum(row["completed"] for row in rows) == len(sleeps)
    assert max(row["max"] for row in rows) == latency["max"]


def test_failures_and_break_results_count_as_failed_and_add_up_to_the_counters(make_manager):
    m = make_manager(timed_sleep, 3, reserve=True)
    outcomes = {1: "raise", 4: "raise", 5: "bad", 7: "bad", 8: "bad"}
    run_batch(m, [0.002] * 10, outcomes, break_result="bad")
    status = m._get_run_status()
    assert (status["done"], status["failed"], status["success"]) == (10, 5, 5)
    rows = m._get_timeline()
    assert sum(r["completed"] for r in rows) == status["done"]
    assert sum(r["failed"] for r in rows) == status["failed"] == len(m._var.failed)
    # A function that raised ran too: every finished task has a run time.
    assert m._get_latency()["count"] == 10 and m._get_histogram()["count"] == 10


def test_stopped_tasks_are_not_recorded(make_manager):
    gate = threading.Event()
    m = make_manager(wait_for, 4)
    m._send("held", gate=gate)
    m._send("quick", gate=threading.Event())
    wait_until(lambda: m._get_all_status() == {"held": "运行中", "quick": "运行中"})
    assert m._stop("held") is True and m._stop("quick") is True
    wait_until(lambda: m._done())
    assert m._get_run_status()["stop"] == 2 and m._get_latency()["count"] == 0
    assert sum(r["completed"] for r in m._get_timeline()) == 0
    opened = threading.Event()
    opened.set()
    m._send("after", gate=opened)
    wait_until(lambda: "after" in m._var.dones)
    assert m._get_latency()["count"] == 1 and sum(r["completed"] for r in m._get_timeline()) == 1


def test_clear_record_clears_latency_and_timeline_and_queries_answer_after_close(make_manager):
    m = make_manager(timed_sleep, 4)
    run_batch(m, [0.001] * 5)
    assert m._get_latency()["count"] == 5 and m._get_timeline()
    assert m._clear_record() is True
    assert m._get_latency() == dict.fromkeys(KEYS, 0.0) and m._get_timeline() == []
    assert m._get_histogram() == threads_main.histogram_from_times([])
    run_batch(m, [0.001] * 3)  # a new batch starts its own timeline at second 0
    rows = m._get_timeline()
    assert rows[0]["second"] == 0 and sum(r["completed"] for r in rows) == 3
    before = (m._get_latency(), m._get_timeline(), m._get_histogram())
    m._close()
    assert (m._get_latency(), m._get_timeline(), m._get_histogram()) == before
    assert m._get_latency() is not m._get_latency()  # new objects per call


def test_two_managers_merge_exactly(make_manager):
    first, second = make_manager(timed_sleep, 4), make_manager(timed_sleep, 4)
    run_batch(first, [0.001, 0.003, 0.020] * 3)
    run_batch(second, [0.002, 0.050] * 2)
    raws = [pickle.loads(pickle.dumps(m._get_histogram())) for m in (first, second)]
    merged = threads_main.merge_histograms(raws)
    # One histogram of every task: the buckets' counts added up, the totals combined.
    counts = {}
    for raw in raws:
        for index, count in raw["buckets"]:
            counts[index] = counts.get(index, 0) + count
    assert merged["buckets"] == sorted(counts.items())
    assert merged["count"] == 13 and merged["sum"] == sum(r["sum"] for r in raws)
    assert (merged["min"], merged["max"]) == (min(r["min"] for r in raws), max(r["max"] for r in raws))
    assert merged == threads_main.merge_histograms(raws[::-1])
    latency = threads_main.histogram_latency(merged)
    assert latency["count"] == 13 and latency["max"] == max(first._get_latency()["max"], second._get_latency()["max"])
    # Read back alone, each raw form gives its own manager's figures.
    assert [threads_main.histogram_latency(r) for r in raws] == [first._get_latency(), second._get_latency()]


@pytest.fixture
def finished(make_manager):
    m = make_manager(timed_sleep, 4)
    run_batch(m, [0.002] * 6 + [0.010] * 2, {3: "raise"})
    return m


def test_write_report_html_holds_the_counters_and_the_charts(finished, tmp_path):
    path = tmp_path / "run.html"
    assert finished._write_report(path) is True
    text = path.read_text(encoding="utf-8")
    page = Tags()
    page.feed(text)
    page.close()
    assert page.tags[0] == "html" and page.classes.count("plotly-graph-div") == 3
    assert "Throughput" in text and "Failures" in text and "p99.9" in text
    assert f'<div class="value">{finished._get_run_status()["done"]}</div><div class="label">Finished' in text


def test_write_report_csv_is_the_timeline_gathered_through_self(finished, tmp_path):
    path = tmp_path / "run.csv"
    finished._write_report(str(path))
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == ROW_KEYS and len(rows) == len(finished._get_timeline())
    assert sum(int(r["completed"]) for r in rows) == 8 and sum(int(r["failed"]) for r in rows) == 1

    class Fixed(threads_main.BrixelThreadsMain):
        def _get_timeline(self):
            return [dict.fromkeys(ROW_KEYS, 7)]

    with Fixed(int, 1) as fixed:
        fixed._write_report(path)
    assert path.read_text().split() == [",".join(ROW_KEYS), ",".join(["7"] * 7)]


def test_write_report_without_plotly_names_the_extra(finished, tmp_path, monkeypatch):
    for name in [n for n in sys.modules if n == "plotly" or n.startswith("plotly.")] + ["plotly"]:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r'pip install "threads_main\[report\]"'):
        finished._write_report(tmp_path / "run.html")
    assert finished._write_report(tmp_path / "run.csv") is True
