// The module state's helpers: module-level names looked up at each use, the module state reached
// from a class or a type, and the ManagerError instances the methods raise.
#include "state.hpp"

#include "support/call.hpp"

namespace threads_main {

Ref Ctx::global(Name n) const
{
    PyObject* key = name(n);
    PyObject* value = nullptr;
    if (require_int(PyDict_GetItemRef(PyModule_GetDict(module), key, &value)) == 1) {
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

}  // namespace threads_main
