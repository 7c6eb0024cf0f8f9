// The manager's native side: its layout, the idle wait of its control loop, and the process check.
//
// The control loop's idle wait. An idle loop (nothing queued, nothing running) would otherwise wake
// a hundred times a second for nothing; instead it sleeps up to a quarter of a second on a native
// condition, and whoever gives it work (a submission, a re-run, a close) wakes it at once.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <mutex>

#include "module.hpp"
#include "support/run.hpp"

namespace threads_main {

struct Wake {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

// The manager's native layout: the object header, the wake-up of its control loop, the runs of its
// tasks and of its control loop (for stops and for ending the loop), and the process that built it.
struct ManagerObject {
    PyObject_HEAD
    Wake* wake;
    RunTable* runs;
    Run* control;
    long pid;
    PyObject* eager;  // the task queue when the manager dispatches eagerly, else null
};

inline ManagerObject* as_manager(PyObject* self) { return reinterpret_cast<ManagerObject*>(self); }

// Raises ManagerError when the calling process is not the one that built `manager` (a child of a
// fork): its locks and queue may be held by threads that do not exist here, so it takes no work.
void check_process(const Ctx& c, PyObject* manager);

// Wakes the control loop of `manager` if it is idle; remembered if it is not. GIL held or not.
void wake_control_loop(PyObject* manager) noexcept;

// Waits until woken or until `seconds` have passed, with the interpreter lock released; true when
// woken. GIL held.
bool wait_while_idle(PyObject* manager, double seconds);

}  // namespace threads_main
