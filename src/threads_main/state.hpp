// Module state and the context every method works in: the module, its state and its names. The
// module's definition itself is in module.cpp, the entry.
#pragma once

#include <Python.h>

#include <cstdint>

#include "names.hpp"
#include "support/error.hpp"
#include "support/ref.hpp"

struct BrixelVarApi;

namespace threads_main {

enum Status : int { S_WAITING, S_RUNNING, S_COMPLETED, S_FAILED, S_CANCELLED, S_STOPPED, S_COUNT };

struct ModuleState {
    PyTypeObject* manager_type;
    PyTypeObject* worker_type;
    PyObject* eager_queue_type;  // the task queue of managers that dispatch eagerly
    PyObject* manager_error;
    PyObject* builtins;        // the interpreter's builtins dict, where module-level lookups fall back
    PyObject* async_raise;     // our own _async_raise function, to tell it from an override
    PyObject* check_while;     // our own _check_while descriptor, likewise
    PyObject* send;            // our own _send descriptor, likewise
    PyObject* thread_list_yield;  // our own _thread_list_yield (the static method), likewise
    PyObject* run_snapshot_type;  // dict subclass of the summary-line snapshots (manager/class.cpp)
    PyObject* queue_empty;     // queue.Empty, raised by a take that finds nothing
    PyObject* time_module;     // the time module and its time function, to tell them from replacements
    PyObject* time_time;
    PyObject* thread_name;     // threading.Thread's own `name` property, to tell it from replacements
    PyObject* poll_period;     // the float 0.01: seconds between two passes of the control loop
    PyObject* zero;            // the int 0
    PyObject* kw_target;       // ("target",): keyword names of Thread(target=...)
    PyObject* kw_target_args;  // ("target", "args")
    PyObject* kw_value;        // ("value",): keyword names of threads.set(name, value=...)
    // The task keyword names last split off a _send call that named its task by keyword: the
    // call's names (rest_from) and the task's share of them (rest_names), handed out again for
    // the next call with the same names so that its worker keeps no tuple of its own.
    PyObject* rest_from;
    PyObject* rest_names;
    // The state store's C interface, and its class (held: it keeps the interface alive).
    const BrixelVarApi* store_api;
    PyObject* store_type;
    PyObject* names[N_COUNT];
    PyObject* status[S_COUNT];
    // Module-level names as last read (borrowed from the namespace), and whether the clock is the
    // time module's own, both kept only while neither the namespace nor the time module changed:
    // a dict watcher counts their changes (namespace_changes), and each answer notes the count it
    // was true for. Nothing is kept unless `namespace_watched` (the interpreter may have had no
    // watcher to give; the state starts zeroed, and 0 is a watcher's id).
    int namespace_watcher;
    bool namespace_watched;
    std::uint64_t globals_seen;
    std::uint64_t clock_seen;
    PyObject* globals[N_COUNT];
};

// Changes seen in the watched namespaces (one module instance per process watches them).
extern std::uint64_t namespace_changes;

// Watches the module's namespace and the time module, for the module-level names and the clock.
int watch_namespaces(PyObject* module);
void unwatch_namespaces(ModuleState* st);

extern PyModuleDef module_def;

inline ModuleState* state_of(PyObject* module)
{
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// What a method needs to reach module state. `module` is borrowed: the defining class keeps the
// module alive for the whole call.
struct Ctx {
    PyObject* module;
    ModuleState* st;

    PyObject* name(Name n) const { return st->names[n]; }
    PyObject* status(Status s) const { return st->status[s]; }

    // A module-level name, looked up in the module namespace at each use and falling back to the
    // builtins, so that callers (and tests) may replace it.
    Ref global(Name n) const;
};

// For methods: the defining class handed to a METH_METHOD function.
Ctx ctx_from_class(PyTypeObject* cls);
// For slots: the first class in the MRO of `type` that this module defined.
Ctx ctx_from_type(PyTypeObject* type);

// ManagerError(message), the class looked up in the module namespace at each use, so that a
// replaced ManagerError is what gets raised; a result that is no exception is a TypeError, as for
// `raise`. A new reference, not raised.
Ref new_manager_error(const Ctx& c, PyObject* message);

// A ManagerError with `message` whose context is the pending exception, which it takes: what raising
// it while that exception is being handled would give. A new reference, not raised.
Ref manager_error_in_context(const Ctx& c, PyObject* message);
Ref manager_error_in_context(const Ctx& c, const char* message);

// Raises ManagerError with `message`; throws PyErrSet.
[[noreturn]] void raise_manager_error(const Ctx& c, const char* message);

// Whether the pending error (left in place) is a ManagerError, as the module namespace names it now.
bool pending_is_manager_error(const Ctx& c) noexcept;

}  // namespace threads_main
