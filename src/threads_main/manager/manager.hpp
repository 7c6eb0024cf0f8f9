// The manager class: its construction and end, the worker-limit policy, the open check, and the
// class itself with its method table.
#pragma once

#include <Python.h>

#include "support/call.hpp"

namespace threads_main {

// Slots (manager.cpp). GIL held; each returns as CPython expects of its slot.
PyObject* manager_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
int manager_init(PyObject* self, PyObject* args, PyObject* kwargs);
void manager_dealloc(PyObject* self) noexcept;
int manager_traverse(PyObject* self, visitproc visit, void* arg) noexcept;
int manager_clear(PyObject* self) noexcept;

// Methods (manager.cpp).
MethodFn manager_check_max_workers;
MethodFn manager_set_max_workers;
MethodFn manager_check_while;

// Creates the manager class for `module` (class.cpp; a new reference, or NULL with an exception set).
PyObject* create_manager_type(PyObject* module) noexcept;

}  // namespace threads_main
