// The per-task runner: a plain class whose instances are the targets of the tasks' threads (calling
// one runs its start). Each start() is a run (support/run.hpp) in the table of the manager that
// built the worker, so that a stop finds it and lands only in the task function; its run time goes
// to that manager's metrics.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "worker/worker.hpp"

#include "metrics/record.hpp"
#include "state.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

constexpr const char* param_names[3] = {"brixel_var", "brixel_name", "brixel_log"};

// A worker is what a waiting task mostly consists of besides its thread, so it is kept small: its
// attributes live in fixed slots (the instance dict stays unallocated unless somebody adds an
// attribute of their own), and the keyword arguments stay in the form the submission passed them,
// a tuple of names and the values, until somebody reads `kwargs`. That first read builds the dict,
// which from then on replaces the compact form; so does assigning `kwargs`.
struct WorkerObject {
    PyObject_HEAD
    PyObject* var;
    PyObject* name;
    PyObject* log;
    PyObject* kwnames;   // compact form: the names (a tuple, empty for none), or null
    PyObject* kwvalues;  // compact form: the value itself for one name, else a tuple of the values
    PyObject* kwargs;    // the dict form, or null while the compact form holds
    ManagerCore* core;   // where its runs and run times go: the core of the manager that built it, or null
    unsigned long long batch;  // the core's clearings when the worker joined it
};

WorkerObject* as_worker(PyObject* self)
{
    return reinterpret_cast<WorkerObject*>(self);
}

// The compact form's values as the array a vectorcall takes; `one` holds a single value.
PyObject* const* compact_values(PyObject* names, PyObject* values, PyObject** one)
{
    if (PyTuple_GET_SIZE(names) == 1) {
        *one = values;
        return one;
    }
    return values ? &PyTuple_GET_ITEM(values, 0) : nullptr;
}

// The keyword arguments of a run, taken from the worker when it begins: either the compact form or
// a mapping (anything that `kwargs` was set to, or what a subclass's `kwargs` gives).
struct TaskArgs {
    Ref kwargs;
    Ref names;
    Ref values;
};

// The end of a run that a stop claimed: nothing is recorded (the stop records itself), the error
// the run caught is dropped, and whatever the stop sent that has not fired yet is taken back, so
// that it cannot surface in what the thread runs next. Returns a new reference.
PyObject* end_stopped(Run* run) noexcept
{
    drop_kept(run);
    PyErr_Clear();
    return Py_NewRef(Py_None);
}

// The three timing fields are read-then-write updates shared by every worker: one lock keeps two
// workers that finish together from losing a contribution. PyMutex releases the interpreter lock
// while it waits, so a holder that needs the interpreter lock back cannot deadlock against a waiter.
PyMutex timing_mutex{};

class TimingLock {
public:
    TimingLock() noexcept { PyMutex_Lock(&timing_mutex); }
    TimingLock(const TimingLock&) = delete;
    TimingLock& operator=(const TimingLock&) = delete;
    ~TimingLock() { PyMutex_Unlock(&timing_mutex); }
};

// threads.get(name), with `threads` read from the store.
Ref entry_of(const Ctx& c, PyObject* var, PyObject* name)
{
    Ref threads = field(c, var, N_threads);
    return task_entry(c, threads.get(), name);
}

void append_to(const Ctx& c, PyObject* var, Name list, PyObject* name)
{
    Ref target = field(c, var, list);
    append(target.get(), name);
}

