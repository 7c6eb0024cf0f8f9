// Stopping tasks: cancel waiting names, stop running threads.
#include "control/control.hpp"

#include <cmath>
#include <utility>

#include "dispatch/dispatch.hpp"
#include "state.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "support/run.hpp"

namespace threads_main {

namespace {

// Seconds one take of the drain waits for a name that the queue counts but that has not yet come
// through its pipe (a put hands the name to a feeder thread, which writes it a little later).
constexpr double drain_take_timeout = 0.01;
// How many such takes in a row may find nothing while the queue still counts a name. A take that
// finds nothing while the queue counts none ends the drain at once: the control thread took that
// name meanwhile.
constexpr int drain_empty_takes = 20;
// How many takes of one drain a Ctrl-C (or any error not derived from Exception) may interrupt
// before the drain gives up and lets it through at once.
constexpr int drain_interruptions = 100;
// How many times such an error may send a stop walk back to the name it cut short.
constexpr int walk_interruptions = 100;

// Counts a drain of the queue, begun and under way, for a dispatch of a name taken meanwhile.
class Draining {
public:
    explicit Draining(PyObject* manager) noexcept : m_(as_manager(manager))
    {
        ++m_->drains;
        ++m_->draining;
    }
    Draining(const Draining&) = delete;
    Draining& operator=(const Draining&) = delete;
    ~Draining() { --m_->draining; }

private:
    ManagerObject* m_;
};

// While a drain of the standard queue runs, the interpreter hands its lock to a thread that waits
// for it after `quick_switch` seconds rather than its usual 5 ms. Each take lets go of the lock two
// or three times (a poll and two reads of the queue's pipe), and with tasks busy in Python code the
// drain waited out the whole interval to get it back every time: emptying a timed run's thousand
// waiting names took seconds, during which the running tasks went on. Drains under way at once
// share the change; the last to end restores the interval, unless someone has set another since.
// The interval is the process's, as are these counts (GIL held).
class QuickSwitches {
public:
    // Without the change (a failure to make it is dropped) when not `wanted`, or when it fails.
    explicit QuickSwitches(bool wanted) noexcept
    {
        if (!wanted) {
            return;
        }
        long pid = current_process_id();
        if (owner_ != pid) {
            // A child forked while a drain ran inherits its count: the count starts afresh.
            owner_ = pid;
            active_ = 0;
        }
        if (active_ == 0) {
            double before = interval();
            if (before < 0) {
                PyErr_Clear();
                return;
            }
            // Already quick: left so by a drain of the parent this process was forked from, whose
            // interval is the one to give back.
            if (!is_quick(before)) {
                saved_ = before;
            }
            if (!set_interval(quick_switch)) {
                PyErr_Clear();
                return;
            }
        }
        ++active_;
        pid_ = pid;
    }
    QuickSwitches(const QuickSwitches&) = delete;
    QuickSwitches& operator=(const QuickSwitches&) = delete;
    ~QuickSwitches()
    {
        // (A thread ended at interpreter exit touches nothing; nor does a drain begun in the parent
        // of this process.)
        if (pid_ == 0 || pid_ != current_process_id() || --active_ > 0 || !attached()) {
            return;
        }
        SavedError keep;
        if (is_quick(interval())) {
            set_interval(saved_);
        }
        PyErr_Clear();
    }

private:
    // The interval in seconds, or -1 with an error set. Only sys's own functions run.
    static double interval() noexcept
    {
        Ref sys = Ref::steal(PyImport_AddModuleRef("sys"));
        Ref value = sys ? Ref::steal(PyObject_CallMethod(sys.get(), "getswitchinterval", nullptr)) : Ref();
        return value ? PyFloat_AsDouble(value.get()) : -1;
    }
    static bool set_interval(double seconds) noexcept
    {
        Ref sys = Ref::steal(PyImport_AddModuleRef("sys"));
        return sys && Ref::steal(PyObject_CallMethod(sys.get(), "setswitchinterval", "d", seconds));
    }
    // The interpreter keeps the interval in whole microseconds.
    static bool is_quick(double seconds) noexcept { return std::abs(seconds - quick_switch) < 1e-7; }

