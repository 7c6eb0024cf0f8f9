// Clearing a finished batch, re-running failed tasks and closing the manager.
#include "control/control.hpp"

#include <optional>

#include "dispatch/dispatch.hpp"
#include "state.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "support/run.hpp"

namespace threads_main {

namespace {

// Seconds a close gives the control thread to end by itself once `switch` is false (it sees it
// within one pass) before it is sent SystemExit.
constexpr double control_end_wait = 0.1;

// "Close error：" followed by the text of `error` (as format() with no format string gives it).
Ref close_error_line(PyObject* error)
{
    Ref text = require(PyObject_Format(error, nullptr));
    Ref head = require(PyUnicode_FromString("Close error："));
    return require(PyUnicode_Concat(head.get(), text.get()));
}

// True when an entry still has work ahead: waiting or running, or a failed task put back for a
// re-run, which holds a fresh thread (a finished or stopped task holds none, and a cancelled one
// keeps the thread it never started).
bool work_pending(const Ctx& c, PyObject* var)
{
    Ref threads = field(c, var, N_threads);
    Ref items = call_method(threads.get(), c.name(N_items));
    Ref iter = require(PyObject_GetIter(items.get()));
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(iter.get()));
        if (!pair) {
            if (PyErr_Occurred()) {
                throw PyErrSet{};
            }
            return false;
        }
        Ref entry = require(PySequence_GetItem(pair.get(), 1));
        if (status_is(c, entry.get(), S_WAITING) || status_is(c, entry.get(), S_RUNNING)) {
            return true;
        }
        if (!status_is(c, entry.get(), S_CANCELLED) && field(c, entry.get(), N_thread).get() != Py_None) {
            return true;
        }
    }
}

// Empties the task map and replaces the seven name lists, in two groups, and resets `done`.
void clear_batch(const Ctx& c, PyObject* var)
{
    Ref threads = field(c, var, N_threads);
    call_method(threads.get(), c.name(N_clear));
    Ref totals = require(PyList_New(0)), runs = require(PyList_New(0)), stops = require(PyList_New(0)),
        cancels = require(PyList_New(0));
    Ref set_kwargs = getattr(var, c.name(N_set_kwargs));
    call_kw(set_kwargs.get(), {},
            {{c.name(N_totals), totals.get()},
             {c.name(N_runs), runs.get()},
             {c.name(N_stops), stops.get()},
             {c.name(N_cancels), cancels.get()}});
    Ref dones = require(PyList_New(0)), success = require(PyList_New(0)), failed = require(PyList_New(0));
    set_kwargs = getattr(var, c.name(N_set_kwargs));
    call_kw(set_kwargs.get(), {},
            {{c.name(N_dones), dones.get()},
             {c.name(N_success), success.get()},
             {c.name(N_failed), failed.get()},
             {c.name(N_done), Py_False}});
}

// Ends the control thread. It leaves its loop by itself within one pass once `switch` is false
// (the close has woken it), and is given a short while to do so. A loop still running after that is
// stopped through its run: at once when it runs code of the user's (a sleep, an overridden method),
// else when the call it is in returns; its thread is signalled only while it is alive in that code,
// so a signal never reaches an identifier that another thread has taken over. A loop that has left
// by itself is no failure, and is not reported.
void end_control_thread(const Ctx& c, PyObject* self, PyObject* var)
{
    Ref thread = field(c, var, N_thread_init);
    Run* run = as_manager(self)->control;
    bool own_thread = run && run->ident == PyThread_get_thread_ident() && run->state != Run::Ended;
    if (!own_thread) {
        Ref wait = require(PyFloat_FromDouble(control_end_wait));
        call_method(thread.get(), c.name(N_join), wait.get());
    }
    run = as_manager(self)->control;
    if (!run) {
        // The loop is not ours (an overridden _queue_init): the thread is signalled while alive.
        if (!truthy(call_method(thread.get(), c.name(N_is_alive)).get())) {
            return;
        }
        Ref ident = getattr(thread.get(), c.name(N_ident));
        call_method(self, c.name(N__async_raise), ident.get(), PyExc_SystemExit);
        return;
    }
    if (request_stop(run) != StopVerdict::Send) {
        return;  // ended, or it ends when its current call returns
    }
    Ref sender = getattr(self, c.name(N__async_raise));
    if (sender.get() == c.st->async_raise) {
        if (!send_stop(run)) {
            PyErr_SetString(PyExc_ValueError, "Invalid thread id");
            Ref error = manager_error_in_context(c, "Stop thread error");
            PyErr_SetRaisedException(error.release());
            throw PyErrSet{};
        }
        return;
    }
    // An override sends from Python code: the loop waits for it before it leaves the user's code.
    // Nothing may throw between the announce and its end, or the loop would wait for ever.
    Ref ident = require(PyLong_FromUnsignedLong(run->ident));
    run_hold(run);
    announce(run);
    Ref sent = Ref::steal(PyObject_CallFunctionObjArgs(sender.get(), ident.get(), PyExc_SystemExit, nullptr));
    announced(run, sent.get() != nullptr);
    run_release(run);
    if (!sent) {
        throw PyErrSet{};
    }
}