// The task function, read from the store, called with a copy of the keyword arguments. Returns the
// result as a new reference, or NULL with the error set.
PyObject* call_task(const Ctx& c, PyObject* var, const TaskArgs& task)
{
    try {
        Ref func = field(c, var, N_func);
        if (!task.kwargs) {
            // The callable receives keyword arguments of its own, never our tuples: no copy needed.
            Py_ssize_t n = PyTuple_GET_SIZE(task.names.get());
            if (n == 0) {
                return PyObject_CallNoArgs(func.get());
            }
            PyObject* one = nullptr;
            PyObject* const* values = compact_values(task.names.get(), task.values.get(), &one);
            return PyObject_Vectorcall(func.get(), values, 0, task.names.get());
        }
        PyObject* kwargs = task.kwargs.get();
        if (PyDict_CheckExact(kwargs) && PyDict_GET_SIZE(kwargs) == 0) {
            return PyObject_CallNoArgs(func.get());
        }
        // The copy keeps a callable that changes its keyword dict from changing the worker's.
        Ref copy;
        if (PyDict_Check(kwargs)) {
            copy = require(PyDict_Copy(kwargs));
        } else {
            copy = require(PyDict_New());
            require_int(PyDict_Merge(copy.get(), kwargs, 1));
        }
        return PyObject_VectorcallDict(func.get(), nullptr, 0, copy.get());
    }
    catch (const PyErrSet&) {
        return nullptr;
    }
}

// Folds one elapsed time into min_time, max_time and all_time under the timing lock; the stored
// values stay interpreter integers. A bound that holds is left as it is.
void fold_timing(const Ctx& c, PyObject* var, PyObject* elapsed)
{
    TimingLock locked;
    Ref min_time = field(c, var, N_min_time);
    // A stored 0 means "unset": the first returned task replaces it whatever its time. A run
    // measured as 0 ms leaves a minimum that is set alone, so that the minimum never rises.
    if (!truthy(min_time.get())
        || (truthy(elapsed) && require_int(PyObject_RichCompareBool(elapsed, min_time.get(), Py_LT)))) {
        set_field(c, var, N_min_time, elapsed);
    }
    Ref max_time = field(c, var, N_max_time);
    if (require_int(PyObject_RichCompareBool(elapsed, max_time.get(), Py_GT))) {
        set_field(c, var, N_max_time, elapsed);
    }
    Ref all_time = field(c, var, N_all_time);
    Ref sum = require(PyNumber_Add(all_time.get(), elapsed));
    set_field(c, var, N_all_time, sum.get());
}

// Folds the run that began at start_ms, in whole milliseconds. A clock set back while it ran
// gives 0, not a negative time.
void fold_run_time(const Ctx& c, PyObject* var, double start_ms)
{
    Ref elapsed = require(PyLong_FromDouble(std::max(std::trunc(now_seconds(c) * 1000.0 - start_ms), 0.0)));
    fold_timing(c, var, elapsed.get());
}

// Whether a returned result matches the break result: a false break result never does; a list,
// set or tuple (or subclass) by membership; anything else by equality.
bool matches_break(const Ctx& c, PyObject* var, PyObject* result)
{
    Ref breaker = field(c, var, N_break_result);
    if (!truthy(breaker.get())) {
        return false;
    }
    PyObject* b = breaker.get();
    if (PyList_Check(b) || PySet_Check(b) || PyTuple_Check(b)) {
        return contains(b, result);
    }
    Ref equal = require(PyObject_RichCompare(result, b, Py_EQ));
    return truthy(equal.get());
}

// Records a task function that returned: timing, result, status and classification. True when
// the result matched the break result (the name went to `failed`).
bool record_return(const Ctx& c, PyObject* var, PyObject* entry, PyObject* name, PyObject* result, double start_ms)
{
    fold_run_time(c, var, start_ms);
    if (truthy(field(c, var, N_reserve).get())) {
        set_entry_field(c, entry, N_result, result);
    }
    set_entry_field(c, entry, N_status, c.status(S_COMPLETED));
    bool broke = matches_break(c, var, result);
    append_to(c, var, broke ? N_failed : N_success, name);
    return broke;
}

// Records a failed run with its error. The entry also keeps the worker, so that a re-run can
// build a fresh thread for the same keyword arguments; that is a convenience, and its failure is
// ignored.
void record_failure(const Ctx& c, PyObject* self, PyObject* var, PyObject* entry, PyObject* name, PyObject* error)
{
    if (keeps_failure_result(c, var)) {
        set_entry_field(c, entry, N_result, error);
    }
    try {
        set_entry_field(c, entry, N__worker, self);
    }
    catch (const PyErrSet&) {
        PyErr_Clear();
    }
    set_entry_field(c, entry, N_status, c.status(S_FAILED));
    append_to(c, var, N_failed, name);
}

