// The run over time: per row of seconds since the batch's first dispatch, the tasks that finished
// and failed in it and the percentiles of their run times.
//
// Rows. Only the open row (the latest one recorded into) keeps a histogram; when a record lands
// in a later row, the open row is closed into a summary of 56 bytes (its counts, the p50, p95
// and p99 of its own histogram, its maximum) and its histogram is cleared for the next one.
// Idle rows are not stored: rows() fills them in as zero rows.
//
// Memory bound. Rows are one second wide for the first 6 hours of a batch (21,600 rows), one
// minute wide for the next 7 days (10,080 rows), then one hour wide for a year (8,760 rows); past
// that the last hourly row takes every later record. So a timeline holds at most 40,440 rows
// (2.3 MB) plus one histogram (37 KB), however long the run, and its counts always add up to
// every task recorded; a wider row's percentiles are still exact for that row (up to the
// histogram's error), because each row is summarised from a histogram of its own. Load tests
// of up to 6 hours, the common case, keep full one-second resolution; longer soaks are drawn in
// minutes or hours, which is all a chart of days can show.
//
// A record stamped before the open row (possible by microseconds: a finishing task reads the
// clock before it gets the interpreter lock back) is counted in the open row, which keeps the
// closed rows final. Same threading rule as Histogram: no lock; the worker records with the
// interpreter lock held. No Python in this header.
#pragma once

#include <cstdint>
#include <vector>

#include "metrics/histogram.hpp"

namespace threads_main {

struct TimelineRow {
    int64_t second;       // seconds since the batch's first dispatch at which the row begins
    uint64_t completed;   // tasks finished in the row, failed ones included
    uint64_t failed;      // of those, the failed ones (break results included)
    double p50, p95, p99; // run-time percentiles of the row, nanoseconds; 0 when none was timed
    uint64_t max;         // the row's longest run time, nanoseconds
};

class Timeline {
public:
    static constexpr int64_t kSecondRowsUntil = 6 * 3600;
    static constexpr int64_t kMinuteRowsUntil = kSecondRowsUntil + 7 * 24 * 3600;
    static constexpr int64_t kHourRows = 365 * 24;
    static constexpr int64_t kLastRow = kMinuteRowsUntil + (kHourRows - 1) * 3600;
    static constexpr size_t kMaxRows = kSecondRowsUntil + 7 * 24 * 60 + kHourRows;

    // The first row a second belongs to, and the width of the row that begins at `start`.
    static constexpr int64_t row_start(int64_t second) noexcept
    {
        if (second < kSecondRowsUntil) {
            return second < 0 ? 0 : second;
        }
        if (second < kMinuteRowsUntil) {
            return second - (second - kSecondRowsUntil) % 60;
        }
        int64_t start = second - (second - kMinuteRowsUntil) % 3600;
        return start < kLastRow ? start : kLastRow;
    }
    static constexpr int64_t row_width(int64_t start) noexcept
    {
        return start < kSecondRowsUntil ? 1 : start < kMinuteRowsUntil ? 60 : 3600;
    }

    // Sets the origin (a monotonic clock in nanoseconds) unless one is set already: the batch's
    // first dispatch calls it, the later ones change nothing.
    void start(int64_t origin_ns) noexcept
    {
        if (!started_) {
            started_ = true;
            origin_ = origin_ns;
        }
    }
    bool started() const noexcept { return started_; }
    int64_t origin() const noexcept { return origin_; }

    // A task that finished at `now_ns` (same clock as the origin) after running `run_ns`. A
    // record before any start sets the origin itself. May grow the row vector when a row closes.
    void record(int64_t now_ns, uint64_t run_ns, bool failed)
    {
        Row& row = row_for(now_ns);
        hist_.record(run_ns);
        ++row.completed;
        row.failed += failed;
    }
    // A task that finished without a run time to count (its function raised).
    void record_untimed(int64_t now_ns, bool failed)
    {
        Row& row = row_for(now_ns);
        ++row.completed;
        row.failed += failed;
    }

    void clear() noexcept;

    // Every row from second 0 to the open row, in order, idle rows as zeros; at most kMaxRows.
    std::vector<TimelineRow> rows() const;

private:
    struct Row {
        int64_t second;
        uint64_t completed;
        uint64_t failed;
    };

    Row& row_for(int64_t now_ns)
    {
        start(now_ns);
        int64_t begin = row_start((now_ns - origin_) / 1'000'000'000);
        if (!open_) {
            open_ = true;
            current_ = Row{begin, 0, 0};
        }
        else if (begin > current_.second) {
            close_row();
            current_ = Row{begin, 0, 0};
        }
        return current_;
    }

    TimelineRow summary() const noexcept;
    void close_row();

    std::vector<TimelineRow> closed_;
    Histogram hist_;          // the open row's run times
    Row current_{0, 0, 0};    // the open row
    bool open_ = false;
    bool started_ = false;
    int64_t origin_ = 0;
};

}  // namespace threads_main
