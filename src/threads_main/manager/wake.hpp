// The control loop's idle wait. An idle loop (nothing queued, nothing running) would otherwise wake
// a hundred times a second for nothing; instead it sleeps up to a quarter of a second on a native
// condition, and whoever gives it work (a submission, a re-run, a close) wakes it at once.
#pragma once

#include <Python.h>

#include <condition_variable>
#include <mutex>

namespace threads_main {

struct Wake {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

// The manager's native layout: the object header and the wake-up of its control loop.
struct ManagerObject {
    PyObject_HEAD
    Wake* wake;
};

// Wakes the control loop of `manager` if it is idle; remembered if it is not. GIL held or not.
void wake_control_loop(PyObject* manager) noexcept;

// Waits until woken or until `seconds` have passed, with the interpreter lock released; true when
// woken. GIL held.
bool wait_while_idle(PyObject* manager, double seconds) noexcept;

}  // namespace threads_main
