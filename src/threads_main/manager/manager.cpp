// The manager object's construction and its end, the worker-limit policy and the open check.
#include "manager/manager.hpp"

#include <new>
#include <utility>

#include "dispatch/dispatch.hpp"
#include "state.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"

namespace threads_main {

namespace {

// The largest worker limit the policy hands out without `maximum`.
constexpr long worker_cap = 30;

// The limit for a request that gives none: processors + 4, capped.
Ref default_workers(const Ctx& c)
{
    Ref os = c.global(N_os);
    Ref cpus = call_method(os.get(), c.name(N_cpu_count));
    if (!truthy(cpus.get())) {
        cpus = require(PyLong_FromLong(1));
    }
    Ref four = require(PyLong_FromLong(4));
    Ref wanted = require(PyNumber_Add(cpus.get(), four.get()));
    Ref cap = require(PyLong_FromLong(worker_cap));
    if (require_int(PyObject_RichCompareBool(cap.get(), wanted.get(), Py_LT))) {
        return cap;
    }
    return wanted;
}

// The task function's qualified name, or its repr when it has none.
Ref function_name(const Ctx& c, PyObject* func)
{
    Ref name = Ref::steal(PyObject_GetAttr(func, c.name(N___qualname__)));
    if (!name && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        throw PyErrSet{};
    }
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = require(PyObject_Repr(func));
    }
    return name;
}

// An async function would make each task a coroutine that nothing ever runs: every task would count
// as completed without having done anything. Throws TypeError for one.
void refuse_coroutine_function(const Ctx& c, PyObject* func)
{
    Ref inspect = c.global(N_inspect);
    if (!truthy(call_method(inspect.get(), c.name(N_iscoroutinefunction), func).get())) {
        return;
    }
    Ref name = function_name(c, func);
    PyErr_Format(PyExc_TypeError,
                 "the task function %U is a coroutine function: tasks run on threads, and nothing would await "
                 "it. Give a plain function (one that calls asyncio.run on it, for example)",
                 name.get());
    throw PyErrSet{};
}

// A generator function's tasks each only make a generator, whose body runs when something iterates
// it; the task counts as completed meanwhile. A caller may want the generators themselves as results,
// so it is said (RuntimeWarning, at the constructor's caller), not refused.
void warn_of_generator_function(const Ctx& c, PyObject* func)
{
    Ref inspect = c.global(N_inspect);
    const char* kind = nullptr;
    if (truthy(call_method(inspect.get(), c.name(N_isgeneratorfunction), func).get())) {
        kind = "a generator function";
    } else if (truthy(call_method(inspect.get(), c.name(N_isasyncgenfunction), func).get())) {
        kind = "an asynchronous generator function";
    } else {
        return;
    }
    Ref name = function_name(c, func);
    require_int(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "the task function %U is %s: each task only makes a generator, and its body "
                                 "runs only when something iterates it",
                                 name.get(), kind));
}

// A duration is None or a number of seconds, 0 or more, tested the way the timed loop uses it (added
// to a clock reading). A negative or NaN one would close the window before it opens: nothing would
// be sent, and a join would wait for tasks that never come.
void check_duration(PyObject* duration)
{
    if (duration == Py_None) {
        return;
    }
    Ref zero = require(PyFloat_FromDouble(0.0));
    // Added to a clock reading as the run goes, so it must add up to a real number of seconds: a
    // complex number does not, and an int too large for a float would fail the sending loop at its
    // first pass.
    Ref sum = Ref::steal(PyNumber_Add(zero.get(), duration));
    if (!sum && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "duration is too large to be a number of seconds");
        throw PyErrSet{};
    }
    if (!sum || PyComplex_Check(sum.get())) {
        if (!sum && !PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw PyErrSet{};
        }
        PyErr_Clear();
        Ref type_name = require(PyType_GetName(Py_TYPE(duration)));
        PyErr_Format(PyExc_TypeError, "duration must be a number of seconds or None, not %U", type_name.get());
        throw PyErrSet{};
    }
    double seconds = PyFloat_AsDouble(sum.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        throw PyErrSet{};
    }
    if (!(seconds >= 0)) {
        PyErr_Format(PyExc_ValueError, "duration must be 0 or more seconds, not %R", duration);
        throw PyErrSet{};
    }
}

}  // namespace

PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept
{
    Ref self = Ref::steal(PyType_GenericNew(type, args, kwargs));
    if (!self) {
        return nullptr;
    }
    auto* manager = as_manager(self.get());
    manager->wake = new (std::nothrow) Wake;
    manager->core = ManagerCore::create();
    if (!manager->wake || !manager->core) {
        return PyErr_NoMemory();
    }
    manager->pid = current_process_id();
    return self.release();
}

void manager_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ManagerObject* manager = as_manager(self);
    dispatch_forget(self);
    delete std::exchange(manager->wake, nullptr);
    if (ManagerCore* core = std::exchange(manager->core, nullptr)) {
        core->release();
    }
    if (Run* control = std::exchange(manager->control, nullptr)) {
        run_release(control);
    }
    PyObject_ClearWeakRefs(self);
    PyObject_ClearManagedDict(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int manager_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_manager(self)->eager);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int manager_clear(PyObject* self) noexcept
{
    PyObject_ClearManagedDict(self);
    return 0;
}

int manager_init(PyObject* self, PyObject* args, PyObject* kwargs)
{
    return boundary(-1, [&] {
        static const char* kwlist[] = {"func", "max_workers", "maximum", "logfile", "logger", "reserve", "duration",
                                       "dispatch", nullptr};
        PyObject* func = nullptr;
        PyObject* max_workers = Py_None;
        PyObject* maximum = Py_False;
        PyObject* logfile = Py_False;
        PyObject* logger = Py_False;
        PyObject* reserve = Py_True;
        PyObject* duration = Py_None;
        PyObject* dispatch = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOOOO$O:BrixelThreadsMain", const_cast<char**>(kwlist),
                                         &func, &max_workers, &maximum, &logfile, &logger, &reserve, &duration,
                                         &dispatch)) {
            throw PyErrSet{};
        }
        bool eager = false;
        if (dispatch) {
            eager = PyUnicode_Check(dispatch) && PyUnicode_EqualToUTF8(dispatch, "eager");
            if (!eager && !(PyUnicode_Check(dispatch) && PyUnicode_EqualToUTF8(dispatch, "paced"))) {
                PyErr_Format(PyExc_ValueError, "dispatch must be 'paced' or 'eager', not %R", dispatch);
                throw PyErrSet{};
            }
        }
        Ctx c = ctx_from_type(Py_TYPE(self));
        refuse_coroutine_function(c, func);
        warn_of_generator_function(c, func);
        check_duration(duration);

        // 1. The logger.
        Ref title = require(PyUnicode_FromString("BrixelThreads"));
        Ref log_class = c.global(N_BrixelLog);
        Ref log = call_kw(log_class.get(), {},
                          {{c.name(N_title), title.get()}, {c.name(N_file), logfile}, {c.name(N_control), logger}});
        setattr(self, c.name(N__log), log.get());

        // 2. The store, with its queue and lock.
        // An eager manager's queue is its own in-process FIFO; a paced one's comes from `Queue`.
        Ref queue = new_task_queue(c, self, eager);
        Ref lock_class = c.global(N_Lock);
        Ref lock = call(lock_class.get());
        Ref var_class = c.global(N_BrixelVar);
        Ref var = call_kw(var_class.get(), {},
                          {{c.name(N_func), func},
                           {c.name(N_queue), queue.get()},
                           {c.name(N_lock), lock.get()},
                           {c.name(N_reserve), reserve},
                           {c.name(N_duration), duration}});
        setattr(self, c.name(N__var), var.get());

        // 3. The remaining fields, group by group.
        Ref add = getattr(var.get(), c.name(N_add));
        Ref threads = call(var_class.get());
        Ref one = require(PyLong_FromLong(1));
        call_kw(add.get(), {},
                {{c.name(N_switch), Py_True},
                 {c.name(N_stop_switch), Py_False},
                 {c.name(N_threads), threads.get()},
                 {c.name(N_is_run), Py_False},
                 {c.name(N_done), Py_False},
                 {c.name(N_name), one.get()}});
        Ref zero = require(PyLong_FromLong(0));
        call_kw(add.get(), {},
                {{c.name(N_min_time), zero.get()}, {c.name(N_max_time), zero.get()}, {c.name(N_all_time), zero.get()}});
        Ref totals = require(PyList_New(0)), runs = require(PyList_New(0)), stops = require(PyList_New(0)),
            cancels = require(PyList_New(0));
        call_kw(add.get(), {},
                {{c.name(N_totals), totals.get()},
                 {c.name(N_runs), runs.get()},
                 {c.name(N_stops), stops.get()},
                 {c.name(N_cancels), cancels.get()}});
        Ref dones = require(PyList_New(0)), success = require(PyList_New(0)), failed = require(PyList_New(0));
        call_kw(add.get(), {},
                {{c.name(N_dones), dones.get()}, {c.name(N_success), success.get()}, {c.name(N_failed), failed.get()}});
        Ref start_time = require(PyList_New(0)), end_time = require(PyList_New(0));
        call_kw(add.get(), {}, {{c.name(N_start_time), start_time.get()}, {c.name(N_end_time), end_time.get()}});

        // 4. The worker limit, and 5. the control thread.
        call_method(self, c.name(N__check_max_workers), max_workers, maximum);
        try {
            call_method(self, c.name(N__start));
        }
        catch (const PyErrSet&) {
            // The control thread may be running already (a Ctrl-C in start()'s wait for it, or a
            // Thread class that fails once it has started it), and the caller gets no manager to
            // close: it is stopped here, or the process could never exit.
            {
                SavedError keep;
                try {
                    set_field(c, var.get(), N_switch, Py_False);
                }
                catch (const PyErrSet&) {
                    // left for `keep` to report
                }
                dispatch_close(self);
            }
            throw;
        }
        return 0;
    });
}

