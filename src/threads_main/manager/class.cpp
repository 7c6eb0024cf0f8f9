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
     "_start($self, /)\n--\n\n"
     "Creates and starts the control thread.\n\n"
     "The thread, a Thread whose target is self._queue_init, is stored as the store's thread_init\n"
     "before it starts. The constructor calls this once. Returns None."},
    {"_send", cfunction(manager_send), method_flags,
     "_send($self, /, thread_name=None, **kwargs)\n--\n\n"
     "Submits one task: the keyword arguments are the task function's arguments. Returns True.\n\n"
     "thread_name names the task when it is a non-empty str that no task has; otherwise the name is\n"
     "\"Thread_\" followed by the store's counter (moved on past names in use). The task's entry gets\n"
     "the status \"待运行\" and its name waits in the queue until it is dispatched. Raises\n"
     "ManagerError on a closed manager, and TypeError for a thread_name that is neither a str nor\n"
     "None or for a keyword of the worker's own (brixel_var, brixel_name, brixel_log)."},
    // Written in Python below: a generator needs a code object of its own.
    {"_thread_list_yield", nullptr, static_flags, nullptr},
    {"_send_list_thread", cfunction(manager_send_list_thread), method_flags,
     "_send_list_thread($self, /, thread_list)\n--\n\n"
     "Submits every task of a collection through _send (again and again while a duration lasts).\n\n"
     "Each element of thread_list, taken through self._thread_list_yield, is a mapping of _send's\n"
     "keywords: an optional thread_name and the task's arguments. Without a duration every element\n"
     "is sent once. With one, the whole collection is sent again whenever fewer than 1000 names\n"
     "wait, until the duration has passed, and the call returns only once the manager is closed.\n"
     "This is the body of _send_list's sending thread; called directly it runs in the calling\n"
     "thread. Returns None; errors of _send propagate (a close ends a timed loop quietly)."},
    {"_send_list", cfunction(manager_send_list), method_flags,
     "_send_list($self, /, thread_list)\n--\n\n"
     "Submits a list, set or tuple of tasks on a new sending thread.\n\n"
     "Starts a threading.Thread that runs self._send_list_thread(thread_list) and returns None at\n"
     "once, without waiting for it. The batch is not done until the collection has been sent (with\n"
     "a duration, until the window has passed), so a join begun now waits for all of it. Any other\n"
     "kind of collection (a generator, a dict) is ignored, with a RuntimeWarning: nothing is sent.\n"
     "None is ignored silently. An empty collection on a manager that has had no task warns too\n"
     "(RuntimeWarning): a join would wait for the first task."},
    {"_join_log", cfunction(manager_join_log), method_flags,
     "_join_log($self, /)\n--\n\n"
     "Logs the run-status counters.\n\n"
     "Logs the dict of self._get_run_status() once, at info level. Returns None."},
    {"_join_property_log", cfunction(manager_join_property_log), method_flags,
     "_join_property_log($self, /, old_result, elapsed_time, start_time)\n--\n\n"
     "Logs the interval and cumulative summary lines; returns the snapshot and time for the next call.\n\n"
     "old_result holds the counters at the interval's start (the snapshot an earlier call returned,\n"
     "or any mapping with the keys of _get_run_status()); elapsed_time is the time.time() of the\n"
     "interval's start and start_time that of the join's. When tasks have completed since\n"
     "old_result, logs the \"summary +\" line of the interval and the \"summary =\" line of the whole\n"
     "join at info level and returns (snapshot, now): the counters of this moment, as a dict that\n"
     "also carries the run-time sum, and time.time(). Otherwise logs nothing and returns\n"
     "(old_result, elapsed_time)."},
    {"_join", cfunction(manager_join), method_flags,
     "_join($self, /, break_result='brixel_break')\n--\n\n"
     "Waits until the work is done, logging the counters every second. Returns True.\n\n"
     "A break_result other than 'brixel_break' is stored: a task whose result equals it (or, for a\n"
     "list, set or tuple, is in it) counts as failed while its status stays \"完成\". The wait ends\n"
     "when _done() is true, when the store's stop_switch is set (every task is then stopped with\n"
     "_stop_all) or when the manager is closed. Logs \"Join......\", the counters and\n"
     "\"Join complete\". Raises ManagerError on a closed manager."},
    {"_join_property", cfunction(manager_join_property), method_flags,
     "_join_property($self, /, break_result, interval=5)\n--\n\n"
     "Waits like _join, logging summary lines every interval seconds; with a duration, waits for it.\n\n"
     "break_result is taken as by _join. The two summary lines (_join_property_log) are logged\n"
     "every interval seconds and once more at the end. Without a duration the wait ends as _join's\n"
     "does; with one, when the duration has passed since the call or the manager is closed.\n"
     "Returns True. Raises ManagerError on a closed manager."},
    {"_stop", cfunction(manager_stop), method_flags,
     "_stop($self, /, thread_name)\n--\n\n"
     "Stops one running task. Returns True.\n\n"
     "The task gets the status \"停止\" and its name goes to stops; SystemExit is raised in its\n"
     "thread when the thread next runs task code, and nobody waits for it. A task that has finished\n"
     "is left as it is. Logs \"Stop complete\". Raises ManagerError on a closed manager, and the\n"
     "built-in Exception \"Task <name> does not exist\" for a name that is no task or\n"
     "\"Task <name> not running\" for a task not yet dispatched."},
    {"_stop_all", cfunction(manager_stop_all), method_flags,
     "_stop_all($self, /)\n--\n\n"
     "Cancels the waiting tasks and stops the running ones. Returns True.\n\n"
     "Calls self._clear_queue(), then self._stop_action() for every dispatched task, and logs\n"
     "\"Stop all complete\". Raises ManagerError on a closed manager."},
    {"_clear_queue", cfunction(manager_clear_queue), method_flags,
     "_clear_queue($self, /)\n--\n\n"
     "Takes every waiting name off the queue as cancelled. Returns True.\n\n"
     "Each name taken gets the status \"取消\" and goes to cancels. Logs \"Clear queue......\" and\n"
     "\"Clear queue complete\". It makes no open check (a close calls it)."},
    {"_clear_record", cfunction(manager_clear_record), method_flags,
     "_clear_record($self, /)\n--\n\n"
     "Forgets the task entries and empties the name lists once the manager is done; False otherwise.\n\n"
     "Returns True once the batch is cleared: its entries, its seven name lists and its run times\n"
     "(latency, timeline, failure causes), with done set to False. Returns False, changing nothing,\n"
     "while _done() is false or a task still waits or runs. The name counter and the timing fields\n"
     "min_time, max_time and all_time keep their values."},
    {"_close", cfunction(manager_close), method_flags,
     "_close($self, /)\n--\n\n"
     "Shuts the manager down for good. Returns True.\n\n"
     "Turns the store's switch off, cancels the waiting tasks (_clear_queue), closes the queue, stops\n"
     "the running tasks (_stop_action) and ends the control thread, logging \"Close......\" and\n"
     "\"Close complete\"; it waits for no task. The queries still answer afterwards, while every\n"
     "operation that makes the open check raises ManagerError. Each step is attempted even when\n"
     "one fails; the first failure is then raised as ManagerError(\"Close error：<its text>\").\n"
     "Raises ManagerError(\"The manager has stopped\") when the manager is closed already, or is\n"
     "being closed by another thread at the same time."},
    {"_done", cfunction(manager_done), method_flags,
     "_done($self, /)\n--\n\n"
     "Returns the store's done flag.\n\n"
     "It turns true once every task of the batch has ended (returned, raised, stopped or\n"
     "cancelled) and false again at the next submission. A manager that has had no task since it\n"
     "was built or cleared keeps it false."},
    {"_get_qsize", cfunction(manager_get_qsize), method_flags,
     "_get_qsize($self, /)\n--\n\n"
     "Returns the number of names waiting in the queue.\n\n"
     "Raises ManagerError on a closed manager."},
    {"_get_status", cfunction(manager_get_status), method_flags,
     "_get_status($self, /, thread_name)\n--\n\n"
     "Returns one task's status word, as {thread_name: status}.\n\n"
     "The status is one of \"待运行\", \"运行中\", \"完成\", \"失败\", \"取消\" and \"停止\", or the text\n"
     "\"Task does not exist\" for a name that is no task."},
    {"_get_all_status", cfunction(manager_get_all_status), method_flags,
     "_get_all_status($self, /)\n--\n\n"
     "Returns every task's status word, as {name: status}.\n\n"
     "The names come in the order the tasks were submitted; the dict is new at each call."},
    {"_get_run_status", cfunction(manager_get_run_status), method_flags,
     "_get_run_status($self, /)\n--\n\n"
     "Returns the seven run counters: total, done, run, success, failed, stop, cancel.\n\n"
     "A new dict of task counts: submitted, ended (the function returned or raised), dispatched,\n"
     "succeeded, failed (raised, or a result matching the break result), stopped while running\n"
     "and cancelled while waiting. Tasks running now: run - done - stop."},
    {"_get_result", cfunction(manager_get_result), method_flags,
     "_get_result($self, /, thread_name)\n--\n\n"
     "Returns one task's result, as {thread_name: result}.\n\n"
     "The result is what the task function returned, or the exception it raised; it is None while\n"
     "the task has not finished, or for every task when the manager was built with reserve false.\n"
     "A name that is no task gives the text \"Task does not exist\"."},
    {"_get_all_result", cfunction(manager_get_all_result), method_flags,
     "_get_all_result($self, /)\n--\n\n"
     "Returns the counters and every task's result and status.\n\n"
     "A new dict with the counts total, run, success, failed, stop and cancel (as _get_run_status\n"
     "gives them) and under 'data' a list of {'task': name, 'result': result, 'status': status},\n"
     "one per task, in the order the tasks were submitted."},
    {"_get_failed_result", cfunction(manager_get_failed_result), method_flags,
     "_get_failed_result($self, /)\n--\n\n"
     "Returns the counters and the failed tasks' results and statuses.\n\n"
     "The same dict as _get_all_result(), with only the tasks whose status is \"失败\" under 'data'."},
    {"_get_failed", cfunction(manager_get_failed), method_flags,
     "_get_failed($self, /)\n--\n\n"
     "Returns the names of the tasks whose status is failed.\n\n"
     "A new list of the names whose status is \"失败\", in the order the tasks were submitted. A task\n"
     "whose result matched the break result keeps \"完成\" and is not in it."},
    {"_rerun_failed", cfunction(manager_rerun_failed), method_flags,
     "_rerun_failed($self, /)\n--\n\n"
     "Puts the failed tasks on the queue again. Returns True.\n\n"
     "Every task of _get_failed() runs again with its original keyword arguments; a name already\n"
     "put back is not put twice. Until it runs again a task keeps its status and its place in the\n"
     "name lists; the counters then count both runs. Raises ManagerError on a closed manager."},
    {"_set_max_workers", cfunction(manager_set_max_workers), method_flags,
     "_set_max_workers($self, /, workers_number=None, maximum=False)\n--\n\n"
     "Changes the worker limit. Returns True.\n\n"
     "The limit follows the constructor's policy (_check_max_workers(workers_number, maximum)) and\n"
     "\"Workers number: <workers_number>\" is logged. A lower limit stops no running task; it lets\n"
     "them finish. Raises ManagerError on a closed manager."},
    {"_is_close", cfunction(manager_is_close), method_flags,
     "_is_close($self, /)\n--\n\n"
     "Returns True once the manager is closed, False while it is open."},
    {"_is_run", cfunction(manager_is_run), method_flags,
     "_is_run($self, /)\n--\n\n"
     "Returns the store's is_run flag.\n\n"
     "It is true from a dispatch until the batch has ended (when done turns true)."},
    {"_check_while", cfunction(manager_check_while), method_flags,
     "_check_while($self, /)\n--\n\n"
     "Raises ManagerError once the manager is closed.\n\n"
     "The open check of the operations that must not run on a closed manager: raises\n"
     "ManagerError(\"The manager has stopped\") when the store's switch is off, and a ManagerError\n"
     "too in a child process for a manager its parent built. Returns None."},
    {"_stop_action", cfunction(manager_stop_action), method_flags,
     "_stop_action($self, /, thread_name=None)\n--\n\n"
     "Stops one named task, or every dispatched task.\n\n"
     "With a true thread_name, stops that task; otherwise walks the names in runs. A task still\n"
     "running gets the status \"停止\" and its name goes to stops, and SystemExit is raised in its\n"
     "thread when it next runs task code; a finished task is left as it is. A refused request is\n"
     "logged at debug level (\"Stop error: ...\") and the walk goes on. Returns None."},
    {"_check_max_workers", cfunction(manager_check_max_workers), method_flags,
     "_check_max_workers($self, /, max_workers, maximum)\n--\n\n"
     "Applies the worker-limit policy and stores the limit as the store's max_workers.\n\n"
     "With a true maximum the limit is max_workers as it is. Otherwise an int above 0 is capped at\n"
     "30, and anything else (None, 0, a negative number, a float) gives the number of processors\n"
     "(os.cpu_count(), or 1) + 4, capped at 30. Returns None."},
    {"_queue_init", cfunction(manager_queue_init), method_flags,
     "_queue_init($self, /)\n--\n\n"
     "Runs the control loop until the manager is closed; the body of the control thread.\n\n"
     "Paced, every 10 ms it takes one waiting name while fewer than max_workers tasks run and\n"
     "dispatches it through _consumer, and sets done once nothing waits or runs. Eager, tasks start\n"
     "as they are submitted and the loop only waits for the close. An error of a pass is logged at\n"
     "debug level (\"Run error: ...\") and the loop goes on. Returns None once the loop has ended."},
    {"_consumer", cfunction(manager_consumer), method_flags,
     "_consumer($self, /, thread_name)\n--\n\n"
     "Dispatches one task.\n\n"
     "Under the store's lock, appends thread_name to runs and starts the thread of its entry. The\n"
     "paced control loop calls it for each name it takes. Returns None. When the thread cannot be\n"
     "started the task is recorded as failed and the error propagates."},
    {"_async_raise", cfunction(manager_async_raise), static_flags,
     "_async_raise($module, /, tid, exc_type)\n--\n\n"
     "Raises an exception asynchronously in another thread.\n\n"
     "Asks the interpreter to raise exc_type (an exception class; an instance stands for its\n"
     "class) in the thread whose identifier (threading.get_ident()) is tid, when that thread next\n"
     "runs Python code. Returns None. Raises ManagerError(\"Stop thread error\"), in the context of\n"
     "the cause, when no thread has that identifier, and TypeError when exc_type is no exception."},
    {"__enter__", cfunction(manager_enter), method_flags,
     "__enter__($self, /)\n--\n\nReturns the manager itself."},
    {"__exit__", cfunction(manager_exit), method_flags,
     "__exit__($self, /, exc_type, exc_value, traceback)\n--\n\n"
     "Closes the manager unless it is closed already; the exception, if any, goes on.\n\n"
     "Calls self._close() when self._is_close() is false, and returns None, so an exception of the\n"
     "with block propagates; an error of the close is raised in its context. A close that another\n"
     "thread (a task) won meanwhile is no error: the manager is closed either way."},
    {"_get_latency", cfunction(manager_get_latency), method_flags,
     "_get_latency($self, /)\n--\n\n"
     "Returns the batch's task run times in milliseconds.\n\n"
     "A new dict: count, then min, mean, p50, p90, p95, p99, p99.9 and max, over every task whose\n"
     "function returned or raised (stopped tasks are not counted). Count, min, mean and max are\n"
     "exact; a percentile is within 0.4 % of the sample of that rank."},
    {"_get_timeline", cfunction(manager_get_timeline), method_flags,
     "_get_timeline($self, /)\n--\n\n"
     "Returns the batch per second since its first dispatch, one dict per second.\n\n"
     "Each dict holds 'second' (its row's start, in seconds since the first dispatch), the tasks\n"
     "'completed' and 'failed' in it, and the run-time 'p50', 'p95', 'p99' and 'max' of those tasks\n"
     "in milliseconds. Rows are one second wide for 6 hours, one minute wide for the next 7 days,\n"
     "then one hour wide; an idle second is a row of zeros."},
    {"_get_histogram", cfunction(manager_get_histogram), method_flags,
     "_get_histogram($self, /)\n--\n\n"
     "Returns the raw form of the batch's run-time histogram.\n\n"
     "Plain data that threads_main.merge_histograms combines with other managers' exactly: a new\n"
     "dict with sub_bucket_bits, top_bits, count, min, max and sum (in nanoseconds) and buckets, a\n"
     "list of (index, count) pairs. threads_main.histogram_latency reads its figures."},
    {"_write_report", cfunction(manager_write_report), method_flags,
     "_write_report($self, /, path)\n--\n\n"
     "Writes the run report to path. Returns True.\n\n"
     "One HTML page with the run's set-up, the counters, the latency table, the failures by cause\n"
     "and charts over time; or, for a path ending in .csv, the timeline as CSV, with the failure\n"
     "causes beside it in <stem>.errors.csv. path is a str, bytes or path object. The HTML page\n"
     "needs plotly (the report extra); without it raises ImportError."},
    {"_get_errors", cfunction(manager_get_errors), method_flags,
     "_get_errors($self, /)\n--\n\n"
     "Returns the causes of the batch's failures, most frequent first.\n\n"
     "A new list of dicts with 'error' (the exception's type and message, or 'result == <repr>'\n"
     "for a break-result match), 'count', 'first' and 'last' (seconds since the first dispatch) and\n"
     "'example' (one task name). At most 100 causes are kept; later ones are counted in a last\n"
     "entry, '(other causes)'. The list is empty when no task failed."},
    {"_get_run_info", cfunction(manager_get_run_info), method_flags,
     "_get_run_info($self, /)\n--\n\n"
     "Returns the run's set-up as a dict.\n\n"
     "'function' is the task function's qualified name, 'max_workers' the current worker limit,\n"
     "'dispatch' 'paced' or 'eager', 'duration' the constructor's, and 'started' and 'ended' the\n"
     "seconds since the epoch of the batch's first dispatch and of its last finished task (None\n"
     "until there is one)."},
    {nullptr, nullptr, 0, nullptr},
};