    static constexpr double quick_switch = 0.00001;
    static inline int active_ = 0;
    static inline long owner_ = 0;  // the process that `active_` counts in
    static inline double saved_ = 0.005;
    long pid_ = 0;  // the process this drain counted itself in; 0 when it did not
};

// A close made while a drain was held up inside a take (by a signal handler's, on its thread, or
// while another thread's take held the queue's read lock) could take none of the names behind it,
// and closed the queue over them. It leaves them to the drains: the last to end cancels them,
// however it ends (the pending error, if any, is kept).
void cancel_left_to_drains(const Ctx& c, PyObject* self, PyObject* var)
{
    ManagerObject* m = as_manager(self);
    if (!m->queue_closed || m->draining != 1) {
        return;
    }
    SavedError keep;
    try {
        cancel_stranded(c, self, var);
    }
    catch (const PyErrSet&) {
        // left for `keep` to report
    }
}

// Asks the interpreter to raise `type` in the thread `id`. Throws with ValueError when no thread
// has that identifier, and with SystemError (after withdrawing the request) when more than one
// thread state was changed. GIL held.
void send_async(unsigned long id, PyObject* type)
{
    int changed = PyThreadState_SetAsyncExc(id, type);
    if (changed == 0) {
        raise(PyExc_ValueError, "Invalid thread id");
    }
    if (changed != 1) {
        // The withdrawal reports a count too; there is nothing further to do if it changed none.
        (void)PyThreadState_SetAsyncExc(id, nullptr);
        raise(PyExc_SystemError, "PyThreadState_SetAsyncExc failed");
    }
}

// Logs "Stop error: <text of error>" at debug level. A logger that fails is reported through the
// unraisable hook: it must not end the walk.
void log_stop_error(const Ctx& c, PyObject* self, PyObject* error)
{
    Ref text = error_text(error);
    Ref line = require(PyUnicode_FromFormat("Stop error: %U", text.get()));
    log_side_line(c, self, N_debug, line.get());
}

// Logs the pending error of one step of the walk and clears it; anything not derived from
// Exception stays set and is thrown on.
void log_pending_stop_error(const Ctx& c, PyObject* self)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PyErrSet{};
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    log_stop_error(c, self, error.get());
}

// What the walk found for one name.
enum class Verdict {
    untouched,  // nothing to stop, or the worker records the outcome itself
    stopped,    // the task is stopped: recorded as such whatever its lists say
    refused,    // its thread has ended without the worker recording anything
};

struct Decision {
    Verdict verdict = Verdict::untouched;
    Ref error;           // the failed stop request, reported once the name is recorded
    bool fatal = false;  // `error` is not derived from Exception: raised again after recording
    Ref send_through;    // the thread's identifier, when an override of _async_raise sends the request
    Run* announced_on = nullptr;  // the run that send is announced on (held)
};

// False when `run` has begun on a thread other than `ident` (the task entry's thread): a run of an
// earlier task of the same name, stopped but still on its thread, or finishing while its failed
// task is queued again. The task the entry holds has not begun then. No Python code runs here.
bool runs_on(const Run* run, PyObject* ident) noexcept
{
    if (!run->adopted || run->ident == 0 || !PyLong_CheckExact(ident)) {
        return true;
    }
    unsigned long value = PyLong_AsUnsignedLong(ident);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return value == run->ident;
}

// Decides the stop of `name` and sends the request, unless an override is to send it; the
// store's lock is held. GIL held.
Decision decide(const Ctx& c, PyObject* self, PyObject* var, PyObject* name, bool direct)
{
    Ref threads = field(c, var, N_threads);
    Ref entry = task_entry(c, threads.get(), name);
    Ref thread = field(c, entry.get(), N_thread);
    if (!truthy(thread.get())) {
        return {};
    }
    Ref ident = getattr(thread.get(), c.name(N_ident));
    if (!truthy(ident.get())) {
        return {};
    }
    bool alive = truthy(call_method(thread.get(), c.name(N_is_alive)).get());
    // The worker clears `thread` before it lets go of the task: one that finished during the calls
    // above records itself, and must not be taken for a worker that has not begun. From this read
    // on (C calls on a plain store) nothing runs Python code until the request has gone out, so the
    // run cannot change state in between.
    Ref current_entry = task_entry(c, threads.get(), name);
    Ref current = field(c, current_entry.get(), N_thread);
    if (current.get() != thread.get()) {
        return {};
    }

    RunTable* table = &as_manager(self)->core->runs;
    Run* run = table->find(name);
    if (run && !runs_on(run, ident.get())) {
        run = nullptr;  // an earlier task of the same name, still on a thread of its own
    }
    if (run) {
        // Whatever unraisable hook the caller installed since, a stop that a finalizer swallows must
        // be sent again: ours goes in front before anything can be sent. Only here, where a request
        // may go out: a close walks every finished name too, and the look at `sys` costs as much as
        // the rest of a finished name's walk.
        front_stop_hook();
        switch (request_stop(run)) {
        case StopVerdict::TooLate:
            return {};
        case StopVerdict::Deferred:
            return {Verdict::stopped, {}, false, {}, nullptr};
        case StopVerdict::Send:
            break;
        }
        Decision d{Verdict::stopped, {}, false, {}, nullptr};
        if (!direct) {
            run_hold(run);
            announce(run);
            d.announced_on = run;
            d.send_through = std::move(ident);
            return d;
        }
        if (!send_stop(run)) {
            PyErr_SetString(PyExc_ValueError, "Invalid thread id");
            d.error = manager_error_in_context(c, "Stop thread error");
        }
        return d;
    }
    if (alive) {
        // Started, but its worker has not begun: a run claimed for the stop is left for it, and the
        // worker returns at once when it begins. Nothing is sent, so no exception can reach a
        // thread still inside its start-up.
        (void)table->leave_stopped(name);  // a name that is no text has no worker of ours
        return {Verdict::stopped, {}, false, {}, nullptr};
    }
    // The thread has ended without recording the task. Its identifier may already name another
    // thread, so it is never signalled; the request counts as refused.
    PyErr_SetString(PyExc_ValueError, "Invalid thread id");
    return {Verdict::refused, manager_error_in_context(c, "Stop thread error"), false, {}, nullptr};
}

// Runs `decide` with the store's lock held. Dispatch holds that lock from the append to `runs`
// until the thread it starts has finished starting, so under it a thread that has an identifier
// but is not alive has ended, rather than being half-way through its start, where it looks the
// same. The lock is released on every way out, also when an exception surfaces in this thread.
Decision decide_locked(const Ctx& c, PyObject* self, PyObject* var, PyObject* name, bool direct)
{
    StoreLock lock(c, var);
    Decision d = decide(c, self, var, name, direct);
    lock.release();
    return d;
}

// Records a stop: the entry drops its thread, the name joins `stops` and the status becomes
// "停止". With `unless_done`, a name already in `dones` keeps its status and lists.
void record_stop(const Ctx& c, PyObject* var, PyObject* name, bool unless_done)
{
    Ref threads = field(c, var, N_threads);
    Ref entry = task_entry(c, threads.get(), name);
    set_field(c, entry.get(), N_thread, Py_None);
    if (unless_done) {
        Ref dones = field(c, var, N_dones);
        if (contains(dones.get(), name)) {
            return;
        }
    }
    Ref stops = field(c, var, N_stops);
    append(stops.get(), name);
    set_field(c, entry.get(), N_status, c.status(S_STOPPED));
}

// One name of the walk: decide, record, then report a failed request.
void stop_one(const Ctx& c, PyObject* self, PyObject* var, PyObject* name)
{
    // Our own _async_raise is replaced by the direct call, which keeps the claim and the request
    // in one step. An override runs Python code anyway: it is called once the lock is released, so
    // that it may use the manager freely.
    Ref sender = getattr(self, c.name(N__async_raise));
    bool direct = sender.get() == c.st->async_raise;
    sender.reset();

    Decision d = decide_locked(c, self, var, name, direct);
    if (d.send_through) {
        // The run waits, when it leaves task code, until this send has finished.
        Ref sent = Ref::steal(PyObject_CallMethodObjArgs(self, c.name(N__async_raise), d.send_through.get(),
                                                         PyExc_SystemExit, nullptr));
        announced(d.announced_on, sent.get() != nullptr);
        run_release(d.announced_on);
        if (!sent) {
            d.fatal = !PyErr_ExceptionMatches(PyExc_Exception);
            d.error = Ref::steal(PyErr_GetRaisedException());
        }
    }
    if (d.verdict != Verdict::untouched) {
        record_stop(c, var, name, d.verdict == Verdict::refused);
    }
    if (d.error) {
        if (d.fatal) {
            PyErr_SetRaisedException(d.error.release());
            throw PyErrSet{};
        }
        log_stop_error(c, self, d.error.get());
    }
}

// Raises the built-in Exception "Task <name><tail>".
[[noreturn]] void raise_task_error(PyObject* name, const char* tail)
{
    Ref shown = require(PyObject_Format(name, nullptr));
    Ref message = require(PyUnicode_FromFormat("Task <%U%s", shown.get(), tail));
    PyErr_SetObject(PyExc_Exception, message.get());
    throw PyErrSet{};
}

}  // namespace

