// The control loop: polls the queue, dispatches waiting tasks within the worker limit and keeps
// the done and is_run flags.
#include <Python.h>

#include <chrono>

#include "manager/methods.hpp"
#include "module.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "manager/wake.hpp"

namespace threads_main {

namespace {

// Tasks counted as running: dispatched, minus finished, minus stopped.
Py_ssize_t running_count(const Ctx& c, PyObject* var)
{
    Py_ssize_t runs = field_length(c, var, N_runs);
    Py_ssize_t dones = field_length(c, var, N_dones);
    Py_ssize_t stops = field_length(c, var, N_stops);
    return runs - dones - stops;
}

// self._get_qsize() compared with 0 by `op`.
bool queue_size_is(const Ctx& c, PyObject* self, int op)
{
    Ref size = call_method(self, c.name(N__get_qsize));
    return require_int(PyObject_RichCompareBool(size.get(), c.st->zero, op)) != 0;
}

// The poll period, in seconds (the float in module state holds the same value).
constexpr double poll_seconds = 0.01;

// How long an idle loop sleeps between passes when nobody wakes it, in seconds.
constexpr double idle_wait = 0.25;

// One pass of the loop after its sleep: the dispatch decision, then the idle decision. Returns
// true when the pass found nothing queued and nothing running.
bool control_pass(const Ctx& c, PyObject* self, PyObject* var)
{
    Py_ssize_t running = running_count(c, var);
    if (queue_size_is(c, self, Py_GT)) {
        Ref limit = field(c, var, N_max_workers);
        Ref count = require(PyLong_FromSsize_t(running));
        if (require_int(PyObject_RichCompareBool(count.get(), limit.get(), Py_LT))) {
            // The take never blocks: the queue can be drained by another thread between the size
            // check and the take, and a blocking take would then wait for a name that may never
            // come, keeping the control thread (and interpreter exit) waiting. An empty queue
            // means no work for this pass.
            Ref queue = field(c, var, N_queue);
            PyObject* name = PyObject_CallMethodOneArg(queue.get(), c.name(N_get), Py_False);
            if (!name) {
                if (!PyErr_ExceptionMatches(c.st->queue_empty)) {
                    throw PyErrSet{};
                }
                PyErr_Clear();
            } else {
                Ref taken = Ref::steal(name);
                set_field(c, var, N_done, Py_False);
                set_field(c, var, N_is_run, Py_True);
                call_method(self, c.name(N__consumer), taken.get());
            }
        }
    }
    if (queue_size_is(c, self, Py_EQ)) {
        if (running_count(c, var) == 0) {
            if (truthy(field(c, var, N_is_run).get())) {
                set_field(c, var, N_done, Py_True);
                set_field(c, var, N_is_run, Py_False);
            }
            return true;
        }
    }
    return false;
}

// Logs "Run error: <text>" for the pending ordinary exception and clears it; anything not
// derived from Exception stays set and is thrown on.
void log_run_error(const Ctx& c, PyObject* self)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PyErrSet{};
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref text = require(PyObject_Str(error.get()));
    Ref line = require(PyUnicode_FromFormat("Run error: %U", text.get()));
    Ref log = manager_log(c, self);
    log_object(c, log.get(), N_debug, line.get());
}

PyObject* control_loop(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;

// The SystemExit that a close sends ends the loop like the switch does: quietly, not as an
// uncaught thread exception.
bool ended_by_close(const Ctx& c, PyObject* self)
{
    if (!PyErr_ExceptionMatches(PyExc_SystemExit)) {
        return false;
    }
    Ref var;
    {
        SavedError keep;
        var = Ref::steal(PyObject_GetAttr(self, c.name(N__var)));
        if (!var) {
            PyErr_Clear();
        }
    }
    return var && switch_reads_off(c, var.get());
}

}  // namespace

PyObject* manager_queue_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept
{
    PyObject* result = control_loop(self, cls, args, nargs, kwnames);
    if (!result) {
        Ctx c{PyType_GetModule(cls), nullptr};
        c.st = c.module ? state_of(c.module) : nullptr;
        if (c.st && ended_by_close(c, self)) {
            PyErr_Clear();
            return Py_NewRef(Py_None);
        }
    }
    return result;
}

namespace {

PyObject* control_loop(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_queue_init", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        // After an idle wait that nobody cut short, a quarter of a second has passed already: the
        // pass's own sleep would only add a second wake-up.
        bool rested = false;
        // Passes begin at least one poll period apart. The sleep makes up only what the previous
        // pass did not already spend (starting a thread waits for it to come up), so the loop keeps
        // its cadence of one dispatch per period instead of drifting to period + work.
        auto pass_began = std::chrono::steady_clock::now();
        for (;;) {
            Ref var = manager_var(c, self);
            if (!truthy(field(c, var.get(), N_switch).get())) {
                break;
            }
            if (!rested) {
                std::chrono::duration<double> spent = std::chrono::steady_clock::now() - pass_began;
                double remaining = poll_seconds - spent.count();
                Ref period = remaining >= poll_seconds ? Ref::borrow(c.st->poll_period)
                                                       : require(PyFloat_FromDouble(remaining > 0 ? remaining : 0.0));
                Ref time = c.global(N_time);
                call_method(time.get(), c.name(N_sleep), period.get());
            }
            pass_began = std::chrono::steady_clock::now();
            rested = false;
            bool idle = false;
            try {
                idle = control_pass(c, self, var.get());
            }
            catch (const PyErrSet&) {
                log_run_error(c, self);
            }
            if (idle) {
                rested = !wait_while_idle(self, idle_wait);
            }
        }
        return Py_NewRef(Py_None);
    });
}

}  // namespace

PyObject* manager_consumer(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_consumer", {"thread_name"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        // Held until the thread's start() has returned: a stop walk takes the same lock, so no stop
        // request reaches a thread still starting. Released on every way out, also when the
        // SystemExit that a close sends surfaces inside start().
        StoreLock lock(c, var.get());
        Ref runs = field(c, var.get(), N_runs);
        append(runs.get(), a[0]);
        Ref threads = field(c, var.get(), N_threads);
        Ref entry = task_entry(c, threads.get(), a[0]);
        Ref thread = field(c, entry.get(), N_thread);
        call_method(thread.get(), c.name(N_start));
        lock.release();
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_get_qsize(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept
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
