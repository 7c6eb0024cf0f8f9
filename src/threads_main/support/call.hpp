// Short forms of the calls the module makes on Python objects. Each returns a new reference (or
// a plain value) and throws PyErrSet when the call failed; the interpreter lock is held throughout.
#pragma once

#include <Python.h>

#include <array>
#include <initializer_list>
#include <string>
#include <utility>

#include "support/error.hpp"
#include "support/ref.hpp"

namespace threads_main {

inline Ref getattr(PyObject* obj, PyObject* name) { return require(PyObject_GetAttr(obj, name)); }

inline void setattr(PyObject* obj, PyObject* name, PyObject* value)
{
    require_int(PyObject_SetAttr(obj, name, value));
}

// obj.name(*args), looked up on the object so that overrides and patches win.
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args)
{
    std::array<PyObject*, sizeof...(A) + 1> argv{obj, args...};
    return require(PyObject_VectorcallMethod(name, argv.data(), argv.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             nullptr));
}

// Whether obj.name(...) would call `own`, one of our class's method descriptors: attribute lookup is
// the default one, the type finds that very descriptor, and the instance has no attribute of that
// name. The caller may then run the method's body itself, skipping the call's machinery.
bool calls_own(PyObject* obj, PyObject* name, PyObject* own);

// f(*args)
template <typename... A>
Ref call(PyObject* f, A... args)
{
    std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, args...};
    return require(PyObject_Vectorcall(f, argv.data() + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline bool truthy(PyObject* obj) { return require_int(PyObject_IsTrue(obj)) != 0; }

inline Py_ssize_t length(PyObject* obj)
{
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) {
        throw PyErrSet{};
    }
    return n;
}

// The UTF-8 form of str `text`. Its lone surrogates (what an undecodable byte of a file name
// becomes), which UTF-8 cannot hold, are written as the codec's error handler `errors` says:
// "backslashreplace" keeps the text readable, "surrogatepass" keeps every text apart.
std::string utf8_form(PyObject* text, const char* errors);

inline bool contains(PyObject* container, PyObject* item)
{
    return require_int(PySequence_Contains(container, item)) != 0;
}

inline void append(PyObject* list, PyObject* item)
{
    if (PyList_CheckExact(list)) {
        require_int(PyList_Append(list, item));
    } else {
        require(PyObject_CallMethod(list, "append", "O", item));
    }
}

// The functions of a method table: a method of a class (METH_METHOD | METH_FASTCALL |
// METH_KEYWORDS), and a function bound to the module (METH_FASTCALL | METH_KEYWORDS). Each returns a
// new reference, or NULL with an exception set; the interpreter lock is held.
using MethodFn = PyObject*(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
using StaticFn = PyObject*(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A method table's function pointer for a function of another signature (the flags tell CPython
// which); the detour through void(*)() keeps -Wcast-function-type quiet.
template <typename F>
PyCFunction cfunction(F* fn)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline Ref none() { return Ref::borrow(Py_None); }

// f(*positional, **keywords) with the keyword names given as interned strings.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional,
            std::initializer_list<std::pair<PyObject*, PyObject*>> keywords);

}  // namespace threads_main
