// Task submission: the manager's methods that submit one task or a collection.
#pragma once

#include <Python.h>

#include "support/call.hpp"

namespace threads_main {

MethodFn manager_send;
MethodFn manager_send_list_thread;
MethodFn manager_send_list;

}  // namespace threads_main
