// Paced dispatch: the control loop polls the queue, dispatches waiting tasks within the worker
// limit, one per pass, by starting the thread made for each at submission, and keeps the done and
// is_run flags.
#include <Python.h>

#include <array>
#include <chrono>

#include "dispatch/dispatch.hpp"
#include "dispatch/engines.hpp"
#include "metrics/record.hpp"
#include "state.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "support/run.hpp"

namespace threads_main {

namespace {

// self.<method>(*args), called as task code of the control loop: an override is the user's code,
// where a close may end the loop; our own method defers that to its return.
template <typename... A>
Ref call_back(const Ctx& c, PyObject* self, Name method, A... args)
{
    PyObject* result = nullptr;
    bool ok = interruptible([&] {
        std::array<PyObject*, sizeof...(A) + 1> argv{self, args...};
        result = PyObject_VectorcallMethod(c.name(method), argv.data(), argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr);
        return result != nullptr;
    });
    if (!ok) {
        Py_XDECREF(result);
        throw PyErrSet{};
    }
    return Ref::steal(result);
}

// self._get_qsize() compared with 0 by `op`.
bool queue_size_is(const Ctx& c, PyObject* self, int op)
{
    Ref size = call_back(c, self, N__get_qsize);
    return require_int(PyObject_RichCompareBool(size.get(), c.st->zero, op)) != 0;
}

// The poll period, in seconds (the float in module state holds the same value).
constexpr double poll_seconds = 0.01;

// How long an idle loop sleeps between passes when nobody wakes it, in seconds.
constexpr double idle_wait = 0.25;

// The worker a thread runs: the object of a bound `start` given as its target (null when none).
Ref worker_of(PyObject* thread)
{
    PyObject* target = nullptr;
    if (PyObject_GetOptionalAttrString(thread, "_target", &target) < 0) {
        PyErr_Clear();
    }
    Ref worker = Ref::steal(target);
    if (worker && PyMethod_Check(worker.get())) {
        worker = Ref::borrow(PyMethod_GET_SELF(worker.get()));
    }
    return worker;
}

// A thread that was never started (no identifier yet); an unreadable one counts as started.
bool never_started(const Ctx& c, PyObject* thread)
{
    Ref ident = Ref::steal(PyObject_GetAttr(thread, c.name(N_ident)));
    if (!ident) {
        PyErr_Clear();
        return false;
    }
    return ident.get() == Py_None;
}

// A name taken off the queue whose dispatch failed before it reached `runs` (an override of
// _consumer that raised, or that a close ended, before handing it on) would wait for ever: nothing
// takes it again. With an ordinary error it fails, as a task whose thread cannot start does, and
// can be run again; otherwise the loop is ending and it is cancelled, as a close's drain cancels
// the names it takes. `dispatched` is the length `runs` had before the dispatch: only this loop
// appends to it, and a clearing waits for a name on its way, so an unchanged length means the name
// never reached it (a failed task put back for a re-run is in it from its first run). The error
// pending stays pending; this one's own are set aside.
void settle_undispatched(const Ctx& c, PyObject* self, PyObject* var, PyObject* name, Py_ssize_t dispatched)
{
    Ref error = Ref::steal(PyErr_GetRaisedException());
    try {
        Ref runs = field(c, var, N_runs);
        Ref threads = field(c, var, N_threads);
        Ref entry = task_entry(c, threads.get(), name);
        if (length(runs.get()) == dispatched && entry.get() != Py_None) {
            Ref thread = field(c, entry.get(), N_thread);
            if (thread.get() != Py_None && never_started(c, thread.get())) {
                if (PyErr_GivenExceptionMatches(error.get(), PyExc_Exception)) {
                    append(runs.get(), name);
                    PyErr_SetRaisedException(error.dup().release());
                    record_start_failure(c, &as_manager(self)->core->metrics, var, name, entry.get(),
                                         worker_of(thread.get()).get());
                } else {
                    cancel_task(c, var, name);
                    dispatch_settle(c, self);
                }
            }
        }
    }
    catch (const PyErrSet&) {
        set_error_aside(self, true);  // a store that fails here failed the dispatch too, which is logged
    }
    PyErr_SetRaisedException(error.release());
}

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
            Taking taking(self);
            ManagerObject* m = as_manager(self);
            m->drains_at_take = m->drains;
            m->took_in_drain = m->draining > 0;
            PyObject* name = PyObject_CallMethodOneArg(queue.get(), c.name(N_get), Py_False);
            if (!name) {
                if (!PyErr_ExceptionMatches(c.st->queue_empty)) {
                    throw PyErrSet{};
                }
                PyErr_Clear();
            } else {
                Ref taken = Ref::steal(name);
                Py_ssize_t dispatched = field_length(c, var, N_runs);
                try {
                    set_field(c, var, N_done, Py_False);
                    set_field(c, var, N_is_run, Py_True);
                    call_back(c, self, N__consumer, taken.get());
                }
                catch (const PyErrSet&) {
                    settle_undispatched(c, self, var, taken.get(), dispatched);
                    throw;
                }
            }
        }
    }
    if (queue_size_is(c, self, Py_EQ)) {
        if (running_count(c, var) == 0) {
            settle_batch(c, self, var, [&] { return paced_waiting(c, var); });
            return true;
        }
    }
    return false;
}

}  // namespace

