// The two engines behind the dispatch interface, and what their control loops share; for the files
// of this folder only.
#pragma once

#include <Python.h>

#include "state.hpp"
#include "native/native.hpp"
#include "support/ref.hpp"
#include "support/run.hpp"

namespace threads_main {

// --- shared by both control loops (dispatch.cpp) ---

// Wakes the control loop of `manager` if it waits while idle; remembered if it does not. GIL held
// or not.
void wake_control_loop(PyObject* manager) noexcept;

// Waits until woken or until `seconds` have passed, with the interpreter lock released; true when
// woken. GIL held.
bool wait_while_idle(PyObject* manager, double seconds);

// Whether the control loop goes on: no close has stopped its run and the switch is on. Leaves the
// store read in `var`.
bool loop_goes_on(const Ctx& c, PyObject* self, Run* run, Ref& var);

// --- paced (paced.cpp) ---

// The paced control loop. Returns normally when the switch is off or a close ended it.
void paced_control_loop(const Ctx& c, PyObject* self, Run* run);

// A failed task's entry gets a fresh thread for its worker and its name goes on the queue, unless
// the entry holds a thread already (waiting for dispatch, or running).
void paced_requeue(const Ctx& c, PyObject* manager, PyObject* var, PyObject* name, PyObject* entry);

// --- eager (eager.cpp) ---

// The manager's FIFO when it dispatches eagerly (borrowed), else null.
inline PyObject* eager_queue_of(PyObject* manager) noexcept { return as_manager(manager)->eager; }

// A new FIFO for `manager`. A new reference; throws PyErrSet.
Ref new_eager_queue(const Ctx& c, PyObject* manager);

// Queues a task with its worker, then wakes or starts a thread for it. Throws PyErrSet (a closed
// queue).
void eager_put(const Ctx& c, PyObject* queue, PyObject* name, PyObject* worker);

// The worker kept with a failed task goes into the FIFO beside its name; a name already put back
// (its worker taken) is not put twice.
void eager_requeue(const Ctx& c, PyObject* queue, PyObject* name, PyObject* entry);

// Wakes or starts threads for the waiting work, as far as the limit allows.
void eager_kick(const Ctx& c, PyObject* manager);

// Sets `done` when nothing waits and nothing runs since a dispatch.
void eager_settle(const Ctx& c, PyObject* manager);

// Wakes every idle thread, so that each sees the manager closed and ends.
void eager_wake_all(PyObject* queue) noexcept;

// Whether the FIFO holds a task.
bool eager_has_waiting(PyObject* queue) noexcept;

// The manager is going: the FIFO no longer wakes or starts threads for it.
void eager_forget_manager(PyObject* queue) noexcept;

// The eager control loop: it dispatches nothing itself and only waits, without polling, until a
// close wakes it.
void eager_control_loop(const Ctx& c, PyObject* self, Run* run);

}  // namespace threads_main
