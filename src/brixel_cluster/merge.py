"""Combining what the parts of a cluster run report into the figures of the whole run.

Pure functions on plain data, so that they can be checked without a cluster: the worker-limit
split, the run-time fields of the summary lines, failure causes, timelines and the per-part table
of the report.
"""

import threads_main
from brixel_report import MINUTE_ROWS_END, SECOND_ROWS_END, row_width

__all__ = ["split_workers", "merge_times", "merge_errors", "merge_timelines", "part_row", "OTHER_CAUSES"]

# The entry that counts every cause past the bound of distinct causes.
OTHER_CAUSES = "(other causes)"



def split_workers(total, parts):
    """Returns `total` workers split over `parts` parts, as evenly as it goes: the first ones take one more."""
    base, extra = divmod(total, parts)
    return [base + (1 if i < extra else 0) for i in range(parts)]


def merge_times(times):
    """Returns the run-time fields of the parts as one manager's.

    `times` holds dicts with all_time, min_time and max_time in ms; the result has their sum, the
    least non-zero minimum (0 when no part has one) and the greatest maximum.
    """
    minima = [t["min_time"] for t in times if t["min_time"]]
    return {"all_time": sum(t["all_time"] for t in times), "min_time": min(minima, default=0),
            "max_time": max((t["max_time"] for t in times), default=0)}


def merge_errors(parts):
    """Returns the failure causes of several parts as one list, as one manager that saw every failure.

    `parts` holds (errors, started) pairs: a part's list of {"error", "count", "first", "last",
    "example"} (seconds since that part's first dispatch) and the epoch seconds of that dispatch
    (None when unknown, taken as the earliest). The times move onto the earliest part's start, and
    threads_main.merge_errors does the rest: counts summed per cause, the causes first seen earliest
    kept up to one manager's bound, every other one (and every part's own "(other causes)") counted
    in one last "(other causes)" entry.
    """
    starts = [s for _, s in parts if s is not None]
    origin = min(starts, default=None)
    lists, offsets = [], []
    for errors, started in parts:
        lists.append(errors or [])
        offsets.append(started - origin if started is not None and origin is not None else 0.0)
    return threads_main.merge_errors(lists, offsets)


def _row_start(second):
    """The start of the timeline row that holds `second`."""
    if second < SECOND_ROWS_END:
        return second
    if second < MINUTE_ROWS_END:
        return SECOND_ROWS_END + (second - SECOND_ROWS_END) // 60 * 60
    return MINUTE_ROWS_END + (second - MINUTE_ROWS_END) // 3600 * 3600


def merge_timelines(parts):
    """Returns the timelines of several parts as one, on the clock of the part that began first.

    `parts` holds (timeline, started) pairs: a part's rows and the epoch seconds of its first
    dispatch (None when unknown, taken as the earliest). Each part's rows move by its start's offset
    in whole seconds and fall into the row that holds their new second; a row no part has between
    the first and the last is a row of zeros, as in one manager's timeline. A merged row's counts
    and "max" are exact over the part rows that fall into it; past the first 6 hours, where rows
    are a minute wide, a part's row that a shift makes straddle two merged rows falls whole into
    the one it begins in. The percentiles of a merged row are the mean of the parts' values weighted
    by the tasks each timed in that row (a row's "timed", else its "completed"), an estimate (an
    exact merge would need a histogram per row).
    """
    starts = [s for _, s in parts if s is not None]
    origin = min(starts, default=None)
    rows = {}
    for timeline, started in parts:
        offset = round(started - origin) if started is not None and origin is not None else 0
        for row in timeline or ():
            second = _row_start(row["second"] + offset)
            acc = rows.get(second)
            if acc is None:
                acc = rows[second] = {"completed": 0, "failed": 0, "max": 0.0, "timed": 0,
                                      "weighted": {"p50": 0.0, "p95": 0.0, "p99": 0.0}}
            timed = row.get("timed", row["completed"])
            acc["completed"] += row["completed"]
            acc["failed"] += row["failed"]
            acc["timed"] += timed
            acc["max"] = max(acc["max"], row["max"])
            for key in acc["weighted"]:
                acc["weighted"][key] += row[key] * timed
    merged = []
    second, last = min(rows, default=0), max(rows, default=-1)
    while second <= last:
        acc = rows.get(second)
        if acc is None:
            merged.append({"second": second, "completed": 0, "failed": 0, "p50": 0.0, "p95": 0.0, "p99": 0.0,
                           "max": 0.0})
        else:
            timed = acc["timed"]
            merged.append({"second": second, "completed": acc["completed"], "failed": acc["failed"],
                           **{k: (v / timed if timed else 0.0) for k, v in acc["weighted"].items()},
                           "max": acc["max"]})
        second += row_width(second)
    return merged


def part_row(part, host, run_status, histogram, run_info, timeline=None):
    """Returns one row of the report's per-part table, as a dict.

    The row holds `part` and `host`, the tasks finished and failed (from `run_status`), the rate
    (tasks per second from the part's first dispatch to its last finished task, from `run_info`;
    without those times, over the seconds its `timeline` covers) and the part's run-time p50 and
    p99 in ms (from its raw `histogram`).
    """
    latency = threads_main.histogram_latency(histogram) if histogram else {}
    started = (run_info or {}).get("started")
    ended = (run_info or {}).get("ended")
    tasks = run_status.get("done", 0)
    if started is not None and ended is not None:
        span = ended - started
    else:
        span = timeline[-1]["second"] + 1 if timeline else 0
    return {"part": part, "host": host, "tasks": tasks, "failed": run_status.get("failed", 0),
            "rate": round(tasks / span, 1) if span > 0 else 0.0, "p50": latency.get("p50", 0.0),
            "p99": latency.get("p99", 0.0)}
