// Task submission: one task through _send, a collection on a sending thread (once, or again and
// again while a duration lasts).
#include "submit/submit.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "brixel_var_api.h"
#include "dispatch/dispatch.hpp"
#include "state.hpp"
#include "native/native.hpp"
#include "outside/outside.hpp"
#include "support/args.hpp"
#include "support/call.hpp"
#include "support/run.hpp"
#include "worker/worker.hpp"

namespace threads_main {

namespace {

// Names waiting in the queue at or above which a timed bulk submission holds back.
constexpr long queue_threshold = 1000;
// Seconds a timed bulk submission pauses after a pass that submitted nothing. While the queue is
// full the pause adapts, between the two bounds, to how fast the tasks take the names: it doubles
// when a pause left at least three quarters of the threshold waiting, and halves when it left less
// than a quarter. Slow tasks (requests) then wake the sending thread a few dozen times a second
// rather than two hundred, and fast ones no longer find the queue empty for most of a pause.
// Once the window has passed, the loop only watches for a longer duration or the close: its pause
// doubles from the idle one up to the longest, so that a manager that has run timed batches idles
// at about 20 wake-ups a second per batch instead of 200.
constexpr double idle_pause = 0.005;
constexpr double shortest_pause = 0.0005;
constexpr double longest_pause = 0.05;
// A pause inside the window ends this long after the window does, so that the loop ends its hold
// on the batch before a join that waited for the window looks (a millisecond past its end): the
// batch can then end, and be cleared, as soon as its last tasks have.
constexpr double past_window = 0.0005;

// "Thread_" and the text form of the counter. A plain int, the usual counter, is written directly:
// the general formatting costs a noticeable share of a submission.
Ref name_for(PyObject* counter)
{
    if (PyLong_CheckExact(counter)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(counter, &overflow);
        if (number == -1 && PyErr_Occurred()) {
            throw PyErrSet{};
        }
        if (!overflow) {
            // Digits written backwards from the end of the buffer, behind the fixed prefix.
            char text[32];
            char* end = text + sizeof text;
            char* p = end;
            unsigned long long magnitude = number < 0 ? 0ULL - static_cast<unsigned long long>(number)
                                                      : static_cast<unsigned long long>(number);
            do {
                *--p = static_cast<char>('0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude);
            if (number < 0) {
                *--p = '-';
            }
            constexpr char prefix[] = "Thread_";
            p -= sizeof prefix - 1;
            std::memcpy(p, prefix, sizeof prefix - 1);
            // ASCII only: the string is made without decoding.
            Ref name = require(PyUnicode_New(end - p, 127));
            std::memcpy(PyUnicode_1BYTE_DATA(name.get()), p, static_cast<size_t>(end - p));
            return name;
        }
    }
    return require(PyUnicode_FromFormat("Thread_%S", counter));
}

// The task entries of the store's `threads`. A plain store (our class exactly, its `keys` and `set`
// not shadowed on the instance) is asked through its C interface: the same answers, without a keys
// view, two bound methods and an entry mapping per submission. Anything else is asked through its
// methods.
class TaskEntries {
public:
    TaskEntries(const Ctx& c, PyObject* threads)
        : c_(c), threads_(threads), api_(plain_store_methods(c, threads, {N_keys, N_set}))
    {
        if (!api_) {
            keys_ = call_method(threads, c.name(N_keys));
        }
    }

    bool in_use(PyObject* name) const
    {
        if (api_) {
            return require_int(api_->has_entry(threads_, name)) != 0;
        }
        return contains(keys_.get(), name);
    }

    // A waiting entry for `name`: its thread, no result, the status "待运行".
    void add_waiting(PyObject* name, PyObject* thread) const
    {
        PyObject* waiting = c_.status(S_WAITING);
        if (api_) {
            require_int(api_->set_task(threads_, name, thread, Py_None, waiting));
            return;
        }
        Ref value = require(PyDict_New());
        require_int(PyDict_SetItem(value.get(), c_.name(N_thread), thread));
        require_int(PyDict_SetItem(value.get(), c_.name(N_result), Py_None));
        require_int(PyDict_SetItem(value.get(), c_.name(N_status), waiting));
        PyObject* set_argv[] = {threads_, name, value.get()};
        require(PyObject_VectorcallMethod(c_.name(N_set), set_argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          c_.st->kw_value));
    }

private:
    const Ctx& c_;
    PyObject* threads_;
    const BrixelVarApi* api_;
    Ref keys_;
};

// "Thread_<counter>", advancing the counter until the name is not in use: a name a caller chose
// earlier must not be taken over, which would overwrite its entry and queue it twice. A counter
// that no longer changes the name (a float past 2**53, inf, nan) is refused: going round for ever
// would hold the store's lock and the interpreter, so that not even Ctrl-C would end it.
Ref generate_name(const Ctx& c, PyObject* var, const TaskEntries& entries)
{
    Ref one = require(PyLong_FromLong(1));
    Ref previous;
    for (;;) {
        Ref counter = field(c, var, N_name);
        Ref name = name_for(counter.get());
        Ref next = require(PyNumber_Add(counter.get(), one.get()));
        set_field(c, var, N_name, next.get());
        if (!entries.in_use(name.get())) {
            return name;
        }
        if (previous && PyUnicode_Compare(name.get(), previous.get()) == 0) {
            PyErr_Format(PyExc_ValueError, "the name counter %R does not advance: %U is in use", counter.get(),
                         name.get());
            throw PyErrSet{};
        }
        previous = std::move(name);
    }
}

// The part of a submission made under the store's lock: name, worker, the entry's thread, entry.
// Returns the chosen name, and the worker in `worker`.
Ref create_task(const Ctx& c, PyObject* self, PyObject* var, PyObject* log, PyObject* thread_name,
                const TaskKeywords& keywords, Ref& worker)
{
    Ref threads = field(c, var, N_threads);
    TaskEntries entries(c, threads.get());
    Ref name;
    if (thread_name != Py_None && PyUnicode_GET_LENGTH(thread_name) > 0 && !entries.in_use(thread_name)) {
        name = Ref::borrow(thread_name);
    } else {
        name = generate_name(c, var, entries);
    }

    Ref worker_class = c.global(N__Worker);
    worker = build_worker(c, worker_class.get(), var, name.get(), log, keywords, as_manager(self)->core);
    Ref thread = waiting_thread(c, self, worker.get());
    entries.add_waiting(name.get(), thread.get());
    return name;
}

// One bulk request as the keyword arguments of a `_send` call: the keyword names, as a tuple that
// is reused while the requests keep the same keys in the same order (which is how a bulk submission
// mostly looks: every waiting task keeps its names, and so they stay shared), and the values, held
// (converting or submitting a request may run code that changes it).
struct Request {
    Ref names;
    std::vector<Ref> values;
    std::vector<PyObject*> argv;

    PyObject* kwnames() const { return argv.empty() ? nullptr : names.get(); }
};

class RequestCaller {
public:
    // `request` (a dict) as keyword arguments, in `out`.
    void prepare(PyObject* request, Request& out)
    {
        Py_ssize_t n = PyDict_GET_SIZE(request);
        bool same = names_ && PyTuple_GET_SIZE(names_.get()) == n;
        keys_.clear();
        out.values.clear();
        keys_.reserve(static_cast<size_t>(n));
        out.values.reserve(static_cast<size_t>(n));
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(request, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                raise(PyExc_TypeError, "keywords must be strings");
            }
            auto i = static_cast<Py_ssize_t>(keys_.size());
            same = same && i < n && PyTuple_GET_ITEM(names_.get(), i) == key;
            keys_.push_back(Ref::borrow(key));
            out.values.push_back(Ref::borrow(value));
        }
        n = static_cast<Py_ssize_t>(keys_.size());
        if (!same || PyTuple_GET_SIZE(names_.get()) != n) {
            names_ = require(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyTuple_SET_ITEM(names_.get(), i, Py_NewRef(keys_[static_cast<size_t>(i)].get()));
            }
        }
        out.names = names_.dup();
        out.argv.clear();
        for (const Ref& v : out.values) {
            out.argv.push_back(v.get());
        }
    }

    // `send(**request)`.
    void call(PyObject* send, PyObject* request)
    {
        prepare(request, one_);
        require(PyObject_Vectorcall(send, one_.argv.data(), 0, one_.kwnames()));
    }

    // Room for `size` gathered requests.
    std::vector<Request>& chunk(std::size_t size)
    {
        if (chunk_.size() < size) {
            chunk_.resize(size);
        }
        return chunk_;
    }

private:
    // Kept between requests and passes, so that their storage is allocated once per bulk submission.
    Ref names_;
    std::vector<Ref> keys_;
    Request one_;
    std::vector<Request> chunk_;
};

// Hands out the shared tuple for task keyword names split off a call that named its task by
// keyword, or keeps this call's split as the shared one.
void share_rest_names(const Ctx& c, PyObject* kwnames, RestKeywords& rest)
{
    if (!kwnames || rest.names.get() == kwnames) {
        return;
    }
    if (c.st->rest_from == kwnames) {
        rest.names = Ref::borrow(c.st->rest_names);
        return;
    }
    // Both fields change before the old tuples go.
    Ref old_from = Ref::steal(std::exchange(c.st->rest_from, Py_NewRef(kwnames)));
    Ref old_names = Ref::steal(std::exchange(c.st->rest_names, Py_NewRef(rest.names.get())));
}

// The arguments of a `_send` call: returns the task's chosen name (None for none), and its keywords
// in `rest`.
PyObject* bind_send(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, RestKeywords& rest)
{
    PyObject* a[1];
    bind_args({"_send", {"thread_name"}, 0, true}, args, nargs, kwnames, a, rest);
    PyObject* thread_name = a[0] ? a[0] : Py_None;
    if (thread_name != Py_None && !PyUnicode_CheckExact(thread_name)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     "thread_name", "str", Py_TYPE(thread_name)->tp_name);
        throw PyErrSet{};
    }
    return thread_name;
}

// One task submitted, with the store's lock held: from the name's choice to the put, so that a close
// (which turns the switch off under the lock), a record clearing and the end of a batch never see
// the task half-submitted, and its name is in `totals` before anything can dispatch it.
void submit_locked(const Ctx& c, PyObject* self, PyObject* var, PyObject* log, PyObject* thread_name,
                   const TaskKeywords& keywords)
{
    if (!truthy(field(c, var, N_switch).get())) {
        raise_manager_error(c, "The manager has stopped");
    }
    Ref worker;
    Ref name = create_task(c, self, var, log, thread_name, keywords, worker);
    Ref totals = field(c, var, N_totals);
    append(totals.get(), name.get());
    try {
        queue_task(c, self, var, name.get(), worker.get());
    }
    catch (const PyErrSet&) {
        // A queue that refuses the name: the task is taken back as cancelled, so that no name
        // waits where nothing will find it.
        SavedError keep;
        cancel_task(c, var, name.get());
        throw;
    }
}

// Requests a bulk submission takes at a time when it submits them itself.
constexpr std::size_t chunk_size = 64;

// The gathered requests of a bulk submission, submitted as `send(**request)` each would submit them,
// under one hold of the store's lock, followed by one dispatch. Only for our own `send`: the open
// check is still made through self when it is not our own, and then each request goes through
// `send` itself. A request that fails ends the chunk there, with the ones before it submitted and
// dispatched, as one call after another would have left them.
void submit_chunk(const Ctx& c, PyObject* self, PyObject* send, std::vector<Request>& chunk, std::size_t count)
{
    if (count == 0) {
        return;
    }
    if (!calls_own(self, c.name(N__check_while), c.st->check_while)) {
        for (std::size_t i = 0; i < count; ++i) {
            require(PyObject_Vectorcall(send, chunk[i].argv.data(), 0, chunk[i].kwnames()));
        }
        return;
    }
    Ref var = manager_var(c, self);
    open_check(c, self, var.get());
    Ref log = manager_log(c, self);
    StoreLock lock(c, var.get());
    for (std::size_t i = 0; i < count; ++i) {
        const Request& request = chunk[i];
        try {
            RestKeywords rest;
            PyObject* thread_name = bind_send(request.argv.data(), 0, request.kwnames(), rest);
            share_rest_names(c, request.kwnames(), rest);
            submit_locked(c, self, var.get(), log.get(), thread_name, TaskKeywords{rest.names.get(), rest.values});
        }
        catch (const PyErrSet&) {
            if (i > 0) {
                // The lock goes first, then what was queued starts; an error of either is reported
                // as unraisable, and the request's own error goes on.
                SavedError keep;
                try {
                    lock.release();
                    dispatch_more(c, self, var.get());
                }
                catch (const PyErrSet&) {
                }
            }
            throw;
        }
    }
    lock.release();
    dispatch_more(c, self, var.get());
}

// Whether `**element` takes the items a dict stores as they are: a dict, or a subclass that iterates
// as a dict does. Of any other subclass it asks keys() and the items, which may run its code.
bool stored_items(PyObject* element)
{
    return PyDict_Check(element) && Py_TYPE(element)->tp_iter == PyDict_Type.tp_iter;
}

// One bulk request as the keyword dict of a `_send` call, as `**element` would take it.
Ref as_request(PyObject* element)
{
    if (stored_items(element)) {
        return Ref::borrow(element);
    }
    if (element == Py_None) {
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    }
    return require(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), element));
}