// `text` cut to Failures::kMaxText bytes on a character boundary, as UTF-8.
std::string cut_text(PyObject* text)
{
    std::string utf8 = utf8_form(text, "backslashreplace");
    size_t n = std::min(utf8.size(), Failures::kMaxText);
    while (n < utf8.size() && n > 0 && (static_cast<unsigned char>(utf8[n]) & 0xC0) == 0x80) {
        --n;  // not inside a character
    }
    utf8.resize(n);
    return utf8;
}

// Records `make_text()` (a new str) as the cause of task `name`'s failure, or `fallback` when the
// text cannot be made (a __repr__ or __str__ that raises): the failure counts among the causes
// either way, so that their counts add up to the failures. Every error is set aside (a Ctrl-C
// is raised again), and an error that was pending before is kept.
template <typename F>
void record_text_cause(Metrics* metrics, PyObject* name, std::string_view fallback, F&& make_text) noexcept
{
    if (!metrics) {
        return;
    }
    SavedError keep;
    try {
        std::string cause;
        try {
            Ref text = make_text();
            cause = cut_text(text.get());
        }
        catch (const PyErrSet&) {
            set_error_aside(name, true);
            cause = fallback;
        }
        std::string example = PyUnicode_Check(name) ? cut_text(name) : std::string();
        record_cause(metrics, cause, example);
    }
    catch (const PyErrSet&) {
        set_error_aside(name, true);
    }
    catch (const std::bad_alloc&) {
    }
}

// The body of start() once its run is registered; its run times go to `metrics` (may be null).
// Returns a new reference (None), or throws with the error of a step whose errors end the thread.
PyObject* run_task(const Ctx& c, PyObject* self, Run* run, Metrics* metrics, PyObject* var, PyObject* name,
                   const TaskArgs& task)
{
    // A stop that came before the task began (left for this thread before the worker began, or
    // claimed while the entry was looked up) ends the run here; the test comes right before the
    // status write (a C call on the store), so that the write never overwrites "停止". Marking the
    // task running lies outside the handled region: its errors end the thread.
    if (run->stop) {
        return end_stopped(run);
    }
    // The entry is looked up once: the records of a name that runs are never dropped or replaced
    // (a clearing waits until nothing runs), so the entry found now is the one to write at the end.
    Ref entry = entry_of(c, var, name);
    if (run->stop) {
        return end_stopped(run);
    }
    set_entry_field(c, entry.get(), N_status, c.status(S_RUNNING));

    double start_ms = 0;
    bool timed = false;
    int64_t began_ns = -1;  // the run time of the task function alone, for the run-time records
    int64_t ended_ns = -1;
    Ref outcome;
    try {
        start_ms = std::trunc(now_seconds(c) * 1000.0);
        timed = true;
        if (run->stop) {
            return end_stopped(run);
        }
        // Task code: the only place where a stop's SystemExit is sent.
        enter_task(run);
        began_ns = monotonic_ns();
        outcome = Ref::steal(call_task(c, var, task));
        ended_ns = monotonic_ns();
        leave_task(run, Run::Finishing);
    }
    catch (const PyErrSet&) {
    }
    // The worker's claim: with the run Finishing, a stop from now on leaves it alone.
    if (run->stop) {
        return end_stopped(run);
    }
    run->state = Run::Finishing;

    // Any failure of the run is an outcome, BaseException included: a task that ends the thread
    // with SystemExit or KeyboardInterrupt of its own would otherwise count as running for ever.
    Ref failure;
    bool broke = false;
    if (outcome) {
        try {
            broke = record_return(c, var, entry.get(), name, outcome.get(), start_ms);
        }
        catch (const PyErrSet&) {
            failure = Ref::steal(PyErr_GetRaisedException());
        }
    } else {
        failure = Ref::steal(PyErr_GetRaisedException());
        // A function that raised ran too: its time counts like a returned one's. An error of the
        // timing itself (a replaced clock) must not take the place of the task's own error.
        try {
            if (!timed) {
                throw PyErrSet{};
            }
            fold_run_time(c, var, start_ms);
        }
        catch (const PyErrSet&) {
            PyErr_Clear();  // nothing set when the start was never timed
        }
    }
    if (failure) {
        record_failure(c, self, var, entry.get(), name, failure.get());
    }

    // The entry lets go of its thread; `dones` comes last, so a reader that sees the name there
    // sees the outcome.
    set_entry_field(c, entry.get(), N_thread, Py_None);
    record_finished(metrics, began_ns, ended_ns, failure || broke);
    if (failure) {
        record_error_cause(metrics, name, failure.get());
    } else if (broke) {
        record_break_cause(metrics, name, outcome.get());
    }
    append_to(c, var, N_dones, name);
    // An asynchronous exception of somebody else's, taken back while the task ran, goes on now.
    if (raise_kept(run)) {
        throw PyErrSet{};
    }
    return Py_NewRef(Py_None);
}