void paced_control_loop(const Ctx& c, PyObject* self, Run* run)
{
    // After an idle wait that nobody cut short, a quarter of a second has passed already: the
    // pass's own sleep would only add a second wake-up.
    bool rested = false;
    // Passes begin at least one poll period apart. The sleep makes up only what the previous pass
    // did not already spend (starting a thread waits for it to come up), so the loop keeps its
    // cadence of one dispatch per period instead of drifting to period + work.
    auto pass_began = std::chrono::steady_clock::now();
    Ref var;
    while (loop_goes_on(c, self, run, var)) {
        if (!rested) {
            std::chrono::duration<double> spent = std::chrono::steady_clock::now() - pass_began;
            double remaining = poll_seconds - spent.count();
            Ref period = remaining >= poll_seconds ? Ref::borrow(c.st->poll_period)
                                                   : require(PyFloat_FromDouble(remaining > 0 ? remaining : 0.0));
            poll_sleep(c, period.get());
        }
        pass_began = std::chrono::steady_clock::now();
        rested = false;
        bool idle = false;
        try {
            idle = control_pass(c, self, var.get());
        }
        catch (const PyErrSet&) {
            // A close that turned the switch off during the pass makes its calls through self refuse
            // ("The manager has stopped"): the loop ends, and that is no error of the run.
            if (pending_is_manager_error(c) && switch_reads_off(c, var.get())) {
                PyErr_Clear();
                continue;
            }
            log_run_error(c, self);
        }
        if (idle) {
            rested = !wait_while_idle(self, idle_wait);
        }
    }
}

namespace {

// Gives the entry of a failed task a fresh, unstarted thread for its worker, so that dispatching
// the name again starts a new run instead of failing on a thread that has already run. Returns
// false when the entry still holds a thread: a run is then waiting for dispatch or under way, and
// putting the name again would make that second dispatch fail and leave it counted as running.
// False too when it keeps no worker (a task that did not fail with an error, or a store whose
// entries cannot keep one): there is nothing to run again, and a name put back without a thread
// would stay counted as running.
bool renew_thread(const Ctx& c, PyObject* entry)
{
    Ref current = field(c, entry, N_thread);
    if (current.get() != Py_None) {
        return false;
    }
    PyObject* found = nullptr;
    require_int(PyObject_GetOptionalAttr(entry, c.name(N__worker), &found));
    Ref worker = Ref::steal(found);
    if (!worker || worker.get() == Py_None) {
        return false;
    }
    Ref target = thread_target(c, worker.get());
    Ref thread_class = c.global(N_Thread);
    Ref thread = call_kw(thread_class.get(), {}, {{c.name(N_target), target.get()}});
    set_field(c, entry, N_thread, thread.get());
    return true;
}

}  // namespace

bool paced_requeue(const Ctx& c, PyObject* var, PyObject* name, PyObject* entry)
{
    if (!renew_thread(c, entry)) {
        return false;
    }
    Ref queue = field(c, var, N_queue);
    call_method(queue.get(), c.name(N_put), name);
    return true;
}

Py_ssize_t paced_waiting(const Ctx& c, PyObject* var)
{
    Ref queue = field(c, var, N_queue);
    return queue_size(c, queue.get());
}

PyObject* manager_consumer(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_consumer", {"thread_name"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        check_process(c, self);
        Ref var = manager_var(c, self);
        // Held until the thread's start() has returned: a stop walk takes the same lock, so no stop
        // request reaches a thread still starting. Released on every way out.
        StoreLock lock(c, var.get());
        // A name the control loop took as a close or a drain (a _stop_all's) began: the drain did
        // not find it waiting, and the stop walk may have passed before it runs. It is cancelled,
        // as the drain would have cancelled it, rather than run with nothing left to stop it.
        ManagerObject* m = as_manager(self);
        if (!truthy(field(c, var.get(), N_switch).get())
            || (m->taking > 0 && (m->took_in_drain || m->drains != m->drains_at_take))) {
            cancel_task(c, var.get(), a[0]);
            lock.release();
            return Py_NewRef(Py_None);
        }
        Ref runs = field(c, var.get(), N_runs);
        append(runs.get(), a[0]);
        Ref threads = field(c, var.get(), N_threads);
        Ref entry = task_entry(c, threads.get(), a[0]);
        Ref thread = field(c, entry.get(), N_thread);
        Ref started = Ref::steal(PyObject_CallMethodNoArgs(thread.get(), c.name(N_start)));
        if (!started) {
            // A thread that did not start (no thread could be had) is a task that failed; one
            // started before, or no thread at all, stays a dispatch failure.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw PyErrSet{};
            }
            Ref error = Ref::steal(PyErr_GetRaisedException());
            bool unstarted = never_started(c, thread.get());
            lock.release();
            if (unstarted) {
                PyErr_SetRaisedException(error.dup().release());
                record_start_failure(c, &as_manager(self)->core->metrics, var.get(), a[0], entry.get(),
                                     worker_of(thread.get()).get());
            }
            PyErr_SetRaisedException(error.release());
            throw PyErrSet{};
        }
        record_dispatched(&as_manager(self)->core->metrics);
        lock.release();
        return Py_NewRef(Py_None);
    });
}

}  // namespace threads_main
