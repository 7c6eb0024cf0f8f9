"""A manager's run-time records: latency, timeline, raw histogram and the report written from them."""

import csv
import html.parser
import importlib.metadata
import os
import pickle
import stat
import sys
import threading
import time

import pytest

import brixel_report
import threads_main
from conftest import wait_until
from test_latency import CSV_KEYS, KEYS, ROW_KEYS, Tags


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
    assert list(rows[0]) == CSV_KEYS and len(rows) == len(finished._get_timeline())
    assert sum(int(r["completed"]) for r in rows) == 8 and sum(int(r["failed"]) for r in rows) == 1

    class Fixed(threads_main.BrixelThreadsMain):
        def _get_timeline(self):
            return [dict.fromkeys(ROW_KEYS, 7)]

    with Fixed(int, 1) as fixed:
        fixed._write_report(path)
    assert path.read_text().split() == [",".join(CSV_KEYS), ",".join(["7"] * 7)]


class Refused(Exception):
    pass


def failing(kind, n=0):
    if kind == "value":
        raise ValueError(f"bad {n % 2}")
    if kind == "own":
        raise Refused("x" * 1000)  # a class of the tests' own module, and a long message
    return n


def test_errors_are_grouped_by_cause_most_frequent_first(make_manager, dispatch):
    m = make_manager(failing, 4)
    m._var.break_result = 500
    sent = [("value", 0)] * 5 + [("value", 1)] * 3 + [("own", 0)] + [("ok", 500)] * 2 + [("ok", 1)] * 4
    for i, (kind, n) in enumerate(sent):
        m._send(f"t{i}", kind=kind, n=n)
    wait_until(lambda: m._done() and len(m._var.dones) == len(sent))
    errors = m._get_errors()
    assert [(e["error"][:28], e["count"]) for e in errors] == [
        ("ValueError: bad 0", 5), ("ValueError: bad 1", 3), ("result == 500", 2), (f"{__name__}.Refused: xxxxxxxx"[:28], 1)]
    assert sum(e["count"] for e in errors) == len(m._var.failed) == 11
    assert len(errors[3]["error"]) == 300  # kept short
    first = {e["error"]: e for e in errors}["ValueError: bad 0"]
    assert first["example"] in {f"t{i}" for i in range(5)} and 0 <= first["first"] <= first["last"]
    info = m._get_run_info()
    assert info["function"] == "failing" and info["max_workers"] == 4 and info["duration"] is None
    assert info["dispatch"] == dispatch
    assert time.time() - 60 < info["started"] <= info["ended"] <= time.time()
    assert m._clear_record() is True and m._get_errors() == []
    assert (m._get_run_info()["started"], m._get_run_info()["ended"]) == (None, None)


class Unrepresentable:
    def __eq__(self, other):
        return other == 500

    __hash__ = object.__hash__

    def __repr__(self):
        raise ValueError("no text")


class Unprintable(Exception):
    def __str__(self):
        raise KeyboardInterrupt


def test_a_failure_whose_text_cannot_be_made_still_counts(make_manager):
    m = make_manager(lambda kind: Unrepresentable() if kind == "result" else (_ for _ in ()).throw(Unprintable()), 2)
    m._var.break_result = 500
    m._send("a", kind="result"), m._send("b", kind="error")
    wait_until(lambda: m._done() and len(m._var.dones) == 2)
    errors = sorted((e["error"], e["count"], e["example"]) for e in m._get_errors())
    assert errors == [("Unprintable: <exception str() failed>", 1, "b"), ("result == <repr() failed>", 1, "a")]
    assert m._get_run_status()["failed"] == 2


def test_run_info_lets_a_ctrl_c_in_the_function_name_through(make_manager):
    class Task:
        def __getattr__(self, name):
            raise KeyboardInterrupt if name == "__qualname__" else AttributeError(name)

        def __call__(self):
            return 1

    m = make_manager(Task(), 2)
    with pytest.raises(KeyboardInterrupt):
        m._get_run_info()


