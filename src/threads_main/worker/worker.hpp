// The per-task runner, and the hand-shake between a running worker and the stop walk.
//
// A task thread can end its task in two ways that look alike from inside: the task function
// raises SystemExit (or another BaseException) of its own, or the stop walk raised SystemExit in
// the thread asynchronously. The first is recorded by the worker as a failed task; the second is
// recorded by the stop walk as a stopped task and never by the worker. To tell them apart without
// a race, every running worker registers itself under its thread's identifier, and each side
// claims the task before acting on it, in one step under the interpreter lock with no Python code
// in between: the stop walk claims it as stopped before it sends the exception; the worker claims
// it as finishing as soon as the task function has returned or raised. Whoever claims first
// records the outcome; the other side leaves the task alone.
#pragma once

#include <Python.h>

#include "module.hpp"
#include "support/ref.hpp"

namespace threads_main {

enum class StopClaim {
    Stopped,    // the worker was running the task; it is now marked stopped and records nothing
    Finishing,  // the worker has finished the task call and is recording its outcome itself, or
                // another stop already claimed the task: either way the caller leaves it alone
    Unknown,    // no worker of ours runs this task (name, store) in the thread `ident`
};

// Claims the task `name` of the store `var` that runs in thread `ident` for a stop. On Stopped the
// caller must send the asynchronous SystemExit before running any Python code. GIL held.
StopClaim claim_stop(unsigned long ident, PyObject* var, PyObject* name);

// Marks the task `name` of `var`, whose thread `ident` has started but whose worker has not begun
// yet, as stopped before it starts: when that worker begins it returns at once and records
// nothing. Throws PyErrSet on memory failure. GIL held.
void stop_before_start(unsigned long ident, PyObject* var, PyObject* name);

// A task's keyword arguments as a call passes them: a tuple of names (possibly empty) and as many
// values, both borrowed.
struct TaskKeywords {
    PyObject* names;
    PyObject* const* values;
};

// Builds a task's worker as `cls(var, name, log, **keywords)`. Our own class keeps the keywords in
// their compact form; any other class is called with them as a dict. Returns a new reference;
// throws PyErrSet. GIL held.
Ref build_worker(const Ctx& c, PyObject* cls, PyObject* var, PyObject* name, PyObject* log, const TaskKeywords& keywords);

}  // namespace threads_main
