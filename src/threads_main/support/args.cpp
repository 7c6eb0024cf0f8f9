// Binding of vectorcall arguments to named parameters.
#include "support/args.hpp"

namespace threads_main {

namespace {

[[noreturn]] void type_error(const char* format, const char* fname, const char* what)
{
    PyErr_Format(PyExc_TypeError, format, fname, what);
    throw PyErrSet{};
}

// The parameter that `key` names, or -1.
Py_ssize_t slot_of(const Signature& sig, PyObject* key)
{
    const char* const* names = sig.names.begin();
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sig.names.size()); ++i) {
        if (PyUnicode_EqualToUTF8(key, names[i])) {
            return i;
        }
    }
    return -1;
}

// Binds positional arguments and known keywords; calls `unknown(k)` for the index in `kwnames` of
// each keyword that names no parameter (refused unless the signature is `varkw`).
template <typename F>
void bind_known(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                F unknown)
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
        Py_ssize_t slot = slot_of(sig, key);
        if (slot >= 0) {
            if (out[slot]) {
                type_error("%s() got multiple values for argument '%s'", sig.fname, names[slot]);
            }
            out[slot] = args[nargs + k];
            continue;
        }
        if (sig.has_self && PyUnicode_EqualToUTF8(key, "self")) {
            type_error("%s() got multiple values for argument '%s'", sig.fname, "self");
        }
        if (!sig.varkw) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.fname, key);
            throw PyErrSet{};
        }
        unknown(k);
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            type_error("%s() missing required argument '%s'", sig.fname, names[i]);
        }
    }
}

}  // namespace

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, Ref* extra)
{
    Signature checked = sig;
    checked.varkw = sig.varkw && extra;
    bind_known(checked, args, nargs, kwnames, out, [&](Py_ssize_t k) {
        if (!*extra) {
            *extra = require(PyDict_New());
        }
        require_int(PyDict_SetItem(extra->get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
    });
}

void bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out, RestKeywords& rest)
{
    Py_ssize_t n = 0;
    bind_known(sig, args, nargs, kwnames, out, [&](Py_ssize_t) { ++n; });
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (n == nkw) {
        // The usual call: every keyword is the task's, as the call passed them.
        rest.names = kwnames ? Ref::borrow(kwnames) : require(PyTuple_New(0));
        rest.values = args + nargs;
        return;
    }
    rest.names = require(PyTuple_New(n));
    rest.picked.reserve(static_cast<size_t>(n));
    for (Py_ssize_t k = 0, i = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (slot_of(sig, key) < 0) {
            PyTuple_SET_ITEM(rest.names.get(), i++, Py_NewRef(key));
            rest.picked.push_back(args[nargs + k]);
        }
    }
    rest.values = rest.picked.data();
}

}  // namespace threads_main
