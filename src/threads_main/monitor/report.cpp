// The run-time queries of a manager and its report: the batch's latency figures, its timeline and
// its histogram's raw form, read from the metrics its workers record (metrics/), and the call of the
// report writer.
//
// Like the status and result queries they answer after a close too: the report of a run is
// written once the run is over, and a closed manager keeps its records. Each call builds new
// objects; the run times are read with the interpreter lock held, so a reading never sees half a
// record.
#include "monitor/monitor.hpp"

#include <vector>

#include "metrics/raw.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "state.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

const Metrics& run_times(PyObject* self) { return as_manager(self)->core->metrics; }

// dict[key] = value, for a new reference `value` (null: the call that made it failed).
void put(const Ctx& c, PyObject* dict, Name key, Ref value)
{
    if (!value) {
        throw PyErrSet{};
    }
    require_int(PyDict_SetItem(dict, c.name(key), value.get()));
}

// Seconds since the epoch, or None for a batch with no such moment yet.
Ref epoch_or_none(const Metrics& m, int64_t at_ns)
{
    return m.timeline.started() && at_ns ? require(PyFloat_FromDouble(m.wall_at(at_ns))) : none();
}

// The name a task function goes by: its __qualname__, else its repr. A Ctrl-C that lands in a
// computed __qualname__ goes on to the caller.
Ref function_name(const Ctx& c, PyObject* func)
{
    PyObject* name = nullptr;
    int found = PyObject_GetOptionalAttr(func, c.name(N___qualname__), &name);
    if (found > 0 && PyUnicode_Check(name)) {
        return Ref::steal(name);
    }
    Py_XDECREF(name);
    if (found < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyErrSet{};
        }
        PyErr_Clear();
    }
    return require(PyObject_Repr(func));
}

// brixel_report.write_report(path, run_status=..., latency=..., timeline=..., setup=..., errors=...,
// span=...), the package imported at each call so that its missing optional dependency is reported
// only when used. `span` is the seconds from the first dispatch to the last finished task, or None.
Ref write_report(const Ctx& c, PyObject* path, PyObject* run_status, PyObject* latency, PyObject* timeline,
                 PyObject* setup, PyObject* errors, PyObject* span)
{
    Ref package = require(PyImport_Import(c.name(N_brixel_report)));
    Ref writer = getattr(package.get(), c.name(N_write_report));
    Ref kwnames = require(PyTuple_Pack(6, c.name(N_run_status), c.name(N_latency), c.name(N_timeline), c.name(N_setup),
                                       c.name(N_errors), c.name(N_span)));
    PyObject* argv[8] = {nullptr, path, run_status, latency, timeline, setup, errors, span};
    return require(PyObject_Vectorcall(writer.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

}  // namespace

PyObject* manager_get_latency(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_latency", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        return latency_dict(c, run_times(self).all).release();
    });
}

PyObject* manager_get_timeline(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_timeline", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        return timeline_list(c, run_times(self).timeline).release();
    });
}

PyObject* manager_get_histogram(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_histogram", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        return histogram_raw(c, run_times(self).all).release();
    });
}

PyObject* manager_write_report(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_write_report", {"path"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        Ref status = call_method(self, c.name(N__get_run_status));
        Ref latency = call_method(self, c.name(N__get_latency));
        Ref timeline = call_method(self, c.name(N__get_timeline));
        Ref setup = call_method(self, c.name(N__get_run_info));
        Ref errors = call_method(self, c.name(N__get_errors));
        // The seconds the batch ran, from the set-up's start and end when it gives both.
        Ref span = none();
        if (PyDict_Check(setup.get())) {
            PyObject* started = PyDict_GetItemWithError(setup.get(), c.name(N_started));
            PyObject* ended = started ? PyDict_GetItemWithError(setup.get(), c.name(N_ended)) : nullptr;
            if (PyErr_Occurred()) {
                throw PyErrSet{};
            }
            if (started && ended && PyFloat_Check(started) && PyFloat_Check(ended)) {
                span = require(PyFloat_FromDouble(PyFloat_AS_DOUBLE(ended) - PyFloat_AS_DOUBLE(started)));
            }
        }
        write_report(c, a[0], status.get(), latency.get(), timeline.get(), setup.get(), errors.get(), span.get());
        return Py_NewRef(Py_True);
    });
}

}  // namespace threads_main

namespace threads_main {

PyObject* manager_get_errors(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_errors", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        const Metrics& m = run_times(self);
        return causes_list(c, m.failures.causes(), m.timeline.origin()).release();
    });
}

PyObject* manager_get_run_info(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_run_info", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        const Metrics& m = run_times(self);
        Ref info = require(PyDict_New());
        put(c, info.get(), N_function, function_name(c, field(c, var.get(), N_func).get()));
        put(c, info.get(), N_max_workers, field(c, var.get(), N_max_workers));
        put(c, info.get(), N_dispatch, Ref::borrow(c.name(as_manager(self)->eager ? N_eager : N_paced)));
        put(c, info.get(), N_duration, field(c, var.get(), N_duration));
        put(c, info.get(), N_started, epoch_or_none(m, m.timeline.started() ? m.timeline.origin() : 0));
        put(c, info.get(), N_ended, epoch_or_none(m, m.last_ns));
        return info.release();
    });
}

}  // namespace threads_main