// Makes `core` the one a worker's runs and run times go into.
void join_core(WorkerObject* w, ManagerCore* core) noexcept
{
    if (core) {
        core->hold();
        w->batch = core->clearings;
    }
    if (ManagerCore* old = std::exchange(w->core, core)) {
        old->release();
    }
}

[[noreturn]] void init_error(const char* format, const char* what)
{
    PyErr_Format(PyExc_TypeError, format, what);
    throw PyErrSet{};
}

// "missing 2 required positional arguments: 'a' and 'b'", worded as for a def.
[[noreturn]] void missing_error(PyObject* const slots[3])
{
    std::string names;
    int missing = 0;
    for (int i = 0; i < 3; ++i) {
        missing += slots[i] ? 0 : 1;
    }
    int seen = 0;
    for (int i = 0; i < 3; ++i) {
        if (slots[i]) {
            continue;
        }
        if (seen > 0) {
            names += missing > 2 ? ", " : " ";
            if (seen == missing - 1) {
                names += "and ";
            }
        }
        names += "'";
        names += param_names[i];
        names += "'";
        ++seen;
    }
    PyErr_Format(PyExc_TypeError, "_Worker.__init__() missing %d required positional argument%s: %s", missing,
                 missing == 1 ? "" : "s", names.c_str());
    throw PyErrSet{};
}

// Stores the four attributes, in their order. `task_kwargs` becomes the worker's own dict.
void fill_worker(const Ctx& c, PyObject* self, PyObject* var, PyObject* name, PyObject* log, PyObject* task_kwargs)
{
    setattr(self, c.name(N_var), var);
    setattr(self, c.name(N_brixel_name), name);
    setattr(self, c.name(N__log), log);
    setattr(self, c.name(N_kwargs), task_kwargs);
}

}  // namespace

