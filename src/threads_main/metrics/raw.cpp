// Run-time histograms and timelines as Python data, and the module functions that build, merge
// and read raw forms.
#include "metrics/raw.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "metrics/record.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

constexpr const char* raw_form = "histogram raw form";
constexpr size_t raw_keys = 7;

double ms(double ns) { return ns / 1e6; }

void put(const Ctx& c, PyObject* dict, Name key, Ref value)
{
    if (!value) {
        throw PyErrSet{};
    }
    require_int(PyDict_SetItem(dict, c.name(key), value.get()));
}

void put_u64(const Ctx& c, PyObject* dict, Name key, uint64_t v)
{
    put(c, dict, key, Ref::steal(PyLong_FromUnsignedLongLong(v)));
}

void put_ms(const Ctx& c, PyObject* dict, Name key, double ns)
{
    put(c, dict, key, Ref::steal(PyFloat_FromDouble(ms(ns))));
}

[[noreturn]] void refuse(PyObject* type, const char* format, auto... args)
{
    PyErr_Format(type, format, raw_form, args...);
    throw PyErrSet{};
}

uint64_t read_u64(PyObject* v, const char* what)
{
    if (!PyLong_Check(v)) {
        refuse(PyExc_TypeError, "%s: %s must be an int, not %.100s", what, Py_TYPE(v)->tp_name);
    }
    unsigned long long x = PyLong_AsUnsignedLongLong(v);
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        refuse(PyExc_ValueError, "%s: %s must be between 0 and 2**64 - 1", what);
    }
    return x;
}

Ref raw_item(const Ctx& c, PyObject* raw, Name key)
{
    PyObject* value = nullptr;
    if (require_int(PyDict_GetItemRef(raw, c.name(key), &value)) == 0) {
        refuse(PyExc_ValueError, "%s: missing key '%s'", name_text(key));
    }
    return Ref::steal(value);
}

// A non-negative, finite number of seconds as whole nanoseconds (saturating at 2^64 - 1).
uint64_t seconds_to_ns(PyObject* v, const char* what)
{
    double s = PyFloat_AsDouble(v);
    if (s == -1.0 && PyErr_Occurred()) {
        throw PyErrSet{};
    }
    if (!std::isfinite(s) || s < 0) {
        PyErr_Format(PyExc_ValueError, "%s must be finite and non-negative seconds, not %R", what, v);
        throw PyErrSet{};
    }
    double ns = s * 1e9;
    return ns >= 18446744073709551615.0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(ns + 0.5);
}

// Calls `each(item)` for every item of an iterable (lists and tuples without an iterator).
template <typename F>
void for_each_item(PyObject* iterable, const char* what, F&& each)
{
    Ref seq = require(PySequence_Fast(iterable, what));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Our own reference: `each` may run Python code (a __float__) that empties a list.
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        each(item.get());
        if (PySequence_Fast_GET_SIZE(seq.get()) != n) {
            PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
            throw PyErrSet{};
        }
    }
}

PyObject* module_histogram_from_times(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"histogram_from_times", {"times"}, 1, false, false}, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        auto h = std::make_unique<Histogram>();
        for_each_item(a[0], "times must be an iterable of run times in seconds", [&](PyObject* t) {
            uint64_t ns = seconds_to_ns(t, "a run time");
            if (ns > std::numeric_limits<uint64_t>::max() - h->sum()) {
                PyErr_SetString(PyExc_OverflowError, "the sum of the run times would pass 2**64 - 1 ns");
                throw PyErrSet{};
            }
            h->record(ns);
        });
        return histogram_raw(c, *h).release();
    });
}

PyObject* module_merge_histograms(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"merge_histograms", {"raws"}, 1, false, false}, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        auto total = std::make_unique<Histogram>();
        auto one = std::make_unique<Histogram>();
        for_each_item(a[0], "raws must be an iterable of histogram raw forms", [&](PyObject* raw) {
            histogram_from_raw(c, raw, *one);
            if (!total->merge(*one)) {
                refuse(PyExc_OverflowError, "%s: the merged count or sum of run times would pass 2**64 - 1");
            }
        });
        return histogram_raw(c, *total).release();
    });
}

PyObject* module_histogram_latency(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"histogram_latency", {"raw"}, 1, false, false}, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        auto h = std::make_unique<Histogram>();
        histogram_from_raw(c, a[0], *h);
        return latency_dict(c, *h).release();
    });
}

