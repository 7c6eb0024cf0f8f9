"""Run reports: one HTML page of a run, or its timeline as CSV.

The page holds the run's set-up, counters, latency table, failures by cause and charts over time;
the CSV holds the timeline (and, beside it, the failure causes).

The HTML report draws its charts with plotly, an optional extra (pip install "threads_main[report]");
its plotly.js is written into the file, so the page works offline. The CSV needs nothing more.
"""

import contextlib
import csv
import datetime
import errno
import html
import importlib.metadata
import os
import platform
import secrets
import socket
import stat

__all__ = ["write_report", "row_width", "TIMELINE_COLUMNS", "ERRORS_COLUMNS", "SECOND_ROWS_END", "MINUTE_ROWS_END"]

# The timeline CSV's columns, in order: each row's start (seconds since the first dispatch), its
# counts, and its run-time percentiles in milliseconds.
TIMELINE_COLUMNS = ("second", "completed", "failed", "p50_ms", "p95_ms", "p99_ms", "max_ms")
# The failure causes' CSV: first and last seen, in seconds since the first dispatch.
ERRORS_COLUMNS = ("error", "count", "first_s", "last_s", "example")
# The keys of a timeline row, in the order of the CSV's columns.
_ROW_KEYS = ("second", "completed", "failed", "p50", "p95", "p99", "max")

MISSING_PLOTLY = 'the HTML report draws its charts with plotly, which is missing: pip install "threads_main[report]"'
UNKNOWN = "—"

_COUNTERS = (("total", "Submitted"), ("done", "Finished"), ("success", "Succeeded"), ("failed", "Failed"),
             ("stop", "Stopped"), ("cancel", "Cancelled"), ("run", "Dispatched"))
_LATENCY = (("count", "Count"), ("min", "Min"), ("mean", "Mean"), ("p50", "p50"), ("p90", "p90"), ("p95", "p95"),
            ("p99", "p99"), ("p99.9", "p99.9"), ("max", "Max"))
_COLOURS = {"completed": "#2b6cb0", "failed": "#c53030", "p50": "#2f855a", "p95": "#d69e2e", "p99": "#dd6b20",
            "max": "#9b2c2c"}


def write_report(path, *, run_status, latency, timeline, setup=None, errors=None, span=None, parts=None,
                 title="threads_main run report"):
    """Writes the report of a run to `path` (str, bytes or os.PathLike).

    A path ending in ".csv" (any case) gets the timeline as CSV, one line per row with the columns
    second, completed, failed, p50_ms, p95_ms, p99_ms, max_ms; when `errors` is given, the failure
    causes go beside it to "<stem>.errors.csv" (columns error, count, first_s, last_s, example; a
    header only for an empty list; a text that a spreadsheet would take for a formula, one that
    begins with =, +, -, @, a tab or a carriage return, is written after a "'"). Any other path gets
    one self-contained HTML page:

    - a header from `setup` (keys "function", "max_workers", "dispatch", "duration" (None for a
      bulk run), "started" (epoch seconds), "processes", any of them may be missing; "host",
      "python" and "versions" default to what this process knows);
    - the counters of `run_status` with the failure share (failed / done);
    - the latency table (`latency`, in milliseconds);
    - the failures by cause (`errors`: dicts with "error", "count", "first", "last", "example",
      most frequent first), when given;
    - the processes of a run spread over several (`parts`: dicts with "part", "host", "tasks",
      "failed", "rate", "p50", "p99"), when given;
    - charts of throughput, run-time percentiles and failures per row of `timeline`. With `span`,
      the seconds from the first dispatch to the last finished task, the last row is drawn at its
      true width and rate, and the average rate is taken over `span`.

    `title` heads the page. Returns None. The HTML page raises ImportError, naming the report
    extra, when plotly is missing.
    """
    path = os.fsdecode(path)
    if path.lower().endswith(".csv"):
        _write_csv(path, timeline)
        if errors is not None:
            _write_errors_csv(path[:-len(".csv")] + ".errors.csv", errors)
    else:
        page = _html_page(title, run_status, latency, list(timeline), setup or {},
                          None if errors is None else list(errors), span,
                          None if parts is None else list(parts))
        with _replacing(path) as out:
            out.write(page)