def test_errors_are_bounded_and_merge_exactly(make_manager):
    m = make_manager(lambda n: (_ for _ in ()).throw(KeyError(n)), 4)
    for n in range(130):
        m._send(n=n)
    wait_until(lambda: m._done() and len(m._var.dones) == 130)
    errors = m._get_errors()
    assert len(errors) == 101 and errors[-1]["error"] == "(other causes)" and errors[-1]["count"] == 30
    assert sum(e["count"] for e in errors) == 130
    # Two managers' causes merge as one manager's: counts summed, times put on one clock.
    a = [{"error": "E: x", "count": 2, "first": 1.0, "last": 2.0, "example": "a1"},
         {"error": "E: y", "count": 1, "first": 3.0, "last": 3.0, "example": "a2"}]
    b = [{"error": "E: y", "count": 4, "first": 0.5, "last": 5.0, "example": "b1"}]
    merged = threads_main.merge_errors([a, b], offsets=[0, 1.0])
    assert merged == [{"error": "E: y", "count": 5, "first": 1.5, "last": 6.0, "example": "b1"},
                      {"error": "E: x", "count": 2, "first": 1.0, "last": 2.0, "example": "a1"}]
    # A merge keeps the bound: the causes first seen earliest, the rest counted as other causes.
    merged = threads_main.merge_errors([errors[:60], errors[60:]])
    assert [e["count"] for e in merged] == [e["count"] for e in errors] and merged[:100] == errors[:100]
    with pytest.raises(ValueError, match="one offset per list"):
        threads_main.merge_errors([a, b], offsets=[0])
    for times, offsets in [({"last": float("nan")}, None), ({}, [1e300, 0])]:  # no wrapped-round times
        with pytest.raises(ValueError, match="must be finite seconds"):
            threads_main.merge_errors([[dict(a[0], **times)], b], offsets=offsets)
    # A text UTF-8 cannot hold (a lone surrogate) is kept escaped, as a manager records its own.
    assert threads_main.merge_errors([[dict(a[0], error="E: \udcff")]])[0]["error"] == "E: \\udcff"


def test_write_report_shows_the_set_up_and_the_causes(make_manager, tmp_path):
    m = make_manager(failing, 2)
    for n in range(4):
        m._send(kind="value", n=n)
    wait_until(lambda: m._done() and len(m._var.dones) == 4)
    m._write_report(tmp_path / "run.html")
    text = (tmp_path / "run.html").read_text(encoding="utf-8")
    assert "failing" in text and "ValueError: bad 0" in text and "Failures by cause" in text
    m._write_report(os.fsencode(tmp_path / "run.csv"))  # a bytes path
    with open(tmp_path / "run.errors.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["error"], r["count"]) for r in rows] == [("ValueError: bad 0", "2"), ("ValueError: bad 1", "2")]


def test_write_report_without_plotly_names_the_extra(finished, tmp_path, monkeypatch):
    for name in [n for n in sys.modules if n == "plotly" or n.startswith("plotly.")] + ["plotly"]:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r'pip install "threads_main\[report\]"'):
        finished._write_report(tmp_path / "run.html")
    assert finished._write_report(tmp_path / "run.csv") is True


# The report written straight from synthetic figures, as a manager or a set of processes hands them over.

class Page(html.parser.HTMLParser):
    """What a reader of the report sees: each section's table rows as cell texts, the counter cards
    by label, and the attributes of every element with an id."""

    def __init__(self, path):
        super().__init__()
        self.tables, self.cards, self.ids = {}, {}, {}
        self._section, self._row, self._cell, self._card, self._value = None, None, None, None, None
        self.feed(path.read_text(encoding="utf-8"))
        self.close()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if "id" in attrs:
            self.ids[attrs["id"]] = attrs
        if tag == "section":
            self._section = attrs.get("id")
        elif tag == "tr":
            self._row = []
            self.tables.setdefault(self._section, []).append(self._row)
        elif tag in ("th", "td"):
            self._cell = []
        elif tag == "div" and attrs.get("class") in ("value", "label"):
            self._card = (attrs["class"], [])

    def handle_endtag(self, tag):
        if tag in ("th", "td"):
            self._row.append("".join(self._cell))
            self._cell = None
        elif tag == "div" and self._card:
            kind, text = self._card
            if kind == "value":
                self._value = "".join(text)
            else:
                self.cards["".join(text)] = self._value
            self._card = None

    def handle_data(self, data):
        for sink in (self._cell, self._card and self._card[1]):
            if sink is not None:
                sink.append(data)


def row(second, completed, failed=0, ms=2.5):
    return dict(second=second, completed=completed, failed=failed, p50=ms, p95=ms, p99=ms, max=ms)


STATUS = {"total": 100, "done": 100, "run": 100, "success": 92, "failed": 8, "stop": 0, "cancel": 0}
LATENCY = dict(zip(KEYS, [100, 1.0, 2.0, 2.0, 3.0, 3.5, 4.0, 4.5, 5.0]))
TIMELINE = [row(0, 40, 3), row(1, 50, 4), row(2, 10, 1)]


def report(tmp_path, name="report.html", **figures):
    path = tmp_path / name
    brixel_report.write_report(path, **{"run_status": STATUS, "latency": LATENCY, "timeline": TIMELINE, **figures})
    return Page(path) if name.endswith(".html") else path


@pytest.fixture(params=[("IST-5:30", "2023-11-15 03:43:20 (UTC+05:30)"),
                        ("BRT3", "2023-11-14 19:13:20 (UTC-03:00)")], ids=["east", "west"])
