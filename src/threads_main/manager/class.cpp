// The manager class: its methods in the order the class defines them, its slots, and the pieces
// only Python code can make (the generator of `_thread_list_yield`, the snapshot class of the
// summary lines). Every method is a METH_METHOD | METH_FASTCALL | METH_KEYWORDS function
// implemented in the room of its subsystem; the static `_async_raise` is bound to the module.
#include "manager/manager.hpp"

#include "control/control.hpp"
#include "dispatch/dispatch.hpp"
#include "state.hpp"
#include "monitor/monitor.hpp"
#include "native/native.hpp"
#include "submit/submit.hpp"
#include "support/call.hpp"

namespace threads_main {

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
    {"_get_errors", cfunction(manager_get_errors), method_flags,
     "_get_errors($self, /)\n--\n\n"
     "The causes of the batch's failures, most frequent first: a list of dicts with 'error' (the\n"
     "exception's type and message, or 'result == <repr>' for a break-result match), 'count',\n"
     "'first' and 'last' (seconds since the first dispatch) and 'example' (one task name). At most\n"
     "100 causes are kept; later ones are counted in a last entry, '(other causes)'."},
    {"_get_run_info", cfunction(manager_get_run_info), method_flags,
     "_get_run_info($self, /)\n--\n\n"
     "The run's set-up as a dict: 'function' (the task function's qualified name), 'max_workers',\n"
     "'dispatch', 'duration', and 'started' and 'ended' (seconds since the epoch of the batch's first\n"
     "dispatch and of its last finished task, or None)."},
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
