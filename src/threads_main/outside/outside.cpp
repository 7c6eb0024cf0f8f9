// How the module reaches its state store and its logger.
#include "outside/outside.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "support/run.hpp"

namespace threads_main {

const BrixelVarApi* plain_store_methods(const Ctx& c, PyObject* obj, std::initializer_list<Name> methods)
{
    const BrixelVarApi* api = plain_store(c, obj);
    if (!api) {
        return nullptr;
    }
    // An entries store usually has no fields at all: then nothing can shadow a method.
    Ref own = require(PyObject_GenericGetDict(obj, nullptr));
    if (PyDict_GET_SIZE(own.get()) == 0) {
        return api;
    }
    for (Name method : methods) {
        if (require_int(PyDict_Contains(own.get(), c.name(method)))) {
            return nullptr;
        }
    }
    return api;
}

bool switch_off(const Ctx& c, PyObject* var)
{
    Ref on = Ref::steal(PyObject_GetAttr(var, c.name(N_switch)));
    int open = on ? PyObject_IsTrue(on.get()) : -1;
    if (open < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyErrSet{};
        }
        PyErr_Clear();
    }
    return open == 0;
}

bool switch_reads_off(const Ctx& c, PyObject* var) noexcept
{
    SavedError keep;
    try {
        return switch_off(c, var);
    }
    catch (const PyErrSet&) {
        // What arrived during the read (a store's Python code) cannot be raised over the pending
        // error, nor be dropped.
        set_error_aside(var, true);
        return false;
    }
}

namespace {

// What time.time() returns, without the call.
double time_time()
{
    PyTime_t now = 0;
    require_int(PyTime_Time(&now));
    return PyTime_AsSecondsDouble(now);
}

}  // namespace

double seconds_between(PyObject* now, PyObject* deadline)
{
    Ref left = Ref::steal(PyNumber_Subtract(deadline, now));
    double seconds = left ? PyFloat_AsDouble(left.get()) : -1.0;
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw PyErrSet{};
        }
        PyErr_Clear();
        return std::numeric_limits<double>::infinity();
    }
    return std::isnan(seconds) ? std::numeric_limits<double>::infinity() : seconds;
}

double now_seconds(const Ctx& c)
{
    if (c.st->clock_seen == namespace_changes && c.st->namespace_watched) {
        return time_time();
    }
    std::uint64_t seen = namespace_changes;
    Ref time = c.global(N_time);
    Ref clock;
    bool from_dict = false;
    if (time.get() == c.st->time_module) {
        // A module's attribute is the entry of its dict (the module class defines no `time`).
        PyObject* found = nullptr;
        require_int(PyDict_GetItemRef(PyModule_GetDict(time.get()), c.name(N_time), &found));
        clock = Ref::steal(found);
        from_dict = found != nullptr;
    }
    if (!clock) {
        clock = getattr(time.get(), c.name(N_time));
    }
    if (clock.get() == c.st->time_time) {
        // The time module's own function, read from the two watched namespaces: true until they change.
        if (from_dict && namespace_changes == seen) {
            c.st->clock_seen = seen;
        }
        return time_time();
    }
    Ref now = call(clock.get());
    double seconds = PyFloat_AsDouble(now.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        throw PyErrSet{};
    }
    return seconds;
}

void set_entry_field(const Ctx& c, PyObject* entry, Name n, PyObject* value)
{
    const BrixelVarApi* api = c.st->store_api;
    if (api && Py_IS_TYPE(entry, api->entry_type)) {
        switch (n) {
        case N_thread: api->set_entry_field(entry, BRIXEL_ENTRY_THREAD, value); return;
        case N_result: api->set_entry_field(entry, BRIXEL_ENTRY_RESULT, value); return;
        case N_status: api->set_entry_field(entry, BRIXEL_ENTRY_STATUS, value); return;
        default: break;
        }
    }
    setattr(entry, c.name(n), value);
}

bool has_task(const Ctx& c, PyObject* threads, PyObject* name)
{
    if (const BrixelVarApi* api = plain_store_methods(c, threads, {N_keys})) {
        return require_int(api->has_entry(threads, name)) != 0;
    }
    Ref keys = call_method(threads, c.name(N_keys));
    return contains(keys.get(), name);
}

Ref task_names(const Ctx& c, PyObject* threads)
{
    Ref keys = call_method(threads, c.name(N_keys));
    // PySequence_List iterates once; the store's keys view iterates a snapshot, and a plain dict
    // view is copied here before anyone can add to it.
    return require(PySequence_List(keys.get()));
}

void log_text(const Ctx& c, PyObject* log, Name level, const char* text)
{
    Ref message = require(PyUnicode_FromString(text));
    call_method(log, c.name(level), message.get());
}

void log_object(const Ctx& c, PyObject* log, Name level, PyObject* message)
{
    call_method(log, c.name(level), message);
}

void log_side_line(const Ctx& c, PyObject* self, Name level, PyObject* message)
{
    Ref log;
    try {
        log = manager_log(c, self);
        log_object(c, log.get(), level, message);
    }
    catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            throw;
        }
        PyErr_WriteUnraisable(log ? log.get() : self);
    }
}

