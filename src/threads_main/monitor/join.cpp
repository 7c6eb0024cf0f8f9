// The join loops and the progress summary lines.
#include <Python.h>

#include "manager/methods.hpp"
#include "module.hpp"
#include "support/args.hpp"

namespace threads_main {

PyObject* manager_join_log(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_join_log", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_join_log");
    });
}

PyObject* manager_join_property_log(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[3];
        bind_args({"_join_property_log", {"old_result", "elapsed_time", "start_time"}, 3}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_join_property_log");
    });
}

PyObject* manager_join(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_join", {"break_result"}, 0}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_join");
    });
}

PyObject* manager_join_property(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2];
        bind_args({"_join_property", {"break_result", "interval"}, 1}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_join_property");
    });
}

}  // namespace threads_main
