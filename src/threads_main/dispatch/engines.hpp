// The two engines behind the dispatch interface, and what their control loops share; for the files
// of this folder only.
#pragma once

#include <Python.h>

#include "state.hpp"
#include "metrics/record.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
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

// Sets `done` (and clears `is_run`) when the open manager's batch has had a task and none of it
// waits (`waiting` returns how many names wait) or runs, and no bulk submission is under way (its
// next task may be a moment away), nor a dispatch of a name already taken off the queue. Tested
// first without the store's lock, and when that passes again under it, where no submission or
// re-run is half-way through.
template <typename Waiting>
void settle_batch(const Ctx& c, PyObject* manager, PyObject* var, Waiting&& waiting);

// Counts a name being taken off the queue until its dispatch has ended: neither waiting nor running
// meanwhile, it must not let another thread end the batch.
using Taking = UnderWay<&ManagerObject::taking>;

// What a task thread runs for `worker`: one of ours is called itself (calling it runs its start);
// a worker of a class put in `_Worker`'s place gives its start.
Ref thread_target(const Ctx& c, PyObject* worker);

// Records a task whose thread could not be started as failed, as if its function had raised
// `error` (the pending error, which it takes): otherwise it would wait or count as running for
// ever. `worker` (may be null) stays with the entry, so that a re-run can try again. It goes to
// `metrics` without a run time.
void record_start_failure(const Ctx& c, Metrics* metrics, PyObject* var, PyObject* name, PyObject* entry,
                          PyObject* worker);

// --- paced (paced.cpp) ---

// The paced control loop. Returns normally when the switch is off or a close ended it.
void paced_control_loop(const Ctx& c, PyObject* self, Run* run);

// A failed task's entry gets a fresh thread for its worker and its name goes on the queue, unless
// the entry holds a thread already (waiting for dispatch, or running). True when it was put.
bool paced_requeue(const Ctx& c, PyObject* var, PyObject* name, PyObject* entry);

// Names waiting in a paced manager's queue: the store queue's qsize().
Py_ssize_t paced_waiting(const Ctx& c, PyObject* var);

// --- eager (eager.cpp) ---

// The manager's FIFO when it dispatches eagerly (borrowed), else null.
inline PyObject* eager_queue_of(PyObject* manager) noexcept { return as_manager(manager)->eager; }

// A new FIFO for `manager`. A new reference; throws PyErrSet.
Ref new_eager_queue(const Ctx& c, PyObject* manager);

// Queues a task with its worker; nothing is started. Throws PyErrSet (a closed queue).
void eager_push(PyObject* queue, PyObject* name, PyObject* worker);

// The worker kept with a failed task goes into the FIFO beside its name; a name already put back
// (its worker taken) is not put twice. True when it was put.
bool eager_requeue(const Ctx& c, PyObject* queue, PyObject* name, PyObject* entry);

// Wakes or starts threads for the waiting work, as far as the limit allows; `var` is the manager's
// store when the caller has it, else null.
void eager_kick(const Ctx& c, PyObject* manager, PyObject* var = nullptr);

// Settles the batch (settle_batch) when the FIFO is empty.
void eager_settle(const Ctx& c, PyObject* manager);

// Wakes every idle thread, so that each sees the manager closed and ends.
void eager_wake_all(PyObject* queue) noexcept;

// Whether the FIFO holds a task.
bool eager_has_waiting(PyObject* queue) noexcept;
// Whether `name` waits in the queue (the same object, or a str of the same text). Runs no Python
// code.
bool eager_holds(PyObject* queue, PyObject* name) noexcept;

// The name at the head of the FIFO, taken off it whether or not the queue is closed (its worker is
// dropped); empty when the FIFO is empty. Runs no Python code.
Ref eager_pop(PyObject* queue) noexcept;

// The manager is going: the FIFO no longer wakes or starts threads for it.
void eager_forget_manager(PyObject* queue) noexcept;

// The eager control loop: it dispatches nothing itself and only waits, without polling, until a
// close wakes it.
void eager_control_loop(const Ctx& c, PyObject* self, Run* run);

template <typename Waiting>
void settle_batch(const Ctx& c, PyObject* manager, PyObject* var, Waiting&& waiting)
{
    auto ends_now = [&] {
        // A closed manager's flags stay as they were.
        ManagerObject* m = as_manager(manager);
        if (m->sending > 0 || m->taking > 0 || !truthy(field(c, var, N_switch).get()) || waiting() != 0
            || running_count(c, var) != 0) {
            return false;
        }
        if (truthy(field(c, var, N_is_run).get())) {
            return true;
        }
        return !truthy(field(c, var, N_done).get()) && field_length(c, var, N_totals) > 0;
    };
    if (!ends_now()) {
        return;
    }
    StoreLock lock(c, var);
    if (ends_now()) {
        set_field(c, var, N_done, Py_True);
        set_field(c, var, N_is_run, Py_False);
    }
    lock.release();
}

}  // namespace threads_main
