// The join loops and the progress summary lines.
//
// A join waits in short slices through the module-level time.sleep and looks at the batch between
// them, so that it ends within a slice of the batch's end (or right at its duration's), and the
// last lines' span ends there; the counters or summary lines come whenever a whole interval of
// slices has passed. Every wait and every clock reading goes through the module-level `time`, so a
// replaced clock drives the joins as the real one does.
#include "monitor/monitor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "state.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

// The text a caller passes to say "no break result".
constexpr const char* no_break_result = "brixel_break";

// Seconds a join sleeps at a time before it looks at the batch again. Every look takes the
// interpreter lock from the batch's threads, and a busy batch pays for each: a look every 5 ms cost
// an HTTP load test of 20 workers about 2 % of its requests. So a join waiting for the work to end
// sleeps a two-hundredth of what it has waited so far, within these bounds (it notices the end
// within half a percent of the wait, and within 5 ms of a short one); a join waiting for a
// duration's deadline sleeps right up to it, and looks at least every 50 ms for a close or a new
// duration.
constexpr double shortest_slice = 0.005;
constexpr double longest_slice = 0.05;
constexpr double slice_share = 1.0 / 200;
// The slice to a deadline is this much longer, so that the look after it finds the deadline passed.
constexpr double past_deadline = 0.001;
// How long past its deadline a join waits for a timed submission's window to end too: their clocks
// start apart by the moment the sending thread takes to begin.
constexpr double window_grace = 0.05;

// What a join has waited so far, and how far off its deadline was at the last look (infinity when
// it has none).
struct JoinPace {
    double waited = 0;
    double due = std::numeric_limits<double>::infinity();

    double slice(double left) const
    {
        double step = std::isinf(due) ? std::clamp(waited * slice_share, shortest_slice, longest_slice)
                                      : std::min(std::max(due, 0.0) + past_deadline, longest_slice);
        return std::min(step, left);
    }
};

// Whether `value` is a break result to store: anything but the text "brixel_break". A str is
// compared as text (a str subclass cannot talk its way out of it); anything else by the truth of
// the interpreter's `!=`, whose errors propagate. GIL held.
bool is_break_result(PyObject* value)
{
    if (PyUnicode_Check(value)) {
        return !PyUnicode_EqualToUTF8(value, no_break_result);
    }
    Ref sentinel = require(PyUnicode_FromString(no_break_result));
    Ref differs = require(PyObject_RichCompare(value, sentinel.get(), Py_NE));
    return truthy(differs.get());
}

// Steps shared by both joins before they wait: the open check, the first line and the break
// result. `break_result` is null when the caller gave none.
void begin_join(const Ctx& c, PyObject* self, PyObject* break_result)
{
    call_method(self, c.name(N__check_while));
    Ref log = manager_log(c, self);
    log_text(c, log.get(), N_info, "Join......");
    if (break_result && is_break_result(break_result)) {
        Ref var = manager_var(c, self);
        set_field(c, var.get(), N_break_result, break_result);
    }
}

// The last steps of both joins: stop everything when asked to (a manager closed meanwhile has
// stopped everything already), then the closing line.
void end_join(const Ctx& c, PyObject* self)
{
    Ref var = manager_var(c, self);
    if (truthy(field(c, var.get(), N_stop_switch).get()) && !switch_off(c, var.get())) {
        Ref log = manager_log(c, self);
        log_text(c, log.get(), N_info, "Join stop all......");
        call_method(self, c.name(N__stop_all));
    }
    Ref log = manager_log(c, self);
    log_text(c, log.get(), N_info, "Join complete");
}

// self._log.info(self._get_run_status())
void log_run_status(const Ctx& c, PyObject* self)
{
    Ref status = call_method(self, c.name(N__get_run_status));
    Ref log = manager_log(c, self);
    log_object(c, log.get(), N_info, status.get());
}

// time.time() through the module-level `time`.
Ref clock_now(const Ctx& c)
{
    Ref time = c.global(N_time);
    return call_method(time.get(), c.name(N_time));
}

// Whether another thread closed the manager while a join waited: nothing more will be done, so the
// join ends at its next poll.
bool closed_meanwhile(const Ctx& c, PyObject* self)
{
    Ref var = manager_var(c, self);
    return switch_off(c, var.get());
}

// The end-of-work test of the loops: self._done(), or else the store's stop_switch, or a close.
bool work_ended(const Ctx& c, PyObject* self)
{
    if (truthy(call_method(self, c.name(N__done)).get())) {
        return true;
    }
    Ref var = manager_var(c, self);
    return truthy(field(c, var.get(), N_stop_switch).get()) || closed_meanwhile(c, self);
}