PyObject* module_record_runs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[1];
        bind_args({"record_runs", {"runs"}, 1, false, false}, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        auto runs = std::make_unique<Metrics>();
        runs->dispatched(0);
        for_each_item(a[0], "runs must be an iterable of (at, seconds, failed) triples", [&](PyObject* run) {
            if (!PyTuple_Check(run) || PyTuple_GET_SIZE(run) != 3) {
                PyErr_Format(PyExc_TypeError, "a run must be a tuple (at, seconds, failed), not %R", run);
                throw PyErrSet{};
            }
            uint64_t at = seconds_to_ns(PyTuple_GET_ITEM(run, 0), "a run's finishing time");
            if (at > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
                PyErr_SetString(PyExc_ValueError, "a run's finishing time is out of range");
                throw PyErrSet{};
            }
            PyObject* seconds = PyTuple_GET_ITEM(run, 1);
            int64_t run_ns = -1;
            if (!Py_IsNone(seconds)) {
                run_ns = static_cast<int64_t>(
                    std::min<uint64_t>(seconds_to_ns(seconds, "a run time"), std::numeric_limits<int64_t>::max()));
            }
            bool failed = truthy(PyTuple_GET_ITEM(run, 2));
            runs->finished(static_cast<int64_t>(at), run_ns, failed);
        });
        Ref result = require(PyDict_New());
        put(c, result.get(), N_histogram, histogram_raw(c, runs->all));
        put(c, result.get(), N_timeline, timeline_list(c, runs->timeline));
        return result.release();
    });
}

// A str item of a cause's dict, as UTF-8.
std::string cause_text(const Ctx& c, PyObject* cause, Name key)
{
    PyObject* value = nullptr;
    if (require_int(PyDict_GetItemRef(cause, c.name(key), &value)) == 0) {
        PyErr_Format(PyExc_ValueError, "a failure cause needs the key '%s'", name_text(key));
        throw PyErrSet{};
    }
    Ref held = Ref::steal(value);
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a failure cause's '%s' must be a str, not %.100s", name_text(key),
                     Py_TYPE(value)->tp_name);
        throw PyErrSet{};
    }
    return utf8_form(value, "backslashreplace");
}

// A number item of a cause's dict, as a double.
double cause_number(const Ctx& c, PyObject* cause, Name key)
{
    PyObject* value = nullptr;
    if (require_int(PyDict_GetItemRef(cause, c.name(key), &value)) == 0) {
        PyErr_Format(PyExc_ValueError, "a failure cause needs the key '%s'", name_text(key));
        throw PyErrSet{};
    }
    Ref held = Ref::steal(value);
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        throw PyErrSet{};
    }
    return number;
}

PyObject* module_merge_errors(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[2];
        bind_args({"merge_errors", {"causes", "offsets"}, 1, false, false}, args, nargs, kwnames, a);
        Ctx c{module, state_of(module)};
        struct Entry {
            std::string text, example;
            uint64_t count;
            int64_t first_ns, last_ns;
        };
        std::vector<double> offsets;
        if (a[1] && a[1] != Py_None) {
            for_each_item(a[1], "offsets must be an iterable of seconds, one per list of causes",
                          [&](PyObject* o) {
                              double seconds = PyFloat_AsDouble(o);
                              if (seconds == -1.0 && PyErr_Occurred()) {
                                  throw PyErrSet{};
                              }
                              offsets.push_back(seconds);
                          });
        }
        std::vector<Entry> entries;
        size_t list_index = 0;
        for_each_item(a[0], "causes must be an iterable of lists of failure causes", [&](PyObject* causes) {
            if (!offsets.empty() && list_index >= offsets.size()) {
                raise(PyExc_ValueError, "offsets must give one offset per list of causes");
            }
            double offset = offsets.empty() ? 0.0 : offsets[list_index];
            for_each_item(causes, "a list of failure causes must be an iterable of dicts", [&](PyObject* cause) {
                if (!PyDict_Check(cause)) {
                    PyErr_Format(PyExc_TypeError, "a failure cause must be a dict, not %.100s",
                                 Py_TYPE(cause)->tp_name);
                    throw PyErrSet{};
                }
                double count = cause_number(c, cause, N_count);
                if (!(count >= 0) || count != std::floor(count) || count > 1.8e19) {
                    raise(PyExc_ValueError, "a failure cause's 'count' must be a whole number of failures");
                }
                // Whole nanoseconds; a time that has none (not finite, or beyond 292 years either way)
                // would come back as a wrapped-round number.
                auto ns = [](double seconds) {
                    double n = seconds * 1e9;
                    if (!(std::fabs(n) < 9.2e18)) {
                        raise(PyExc_ValueError,
                              "a failure cause's 'first' and 'last', with its list's offset, must be finite seconds");
                    }
                    return static_cast<int64_t>(std::llround(n));
                };
                entries.push_back(Entry{cause_text(c, cause, N_error), cause_text(c, cause, N_example),
                                        static_cast<uint64_t>(count), ns(cause_number(c, cause, N_first) + offset),
                                        ns(cause_number(c, cause, N_last) + offset)});
            });
            ++list_index;
        });
        if (!offsets.empty() && list_index != offsets.size()) {
            raise(PyExc_ValueError, "offsets must give one offset per list of causes");
        }
        // In the order first seen, as one record that saw every failure would have taken them.
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& x, const Entry& y) { return x.first_ns < y.first_ns; });
        auto merged = std::make_unique<Failures>();
        for (const Entry& e : entries) {
            merged->add(e.text, e.example, e.count, e.first_ns, e.last_ns);
        }
        return causes_list(c, merged->causes(), 0).release();
    });
}

