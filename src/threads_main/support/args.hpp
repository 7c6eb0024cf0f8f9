// Binding of vectorcall arguments to named parameters, with the interpreter's own error messages.
#pragma once

#include <Python.h>

#include <initializer_list>

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

// Fills `out` (borrowed references, null for parameters not given) and, for a `varkw` signature,
// `extra` (a new dict, or empty when no unknown keyword was given). Throws PyErrSet with a
// TypeError on bad arguments.
void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, Ref* extra = nullptr);

}  // namespace threads_main