@contextlib.contextmanager
def _replacing(path, newline=None):
    """A text file opened for writing that takes `path`'s place only once it is whole: it is written
    under a new name beside it, then renamed over it. A write that fails part-way (a full disk, a row
    that cannot be read) leaves the file that was there before as it was, and no partial one. Text
    UTF-8 cannot hold (a lone surrogate in a function's name) is written backslash-escaped.

    A symbolic link is written through, to the file it points at; a path that names something other
    than a regular file (a pipe, /dev/stdout) is written directly. A file replaced keeps its
    permissions, and one that may not be written is refused, as open() would refuse it."""
    path = os.path.realpath(path)
    try:
        before = os.stat(path)
    except FileNotFoundError:
        before = None
    if before is not None and not stat.S_ISREG(before.st_mode):
        with open(path, "w", encoding="utf-8", errors="backslashreplace", newline=newline) as out:
            yield out
        return
    if before is not None and not os.access(path, os.W_OK):
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    # A name of its own, whatever the length of the report's (a name near the system's limit).
    temporary = os.path.join(os.path.dirname(path), f".report.{secrets.token_hex(4)}.tmp")
    try:
        # os.open's mode is the one open() gives a new file, the umask applied.
        made = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None  # the caller's path, not ours
    try:
        with open(made, "w", encoding="utf-8", errors="backslashreplace", newline=newline) as out:
            yield out
        if before is not None:
            os.chmod(temporary, stat.S_IMODE(before.st_mode))
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _write_csv(path, timeline):
    with _replacing(path, newline="") as out:
        writer = csv.writer(out)
        writer.writerow(TIMELINE_COLUMNS)
        writer.writerows([row[key] for key in _ROW_KEYS] for row in timeline)


# The first characters by which a spreadsheet takes a cell for a formula.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def _as_text(value):
    """A text of the run's (a task's name, an error's) as a cell that a spreadsheet shows as text."""
    return "'" + value if isinstance(value, str) and value.startswith(_FORMULA_STARTS) else value


def _write_errors_csv(path, errors):
    with _replacing(path, newline="") as out:
        writer = csv.writer(out)
        writer.writerow(ERRORS_COLUMNS)
        writer.writerows([_as_text(cause.get("error", "")), cause.get("count", ""), cause.get("first", ""),
                          cause.get("last", ""), _as_text(cause.get("example", ""))] for cause in errors)


def _plotly():
    try:
        import plotly.graph_objects as go
        import plotly.io as pio
    except ImportError as e:
        raise ImportError(MISSING_PLOTLY) from e
    return go, pio


# A timeline's rows are a second wide for the first 6 hours, a minute for the next 7 days, then an
# hour.
SECOND_ROWS_END = 6 * 3600
MINUTE_ROWS_END = SECOND_ROWS_END + 7 * 24 * 3600


def row_width(start):
    """The width in seconds of the timeline row that begins `start` seconds into the run."""
    return 1 if start < SECOND_ROWS_END else 60 if start < MINUTE_ROWS_END else 3600


def _widths(seconds):
    """Each row's width in seconds: up to the next row; the last row's by where it begins."""
    widths = [b - a for a, b in zip(seconds, seconds[1:])]
    widths.append(row_width(seconds[-1]) if seconds else 1)
    return widths


def _rows(timeline, span):
    """The rows' starts and widths, and the true width of a last row that the run ended inside
    (None when `span` is unknown or does not cut the last row short)."""
    seconds = [row["second"] for row in timeline]
    widths = _widths(seconds)
    partial = None
    if seconds and span is not None and 0 < span - seconds[-1] < widths[-1]:
        widths[-1] = partial = span - seconds[-1]
    return seconds, widths, partial


