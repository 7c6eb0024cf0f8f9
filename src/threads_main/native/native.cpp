// The manager's shared core and the process check.
#include "native/native.hpp"

#include <unistd.h>

#include <new>

namespace threads_main {

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

bool inherited(PyObject* manager) noexcept
{
    return as_manager(manager)->pid != static_cast<long>(getpid());
}

void check_process(const Ctx& c, PyObject* manager)
{
    if (inherited(manager)) {
        raise_manager_error(c, "The manager belongs to the process that built it and cannot be used after a fork");
    }
}

}  // namespace threads_main
