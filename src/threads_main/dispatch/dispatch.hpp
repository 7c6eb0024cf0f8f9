// How waiting tasks are started: the one interface the rest of the manager calls, whichever way the
// manager dispatches.
//
// A manager dispatches in one of two ways, chosen at construction:
//   paced  a control loop polls the store's queue every 10 ms and starts at most one task per pass,
//          each on a thread of its own made at submission (paced.cpp);
//   eager  a waiting task starts as soon as fewer tasks run than the limit, on a task thread kept
//          for the next one, from an in-process FIFO that holds each task's worker (eager.cpp).
// Either way the manager has a control thread (`_start`, `_queue_init`); an eager manager's only
// waits for the close. Everything here needs the interpreter lock unless it says otherwise.
#pragma once

#include <Python.h>

#include "state.hpp"
#include "support/call.hpp"
#include "support/ref.hpp"

namespace threads_main {

// The queue a new manager's store keeps, and the engine behind it: the module-level `Queue()` for
// paced dispatch; for eager dispatch a FIFO of ours, which the manager keeps too. Throws PyErrSet.
Ref new_task_queue(const Ctx& c, PyObject* manager, bool eager);

// The `thread` of a waiting task's entry: paced, a new `Thread` whose target is the worker (calling
// a worker runs its start); eager, None (the worker waits in the FIFO beside its name). Throws.
Ref waiting_thread(const Ctx& c, PyObject* manager, PyObject* worker);

// With the store's lock held (submission holds it from the name's choice on): a submitted task's
// name goes on the queue, its worker beside it (eager), and the batch is no longer done. Nothing is
// started yet: `dispatch_more` does that once the lock is released. Throws PyErrSet.
void queue_task(const Ctx& c, PyObject* manager, PyObject* var, PyObject* name, PyObject* worker);

// A failed task goes back on the queue for a re-run, with the worker its entry keeps, under the
// store's lock as a submission does; a task that is back already (or whose run is under way) is not
// put twice, nor one whose entry is gone or no longer failed by the time the lock is held (the
// records were cleared meanwhile). Refuses a closed manager with ManagerError. Throws PyErrSet.
void requeue_failed(const Ctx& c, PyObject* manager, PyObject* var, PyObject* name);

// Work was queued, the worker limit changed, or a stop freed slots: start now what may start. A
// limit that cannot be compared is logged as the dispatch logs it. `var`, when given, is the
// manager's store as the caller has just read it.
void dispatch_more(const Ctx& c, PyObject* manager, PyObject* var = nullptr);

// After a stop or a drain: `done` turns true when the batch has had a task and nothing of it waits
// or runs, however it ended (the paced control loop also notices that by itself).
void dispatch_settle(const Ctx& c, PyObject* manager);

// A bulk submission under way holds its manager's batch open: `done` is not set while one is, since
// its next task may be a moment away, and the end of the last one settles the batch, which may have
// finished meanwhile. _send_list counts the sending thread it starts as under way at once
// (`sending_announce`), so that a join begun right after it waits for the collection; the thread's
// pass takes that count over, or takes one of its own when there is none to take (counts are not
// tied to threads: each is taken over or withdrawn once, so none is left behind). GIL held.
class SendingHold {
public:
    SendingHold(const Ctx& c, PyObject* manager) noexcept;
    SendingHold(const SendingHold&) = delete;
    SendingHold& operator=(const SendingHold&) = delete;
    // On the way out of an error the hold ends with that error set aside.
    ~SendingHold() noexcept(false);

    // Holds again after an end (a timed run whose window was extended).
    void begin() noexcept;
    // Ends the hold and settles the batch. Throws PyErrSet (an error that is no Exception, raised
    // meanwhile; the hold has ended all the same).
    void end();

private:
    const Ctx& c_;
    PyObject* manager_;
    bool held_ = true;
};

// _send_list is about to start a sending thread whose pass is ours, and takes it back when the
// thread did not start (the pending error is kept). GIL held.
void sending_announce(PyObject* manager) noexcept;
void sending_withdraw(const Ctx& c, PyObject* manager);

// A close: whatever waits for work (the control loop, idle task threads) wakes and sees the manager
// closed. GIL held or not.
void dispatch_close(PyObject* manager) noexcept;

// Whether the engine's own queue holds a task (work that a record clearing must not drop).
bool dispatch_has_waiting(PyObject* manager) noexcept;

// Whether a task that `runs` lists waits to run again, put back by _rerun_failed: it reads failed,
// its entry holds no thread that has started, and (eagerly) its name is in the queue. A paced queue
// cannot be searched: there, the fresh thread in the entry, not yet started, tells it. `entry` is
// the task's.
bool dispatch_waits_again(const Ctx& c, PyObject* manager, PyObject* entry, PyObject* name);

// After a close, the next name still waiting in an eager manager's FIFO, taken off it; empty when
// none is left, and always for a paced manager (its queue is the standard one, closed by then).
// Runs no Python code.
Ref dispatch_take_stranded(PyObject* manager) noexcept;

// The manager is going: the engine lets go of it. For the manager's dealloc.
void dispatch_forget(PyObject* manager) noexcept;

// The FIFO class of eager dispatch (held in module state; not in the module namespace).
PyObject* create_eager_queue_type(PyObject* module) noexcept;

// The methods of the control thread: its start, its loop, one paced dispatch.
MethodFn manager_start;
MethodFn manager_queue_init;
MethodFn manager_consumer;

}  // namespace threads_main
