// The state store's C interface, for the extensions built with it. The module publishes it as the
// capsule brixel_var._C_API; the pointer stays valid as long as `store_type` lives (a module's type
// keeps its module, and with it the interface, alive).
#pragma once

#include <Python.h>

#define BRIXEL_VAR_API_CAPSULE "brixel_var._C_API"

// The task fields of an entry, for set_entry_field.
enum BrixelEntryField { BRIXEL_ENTRY_THREAD, BRIXEL_ENTRY_RESULT, BRIXEL_ENTRY_STATUS };

struct BrixelVarApi {
    // The store class itself. Only its exact instances may be passed to the functions below, and
    // names must be plain (not dunders).
    PyTypeObject* store_type;
    // The field `name` as `store.name` reads it (None when never stored). A new reference, or NULL
    // with an error set.
    PyObject* (*get_field)(PyObject* store, PyObject* name);
    // `store.name = value`. 0, or -1 with an error set.
    int (*set_field)(PyObject* store, PyObject* name, PyObject* value);
    // What `store.get(key)` returns: the entry, or None. A new reference, or NULL with an error set.
    PyObject* (*get_entry)(PyObject* store, PyObject* key);
    // Whether `key` has an entry: the answer of `key in store.keys()`. 1, 0, or -1 with an error set.
    int (*has_entry)(PyObject* store, PyObject* key);
    // What `store.set(key, value={"thread": thread, "result": result, "status": status})` does,
    // without the mapping. 0, or -1 with an error set.
    int (*set_task)(PyObject* store, PyObject* key, PyObject* thread, PyObject* result, PyObject* status);
    // The class of the entries get_entry gives (final: an entry is exactly of this class).
    PyTypeObject* entry_type;
    // `entry.thread`, `.result` or `.status = value` on an entry: what the attribute write does,
    // without the attribute lookup. Cannot fail (dropping the old value may run code, as a write does).
    void (*set_entry_field)(PyObject* entry, BrixelEntryField field, PyObject* value);
};
