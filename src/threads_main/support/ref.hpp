// Owned references to Python objects.
//
// Ownership rules: a Ref always owns the reference it holds. Ref::steal() adopts a new reference
// handed out by the C API, Ref::borrow() takes a reference of its own to a borrowed pointer.
// Copies are not implicit: dup() spells every extra incref. release() hands the reference back
// to CPython (for a return value). Assignment stores the new value before dropping the old one,
// because a decref can run arbitrary Python code that may look at the slot being assigned.
//
// A reference is dropped only by a thread that has a thread state: at interpreter exit a thread
// that tries to take the interpreter lock back is ended by a forced unwind, which runs these
// destructors on a thread with none. Touching the object then would race with the finalizing
// thread (or crash); the reference is leaked instead, as the interpreter's own thread clean-up
// does. The destructor lets such an unwind through, since the decref it makes may itself be where
// the unwind began (a finalizer that releases the interpreter lock).
#pragma once

#include <Python.h>

#include <utility>

namespace threads_main {

// Whether this thread has an attached thread state, so that it may touch Python objects. Our code
// runs only where Python called it, so a thread without one is a thread ended at interpreter exit:
// before the exit has begun, the answer needs no look at the thread state (which costs a call and a
// thread-local lookup in the interpreter's library, for every reference dropped). A subinterpreter
// cannot end while other threads of its own are alive.
inline bool attached() noexcept { return !Py_IsFinalizing() || PyThreadState_GetUnchecked() != nullptr; }

// Drops a reference, or leaks it on a thread that may not touch the interpreter.
inline void drop(PyObject* p) noexcept(false)
{
    if (p && attached()) {
        Py_DECREF(p);
    }
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() noexcept(false) { drop(p_); }

    Ref& operator=(Ref&& other) noexcept(false)
    {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        drop(old);
        return *this;
    }

    // Adopts a new reference (may be null).
    static Ref steal(PyObject* p) noexcept
    {
        Ref r;
        r.p_ = p;
        return r;
    }

    // Takes a reference of its own to a borrowed pointer (may be null).
    static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return steal(p);
    }

    Ref dup() const noexcept { return borrow(p_); }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hands the reference to the caller; the Ref is left empty.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    void reset() noexcept(false) { drop(std::exchange(p_, nullptr)); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace threads_main