PyObject* manager_stop(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_stop", {"thread_name"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        Ref var = manager_var(c, self);
        Ref threads = field(c, var.get(), N_threads);
        if (!has_task(c, threads.get(), a[0])) {
            raise_task_error(a[0], "> does not exist");
        }
        Ref runs = field(c, var.get(), N_runs);
        if (!contains(runs.get(), a[0])) {
            raise_task_error(a[0], "> not running");
        }
        // A failed task put back for a re-run is in `runs` from its first run, yet it waits: the
        // walk would find nothing to stop, and it would run all the same. It is refused as any
        // waiting task is. Judged under the store's lock, as the walk judges: the control loop
        // holds it until the thread it starts has begun, so a re-run half-way through its start is
        // not taken for one waiting.
        StoreLock lock(c, var.get());
        Ref entry = task_entry(c, threads.get(), a[0]);
        bool waits = !Py_IsNone(entry.get()) && dispatch_waits_again(c, self, entry.get(), a[0]);
        lock.release();
        if (waits) {
            raise_task_error(a[0], "> not running");
        }
        call_method(self, c.name(N__stop_action), a[0]);
        Ref log = manager_log(c, self);
        log_text(c, log.get(), N_info, "Stop complete");
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_stop_all(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_stop_all", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        Ref var = manager_var(c, self);
        // A drain that fails (its logger's error, a Ctrl-C inside it) still leaves the running
        // tasks to be stopped: the error goes on once they are.
        Attempts kept;
        bool overtaken = false;
        kept.run([&] {
            try {
                call_method(self, c.name(N__clear_queue));
            }
            catch (const PyErrSet&) {
                // A close from another thread (a task's, say) may close the queue under the drain:
                // the queue's own error then means what the test above means, a manager that has
                // stopped. That close stops the running tasks itself.
                if (PyErr_ExceptionMatches(PyExc_Exception) && switch_reads_off(c, var.get())) {
                    Ref error = manager_error_in_context(c, "The manager has stopped");
                    PyErr_SetRaisedException(error.release());
                    overtaken = true;
                }
                throw;
            }
        });
        if (!overtaken) {
            kept.run([&] { call_method(self, c.name(N__stop_action)); });
        }
        kept.finish();
        Ref log = manager_log(c, self);
        log_text(c, log.get(), N_info, "Stop all complete");
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_clear_queue(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_clear_queue", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        check_process(c, self);
        Draining draining(self);
        QuickSwitches switches(!as_manager(self)->eager);
        // A failing logger does not keep the queue from being drained (a close relies on it), nor
        // does a Ctrl-C that lands in a take: their errors are raised once the drain is done, so
        // that the names behind them are still cancelled rather than left waiting for ever.
        Attempts lines;
        int interruptions = 0;
        lines.run([&] { log_text(c, manager_log(c, self).get(), N_info, "Clear queue......"); });
        Ref var = manager_var(c, self);
        Ref queue = field(c, var.get(), N_queue);
        Ref timeout = require(PyFloat_FromDouble(drain_take_timeout));
        // The queue's count includes names whose put has not reached its pipe yet, which a
        // non-blocking take does not see: every name counted at the start is waited for, briefly,
        // and beyond those the drain takes without blocking while names are readable. A timed
        // take that finds nothing ends it unless the queue still counts a name, so it never waits
        // for a name that may never come (the control thread may take the last one meanwhile).
        // On a closed queue the first take ends the drain with the queue's own error.
        try {
            Py_ssize_t counted = queue_size(c, queue.get());
            int empty_takes = 0;
            for (Py_ssize_t taken = 0;;) {
                bool counted_name = taken < counted;
                PyObject* got = PyObject_CallMethodOneArg(queue.get(), c.name(N_get), Py_False);
                // A counted name is mostly readable already; only when it is not does the drain pay
                // for the clock readings of a timed take.
                if (!got && counted_name && PyErr_ExceptionMatches(c.st->queue_empty)) {
                    PyErr_Clear();
                    got = PyObject_CallMethodObjArgs(queue.get(), c.name(N_get), Py_True, timeout.get(), nullptr);
                }
                if (!got) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception) && ++interruptions <= drain_interruptions) {
                        lines.run([] { throw PyErrSet{}; });  // kept, with the error pending
                        continue;
                    }
                    if (!PyErr_ExceptionMatches(c.st->queue_empty)) {
                        throw PyErrSet{};
                    }
                    PyErr_Clear();
                    if (!counted_name || ++empty_takes >= drain_empty_takes || queue_size(c, queue.get()) <= 0) {
                        break;
                    }
                    continue;
                }
                Ref name = Ref::steal(got);
                empty_takes = 0;
                ++taken;
                cancel_task(c, var.get(), name.get());
            }
        }
        catch (const PyErrSet&) {
            cancel_left_to_drains(c, self, var.get());
            // A Ctrl-C kept from an earlier take goes first: the take's own error may be its effect
            // (a name cut in half in the queue's pipe).
            lines.finish_others();
            throw;
        }
        cancel_left_to_drains(c, self, var.get());
        // A batch whose last waiting tasks were cancelled ends now.
        dispatch_settle(c, self);
        lines.run([&] { log_text(c, manager_log(c, self).get(), N_info, "Clear queue complete"); });
        lines.finish();
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_stop_action(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"_stop_action", {"thread_name"}, 0}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        check_process(c, self);
        // A Ctrl-C (or any error not derived from Exception) that lands in the walk's Python code
        // (a thread's is_alive, a logger, an override) is kept and raised once the walk is done,
        // and the name it cut short is visited again: cut short, a close would leave the tasks
        // after it running, with nothing left to stop them, and the process with them. A second
        // visit leaves a name already recorded as it is.
        Attempts kept;
        int interruptions = 0;
        try {
            Ref var = manager_var(c, self);
            // One name, or the live `runs` list: walked by position with its length read at each
            // step, so names dispatched during the walk are visited too.
            Ref names;
            if (a[0] && truthy(a[0])) {
                names = require(PyList_New(0));
                append(names.get(), a[0]);
            } else {
                names = field(c, var.get(), N_runs);
            }
            for (Py_ssize_t i = 0; i < length(names.get());) {
                Ref name = require(PySequence_GetItem(names.get(), i));
                // A refused or failed request for one name is reported and the walk goes on, so
                // the names after it are still stopped and recorded.
                try {
                    stop_one(c, self, var.get(), name.get());
                }
                catch (const PyErrSet&) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception) && ++interruptions <= walk_interruptions) {
                        kept.run([] { throw PyErrSet{}; });
                        continue;
                    }
                    kept.run([&] { log_pending_stop_error(c, self); });
                }
                ++i;
            }
        }
        catch (const PyErrSet&) {
            kept.run([&] { log_pending_stop_error(c, self); });
        }
        // A stop error that could not even be logged.
        if (Ref unlogged = kept.take_ordinary()) {
            PyErr_SetRaisedException(unlogged.release());
            PyErr_WriteUnraisable(self);
        }
        // For an eager manager, a stopped task frees its slot at once: the next waiting task may
        // start, or the batch is done.
        kept.run([&] {
            dispatch_settle(c, self);
            dispatch_more(c, self);
        });
        kept.finish();
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_async_raise(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[2];
        bind_args({"_async_raise", {"tid", "exc_type"}, 2, false, false}, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        // An instance stands for its class: the interpreter raises only classes, and would turn an
        // instance into a SystemError in the target thread; so would it anything that is not an
        // exception, which is the caller's mistake to hear of, not the thread's.
        PyObject* type = a[1];
        Ref inspect = c.global(N_inspect);
        if (!truthy(call_method(inspect.get(), c.name(N_isclass), a[1]).get())) {
            type = reinterpret_cast<PyObject*>(Py_TYPE(a[1]));
        }
        if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                     reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
            PyErr_Format(PyExc_TypeError, "exc_type must be an exception class or instance, not %R", a[1]);
            throw PyErrSet{};
        }
        try {
            // Converted as a C long would be; the interpreter takes the bits as its unsigned id.
            long id = PyLong_AsLong(a[0]);
            if (id == -1 && PyErr_Occurred()) {
                throw PyErrSet{};
            }
            send_async(static_cast<unsigned long>(id), type);
        }
        catch (const PyErrSet&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                throw;
            }
            Ref error = manager_error_in_context(c, "Stop thread error");
            PyErr_SetRaisedException(error.release());
            throw PyErrSet{};
        }
        return Py_NewRef(Py_None);
    });
}

}  // namespace threads_main