// Plain classes show their instance dictionary as __dict__.
PyGetSetDef manager_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, "dictionary for instance variables", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot manager_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "BrixelThreadsMain(func, max_workers=None, maximum=False, logfile=False, logger=False, "
                    "reserve=True, duration=None, *, dispatch='paced')\n--\n\n"
                    "Runs func many times in parallel on interpreter threads, no more than max_workers at a time.\n\n"
                    "func is the task function: each task calls it with the keyword arguments it was submitted\n"
                    "with (_send, _send_list). max_workers is the limit on tasks running at once: an int above 0,\n"
                    "capped at 30; anything else gives the number of processors + 4, capped at 30; with a true\n"
                    "maximum it is taken as it is. logfile is a path whose file also receives the log lines;\n"
                    "logger is a logging.Logger (or any object with info, debug and warning) that receives them\n"
                    "instead of the \"BrixelThreads\" logger on stderr. reserve keeps each task's result.\n"
                    "duration, in seconds (0 or more; None or 0 for none), makes _send_list send its collection\n"
                    "again and again (at least once) and _join_property wait that long; a negative or NaN one\n"
                    "raises ValueError, one that is not a number TypeError. dispatch is 'paced' (a control loop\n"
                    "starts at most one task every 10 ms, each on a thread of its own) or 'eager' (a task starts\n"
                    "as soon as fewer than max_workers run, on task threads that are kept for the next task);\n"
                    "anything else raises ValueError.\n\n"
                    "The constructor starts the control thread: close the manager with _close(), or use it as\n"
                    "a context manager.")},
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
    """Yields the elements of a task collection one at a time.

    thread_list is any iterable; its elements come in its own order, and it is not copied.
    _send_list_thread takes its elements through this method.
    """
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
                Py_XSETREF(st->thread_list_yield, Py_NewRef(method.get()));
            } else if (def->ml_flags & METH_METHOD) {
                method = require(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), def));
                if (PyUnicode_EqualToUTF8(st->names[N__check_while], def->ml_name)) {
                    Py_XSETREF(st->check_while, Py_NewRef(method.get()));
                } else if (PyUnicode_EqualToUTF8(st->names[N__send], def->ml_name)) {
                    Py_XSETREF(st->send, Py_NewRef(method.get()));
                }
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
