// Eager dispatch: a manager built with dispatch="eager" starts a waiting task as soon as fewer tasks
// are running than its worker limit, on a task thread that it keeps for the next task.
//
// The manager's queue is then an in-process FIFO of ours (the operations the manager uses: put, get,
// qsize, empty, close), whose entries carry the task's worker beside its name, so that a waiting task
// costs no thread object. Task threads are ordinary `Thread`s (the module-level name) running
// `_run_tasks`: each takes the next name itself, under the interpreter lock, while the running count
// (runs - dones - stops) is below the limit, records the dispatch as the control loop does (`done`,
// `is_run`, `runs`, the entry's `thread`), runs the task's worker, and takes the next one. A thread
// with nothing to take waits on a native condition with the interpreter lock released, and ends
// after an idle while; nothing polls. Whoever gives work (a submission, a put, a re-run, a raised
// limit, a stop that frees a slot) wakes idle threads or starts new ones, at most as many as the
// limit allows besides threads still busy with a stopped task. The thread that ends the last task
// sets `done`; a close wakes every thread, and each ends once its task has.
//
// Everything here runs with the interpreter lock held, except the waits.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "dispatch/dispatch.hpp"
#include "dispatch/engines.hpp"
#include "metrics/record.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "support/gil.hpp"
#include "worker/worker.hpp"

namespace threads_main {

namespace {

// Seconds a task thread with nothing to do waits for work before it ends.
constexpr double idle_period = 0.5;
// Seconds between the eager control loop's looks at the switch when nothing wakes it.
constexpr double control_period = 4.0;

// A waiting task: its name and, when it came through a submission or a re-run, its worker.
struct Node {
    PyObject* name;
    PyObject* worker;  // or null: dispatch finds the worker kept in the task's entry
};

// What the threads wait on with the interpreter lock released. Each thread holds it as long as it
// lives (a thread ended at interpreter exit may leave it waited on, so it is never freed under one).
struct Pool {
    std::atomic<int> owners{1};
    std::mutex mutex;
    std::condition_variable work;     // idle threads wait here for a wake-up
    std::condition_variable arrived;  // a blocking get() waits here for a put
    int getters = 0;                  // blocking get() calls waiting for a put (interpreter lock held)
    int waiting = 0;                  // threads in the idle wait
    int tokens = 0;                   // wake-ups handed out and not yet taken (never above `waiting`)
    bool closing = false;
    std::uint64_t puts = 0;

    void hold() { owners.fetch_add(1, std::memory_order_relaxed); }
    void release()
    {
        if (owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }
};

struct QueueObject {
    PyObject_HEAD
    std::deque<Node>* fifo;
    Pool* pool;
    PyObject* manager;  // borrowed: the manager holds the queue and clears this when it goes
    bool closed;
    int alive;     // task threads started and not ended
    int starting;  // started, not yet at their first take
    int busy;      // inside a task
};

QueueObject* as_queue(PyObject* self) { return reinterpret_cast<QueueObject*>(self); }

void drop_node(Node& node) noexcept
{
    drop(std::exchange(node.name, nullptr));
    drop(std::exchange(node.worker, nullptr));
}

[[noreturn]] void closed_error()
{
    raise(PyExc_ValueError, "Queue is closed");
}

// --- the FIFO's Python operations ---

PyObject* queue_put(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[3];
        bind_args({"put", {"obj", "block", "timeout"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        eager_push(self, a[0], nullptr);
        if (PyObject* manager = as_queue(self)->manager) {
            eager_kick(c, manager);
        }
        return Py_NewRef(Py_None);
    });
}

// Waits (interpreter lock released) until something was put after `seen` or `seconds` pass. False
// when the time ran out.
bool wait_for_put(Pool* pool, std::uint64_t seen, double seconds)
{
    return without_gil([pool, seen, seconds] {
        std::unique_lock<std::mutex> hold(pool->mutex);
        return pool->arrived.wait_for(hold, std::chrono::duration<double>(seconds),
                                      [pool, seen] { return pool->puts != seen; });
    });
}

PyObject* take(const Ctx& c, PyObject* self, bool block, double timeout)
{
    QueueObject* q = as_queue(self);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout < 0 ? 0 : timeout);
    for (;;) {
        if (q->closed) {
            closed_error();
        }
        if (!q->fifo->empty()) {
            Node node = q->fifo->front();
            q->fifo->pop_front();
            drop(node.worker);
            return node.name;
        }
        if (!block) {
            PyErr_SetNone(c.st->queue_empty);
            throw PyErrSet{};
        }
        double left = -1;
        if (timeout >= 0) {
            left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) {
                PyErr_SetNone(c.st->queue_empty);
                throw PyErrSet{};
            }
        }
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> hold(q->pool->mutex);
            seen = q->pool->puts;
        }
        Ref held = Ref::borrow(self);  // the wait lets other threads run
        // Counted from before the interpreter lock is let go until it is back: a put made meanwhile
        // sees it and wakes this wait.
        // In slices, so that a Ctrl-C on the main thread is seen while nothing is put.
        constexpr double slice = 0.01;
        Pool* pool = q->pool;
        ++pool->getters;
        wait_for_put(pool, seen, left < 0 || left > slice ? slice : left);
        --pool->getters;
        if (PyErr_CheckSignals() < 0) {
            throw PyErrSet{};
        }
    }
}

PyObject* queue_get(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* a[2];
        bind_args({"get", {"block", "timeout"}, 0}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        bool block = !a[0] || truthy(a[0]);
        double timeout = -1;
        if (a[1] && a[1] != Py_None) {
            timeout = PyFloat_AsDouble(a[1]);
            if (timeout == -1 && PyErr_Occurred()) {
                throw PyErrSet{};
            }
            if (timeout < 0) {
                raise(PyExc_ValueError, "'timeout' must be a non-negative number");
            }
        }
        return take(c, self, block, timeout);
    });
}