def _charts(timeline, span):
    go, pio = _plotly()
    seconds, widths, partial = _rows(timeline, span)
    # Every chart spans the whole run, so that the three line up: a row covers [second, second +
    # width), its bars fill that span and its points sit in its middle.
    end = seconds[-1] + widths[-1] if seconds else 1
    middles = [s + w / 2 for s, w in zip(seconds, widths)]
    axis_x = dict(title_text="time since the first dispatch (s)", range=[0, end])
    # Hover text that tells the cut-short last row from the others.
    marks = [""] * len(seconds)
    if partial is not None:
        marks[-1] = f" (partial row: {partial:,.3f} s)"

    def layout(fig, title, y_title, **extra):
        fig.update_layout(template="plotly_white", title=dict(text=title, x=0, xanchor="left"), height=340,
                          margin=dict(l=70, r=76, t=56, b=56), hovermode="x unified",
                          legend=dict(orientation="h", y=1.02, yanchor="bottom", x=1, xanchor="right"),
                          xaxis=axis_x, yaxis=dict(title_text=y_title, rangemode="tozero"), **extra)
        return fig

    def rate(key):
        return [row[key] / w for row, w in zip(timeline, widths)]

    throughput = go.Figure()
    # A step per row; the last step is closed at the end of its row.
    finished = rate("completed")
    throughput.add_scatter(x=seconds + [end] if seconds else [], y=finished + finished[-1:], name="finished",
                           customdata=marks + marks[-1:], hovertemplate="%{y:,.1f}%{customdata}",
                           mode="lines", line_shape="hv", fill="tozeroy",
                           line=dict(color=_COLOURS["completed"], width=1.5))
    layout(throughput, "Throughput", "tasks per second")

    latencies = go.Figure()
    for key in ("p50", "p95", "p99", "max"):
        # Idle rows have no run times: a gap, not a drop to zero.
        ys = [row[key] if row["completed"] else None for row in timeline]
        latencies.add_scatter(x=middles, y=ys, name=key, mode="lines+markers" if len(seconds) < 60 else "lines",
                              line=dict(color=_COLOURS[key], width=1.5, dash="dot" if key == "max" else "solid"),
                              connectgaps=False)
    layout(latencies, "Run-time percentiles per second", "run time (ms)")

    failures = go.Figure()
    failures.add_bar(x=seconds, y=rate("failed"), width=[w * 0.95 for w in widths], offset=0, name="failed",
                     customdata=marks, hovertemplate="%{y:,.1f}%{customdata}", marker_color=_COLOURS["failed"])
    share = [100.0 * row["failed"] / row["completed"] if row["completed"] else None for row in timeline]
    # With markers while the rows are few: a run of one row has a share but no line to draw.
    failures.add_scatter(x=middles, y=share, name="share of finished",
                         mode="lines+markers" if len(seconds) < 60 else "lines", yaxis="y2",
                         line=dict(color="#1a202c", width=2), connectgaps=False)
    # The share's axis fits the shares: a few per cent drawn on a 0-100 % axis is a flat line.
    top = max([s for s in share if s is not None], default=0)
    layout(failures, "Failures", "failed tasks per second",
           yaxis2=dict(title_text="share of finished (%)", overlaying="y", side="right",
                       range=[0, min(100, max(1, top) * 1.25)], tickmode="auto", nticks=6, ticksuffix="%",
                       showgrid=False))

    config = {"displaylogo": False, "responsive": True}
    divs = []
    for i, fig in enumerate((throughput, latencies, failures)):
        divs.append(pio.to_html(fig, full_html=False, include_plotlyjs=(i == 0), config=config,
                                default_width="100%"))
    if partial is not None:
        start, true_rate = seconds[-1], finished[-1]
        # The data attributes carry the exact figures for tools that read the page.
        divs[0] += (f'<p class="note" id="partial-row" data-start="{start!r}" data-width="{partial!r}" '
                    f'data-rate="{true_rate!r}">The last row, from {html.escape(_seconds(start))}, is partial: '
                    f'the run ended {partial:,.3f} s into it; it is drawn at that width and at {true_rate:,.1f} '
                    f'finished per second.</p>')
    return divs


def _number(value):
    if value is None:
        return UNKNOWN
    if isinstance(value, float):
        return f"{value:,.3f}"
    if isinstance(value, int):
        return f"{value:,}"
    return str(value)


def _seconds(value):
    if value is None:
        return UNKNOWN
    if isinstance(value, int) or float(value).is_integer():
        return f"{int(value):,} s"
    return f"{value:,.3f} s"


def _share(part, whole):
    if part is None or not whole:
        return UNKNOWN
    return f"{100.0 * part / whole:.2f}%"


def _at(second):
    """A moment in seconds since the first dispatch, to the millisecond."""
    return _number(None if second is None else float(second))


def _moments(started):
    """The start as UTC and as local time with its offset, to the second."""
    if started is None:
        return UNKNOWN, UNKNOWN
    moment = datetime.datetime.fromtimestamp(started, datetime.timezone.utc)
    local = moment.astimezone()
    offset = round(local.utcoffset().total_seconds() / 60)
    hours, minutes = divmod(abs(offset), 60)
    sign = "-" if offset < 0 else "+"
    return (moment.strftime("%Y-%m-%d %H:%M:%S UTC"),
            local.strftime("%Y-%m-%d %H:%M:%S") + f" (UTC{sign}{hours:02d}:{minutes:02d})")