// True, with the error dropped, when the pending error is a close's refusal ("The manager has
// stopped") and the switch reads off: a close on another thread (a task's) came first, and the
// manager is closed, as leaving a `with` block asks. Anything else stays pending; an error of this
// test itself is dropped in favour of the close's, unless it is no ordinary one (a stop's
// SystemExit that came meanwhile), which then goes on with the close's error as its context.
bool closed_by_another(const Ctx& c, PyObject* self)
{
    if (!pending_is_manager_error(c)) {
        return false;
    }
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(pending.get()));
    Ref var = text ? Ref::steal(PyObject_GetAttr(self, c.name(N__var))) : Ref();
    if (var) {
        if (PyUnicode_EqualToUTF8(text.get(), "The manager has stopped") && switch_reads_off(c, var.get())) {
            return true;
        }
    } else if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        Ref arrived = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(arrived.get(), pending.release());
        PyErr_SetRaisedException(arrived.release());
        return false;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    return false;
}

}  // namespace

// For a close whose drain failed or was cut short, or a drain that a close left holding the queue: a
// Ctrl-C inside a paced queue's take can lose the name it was reading, or leave the rest of the
// queue's pipe unreadable, a close cannot take from a queue that a drain holds, and a drain of a
// subclass's own may fail or take nothing. With the queue closed and the control loop ended, a name
// still waiting can never run: it is cancelled, as the drain would have done, so that the batch
// ends. An eager FIFO holds exactly the waiting names, and gives them up. A paced queue cannot be
// read any more: the waiting names are found in the records, and those already dispatched (in
// `runs`) are the stop's to end. While the control loop or a task thread holds a name it took,
// nothing is done: that name looks like the lost ones. Runs no Python code of its own.
void cancel_stranded(const Ctx& c, PyObject* self, PyObject* var)
{
    ManagerObject* m = as_manager(self);
    if (m->taking > 0) {
        return;
    }
    if (m->eager) {
        while (Ref name = dispatch_take_stranded(self)) {
            cancel_task(c, var, name.get());
        }
        dispatch_settle(c, self);
        return;
    }
    Ref runs = field(c, var, N_runs);
    Ref dispatched = require(PySet_New(runs.get()));
    Ref totals = field(c, var, N_totals);
    Ref names = require(PySequence_List(totals.get()));
    Ref threads = field(c, var, N_threads);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        if (require_int(PySet_Contains(dispatched.get(), name))) {
            continue;
        }
        Ref entry = task_entry(c, threads.get(), name);
        if (entry.get() != Py_None && status_is(c, entry.get(), S_WAITING)) {
            cancel_task(c, var, name);
        }
    }
    dispatch_settle(c, self);
}

namespace {

// Whether names still wait after a drain that returned: in an eager FIFO, or by the paced queue's
// count (a queue that cannot count, as on some systems, is taken at the drain's word).
bool waits_after_drain(const Ctx& c, PyObject* self, PyObject* var)
{
    if (dispatch_has_waiting(self)) {
        return true;
    }
    if (as_manager(self)->eager) {
        return false;
    }
    Ref queue = field(c, var, N_queue);
    try {
        return queue_size(c, queue.get()) > 0;
    }
    catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_Clear();
        return false;
    }
}

}  // namespace

PyObject* manager_clear_record(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_clear_record", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        if (!truthy(call_method(self, c.name(N__done)).get())) {
            return Py_NewRef(Py_False);
        }
        // `done` still reads true for a moment after a name is submitted or put back for a re-run:
        // clearing then would drop the entry of a name on its way to dispatch, whose dispatch would
        // fail and keep it counted as running, so `done` (and every join) would wait for ever. The
        // store's lock keeps submission from creating an entry between the check and the clearing.
        check_process(c, self);
        Ref var = manager_var(c, self);
        StoreLock lock(c, var.get());
        bool cleared = false;
        if (!work_pending(c, var.get()) && !dispatch_has_waiting(self)) {
            Ref run_time = field(c, var.get(), N_all_time);
            clear_batch(c, var.get());
            note_cleared_run_time(self, run_time.get());
            ManagerCore* core = as_manager(self)->core;
            core->runs.forget_unbegun();
            ++core->clearings;
            core->metrics.clear();
            cleared = true;
        }
        lock.release();
        return Py_NewRef(cleared ? Py_True : Py_False);
    });
}

