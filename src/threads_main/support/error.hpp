// The error boundary between C++ and the interpreter, and helpers that turn C API failures into throws.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <exception>
#include <new>

#include "support/ref.hpp"
#include "support/run.hpp"

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

// A result given up because the call fails after all.
inline void discard(PyObject* result) noexcept { Py_XDECREF(result); }
inline void discard(int) noexcept {}

// Runs `body` for a function that CPython calls; C++ exceptions become Python ones and the
// function returns `on_error`. The call is one of ours for stops (CallScope): an exception that a
// stop kept back while it ran is raised as it returns. A forced unwind (a thread ended at
// interpreter exit) passes through untouched: swallowing it would abort the process.
template <typename R, typename F>
R boundary(R on_error, F&& body)
{
    CallScope scope;
    R result = on_error;
    try {
        result = body();
    }
    catch (abi::__forced_unwind&) {
        throw;
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
    if (scope.leave() && result != on_error) {
        discard(result);
        result = on_error;
    }
    return result;
}

// Runs steps that must all be attempted even when some fail (a close always closes): each step's
// error is kept, the first ordinary one (derived from Exception) and the first other one apart, and
// the steps after it still run. GIL held.
class Attempts {
public:
    template <typename F>
    void run(F&& step)
    {
        try {
            step();
        }
        catch (abi::__forced_unwind&) {
            throw;
        }
        catch (const PyErrSet&) {
            bool ordinary = PyErr_ExceptionMatches(PyExc_Exception);
            Ref& slot = ordinary ? ordinary_ : other_;
            Ref error = Ref::steal(PyErr_GetRaisedException());
            if (!slot) {
                slot = std::move(error);
            }
        }
    }
    // The first ordinary error, taken out (null when none).
    Ref take_ordinary() noexcept { return std::move(ordinary_); }
    // Raises the first error not derived from Exception, else the first ordinary one; returns when
    // every step succeeded.
    void finish()
    {
        Ref& error = other_ ? other_ : ordinary_;
        if (error) {
            PyErr_SetRaisedException(error.release());
            throw PyErrSet{};
        }
    }
    void finish_others()
    {
        if (other_) {
            PyErr_SetRaisedException(other_.release());
            throw PyErrSet{};
        }
    }

private:
    Ref ordinary_;
    Ref other_;
};

// The identifier of the interpreter's main thread, where signal handlers run: set as the module
// loads, and in a forked child to the thread that forked.
inline std::atomic<unsigned long> main_thread_ident{0};

// Disposes of the pending error where it can be neither raised nor kept: a Ctrl-C (a
// KeyboardInterrupt on the main thread) is raised again at the thread's next bytecode, as an
// asynchronous exception (not by running the signal handler again, which an application's own
// handler would count as a second Ctrl-C); an ordinary error is dropped when `drop_ordinary` says
// so, and so is a KeyboardInterrupt raised by code on another thread; anything else is reported as
// unraisable (a stop's SystemExit is then sent again, as when a finalizer swallows it). GIL held.
inline void set_error_aside(PyObject* where, bool drop_ordinary) noexcept
{
    bool interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
    unsigned long me = PyThread_get_thread_ident();
    if (interrupt && me == main_thread_ident.load(std::memory_order_relaxed)) {
        PyErr_Clear();
        (void)PyThreadState_SetAsyncExc(me, PyExc_KeyboardInterrupt);
    } else if (drop_ordinary && (interrupt || PyErr_ExceptionMatches(PyExc_Exception))) {
        PyErr_Clear();
    } else {
        PyErr_WriteUnraisable(where);
    }
}

// Keeps the pending exception aside while clean-up code that may call Python runs, and puts it
// back afterwards. The clean-up's own errors are set aside (a Ctrl-C is raised again, the rest is
// reported as unraisable).
class SavedError {
public:
    SavedError() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() noexcept(false)
    {
        if (!attached()) {
            return;  // a thread ended at interpreter exit: nothing to put back
        }
        if (PyErr_Occurred()) {
            set_error_aside(nullptr, false);
        }
        if (exc_) {
            PyErr_SetRaisedException(exc_.release());
        }
    }

private:
    Ref exc_;
};

}  // namespace threads_main