PyObject* queue_get_nowait(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&] {
        bind_args({"get_nowait", {}}, args, nargs, kwnames, nullptr);
        Ctx c = ctx_from_class(cls);
        return take(c, self, false, 0);
    });
}

PyObject* queue_qsize(PyObject* self, PyObject*) noexcept
{
    return PyLong_FromSize_t(as_queue(self)->fifo->size());
}

PyObject* queue_empty(PyObject* self, PyObject*) noexcept
{
    return PyBool_FromLong(as_queue(self)->fifo->empty());
}

PyObject* queue_close(PyObject* self, PyObject*) noexcept
{
    QueueObject* q = as_queue(self);
    q->closed = true;
    {
        std::lock_guard<std::mutex> hold(q->pool->mutex);
        ++q->pool->puts;  // a blocked get() wakes and finds the queue closed
    }
    q->pool->arrived.notify_all();
    Py_RETURN_NONE;
}

PyObject* queue_new(PyTypeObject* type, PyObject*, PyObject*) noexcept
{
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    QueueObject* q = as_queue(self.get());
    q->fifo = new (std::nothrow) std::deque<Node>();
    q->pool = new (std::nothrow) Pool();
    if (!q->fifo || !q->pool) {
        return PyErr_NoMemory();
    }
    return self.release();
}

int queue_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    if (auto* fifo = as_queue(self)->fifo) {
        for (const Node& node : *fifo) {
            Py_VISIT(node.name);
            Py_VISIT(node.worker);
        }
    }
    return 0;
}

int queue_clear(PyObject* self) noexcept
{
    if (auto* fifo = as_queue(self)->fifo) {
        std::deque<Node> gone;
        gone.swap(*fifo);  // the fifo is empty before anything is dropped
        for (Node& node : gone) {
            drop_node(node);
        }
    }
    return 0;
}