PyDoc_STRVAR(histogram_from_times_doc,
             "histogram_from_times($module, times)\n--\n\n"
             "Returns the raw form of a histogram of the given run times (seconds).\n\n"
             "times is an iterable of finite, non-negative numbers of seconds, each recorded to the\n"
             "nanosecond. The raw form is the plain data that a manager's _get_histogram() returns.\n"
             "Raises ValueError for a negative or non-finite time and TypeError for one that is not a\n"
             "number.");
PyDoc_STRVAR(merge_histograms_doc,
             "merge_histograms($module, raws)\n--\n\n"
             "Returns one raw form holding every value of the given raw forms.\n\n"
             "The result is the same histogram as one that recorded all their values. raws is an iterable\n"
             "of raw forms (from _get_histogram() or histogram_from_times(), in this process or another);\n"
             "none gives an empty one. Raises TypeError or ValueError for a malformed raw form, and\n"
             "OverflowError when the merged count or sum of run times would pass 2**64 - 1.");
PyDoc_STRVAR(histogram_latency_doc,
             "histogram_latency($module, raw)\n--\n\n"
             "Returns the latency figures of a raw form, in milliseconds.\n\n"
             "A new dict: count, then min, mean, p50, p90, p95, p99, p99.9 and max, as _get_latency()\n"
             "gives them. A percentile is the midpoint of the bucket holding the sample of that nearest\n"
             "rank, within 0.4 % of the sample. Raises TypeError or ValueError for a malformed raw form.");
PyDoc_STRVAR(record_runs_doc,
             "record_runs($module, runs)\n--\n\n"
             "Records (at, seconds, failed) triples as a manager records its tasks.\n\n"
             "at is the moment the task finished, in seconds since the batch's first dispatch; seconds is\n"
             "its run time, or None when it has none; a true failed counts it as failed. Returns\n"
             "{'histogram': raw form, 'timeline': rows}, the data of _get_histogram() and _get_timeline()\n"
             "of a manager that ran those tasks. Raises TypeError for a run that is not a 3-tuple and\n"
             "ValueError for a negative or non-finite time.");

PyDoc_STRVAR(merge_errors_doc,
             "merge_errors($module, causes, offsets=None)\n--\n\n"
             "Returns one list of failure causes holding every failure of the given lists.\n\n"
             "causes is an iterable of lists of failure causes as _get_errors() gives them. In the result,\n"
             "counts are summed per cause, first and last are the earliest and latest, the example is that\n"
             "of the cause's earliest failure, and the most frequent cause comes first. offsets, one per\n"
             "list, are seconds added to that list's times (to put lists of several managers on one\n"
             "clock). The merge keeps the causes first seen earliest, up to the bound of one manager, and\n"
             "counts the rest in '(other causes)'. Raises TypeError for a cause that is not a dict,\n"
             "ValueError for a cause without one of the keys, for a time that is not finite, or when offsets\n"
             "does not give one offset per list.");

