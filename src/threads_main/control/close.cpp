// Clearing a finished batch, re-running failed tasks and closing the manager.
#include <Python.h>

#include "manager/methods.hpp"
#include "module.hpp"
#include "support/args.hpp"

namespace threads_main {

PyObject* manager_clear_record(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_clear_record", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_clear_record");
    });
}

PyObject* manager_rerun_failed(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_rerun_failed", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_rerun_failed");
    });
}

PyObject* manager_close(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_close", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_close");
    });
}

}  // namespace threads_main
