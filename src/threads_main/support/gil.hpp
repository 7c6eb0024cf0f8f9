// Guards for the interpreter lock.
#pragma once

#include <Python.h>

namespace threads_main {

// Releases the interpreter lock for the guard's scope. No C API use, no Ref destructor and no
// object access may happen while it is released.
class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
    ~ReleaseGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace threads_main
