// The control loop: polls the queue, dispatches waiting tasks within the worker limit and keeps
// the done and is_run flags.
#include <Python.h>

#include <array>
#include <chrono>
#include <new>
#include <utility>

#include "manager/eager.hpp"
#include "manager/methods.hpp"
#include "module.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "manager/native.hpp"
#include "monitor/record.hpp"
#include "support/run.hpp"
#include "worker/worker.hpp"

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
                call_back(c, self, N__consumer, taken.get());
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

// Whether the control loop goes on: no close has stopped its run and the switch is on.
bool loop_goes_on(const Ctx& c, PyObject* self, Run* run, Ref& var)
{
    if (run->stop) {
        return false;
    }
    var = manager_var(c, self);
    return truthy(field(c, var.get(), N_switch).get());
}

// The control loop of an eager manager: it dispatches nothing itself and only waits, without
// polling, until a close wakes it.
void eager_control_loop(const Ctx& c, PyObject* self, Run* run)
{
    Ref var;
    while (loop_goes_on(c, self, run, var)) {
        // The long period only bounds a wait that nobody cuts short.
        (void)wait_while_idle(self, 60.0);
    }
}

// The loop itself. Returns normally when the switch is off or a close ended it.
void control_loop(const Ctx& c, PyObject* self, Run* run)
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
            log_run_error(c, self);
        }
        if (idle) {
            rested = !wait_while_idle(self, idle_wait);
        }
    }
}

// Records a task whose thread could not be started as failed, as if its function had raised
// `error`: otherwise it would count as running for ever. The worker stays with the entry, so that
// a re-run can try again. Its run times go to `table`, without a run time.
void record_start_failure(const Ctx& c, RunTable* table, PyObject* var, PyObject* name, PyObject* entry,
                          PyObject* thread, PyObject* error)
{
    if (truthy(field(c, var, N_reserve).get())) {
        set_field(c, entry, N_result, error);
    }
    PyObject* target = nullptr;
    if (PyObject_GetOptionalAttrString(thread, "_target", &target) > 0) {
        Ref worker = Ref::steal(target);
        if (PyObject_TypeCheck(worker.get(), c.st->worker_type)) {
            set_field(c, entry, N__worker, worker.get());
        }
    }
    PyErr_Clear();
    set_field(c, entry, N_status, c.status(S_FAILED));
    Ref failed = field(c, var, N_failed);
    append(failed.get(), name);
    set_field(c, entry, N_thread, Py_None);
    record_finished(table, -1, -1, true);
    Ref dones = field(c, var, N_dones);
    append(dones.get(), name);
}

}  // namespace

PyObject* manager_queue_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        bind_args({"_queue_init", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        check_process(c, self);
        // The loop's run, published on the manager, where a close finds it. The loop itself is our
        // code; its sleeps and the methods it calls back through `self` are task code.
        ThreadRun run(new (std::nothrow) Run(), 1);
        if (!run.get()) {
            PyErr_NoMemory();
            throw PyErrSet{};
        }
        run_hold(run.get());
        if (Run* earlier = std::exchange(as_manager(self)->control, run.get())) {
            run_release(earlier);
        }
        try {
            if (eager_queue_of(self)) {
                eager_control_loop(c, self, run.get());
            } else {
                control_loop(c, self, run.get());
            }
        }
        catch (const PyErrSet&) {
            // The SystemExit of a close ends the loop like the switch does: quietly, not as an
            // uncaught thread exception.
            if (!PyErr_ExceptionMatches(PyExc_SystemExit) || !run.get()->stop) {
                throw;
            }
            PyErr_Clear();
        }
        drop_kept(run.get());
        run.end();
        return Py_NewRef(Py_None);
    });
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
            Ref ident = Ref::steal(PyObject_GetAttr(thread.get(), c.name(N_ident)));
            bool never_started = ident && ident.get() == Py_None;
            PyErr_Clear();
            lock.release();
            if (never_started) {
                record_start_failure(c, as_manager(self)->runs, var.get(), a[0], entry.get(), thread.get(),
                                     error.get());
            }
            PyErr_SetRaisedException(error.release());
            throw PyErrSet{};
        }
        record_dispatched(as_manager(self)->runs);
        lock.release();
        return Py_NewRef(Py_None);
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
