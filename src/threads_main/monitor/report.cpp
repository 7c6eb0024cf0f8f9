// The run-time queries of a manager and its report: the batch's latency figures, its timeline and
// its histogram's raw form, read from the metrics its workers record (metrics/), and the call of the
// report writer.
//
// Like the status and result queries they answer after a close too: the report of a run is
// written once the run is over, and a closed manager keeps its records. Each call builds new
// objects; the run times are read with the interpreter lock held, so a reading never sees half a
// record.
#include "monitor/monitor.hpp"

#include "metrics/raw.hpp"
#include "state.hpp"
#include "native/native.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

const Metrics& run_times(PyObject* self) { return as_manager(self)->core->metrics; }

// brixel_report.write_report(path, run_status=..., latency=..., timeline=...), the package
// imported at each call so that its missing optional dependency is reported only when used.
Ref write_report(const Ctx& c, PyObject* path, PyObject* run_status, PyObject* latency, PyObject* timeline)
{
    Ref package = require(PyImport_Import(c.name(N_brixel_report)));
    Ref writer = getattr(package.get(), c.name(N_write_report));
    Ref kwnames = require(PyTuple_Pack(3, c.name(N_run_status), c.name(N_latency), c.name(N_timeline)));
    PyObject* argv[5] = {nullptr, path, run_status, latency, timeline};
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
        write_report(c, a[0], status.get(), latency.get(), timeline.get());
        return Py_NewRef(Py_True);
    });
}

}  // namespace threads_main
