"""Run-time histograms, the timeline and the run report."""

import csv
import html.parser
import math
import pickle
import random
import sys

import pytest

import brixel_report
import threads_main

# Percentiles are bucket midpoints, within 1/256 of the sample of that rank.
BOUND = 1 / 256
KEYS = ["count", "min", "mean", "p50", "p90", "p95", "p99", "p99.9", "max"]
ROW_KEYS = ["second", "completed", "failed", "p50", "p95", "p99", "max"]
# The timeline CSV's header: a row's start in seconds, its counts, its run times in milliseconds.
CSV_KEYS = ["second", "completed", "failed", "p50_ms", "p95_ms", "p99_ms", "max_ms"]


def ns(seconds):
    return int(seconds * 1e9 + 0.5)


def nearest_rank(sorted_ns, q):
    k = max(1, math.ceil(round(q / 100 * len(sorted_ns), 9)))
    return sorted_ns[k - 1]


def check_latency(latency, values):
    exact = sorted(ns(v) for v in values)
    assert list(latency) == KEYS and latency["count"] == len(exact)
    assert latency["min"] == exact[0] / 1e6 and latency["max"] == exact[-1] / 1e6
    assert latency["mean"] == pytest.approx(sum(exact) / len(exact) / 1e6, rel=1e-12)
    for key in KEYS[3:-1]:
        want = nearest_rank(exact, float(key[1:])) / 1e6
        assert latency[key] == pytest.approx(want, rel=BOUND, abs=0), key


rng = random.Random(14)
DISTRIBUTIONS = {
    "uniform": [rng.uniform(0.001, 0.2) for _ in range(50_000)],
    "bimodal": [rng.gauss(0.005, 0.0005) if rng.random() < 0.9 else rng.gauss(0.8, 0.05) for _ in range(50_000)],
    "huge outlier": [0.010] * 9_999 + [3_000.0],
    "1 us to 1 hour": [math.exp(rng.uniform(math.log(1e-6), math.log(3600))) for _ in range(50_000)],
    "below 256 ns, exact": [rng.randrange(1, 256) / 1e9 for _ in range(1_000)],
}


@pytest.mark.parametrize("name", DISTRIBUTIONS)
def test_percentiles_of_known_distributions(name):
    values = DISTRIBUTIONS[name]
    latency = threads_main.histogram_latency(threads_main.histogram_from_times(values))
    check_latency(latency, values)
    if name == "huge outlier":
        assert latency["p99.9"] == pytest.approx(10.0, rel=BOUND) and latency["max"] == 3_000_000.0
    if name.startswith("below"):
        exact = sorted(ns(v) for v in values)
        assert latency["p99"] == nearest_rank(exact, 99) / 1e6


def test_empty_histogram_reads_as_zeros():
    raw = threads_main.histogram_from_times([])
    assert raw["buckets"] == [] and raw["count"] == 0
    assert threads_main.histogram_latency(raw) == dict.fromkeys(KEYS, 0.0)
    assert threads_main.merge_histograms([]) == raw


def test_merged_raw_forms_equal_one_histogram_of_every_value():
    values = DISTRIBUTIONS["bimodal"] + DISTRIBUTIONS["huge outlier"]
    whole = threads_main.histogram_from_times(values)
    parts = [threads_main.histogram_from_times(values[i::3]) for i in range(3)]
    # As another process would hand them over.
    parts = [pickle.loads(pickle.dumps(p)) for p in parts] + [threads_main.histogram_from_times([])]
    merged = threads_main.merge_histograms(iter(parts))
    assert merged == whole
    assert threads_main.histogram_latency(merged) == threads_main.histogram_latency(whole)
    assert threads_main.merge_histograms([merged]) == merged


