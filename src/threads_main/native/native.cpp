// The manager's shared core and the process check.
#include "native/native.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "outside/outside.hpp"

namespace threads_main {

namespace {

// The calling process's id, as getpid() gives it: read once, and again in the child of every fork
// (before fork() returns there). Every task checks it twice and every submission once, and getpid()
// is a system call.
std::atomic<long> process_id{0};

void note_child_process() noexcept
{
    process_id.store(static_cast<long>(getpid()), std::memory_order_relaxed);
}

}  // namespace

int watch_process_id() noexcept
{
    note_child_process();
    int failed = pthread_atfork(nullptr, nullptr, note_child_process);
    if (failed != 0) {
        errno = failed;
        PyErr_SetFromErrno(PyExc_OSError);
        return -1;
    }
    return 0;
}

long current_process_id() noexcept
{
    return process_id.load(std::memory_order_relaxed);
}

ManagerCore* ManagerCore::create() noexcept
{
    return new (std::nothrow) ManagerCore();
}

void ManagerCore::hold() noexcept
{
    owners_.fetch_add(1, std::memory_order_relaxed);
}

void ManagerCore::release() noexcept
{
    if (owners_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

void note_cleared_run_time(PyObject* manager, PyObject* run_time) noexcept
{
    int overflow = 0;
    long long sum = PyLong_CheckExact(run_time) ? PyLong_AsLongLongAndOverflow(run_time, &overflow) : 0;
    as_manager(manager)->cleared_run_time = overflow == 0 && sum > 0 ? sum : 0;
}

PyObject* batch_run_time(PyObject* manager, PyObject* run_time) noexcept
{
    long long before = as_manager(manager)->cleared_run_time;
    int overflow = 0;
    long long sum = before > 0 && PyLong_CheckExact(run_time) ? PyLong_AsLongLongAndOverflow(run_time, &overflow) : 0;
    if (before <= 0 || overflow != 0 || sum < before) {
        return Py_NewRef(run_time);
    }
    return PyLong_FromLongLong(sum - before);
}

bool inherited(PyObject* manager) noexcept
{
    return as_manager(manager)->pid != current_process_id();
}

void check_process(const Ctx& c, PyObject* manager)
{
    if (inherited(manager)) {
        raise_manager_error(c, "The manager belongs to the process that built it and cannot be used after a fork");
    }
}

void open_check(const Ctx& c, PyObject* self, PyObject* var)
{
    check_process(c, self);
    if (!truthy(field(c, var, N_switch).get())) {
        raise_manager_error(c, "The manager has stopped");
    }
}

}  // namespace threads_main