def zone(request, monkeypatch):
    """The local time zone fixed for the test; yields the local form of the start below."""
    monkeypatch.setenv("TZ", request.param[0])
    time.tzset()
    yield request.param[1]
    monkeypatch.undo()
    time.tzset()


def test_header_shows_the_set_up_with_both_clocks(tmp_path, zone):
    setup = {"function": "jobs.fetch_page", "max_workers": 16, "dispatch": "eager", "duration": None,
             "started": 1_700_000_000.25, "processes": 3, "host": "load-1", "versions": {"threads_main": "9.9"}}
    page = report(tmp_path, setup=setup)
    assert dict(page.tables["setup"]) == {
        "Function": "jobs.fetch_page", "Worker limit": "16", "Dispatch": "eager", "Duration": "bulk",
        "Started (UTC)": "2023-11-14 22:13:20 UTC", "Started (local)": zone, "Processes": "3", "Host": "load-1",
        "Python": sys.version.split()[0], "Packages": "threads_main 9.9"}
    assert page.cards["Failure share"] == "8.00%" and page.cards["Failed"] == "8"
    assert dict(report(tmp_path, setup={**setup, "duration": 30}).tables["setup"])["Duration"] == "30 s"


def test_an_empty_run_without_a_set_up_shows_dashes_for_what_is_unknown(tmp_path):
    status = dict.fromkeys(STATUS, 0)
    page = report(tmp_path, run_status=status, latency={**dict.fromkeys(KEYS, 0.0), "count": 0}, timeline=[],
                  errors=[])
    header = dict(page.tables["setup"])
    assert [header[k] for k in ("Function", "Worker limit", "Dispatch", "Duration", "Started (UTC)",
                                "Started (local)")] == ["—"] * 6
    assert "Processes" not in header and header["Host"] and header["Python"] == sys.version.split()[0]
    versions = (importlib.metadata.version("threads_main"), importlib.metadata.version("plotly"))
    assert header["Packages"] == "threads_main {}, plotly {}".format(*versions)
    assert page.tables["latency"][1] == ["0"] + ["—"] * 8
    assert page.cards["Failure share"] == "—" and page.cards["Finished"] == "0"
    assert "failures" not in page.tables and "No task failed." in (tmp_path / "report.html").read_text()
    assert "processes" not in page.ids