def malformed():
    good = threads_main.histogram_from_times([0.001, 0.002, 0.5])
    first, last = good["buckets"][0], good["buckets"][-1]

    def edit(**changes):
        return {**good, **changes}

    missing = dict(good)
    del missing["sum"]
    # 20 runs of 10**18 ns: count * max passes 2**64, which must not lift the check of the sum.
    huge = threads_main.histogram_from_times([1e9])
    huge.update(count=20, buckets=[(huge["buckets"][0][0], 20)], sum=1)
    return [
        ([1, 2], TypeError, "must be a dict"),
        (missing, ValueError, "missing key 'sum'"),
        (edit(extra=1), ValueError, "unexpected keys"),
        (edit(sub_bucket_bits=6), ValueError, "layout"),
        (edit(count=-1), ValueError, "count must be between"),
        (edit(count=3.0), TypeError, "count must be an int"),
        (edit(count=4), ValueError, "do not add up"),
        (edit(buckets=good["buckets"][::-1]), ValueError, "increasing"),
        (edit(buckets=[first, first, last]), ValueError, "increasing"),
        (edit(buckets=[(10**6, 3)]), ValueError, "out of range"),
        (edit(buckets=[first, (last[0], 0), last]), ValueError, "increasing|count of 0"),
        (edit(buckets=[first, [1, 2, 3], last]), TypeError, "pair"),
        (edit(buckets="abc"), TypeError, "pair"),
        (edit(buckets=None), TypeError, "buckets must be a sequence"),
        (edit(min=good["max"]), ValueError, "first and last buckets"),
        (edit(sum=1), ValueError, "sum"),
        (huge, ValueError, "sum"),
        (edit(count=0, buckets=[], min=0, max=0, sum=5), ValueError, "empty histogram"),
    ]


def raw_form(buckets, lo, hi):
    """A raw form with the given (index, count) buckets, its totals as small as they can be."""
    raw = threads_main.histogram_from_times([])
    count = sum(n for _, n in buckets)
    raw.update(count=count, min=lo, max=hi, sum=lo * count, buckets=buckets)
    return raw


def test_merged_counts_past_two_to_the_64_are_refused():
    half = raw_form([(0, 2**63)], 0, 0)
    assert threads_main.merge_histograms([half, raw_form([(0, 2**63 - 1)], 0, 0)])["count"] == 2**64 - 1
    with pytest.raises(OverflowError, match="2\\*\\*64 - 1"):
        threads_main.merge_histograms([half, half])


def test_percentiles_take_the_exact_nearest_rank_at_any_count():
    # p50 of 2 * 10**12 + 1 runs is rank 10**12 + 1: the first run of the upper bucket.
    low, high = 100, 200  # below 256 ns a bucket holds one value: its index
    raw = raw_form([(low, 10**12), (high, 10**12 + 1)], low, high)
    merged = threads_main.merge_histograms([raw])
    assert threads_main.histogram_latency(merged)["p50"] == high / 1e6
    # ... and 99.9 % of 1000 is rank 999, not 1000.
    raw = raw_form([(low, 999), (high, 1)], low, high)
    assert threads_main.histogram_latency(raw)["p99.9"] == low / 1e6


@pytest.mark.parametrize("raw, error, message", malformed())
def test_malformed_raw_forms_are_refused(raw, error, message):
    with pytest.raises(error, match=message):
        threads_main.histogram_latency(raw)
    with pytest.raises(error, match=message):
        threads_main.merge_histograms([threads_main.histogram_from_times([1.0]), raw])


@pytest.mark.parametrize("times, error", [([-0.1], ValueError), ([float("nan")], ValueError),
                                          ([float("inf")], ValueError), (["1"], TypeError), (3, TypeError),
                                          ([1e10, 1e10], OverflowError)])  # a sum past 2**64 ns
def test_bad_run_times_are_refused(times, error):
    with pytest.raises(error):
        threads_main.histogram_from_times(times)


def test_timeline_rows_add_up_in_order_with_idle_seconds_as_zeros():
    runs = [(0.2, 0.010, False), (0.9, 0.030, True), (0.95, None, True),  # second 0: one untimed failure
            (3.5, 0.100, False), (3.6, 0.200, False), (3.7, 0.300, True), (5.0, 0.050, False)]
    recorded = threads_main.record_runs(runs)
    rows = recorded["timeline"]
    assert [row["second"] for row in rows] == [0, 1, 2, 3, 4, 5]
    assert all(list(row) == ROW_KEYS for row in rows)
    assert [(row["completed"], row["failed"]) for row in rows] == [(3, 2), (0, 0), (0, 0), (3, 1), (0, 0), (1, 0)]
    assert sum(row["completed"] for row in rows) == len(runs) and sum(row["failed"] for row in rows) == 3
    assert rows[1] == dict(second=1, completed=0, failed=0, p50=0.0, p95=0.0, p99=0.0, max=0.0)
    assert (rows[3]["p50"], rows[3]["p99"], rows[3]["max"]) == pytest.approx((200, 300, 300), rel=BOUND)
    assert (rows[0]["p50"], rows[0]["max"]) == pytest.approx((10, 30), rel=BOUND)
    # The untimed run counts in the timeline only; the histogram holds the six run times.
    assert recorded["histogram"]["count"] == 6