// Whether a pass may gather its requests ahead and submit them itself: `_send` and
// `_thread_list_yield` are our own, and the collection is one whose iteration runs no code of its
// own. A pass over anything else (a generator that paces its elements, say) takes one element at a
// time, through self._send. Gathering never runs code of a caller's ahead of a submission: a
// request that is not a dict ends the chunk before it is turned into one.
bool gathers(const Ctx& c, PyObject* self, PyObject* thread_list)
{
    PyTypeObject* type = Py_TYPE(thread_list);
    if (type != &PyList_Type && type != &PyTuple_Type && type != &PySet_Type && type != &PyFrozenSet_Type) {
        return false;
    }
    return calls_own(self, c.name(N__send), c.st->send)
           && calls_own(self, c.name(N__thread_list_yield), c.st->thread_list_yield);
}

// One pass over the collection: every element through self._send, or as our own _send would submit
// it, a chunk of requests at a time. `open()` is asked after each element, or chunk: false ends the
// pass there (a timed run's window that closed). Returns how many were sent.
template <typename Open>
Py_ssize_t send_pass(const Ctx& c, PyObject* self, PyObject* thread_list, RequestCaller& caller, Open&& open)
{
    bool gather = gathers(c, self, thread_list);
    // Our own _thread_list_yield yields what the built-in collection's iterator does, in its order:
    // a gathering pass takes that iterator itself, without resuming a generator for each element.
    Ref it;
    if (gather) {
        it = require(PyObject_GetIter(thread_list));
    } else {
        Ref elements = call_method(self, c.name(N__thread_list_yield), thread_list);
        it = require(PyObject_GetIter(elements.get()));
    }
    Ref send = getattr(self, c.name(N__send));
    Py_ssize_t sent = 0;
    if (!gather) {
        // Taking the next element may run the caller's code for long (a generator that reads a
        // listing page by page): for a task that submits so, that is task code, where a stop ends it
        // rather than waiting for the last element.
        for (;;) {
            PyObject* next = nullptr;
            if (!interruptible([&] {
                    next = PyIter_Next(it.get());
                    return next != nullptr || !PyErr_Occurred();
                })) {
                throw PyErrSet{};
            }
            if (!next) {
                return sent;
            }
            Ref element = Ref::steal(next);
            Ref request = as_request(element.get());
            caller.call(send.get(), request.get());
            ++sent;
            if (!open()) {
                return sent;
            }
        }
    }
    std::vector<Request>& chunk = caller.chunk(chunk_size);
    for (bool more = true; more;) {
        std::size_t count = 0;
        try {
            while (count < chunk_size) {
                PyObject* next = PyIter_Next(it.get());
                if (!next) {
                    if (PyErr_Occurred()) {
                        throw PyErrSet{};
                    }
                    more = false;
                    break;
                }
                Ref element = Ref::steal(next);
                if (count > 0 && !stored_items(element.get())) {
                    // Turning it into a dict may run code of its own: what was gathered goes first.
                    // Taken out of the chunk before it is submitted, so that a failure among them
                    // is not met again (and the ones before it submitted twice) below.
                    std::size_t gathered = std::exchange(count, 0);
                    submit_chunk(c, self, send.get(), chunk, gathered);
                    sent += static_cast<Py_ssize_t>(gathered);
                }
                Ref request = as_request(element.get());
                caller.prepare(request.get(), chunk[count]);
                ++count;
            }
        }
        catch (const PyErrSet&) {
            // The requests before the one that failed are submitted first, as they would have been
            // one by one; an error of theirs comes first too.
            Ref failure = Ref::steal(PyErr_GetRaisedException());
            try {
                submit_chunk(c, self, send.get(), chunk, count);
            }
            catch (const PyErrSet&) {
                // Dropped with the submission's error set aside: its release may run finalizers.
                SavedError keep;
                failure = Ref{};
                throw;
            }
            PyErr_SetRaisedException(failure.release());
            throw;
        }
        submit_chunk(c, self, send.get(), chunk, count);
        sent += static_cast<Py_ssize_t>(count);
        more = more && open();
    }
    return sent;
}

