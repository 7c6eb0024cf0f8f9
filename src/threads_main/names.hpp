// Interned names used by the module: store fields, methods called through `self`, module-level
// names and keyword names. Each subsystem keeps its names in its own group.
#pragma once

namespace threads_main {

enum Name : int {
    // store fields
    N_func, N_queue, N_lock, N_reserve, N_duration, N_switch, N_stop_switch, N_threads, N_is_run,
    N_done, N_name, N_min_time, N_max_time, N_all_time, N_totals, N_runs, N_stops, N_cancels,
    N_dones, N_success, N_failed, N_start_time, N_end_time, N_max_workers, N_thread_init,
    N_break_result, N_workers_kept,
    // task entry fields and store operations
    N_thread, N_result, N_status, N_add, N_set_kwargs, N_set, N_get, N_keys, N_items, N_clear,
    N_value, N__worker, N__name,
    // queue, lock, thread and logger operations
    N_put, N_get_nowait, N_qsize, N_empty, N_close, N_acquire, N_release, N_start, N_ident,
    N_is_alive, N_info, N_debug, N_warning, N_join,
    // manager methods called through self
    N__start, N__queue_init, N__consumer, N__get_qsize, N__check_while, N__check_max_workers,
    N__send, N__send_list_thread, N__thread_list_yield, N__join_log, N__join_property_log,
    N__get_run_status, N__done, N__stop_all, N__stop_action, N__clear_queue, N__async_raise,
    N__get_failed, N__is_close, N__close,
    // instance attributes
    N__log, N__var, N_var, N_brixel_name, N_kwargs,
    // module-level names
    N_Thread, N__Worker, N_ManagerError, N_BrixelLog, N_BrixelVar, N_Queue, N_Lock, N_os, N_time,
    N_threading, N_inspect, N_ctypes,
    // functions of standard modules and keyword names
    N_sleep, N_cpu_count, N_gmtime, N_strftime, N_target, N_args, N_title, N_file, N_control,
    N_isclass, N_iscoroutinefunction, N_isgeneratorfunction, N_isasyncgenfunction,
    // keys of the query results, and the builtin the summary lines round with
    N_total, N_run, N_stop, N_cancel, N_task, N_data, N_round,
    // keys of the latency, timeline and histogram forms, and the report writer's names
    N_count, N_min, N_mean, N_p50, N_p90, N_p95, N_p99, N_p99_9, N_max, N_second, N_completed,
    N_sub_bucket_bits, N_top_bits, N_buckets, N_sum, N_histogram, N_timeline, N_brixel_report,
    N_write_report, N_run_status, N_latency,
    // the run-time queries called through self, and the keys of the failure causes and the run's
    // set-up
    N__get_latency, N__get_timeline, N__get_errors, N__get_run_info, N_error, N_first, N_last, N_example,
    N_function, N_dispatch, N_started, N_ended, N_setup, N_errors, N_span, N___qualname__, N_paced, N_eager,
    N_COUNT
};

constexpr const char* name_text(Name n)
{
    switch (n) {
    case N_func: return "func";
    case N_queue: return "queue";
    case N_lock: return "lock";
    case N_reserve: return "reserve";
    case N_duration: return "duration";
    case N_switch: return "switch";
    case N_stop_switch: return "stop_switch";
    case N_threads: return "threads";
    case N_is_run: return "is_run";
    case N_done: return "done";
    case N_name: return "name";
    case N_min_time: return "min_time";
    case N_max_time: return "max_time";
    case N_all_time: return "all_time";
    case N_totals: return "totals";
    case N_runs: return "runs";
    case N_stops: return "stops";
    case N_cancels: return "cancels";
    case N_dones: return "dones";
    case N_success: return "success";
    case N_failed: return "failed";
    case N_start_time: return "start_time";
    case N_end_time: return "end_time";
    case N_max_workers: return "max_workers";
    case N_thread_init: return "thread_init";
    case N_break_result: return "break_result";
    case N_workers_kept: return "_workers";
    case N_thread: return "thread";
    case N_result: return "result";
    case N_status: return "status";
    case N_add: return "add";
    case N_set_kwargs: return "set_kwargs";
    case N_set: return "set";
    case N_get: return "get";
    case N_keys: return "keys";
    case N_items: return "items";
    case N_clear: return "clear";
    case N_value: return "value";
    case N__worker: return "_worker";
    case N__name: return "_name";
    case N_put: return "put";
    case N_get_nowait: return "get_nowait";
    case N_qsize: return "qsize";
    case N_empty: return "empty";
    case N_close: return "close";
    case N_acquire: return "acquire";
    case N_release: return "release";
    case N_start: return "start";
    case N_ident: return "ident";
    case N_is_alive: return "is_alive";
    case N_info: return "info";
    case N_debug: return "debug";
    case N_warning: return "warning";
    case N_join: return "join";
    case N__start: return "_start";
    case N__queue_init: return "_queue_init";
    case N__consumer: return "_consumer";
    case N__get_qsize: return "_get_qsize";
    case N__check_while: return "_check_while";
    case N__check_max_workers: return "_check_max_workers";
    case N__send: return "_send";
    case N__send_list_thread: return "_send_list_thread";
    case N__thread_list_yield: return "_thread_list_yield";
    case N__join_log: return "_join_log";
    case N__join_property_log: return "_join_property_log";
    case N__get_run_status: return "_get_run_status";
    case N__done: return "_done";
    case N__stop_all: return "_stop_all";
    case N__stop_action: return "_stop_action";
    case N__clear_queue: return "_clear_queue";
    case N__async_raise: return "_async_raise";
    case N__get_failed: return "_get_failed";
    case N__is_close: return "_is_close";
    case N__close: return "_close";
    case N__log: return "_log";
    case N__var: return "_var";
    case N_var: return "var";
    case N_brixel_name: return "brixel_name";
    case N_kwargs: return "kwargs";
    case N_Thread: return "Thread";
    case N__Worker: return "_Worker";
    case N_ManagerError: return "ManagerError";
    case N_BrixelLog: return "BrixelLog";
    case N_BrixelVar: return "BrixelVar";
    case N_Queue: return "Queue";
    case N_Lock: return "Lock";
    case N_os: return "os";
    case N_time: return "time";
    case N_threading: return "threading";
    case N_inspect: return "inspect";
    case N_ctypes: return "ctypes";
    case N_sleep: return "sleep";
    case N_cpu_count: return "cpu_count";
    case N_gmtime: return "gmtime";
    case N_strftime: return "strftime";
    case N_target: return "target";
    case N_args: return "args";
    case N_title: return "title";
    case N_file: return "file";
    case N_control: return "control";
    case N_isclass: return "isclass";
    case N_iscoroutinefunction: return "iscoroutinefunction";
    case N_isgeneratorfunction: return "isgeneratorfunction";
    case N_isasyncgenfunction: return "isasyncgenfunction";
    case N_total: return "total";
    case N_run: return "run";
    case N_stop: return "stop";
    case N_cancel: return "cancel";
    case N_task: return "task";
    case N_data: return "data";
    case N_round: return "round";
    case N_count: return "count";
    case N_min: return "min";
    case N_mean: return "mean";
    case N_p50: return "p50";
    case N_p90: return "p90";
    case N_p95: return "p95";
    case N_p99: return "p99";
    case N_p99_9: return "p99.9";
    case N_max: return "max";
    case N_second: return "second";
    case N_completed: return "completed";
    case N_sub_bucket_bits: return "sub_bucket_bits";
    case N_top_bits: return "top_bits";
    case N_buckets: return "buckets";
    case N_sum: return "sum";
    case N_histogram: return "histogram";
    case N_timeline: return "timeline";
    case N_brixel_report: return "brixel_report";
    case N_write_report: return "write_report";
    case N_run_status: return "run_status";
    case N_latency: return "latency";
    case N__get_latency: return "_get_latency";
    case N__get_timeline: return "_get_timeline";
    case N__get_errors: return "_get_errors";
    case N__get_run_info: return "_get_run_info";
    case N_error: return "error";
    case N_first: return "first";
    case N_last: return "last";
    case N_example: return "example";
    case N_function: return "function";
    case N_dispatch: return "dispatch";
    case N_started: return "started";
    case N_ended: return "ended";
    case N_setup: return "setup";
    case N_errors: return "errors";
    case N_span: return "span";
    case N___qualname__: return "__qualname__";
    case N_paced: return "paced";
    case N_eager: return "eager";
    case N_COUNT: break;
    }
    return nullptr;
}

}  // namespace threads_main
