// Monitoring and results: the manager's joins and summary lines, its status, result and flag
// queries, its run-time queries and its report.
#pragma once

#include <Python.h>

#include "support/call.hpp"

namespace threads_main {

// join.cpp
MethodFn manager_join_log;
MethodFn manager_join_property_log;
MethodFn manager_join;
MethodFn manager_join_property;

// queries.cpp
MethodFn manager_get_status;
MethodFn manager_get_all_status;
MethodFn manager_get_run_status;
MethodFn manager_get_result;
MethodFn manager_get_all_result;
MethodFn manager_get_failed_result;
MethodFn manager_get_failed;
MethodFn manager_is_close;
MethodFn manager_is_run;
MethodFn manager_done;
MethodFn manager_get_qsize;

// report.cpp
MethodFn manager_get_latency;
MethodFn manager_get_timeline;
MethodFn manager_get_histogram;
MethodFn manager_write_report;
MethodFn manager_get_errors;
MethodFn manager_get_run_info;

}  // namespace threads_main
