// The methods of the manager class, one function each, declared in the order the class defines
// them. Every method is a METH_METHOD | METH_FASTCALL | METH_KEYWORDS function; the static
// `_async_raise` is a METH_FASTCALL | METH_KEYWORDS function bound to the module, and the static
// generator `_thread_list_yield` is Python code made in manager.cpp. All are noexcept and
// return a new reference, or NULL with an exception set; the interpreter lock is held.
#pragma once

#include <Python.h>

namespace threads_main {

using MethodFn = PyObject*(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
using StaticFn = PyObject*(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

int manager_init(PyObject* self, PyObject* args, PyObject* kwargs);
MethodFn manager_start;
MethodFn manager_send;
MethodFn manager_send_list_thread;
MethodFn manager_send_list;
MethodFn manager_join_log;
MethodFn manager_join_property_log;
MethodFn manager_join;
MethodFn manager_join_property;
MethodFn manager_stop;
MethodFn manager_stop_all;
MethodFn manager_clear_queue;
MethodFn manager_clear_record;
MethodFn manager_close;
MethodFn manager_done;
MethodFn manager_get_qsize;
MethodFn manager_get_status;
MethodFn manager_get_all_status;
MethodFn manager_get_run_status;
MethodFn manager_get_result;
MethodFn manager_get_all_result;
MethodFn manager_get_failed_result;
MethodFn manager_get_failed;
MethodFn manager_rerun_failed;
MethodFn manager_set_max_workers;
MethodFn manager_is_close;
MethodFn manager_is_run;
MethodFn manager_check_while;
MethodFn manager_stop_action;
MethodFn manager_check_max_workers;
MethodFn manager_queue_init;
MethodFn manager_consumer;
StaticFn manager_async_raise;
MethodFn manager_enter;
MethodFn manager_exit;
MethodFn manager_get_latency;
MethodFn manager_get_timeline;
MethodFn manager_get_histogram;
MethodFn manager_write_report;

// Creates the manager class for `module` (a new reference, or NULL with an exception set).
PyObject* create_manager_type(PyObject* module) noexcept;
// Creates the worker class for `module` (a new reference, or NULL with an exception set).
PyObject* create_worker_type(PyObject* module) noexcept;

}  // namespace threads_main