// Sleeps `interval` seconds in slices, asking `ended()` after each; returns true as soon as it says
// the wait is over, false once the whole interval has passed. An interval that is no number (or
// none above zero) is slept in one piece, as given, so that time.sleep reports what it refuses; the
// wait is still over at least one sleep long.
template <typename Ended>
bool wait_interval(const Ctx& c, PyObject* interval, JoinPace& pace, Ended&& ended)
{
    double seconds = 0;
    bool number = (PyLong_Check(interval) || PyFloat_Check(interval)) && !PyBool_Check(interval);
    if (number) {
        seconds = PyFloat_AsDouble(interval);
        if (seconds == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // an int too large for a double: slept as given, like anything else
            number = false;
        }
    }
    if (!number || !(seconds > 0)) {
        poll_sleep(c, interval);
        return ended();
    }
    for (double slept = 0; slept < seconds;) {
        double step = pace.slice(seconds - slept);
        poll_sleep(c, require(PyFloat_FromDouble(step)).get());
        slept += step;
        pace.waited += step;
        if (ended()) {
            return true;
        }
    }
    return false;
}

// `first, second = pair`, with the interpreter's messages for a pair of the wrong length.
void unpack_pair(PyObject* pair, Ref& first, Ref& second)
{
    Ref items = PyTuple_CheckExact(pair) ? Ref::borrow(pair) : require(PySequence_Tuple(pair));
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        throw PyErrSet{};
    }
    if (n > 2) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    first = Ref::borrow(PyTuple_GET_ITEM(items.get(), 0));
    second = Ref::borrow(PyTuple_GET_ITEM(items.get(), 1));
}

// The format strings of the summary lines, made once per report.
struct LineFormats {
    Ref count = require(PyUnicode_FromString(">6"));
    Ref field = require(PyUnicode_FromString(">5"));
    Ref share = require(PyUnicode_FromString(".2f"));
    Ref plain = require(PyUnicode_FromString(""));
    Ref clock = require(PyUnicode_FromString("%H:%M:%S"));
};

Ref format(PyObject* value, const Ref& spec) { return require(PyObject_Format(value, spec.get())); }

bool positive(const Ctx& c, PyObject* value)
{
    return require_int(PyObject_RichCompareBool(value, c.st->zero, Py_GT)) != 0;
}

// time.strftime("%H:%M:%S", time.gmtime(seconds)): eight characters that drop whole days. A span
// that a clock set back made negative reads 00:00:00.
Ref clock_text(const Ctx& c, PyObject* seconds, const LineFormats& f)
{
    Ref time = c.global(N_time);
    Ref parts = call_method(time.get(), c.name(N_gmtime), positive(c, seconds) ? seconds : c.st->zero);
    return call_method(time.get(), c.name(N_strftime), f.clock.get(), parts.get());
}

// round(part / whole, 1) for a positive `whole`, else the float 0.0.
Ref throughput(const Ctx& c, PyObject* part, PyObject* whole)
{
    if (!positive(c, whole)) {
        return require(PyFloat_FromDouble(0.0));
    }
    Ref ratio = require(PyNumber_TrueDivide(part, whole));
    Ref round = c.global(N_round);
    Ref one = require(PyLong_FromLong(1));
    return call(round.get(), ratio.get(), one.get());
}

// part / whole * 100 for a positive `whole`, else the int 0.
Ref percent(const Ctx& c, PyObject* part, PyObject* whole)
{
    if (!positive(c, whole)) {
        return Ref::borrow(c.st->zero);
    }
    Ref ratio = require(PyNumber_TrueDivide(part, whole));
    Ref hundred = require(PyLong_FromLong(100));
    return require(PyNumber_Multiply(ratio.get(), hundred.get()));
}

// int(part / whole), truncated toward zero.
Ref whole_part(PyObject* part, PyObject* whole)
{
    Ref ratio = require(PyNumber_TrueDivide(part, whole));
    return require(PyNumber_Long(ratio.get()));
}

// The values of one summary line that differ between the interval and the cumulative line.
struct LineValues {
    const char* sign;
    PyObject* count;
    PyObject* clock;
    PyObject* tps;
    PyObject* avg;
    PyObject* failed;
    PyObject* share;
};