def test_timeline_counts_a_late_record_in_the_open_row():
    rows = threads_main.record_runs([(0.5, 0.01, False), (2.5, 0.01, False), (1.5, 0.04, True)])["timeline"]
    assert [(row["second"], row["completed"], row["failed"]) for row in rows] == [(0, 1, 0), (1, 0, 0), (2, 2, 1)]
    assert rows[2]["max"] == 40.0


def test_timeline_memory_is_bounded_by_wider_rows():
    six_hours, week, year = 6 * 3600, 7 * 24 * 3600, 365 * 24 * 3600
    ats = [0.5, six_hours - 0.5, six_hours + 59.5, six_hours + 60.5, six_hours + week + 10,
           six_hours + week + 7200.5, 40 * year, 41 * year]
    rows = threads_main.record_runs([(at, 0.001, i % 2 == 1) for i, at in enumerate(ats)])["timeline"]
    assert len(rows) == six_hours + 7 * 24 * 60 + 365 * 24
    seconds = [row["second"] for row in rows]
    widths = {b - a for a, b in zip(seconds[:six_hours + 1], seconds[1:six_hours + 1])}
    assert widths == {1}
    assert seconds[six_hours + 1] - seconds[six_hours] == 60
    assert seconds[-1] - seconds[-2] == 3600
    assert sum(row["completed"] for row in rows) == len(ats) and sum(row["failed"] for row in rows) == 4
    assert rows[six_hours]["completed"] == 1 and rows[six_hours + 1]["completed"] == 1  # 60 s rows from 6 h
    assert rows[-1]["completed"] == 2  # the last hourly row takes everything later


class Tags(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags, self.classes, self.scripts, self.title = [], [], [], ""
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append(tag)
        self.classes.extend((attrs.get("class") or "").split())
        if tag == "script":
            self.scripts.append(attrs.get("src"))
        self._in_title = tag == "title"

    def handle_endtag(self, tag):
        self._in_title = False

    def handle_data(self, data):
        if self._in_title:
            self.title += data


@pytest.fixture
def run():
    recorded = threads_main.record_runs([(i / 50, 0.001 * (1 + i % 7), i % 9 == 0) for i in range(300)])
    status = {"total": 300, "done": 300, "run": 300, "success": 266, "failed": 34, "stop": 0, "cancel": 0}
    return dict(run_status=status, latency=threads_main.histogram_latency(recorded["histogram"]),
                timeline=recorded["timeline"])


def test_html_report_is_one_page_with_three_charts(tmp_path, run):
    path = tmp_path / "report.html"
    brixel_report.write_report(path, title="Load <test>", **run)
    text = path.read_text(encoding="utf-8")
    page = Tags()
    page.feed(text)
    page.close()
    assert page.title == "Load <test>" and page.tags[0] == "html"
    assert page.classes.count("plotly-graph-div") == 3
    assert all(src is None for src in page.scripts)  # plotly.js is inline: the file works offline
    assert "tasks per second" in text and "run time (ms)" in text and "failed tasks per second" in text
    assert "Succeeded" in text and ">266<" in text and "p99.9" in text
    # The last row is cut short by the end of the run: the average stops where it begins.
    assert "300 tasks finished over 6 s, 50.0 per second on average before the last, partial row." in text


def test_csv_report_holds_the_timeline(tmp_path, run):
    path = tmp_path / "timeline.CSV"
    brixel_report.write_report(str(path), **run)
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    assert list(rows[0]) == CSV_KEYS and len(rows) == len(run["timeline"])
    assert sum(int(r["completed"]) for r in rows) == 300
    assert float(rows[0]["max_ms"]) == run["timeline"][0]["max"]
    brixel_report.write_report(path, **{**run, "timeline": []})
    assert path.read_text().split() == [",".join(CSV_KEYS)]
    assert not (tmp_path / "timeline.errors.csv").exists()  # no causes given, no causes file


def test_missing_plotly_names_the_extra(tmp_path, run, monkeypatch):
    for name in [n for n in sys.modules if n == "plotly" or n.startswith("plotly.")] + ["plotly"]:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=r'pip install "threads_main\[report\]"'):
        brixel_report.write_report(tmp_path / "r.html", **run)
    assert not (tmp_path / "r.html").exists()
    brixel_report.write_report(tmp_path / "r.csv", **run)  # the CSV needs no plotly
    assert (tmp_path / "r.csv").exists()
