// Eager dispatch: a manager built with dispatch="eager" starts a waiting task as soon as fewer tasks
// are running than its worker limit, on a task thread that it keeps for the next task.
//
// The manager's queue is then an in-process FIFO of ours (the operations the manager uses: put, get,
// qsize, empty, close), whose entries carry the task's worker beside its name, so that a waiting task
// costs no thread object. Task threads are ordinary `Thread`s (the module-level name) running
// `_run_tasks`: each takes the next name itself, under the interpreter lock, while the running count
// (runs - dones - stops) is below the limit, records the dispatch as the control loop does (`done`,
// `is_run`, `runs`, the entry's `thread`), runs the task's worker, and takes the next one. A thread
// with nothing to take waits on a native condition with the interpreter lock released, and ends
// after an idle while; nothing polls. Whoever gives work (a submission, a put, a re-run, a raised
// limit, a stop that frees a slot) wakes idle threads or starts new ones, at most as many as the
// limit allows besides threads still busy with a stopped task. The thread that ends the last task
// sets `done`; a close wakes every thread, and each ends once its task has.
//
// Everything here runs with the interpreter lock held, except the waits.
#pragma once

#include <Python.h>

#include "module.hpp"
#include "support/run.hpp"

namespace threads_main {

// The FIFO class (held in module state; not in the module namespace).
PyObject* create_eager_queue_type(PyObject* module) noexcept;

// A new FIFO for `manager`. A new reference; throws PyErrSet.
Ref new_eager_queue(const Ctx& c, PyObject* manager);

// The manager's FIFO when it dispatches eagerly (borrowed), else null.
PyObject* eager_queue_of(PyObject* manager) noexcept;

// Queues a submitted task with its worker, then wakes or starts a thread for it. Throws PyErrSet
// (a closed queue).
void eager_put(const Ctx& c, PyObject* queue, PyObject* name, PyObject* worker);

// Wakes or starts threads for the waiting work, as far as the limit allows. Errors of the limit
// (a limit that is no number) are left to the threads' own dispatch, which logs them.
void eager_kick(const Ctx& c, PyObject* manager);

// Sets `done` when nothing waits and nothing runs since a dispatch: after a stop or a drain.
void eager_settle(const Ctx& c, PyObject* manager);

// Wakes every idle thread, so that each sees the manager closed and ends.
void eager_wake_all(PyObject* manager) noexcept;

// The manager is going: the FIFO no longer wakes or starts threads for it.
void forget_manager(PyObject* queue) noexcept;

// Whether the FIFO holds a name (work that a record clearing must not drop).
bool eager_has_waiting(PyObject* manager) noexcept;

}  // namespace threads_main
