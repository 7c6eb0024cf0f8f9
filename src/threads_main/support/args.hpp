// Binding of vectorcall arguments to named parameters, with the interpreter's own error messages.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <vector>

#include "support/error.hpp"
#include "support/ref.hpp"

namespace threads_main {

// The parameters of one callable, after `self`: every parameter may be given by position or by
// keyword; the first `required` have no default. With `varkw`, unknown keywords are collected
// into a new dict instead of being refused.
struct Signature {
    const char* fname;
    std::initializer_list<const char*> names;
    Py_ssize_t required = 0;
    bool varkw = false;
    // True for methods: a keyword "self" is refused as a second value for the instance, as the
    // interpreter does for a def.
    bool has_self = true;
};

// The unknown keywords of a `varkw` signature as the call passed them, without building a dict:
// their names (the call's own tuple when every keyword was unknown, an empty tuple when none was,
// else a new tuple) and their values (borrowed from the call's arguments).
struct RestKeywords {
    Ref names;
    PyObject* const* values = nullptr;
    std::vector<PyObject*> picked;  // the values, when they are not contiguous in the call
};

// Fills `out` (borrowed references, null for parameters not given) and, for a `varkw` signature,
// `extra` (a new dict, or empty when no unknown keyword was given). Throws PyErrSet with a
// TypeError on bad arguments.
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, Ref* extra = nullptr);

// The same binding, for a `varkw` signature, with the unknown keywords kept as `rest`.
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, RestKeywords& rest);

}  // namespace threads_main