// One summary line; the store's min_time and max_time are read while it is built.
Ref summary_line(const Ctx& c, PyObject* var, const LineValues& v, const LineFormats& f)
{
    Ref count = format(v.count, f.count);
    Ref clock = format(v.clock, f.plain);
    Ref tps = format(v.tps, f.count);
    Ref avg = format(v.avg, f.field);
    Ref min_time = field(c, var, N_min_time);
    Ref min_text = format(min_time.get(), f.field);
    Ref max_time = field(c, var, N_max_time);
    Ref max_text = format(max_time.get(), f.field);
    Ref failed = format(v.failed, f.field);
    Ref share = format(v.share, f.share);
    return require(PyUnicode_FromFormat("summary %s %U in %U = %U/s Avg: %U Min: %U Max: %U Err: %U (%U%%)", v.sign,
                                        count.get(), clock.get(), tps.get(), avg.get(), min_text.get(),
                                        max_text.get(), failed.get(), share.get()));
}

Ref length_of(const Ctx& c, PyObject* var, Name list) { return require(PyLong_FromSsize_t(field_length(c, var, list))); }

// all_count - old_result.get(key)
Ref since(const Ctx& c, PyObject* all_count, PyObject* old_result, Name key)
{
    Ref before = call_method(old_result, c.name(N_get), c.name(key));
    return require(PyNumber_Subtract(all_count, before.get()));
}

// The snapshot a summary line is measured from: the run-status counters (equal to them, a dict
// subclass) carrying in `run_time` the store's run-time sum read right after them, so that the
// next line can take the mean run time of the tasks completed in its interval. Counters that are
// not a dict (an override's own mapping) are passed on as they are.
Ref run_snapshot(const Ctx& c, PyObject* self, PyObject* var)
{
    Ref status = call_method(self, c.name(N__get_run_status));
    if (!PyDict_Check(status.get())) {
        return status;
    }
    Ref snapshot = call(c.st->run_snapshot_type, status.get());
    Ref run_time = field(c, var, N_all_time);
    require_int(PyObject_SetAttrString(snapshot.get(), "run_time", run_time.get()));
    return snapshot;
}

// The mean run time, in whole milliseconds, of the `once_dones` (> 0) tasks completed since
// `old_result` was taken: the growth of the run-time sum since then over their count. A snapshot
// that carries no sum (a plain mapping from a caller) gives the cumulative mean instead, which is
// the same figure when the interval began before any task had completed.
Ref interval_mean(const Ctx& c, PyObject* old_result, PyObject* run_sum, PyObject* batch_sum, PyObject* once_dones,
                  PyObject* all_dones)
{
    PyObject* found = nullptr;
    if (PyObject_TypeCheck(old_result, reinterpret_cast<PyTypeObject*>(c.st->run_snapshot_type))) {
        require_int(PyObject_GetOptionalAttrString(old_result, "run_time", &found));
    }
    Ref before = Ref::steal(found);
    if (!before) {
        return positive(c, all_dones) ? whole_part(batch_sum, all_dones) : Ref::borrow(c.st->zero);
    }
    Ref grown = require(PyNumber_Subtract(run_sum, before.get()));
    return whole_part(grown.get(), once_dones);
}

}  // namespace

PyObject* manager_join_log(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_join_log", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        log_run_status(c, self);
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_join_property_log(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[3];
        bind_args({"_join_property_log", {"old_result", "elapsed_time", "start_time"}, 3}, args, nargs, kwnames, a);
        PyObject* old_result = a[0];
        PyObject* elapsed_time = a[1];
        PyObject* start_time = a[2];
        Ctx c = ctx_from_class(cls);

        // The reads come in a fixed order: the snapshot for the next call first, then the three
        // lengths, then the clock; a task that completes in between is counted again next time
        // rather than never.
        Ref var = manager_var(c, self);
        Ref new_result = run_snapshot(c, self, var.get());
        Ref all_dones = length_of(c, var.get(), N_dones);
        Ref all_failed = length_of(c, var.get(), N_failed);
        Ref all_total = length_of(c, var.get(), N_totals);
        Ref now_time = clock_now(c);

        Ref once_dones = since(c, all_dones.get(), old_result, N_done);
        if (!truthy(once_dones.get())) {
            return PyTuple_Pack(2, old_result, elapsed_time);
        }
        LineFormats f;
        // Read as before, though no figure of the lines depends on it any more: the failure shares
        // are taken over the tasks completed, which a queue of names still waiting cannot dilute.
        Ref once_total = since(c, all_total.get(), old_result, N_total);
        Ref interval = require(PyNumber_Subtract(now_time.get(), elapsed_time));
        Ref once_time = clock_text(c, interval.get(), f);
        Ref run_length = require(PyNumber_Subtract(now_time.get(), start_time));
        Ref all_time = clock_text(c, run_length.get(), f);
        Ref once_failed = since(c, all_failed.get(), old_result, N_failed);

        Ref once_tps = throughput(c, once_dones.get(), interval.get());
        Ref all_tps = throughput(c, all_dones.get(), run_length.get());
        Ref once_error = percent(c, once_failed.get(), once_dones.get());
        Ref all_error = percent(c, all_failed.get(), all_dones.get());
        // Both averages are milliseconds of run time; the worker times every completed task,
        // failed ones included, so the sum and the counts cover the same tasks: the counts are the
        // batch's, and so is the sum (the store's goes on across a clearing of the records).
        Ref run_sum = field(c, var.get(), N_all_time);
        Ref batch_sum = require(batch_run_time(self, run_sum.get()));
        Ref avg_time = positive(c, once_dones.get())
                           ? interval_mean(c, old_result, run_sum.get(), batch_sum.get(), once_dones.get(),
                                           all_dones.get())
                           : Ref::borrow(c.st->zero);
        Ref all_avg_time = positive(c, all_dones.get()) ? whole_part(batch_sum.get(), all_dones.get())
                                                        : Ref::borrow(c.st->zero);

        Ref text1 = summary_line(c, var.get(),
                                 {"+", once_dones.get(), once_time.get(), once_tps.get(), avg_time.get(),
                                  once_failed.get(), once_error.get()},
                                 f);
        Ref text2 = summary_line(c, var.get(),
                                 {"=", all_dones.get(), all_time.get(), all_tps.get(), all_avg_time.get(),
                                  all_failed.get(), all_error.get()},
                                 f);
        Ref log = manager_log(c, self);
        log_object(c, log.get(), N_info, text1.get());
        log_object(c, log.get(), N_info, text2.get());
        return PyTuple_Pack(2, new_result.get(), now_time.get());
    });
}