def test_failures_by_cause_in_order_escaped_with_their_shares(tmp_path):
    errors = [{"error": "ValueError: bad <script>alert(1)</script>", "count": 5, "first": 0.25, "last": 2.5,
               "example": "t<7>"},
              {"error": "result == 500", "count": 2, "first": 1.0, "last": 1.5, "example": "t12"},
              {"error": "(other causes)", "count": 1, "first": 2.0, "last": 2.0, "example": "t40"}]
    page = report(tmp_path, errors=errors)
    assert page.tables["failures"] == [
        ["Cause", "Count", "Share", "First (s)", "Last (s)", "Example"],
        ["ValueError: bad <script>alert(1)</script>", "5", "62.50%", "0.250", "2.500", "t<7>"],
        ["result == 500", "2", "25.00%", "1.000", "1.500", "t12"],
        ["(other causes)", "1", "12.50%", "2.000", "2.000", "t40"]]
    assert "<script>alert" not in (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "failures" not in report(tmp_path).ids  # not given: no section at all


@pytest.mark.parametrize("timeline, span, width, overview", [
    (TIMELINE, 2.25, 0.25, "100 tasks finished over 2.250 s, 44.4 per second on average."),
    ([row(0, 30)], 0.5, 0.5, "30 tasks finished over 0.500 s, 60.0 per second on average."),
    (TIMELINE, 3.0, None, "100 tasks finished over 3 s, 33.3 per second on average."),
    (TIMELINE, None, None, "100 tasks finished over 3 s, 45.0 per second on average before the last, partial row."),
    # The first minute-wide row, where the rows stop being a second wide.
    ([row(21599, 10), row(21600, 60)], 21630.0, 30.0, "70 tasks finished over 21,630 s"),
], ids=["cut-short", "sub-second", "whole", "no-span", "first-minute-row"])
def test_the_last_row_is_drawn_at_its_true_width_and_rate(tmp_path, timeline, span, width, overview):
    page = report(tmp_path, timeline=timeline, span=span)
    text = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert overview in text
    if width is None:
        assert "partial-row" not in page.ids
    else:
        last = page.ids["partial-row"]
        assert float(last["data-start"]) == timeline[-1]["second"] and float(last["data-width"]) == width
        assert float(last["data-rate"]) == pytest.approx(timeline[-1]["completed"] / width)
        assert f"partial row: {width:.3f} s" in text  # the hover text of the chart's last row


def test_processes_table_shows_each_part(tmp_path):
    parts = [{"part": "10.0.0.1:7000", "host": "load-1", "tasks": 60, "failed": 3, "rate": 30.04, "p50": 2.0,
              "p99": 9.5},
             {"part": "10.0.0.2:7000", "host": "<slow>", "tasks": 40, "failed": 5, "rate": 8.0, "p50": 21.25,
              "p99": None}]
    page = report(tmp_path, parts=parts, setup={"processes": 2})
    assert page.tables["processes"][1:] == [
        ["10.0.0.1:7000", "load-1", "60", "3", "5.00%", "30.0", "2.000", "9.500"],
        ["10.0.0.2:7000", "<slow>", "40", "5", "12.50%", "8.0", "21.250", "—"]]
    assert dict(page.tables["setup"])["Processes"] == "2"


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_csv_has_units_and_the_causes_beside_it(tmp_path, as_bytes):
    errors = [{"error": "OSError: x, \"quoted\"", "count": 2, "first": 0.5, "last": 1.25, "example": "t1"}]
    path = str(tmp_path / "run.CSV")
    brixel_report.write_report(os.fsencode(path) if as_bytes else path, run_status=STATUS, latency=LATENCY,
                               timeline=TIMELINE, errors=errors)
    with open(path, newline="") as f:
        assert list(csv.reader(f)) == [CSV_KEYS] + [[str(r[k]) for k in ROW_KEYS] for r in TIMELINE]
    with open(tmp_path / "run.errors.csv", newline="") as f:
        assert list(csv.reader(f)) == [["error", "count", "first_s", "last_s", "example"],
                                       ["OSError: x, \"quoted\"", "2", "0.5", "1.25", "t1"]]
    # Texts a spreadsheet would run as formulas (a task named so) come out as text.
    formula = [{"error": "-E: x", "count": 1, "first": 0.5, "last": 0.5, "example": '=HYPERLINK("x")'}]
    brixel_report.write_report(path, run_status=STATUS, latency=LATENCY, timeline=TIMELINE, errors=formula)
    with open(tmp_path / "run.errors.csv", newline="") as f:
        assert list(csv.reader(f))[1] == ["'-E: x", "1", "0.5", "0.5", "'=HYPERLINK(\"x\")"]
    brixel_report.write_report(path, run_status=STATUS, latency=LATENCY, timeline=TIMELINE, errors=[])
    assert (tmp_path / "run.errors.csv").read_text().split() == ["error,count,first_s,last_s,example"]
    # An HTML path given as bytes is an HTML page under that very name.
    html_path = tmp_path / "run.html"
    brixel_report.write_report(os.fsencode(html_path) if as_bytes else html_path, run_status=STATUS,
                               latency=LATENCY, timeline=TIMELINE)
    assert Page(html_path).tables["latency"][1][0] == "100"
    assert sorted(os.listdir(tmp_path)) == ["run.CSV", "run.errors.csv", "run.html"]


class Unwritable:
    def __str__(self):
        raise OSError(28, "No space left on device")


def test_a_report_replaces_the_earlier_one_only_once_whole(tmp_path):
    path = report(tmp_path, "run.csv")
    whole = path.read_bytes()
    broken = [row(second, 5) for second in range(2000)] + [row(2000, 5, ms=Unwritable())]
    with pytest.raises(OSError, match="No space"):
        brixel_report.write_report(path, run_status=STATUS, latency=LATENCY, timeline=broken)
    assert path.read_bytes() == whole and os.listdir(tmp_path) == ["run.csv"]
    # A link is written through, to the file it points at.
    (tmp_path / "link.csv").symlink_to(path)
    report(tmp_path, "link.csv", timeline=TIMELINE[:1])
    assert (tmp_path / "link.csv").is_symlink() and len(path.read_text().splitlines()) == 2
    # Text UTF-8 cannot hold comes out escaped rather than failing the write.
    page = report(tmp_path, setup={"function": "fetch\udc80"}, title="run \ud800")
    assert dict(page.tables["setup"])["Function"] == "fetch\\udc80"
    assert sorted(os.listdir(tmp_path)) == ["link.csv", "report.html", "run.csv"]


def test_a_report_written_again_keeps_its_permissions_and_errors_name_the_callers_path(tmp_path):
    path = report(tmp_path, "run.csv")
    path.chmod(0o600)
    report(tmp_path, "run.csv")
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    # A name near the system's limit, which open() takes, is taken too.
    long_name = "r" * (255 - len(".csv")) + ".csv"
    assert report(tmp_path, long_name).exists()
    missing = tmp_path / "missing" / "run.html"
    with pytest.raises(FileNotFoundError) as raised:
        report(tmp_path, "missing/run.html")
    assert raised.value.filename == os.path.realpath(missing)