PyObject* manager_rerun_failed(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_rerun_failed", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        Ref names = call_method(self, c.name(N__get_failed));
        Ref var = manager_var(c, self);
        Ref iter = require(PyObject_GetIter(names.get()));
        for (;;) {
            Ref name = Ref::steal(PyIter_Next(iter.get()));
            if (!name) {
                if (PyErr_Occurred()) {
                    throw PyErrSet{};
                }
                break;
            }
            requeue_failed(c, self, var.get(), name.get());
        }
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_close(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_close", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        // Started by a signal handler or a finalizer while this thread holds the manager's lock in
        // another operation, the close would wait for that operation for ever; it refuses instead,
        // before it changes anything (past the lock, a close goes on whatever fails).
        StoreLock::refuse_reentry(c, self);
        // A close always closes: every step is attempted whatever failed before it (a logger that
        // raises, a queue that refuses), and the first failure is reported once the manager is
        // closed, so that its threads end and the interpreter can exit.
        Attempts steps;
        Ref var;
        bool closed_meanwhile = false;
        steps.run([&] {
            var = manager_var(c, self);
            // From here on the manager counts as closed, whatever happens next. Under the store's
            // lock: a submission under way puts its task before this, and the drain cancels it.
            // Two closes at once (a task's and the caller's) both pass the open check; the one that
            // finds the switch off here refuses as if it had come later, instead of draining and
            // closing the queue under the other.
            // A Ctrl-C while the lock is awaited (another thread submits under it) is kept until the
            // switch is off: cut short here, the close would close everything but the switch.
            Ref interrupted;
            std::optional<StoreLock> lock;
            while (!lock) {
                try {
                    lock.emplace(c, var.get());
                }
                catch (const PyErrSet&) {
                    if (PyErr_ExceptionMatches(PyExc_Exception)) {
                        throw;
                    }
                    Ref error = Ref::steal(PyErr_GetRaisedException());
                    if (!interrupted) {
                        interrupted = std::move(error);
                    }
                }
            }
            closed_meanwhile = !truthy(field(c, var.get(), N_switch).get());
            set_field(c, var.get(), N_switch, Py_False);
            lock->release();
            if (interrupted) {
                PyErr_SetRaisedException(interrupted.release());
                throw PyErrSet{};
            }
        });
        if (closed_meanwhile) {
            steps.finish_others();
            raise_manager_error(c, "The manager has stopped");
        }
        steps.run([&] { log_text(c, manager_log(c, self).get(), N_info, "Close......"); });
        // An idle control loop (and an eager manager's idle task threads) sees the switch at once
        // instead of at the end of its idle wait.
        dispatch_close(self);
        bool drained = false;
        steps.run([&] {
            call_method(self, c.name(N__clear_queue));
            drained = true;
        });
        // A drain of a subclass's own may also return without taking what waits.
        bool left = !drained;
        if (drained && var) {
            steps.run([&] { left = waits_after_drain(c, self, var.get()); });
        }
        if (left && var) {
            // Names the drain did not take may fill the queue's pipe, with its feeder thread blocked
            // writing the rest: joined at interpreter exit, it would keep the process from ever
            // ending. Nothing will read them. (A step of its own: the queue is closed whatever.)
            steps.run([&] {
                Ref queue = field(c, var.get(), N_queue);
                PyObject* cancel = nullptr;
                if (PyObject_GetOptionalAttrString(queue.get(), "cancel_join_thread", &cancel) < 0) {
                    throw PyErrSet{};
                }
                if (cancel) {
                    Ref method = Ref::steal(cancel);
                    call(method.get());
                }
            });
        }
        steps.run([&] {
            if (var) {
                Ref queue = field(c, var.get(), N_queue);
                call_method(queue.get(), c.name(N_close));
                as_manager(self)->queue_closed = true;
            }
        });
        steps.run([&] { call_method(self, c.name(N__stop_action)); });
        steps.run([&] {
            try {
                if (var) {
                    end_control_thread(c, self, var.get());
                }
            }
            catch (const PyErrSet&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                    throw;
                }
                Ref error = Ref::steal(PyErr_GetRaisedException());
                Ref line = close_error_line(error.get());
                log_object(c, manager_log(c, self).get(), N_warning, line.get());
            }
        });
        // A drain still under way (this close was made inside one of its takes) may hold a name it
        // read; the last drain to end cancels what is left. Otherwise what the drain left is
        // cancelled here.
        if (left && var && as_manager(self)->draining == 0) {
            steps.run([&] { cancel_stranded(c, self, var.get()); });
        }
        steps.run([&] { log_text(c, manager_log(c, self).get(), N_info, "Close complete"); });
        steps.finish_others();
        if (Ref cause = steps.take_ordinary()) {
            Ref line = close_error_line(cause.get());
            PyErr_SetRaisedException(cause.release());
            Ref error = manager_error_in_context(c, line.get());
            PyErr_SetRaisedException(error.release());
            throw PyErrSet{};
        }
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_enter(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"__enter__", {}}, args, nargs, kwnames, nullptr);
        return Py_NewRef(self);
    });
}

// Closes through self unless the manager is closed already (the body may have closed it), and
// returns None: an exception of the body is never suppressed, and one of the close is raised in its
// context. A child process forked inside the block leaves it without closing: the manager is the
// parent's, to close when the parent leaves the block.
PyObject* manager_exit(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[3];
        bind_args({"__exit__", {"exc_type", "exc_value", "traceback"}, 3}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        if (inherited(self)) {
            return Py_NewRef(Py_None);
        }
        if (!truthy(call_method(self, c.name(N__is_close)).get())) {
            try {
                call_method(self, c.name(N__close));
            }
            catch (const PyErrSet&) {
                if (!closed_by_another(c, self)) {
                    throw;
                }
            }
        }
        return Py_NewRef(Py_None);
    });
}

}  // namespace threads_main
