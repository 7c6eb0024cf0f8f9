// The manager class: construction, worker-limit policy, open check and lifecycle flags, and the
// class itself with its methods in their order.
#include <Python.h>

#include "manager/eager.hpp"
#include "manager/methods.hpp"
#include "module.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "support/gil.hpp"
#include "manager/native.hpp"

#include <unistd.h>

#include <chrono>
#include <new>

namespace threads_main {

void wake_control_loop(PyObject* manager) noexcept
{
    Wake* wake = reinterpret_cast<ManagerObject*>(manager)->wake;
    if (!wake) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(wake->mutex);
        wake->signalled = true;
    }
    wake->changed.notify_one();
}

bool wait_while_idle(PyObject* manager, double seconds)
{
    Wake* wake = reinterpret_cast<ManagerObject*>(manager)->wake;
    if (!wake) {
        return true;
    }
    // The mutex is only ever held for a few instructions and never by a thread waiting for the
    // interpreter lock, so taking it with the lock released cannot deadlock.
    return without_gil([wake, seconds] {
        std::unique_lock<std::mutex> hold(wake->mutex);
        bool woken = wake->changed.wait_for(hold, std::chrono::duration<double>(seconds),
                                            [wake] { return wake->signalled; });
        wake->signalled = false;
        return woken;
    });
}

void check_process(const Ctx& c, PyObject* manager)
{
    if (as_manager(manager)->pid != static_cast<long>(getpid())) {
        raise_manager_error(c, "The manager belongs to the process that built it and cannot be used after a fork");
    }
}

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

PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept
{
    Ref self = Ref::steal(PyType_GenericNew(type, args, kwargs));
    if (!self) {
        return nullptr;
    }
    auto* manager = as_manager(self.get());
    manager->wake = new (std::nothrow) Wake;
    manager->runs = RunTable::create();
    if (!manager->wake || !manager->runs) {
        return PyErr_NoMemory();
    }
    manager->pid = static_cast<long>(getpid());
    return self.release();
}

void manager_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ManagerObject* manager = as_manager(self);
    delete std::exchange(manager->wake, nullptr);
    if (RunTable* runs = std::exchange(manager->runs, nullptr)) {
        runs->release();
    }
    if (Run* control = std::exchange(manager->control, nullptr)) {
        run_release(control);
    }
    if (PyObject* queue = std::exchange(manager->eager, nullptr)) {
        forget_manager(queue);
        Py_DECREF(queue);
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

}  // namespace

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

        // 1. The logger.
        Ref title = require(PyUnicode_FromString("BrixelThreads"));
        Ref log_class = c.global(N_BrixelLog);
        Ref log = call_kw(log_class.get(), {},
                          {{c.name(N_title), title.get()}, {c.name(N_file), logfile}, {c.name(N_control), logger}});
        setattr(self, c.name(N__log), log.get());

        // 2. The store, with its queue and lock.
        // An eager manager's queue is its own in-process FIFO; a paced one's comes from `Queue`.
        Ref queue;
        if (eager) {
            queue = new_eager_queue(c, self);
            Py_XSETREF(as_manager(self)->eager, Py_NewRef(queue.get()));
        } else {
            Ref queue_class = c.global(N_Queue);
            queue = call(queue_class.get());
        }
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
        call_method(self, c.name(N__start));
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
        eager_kick(c, self);
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
        check_process(c, self);
        Ref var = manager_var(c, self);
        if (!truthy(field(c, var.get(), N_switch).get())) {
            raise_manager_error(c, "The manager has stopped");
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_is_close(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_is_close", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        return PyBool_FromLong(!truthy(field(c, var.get(), N_switch).get()));
    });
}

PyObject* manager_is_run(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_is_run", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        return field(c, var.get(), N_is_run).release();
    });
}

PyObject* manager_done(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_done", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref var = manager_var(c, self);
        return field(c, var.get(), N_done).release();
    });
}

