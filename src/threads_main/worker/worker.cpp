// The per-task runner: a plain class whose bound `start` is the target of the task's thread.
#include <Python.h>

#include "manager/methods.hpp"
#include "module.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "worker/worker.hpp"

namespace threads_main {

StopClaim claim_stop(unsigned long, PyObject*, PyObject*) { return StopClaim::Unknown; }

void stop_before_start(unsigned long, PyObject*, PyObject*) {}

int worker_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept
{
    return boundary(-1, [&] {
        static const char* kwlist[] = {"brixel_var", "brixel_name", "brixel_log", nullptr};
        PyObject* var = nullptr;
        PyObject* name = nullptr;
        PyObject* log = nullptr;
        // The named parameters come out of `kwargs`; what is left are the task's keyword arguments.
        Ref task_kwargs = require(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
        Ref empty = require(PyDict_New());
        Py_ssize_t given = PyTuple_GET_SIZE(args);
        if (given > 3) {
            PyErr_Format(PyExc_TypeError, "_Worker.__init__() takes 4 positional arguments but %zd were given",
                         given + 1);
            throw PyErrSet{};
        }
        PyObject* slots[3] = {nullptr, nullptr, nullptr};
        for (Py_ssize_t i = 0; i < given; ++i) {
            slots[i] = PyTuple_GET_ITEM(args, i);
        }
        for (int i = 0; i < 3; ++i) {
            PyObject* value = nullptr;
            int found = require_int(PyDict_PopString(task_kwargs.get(), kwlist[i], &value));
            if (found) {
                Ref owned = Ref::steal(value);
                if (slots[i]) {
                    PyErr_Format(PyExc_TypeError, "_Worker.__init__() got multiple values for argument '%s'", kwlist[i]);
                    throw PyErrSet{};
                }
                slots[i] = owned.get();  // still referenced by `kwargs`
            }
            if (!slots[i]) {
                PyErr_Format(PyExc_TypeError, "_Worker.__init__() missing required argument '%s'", kwlist[i]);
                throw PyErrSet{};
            }
        }
        var = slots[0];
        name = slots[1];
        log = slots[2];
        Ctx c = ctx_from_type(Py_TYPE(self));
        setattr(self, c.name(N_var), var);
        setattr(self, c.name(N_brixel_name), name);
        setattr(self, c.name(N__log), log);
        setattr(self, c.name(N_kwargs), task_kwargs.get());
        (void)empty;
        return 0;
    });
}

PyObject* worker_start(PyObject*, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        bind_args({"start", {}}, args, nargs, kwnames, nullptr);
        raise(PyExc_NotImplementedError, "start");
    });
}

namespace {

void worker_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    PyObject_ClearManagedDict(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int worker_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    return PyObject_VisitManagedDict(self, visit, arg);
}

int worker_clear(PyObject* self) noexcept
{
    PyObject_ClearManagedDict(self);
    return 0;
}

PyMethodDef worker_methods[] = {
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(worker_start)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "start($self, /)\n--\n\nRuns the task in the calling thread and records its outcome."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot worker_slots[] = {
    {Py_tp_doc, const_cast<char*>("_Worker(brixel_var, brixel_name, brixel_log, **kwargs)\n--\n\n"
                                  "Runs one task: its bound start is the target of the task's thread.")},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void*>(worker_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(worker_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(worker_clear)},
    {Py_tp_methods, worker_methods},
    {0, nullptr},
};

PyType_Spec worker_spec = {
    "threads_main._Worker",
    0,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT
        | Py_TPFLAGS_MANAGED_WEAKREF,
    worker_slots,
};

}  // namespace

PyObject* create_worker_type(PyObject* module) noexcept
{
    return PyType_FromModuleAndSpec(module, &worker_spec, nullptr);
}

}  // namespace threads_main
