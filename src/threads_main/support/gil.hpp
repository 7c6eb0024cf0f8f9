// Waiting with the interpreter lock released.
#pragma once

#include <Python.h>

namespace threads_main {

// Runs `wait` with the interpreter lock released and returns what it returns. `wait` must not touch
// Python objects, nor throw. The lock is taken back by a plain call, never by a destructor: at
// interpreter exit taking it back ends the thread with a forced unwind, which must not begin inside
// a destructor.
template <typename F>
auto without_gil(F&& wait)
{
    PyThreadState* saved = PyEval_SaveThread();
    auto result = wait();
    PyEval_RestoreThread(saved);
    return result;
}

}  // namespace threads_main
