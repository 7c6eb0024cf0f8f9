// Python forms of run-time histograms and timelines: the raw form (plain, picklable data that
// merges exactly), the latency dict and the timeline rows; and the module functions that build,
// merge and read raw forms.
//
// All functions need the interpreter lock, return new references and throw PyErrSet on failure.
#pragma once

#include <Python.h>

#include <vector>

#include "state.hpp"
#include "metrics/failures.hpp"
#include "metrics/histogram.hpp"
#include "metrics/timeline.hpp"

namespace threads_main {

// {"sub_bucket_bits", "top_bits", "count", "min", "max", "sum", "buckets": [(index, count), ...]}:
// the layout, the exact totals in nanoseconds and the non-empty buckets in index order.
Ref histogram_raw(const Ctx& c, const Histogram& h);

// Reads a raw form into `into` (cleared first). Refuses, with TypeError or ValueError saying
// what is wrong, anything that histogram_raw could not have made: another layout, missing or
// extra keys, bucket indexes out of range or not increasing, counts that do not add up, totals
// that do not fit the buckets. `into` is unspecified after a refusal.
void histogram_from_raw(const Ctx& c, PyObject* raw, Histogram& into);

// {"count": int, "min", "mean", "p50", "p90", "p95", "p99", "p99.9", "max": float milliseconds};
// all zeros when nothing was recorded.
Ref latency_dict(const Ctx& c, const Histogram& h);

// [{"second": int, "completed": int, "failed": int, "p50", "p95", "p99", "max": float ms}, ...]
// one dict per row of the timeline, in order, idle rows included.
Ref timeline_list(const Ctx& c, const Timeline& t);

// [{"error": str, "count": int, "first", "last": float seconds since `origin_ns`, "example": str}, ...]
// the causes in the order given.
Ref causes_list(const Ctx& c, const std::vector<Failures::Cause>& causes, int64_t origin_ns);

// Adds the module-level functions over raw forms; for the module's exec. 0, or -1 with an error.
int add_latency_functions(PyObject* module) noexcept;

}  // namespace threads_main