PyObject* manager_check_max_workers(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[2];
        bind_args({"_check_max_workers", {"max_workers", "maximum"}, 2}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        PyObject* max_workers = a[0];
        Ref limit;
        if (truthy(a[1])) {
            limit = Ref::borrow(max_workers);
        } else if (PyLong_Check(max_workers)) {
            Ref zero = require(PyLong_FromLong(0));
            if (require_int(PyObject_RichCompareBool(max_workers, zero.get(), Py_GT))) {
                Ref cap = require(PyLong_FromLong(worker_cap));
                bool above = require_int(PyObject_RichCompareBool(max_workers, cap.get(), Py_GT));
                limit = above ? std::move(cap) : Ref::borrow(max_workers);
            }
        }
        if (!limit) {
            limit = default_workers(c);
        }
        Ref var = manager_var(c, self);
        Ref add = getattr(var.get(), c.name(N_add));
        call_kw(add.get(), {}, {{c.name(N_max_workers), limit.get()}});
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_set_max_workers(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[2];
        bind_args({"_set_max_workers", {"workers_number", "maximum"}, 0}, args, nargs, kwnames, a);
        PyObject* workers_number = a[0] ? a[0] : Py_None;
        PyObject* maximum = a[1] ? a[1] : Py_False;
        Ctx c = ctx_from_class(cls);
        call_method(self, c.name(N__check_while));
        call_method(self, c.name(N__check_max_workers), workers_number, maximum);
        // A raised limit takes effect at once for an eager manager; a lowered one lets the running
        // tasks finish.
        dispatch_more(c, self);
        Ref shown = require(PyObject_Format(workers_number, nullptr));
        Ref text = require(PyUnicode_FromFormat("Workers number: %U", shown.get()));
        Ref log = manager_log(c, self);
        log_object(c, log.get(), N_info, text.get());
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_check_while(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_check_while", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        open_check(c, self, var.get());
        return Py_NewRef(Py_None);
    });
}

}  // namespace threads_main