void record_error_cause(Metrics* metrics, PyObject* name, PyObject* error) noexcept
{
    std::string fallback;
    try {
        fallback = std::string(Py_TYPE(error)->tp_name) + ": <exception str() failed>";
    }
    catch (const std::bad_alloc&) {
    }
    record_text_cause(metrics, name, fallback, [error] {
        // As a traceback's last line: the type (with its module unless builtins or __main__), then
        // the message when there is one.
        PyTypeObject* type = Py_TYPE(error);
        Ref qualname = require(PyType_GetQualName(type));
        Ref module = require(PyType_GetModuleName(type));
        Ref kind = qualname.dup();
        if (PyUnicode_Check(module.get()) && !PyUnicode_EqualToUTF8(module.get(), "builtins")
            && !PyUnicode_EqualToUTF8(module.get(), "__main__")) {
            kind = require(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
        }
        Ref message = error_text(error);
        if (PyUnicode_GET_LENGTH(message.get()) == 0) {
            return kind;
        }
        return require(PyUnicode_FromFormat("%U: %U", kind.get(), message.get()));
    });
}

void record_break_cause(Metrics* metrics, PyObject* name, PyObject* result) noexcept
{
    record_text_cause(metrics, name, "result == <repr() failed>",
                      [result] { return require(PyUnicode_FromFormat("result == %R", result)); });
}

void worker_after_fork() noexcept
{
    timing_mutex = PyMutex{};
}

// __init__(self, brixel_var, brixel_name, brixel_log, **kwargs), binding like a def. Returns 0, or
// -1 with an exception set; GIL held.
int worker_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return boundary(-1, [&] {
        Py_ssize_t given = PyTuple_GET_SIZE(args);
        if (given > 3) {
            PyErr_Format(PyExc_TypeError, "_Worker.__init__() takes 4 positional arguments but %zd were given",
                         given + 1);
            throw PyErrSet{};
        }
        PyObject* slots[3] = {nullptr, nullptr, nullptr};
        for (Py_ssize_t i = 0; i < given; ++i) {
            slots[i] = PyTuple_GET_ITEM(args, i);
        }
        // The named parameters come out of the copy; what is left are the task's keyword arguments.
        Ref task_kwargs = require(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
        Ref popped[3];
        for (int i = 0; i < 3; ++i) {
            PyObject* value = nullptr;
            if (require_int(PyDict_PopString(task_kwargs.get(), param_names[i], &value))) {
                popped[i] = Ref::steal(value);
                if (slots[i]) {
                    init_error("_Worker.__init__() got multiple values for argument '%s'", param_names[i]);
                }
                slots[i] = popped[i].get();
            }
        }
        if (require_int(PyDict_ContainsString(task_kwargs.get(), "self"))) {
            init_error("_Worker.__init__() got multiple values for argument '%s'", "self");
        }
        if (!slots[0] || !slots[1] || !slots[2]) {
            missing_error(slots);
        }
        Ctx c = ctx_from_type(Py_TYPE(self));
        fill_worker(c, self, slots[0], slots[1], slots[2], task_kwargs.get());
        return 0;
    });
}

bool keeps_failure_result(const Ctx& c, PyObject* var)
{
    try {
        return truthy(field(c, var, N_reserve).get());
    }
    catch (const PyErrSet&) {
        // The task is recorded whatever: a Ctrl-C that arrived in the read is raised again.
        set_error_aside(var, true);
        return false;
    }
}

Ref build_worker(const Ctx& c, PyObject* cls, PyObject* var, PyObject* name, PyObject* log, const TaskKeywords& keywords,
                 ManagerCore* core)
{
    Py_ssize_t n = PyTuple_GET_SIZE(keywords.names);
    // Our own class, looked up as it is now, keeps the keywords compact. Anything else, subclasses
    // included, is called as it is, with the keywords as a dict.
    if (cls == reinterpret_cast<PyObject*>(c.st->worker_type)) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* key = PyTuple_GET_ITEM(keywords.names, i);
            for (const char* param : param_names) {
                if (PyUnicode_EqualToUTF8(key, param)) {
                    init_error("_Worker.__init__() got multiple values for argument '%s'", param);
                }
            }
        }
        Ref values;
        if (n == 1) {
            values = Ref::borrow(keywords.values[0]);
        } else if (n > 1) {
            values = require(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyTuple_SET_ITEM(values.get(), i, Py_NewRef(keywords.values[i]));
            }
        }
        auto* type = c.st->worker_type;
        Ref worker = require(type->tp_alloc(type, 0));
        WorkerObject* w = as_worker(worker.get());
        w->var = Py_NewRef(var);
        w->name = Py_NewRef(name);
        w->log = Py_NewRef(log);
        w->kwnames = Py_NewRef(keywords.names);
        w->kwvalues = values.release();
        join_core(w, core);
        return worker;
    }
    Ref kwargs = require(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
        require_int(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(keywords.names, i), keywords.values[i]));
    }
    Ref args = require(PyTuple_Pack(3, var, name, log));
    Ref worker = require(PyObject_Call(cls, args.get(), kwargs.get()));
    if (PyObject_TypeCheck(worker.get(), c.st->worker_type)) {
        join_core(as_worker(worker.get()), core);
    }
    return worker;
}

