// Stopping tasks: cancel waiting names, stop running threads.
#include <Python.h>

#include "manager/methods.hpp"
#include "module.hpp"
#include "support/args.hpp"

namespace threads_main {

PyObject* manager_stop(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_stop", {"thread_name"}, 1}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_stop");
    });
}

PyObject* manager_stop_all(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_stop_all", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_stop_all");
    });
}

PyObject* manager_clear_queue(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_clear_queue", {}}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_clear_queue");
    });
}

PyObject* manager_stop_action(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_stop_action", {"thread_name"}, 0}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_stop_action");
    });
}

PyObject* manager_async_raise(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[2];
        bind_args({"_async_raise", {"tid", "exc_type"}, 2, false, false}, args, nargs, kwnames, a);
        raise(PyExc_NotImplementedError, "_async_raise");
    });
}

}  // namespace threads_main