PyObject* manager_join(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_join", {"break_result"}, 0}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        begin_join(c, self, a[0]);
        Ref second = require(PyLong_FromLong(1));
        JoinPace pace;
        // The counters every second until the work has ended, and once more at its end.
        do {
            log_run_status(c, self);
        } while (!wait_interval(c, second.get(), pace, [&] { return work_ended(c, self); }));
        log_run_status(c, self);
        end_join(c, self);
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_join_property(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[2];
        bind_args({"_join_property", {"break_result", "interval"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        Ref interval = a[1] ? Ref::borrow(a[1]) : require(PyLong_FromLong(5));
        begin_join(c, self, a[0]);

        Ref old_result = run_snapshot(c, self, manager_var(c, self).get());
        Ref start_time = clock_now(c);
        Ref elapsed_time = start_time.dup();
        JoinPace pace;
        // The end: the duration passed (read afresh at each look: a caller may change it mid-join),
        // else the work ended; a close ends either.
        auto finished = [&] {
            pace.due = std::numeric_limits<double>::infinity();
            Ref var = manager_var(c, self);
            Ref duration = field(c, var.get(), N_duration);
            if (!truthy(duration.get())) {
                return work_ended(c, self);
            }
            Ref now = clock_now(c);
            Ref deadline = require(PyNumber_Add(start_time.get(), duration.get()));
            // Past the deadline unless at or before it, as the timed submission judges it: a
            // duration of NaN set mid-run ends the window for both, instead of holding the join.
            if (closed_meanwhile(c, self)) {
                return true;
            }
            if (require_int(PyObject_RichCompareBool(now.get(), deadline.get(), Py_LE)) == 0) {
                // A timed submission that began a moment after this join still holds the batch
                // open: waited for, briefly, so that the batch can end (and be cleared) as soon as
                // this join returns. One still in its first pass is waited for until the pass ends:
                // its collection is sent once, whatever the window, and is the batch's.
                double over = -seconds_between(now.get(), deadline.get());
                ManagerObject* m = as_manager(self);
                if (m->windows == 0 || std::isinf(over)) {
                    return true;
                }
                if (over < window_grace) {
                    pace.due = 0.0;
                    return false;
                }
                return m->opening == 0;  // (a first pass may take a while: looked at in growing slices)
            }
            pace.due = seconds_between(now.get(), deadline.get());
            return false;
        };
        for (;;) {
            Ref pair = call_method(self, c.name(N__join_property_log), old_result.get(), elapsed_time.get(),
                                   start_time.get());
            unpack_pair(pair.get(), old_result, elapsed_time);
            if (wait_interval(c, interval.get(), pace, finished)) {
                // The last lines cover the part of the interval that passed; their pair is not
                // needed any more.
                call_method(self, c.name(N__join_property_log), old_result.get(), elapsed_time.get(),
                            start_time.get());
                break;
            }
        }
        end_join(c, self);
        return Py_NewRef(Py_True);
    });
}

}  // namespace threads_main