// start(self): runs the task in the calling thread and records its outcome. Returns a new
// reference (None), or NULL with an exception set; GIL held.
PyObject* worker_start(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        bind_args({"start", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        WorkerObject* w = as_worker(self);
        // Our own class exactly reads its slots as its attributes would (a subclass is asked).
        bool own = Py_IS_TYPE(self, cls);
        Ref var = own && w->var ? Ref::borrow(w->var) : getattr(self, c.name(N_var));
        Ref name = own && w->name ? Ref::borrow(w->name) : getattr(self, c.name(N_brixel_name));
        TaskArgs task;
        if (own && !w->kwargs && w->kwnames) {
            task.names = Ref::borrow(w->kwnames);
            task.values = w->kwvalues ? Ref::borrow(w->kwvalues) : Ref{};
        } else {
            task.kwargs = getattr(self, c.name(N_kwargs));
        }
        ManagerCore* core = PyObject_TypeCheck(self, c.st->worker_type) ? w->core : nullptr;
        RunTable* table = core ? &core->runs : nullptr;
        // The records were cleared since the worker was built: its task was stopped before it began
        // (a clearing waits for every other task to end), and the run the stop left for it went
        // with them. It must not run now, nor write into the batch under way, which may have a task
        // of the same name. Nothing runs Python code between this test and the run's beginning.
        if (core && w->batch != core->clearings) {
            return Py_NewRef(Py_None);
        }
        // Every start() is a run of its own, so a worker can be started again after it ended.
        ThreadRun run(table ? table->begin(name.get()) : new (std::nothrow) Run(), 0, table, name.get());
        if (!run.get()) {
            PyErr_NoMemory();
            throw PyErrSet{};
        }
        PyObject* result = run_task(c, self, run.get(), core ? &core->metrics : nullptr, var.get(), name.get(), task);
        run.end();
        return result;
    });
}

void run_worker(const Ctx& c, PyObject* worker)
{
    if (Py_IS_TYPE(worker, c.st->worker_type)) {
        require(worker_start(worker, c.st->worker_type, nullptr, 0, nullptr));
        return;
    }
    call_method(worker, c.name(N_start));
}

namespace {

int worker_clear(PyObject* self) noexcept
{
    WorkerObject* w = as_worker(self);
    Py_CLEAR(w->var);
    Py_CLEAR(w->name);
    Py_CLEAR(w->log);
    Py_CLEAR(w->kwnames);
    Py_CLEAR(w->kwvalues);
    Py_CLEAR(w->kwargs);
    PyObject_ClearManagedDict(self);
    return 0;
}

void worker_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    worker_clear(self);
    join_core(as_worker(self), nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

int worker_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    WorkerObject* w = as_worker(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(w->var);
    Py_VISIT(w->name);
    Py_VISIT(w->log);
    Py_VISIT(w->kwnames);
    Py_VISIT(w->kwvalues);
    Py_VISIT(w->kwargs);
    return PyObject_VisitManagedDict(self, visit, arg);
}

[[noreturn]] void no_kwargs(PyObject* self)
{
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute 'kwargs'", Py_TYPE(self)->tp_name);
    throw PyErrSet{};
}

// The first read builds the dict from the compact form and keeps it in its place. A run that has
// begun holds the compact form itself, so dropping it here cannot pull values from under it.
PyObject* worker_get_kwargs(PyObject* self, void*)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        WorkerObject* w = as_worker(self);
        if (w->kwargs) {
            return Py_NewRef(w->kwargs);
        }
        if (!w->kwnames) {
            no_kwargs(self);
        }
        Ref names = Ref::borrow(w->kwnames);
        Ref values = w->kwvalues ? Ref::borrow(w->kwvalues) : Ref{};
        PyObject* one = nullptr;
        PyObject* const* items = compact_values(names.get(), values.get(), &one);
        Ref dict = require(PyDict_New());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
            require_int(PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(names.get(), i), items[i]));
        }
        if (!w->kwargs) {
            w->kwargs = Py_NewRef(dict.get());
            Py_CLEAR(w->kwnames);
            Py_CLEAR(w->kwvalues);
        }
        return Py_NewRef(w->kwargs);
    });
}

// Setting replaces either form; deleting removes the attribute, as for any instance attribute.
int worker_set_kwargs(PyObject* self, PyObject* value, void*)
{
    return boundary(-1, [&] {
        WorkerObject* w = as_worker(self);
        if (!value && !w->kwargs && !w->kwnames) {
            no_kwargs(self);
        }
        // The fields change first: dropping the old values may run code that reads them.
        Ref old_dict = Ref::steal(std::exchange(w->kwargs, Py_XNewRef(value)));
        Ref old_names = Ref::steal(std::exchange(w->kwnames, nullptr));
        Ref old_values = Ref::steal(std::exchange(w->kwvalues, nullptr));
        return 0;
    });
}

