// Task submission: one task through _send, a collection on a sending thread.
#include <Python.h>

#include <utility>

#include "manager/methods.hpp"
#include "module.hpp"
#include "outside/outside.hpp"
#include "manager/wake.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "worker/worker.hpp"

namespace threads_main {

namespace {

// Names waiting in the queue at or above which a timed bulk submission holds back.
constexpr long queue_threshold = 1000;
// Seconds a timed bulk submission pauses after a pass that submitted nothing.
constexpr double idle_pause = 0.005;

// "Thread_<counter>", advancing the counter until the name is not in use: a name a caller chose
// earlier must not be taken over, which would overwrite its entry and queue it twice.
Ref generate_name(const Ctx& c, PyObject* var, PyObject* keys)
{
    Ref one = require(PyLong_FromLong(1));
    for (;;) {
        Ref counter = field(c, var, N_name);
        Ref name = require(PyUnicode_FromFormat("Thread_%S", counter.get()));
        Ref next = require(PyNumber_Add(counter.get(), one.get()));
        set_field(c, var, N_name, next.get());
        if (!contains(keys, name.get())) {
            return name;
        }
    }
}

// The part of a submission made under the store's lock: name, worker, thread, entry. Returns the
// chosen name.
Ref create_task(const Ctx& c, PyObject* var, PyObject* log, PyObject* thread_name, Ref task_kwargs)
{
    Ref threads = field(c, var, N_threads);
    Ref keys = call_method(threads.get(), c.name(N_keys));
    Ref name;
    if (thread_name != Py_None && PyUnicode_GET_LENGTH(thread_name) > 0 && !contains(keys.get(), thread_name)) {
        name = Ref::borrow(thread_name);
    } else {
        name = generate_name(c, var, keys.get());
    }

    Ref worker_class = c.global(N__Worker);
    Ref worker = build_worker(c, worker_class.get(), var, name.get(), log, std::move(task_kwargs));
    Ref target = getattr(worker.get(), c.name(N_start));
    Ref thread_class = c.global(N_Thread);
    PyObject* thread_argv[] = {nullptr, target.get()};
    Ref thread = require(PyObject_Vectorcall(thread_class.get(), thread_argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             c.st->kw_target));

    Ref value = require(PyDict_New());
    require_int(PyDict_SetItem(value.get(), c.name(N_thread), thread.get()));
    require_int(PyDict_SetItem(value.get(), c.name(N_result), Py_None));
    require_int(PyDict_SetItem(value.get(), c.name(N_status), c.status(S_WAITING)));
    PyObject* set_argv[] = {threads.get(), name.get(), value.get()};
    require(PyObject_VectorcallMethod(c.name(N_set), set_argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, c.st->kw_value));
    return name;
}

// One bulk request as the keyword dict of a `_send` call, as `**element` would take it.
Ref as_request(PyObject* element)
{
    if (PyDict_Check(element)) {
        return Ref::borrow(element);
    }
    if (element == Py_None) {
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    }
    return require(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), element));
}

// One pass over the collection: every element through self._send. Returns how many were sent.
Py_ssize_t send_pass(const Ctx& c, PyObject* self, PyObject* thread_list)
{
    Ref elements = call_method(self, c.name(N__thread_list_yield), thread_list);
    Ref it = require(PyObject_GetIter(elements.get()));
    Ref send = getattr(self, c.name(N__send));
    Py_ssize_t sent = 0;
    while (PyObject* next = PyIter_Next(it.get())) {
        Ref element = Ref::steal(next);
        Ref request = as_request(element.get());
        require(PyObject_VectorcallDict(send.get(), nullptr, 0, request.get()));
        ++sent;
    }
    if (PyErr_Occurred()) {
        throw PyErrSet{};
    }
    return sent;
}

