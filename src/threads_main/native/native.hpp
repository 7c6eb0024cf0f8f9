// The manager's native part: what a manager object holds besides its instance dict, and the part of
// it that its workers and threads share and that may outlive it (its table of runs and the metrics
// of its batch).
//
// The control loop's idle wait. An idle loop (nothing queued, nothing running) would otherwise wake
// a hundred times a second for nothing; instead it sleeps on a native condition, and whoever gives
// it work (a submission, a re-run, a close) wakes it at once (dispatch/).
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "metrics/record.hpp"
#include "state.hpp"
#include "support/run.hpp"

namespace threads_main {

struct Wake {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

// The runs of a manager's tasks (for stops) and the metrics of its batch. Workers keep it as long
// as they live, since a worker and its thread may outlive the manager that built them; the last
// owner frees it. Touched only with the interpreter lock held.
class ManagerCore {
public:
    // A new core with one owner, or null when there is no memory.
    static ManagerCore* create() noexcept;
    void hold() noexcept;
    void release() noexcept;

    RunTable runs;
    Metrics metrics;
    // How often _clear_record has cleared the records (GIL held). A worker built before the latest
    // clearing belongs to a batch that is gone.
    unsigned long long clearings = 0;

private:
    ManagerCore() = default;
    std::atomic<int> owners_{1};
};

// The manager's native layout: the object header, the wake-up of its control loop, its core, the
// run of its control loop (for ending the loop), the process that built it, its task queue when it
// dispatches eagerly, its bulk submissions under way (dispatch/), and the store's run-time sum at the
// last clearing of the records.
struct ManagerObject {
    PyObject_HEAD
    Wake* wake;
    ManagerCore* core;
    Run* control;
    long pid;
    PyObject* eager;  // the task queue when the manager dispatches eagerly, else null
    int sending;      // bulk submissions under way, `announced` included (GIL held)
    int announced;    // sending threads started by _send_list that have not begun their pass
    int taking;       // names a control loop or task thread has taken and not yet dispatched (GIL held)
    // Drains of the queue (_clear_queue) begun, and under way; and what they were as the control
    // loop took its last name. A name between its take and its dispatch is neither waiting nor
    // running: a drain (and a stop walk after it) in that time would miss it (GIL held).
    unsigned long drains;
    int draining;
    unsigned long drains_at_take;
    bool took_in_drain;
    int windows;  // timed submissions whose window is open, as they last judged it (GIL held)
    int opening;  // timed submissions in their first pass, which goes whatever the window (GIL held)
    bool queue_closed;  // a close has closed the task queue: nothing takes a name from it any more
    // all_time when _clear_record last cleared the batch (0 before): the store keeps summing across
    // batches, and the batch's own sum is what lies above this.
    long long cleared_run_time;
};

inline ManagerObject* as_manager(PyObject* self) { return reinterpret_cast<ManagerObject*>(self); }

// Counts something under way on the manager in one of its fields, for as long as the object lives.
// GIL held.
template <int ManagerObject::*Field>
class UnderWay {
public:
    explicit UnderWay(PyObject* manager) noexcept : m_(as_manager(manager)) { ++(m_->*Field); }
    UnderWay(const UnderWay&) = delete;
    UnderWay& operator=(const UnderWay&) = delete;
    ~UnderWay() { --(m_->*Field); }

private:
    ManagerObject* m_;
};

// Notes the store's run-time sum (`run_time`, all_time) as the records are cleared. A sum that is
// not an int of at most 64 bits (set by someone else) is noted as 0: nothing is taken off it later.
void note_cleared_run_time(PyObject* manager, PyObject* run_time) noexcept;

// The run-time sum of the batch since the last clearing: `run_time` (the store's all_time, new
// reference) less the sum noted then. A sum below that was set by someone else, and is taken as the
// batch's own.
PyObject* batch_run_time(PyObject* manager, PyObject* run_time) noexcept;

// Starts following the calling process's id through forks (pthread_atfork), once per process, at
// the module's execution. 0, or -1 with an error set.
int watch_process_id() noexcept;

// The calling process's id (getpid()), without a system call.
long current_process_id() noexcept;

// Whether the calling process is not the one that built `manager` (a child of a fork): its locks
// and queue may be held by threads that do not exist here, so it takes no work.
bool inherited(PyObject* manager) noexcept;

// Raises ManagerError for an inherited manager.
void check_process(const Ctx& c, PyObject* manager);

// The open check (our own _check_while, with `var` as self._var): refuses a manager inherited
// through a fork, and a closed one ("The manager has stopped").
void open_check(const Ctx& c, PyObject* self, PyObject* var);

}  // namespace threads_main
