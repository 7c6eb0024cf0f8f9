// The error boundary between C++ and the interpreter, and helpers that turn C API failures into throws.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "support/ref.hpp"

namespace threads_main {

// Thrown only while a Python exception is set; the boundary leaves it in place.
struct PyErrSet {};

// A new reference from the C API, or a throw when the call failed.
inline Ref require(PyObject* p)
{
    if (!p) {
        throw PyErrSet{};
    }
    return Ref::steal(p);
}

// An int result of the C API (-1 on failure), passed through when it succeeded.
inline int require_int(int r)
{
    if (r < 0) {
        throw PyErrSet{};
    }
    return r;
}

// Raises `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    throw PyErrSet{};
}

// Runs `body` for a function that CPython calls; C++ exceptions become Python ones and the
// function returns `on_error`.
template <typename R, typename F>
R boundary(R on_error, F&& body) noexcept
{
    try {
        return body();
    }
    catch (const PyErrSet&) {
    }
    catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in threads_main");
    }
    return on_error;
}

// Keeps the pending exception aside while clean-up code that may call Python runs, and puts it
// back afterwards. The clean-up's own errors are reported as unraisable.
class SavedError {
public:
    SavedError() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError()
    {
        if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(nullptr);
        }
        if (exc_) {
            PyErr_SetRaisedException(exc_.release());
        }
    }

private:
    Ref exc_;
};

}  // namespace threads_main
