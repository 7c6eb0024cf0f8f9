// Module entry: creation and execution of the module, its state's traversal and clearing, the
// ManagerError class and the registration of the classes.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include <pthread.h>

#include "brixel_var_api.h"
#include "dispatch/dispatch.hpp"
#include "manager/manager.hpp"
#include "metrics/raw.hpp"
#include "native/native.hpp"
#include "state.hpp"
#include "support/call.hpp"
#include "support/exit.hpp"
#include "support/run.hpp"
#include "worker/worker.hpp"

namespace threads_main {

namespace {

// The module's classes and state are tied to the interpreter that loaded it first.
std::atomic<int64_t> owner_interpreter{-1};
// Set once the module has been executed successfully in that interpreter.
std::atomic<bool> executed{false};

const char* const status_text[S_COUNT] = {"待运行", "运行中", "完成", "失败", "取消", "停止"};

// Imports `module` and binds it, or its attribute `attr`, in the namespace under `as`.
int import_into(PyObject* target, const char* module, const char* attr, const char* as) noexcept
{
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) {
        return -1;
    }
    // PyModule_Add takes the reference, and fails on a NULL value with its error in place.
    PyObject* value = attr ? PyObject_GetAttrString(imported.get(), attr) : imported.release();
    return PyModule_Add(target, as, value);
}

// In a child process after a fork: the locks of ours that another thread of the parent may have
// held are put back.
PyObject* after_fork_in_child(PyObject*, PyObject*) noexcept
{
    worker_after_fork();
    Py_RETURN_NONE;
}

PyMethodDef after_fork_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

// os.register_at_fork(after_in_child=...)
int register_after_fork() noexcept
{
    Ref hook = Ref::steal(PyCFunction_New(&after_fork_def, nullptr));
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!hook || !os) {
        return -1;
    }
    Ref reg = Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "after_in_child", hook.get()));
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!reg || !kwargs || !empty) {
        return -1;
    }
    Ref done = Ref::steal(PyObject_Call(reg.get(), empty.get(), kwargs.get()));
    return done ? 0 : -1;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept
{
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        return nullptr;
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter "
                        "per process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

// Keeps the main thread's identifier for the error paths (support/error.hpp), and the forking
// thread's in a child, which becomes its main thread there.
int note_main_thread(PyObject* threading) noexcept
{
    Ref main = Ref::steal(PyObject_CallMethod(threading, "main_thread", nullptr));
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (!ident || (value == static_cast<unsigned long>(-1) && PyErr_Occurred())) {
        return -1;
    }
    main_thread_ident.store(value, std::memory_order_relaxed);
    static std::once_flag registered;
    std::call_once(registered, [] {
        (void)pthread_atfork(nullptr, nullptr, [] {
            main_thread_ident.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        });
    });
    return 0;
}

int module_exec(PyObject* module) noexcept
{
    if (executed.load()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'threads_main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    ModuleState* st = state_of(module);
    for (int n = 0; n < N_COUNT; ++n) {
        st->names[n] = PyUnicode_InternFromString(name_text(static_cast<Name>(n)));
        if (!st->names[n]) {
            return -1;
        }
    }
    for (int s = 0; s < S_COUNT; ++s) {
        st->status[s] = PyUnicode_InternFromString(status_text[s]);
        if (!st->status[s]) {
            return -1;
        }
    }
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return -1;
    }
    st->builtins = Py_NewRef(PyModule_GetDict(builtins.get()));

    Ref queue_module = Ref::steal(PyImport_ImportModule("queue"));
    if (!queue_module) {
        return -1;
    }
    st->queue_empty = PyObject_GetAttrString(queue_module.get(), "Empty");
    st->time_module = PyImport_ImportModule("time");
    st->time_time = st->time_module ? PyObject_GetAttrString(st->time_module, "time") : nullptr;
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref thread_class = threading ? Ref::steal(PyObject_GetAttrString(threading.get(), "Thread")) : Ref();
    if (!thread_class || note_main_thread(threading.get()) < 0) {
        return -1;
    }
    st->thread_name = PyObject_GetAttrString(thread_class.get(), "name");
    st->poll_period = PyFloat_FromDouble(0.01);
    st->zero = PyLong_FromLong(0);
    st->kw_target = PyTuple_Pack(1, st->names[N_target]);
    st->kw_target_args = PyTuple_Pack(2, st->names[N_target], st->names[N_args]);
    st->kw_value = PyTuple_Pack(1, st->names[N_value]);
    if (!st->queue_empty || !st->time_time || !st->thread_name || !st->poll_period || !st->zero || !st->kw_target
        || !st->kw_target_args || !st->kw_value) {
        return -1;
    }

    // The namespace, in import order.
    if (import_into(module, "ctypes", nullptr, "ctypes") < 0 || import_into(module, "inspect", nullptr, "inspect") < 0
        || import_into(module, "os", nullptr, "os") < 0 || import_into(module, "threading", nullptr, "threading") < 0
        || import_into(module, "time", nullptr, "time") < 0
        || import_into(module, "multiprocessing", "Queue", "Queue") < 0
        || import_into(module, "multiprocessing", "Lock", "Lock") < 0
        || import_into(module, "threading", "Thread", "Thread") < 0
        || import_into(module, "brixel_log", "BrixelLog", "BrixelLog") < 0
        || import_into(module, "brixel_var", "BrixelVar", "BrixelVar") < 0) {
        return -1;
    }
    st->store_api = static_cast<const BrixelVarApi*>(PyCapsule_Import(BRIXEL_VAR_API_CAPSULE, 0));
    if (!st->store_api) {
        return -1;
    }
    st->store_type = Py_NewRef(reinterpret_cast<PyObject*>(st->store_api->store_type));

    PyObject* manager = create_manager_type(module);
    if (!manager) {
        return -1;
    }
    st->manager_type = reinterpret_cast<PyTypeObject*>(manager);
    if (PyModule_AddObjectRef(module, "BrixelThreadsMain", manager) < 0) {
        return -1;
    }
    PyObject* worker = create_worker_type(module);
    if (!worker) {
        return -1;
    }
    st->worker_type = reinterpret_cast<PyTypeObject*>(worker);
    if (PyModule_AddObjectRef(module, "_Worker", worker) < 0) {
        return -1;
    }
    st->eager_queue_type = create_eager_queue_type(module);
    if (!st->eager_queue_type) {
        return -1;
    }
    st->manager_error = PyErr_NewExceptionWithDoc(
        "threads_main.ManagerError",
        "Raised by a task manager: closed manager, refused stop, broken close.\n\n"
        "Its message is \"The manager has stopped\" for an operation on a closed manager,\n"
        "\"Stop thread error\" for a stop request the interpreter refused, and \"Close error：\"\n"
        "followed by the text of the first error that a close met. A manager used in a child process\n"
        "after a fork raises it too.",
        PyExc_Exception, nullptr);
    if (!st->manager_error) {
        return -1;
    }
    if (PyModule_AddObjectRef(module, "ManagerError", st->manager_error) < 0) {
        return -1;
    }
    if (add_latency_functions(module) < 0 || register_after_fork() < 0 || watch_process_id() < 0
        || install_stop_hook() < 0 || watch_namespaces(module) < 0 || park_threads_ended_at_exit() < 0) {
        return -1;
    }
    executed.store(true);
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg)
{
    ModuleState* st = state_of(module);
    if (!st) {
        return 0;
    }
    Py_VISIT(st->manager_type);
    Py_VISIT(st->worker_type);
    Py_VISIT(st->eager_queue_type);
    Py_VISIT(st->manager_error);
    Py_VISIT(st->builtins);
    Py_VISIT(st->async_raise);
    Py_VISIT(st->check_while);
    Py_VISIT(st->send);
    Py_VISIT(st->thread_list_yield);
    Py_VISIT(st->run_snapshot_type);
    Py_VISIT(st->queue_empty);
    Py_VISIT(st->time_module);
    Py_VISIT(st->time_time);
    Py_VISIT(st->thread_name);
    Py_VISIT(st->poll_period);
    Py_VISIT(st->zero);
    Py_VISIT(st->kw_target);
    Py_VISIT(st->kw_target_args);
    Py_VISIT(st->kw_value);
    Py_VISIT(st->rest_from);
    Py_VISIT(st->rest_names);
    Py_VISIT(st->store_type);
    return 0;
}

int module_clear(PyObject* module)
{
    ModuleState* st = state_of(module);
    if (!st) {
        return 0;
    }
    Py_CLEAR(st->manager_type);
    Py_CLEAR(st->worker_type);
    Py_CLEAR(st->eager_queue_type);
    Py_CLEAR(st->manager_error);
    Py_CLEAR(st->builtins);
    Py_CLEAR(st->async_raise);
    Py_CLEAR(st->check_while);
    Py_CLEAR(st->send);
    Py_CLEAR(st->thread_list_yield);
    Py_CLEAR(st->run_snapshot_type);
    Py_CLEAR(st->queue_empty);
    Py_CLEAR(st->time_module);
    Py_CLEAR(st->time_time);
    Py_CLEAR(st->thread_name);
    Py_CLEAR(st->poll_period);
    Py_CLEAR(st->zero);
    Py_CLEAR(st->kw_target);
    Py_CLEAR(st->kw_target_args);
    Py_CLEAR(st->kw_value);
    Py_CLEAR(st->rest_from);
    Py_CLEAR(st->rest_names);
    Py_CLEAR(st->store_type);
    st->store_api = nullptr;
    for (auto& n : st->names) {
        Py_CLEAR(n);
    }
    for (auto& s : st->status) {
        Py_CLEAR(s);
    }
    return 0;
}

void module_free(void* module)
{
    if (ModuleState* st = state_of(static_cast<PyObject*>(module))) {
        unwatch_namespaces(st);
    }
    module_clear(static_cast<PyObject*>(module));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // The module refuses a second interpreter itself, with its own message; declaring support here
    // lets an isolated subinterpreter's import reach that check.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "Run one task function many times in parallel on interpreter threads.\n\n"
             "BrixelThreadsMain(func, max_workers=None, ...) builds a task manager; submit keyword-argument "
             "sets with _send or _send_list, wait with _join or _join_property, read the outcome with the "
             "status and result queries, and close the manager with _close.\n\n"
             "The functions histogram_from_times, merge_histograms, histogram_latency, record_runs and\n"
             "merge_errors build, combine and read the run-time figures of several managers (threads,\n"
             "processes or machines) as one manager's.");

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "threads_main",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace threads_main

PyMODINIT_FUNC PyInit_threads_main(void) { return PyModuleDef_Init(&threads_main::module_def); }