// True, with the error dropped, when the pending error is the ManagerError of a closed manager:
// closing is how a timed sending thread normally ends, and it should end without a report.
bool ended_by_close(const Ctx& c, PyObject* var)
{
    if (!pending_is_manager_error(c) || !switch_reads_off(c, var)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

// Counts the window of a timed submission as open, from its first pass until the submission finds it
// past (after it has ended its hold on the batch), for a join that ends with the window.
class OpenWindow {
public:
    explicit OpenWindow(PyObject* manager) noexcept : m_(as_manager(manager)) {}
    OpenWindow(const OpenWindow&) = delete;
    OpenWindow& operator=(const OpenWindow&) = delete;
    ~OpenWindow() { close(); }

    void open() noexcept
    {
        if (!std::exchange(open_, true)) {
            ++m_->windows;
        }
    }
    void close() noexcept
    {
        if (std::exchange(open_, false)) {
            --m_->windows;
        }
    }

private:
    ManagerObject* m_;
    bool open_ = false;
};

// The end of a timed submission's window begun at `start`: start + duration, or none when the
// duration is None or 0 (set so during the run, it closes the window).
Ref window_end(PyObject* start, PyObject* duration)
{
    return truthy(duration) ? require(PyNumber_Add(start, duration)) : Ref();
}

// Whether `now` lies in a window that ends at `end` (a reading equal to the end does); never when
// it has none.
bool within(PyObject* now, const Ref& end)
{
    return end && require_int(PyObject_RichCompareBool(now, end.get(), Py_LE)) != 0;
}

// Counts a timed submission's first pass as under way, for a join: the collection is sent once,
// whatever the window, and the batch holds what that pass sends.
using OpeningPass = UnderWay<&ManagerObject::opening>;

// The timed loop: the whole collection again whenever the window is open and the queue is short,
// until the manager closes or its batch is cleared.
void send_for_duration(const Ctx& c, PyObject* self, PyObject* var, PyObject* thread_list, SendingHold& hold)
{
    Ref time = c.global(N_time);
    Ref start = call_method(time.get(), c.name(N_time));
    Ref threshold = require(PyLong_FromLong(queue_threshold));
    Ref few = require(PyLong_FromLong(queue_threshold / 4));
    Ref many = require(PyLong_FromLong(queue_threshold - queue_threshold / 4));
    Ref pause = require(PyFloat_FromDouble(idle_pause));
    double full_pause = idle_pause;
    double past_pause = idle_pause;
    bool paused_full = false;  // the last pause was taken because the queue was full
    RequestCaller caller;
    // The first pass starts as the window opens, however short the window and however many names
    // wait: a run always has its collection sent once, as without a duration. A later pass ends
    // where the window does, so that nothing is sent after it.
    bool first = true;
    OpenWindow window(self);
    // A record clearing forgets the batch this loop sent into: a longer duration set for the next
    // run must not bring this collection back into it.
    unsigned long long batch = as_manager(self)->core->clearings;
    auto still_open = [&] {
        Ref end = window_end(start.get(), field(c, var, N_duration).get());
        Ref clock = c.global(N_time);
        return within(call_method(clock.get(), c.name(N_time)).get(), end);
    };
    while (truthy(field(c, var, N_switch).get()) && as_manager(self)->core->clearings == batch) {
        time = c.global(N_time);
        Ref now = call_method(time.get(), c.name(N_time));
        Ref duration = field(c, var, N_duration);
        Py_ssize_t sent = 0;
        bool full = false;
        // Past the window (never on the first pass). A duration set to None or 0 during the run
        // closes it: the window is over, as the join then takes it to be.
        bool opening = std::exchange(first, false);
        Ref end = opening ? Ref() : window_end(start.get(), duration.get());
        bool past = !opening && !within(now.get(), end);
        // The batch is held open while the window is: it ends once the tasks sent in it have.
        if (past) {
            hold.end();
            window.close();
        } else {
            window.open();
            hold.begin();
            past_pause = idle_pause;
            if (opening) {
                OpeningPass pass(self);
                sent = send_pass(c, self, thread_list, caller, [] { return true; });
            } else {
                Ref waiting = call_method(self, c.name(N__get_qsize));
                if (std::exchange(paused_full, false)) {
                    if (require_int(PyObject_RichCompareBool(waiting.get(), few.get(), Py_LT))) {
                        full_pause = std::max(full_pause / 2, shortest_pause);
                    } else if (require_int(PyObject_RichCompareBool(waiting.get(), many.get(), Py_GE))) {
                        full_pause = std::min(full_pause * 2, longest_pause);
                    }
                }
                full = !require_int(PyObject_RichCompareBool(waiting.get(), threshold.get(), Py_LT));
                if (!full) {
                    sent = send_pass(c, self, thread_list, caller, still_open);
                }
            }
        }
        // A pass that sent nothing sleeps (the sleep releases the interpreter lock): testing again
        // at once would keep a processor busy and starve the other threads.
        if (sent == 0) {
            paused_full = full;
            if (past) {
                double seconds = std::exchange(past_pause, std::min(past_pause * 2, longest_pause));
                poll_sleep(c, require(PyFloat_FromDouble(seconds)).get());
            } else if (full || end) {
                double seconds = full ? full_pause : idle_pause;
                // A replaced clock whose numbers do not subtract to seconds leaves the pause as it is.
                double left = end ? seconds_between(now.get(), end.get()) : std::numeric_limits<double>::infinity();
                if (std::isfinite(left)) {
                    seconds = std::min(seconds, std::max(left, 0.0) + past_window);
                }
                poll_sleep(c, require(PyFloat_FromDouble(seconds)).get());
            } else {
                poll_sleep(c, pause.get());
            }
        }
    }
}

}  // namespace

PyObject* manager_send(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        RestKeywords rest;
        PyObject* thread_name = bind_send(args, nargs, kwnames, rest);
        Ctx c = ctx_from_class(cls);
        // The open check through self, unless that would run our own check: then it is run here, on
        // the store this submission uses (a call per task that is not free).
        Ref var;
        if (calls_own(self, c.name(N__check_while), c.st->check_while)) {
            var = manager_var(c, self);
            open_check(c, self, var.get());
        } else {
            call_method(self, c.name(N__check_while));
            var = manager_var(c, self);
        }
        share_rest_names(c, kwnames, rest);
        Ref log = manager_log(c, self);
        StoreLock lock(c, var.get());
        submit_locked(c, self, var.get(), log.get(), thread_name, TaskKeywords{rest.names.get(), rest.values});
        lock.release();
        dispatch_more(c, self, var.get());
        return Py_NewRef(Py_True);
    });
}

