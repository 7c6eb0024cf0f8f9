// The module state's helpers: module-level names looked up at each use, the module state reached
// from a class or a type, and the ManagerError instances the methods raise.
#include "state.hpp"

#include <algorithm>
#include <iterator>

#include "support/call.hpp"

namespace threads_main {

std::uint64_t namespace_changes = 1;

namespace {

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    ++namespace_changes;
    return 0;
}

}  // namespace

int watch_namespaces(PyObject* module)
{
    ModuleState* st = state_of(module);
    int watcher = PyDict_AddWatcher(count_change);
    if (watcher < 0) {
        PyErr_Clear();  // every read looks the name up
        return 0;
    }
    st->namespace_watcher = watcher;
    st->namespace_watched = true;
    if (PyDict_Watch(st->namespace_watcher, PyModule_GetDict(module)) < 0
        || PyDict_Watch(st->namespace_watcher, PyModule_GetDict(st->time_module)) < 0) {
        return -1;
    }
    return 0;
}

void unwatch_namespaces(ModuleState* st)
{
    if (st->namespace_watched && PyDict_ClearWatcher(st->namespace_watcher) < 0) {
        PyErr_Clear();
    }
    st->namespace_watched = false;
}

Ref Ctx::global(Name n) const
{
    bool kept = st->namespace_watched;
    if (kept && st->globals_seen != namespace_changes) {
        std::fill(std::begin(st->globals), std::end(st->globals), nullptr);
        st->globals_seen = namespace_changes;
    }
    if (kept && st->globals[n]) {
        return Ref::borrow(st->globals[n]);
    }
    PyObject* key = name(n);
    PyObject* value = nullptr;
    std::uint64_t seen = namespace_changes;
    if (require_int(PyDict_GetItemRef(PyModule_GetDict(module), key, &value)) == 1) {
        if (kept && namespace_changes == seen) {
            st->globals[n] = value;
        }
        return Ref::steal(value);
    }
    if (require_int(PyDict_GetItemRef(st->builtins, key, &value)) == 1) {
        return Ref::steal(value);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    throw PyErrSet{};
}

Ctx ctx_from_class(PyTypeObject* cls)
{
    PyObject* module = PyType_GetModule(cls);
    if (!module) {
        throw PyErrSet{};
    }
    return Ctx{module, state_of(module)};
}

Ctx ctx_from_type(PyTypeObject* type)
{
    PyObject* module = PyType_GetModuleByDef(type, &module_def);
    if (!module) {
        throw PyErrSet{};
    }
    return Ctx{module, state_of(module)};
}

Ref new_manager_error(const Ctx& c, PyObject* message)
{
    Ref cls = c.global(N_ManagerError);
    Ref error = call(cls.get(), message);
    if (!PyExceptionInstance_Check(error.get())) {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return error;
}

Ref manager_error_in_context(const Ctx& c, PyObject* message)
{
    Ref first = Ref::steal(PyErr_GetRaisedException());
    try {
        Ref error = new_manager_error(c, message);
        PyException_SetContext(error.get(), first.release());
        return error;
    }
    catch (const PyErrSet&) {
        // A failed lookup or construction is raised in its place, still in the first error's context.
        Ref failure = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(failure.get(), first.release());
        PyErr_SetRaisedException(failure.release());
        throw;
    }
}

Ref manager_error_in_context(const Ctx& c, const char* message)
{
    Ref text = require(PyUnicode_FromString(message));
    return manager_error_in_context(c, text.get());
}

void raise_manager_error(const Ctx& c, const char* message)
{
    Ref text = require(PyUnicode_FromString(message));
    Ref error = new_manager_error(c, text.get());
    PyErr_SetRaisedException(error.release());
    throw PyErrSet{};
}

bool pending_is_manager_error(const Ctx& c) noexcept
{
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    bool matches = false;
    try {
        Ref cls = c.global(N_ManagerError);
        matches = PyErr_GivenExceptionMatches(pending.get(), cls.get()) != 0;
    }
    catch (const PyErrSet&) {
        PyErr_Clear();  // no ManagerError to be: the error is not one
    }
    PyErr_SetRaisedException(pending.release());
    return matches;
}

}  // namespace threads_main