// True, with the error dropped, when the pending error is the ManagerError of a closed manager:
// closing is how a timed sending thread normally ends, and it should end without a report.
bool ended_by_close(const Ctx& c, PyObject* var)
{
    if (!PyErr_ExceptionMatches(c.st->manager_error)) {
        return false;
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyObject* open = PyObject_GetAttr(var, c.name(N_switch));
    int is_open = open ? PyObject_IsTrue(open) : -1;
    Py_XDECREF(open);
    if (is_open == 0) {
        return true;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(error.release());
    return false;
}

// The timed loop: the whole collection again whenever the window is open and the queue is short,
// until the manager closes.
void send_for_duration(const Ctx& c, PyObject* self, PyObject* var, PyObject* thread_list)
{
    Ref time = c.global(N_time);
    Ref start = call_method(time.get(), c.name(N_time));
    Ref threshold = require(PyLong_FromLong(queue_threshold));
    Ref pause = require(PyFloat_FromDouble(idle_pause));
    while (truthy(field(c, var, N_switch).get())) {
        time = c.global(N_time);
        Ref now = call_method(time.get(), c.name(N_time));
        Ref duration = field(c, var, N_duration);
        Ref end = require(PyNumber_Add(start.get(), duration.get()));
        Py_ssize_t sent = 0;
        if (require_int(PyObject_RichCompareBool(now.get(), end.get(), Py_LE))) {
            Ref waiting = call_method(self, c.name(N__get_qsize));
            if (require_int(PyObject_RichCompareBool(waiting.get(), threshold.get(), Py_LT))) {
                sent = send_pass(c, self, thread_list);
            }
        }
        // A pass that sent nothing sleeps briefly (the sleep releases the interpreter lock):
        // testing again at once would keep a processor busy and starve the other threads.
        if (sent == 0) {
            call_method(time.get(), c.name(N_sleep), pause.get());
        }
    }
}

}  // namespace

PyObject* manager_send(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        Ref task_kwargs;
        bind_args({"_send", {"thread_name"}, 0, true}, args, nargs, kwnames, a, &task_kwargs);
        PyObject* thread_name = a[0] ? a[0] : Py_None;
        if (thread_name != Py_None && !PyUnicode_CheckExact(thread_name)) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         "thread_name", "str", Py_TYPE(thread_name)->tp_name);
            throw PyErrSet{};
        }
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        if (!task_kwargs) {
            task_kwargs = require(PyDict_New());
        }
        Ref var = manager_var(c, self);
        Ref log = manager_log(c, self);
        StoreLock lock(c, var.get());
        Ref name = create_task(c, var.get(), log.get(), thread_name, std::move(task_kwargs));
        lock.release();

        Ref queue = field(c, var.get(), N_queue);
        call_method(queue.get(), c.name(N_put), name.get());
        wake_control_loop(self);
        Ref totals = field(c, var.get(), N_totals);
        append(totals.get(), name.get());
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_thread_list_yield(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_thread_list_yield", {"thread_list"}, 1, false, false}, args, nargs, kwnames, a);
        // The collection's own iterator yields its elements in order without copying it.
        return require(PyObject_GetIter(a[0])).release();
    });
}

PyObject* manager_send_list_thread(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send_list_thread", {"thread_list"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        if (!truthy(field(c, var.get(), N_duration).get())) {
            send_pass(c, self, a[0]);
            return Py_NewRef(Py_None);
        }
        try {
            send_for_duration(c, self, var.get(), a[0]);
        }
        catch (const PyErrSet&) {
            if (!ended_by_close(c, var.get())) {
                throw;
            }
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_send_list(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send_list", {"thread_list"}, 1}, args, nargs, kwnames, a);
        PyObject* thread_list = a[0];
        if (!PyList_Check(thread_list) && !PySet_Check(thread_list) && !PyTuple_Check(thread_list)) {
            return Py_NewRef(Py_None);
        }
        Ctx c = ctx_from_class(cls);
        Ref target = getattr(self, c.name(N__send_list_thread));
        Ref thread_args = require(PyTuple_Pack(1, thread_list));
        Ref thread_class = c.global(N_Thread);
        PyObject* argv[] = {nullptr, target.get(), thread_args.get()};
        Ref thread = require(PyObject_Vectorcall(thread_class.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 c.st->kw_target_args));
        call_method(thread.get(), c.name(N_start));
        return Py_NewRef(Py_None);
    });
}

}  // namespace threads_main
