// What a manager records of its batch: its run times, its failures by cause and the wall-clock
// times it began and last finished at; and the hooks every dispatcher and worker calls to record
// them.
//
//   record_dispatched  once per dispatch, when the task's thread has started: the batch's first
//                      dispatch sets the origin of the timeline's seconds;
//   record_finished    once per task that finished (its function returned or raised, or its
//                      thread could not be started), right before its name goes to `dones`, so a
//                      reader that sees the name there sees it counted. A stopped run records
//                      nothing: its name goes to `stops`, not `dones`;
//   record_cause       for a task that failed, with the text of its cause, beside record_finished.
//
// Times come from the monotonic clock (monotonic_ns). A task that finishes before its dispatch is
// recorded (its dispatcher got the interpreter lock back late) sets the origin itself, a few
// microseconds later than its dispatch. Both hooks need the interpreter lock, which serialises
// them with each other and with the readers; they take no lock of their own and allocate nothing,
// except a row of the timeline when a new second begins. A row that finds no memory is left out.
// Nothing here knows of managers, runs or the store.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string_view>

#include "metrics/failures.hpp"
#include "metrics/histogram.hpp"
#include "metrics/timeline.hpp"

namespace threads_main {

// The monotonic clock in nanoseconds (the interpreter's time.monotonic_ns); -1 when it cannot be
// read. Touches no error state, so it may be read while an exception is pending.
inline int64_t monotonic_ns() noexcept
{
    PyTime_t now;
    return PyTime_MonotonicRaw(&now) == 0 ? static_cast<int64_t>(now) : -1;
}

// The wall clock in nanoseconds since the epoch (time.time_ns), or 0 when it cannot be read.
inline int64_t wall_ns() noexcept
{
    PyTime_t now;
    return PyTime_TimeRaw(&now) == 0 ? static_cast<int64_t>(now) : 0;
}

// A batch's run times (all of them, and per row of the timeline), its failures by cause, and
// where it lies on the wall clock.
struct Metrics {
    Histogram all;
    Timeline timeline;
    Failures failures;
    int64_t origin_wall_ns = 0;  // the wall clock at the timeline's origin
    int64_t last_ns = 0;         // the monotonic clock when a task last finished, 0 before any

    // At each dispatch (only the batch's first sets the timeline's origin).
    void dispatched(int64_t now_ns) noexcept
    {
        begin(now_ns);
    }
    // When a task finished; `run_ns` < 0 for a task without a run time.
    void finished(int64_t now_ns, int64_t run_ns, bool failed)
    {
        begin(now_ns);
        if (run_ns >= 0) {
            all.record(static_cast<uint64_t>(run_ns));
            timeline.record(now_ns, static_cast<uint64_t>(run_ns), failed);
        }
        else {
            timeline.record_untimed(now_ns, failed);
        }
        last_ns = std::max(last_ns, now_ns);
    }
    void clear() noexcept
    {
        all.clear();
        timeline.clear();
        failures.clear();
        origin_wall_ns = last_ns = 0;
    }

    // Seconds from the batch's first dispatch to `at_ns` (monotonic), never below 0.
    double since_origin(int64_t at_ns) const noexcept
    {
        return timeline.started() && at_ns > timeline.origin() ? static_cast<double>(at_ns - timeline.origin()) / 1e9
                                                                : 0.0;
    }
    // The wall clock (seconds since the epoch) at `at_ns` (monotonic) of this batch.
    double wall_at(int64_t at_ns) const noexcept
    {
        return static_cast<double>(origin_wall_ns) / 1e9 + since_origin(at_ns);
    }

private:
    void begin(int64_t now_ns) noexcept
    {
        if (!timeline.started()) {
            timeline.start(now_ns);
            origin_wall_ns = wall_ns();
        }
    }
};

// A task of the batch recorded in `metrics` has been dispatched. GIL held; `metrics` may be null.
inline void record_dispatched(Metrics* metrics) noexcept
{
    int64_t now = monotonic_ns();
    if (metrics && now >= 0) {
        metrics->dispatched(now);
    }
}

// A task of the batch recorded in `metrics` finished at `ended_ns` after its function ran from
// `began_ns` (both from monotonic_ns; `began_ns` -1 for a task whose function never ran), `failed`
// when its name goes to `failed` (the function raised, or its result matched the break result).
// GIL held; `metrics` may be null.
inline void record_finished(Metrics* metrics, int64_t began_ns, int64_t ended_ns, bool failed) noexcept
{
    if (!metrics) {
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
        metrics->finished(ended_ns, run_ns, failed);
    }
    catch (const std::bad_alloc&) {
    }
}

// A task of the batch recorded in `metrics`, named `example`, failed just now of cause `text`
// (already cut to Failures::kMaxText bytes). GIL held; `metrics` may be null. A cause that finds no
// memory is left out.
inline void record_cause(Metrics* metrics, std::string_view text, std::string_view example) noexcept
{
    int64_t now = monotonic_ns();
    if (!metrics || now < 0) {
        return;
    }
    try {
        metrics->failures.record(text, example, now);
    }
    catch (const std::bad_alloc&) {
    }
}

}  // namespace threads_main