PyMethodDef latency_functions[] = {
    {"histogram_from_times", cfunction(module_histogram_from_times),
     METH_FASTCALL | METH_KEYWORDS, histogram_from_times_doc},
    {"merge_histograms", cfunction(module_merge_histograms),
     METH_FASTCALL | METH_KEYWORDS, merge_histograms_doc},
    {"histogram_latency", cfunction(module_histogram_latency),
     METH_FASTCALL | METH_KEYWORDS, histogram_latency_doc},
    {"record_runs", cfunction(module_record_runs),
     METH_FASTCALL | METH_KEYWORDS, record_runs_doc},
    {"merge_errors", cfunction(module_merge_errors), METH_FASTCALL | METH_KEYWORDS, merge_errors_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref histogram_raw(const Ctx& c, const Histogram& h)
{
    Ref raw = require(PyDict_New());
    put_u64(c, raw.get(), N_sub_bucket_bits, Histogram::kSubBits);
    put_u64(c, raw.get(), N_top_bits, Histogram::kTopBits);
    put_u64(c, raw.get(), N_count, h.count());
    put_u64(c, raw.get(), N_min, h.min());
    put_u64(c, raw.get(), N_max, h.max());
    put_u64(c, raw.get(), N_sum, h.sum());
    Ref buckets = require(PyList_New(0));
    for (size_t i = h.first_used(); i <= h.last_used() && h.count(); ++i) {
        if (h.bucket(i) == 0) {
            continue;
        }
        Ref index = require(PyLong_FromSize_t(i));
        Ref count = require(PyLong_FromUnsignedLongLong(h.bucket(i)));
        Ref pair = require(PyTuple_Pack(2, index.get(), count.get()));
        require_int(PyList_Append(buckets.get(), pair.get()));
    }
    put(c, raw.get(), N_buckets, std::move(buckets));
    return raw;
}

void histogram_from_raw(const Ctx& c, PyObject* raw, Histogram& into)
{
    into.clear();
    if (!PyDict_Check(raw)) {
        refuse(PyExc_TypeError, "%s must be a dict, not %.100s", Py_TYPE(raw)->tp_name);
    }
    uint64_t sub_bits = read_u64(raw_item(c, raw, N_sub_bucket_bits).get(), "sub_bucket_bits");
    uint64_t top_bits = read_u64(raw_item(c, raw, N_top_bits).get(), "top_bits");
    if (sub_bits != Histogram::kSubBits || top_bits != Histogram::kTopBits) {
        refuse(PyExc_ValueError, "%s: layout (sub_bucket_bits=%llu, top_bits=%llu) is not this module's (%d, %d)",
               static_cast<unsigned long long>(sub_bits), static_cast<unsigned long long>(top_bits),
               Histogram::kSubBits, Histogram::kTopBits);
    }
    uint64_t count = read_u64(raw_item(c, raw, N_count).get(), "count");
    uint64_t min = read_u64(raw_item(c, raw, N_min).get(), "min");
    uint64_t max = read_u64(raw_item(c, raw, N_max).get(), "max");
    uint64_t sum = read_u64(raw_item(c, raw, N_sum).get(), "sum");
    Ref buckets = raw_item(c, raw, N_buckets);
    if (static_cast<size_t>(PyDict_GET_SIZE(raw)) != raw_keys) {
        refuse(PyExc_ValueError, "%s: unexpected keys besides sub_bucket_bits, top_bits, count, min, max, sum, buckets");
    }

    unsigned __int128 total = 0;
    size_t first = Histogram::kBuckets;
    size_t last = 0;
    bool any = false;
    for_each_item(buckets.get(), "histogram raw form: buckets must be a sequence of (index, count) pairs",
                  [&](PyObject* pair) {
                      if (!(PyTuple_Check(pair) || PyList_Check(pair)) || PySequence_Fast_GET_SIZE(pair) != 2) {
                          refuse(PyExc_TypeError, "%s: a bucket must be an (index, count) pair, not %.100s",
                                 Py_TYPE(pair)->tp_name);
                      }
                      Ref index_obj = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
                      Ref count_obj = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
                      uint64_t index = read_u64(index_obj.get(), "a bucket index");
                      uint64_t n = read_u64(count_obj.get(), "a bucket count");
                      if (index >= Histogram::kBuckets) {
                          refuse(PyExc_ValueError, "%s: bucket index %llu is out of range",
                                 static_cast<unsigned long long>(index));
                      }
                      if (any && index <= last) {
                          refuse(PyExc_ValueError, "%s: bucket indexes must be increasing (%llu after %zu)",
                                 static_cast<unsigned long long>(index), last);
                      }
                      if (n == 0) {
                          refuse(PyExc_ValueError, "%s: bucket %llu has a count of 0",
                                 static_cast<unsigned long long>(index));
                      }
                      if (!any) {
                          first = index;
                      }
                      any = true;
                      last = index;
                      total += n;
                      into.add_bucket(index, n);
                  });
    if (total != count) {
        refuse(PyExc_ValueError, "%s: the bucket counts do not add up to count %llu",
               static_cast<unsigned long long>(count));
    }
    if (count == 0) {
        if (min != 0 || max != 0 || sum != 0) {
            refuse(PyExc_ValueError, "%s: an empty histogram has min, max and sum 0");
        }
        return;
    }
    if (min > max || Histogram::index_of(min) != first || Histogram::index_of(max) != last) {
        refuse(PyExc_ValueError, "%s: min %llu and max %llu do not fall in the first and last buckets",
               static_cast<unsigned long long>(min), static_cast<unsigned long long>(max));
    }
    if (sum > static_cast<unsigned __int128>(max) * count || sum < static_cast<unsigned __int128>(min) * count) {
        refuse(PyExc_ValueError, "%s: sum %llu is not between count * min and count * max",
               static_cast<unsigned long long>(sum));
    }
    into.set_totals(min, max, sum);
}

Ref latency_dict(const Ctx& c, const Histogram& h)
{
    static constexpr double qs[5] = {50, 90, 95, 99, 99.9};
    static constexpr Name keys[5] = {N_p50, N_p90, N_p95, N_p99, N_p99_9};
    double p[5];
    h.percentiles(qs, p, 5);
    Ref d = require(PyDict_New());
    put_u64(c, d.get(), N_count, h.count());
    put_ms(c, d.get(), N_min, static_cast<double>(h.min()));
    put_ms(c, d.get(), N_mean, h.mean());
    for (int i = 0; i < 5; ++i) {
        put_ms(c, d.get(), keys[i], p[i]);
    }
    put_ms(c, d.get(), N_max, static_cast<double>(h.max()));
    return d;
}

Ref timeline_list(const Ctx& c, const Timeline& t)
{
    std::vector<TimelineRow> rows = t.rows();
    Ref list = require(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (size_t i = 0; i < rows.size(); ++i) {
        const TimelineRow& r = rows[i];
        Ref d = require(PyDict_New());
        put(c, d.get(), N_second, Ref::steal(PyLong_FromLongLong(r.second)));
        put_u64(c, d.get(), N_completed, r.completed);
        put_u64(c, d.get(), N_failed, r.failed);
        put_ms(c, d.get(), N_p50, r.p50);
        put_ms(c, d.get(), N_p95, r.p95);
        put_ms(c, d.get(), N_p99, r.p99);
        put_ms(c, d.get(), N_max, static_cast<double>(r.max));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list;
}

Ref causes_list(const Ctx& c, const std::vector<Failures::Cause>& causes, int64_t origin_ns)
{
    auto text = [](const std::string& s) {
        return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    };
    auto seconds = [origin_ns](int64_t ns) { return Ref::steal(PyFloat_FromDouble(static_cast<double>(ns - origin_ns) / 1e9)); };
    Ref list = require(PyList_New(0));
    for (const Failures::Cause& cause : causes) {
        Ref d = require(PyDict_New());
        put(c, d.get(), N_error, text(cause.text));
        put_u64(c, d.get(), N_count, cause.count);
        put(c, d.get(), N_first, seconds(cause.first_ns));
        put(c, d.get(), N_last, seconds(cause.last_ns));
        put(c, d.get(), N_example, text(cause.example));
        require_int(PyList_Append(list.get(), d.get()));
    }
    return list;
}

int add_latency_functions(PyObject* module) noexcept { return PyModule_AddFunctions(module, latency_functions); }

}  // namespace threads_main
