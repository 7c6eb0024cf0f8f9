// Control and shutdown: the manager's methods that cancel, stop, clear, re-run and close.
#pragma once

#include <Python.h>

#include "state.hpp"
#include "support/call.hpp"

namespace threads_main {

// stop.cpp
MethodFn manager_stop;
MethodFn manager_stop_all;
MethodFn manager_clear_queue;
MethodFn manager_stop_action;
StaticFn manager_async_raise;

// close.cpp
MethodFn manager_clear_record;
MethodFn manager_rerun_failed;
MethodFn manager_close;
MethodFn manager_enter;
MethodFn manager_exit;

// Cancels the names of a closed manager that still wait: with the queue closed and the control loop
// ended, nothing can take them any more.
void cancel_stranded(const Ctx& c, PyObject* self, PyObject* var);

}  // namespace threads_main
