// Owned references to Python objects.
//
// Ownership rules: a Ref always owns the reference it holds. Ref::steal() adopts a new reference
// handed out by the C API, Ref::borrow() takes a reference of its own to a borrowed pointer.
// Copies are not implicit: dup() spells every extra incref. release() hands the reference back
// to CPython (for a return value). Assignment stores the new value before dropping the old one,
// because a decref can run arbitrary Python code that may look at the slot being assigned.
#pragma once

#include <Python.h>

#include <utility>

namespace threads_main {

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref&& other) noexcept
    {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
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

    void reset() noexcept
    {
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace threads_main
