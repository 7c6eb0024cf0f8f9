// Threads that interpreter exit ends.
#pragma once

#include <Python.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>

#include "support/ref.hpp"

namespace threads_main {

// Once the interpreter is finalizing, CPython 3.13 ends a thread that wants the interpreter lock
// back by unwinding its stack (pthread_exit). When that unwind meets one of our frames that may not
// throw (a dealloc slot, or a destructor dropping the last reference to an object whose __del__ let
// the lock go), the C++ runtime calls std::terminate, and the process aborts on its way out. The
// handler below makes such a thread wait for good instead, as later CPython versions make every
// such thread do: it would never run again anyway, and the process ends with the main thread. Any
// other call to std::terminate goes on to the handler that was there before.
namespace exit_parking {

inline std::atomic<unsigned long> main_thread{0};
inline std::terminate_handler previous = nullptr;

[[noreturn]] inline void on_terminate()
{
    // An unwind of a thread's end is no C++ exception; the finalizing thread itself is never ended.
    if (!std::current_exception() && Py_IsFinalizing() && PyThread_get_thread_ident() != main_thread.load()) {
        for (;;) {
            pause();
        }
    }
    if (previous) {
        previous();
    }
    std::abort();
}

}  // namespace exit_parking

// Installs the handler once per module; -1 with an exception set when the main thread is unknown.
inline int park_threads_ended_at_exit()
{
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    Ref main = threading ? Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : Ref();
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident) {
        return -1;
    }
    unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
        return -1;
    }
    exit_parking::main_thread.store(value);
    if (std::get_terminate() != exit_parking::on_terminate) {
        exit_parking::previous = std::set_terminate(exit_parking::on_terminate);
    }
    return 0;
}

}  // namespace threads_main
