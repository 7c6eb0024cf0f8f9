// Where a manager's run times are recorded: the two hooks every dispatcher and worker calls, on
// the `RunTimes` that the manager's table of runs carries (support/run.hpp, monitor/timeline.hpp).
//
//   record_dispatched  once per dispatch, when the task's thread has started: the batch's first
//                      dispatch sets the origin of the timeline's seconds;
//   record_finished    once per task that finished (its function returned or raised, or its
//                      thread could not be started), right before its name goes to `dones`, so a
//                      reader that sees the name there sees it counted. A stopped run records
//                      nothing: its name goes to `stops`, not `dones`.
//
// Times come from the monotonic clock (monotonic_ns). A task that finishes before its dispatch is
// recorded (its dispatcher got the interpreter lock back late) sets the origin itself, a few
// microseconds later than its dispatch. Both hooks need the interpreter lock, which serialises
// them with each other and with the readers; they take no lock of their own and allocate nothing,
// except a row of the timeline when a new second begins. A row that finds no memory is left out.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>

#include "support/run.hpp"

namespace threads_main {

// The monotonic clock in nanoseconds (the interpreter's time.monotonic_ns); -1 when it cannot be
// read. Touches no error state, so it may be read while an exception is pending.
inline int64_t monotonic_ns() noexcept
{
    PyTime_t now;
    return PyTime_MonotonicRaw(&now) == 0 ? static_cast<int64_t>(now) : -1;
}

// A task of the batch of `table` has been dispatched. GIL held; `table` may be null.
inline void record_dispatched(RunTable* table) noexcept
{
    int64_t now = monotonic_ns();
    if (table && now >= 0) {
        table->times().dispatched(now);
    }
}

// A task of the batch of `table` finished at `ended_ns` after its function ran from `began_ns`
// (both from monotonic_ns; `began_ns` -1 for a task whose function never ran), `failed` when its
// name goes to `failed` (the function raised, or its result matched the break result). GIL held;
// `table` may be null.
inline void record_finished(RunTable* table, int64_t began_ns, int64_t ended_ns, bool failed) noexcept
{
    if (!table) {
        return;
    }
    if (ended_ns < 0) {
        ended_ns = monotonic_ns();
        if (ended_ns < 0) {
            return;
        }
    }
    int64_t run_ns = began_ns >= 0 && ended_ns >= began_ns ? ended_ns - began_ns : -1;
    try {
        table->times().finished(ended_ns, run_ns, failed);
    }
    catch (const std::bad_alloc&) {
    }
}

}  // namespace threads_main