Py_ssize_t queue_size(const Ctx& c, PyObject* queue)
{
    Ref size = call_method(queue, c.name(N_qsize));
    Py_ssize_t n = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) {
        throw PyErrSet{};
    }
    return n;
}

Py_ssize_t running_count(const Ctx& c, PyObject* var)
{
    // Read in this order: a task that ends between the reads is counted as running, never twice gone.
    Py_ssize_t runs = field_length(c, var, N_runs);
    Py_ssize_t dones = field_length(c, var, N_dones);
    Py_ssize_t stops = field_length(c, var, N_stops);
    return runs - dones - stops;
}

Ref error_text(PyObject* error)
{
    PyObject* text = PyObject_Str(error);
    if (text) {
        return Ref::steal(text);
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PyErrSet{};
    }
    PyErr_Clear();
    return require(PyUnicode_FromString("<exception str() failed>"));
}

void log_run_error(const Ctx& c, PyObject* self)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PyErrSet{};
    }
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref text = error_text(error.get());
    Ref line = require(PyUnicode_FromFormat("Run error: %U", text.get()));
    log_side_line(c, self, N_debug, line.get());
}

void poll_sleep(const Ctx& c, PyObject* seconds)
{
    Ref time = c.global(N_time);
    bool slept = interruptible([&] {
        PyObject* done = PyObject_CallMethodOneArg(time.get(), c.name(N_sleep), seconds);
        Py_XDECREF(done);
        return done != nullptr;
    });
    // A signal that arrived between two sleeps (while the loop ran our own code, where the
    // interpreter does not look for one) is handled now: otherwise a loop of short sleeps could
    // hold a Ctrl-C back until a second one, and the two would count as one.
    if (!slept || PyErr_CheckSignals() < 0) {
        throw PyErrSet{};
    }
}

namespace {

// The holds of store locks this thread has, innermost first.
thread_local StoreLock* innermost_hold = nullptr;

// Takes `lock` once more for the thread that holds it, without waiting; raises the reentrant call's
// error when the lock does not allow that.
void take_again(const Ctx& c, PyObject* lock)
{
    if (!truthy(call_method(lock, c.name(N_acquire), Py_False).get())) {
        raise(PyExc_RuntimeError,
              "reentrant call inside the manager: this thread holds its lock in another operation, "
              "which a signal handler or a finalizer interrupted");
    }
}

}  // namespace

StoreLock::StoreLock(const Ctx& c, PyObject* store) : c_(c)
{
    Ref lock = field(c, store, N_lock);
    if (held_here(lock.get())) {
        take_again(c, lock.get());
    }
    else {
        call_method(lock.get(), c.name(N_acquire));
    }
    lock_ = std::move(lock);
    outer_ = std::exchange(innermost_hold, this);
}

StoreLock::~StoreLock()
{
    if (!lock_) {
        return;
    }
    forget();
    if (!attached()) {
        return;  // on a thread ended at interpreter exit, the process is going away with the lock
    }
    SavedError saved;
    Ref released = Ref::steal(PyObject_CallMethodNoArgs(lock_.get(), c_.name(N_release)));
    if (!released) {
        PyErr_WriteUnraisable(lock_.get());
    }
}

void StoreLock::release()
{
    forget();
    Ref lock = std::move(lock_);
    call_method(lock.get(), c_.name(N_release));
}

void StoreLock::refuse_reentry(const Ctx& c, PyObject* self)
{
    if (!innermost_hold) {
        return;
    }
    Ref store = manager_var(c, self);
    Ref lock = field(c, store.get(), N_lock);
    if (held_here(lock.get())) {
        take_again(c, lock.get());
        call_method(lock.get(), c.name(N_release));
    }
}

bool StoreLock::held_here(PyObject* lock)
{
    for (StoreLock* hold = innermost_hold; hold; hold = hold->outer_) {
        if (hold->lock_.get() == lock) {
            return true;
        }
    }
    return false;
}

// Takes this hold off the thread's list, wherever it is in it.
void StoreLock::forget()
{
    for (StoreLock** link = &innermost_hold; *link; link = &(*link)->outer_) {
        if (*link == this) {
            *link = outer_;
            return;
        }
    }
}

void cancel_task(const Ctx& c, PyObject* var, PyObject* name)
{
    Ref threads = field(c, var, N_threads);
    Ref entry = task_entry(c, threads.get(), name);
    if (entry.get() == Py_None) {
        return;
    }
    set_field(c, entry.get(), N_status, c.status(S_CANCELLED));
    Ref cancels = field(c, var, N_cancels);
    append(cancels.get(), name);
}

bool status_is(const Ctx& c, PyObject* entry, Status which)
{
    Ref status = field(c, entry, N_status);
    PyObject* word = c.status(which);
    if (status.get() == word) {
        return true;
    }
    return require_int(PyObject_RichCompareBool(status.get(), word, Py_EQ)) != 0;
}

}  // namespace threads_main
