// Status and result queries: new dicts and lists built per call from the store's records; and the
// lifecycle flags and the queue's size.
//
// The walks over all tasks go over a snapshot of the names, so a submission during the walk never
// makes a query fail, and skip a name whose entry is gone by the time it is fetched (the records
// were cleared meanwhile). The walks run over very many finished tasks, so each name costs one
// `get` (through the store's C interface for a plain store, else through a getter looked up once
// per call), and the keys are interned names.
#include "monitor/monitor.hpp"

#include "state.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

// The text a query gives for a name that is not a task.
constexpr const char* no_such_task = "Task does not exist";

// dict[key] = len(store.<list>)
void put_length(const Ctx& c, PyObject* dict, PyObject* var, Name key, Name list)
{
    Ref count = require(PyLong_FromSsize_t(field_length(c, var, list)));
    require_int(PyDict_SetItem(dict, c.name(key), count.get()));
}

// One task's field as {thread_name: value}: the entry's `field` when the name is a task, the
// "does not exist" text otherwise. A name whose entry vanished between the membership test and
// the fetch (the records were cleared) counts as not existing.
Ref one_task_field(const Ctx& c, PyObject* self, PyObject* thread_name, Name which)
{
    Ref var = manager_var(c, self);
    Ref threads = field(c, var.get(), N_threads);
    Ref value;
    if (has_task(c, threads.get(), thread_name)) {
        Ref entry = task_entry(c, threads.get(), thread_name);
        if (!Py_IsNone(entry.get())) {
            value = field(c, entry.get(), which);
        }
    }
    if (!value) {
        value = require(PyUnicode_FromString(no_such_task));
    }
    Ref result = require(PyDict_New());
    require_int(PyDict_SetItem(result.get(), thread_name, value.get()));
    return result;
}

// The walk shared by the queries over all tasks: calls `visit(name, entry)` for every name of a
// snapshot whose entry still exists, in the order the store yields the names.
template <typename F>
void for_each_task(const Ctx& c, PyObject* threads, F&& visit)
{
    Ref names = task_names(c, threads);
    const BrixelVarApi* api = plain_store_methods(c, threads, {N_get});
    Ref get = api ? Ref{} : getattr(threads, c.name(N_get));
    Py_ssize_t count = PyList_GET_SIZE(names.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref name = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Ref entry = api ? require(api->get_entry(threads, name.get())) : call(get.get(), name.get());
        if (Py_IsNone(entry.get())) {
            continue;
        }
        visit(name.get(), entry.get());
    }
}

bool is_failed_status(const Ctx& c, PyObject* status)
{
    PyObject* word = c.status(S_FAILED);
    return status == word || require_int(PyObject_RichCompareBool(status, word, Py_EQ)) != 0;
}

// The result summary: the six counts, then one record per task (failed tasks only with
// `failed_only`) under "data".
Ref result_summary(const Ctx& c, PyObject* self, bool failed_only)
{
    Ref var = manager_var(c, self);
    Ref summary = require(PyDict_New());
    put_length(c, summary.get(), var.get(), N_total, N_totals);
    put_length(c, summary.get(), var.get(), N_run, N_runs);
    put_length(c, summary.get(), var.get(), N_success, N_success);
    put_length(c, summary.get(), var.get(), N_failed, N_failed);
    put_length(c, summary.get(), var.get(), N_stop, N_stops);
    put_length(c, summary.get(), var.get(), N_cancel, N_cancels);

    Ref data = require(PyList_New(0));
    Ref threads = field(c, var.get(), N_threads);
    for_each_task(c, threads.get(), [&](PyObject* name, PyObject* entry) {
        // Result and status come from the one entry fetched for the name.
        Ref status = field(c, entry, N_status);
        if (failed_only && !is_failed_status(c, status.get())) {
            return;
        }
        Ref result = field(c, entry, N_result);
        Ref record = require(PyDict_New());
        require_int(PyDict_SetItem(record.get(), c.name(N_task), name));
        require_int(PyDict_SetItem(record.get(), c.name(N_result), result.get()));
        require_int(PyDict_SetItem(record.get(), c.name(N_status), status.get()));
        require_int(PyList_Append(data.get(), record.get()));
    });
    require_int(PyDict_SetItem(summary.get(), c.name(N_data), data.get()));
    return summary;
}

}  // namespace

PyObject* manager_get_status(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_get_status", {"thread_name"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        return one_task_field(c, self, a[0], N_status).release();
    });
}

PyObject* manager_get_all_status(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_all_status", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        Ref threads = field(c, var.get(), N_threads);
        Ref result = require(PyDict_New());
        for_each_task(c, threads.get(), [&](PyObject* name, PyObject* entry) {
            Ref status = field(c, entry, N_status);
            require_int(PyDict_SetItem(result.get(), name, status.get()));
        });
        return result.release();
    });
}

PyObject* manager_get_run_status(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_run_status", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        Ref result = require(PyDict_New());
        put_length(c, result.get(), var.get(), N_total, N_totals);
        put_length(c, result.get(), var.get(), N_done, N_dones);
        put_length(c, result.get(), var.get(), N_run, N_runs);
        put_length(c, result.get(), var.get(), N_success, N_success);
        put_length(c, result.get(), var.get(), N_failed, N_failed);
        put_length(c, result.get(), var.get(), N_stop, N_stops);
        put_length(c, result.get(), var.get(), N_cancel, N_cancels);
        return result.release();
    });
}

PyObject* manager_get_result(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_get_result", {"thread_name"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        return one_task_field(c, self, a[0], N_result).release();
    });
}

PyObject* manager_get_all_result(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_all_result", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        return result_summary(c, self, false).release();
    });
}

PyObject* manager_get_failed_result(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_failed_result", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        return result_summary(c, self, true).release();
    });
}

PyObject* manager_get_failed(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_failed", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        Ref threads = field(c, var.get(), N_threads);
        // The same walk as the other queries rather than over items(): the store yields its
        // items in the order of its keys, and a walk over the names allocates no pair per task.
        Ref names = require(PyList_New(0));
        for_each_task(c, threads.get(), [&](PyObject* name, PyObject* entry) {
            Ref status = field(c, entry, N_status);
            if (is_failed_status(c, status.get())) {
                require_int(PyList_Append(names.get(), name));
            }
        });
        return names.release();
    });
}

PyObject* manager_is_close(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_is_close", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        return PyBool_FromLong(!truthy(field(c, var.get(), N_switch).get()));
    });
}

PyObject* manager_is_run(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_is_run", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        return field(c, var.get(), N_is_run).release();
    });
}

PyObject* manager_done(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_done", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        return field(c, var.get(), N_done).release();
    });
}

PyObject* manager_get_qsize(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_get_qsize", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        Ref var = manager_var(c, self);
        Ref queue = field(c, var.get(), N_queue);
        return call_method(queue.get(), c.name(N_qsize)).release();
    });
}

}  // namespace threads_main