PyObject* manager_start(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"_start", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        Ref loop = getattr(self, c.name(N__queue_init));
        Ref thread_class = c.global(N_Thread);
        Ref thread = call_kw(thread_class.get(), {}, {{c.name(N_target), loop.get()}});
        Ref var = manager_var(c, self);
        set_field(c, var.get(), N_thread_init, thread.get());
        Ref stored = field(c, var.get(), N_thread_init);
        call_method(stored.get(), c.name(N_start));
        return Py_NewRef(Py_None);
    });
}

namespace {

constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;
constexpr int static_flags = METH_FASTCALL | METH_KEYWORDS;

// The methods in the order the class defines them. The two static methods are bound to the module
// (their docstrings say `$module`) so that they reach module state.
PyMethodDef manager_methods[] = {
    {"_start", cfunction(manager_start), method_flags,
     "_start($self, /)\n--\n\nCreates and starts the control thread."},
    {"_send", cfunction(manager_send), method_flags,
     "_send($self, /, thread_name=None, **kwargs)\n--\n\n"
     "Submits one task: the keyword arguments are the task function's arguments. Returns True."},
    // Written in Python below: a generator needs a code object of its own.
    {"_thread_list_yield", nullptr, static_flags, nullptr},
    {"_send_list_thread", cfunction(manager_send_list_thread), method_flags,
     "_send_list_thread($self, /, thread_list)\n--\n\n"
     "Submits every task of a collection through _send (again and again while a duration lasts)."},
    {"_send_list", cfunction(manager_send_list), method_flags,
     "_send_list($self, /, thread_list)\n--\n\nSubmits a list, set or tuple of tasks on a new sending thread."},
    {"_join_log", cfunction(manager_join_log), method_flags,
     "_join_log($self, /)\n--\n\nLogs the run-status counters."},
    {"_join_property_log", cfunction(manager_join_property_log), method_flags,
     "_join_property_log($self, /, old_result, elapsed_time, start_time)\n--\n\n"
     "Logs the interval and cumulative summary lines; returns the snapshot and time for the next call."},
    {"_join", cfunction(manager_join), method_flags,
     "_join($self, /, break_result='brixel_break')\n--\n\n"
     "Waits until the work is done, logging the counters every second. Returns True."},
    {"_join_property", cfunction(manager_join_property), method_flags,
     "_join_property($self, /, break_result, interval=5)\n--\n\n"
     "Waits like _join, logging summary lines every interval seconds; with a duration, waits for it."},
    {"_stop", cfunction(manager_stop), method_flags,
     "_stop($self, /, thread_name)\n--\n\nStops one running task. Returns True."},
    {"_stop_all", cfunction(manager_stop_all), method_flags,
     "_stop_all($self, /)\n--\n\nCancels the waiting tasks and stops the running ones. Returns True."},
    {"_clear_queue", cfunction(manager_clear_queue), method_flags,
     "_clear_queue($self, /)\n--\n\nTakes every waiting name off the queue as cancelled. Returns True."},
    {"_clear_record", cfunction(manager_clear_record), method_flags,
     "_clear_record($self, /)\n--\n\n"
     "Forgets the task entries and empties the name lists once the manager is done; False otherwise."},
    {"_close", cfunction(manager_close), method_flags,
     "_close($self, /)\n--\n\nShuts the manager down for good. Returns True."},
    {"_done", cfunction(manager_done), method_flags, "_done($self, /)\n--\n\nThe store's done flag."},
    {"_get_qsize", cfunction(manager_get_qsize), method_flags,
     "_get_qsize($self, /)\n--\n\nNumber of names waiting in the queue."},
    {"_get_status", cfunction(manager_get_status), method_flags,
     "_get_status($self, /, thread_name)\n--\n\nOne task's status word, as {name: status}."},
    {"_get_all_status", cfunction(manager_get_all_status), method_flags,
     "_get_all_status($self, /)\n--\n\nEvery task's status word, as {name: status}."},
    {"_get_run_status", cfunction(manager_get_run_status), method_flags,
     "_get_run_status($self, /)\n--\n\nThe seven run counters: total, done, run, success, failed, stop, cancel."},
    {"_get_result", cfunction(manager_get_result), method_flags,
     "_get_result($self, /, thread_name)\n--\n\nOne task's result, as {name: result}."},
    {"_get_all_result", cfunction(manager_get_all_result), method_flags,
     "_get_all_result($self, /)\n--\n\nThe counters and every task's result and status."},
    {"_get_failed_result", cfunction(manager_get_failed_result), method_flags,
     "_get_failed_result($self, /)\n--\n\nThe counters and the failed tasks' results and statuses."},
    {"_get_failed", cfunction(manager_get_failed), method_flags,
     "_get_failed($self, /)\n--\n\nNames of the tasks whose status is failed."},
    {"_rerun_failed", cfunction(manager_rerun_failed), method_flags,
     "_rerun_failed($self, /)\n--\n\nPuts the failed tasks on the queue again. Returns True."},
    {"_set_max_workers", cfunction(manager_set_max_workers), method_flags,
     "_set_max_workers($self, /, workers_number=None, maximum=False)\n--\n\nChanges the worker limit. Returns True."},
    {"_is_close", cfunction(manager_is_close), method_flags,
     "_is_close($self, /)\n--\n\nTrue once the manager is closed."},
    {"_is_run", cfunction(manager_is_run), method_flags, "_is_run($self, /)\n--\n\nThe store's is_run flag."},
    {"_check_while", cfunction(manager_check_while), method_flags,
     "_check_while($self, /)\n--\n\nRaises ManagerError once the manager is closed."},
    {"_stop_action", cfunction(manager_stop_action), method_flags,
     "_stop_action($self, /, thread_name=None)\n--\n\nStops one named task, or every dispatched task."},
    {"_check_max_workers", cfunction(manager_check_max_workers), method_flags,
     "_check_max_workers($self, /, max_workers, maximum)\n--\n\nThe worker-limit policy: stores max_workers."},
    {"_queue_init", cfunction(manager_queue_init), method_flags,
     "_queue_init($self, /)\n--\n\nThe control loop, run on the control thread."},
    {"_consumer", cfunction(manager_consumer), method_flags,
     "_consumer($self, /, thread_name)\n--\n\nDispatches one task."},
    {"_async_raise", cfunction(manager_async_raise), static_flags,
     "_async_raise($module, /, tid, exc_type)\n--\n\nRaises an exception asynchronously in another thread."},
    {"__enter__", cfunction(manager_enter), method_flags,
     "__enter__($self, /)\n--\n\nReturns the manager itself."},
    {"__exit__", cfunction(manager_exit), method_flags,
     "__exit__($self, /, exc_type, exc_value, traceback)\n--\n\n"
     "Closes the manager unless it is closed already; the exception, if any, goes on."},
    {"_get_latency", cfunction(manager_get_latency), method_flags,
     "_get_latency($self, /)\n--\n\n"
     "The batch's task run times: count, then min, mean, p50, p90, p95, p99, p99.9 and max in milliseconds."},
    {"_get_timeline", cfunction(manager_get_timeline), method_flags,
     "_get_timeline($self, /)\n--\n\n"
     "The batch per second since its first dispatch: completed, failed, and run-time p50, p95, p99 and\n"
     "max in milliseconds, one dict per second."},
    {"_get_histogram", cfunction(manager_get_histogram), method_flags,
     "_get_histogram($self, /)\n--\n\n"
     "The raw form of the batch's run-time histogram: plain data that threads_main.merge_histograms\n"
     "combines with other managers' exactly."},
    {"_write_report", cfunction(manager_write_report), method_flags,
     "_write_report($self, /, path)\n--\n\n"
     "Writes the run report: one HTML page with the counters, the latency table and charts over time,\n"
     "or the timeline as CSV for a path ending in .csv. Returns True."},
    {nullptr, nullptr, 0, nullptr},
};

// Plain classes show their instance dictionary as __dict__.
PyGetSetDef manager_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot manager_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "BrixelThreadsMain(func, max_workers=None, maximum=False, logfile=False, logger=False, "
                    "reserve=True, duration=None, *, dispatch='paced')\n--\n\n"
                    "Runs func many times in parallel on interpreter threads, no more than max_workers at a time.")},
    {Py_tp_new, reinterpret_cast<void*>(manager_new)},
    {Py_tp_init, reinterpret_cast<void*>(manager_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(manager_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(manager_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(manager_clear)},
    {Py_tp_getset, manager_getset},
    {0, nullptr},
};

PyType_Spec manager_spec = {
    "threads_main.BrixelThreadsMain",
    sizeof(ManagerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT
        | Py_TPFLAGS_MANAGED_WEAKREF,
    manager_slots,
};

// The pieces of the class that only Python code can make: the generator of the static method
// `_thread_list_yield`, and the dict subclass of the summary-line snapshots, which carries the
// run-time sum of the completed tasks read with the counters.
constexpr const char* python_source = R"(
def _thread_list_yield(thread_list):
    """Yields the elements of a task collection one at a time."""
    for element in thread_list:
        yield element


class RunSnapshot(dict):
    """The run-status counters, and in run_time the completed tasks' run-time sum (ms) read with them."""
    __slots__ = ("run_time",)
)";

// Runs `python_source` in a namespace of its own (the module's stays as it is) and keeps the
// snapshot class in the module state; returns the generator function.
Ref python_pieces(PyObject* module, ModuleState* st)
{
    Ref globals = require(PyDict_New());
    require_int(PyDict_SetItemString(globals.get(), "__builtins__", st->builtins));
    Ref module_name = require(PyModule_GetNameObject(module));
    require_int(PyDict_SetItemString(globals.get(), "__name__", module_name.get()));
    Ref code = require(Py_CompileString(python_source, "<threads_main>", Py_file_input));
    require(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    Ref snapshot = require(PyMapping_GetItemString(globals.get(), "RunSnapshot"));
    Py_XSETREF(st->run_snapshot_type, snapshot.release());
    Ref function = require(PyMapping_GetItemString(globals.get(), "_thread_list_yield"));
    Ref qualname = require(PyUnicode_FromString("BrixelThreadsMain._thread_list_yield"));
    require_int(PyObject_SetAttrString(function.get(), "__qualname__", qualname.get()));
    return function;
}

}  // namespace

PyObject* create_manager_type(PyObject* module) noexcept
{
    return boundary<PyObject*>(nullptr, [&] {
        Ref type = require(PyType_FromModuleAndSpec(module, &manager_spec, nullptr));
        ModuleState* st = state_of(module);
        Ref module_name = require(PyModule_GetNameObject(module));
        for (PyMethodDef* def = manager_methods; def->ml_name; ++def) {
            Ref method;
            if (!def->ml_meth) {
                Ref function = python_pieces(module, st);
                method = require(PyStaticMethod_New(function.get()));
            } else if (def->ml_flags & METH_METHOD) {
                method = require(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), def));
            } else {
                Ref function = require(PyCFunction_NewEx(def, module, module_name.get()));
                if (PyUnicode_EqualToUTF8(st->names[N__async_raise], def->ml_name)) {
                    Py_XSETREF(st->async_raise, Py_NewRef(function.get()));
                }
                method = require(PyStaticMethod_New(function.get()));
            }
            require_int(PyObject_SetAttrString(type.get(), def->ml_name, method.get()));
        }
        return type.release();
    });
}

}  // namespace threads_main
