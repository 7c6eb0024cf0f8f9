// The dispatch interface: each call goes to the engine the manager was built with. Also the control
// thread itself (its start and its run, whose loop is the engine's) and its idle wait.
#include "dispatch/dispatch.hpp"

#include <chrono>
#include <new>
#include <utility>

#include "dispatch/engines.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/gil.hpp"
#include "worker/worker.hpp"

namespace threads_main {

void wake_control_loop(PyObject* manager) noexcept
{
    Wake* wake = as_manager(manager)->wake;
    if (!wake) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(wake->mutex);
        wake->signalled = true;
    }
    wake->changed.notify_one();
}

bool wait_while_idle(PyObject* manager, double seconds)
{
    Wake* wake = as_manager(manager)->wake;
    if (!wake) {
        return true;
    }
    // The mutex is only ever held for a few instructions and never by a thread waiting for the
    // interpreter lock, so taking it with the lock released cannot deadlock.
    return without_gil([wake, seconds] {
        std::unique_lock<std::mutex> hold(wake->mutex);
        bool woken = wake->changed.wait_for(hold, std::chrono::duration<double>(seconds),
                                            [wake] { return wake->signalled; });
        wake->signalled = false;
        return woken;
    });
}

bool loop_goes_on(const Ctx& c, PyObject* self, Run* run, Ref& var)
{
    if (run->stop) {
        return false;
    }
    var = manager_var(c, self);
    return truthy(field(c, var.get(), N_switch).get());
}

Ref new_task_queue(const Ctx& c, PyObject* manager, bool eager)
{
    if (!eager) {
        Ref queue_class = c.global(N_Queue);
        return call(queue_class.get());
    }
    Ref queue = new_eager_queue(c, manager);
    Py_XSETREF(as_manager(manager)->eager, Py_NewRef(queue.get()));
    return queue;
}

Ref thread_target(const Ctx& c, PyObject* worker)
{
    return PyObject_TypeCheck(worker, c.st->worker_type) ? Ref::borrow(worker) : getattr(worker, c.name(N_start));
}

Ref waiting_thread(const Ctx& c, PyObject* manager, PyObject* worker)
{
    if (eager_queue_of(manager)) {
        return none();
    }
    // One of our workers is the target itself: a bound method per waiting task would cost memory
    // for nothing.
    Ref target = thread_target(c, worker);
    Ref thread_class = c.global(N_Thread);
    PyObject* thread_argv[] = {nullptr, target.get()};
    return require(PyObject_Vectorcall(thread_class.get(), thread_argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       c.st->kw_target));
}

void queue_task(const Ctx& c, PyObject* manager, PyObject* var, PyObject* name, PyObject* worker)
{
    if (PyObject* eager = eager_queue_of(manager)) {
        eager_push(eager, name, worker);
    } else {
        Ref queue = field(c, var, N_queue);
        call_method(queue.get(), c.name(N_put), name);
    }
    // A join that begins now waits for this task, not for the batch before it.
    set_field(c, var, N_done, Py_False);
}

void requeue_failed(const Ctx& c, PyObject* manager, PyObject* var, PyObject* name)
{
    StoreLock lock(c, var);
    if (!truthy(field(c, var, N_switch).get())) {
        raise_manager_error(c, "The manager has stopped");
    }
    Ref threads = field(c, var, N_threads);
    Ref entry = task_entry(c, threads.get(), name);
    if (Py_IsNone(entry.get()) || !status_is(c, entry.get(), S_FAILED)) {
        lock.release();
        return;
    }
    PyObject* eager = eager_queue_of(manager);
    bool put = eager ? eager_requeue(c, eager, name, entry.get()) : paced_requeue(c, var, name, entry.get());
    if (put) {
        set_field(c, var, N_done, Py_False);
    }
    lock.release();
    if (put) {
        dispatch_more(c, manager);
    }
}

void dispatch_more(const Ctx& c, PyObject* manager, PyObject* var)
{
    if (eager_queue_of(manager)) {
        eager_kick(c, manager, var);
    } else {
        // An idle control loop would otherwise take the work only at the end of its idle wait.
        wake_control_loop(manager);
    }
}

void dispatch_settle(const Ctx& c, PyObject* manager)
{
    if (eager_queue_of(manager)) {
        eager_settle(c, manager);
        return;
    }
    try {
        Ref var = manager_var(c, manager);
        settle_batch(c, manager, var.get(), [&] { return paced_waiting(c, var.get()); });
    }
    catch (const PyErrSet&) {
        log_run_error(c, manager);
    }
}