void queue_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    queue_clear(self);
    QueueObject* q = as_queue(self);
    delete std::exchange(q->fifo, nullptr);
    if (Pool* pool = std::exchange(q->pool, nullptr)) {
        pool->release();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef queue_methods[] = {
    {"put", cfunction(queue_put), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "put($self, /, obj, block=True, timeout=None)\n--\n\nPuts a name at the end of the queue."},
    {"get", cfunction(queue_get), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "get($self, /, block=True, timeout=None)\n--\n\nTakes the first name; raises queue.Empty when none comes."},
    {"get_nowait", cfunction(queue_get_nowait), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "get_nowait($self, /)\n--\n\nget(False)."},
    {"qsize", queue_qsize, METH_NOARGS, "qsize($self, /)\n--\n\nNumber of names waiting."},
    {"empty", queue_empty, METH_NOARGS, "empty($self, /)\n--\n\nTrue when no name waits."},
    {"close", queue_close, METH_NOARGS, "close($self, /)\n--\n\nRefuses every later put and get."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot queue_slots[] = {
    {Py_tp_doc, const_cast<char*>("The task queue of a manager that dispatches eagerly: names waiting, in order.")},
    {Py_tp_new, reinterpret_cast<void*>(queue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(queue_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(queue_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(queue_clear)},
    {Py_tp_methods, queue_methods},
    {0, nullptr},
};

PyType_Spec queue_spec = {
    "threads_main.TaskQueue",
    sizeof(QueueObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    queue_slots,
};

// --- the task threads ---

enum class Wait { Work, Timeout, Closing };

// Waits, with the interpreter lock released, for a wake-up, the close, or the end of the idle
// period. The thread counts as waiting from before it lets go of the interpreter lock: a kick in
// between (a submission's) then hands it a wake-up, which it finds at once, instead of finding no
// thread to wake and none to start, and leaving the task to wait out the idle period.
Wait idle_wait(Pool* pool)
{
    {
        std::lock_guard<std::mutex> hold(pool->mutex);
        ++pool->waiting;
    }
    return without_gil([pool] {
        std::unique_lock<std::mutex> hold(pool->mutex);
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(idle_period);
        pool->work.wait_until(hold, until, [pool] { return pool->tokens > 0 || pool->closing; });
        --pool->waiting;
        if (pool->tokens > 0) {
            --pool->tokens;
            return Wait::Work;
        }
        return pool->closing ? Wait::Closing : Wait::Timeout;
    });
}

long free_slots(PyObject* limit, long running, long wanted);

struct Taken {
    Ref name;
    Ref worker;
    Ref entry;
};

// Waits, letting go of the interpreter lock a moment at a time, until no other thread is in the
// middle of a take. False when the queue closes meanwhile (the thread ends).
bool wait_for_takes(PyObject* manager, QueueObject* q)
{
    while (as_manager(manager)->taking > 0) {
        if (q->closed) {
            return false;
        }
        without_gil([] {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            return 0;
        });
    }
    return true;
}

// Takes the next waiting task when the running count is below the limit, recording the dispatch as
// the control loop does, and the calling thread `me` in the task's entry. From the append to `runs`
// to the entry's `thread` no Python code runs (C calls on a plain store), so a stop never finds the
// name dispatched and its entry without the thread. False when the manager is closed (the thread
// ends). A dispatch that fails (no entry) leaves the name counted as running, as the control loop
// does.
//
// One thread takes at a time. On a plain store a take runs no Python code and never lets go of the
// interpreter lock, so nobody waits; a store whose reads and writes run Python code (or a limit
// compared by Python code) can hand the lock to another task thread in the middle of a take, which
// would then judge the limit by a count that leaves this take out. While the take lasts, the name
// is neither waiting nor running, and the batch does not end.
bool take_next(const Ctx& c, PyObject* manager, QueueObject* q, PyObject* me, Taken& taken)
{
    Ref var = manager_var(c, manager);
    if (!truthy(field(c, var.get(), N_switch).get()) || q->closed) {
        return false;
    }
    if (q->fifo->empty()) {
        return true;
    }
    if (!wait_for_takes(manager, q)) {
        return false;
    }
    {
        Taking taking(manager);
        Ref limit = field(c, var.get(), N_max_workers);
        Py_ssize_t running = running_count(c, var.get());
        // The reads and the comparison may have run code that emptied or closed the queue: it is
        // looked at last, and nothing runs Python code from there to the pop.
        if (free_slots(limit.get(), static_cast<long>(running), 1) != 0 && !q->fifo->empty() && !q->closed) {
            Node node = q->fifo->front();
            q->fifo->pop_front();
            Ref name = Ref::steal(node.name);
            taken.worker = Ref::steal(node.worker);
            set_field(c, var.get(), N_done, Py_False);
            set_field(c, var.get(), N_is_run, Py_True);
            Ref runs = field(c, var.get(), N_runs);
            append(runs.get(), name.get());
            Ref threads = field(c, var.get(), N_threads);
            taken.entry = task_entry(c, threads.get(), name.get());
            set_entry_field(c, taken.entry.get(), N_thread, me);
            taken.name = std::move(name);
            record_dispatched(&as_manager(manager)->core->metrics);
            return true;
        }
    }
    // Nothing taken: a settle that stepped aside for this take meanwhile is made now.
    eager_settle(c, manager);
    return true;
}

// thread.name = name. On a thread whose class keeps threading's own `name` property and plain
// attribute writes, the name is written where that property's setter writes it (`_name`, as str()
// of a str leaves it), without running the setter's Python code: once per task, it is not free.
void rename_thread(const Ctx& c, PyObject* thread, PyObject* name)
{
    PyTypeObject* type = Py_TYPE(thread);
    if (PyUnicode_CheckExact(name) && type->tp_setattro == PyObject_GenericSetAttr
        && _PyType_Lookup(type, c.name(N_name)) == c.st->thread_name) {
        setattr(thread, c.name(N__name), name);
        return;
    }
    setattr(thread, c.name(N_name), name);
}

// Runs one taken task on this thread, carrying the task's name while it runs.
void run_one(const Ctx& c, PyObject* manager, PyObject* me, Taken& taken)
{
    try {
        Ref worker = std::move(taken.worker);
        if (!worker) {
            // Put back by name alone: the worker kept in the entry, if any.
            PyObject* kept = nullptr;
            if (PyObject_GetOptionalAttr(taken.entry.get(), c.name(N__worker), &kept) < 0) {
                throw PyErrSet{};
            }
            worker = kept ? Ref::steal(kept) : none();
            if (!Py_IsNone(worker.get())) {
                set_field(c, taken.entry.get(), N__worker, Py_None);
            }
        }
        rename_thread(c, me, taken.name.get());
        run_worker(c, worker.get());
    }
    catch (const PyErrSet&) {
        // A dispatch that failed leaves the name counted as running, as the control loop does; an
        // error that ended the task's run is reported as a thread's would be.
        if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
            PyErr_Clear();
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            log_run_error(c, manager);
        } else {
            PyErr_WriteUnraisable(manager);
        }
    }
}

// Gives a task thread's place back on every way out of its body: it no longer counts as alive,
// and its hold on the pool ends.
class Leaving {
public:
    Leaving(QueueObject* q, Pool* pool) noexcept : q_(q), pool_(pool) { pool_->hold(); }
    Leaving(const Leaving&) = delete;
    Leaving& operator=(const Leaving&) = delete;
    ~Leaving()
    {
        --q_->alive;
        pool_->release();
    }

private:
    QueueObject* q_;
    Pool* pool_;
};

// A task thread's start is settled between the thread that starts it and the thread itself through
// a token, a list of one item passed to the new thread: the thread marks it True as it begins, and
// a start() that fails (a Ctrl-C in its wait, or anywhere once the thread may be running) marks it
// False, counting the thread off, unless the thread marked it first. A thread that finds its token
// marked False counts itself back on: either way it is counted exactly once, whenever the Ctrl-C
// landed. Marking allocates nothing, so it cannot fail.
bool mark_start(PyObject* token, PyObject* mark) noexcept
{
    PyObject* before = PyList_GET_ITEM(token, 0);
    if (!Py_IsNone(before)) {
        return false;  // the other side marked it first
    }
    PyList_SET_ITEM(token, 0, Py_NewRef(mark));
    Py_DECREF(before);
    return true;
}

// The body of every task thread: take, run, take again; wait when there is nothing; end after an
// idle period, at close, or in a child process that inherited the manager through a fork (the
// parent's waiting tasks are the parent's to run). `token` is its start's (above).
PyObject* run_tasks(PyObject* manager, PyObject* token)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ctx c = ctx_from_type(Py_TYPE(manager));
        Ref queue = Ref::borrow(eager_queue_of(manager));
        if (!queue) {
            return Py_NewRef(Py_None);
        }
        QueueObject* q = as_queue(queue.get());
        if (!PyList_CheckExact(token) || PyList_GET_SIZE(token) != 1 || !mark_start(token, Py_True)) {
            ++q->alive;
            ++q->starting;
        }
        Pool* pool = q->pool;
        Leaving leaving(q, pool);
        --q->starting;
        Ref threading = c.global(N_threading);
        Ref me = require(PyObject_CallMethod(threading.get(), "current_thread", nullptr));
        Ref own_name = getattr(me.get(), c.name(N_name));
        bool renamed = false;
        bool last_look = false;
        while (!inherited(manager)) {
            Taken taken;
            bool open = true;
            bool failing = false;
            try {
                open = take_next(c, manager, q, me.get(), taken);
            }
            catch (const PyErrSet&) {
                log_run_error(c, manager);
                taken = Taken{};  // nothing to run: a failure that lasts is not retried at once
                failing = true;
            }
            if (!open) {
                break;
            }
            if (taken.name) {
                last_look = false;
                renamed = true;
                ++q->busy;
                run_one(c, manager, me.get(), taken);
                --q->busy;
                if (inherited(manager)) {
                    break;  // the task forked, and this is the child
                }
                eager_settle(c, manager);
                continue;
            }
            // A thread whose dispatch fails (a limit that cannot be compared) stays while names
            // wait, trying again after each idle period.
            if (last_look && !(failing && !q->fifo->empty())) {
                break;
            }
            if (renamed) {
                // A thread class of the user's may run Python code for its name, and let go of the
                // interpreter lock there: a task sent meanwhile found this thread neither waiting nor
                // free to start another. One more look before the wait.
                rename_thread(c, me.get(), own_name.get());
                renamed = false;
                continue;
            }
            Wait woke = idle_wait(pool);
            if (woke == Wait::Closing) {
                break;
            }
            // After an idle period, one more look: a wake-up may have gone to another thread while
            // this one was leaving; work found now is not left waiting for a new thread.
            last_look = woke == Wait::Timeout;
        }
        if (renamed) {
            rename_thread(c, me.get(), own_name.get());
        }
        return Py_NewRef(Py_None);
    });
}

PyMethodDef run_tasks_def = {"_run_tasks", run_tasks, METH_O, nullptr};

// Starts one more task thread: a `Thread` (the module-level name) whose target runs `run_tasks`.
void start_thread(const Ctx& c, PyObject* manager, QueueObject* q)
{
    Ref module_name = require(PyModule_GetNameObject(c.module));
    Ref target = require(PyCFunction_NewEx(&run_tasks_def, manager, module_name.get()));
    Ref token = require(PyList_New(1));
    PyList_SET_ITEM(token.get(), 0, Py_NewRef(Py_None));
    Ref args = require(PyTuple_Pack(1, token.get()));
    Ref thread_class = c.global(N_Thread);
    Ref thread = call_kw(thread_class.get(), {}, {{c.name(N_target), target.get()}, {c.name(N_args), args.get()}});
    ++q->alive;
    ++q->starting;
    PyObject* started = PyObject_CallMethodNoArgs(thread.get(), c.name(N_start));
    if (!started) {
        // A thread that has begun counts itself off when it ends.
        SavedError error;
        if (mark_start(token.get(), Py_False)) {
            --q->alive;
            --q->starting;
        }
        throw PyErrSet{};
    }
    Py_DECREF(started);
}

// How many of the next `wanted` dispatches the limit allows while `running` tasks run, compared as
// the dispatch compares (running < limit): an int of any size (a huge one is never reached), a
// float, or anything else that compares with an int, asked one dispatch at a time. Throws with the
// comparison's error.
long free_slots(PyObject* limit, long running, long wanted)
{
    if (wanted <= 0) {
        return 0;
    }
    if (PyLong_CheckExact(limit) || PyBool_Check(limit)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (value == -1 && PyErr_Occurred()) {
            throw PyErrSet{};
        }
        if (overflow != 0) {
            return overflow > 0 ? wanted : 0;
        }
        long long room = value - running;
        return room <= 0 ? 0 : static_cast<long>(std::min<long long>(room, wanted));
    }
    if (PyFloat_CheckExact(limit)) {
        // For a whole number n, n < f exactly when n < ceil(f); nothing is below NaN.
        double room = std::ceil(PyFloat_AS_DOUBLE(limit)) - static_cast<double>(running);
        if (std::isnan(room) || room <= 0) {
            return 0;
        }
        return room >= static_cast<double>(wanted) ? wanted : static_cast<long>(room);
    }
    constexpr long asked_at_most = 4096;  // beyond that, the next dispatches ask again
    long asked = std::min(wanted, asked_at_most);
    for (long i = 0; i < asked; ++i) {
        Ref count = require(PyLong_FromLong(running + i));
        if (!require_int(PyObject_RichCompareBool(count.get(), limit, Py_LT))) {
            return i;
        }
    }
    return asked;
}

// Fails the first waiting task with the pending error (a thread that could not be started for it),
// as the paced dispatch fails a task whose thread cannot start: dispatched, then recorded "失败" with
// the error as its result, its worker kept for a re-run, and "Run error: " logged.
void fail_first(const Ctx& c, PyObject* manager, QueueObject* q)
{
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (q->fifo->empty()) {
        return;
    }
    Node node = q->fifo->front();
    q->fifo->pop_front();
    Ref name = Ref::steal(node.name);
    Ref worker = Ref::steal(node.worker);
    Ref var = manager_var(c, manager);
    set_field(c, var.get(), N_done, Py_False);
    set_field(c, var.get(), N_is_run, Py_True);
    Ref runs = field(c, var.get(), N_runs);
    append(runs.get(), name.get());
    Ref threads = field(c, var.get(), N_threads);
    Ref entry = task_entry(c, threads.get(), name.get());
    PyErr_SetRaisedException(error.dup().release());
    record_start_failure(c, &as_manager(manager)->core->metrics, var.get(), name.get(), entry.get(), worker.get());
    // Logged as the paced dispatch logs it.
    PyErr_SetRaisedException(error.release());
    log_run_error(c, manager);
}

// Wakes idle threads or starts new ones for the work that may start now. A thread that cannot be
// started leaves its task to the threads alive; with none alive, that task fails, and the next one
// tries again, so that no task waits for a thread that nothing will start.
void kick(const Ctx& c, PyObject* manager, QueueObject* q, PyObject* known_var)
{
    Ref var = known_var ? Ref::borrow(known_var) : manager_var(c, manager);
    for (;;) {
        Ref limit = field(c, var.get(), N_max_workers);
        long running = static_cast<long>(running_count(c, var.get()));
        long waiting = static_cast<long>(q->fifo->size());
        // The limit bounds the tasks running and the threads alive alike; `slots` is exact up to a
        // bound beyond anything this kick could use.
        long slots = free_slots(limit.get(), running, waiting + q->alive);
        long want = std::min(waiting, slots);
        if (want <= 0) {
            return;  // the running tasks' threads take the next names as they finish
        }
        Pool* pool = q->pool;
        long woken = 0;
        {
            std::lock_guard<std::mutex> hold(pool->mutex);
            if (pool->closing) {
                return;
            }
            long lacking = want - pool->tokens - q->starting;
            woken = std::max(0L, std::min(lacking, static_cast<long>(pool->waiting - pool->tokens)));
            pool->tokens += static_cast<int>(woken);
            want = lacking - woken;
        }
        for (long i = 0; i < woken; ++i) {
            pool->work.notify_one();
        }
        // Threads still busy with a stopped task do not count against the limit.
        long room = slots + running + std::max(0L, static_cast<long>(q->busy) - running) - q->alive;
        long to_start = std::min(want, room);
        bool failed = false;
        // Each start lets go of the interpreter lock, and another kick (the control loop's, another
        // submission's) may start threads meanwhile: they count against this one's number.
        long alive_planned = q->alive + to_start;
        for (long i = 0; i < to_start && q->alive < alive_planned; ++i) {
            try {
                start_thread(c, manager, q);
            }
            catch (const PyErrSet&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                    throw;
                }
                if (q->alive > 0) {
                    PyErr_Clear();  // the threads alive take the names in turn
                    return;
                }
                fail_first(c, manager, q);
                failed = true;
            }
        }
        if (!failed) {
            return;
        }
        eager_settle(c, manager);
        if (q->alive > 0 || q->fifo->empty() || q->closed) {
            return;
        }
    }
}

}  // namespace

PyObject* create_eager_queue_type(PyObject* module) noexcept
{
    return PyType_FromModuleAndSpec(module, &queue_spec, nullptr);
}

Ref new_eager_queue(const Ctx& c, PyObject* manager)
{
    auto* type = reinterpret_cast<PyTypeObject*>(c.st->eager_queue_type);
    Ref queue = require(queue_new(type, nullptr, nullptr));
    as_queue(queue.get())->manager = manager;
    return queue;
}

void eager_push(PyObject* queue, PyObject* name, PyObject* worker)
{
    QueueObject* q = as_queue(queue);
    if (q->closed) {
        closed_error();
    }
    try {
        q->fifo->push_back(Node{Py_NewRef(name), Py_XNewRef(worker)});
    }
    catch (const std::bad_alloc&) {
        Py_DECREF(name);
        Py_XDECREF(worker);
        PyErr_NoMemory();
        throw PyErrSet{};
    }
    // Only a blocking get() waits for a put: with none waiting (the usual case: the task threads
    // take names without waiting here), nothing is signalled.
    if (q->pool->getters > 0) {
        {
            std::lock_guard<std::mutex> hold(q->pool->mutex);
            ++q->pool->puts;
        }
        q->pool->arrived.notify_all();
    }
}

void eager_kick(const Ctx& c, PyObject* manager, PyObject* var)
{
    PyObject* queue = eager_queue_of(manager);
    if (!queue) {
        return;
    }
    QueueObject* q = as_queue(queue);
    if (q->closed || q->fifo->empty()) {
        return;
    }
    try {
        kick(c, manager, q, var);
    }
    catch (const PyErrSet&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            // A Ctrl-C or a stop that landed in a thread's start-up (the Python code of its
            // constructor or of start()) goes on to the caller. The work left queued is the
            // control loop's to start: waking it runs no Python code, so nothing more can land
            // here.
            wake_control_loop(manager);
            throw;
        }
        // A limit that cannot be compared (or a failing store) is logged as the dispatch logs it,
        // and nothing is dispatched. One thread is kept trying, as the paced loop keeps polling,
        // so that a limit set right through the store is taken up.
        log_run_error(c, manager);
        if (q->alive == 0 && !q->closed) {
            try {
                start_thread(c, manager, q);
            }
            catch (const PyErrSet&) {
                log_run_error(c, manager);
            }
        }
    }
}

