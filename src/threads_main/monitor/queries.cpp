// Status and result queries.
#include <Python.h>

#include "manager/methods.hpp"
#include "module.hpp"
#include "support/args.hpp"

namespace threads_main {

PyObject* manager_get_status(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_status", {"thread_name"}, 1}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_status");
    });
}

PyObject* manager_get_all_status(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_all_status", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_all_status");
    });
}

PyObject* manager_get_run_status(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_run_status", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_run_status");
    });
}

PyObject* manager_get_result(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_result", {"thread_name"}, 1}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_result");
    });
}

PyObject* manager_get_all_result(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_all_result", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_all_result");
    });
}

PyObject* manager_get_failed_result(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_failed_result", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_failed_result");
    });
}

PyObject* manager_get_failed(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_get_failed", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_get_failed");
    });
}

}  // namespace threads_main
