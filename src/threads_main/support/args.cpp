// Binding of vectorcall arguments to named parameters.
#include "support/args.hpp"

namespace threads_main {

namespace {

[[noreturn]] void type_error(const char* format, const char* fname, const char* what)
{
    PyErr_Format(PyExc_TypeError, format, fname, what);
    throw PyErrSet{};
}

}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, Ref* extra)
{
    const Py_ssize_t count = static_cast<Py_ssize_t>(sig.names.size());
    const char* const* names = sig.names.begin();
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = nullptr;
    }
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given",
                     sig.fname, count + (sig.has_self ? 1 : 0),
                     count + (sig.has_self ? 1 : 0) == 1 ? "" : "s", nargs + (sig.has_self ? 1 : 0));
        throw PyErrSet{};
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_EqualToUTF8(key, names[i])) {
                slot = i;
                break;
            }
        }
        if (slot >= 0) {
            if (out[slot]) {
                type_error("%s() got multiple values for argument '%s'", sig.fname, names[slot]);
            }
            out[slot] = value;
            continue;
        }
        if (sig.has_self && PyUnicode_EqualToUTF8(key, "self")) {
            type_error("%s() got multiple values for argument '%s'", sig.fname, "self");
        }
        if (!sig.varkw || !extra) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.fname, key);
            throw PyErrSet{};
        }
        if (!*extra) {
            *extra = require(PyDict_New());
        }
        require_int(PyDict_SetItem(extra->get(), key, value));
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            type_error("%s() missing required argument '%s'", sig.fname, names[i]);
        }
    }
}

}  // namespace threads_main