void eager_settle(const Ctx& c, PyObject* manager)
{
    PyObject* queue = eager_queue_of(manager);
    if (!queue) {
        return;
    }
    QueueObject* q = as_queue(queue);
    if (!q->fifo->empty()) {
        return;
    }
    try {
        Ref var = manager_var(c, manager);
        settle_batch(c, manager, var.get(), [q] { return static_cast<Py_ssize_t>(q->fifo->size()); });
    }
    catch (const PyErrSet&) {
        log_run_error(c, manager);
    }
}

void eager_wake_all(PyObject* queue) noexcept
{
    Pool* pool = as_queue(queue)->pool;
    {
        std::lock_guard<std::mutex> hold(pool->mutex);
        pool->closing = true;
    }
    pool->work.notify_all();
}

bool eager_has_waiting(PyObject* queue) noexcept
{
    return !as_queue(queue)->fifo->empty();
}

bool eager_holds(PyObject* queue, PyObject* name) noexcept
{
    bool text = PyUnicode_Check(name);
    for (const Node& node : *as_queue(queue)->fifo) {
        if (node.name == name
            || (text && PyUnicode_Check(node.name) && PyUnicode_Compare(node.name, name) == 0)) {
            return true;
        }
    }
    return false;
}

Ref eager_pop(PyObject* queue) noexcept
{
    std::deque<Node>* fifo = as_queue(queue)->fifo;
    if (fifo->empty()) {
        return Ref();
    }
    Node node = fifo->front();
    fifo->pop_front();
    drop(node.worker);
    return Ref::steal(node.name);
}

