// The per-task runner. How a running worker and a stop agree on who records the outcome is the
// run mechanism of support/run.hpp: the worker begins a run for its task in its manager's table of
// runs, and the stop walk finds it there. A finished task's run time goes to its manager's metrics.
#pragma once

#include <Python.h>

#include "state.hpp"
#include "metrics/record.hpp"
#include "native/native.hpp"
#include "support/call.hpp"
#include "support/ref.hpp"

namespace threads_main {

// A task's keyword arguments as a call passes them: a tuple of names (possibly empty) and as many
// values, both borrowed.
struct TaskKeywords {
    PyObject* names;
    PyObject* const* values;
};

// Builds a task's worker as `cls(var, name, log, **keywords)`, whose runs and run times go into
// `core`. Our own class keeps the keywords in their compact form; any other class is called with
// them as a dict. Returns a new reference; throws PyErrSet. GIL held.
Ref build_worker(const Ctx& c, PyObject* cls, PyObject* var, PyObject* name, PyObject* log, const TaskKeywords& keywords,
                 ManagerCore* core);

// Whether a failed task keeps its error as its result: the store's `reserve`, read and tested. A
// read or test that fails counts as false, its error set aside (a Ctrl-C is raised again): it
// failed on the way here too, as a rule (and so failed the task), and the failure must still be
// recorded to the end, or the task would count as running for ever and hold its place under the
// limit. GIL held.
bool keeps_failure_result(const Ctx& c, PyObject* var);

// Runs a task's worker on the calling thread: worker.start(), looked up on the worker unless it is
// exactly ours. Throws PyErrSet with the error that ended the run.
void run_worker(const Ctx& c, PyObject* worker);

// Records the cause of a failed task in `metrics` (may be null): the error's type and message as a
// traceback's last line gives them, or, for a result that matched the break result,
// "result == <repr>". Never fails: a cause that cannot be made or kept is left out. GIL held.
void record_error_cause(Metrics* metrics, PyObject* name, PyObject* error) noexcept;
void record_break_cause(Metrics* metrics, PyObject* name, PyObject* result) noexcept;

// Puts the worker's lock back in a child process after a fork (another thread may have held it).
void worker_after_fork() noexcept;

// Creates the worker class for `module` (a new reference, or NULL with an exception set).
PyObject* create_worker_type(PyObject* module) noexcept;

}  // namespace threads_main