namespace {

// One count less; the last one settles the batch (a failure there is logged as the control loop's).
void sending_release(const Ctx& c, PyObject* manager)
{
    if (--as_manager(manager)->sending == 0) {
        dispatch_settle(c, manager);
    }
}

// The same on the way out of an error, set aside meanwhile: an error of the release's own is
// reported as unraisable when the first is put back.
void sending_release_aside(const Ctx& c, PyObject* manager)
{
    SavedError keep;
    try {
        sending_release(c, manager);
    }
    catch (const PyErrSet&) {
        // left for `keep` to report
    }
}

}  // namespace

SendingHold::SendingHold(const Ctx& c, PyObject* manager) noexcept : c_(c), manager_(manager)
{
    ManagerObject* m = as_manager(manager);
    if (m->announced > 0) {
        --m->announced;
    } else {
        ++m->sending;
    }
}

SendingHold::~SendingHold() noexcept(false)
{
    // A thread ended at interpreter exit touches nothing.
    if (!held_ || !attached()) {
        return;
    }
    held_ = false;
    sending_release_aside(c_, manager_);
}

void SendingHold::begin() noexcept
{
    if (!held_) {
        held_ = true;
        ++as_manager(manager_)->sending;
    }
}

void SendingHold::end()
{
    if (held_) {
        held_ = false;
        sending_release(c_, manager_);
    }
}

void sending_announce(PyObject* manager) noexcept
{
    ++as_manager(manager)->announced;
    ++as_manager(manager)->sending;
}

void sending_withdraw(const Ctx& c, PyObject* manager)
{
    // Already taken over when the thread did start (an interrupted start): its pass ends it.
    ManagerObject* m = as_manager(manager);
    if (m->announced == 0) {
        return;
    }
    --m->announced;
    sending_release_aside(c, manager);
}

void record_start_failure(const Ctx& c, Metrics* metrics, PyObject* var, PyObject* name, PyObject* entry,
                          PyObject* worker)
{
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (keeps_failure_result(c, var)) {
        set_field(c, entry, N_result, error.get());
    }
    if (worker && PyObject_TypeCheck(worker, c.st->worker_type)) {
        set_field(c, entry, N__worker, worker);
    }
    set_field(c, entry, N_status, c.status(S_FAILED));
    Ref failed = field(c, var, N_failed);
    append(failed.get(), name);
    set_field(c, entry, N_thread, Py_None);
    record_finished(metrics, -1, -1, true);
    record_error_cause(metrics, name, error.get());
    Ref dones = field(c, var, N_dones);
    append(dones.get(), name);
}

void dispatch_close(PyObject* manager) noexcept
{
    // The eager control loop waits on the same wake-up as the paced one.
    wake_control_loop(manager);
    if (PyObject* eager = eager_queue_of(manager)) {
        eager_wake_all(eager);
    }
}

bool dispatch_has_waiting(PyObject* manager) noexcept
{
    PyObject* eager = eager_queue_of(manager);
    return eager && eager_has_waiting(eager);
}

bool dispatch_waits_again(const Ctx& c, PyObject* manager, PyObject* entry, PyObject* name)
{
    if (!status_is(c, entry, S_FAILED)) {
        return false;  // a re-run keeps the status until its worker begins
    }
    Ref thread = field(c, entry, N_thread);
    if (PyObject* eager = eager_queue_of(manager)) {
        return !truthy(thread.get()) && eager_holds(eager, name);
    }
    return truthy(thread.get()) && !truthy(getattr(thread.get(), c.name(N_ident)).get());
}

Ref dispatch_take_stranded(PyObject* manager) noexcept
{
    PyObject* eager = eager_queue_of(manager);
    return eager ? eager_pop(eager) : Ref();
}

void dispatch_forget(PyObject* manager) noexcept
{
    if (PyObject* queue = std::exchange(as_manager(manager)->eager, nullptr)) {
        eager_forget_manager(queue);
        Py_DECREF(queue);
    }
}

PyObject* manager_start(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_start", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref loop = getattr(self, c.name(N__queue_init));
        Ref thread_class = c.global(N_Thread);
        Ref thread = call_kw(thread_class.get(), {}, {{c.name(N_target), loop.get()}});
        Ref var = manager_var(c, self);
        set_field(c, var.get(), N_thread_init, thread.get());
        Ref stored = field(c, var.get(), N_thread_init);
        call_method(stored.get(), c.name(N_start));
        return Py_NewRef(Py_None);
    });
}

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
                paced_control_loop(c, self, run.get());
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

}  // namespace threads_main
