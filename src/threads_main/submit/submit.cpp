// Task submission: single and bulk.
#include <Python.h>

#include "manager/methods.hpp"
#include "module.hpp"
#include "support/args.hpp"

namespace threads_main {

PyObject* manager_send(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send", {"thread_name"}, 0, true}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_send");
    });
}

PyObject* manager_thread_list_yield(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_thread_list_yield", {"thread_list"}, 1, false, false}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_thread_list_yield");
    });
}

PyObject* manager_send_list_thread(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send_list_thread", {"thread_list"}, 1}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_send_list_thread");
    });
}

PyObject* manager_send_list(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send_list", {"thread_list"}, 1}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_send_list");
    });
}

}  // namespace threads_main
