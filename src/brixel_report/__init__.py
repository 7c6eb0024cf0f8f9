"""Run reports: a run's counters, latency table and charts over time in one HTML file, or its
timeline as CSV.

The HTML report draws its charts with plotly, an optional extra (pip install "threads_main[report]");
its plotly.js is written into the file, so the page works offline. The CSV needs nothing more.
"""

import csv
import datetime
import html
import os

__all__ = ["write_report", "TIMELINE_COLUMNS"]

# The keys of a timeline row, in order: the CSV's columns when the timeline is empty.
TIMELINE_COLUMNS = ("second", "completed", "failed", "p50", "p95", "p99", "max")

MISSING_PLOTLY = 'the HTML report draws its charts with plotly, which is missing: pip install "threads_main[report]"'

_COUNTERS = (("total", "Submitted"), ("done", "Finished"), ("success", "Succeeded"), ("failed", "Failed"),
             ("stop", "Stopped"), ("cancel", "Cancelled"), ("run", "Dispatched"))
_LATENCY = (("count", "Count"), ("min", "Min"), ("mean", "Mean"), ("p50", "p50"), ("p90", "p90"), ("p95", "p95"),
            ("p99", "p99"), ("p99.9", "p99.9"), ("max", "Max"))
_COLOURS = {"completed": "#2b6cb0", "failed": "#c53030", "p50": "#2f855a", "p95": "#d69e2e", "p99": "#dd6b20",
            "max": "#9b2c2c"}


def write_report(path, *, run_status, latency, timeline, title="threads_main run report"):
    """Writes the report to `path`: the timeline as CSV when the path ends in ".csv", else one
    self-contained HTML page with the counters (`run_status`), the latency table (`latency`, in
    milliseconds) and charts of throughput, latency percentiles and failures per row of `timeline`.
    """
    path = os.fspath(path)
    if str(path).lower().endswith(".csv"):
        _write_csv(path, timeline)
    else:
        page = _html_page(title, run_status, latency, list(timeline))
        with open(path, "w", encoding="utf-8") as out:
            out.write(page)


def _write_csv(path, timeline):
    rows = list(timeline)
    columns = list(rows[0]) if rows else list(TIMELINE_COLUMNS)
    with open(path, "w", encoding="utf-8", newline="") as out:
        writer = csv.DictWriter(out, fieldnames=columns)
        writer.writeheader()
        writer.writerows(rows)


def _plotly():
    try:
        import plotly.graph_objects as go
        import plotly.io as pio
    except ImportError as e:
        raise ImportError(MISSING_PLOTLY) from e
    return go, pio


def _widths(seconds):
    """Each row's width in seconds: up to the next row; the last row as wide as the one before."""
    widths = [b - a for a, b in zip(seconds, seconds[1:])]
    widths.append(widths[-1] if widths else 1)
    return widths


def _charts(timeline):
    go, pio = _plotly()
    seconds = [row["second"] for row in timeline]
    widths = _widths(seconds)
    # Every chart spans the whole run, so that the three line up: a row covers [second, second +
    # width), its bars fill that span and its points sit in its middle.
    span = seconds[-1] + widths[-1] if seconds else 1
    middles = [s + w / 2 for s, w in zip(seconds, widths)]
    axis_x = dict(title_text="time since the first dispatch (s)", range=[0, span])

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
    throughput.add_scatter(x=seconds + [span] if seconds else [], y=finished + finished[-1:], name="finished",
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
                     marker_color=_COLOURS["failed"])
    share = [100.0 * row["failed"] / row["completed"] if row["completed"] else None for row in timeline]
    failures.add_scatter(x=middles, y=share, name="share of finished", mode="lines", yaxis="y2",
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
    return divs


def _number(value):
    if isinstance(value, float):
        return f"{value:,.3f}"
    return f"{value:,}"


def _html_page(title, run_status, latency, timeline):
    charts = _charts(timeline)
    esc = html.escape
    cards = "".join(
        f'<div class="card{" bad" if key == "failed" and run_status.get(key) else ""}">'
        f'<div class="value">{esc(_number(run_status.get(key, 0)))}</div><div class="label">{esc(label)}</div></div>'
        for key, label in _COUNTERS)
    head = "".join(f"<th>{esc(label)}</th>" for _, label in _LATENCY)
    cells = "".join(f"<td>{esc(_number(latency.get(key, 0)))}</td>" for key, _ in _LATENCY)
    if timeline:
        span = timeline[-1]["second"] + _widths([row["second"] for row in timeline])[-1]
        finished = sum(row["completed"] for row in timeline)
        overview = f"{_number(finished)} task{'' if finished == 1 else 's'} finished over {_number(span)} s"
        # The run ends somewhere inside its last row: an average that counted that row as whole
        # would understate the rate the run held, so it stops where the last row begins.
        last = timeline[-1]["second"]
        if last > 0:
            held = (finished - timeline[-1]["completed"]) / last
            overview += f", {held:,.1f} per second on average before the last, partial row."
        else:
            overview += "."
    else:
        overview = "No task finished in this run."
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
  .note {{ color: #718096; font-size: 13px; margin: 10px 0 0; }}
  .table-wrap {{ overflow-x: auto; }}
</style>
</head>
<body>
<main>
<h1>{esc(title)}</h1>
<p class="sub">{esc(overview)} Written {esc(written)}.</p>
<div class="cards">{cards}</div>
<section>
<h2>Task run time (ms)</h2>
<div class="table-wrap"><table><thead><tr>{head}</tr></thead><tbody><tr>{cells}</tr></tbody></table></div>
<p class="note">Percentiles are read from a log-linear histogram, within 0.4 % of the measured value.</p>
</section>
{sections}
</main>
</body>
</html>
"""