// The name a thread takes after its target: a worker stands for its start method.
PyObject* worker_get_name(PyObject* self, void*)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ctx c = ctx_from_type(Py_TYPE(self));
        return Py_NewRef(c.name(N_start));
    });
}

// Calling a worker runs self.start(), looked up on the instance so that an override is honoured:
// the worker itself is its thread's target, which costs a waiting task no bound method.
PyObject* worker_call(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Py_ssize_t given = PyTuple_GET_SIZE(args) + (kwargs ? PyDict_GET_SIZE(kwargs) : 0);
        if (given > 0) {
            PyErr_Format(PyExc_TypeError, "_Worker.__call__() takes 1 positional argument but %zd were given",
                         given + 1);
            throw PyErrSet{};
        }
        Ctx c = ctx_from_type(Py_TYPE(self));
        return call_method(self, c.name(N_start)).release();
    });
}

PyMethodDef worker_methods[] = {
    {"start", cfunction(worker_start),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "start($self, /)\n--\n\n"
     "Runs the task in the calling thread and records its outcome.\n\n"
     "Sets the entry's status to \"运行中\" and calls the store's func with kwargs. Then records the\n"
     "run time (min_time, max_time, all_time, in milliseconds), the result when the store's reserve\n"
     "is true (the return value, or the exception raised), the status \"完成\" or \"失败\", the name\n"
     "in success or failed (a result matching the break result counts as failed) and last in dones.\n"
     "Any exception of the function, BaseException included, is its outcome and is not raised. A\n"
     "task stopped meanwhile is left as the stop recorded it. Returns None."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef worker_members[] = {
    {"var", Py_T_OBJECT_EX, offsetof(WorkerObject, var), 0, "The manager's state store (brixel_var)."},
    {"brixel_name", Py_T_OBJECT_EX, offsetof(WorkerObject, name), 0, "The task's name, the key of its entry."},
    {"_log", Py_T_OBJECT_EX, offsetof(WorkerObject, log), 0, "The manager's logger (brixel_log)."},
    {nullptr, 0, 0, 0, nullptr},
};

// The instance `__dict__`, as a plain class has it (the managed dict alone has no descriptor).
PyGetSetDef worker_getset[] = {
    {"kwargs", worker_get_kwargs, worker_set_kwargs,
     "The task's keyword arguments, as a dict: the arguments start() calls the task function with.", nullptr},
    {"__name__", worker_get_name, nullptr, "The name a thread takes after this worker as its target: 'start'.",
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "dictionary for instance variables", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot worker_slots[] = {
    {Py_tp_doc, const_cast<char*>("_Worker(brixel_var, brixel_name, brixel_log, **kwargs)\n--\n\n"
                                  "Runs one task: the worker is the target of the task's thread, and calling it "
                                  "runs start().\n\n"
                                  "brixel_var is the manager's state store, brixel_name the task's name and\n"
                                  "brixel_log the manager's logger; the other keyword arguments are the task\n"
                                  "function's (the attribute kwargs). A manager builds one per task as it is\n"
                                  "submitted. Calling the worker, with no arguments, runs self.start() looked\n"
                                  "up on the instance, so a subclass's start is honoured.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(worker_init)},
    {Py_tp_call, reinterpret_cast<void*>(worker_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(worker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(worker_clear)},
    {Py_tp_methods, worker_methods},
    {Py_tp_members, worker_members},
    {Py_tp_getset, worker_getset},
    {0, nullptr},
};

PyType_Spec worker_spec = {
    "threads_main._Worker",
    sizeof(WorkerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT
        | Py_TPFLAGS_MANAGED_WEAKREF,
    worker_slots,
};

}  // namespace

PyObject* create_worker_type(PyObject* module) noexcept
{
    return PyType_FromModuleAndSpec(module, &worker_spec, nullptr);
}

}  // namespace threads_main