def _versions():
    found = {}
    for name in ("threads_main", "plotly"):
        try:
            found[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            found[name] = None
    return found


def _setup_rows(setup):
    """The header's (label, text) pairs; "—" for what neither `setup` nor this process knows."""
    setup = {"host": socket.gethostname(), "python": platform.python_version(), "versions": _versions(), **setup}
    if "duration" not in setup:
        duration = UNKNOWN
    else:
        duration = "bulk" if setup["duration"] is None else _seconds(setup["duration"])
    utc, local = _moments(setup.get("started"))
    versions = setup["versions"] or {}
    rows = [("Function", _number(setup.get("function"))), ("Worker limit", _number(setup.get("max_workers"))),
            ("Dispatch", _number(setup.get("dispatch"))), ("Duration", duration),
            ("Started (UTC)", utc), ("Started (local)", local)]
    if setup.get("processes") is not None:
        rows.append(("Processes", _number(setup["processes"])))
    rows += [("Host", _number(setup["host"])), ("Python", _number(setup["python"])),
             ("Packages", ", ".join(f"{name} {_number(v)}" for name, v in versions.items()) or UNKNOWN)]
    return rows


def _failures_section(errors, failed):
    esc = html.escape
    if not errors:
        line = "No task failed." if not failed else "No failure cause was recorded."
        return f'<section id="failures"><h2>Failures by cause</h2><p class="note">{line}</p></section>'
    # Shares of the failures listed: the list ends with the causes it had no room for, so they add
    # up to every failure even when the counters were read a moment apart.
    total = sum(cause.get("count") or 0 for cause in errors)
    rows = "".join(
        f'<tr><td class="text">{esc(_number(cause.get("error")))}</td><td>{esc(_number(cause.get("count")))}</td>'
        f'<td>{esc(_share(cause.get("count"), total))}</td><td>{esc(_at(cause.get("first")))}</td>'
        f'<td>{esc(_at(cause.get("last")))}</td><td class="text">{esc(_number(cause.get("example")))}</td></tr>'
        for cause in errors)
    head = "".join(f"<th>{label}</th>" for label in ("Cause", "Count", "Share", "First (s)", "Last (s)", "Example"))
    return (f'<section id="failures"><h2>Failures by cause</h2><div class="table-wrap"><table class="causes">'
            f'<thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table></div>'
            f'<p class="note">First and last: seconds since the first dispatch. Share: of the failures listed.</p>'
            f'</section>')


def _parts_section(parts):
    esc = html.escape

    def rate(value):
        return UNKNOWN if value is None else f"{value:,.1f}"

    rows = "".join(
        f'<tr><td class="text">{esc(_number(p.get("part")))}</td><td class="text">{esc(_number(p.get("host")))}</td>'
        f'<td>{esc(_number(p.get("tasks")))}</td><td>{esc(_number(p.get("failed")))}</td>'
        f'<td>{esc(_share(p.get("failed"), p.get("tasks")))}</td><td>{esc(rate(p.get("rate")))}</td>'
        f'<td>{esc(_number(p.get("p50")))}</td><td>{esc(_number(p.get("p99")))}</td></tr>'
        for p in parts)
    head = "".join(f"<th>{label}</th>" for label in ("Process", "Host", "Finished", "Failed", "Failure share",
                                                     "Tasks per second", "p50 (ms)", "p99 (ms)"))
    return (f'<section id="processes"><h2>Processes</h2><div class="table-wrap"><table>'
            f'<thead><tr>{head}</tr></thead><tbody>{rows}</tbody></table></div></section>')


def _overview(timeline, span):
    if not timeline:
        return "No task finished in this run."
    finished = sum(row["completed"] for row in timeline)
    tasks = f"{_number(finished)} task{'' if finished == 1 else 's'} finished"
    if span is not None:
        if span <= 0:
            return f"{tasks} over {_seconds(span)}."
        return f"{tasks} over {_seconds(span)}, {finished / span:,.1f} per second on average."
    seconds = [row["second"] for row in timeline]
    overview = f"{tasks} over {_seconds(seconds[-1] + _widths(seconds)[-1])}"
    # Without the run's true end, it lies somewhere inside the last row: an average that counted
    # that row as whole would understate the rate the run held, so it stops where the row begins.
    if seconds[-1] > 0:
        held = (finished - timeline[-1]["completed"]) / seconds[-1]
        return overview + f", {held:,.1f} per second on average before the last, partial row."
    return overview + "."


def _html_page(title, run_status, latency, timeline, setup, errors, span, parts):
    charts = _charts(timeline, span)
    esc = html.escape
    failed, done = run_status.get("failed"), run_status.get("done")
    cards = "".join(
        f'<div class="card{" bad" if key == "failed" and run_status.get(key) else ""}">'
        f'<div class="value">{esc(_number(run_status.get(key)))}</div><div class="label">{esc(label)}</div></div>'
        for key, label in _COUNTERS)
    cards += (f'<div class="card{" bad" if failed else ""}"><div class="value">{esc(_share(failed, done))}</div>'
              f'<div class="label">Failure share</div></div>')
    header = "".join(f"<tr><th>{esc(label)}</th><td>{esc(text)}</td></tr>" for label, text in _setup_rows(setup))
    head = "".join(f"<th>{esc(label)}</th>" for _, label in _LATENCY)
    # An empty run has no run times: its figures are unknown, not zero.
    timed = bool(latency.get("count"))
    cells = "".join(f"<td>{esc(_number(latency.get(key) if timed or key == 'count' else None))}</td>"
                    for key, _ in _LATENCY)
    failures = "" if errors is None else _failures_section(errors, failed)
    processes = "" if parts is None else _parts_section(parts)
    written = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
    sections = "".join(f'<section class="chart">{div}</section>' for div in charts)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{esc(title)}</title>
<style>
  body {{ margin: 0; background: #f4f6f9; color: #1a202c;
         font: 15px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif; }}
  main {{ max-width: 1100px; margin: 0 auto; padding: 28px 24px 48px; }}
  h1 {{ font-size: 26px; margin: 0 0 4px; }}
  h2 {{ font-size: 18px; margin: 0 0 12px; }}
  .sub {{ color: #4a5568; margin: 0 0 24px; }}
  .cards {{ display: grid; grid-template-columns: repeat(auto-fit, minmax(130px, 1fr)); gap: 12px; margin-bottom: 24px; }}
  .card {{ background: #fff; border-radius: 8px; padding: 14px 16px; box-shadow: 0 1px 3px rgba(0,0,0,.08); }}
  .card .value {{ font-size: 24px; font-weight: 600; font-variant-numeric: tabular-nums; }}
  .card .label {{ color: #4a5568; font-size: 13px; text-transform: uppercase; letter-spacing: .04em; }}
  .card.bad .value {{ color: #c53030; }}
  section {{ background: #fff; border-radius: 8px; padding: 18px 20px; margin-bottom: 20px;
             box-shadow: 0 1px 3px rgba(0,0,0,.08); }}
  table {{ border-collapse: collapse; width: 100%; font-variant-numeric: tabular-nums; }}
  th, td {{ padding: 8px 10px; text-align: right; border-bottom: 1px solid #e2e8f0; white-space: nowrap; }}
  th {{ color: #4a5568; font-weight: 600; font-size: 13px; background: #f7fafc; }}
  td.text {{ text-align: left; white-space: normal; overflow-wrap: anywhere; }}
  #setup th, #setup td {{ text-align: left; }}
  #setup th {{ width: 12em; }}
  .note {{ color: #718096; font-size: 13px; margin: 10px 0 0; }}
  .table-wrap {{ overflow-x: auto; }}
</style>
</head>
<body>
<main>
<h1>{esc(title)}</h1>
<p class="sub">{esc(_overview(timeline, span))} Written {esc(written)}.</p>
<section id="setup"><h2>Set-up</h2><div class="table-wrap"><table><tbody>{header}</tbody></table></div></section>
<div class="cards">{cards}</div>
<section id="latency">
<h2>Task run time (ms)</h2>
<div class="table-wrap"><table><thead><tr>{head}</tr></thead><tbody><tr>{cells}</tr></tbody></table></div>
<p class="note">Percentiles are read from a log-linear histogram, within 0.4 % of the measured value.</p>
</section>
{failures}
{processes}
{sections}
</main>
</body>
</html>
"""