void eager_forget_manager(PyObject* queue) noexcept
{
    as_queue(queue)->manager = nullptr;
}

bool eager_requeue(const Ctx& c, PyObject* queue, PyObject* name, PyObject* entry)
{
    PyObject* found = nullptr;
    require_int(PyObject_GetOptionalAttr(entry, c.name(N__worker), &found));
    Ref worker = Ref::steal(found);
    if (!worker || Py_IsNone(worker.get())) {
        return false;
    }
    set_field(c, entry, N__worker, Py_None);
    eager_push(queue, name, worker.get());
    return true;
}

void eager_control_loop(const Ctx& c, PyObject* self, Run* run)
{
    Ref var;
    while (loop_goes_on(c, self, run, var)) {
        // A close wakes the loop at once; the period bounds the wait for a switch turned off right
        // through the store, which wakes nobody, so that the thread does not outlive it by long.
        // Each wake-up costs an idle manager some tens of microseconds: a few seconds keeps that
        // far below what an idle interpreter burns.
        (void)wait_while_idle(self, control_period);
        // Work that waits with room to run and no thread coming for it gets its threads here: after
        // a start-up interrupted on the submitting thread (which wakes the loop), or a limit raised
        // right through the store (seen within the period). With nothing waiting this returns at
        // once.
        if (loop_goes_on(c, self, run, var)) {
            eager_kick(c, self, var.get());
        }
    }
}

}  // namespace threads_main