PyObject* manager_send_list_thread(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send_list_thread", {"thread_list"}, 1}, args, nargs, kwnames, a);
        Ctx c = ctx_from_class(cls);
        SendingHold hold(c, self);
        Ref var = manager_var(c, self);
        if (!truthy(field(c, var.get(), N_duration).get())) {
            RequestCaller caller;
            send_pass(c, self, a[0], caller, [] { return true; });
            hold.end();
            return Py_NewRef(Py_None);
        }
        try {
            send_for_duration(c, self, var.get(), a[0], hold);
        }
        catch (const PyErrSet&) {
            if (!ended_by_close(c, var.get())) {
                throw;
            }
        }
        hold.end();
        return Py_NewRef(Py_None);
    });
}

PyObject* manager_send_list(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames)
{
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* a[1];
        bind_args({"_send_list", {"thread_list"}, 1}, args, nargs, kwnames, a);
        PyObject* thread_list = a[0];
        if (!PyList_Check(thread_list) && !PySet_Check(thread_list) && !PyTuple_Check(thread_list)) {
            // Nothing is sent. A collection of another kind (a generator expression reads naturally
            // here) is most likely a mistake, after which a join would wait for ever: say so.
            if (thread_list != Py_None) {
                require_int(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                             "_send_list sends nothing from a %s: give it a list, a set or a tuple",
                                             Py_TYPE(thread_list)->tp_name));
            }
            return Py_NewRef(Py_None);
        }
        Ctx c = ctx_from_class(cls);
        // An empty collection on a manager that has had no task (a list built from input that turned
        // out empty): a join would wait for ever for the first task. Say so; on a batch that has
        // tasks it is harmless, and silent.
        if (length(thread_list) == 0 && as_manager(self)->sending == 0
            && field_length(c, manager_var(c, self).get(), N_totals) == 0) {
            require_int(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                         "_send_list sends nothing from an empty %s, and the manager has no task: a "
                                         "join would wait for one",
                                         Py_TYPE(thread_list)->tp_name));
        }
        Ref target = getattr(self, c.name(N__send_list_thread));
        Ref thread_args = require(PyTuple_Pack(1, thread_list));
        // The sending thread is a threading.Thread whatever the module-level `Thread` now names.
        Ref threading = c.global(N_threading);
        Ref thread_class = getattr(threading.get(), c.name(N_Thread));
        PyObject* argv[] = {nullptr, target.get(), thread_args.get()};
        Ref thread = require(PyObject_Vectorcall(thread_class.get(), argv + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                 c.st->kw_target_args));
        // Our own pass counts as under way from now on, and a join that begins once this returns
        // waits for the collection rather than finding the batch before it done. A pass of an
        // override counts through the tasks it submits.
        bool own_pass = PyCFunction_Check(target.get()) && PyCFunction_GET_SELF(target.get()) == self
                        && PyCFunction_GET_FUNCTION(target.get()) == cfunction(manager_send_list_thread);
        if (!own_pass) {
            call_method(thread.get(), c.name(N_start));
            return Py_NewRef(Py_None);
        }
        sending_announce(self);
        try {
            Ref var = manager_var(c, self);
            if (!switch_off(c, var.get())) {
                set_field(c, var.get(), N_done, Py_False);
            }
            call_method(thread.get(), c.name(N_start));
        }
        catch (const PyErrSet&) {
            sending_withdraw(c, self);
            throw;
        }
        return Py_NewRef(Py_None);
    });
}

}  // namespace threads_main
