// How the module reaches its state store and its logger: through their Python protocol (attribute
// reads and writes, method calls), so that replaced classes keep working. A plain store, our own
// class exactly, is reached through its C interface instead, which gives the same answers for less:
// the store sits on every hot path.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "brixel_var_api.h"
#include "state.hpp"
#include "support/call.hpp"

namespace threads_main {

// self._var and self._log, read from the instance at each use.
inline Ref manager_var(const Ctx& c, PyObject* self) { return getattr(self, c.name(N__var)); }
inline Ref manager_log(const Ctx& c, PyObject* self) { return getattr(self, c.name(N__log)); }

// The store's C interface when `obj` is a plain store, else null.
inline const BrixelVarApi* plain_store(const Ctx& c, PyObject* obj)
{
    const BrixelVarApi* api = c.st->store_api;
    return api && Py_IS_TYPE(obj, api->store_type) ? api : nullptr;
}

// The same, and only when none of `methods` is shadowed by an attribute of the instance.
const BrixelVarApi* plain_store_methods(const Ctx& c, PyObject* obj, std::initializer_list<Name> methods);

inline Ref field(const Ctx& c, PyObject* store, Name n)
{
    if (const BrixelVarApi* api = plain_store(c, store)) {
        return require(api->get_field(store, c.name(n)));
    }
    return getattr(store, c.name(n));
}

inline void set_field(const Ctx& c, PyObject* store, Name n, PyObject* value)
{
    if (const BrixelVarApi* api = plain_store(c, store)) {
        require_int(api->set_field(store, c.name(n), value));
        return;
    }
    setattr(store, c.name(n), value);
}

// Length of a list field of the store.
inline Py_ssize_t field_length(const Ctx& c, PyObject* store, Name n) { return length(field(c, store, n).get()); }

// threads.get(name): the task entry (None when the store has none).
inline Ref task_entry(const Ctx& c, PyObject* threads, PyObject* name)
{
    if (const BrixelVarApi* api = plain_store_methods(c, threads, {N_get})) {
        return require(api->get_entry(threads, name));
    }
    return call_method(threads, c.name(N_get), name);
}

// entry.<n> = value for a field of a task entry: an entry of the plain store has it written in its
// slot, anything else (or another name) through the attribute.
void set_entry_field(const Ctx& c, PyObject* entry, Name n, PyObject* value);

// name in threads.keys()
bool has_task(const Ctx& c, PyObject* threads, PyObject* name);

// Whether the store's `switch` reads false: the manager has been closed. A read that fails with an
// ordinary error counts as open; anything else (a Ctrl-C arriving in a store's Python code) is
// thrown.
bool switch_off(const Ctx& c, PyObject* var);

// The same, for telling while an error is pending whether a close caused it: the pending error
// stays as it is, and a failing read counts as open.
bool switch_reads_off(const Ctx& c, PyObject* var) noexcept;

// A snapshot of the task names, as a new list, in the order the store yields them.
Ref task_names(const Ctx& c, PyObject* threads);

// log.<level>(message) with a text message.
void log_text(const Ctx& c, PyObject* log, Name level, const char* text);
void log_object(const Ctx& c, PyObject* log, Name level, PyObject* message);

// log.<level>(message) for a line written on the side of a loop (an error the loop swallows): a
// logger that fails with an ordinary error is reported through the unraisable hook and the loop goes
// on; anything not derived from Exception passes.
void log_side_line(const Ctx& c, PyObject* self, Name level, PyObject* message);

// time.time() through the module-level `time`, as a double. The time module's own clock (neither
// the module nor its `time` replaced) is read without the call: the same value for less.
double now_seconds(const Ctx& c);

// Seconds from `now` to `deadline` (two readings of the module-level clock, or sums of them) as a
// float; infinity when the clock's numbers do not say (a replaced clock may give anything that
// compares). Only an ordinary error is taken for "do not say": a stop or an interrupt raised
// meanwhile goes on.
double seconds_between(PyObject* now, PyObject* deadline);

// time.sleep(seconds) through the module-level `time`, looked up at each use so that a replaced clock
// is honoured; the sleep is task code for stops when it belongs to the outermost call of a run.
// Signals (a Ctrl-C in the main thread) are handled after it.
void poll_sleep(const Ctx& c, PyObject* seconds);

// queue.qsize() as a C size.
Py_ssize_t queue_size(const Ctx& c, PyObject* queue);

// Tasks counted as running: dispatched, minus finished, minus stopped (runs - dones - stops).
Py_ssize_t running_count(const Ctx& c, PyObject* var);

// The text of `error` as str() gives it; when str() itself fails (with an ordinary error), the
// interpreter's own wording for that case, "<exception str() failed>". Throws only with an error
// not derived from Exception.
Ref error_text(PyObject* error);

// Logs "Run error: <text>" at debug level for the pending ordinary exception of a dispatch and
// clears it; anything not derived from Exception stays set and is thrown on. Neither an error
// whose text cannot be made nor a failing logger ends the loop that logs.
void log_run_error(const Ctx& c, PyObject* self);

// Holds the store's lock for a scope. The lock is a multiprocessing lock, whose acquire releases the
// interpreter lock while it waits. release() ends the hold on the normal path (and reports a failed
// release); on any other way out the destructor releases it, keeping the error on its way out, since
// a lock left held would make every later submission and dispatch wait for ever.
//
// Under the lock, submission runs Python code (the thread's constructor, the queue's put) and the
// clearing of records drops results, so a signal handler or a finalizer may start another operation
// on the same manager on the thread that holds it. Waiting for a lock that this very thread holds
// would be for ever: such an acquire raises RuntimeError ("reentrant call") instead, unless the
// lock lets its holder take it again.
class StoreLock {
public:
    StoreLock(const Ctx& c, PyObject* store);
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock();
    void release();

    // Raises the reentrant call's RuntimeError when this thread holds the lock of the store of the
    // manager `self` and the lock cannot be taken again: for an operation that must refuse before it
    // changes anything. Nothing is looked up while the thread holds no store's lock at all.
    static void refuse_reentry(const Ctx& c, PyObject* self);

private:
    static bool held_here(PyObject* lock);
    void forget();

    const Ctx& c_;
    Ref lock_;
    StoreLock* outer_ = nullptr;  // the hold this thread took before this one
};

// Cancels a task that waited: status "取消", appended to `cancels`. A name whose records were
// cleared while it waited has nothing left to mark and is left alone.
void cancel_task(const Ctx& c, PyObject* var, PyObject* name);

// Status word of `entry` equals `which`.
bool status_is(const Ctx& c, PyObject* entry, Status which);

}  // namespace threads_main
