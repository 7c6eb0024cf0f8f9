// Runs, and where a stop may land.
//
// A stop ends a task by raising SystemExit inside the thread that runs it, asynchronously: the
// interpreter raises it at that thread's next bytecode boundary, wherever that is. Landing inside
// the manager's own work would leave records half-written (a name taken off a queue but not yet
// recorded anywhere, a queue's count raised but its buffer not yet changed). So every execution
// that can be stopped is a *run* with a native handle, and the exception is sent only while the
// run's thread is in code that is not ours.
//
// The states of a run, changed only with the interpreter lock held:
//
//   Starting   the run exists; its thread has not begun the task yet
//   Task       its thread runs task code: the task function, or user code we called back
//   Call       its thread is inside one of our calls (any manager's method, a worker's start)
//   Finishing  the task function has returned and the worker records the outcome itself
//   Ended
//
// A stop request (`request_stop`) claims the run as stopped, then:
//   - Task: the caller sends SystemExit at once, in the same step under the interpreter lock, so
//     the thread cannot leave task code (or end and have its id reused) in between;
//   - Starting, Call: nothing is sent; the thread raises SystemExit itself when it returns from
//     its outermost call (`CallScope`), or never begins the task;
//   - Finishing, Ended: too late; the run records its own outcome.
// A run's own thread never signals itself: a stop or close called from a task stops the others,
// completes, and only then, on its return, ends the task that called it.
//
// Every entry point of ours opens a `CallScope` (the error boundary does it). Entered from task
// code, it moves the run to Call and takes back an asynchronous exception that was sent but has
// not fired yet; the exception is raised when the outermost call returns. A stop delivers one
// SystemExit: when the thread leaves task code and finds nothing pending although one was sent,
// the interpreter has raised it in task code already, and the run takes it as raised, so that a
// `finally` or `except SystemExit` that calls one of our methods gets its result, not a second
// SystemExit.
//
// A SystemExit that fires inside a finalizer (`__del__`, a weakref callback) that task code set
// off is swallowed by the interpreter and reported as unraisable, and the task would run on. The
// interpreter announces every such report to audit hooks before it makes it: the module's audit
// hook (`install_stop_hook`) marks the run, so that the stop is raised again when the thread next
// enters one of our calls. The module's unraisable hook, put before the one there was, does better:
// it prints nothing and sends the SystemExit again, so that it fires at the thread's next bytecode
// outside the finalizer. A hook installed later (a test runner's, the caller's own) would print the
// report and leave a task that never calls us again running for ever, so every stop first puts
// ours back in front of whatever hook is there (`front_stop_hook`). A send made by an
// overridden `_async_raise` (Python code, which lets other threads run before it sends) is
// announced on the run first; a thread that leaves task code waits for such a send to finish and
// then takes back what it sent, so the exception never lands in our code, never reaches the next
// task of a reused thread, and never reaches a thread id that has been reused.
//
// Long waits inside our calls (the joins' polls, a timed bulk submission's pauses) are task code
// again when they belong to the outermost call (`interruptible`), so that a stop ends them.
//
// A run lives on the heap with a count of owners (the thread that runs it, a manager's table of
// runs, a stop in progress); it holds no Python references except an exception kept back for its
// thread. Runs are found by task name in the manager's `RunTable`; there is no process-wide map.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>

namespace threads_main {

class RunTable;

struct Run {
    enum State : int { Starting, Task, Call, Finishing, Ended };

    std::atomic<int> owners{1};
    State state = Starting;
    bool stop = false;        // a stop has claimed the run
    bool sent = false;        // SystemExit has been sent to its thread: pending, or raised there
    bool raised = false;      // the stop's SystemExit has been raised in its thread
    bool swallowed = false;   // ... but a finalizer swallowed it: it is still to be raised
    bool adopted = false;     // a thread has begun it
    int depth = 0;            // our calls open on its thread
    unsigned long ident = 0;  // its thread, once it began
    Run* outer = nullptr;     // the run it interrupts on the same thread (start() called from a task)
    PyObject* kept = nullptr; // an asynchronous exception taken back, raised when the call returns
    // The stop's SystemExit as one of our calls raised it, until task code ends: a finalizer that
    // made that call swallows it, and the unraisable report then names this very exception.
    PyObject* raised_here = nullptr;

    // Sends in progress through an overridden _async_raise, and their end.
    std::mutex announce_mutex;
    std::condition_variable announce_done;
    int announcing = 0;
};

// Owners: take one more, give one back (the last one frees the run).
void run_hold(Run* run) noexcept;
void run_release(Run* run) noexcept;

// The run of the calling thread, or null.
Run* current_run() noexcept;

// Makes `run` the calling thread's run, on top of the one there (its `outer`). GIL held.
void push_run(Run* run) noexcept;
// Puts the outer run back. GIL held.
void pop_run(Run* run) noexcept;

// Task code begins on the calling thread (its run goes to Task), and ends again (its run goes to
// `next`, after waiting for an announced send to finish; a pending asynchronous exception is taken
// back into `kept`). GIL held; `leave_task` releases it while it waits.
void enter_task(Run* run) noexcept;
void leave_task(Run* run, Run::State next) noexcept;

// Raises the exception a run keeps back (a taken-back one, else SystemExit for a stop that has not
// been raised yet). Returns true when it set an error. GIL held.
bool raise_kept(Run* run) noexcept;

// Drops whatever the run kept back and any asynchronous exception still pending for the calling
// thread: for a run that ends stopped. GIL held.
void drop_kept(Run* run) noexcept;

enum class StopVerdict {
    Send,      // the run is claimed and runs task code: send SystemExit now
    Deferred,  // the run is claimed; its thread raises SystemExit itself
    TooLate,   // the run is finishing or has ended (or was already stopped): leave it alone
};

// Claims `run` for a stop. On Send the caller sends SystemExit (`send_stop`), or announces a send
// through an override (`announce`/`announced`), before running any Python code. GIL held.
StopVerdict request_stop(Run* run) noexcept;

// Sends SystemExit to the run's thread. False (nothing sent) when no thread has its id. GIL held.
bool send_stop(Run* run) noexcept;

// A send through Python code, made between these two; `succeeded` when it sent. GIL held for both.
void announce(Run* run) noexcept;
void announced(Run* run, bool succeeded) noexcept;

// Adds the audit hook and wraps sys.unraisablehook (see above); every other report goes to the hook
// that was there before. For the module's exec: 0, or -1 with an error set.
int install_stop_hook() noexcept;

// Wraps sys.unraisablehook again, unless the module's hook is the one there. Calls no Python code
// of its own (its one allocation may still collect garbage, as any may); never fails: without it,
// a swallowed stop waits for the thread's next call of ours. GIL held, no error pending.
void front_stop_hook() noexcept;

// Our calls on the calling thread: see above. `leave` returns true when it raised the exception
// the run keeps back (the call must then fail). GIL held.
class CallScope {
public:
    CallScope() noexcept;
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    bool leave() noexcept;

private:
    Run* run_;
    bool moved_;  // this scope moved the run out of task code
};

// A run begun on the calling thread for a scope: its current run, in our code (Call) with `depth`
// calls open, and ended on every way out (no longer current, Ended, out of `table` under `name`,
// released). Ending touches no Python object but the name's text, so it may be a destructor; on a
// thread ended at interpreter exit (no thread state) the run is left as it is.
class ThreadRun {
public:
    // Takes over one owner of `run`; a null `run` (no memory) leaves get() null.
    ThreadRun(Run* run, int depth, RunTable* table = nullptr, PyObject* name = nullptr) noexcept;
    ThreadRun(const ThreadRun&) = delete;
    ThreadRun& operator=(const ThreadRun&) = delete;
    ~ThreadRun();
    Run* get() const noexcept { return run_; }
    void end() noexcept;

private:
    Run* run_;
    RunTable* table_;
    PyObject* name_;  // borrowed: the caller holds it for the scope
};

// Runs `wait` (a poll's sleep) as task code when the calling thread is in its outermost call, so
// that a stop ends it; a stop already claimed raises at once. Returns false with an error set.
template <typename F>
bool interruptible(F&& wait)
{
    Run* run = current_run();
    if (!run || run->depth != 1 || run->state != Run::Call) {
        return wait();
    }
    run->depth = 0;
    if (raise_kept(run)) {
        run->depth = 1;
        return false;
    }
    enter_task(run);
    bool ok = wait();
    leave_task(run, Run::Call);
    run->depth = 1;
    return ok;
}

// A task name as a table keeps it: its text, and the interpreter's own hash of that text (cached
// in the str object once computed, as a name's is when it becomes a key of the task entries), so
// that a look-up hashes nothing itself.
struct RunKey {
    Py_hash_t hash = 0;
    std::string text;

    bool operator==(const RunKey& other) const noexcept { return hash == other.hash && text == other.text; }
};

struct RunKeyHash {
    size_t operator()(const RunKey& key) const noexcept { return static_cast<size_t>(key.hash); }
};

// The runs of one manager by task name: the run a stop finds for a name is the latest one. Touched
// only with the interpreter lock held; shared by the manager and the workers it built, which keep
// it alive together with the manager's other native parts.
class RunTable {
public:
    RunTable() = default;
    RunTable(const RunTable&) = delete;
    RunTable& operator=(const RunTable&) = delete;
    ~RunTable();

    // The latest run of `name` (borrowed), or null.
    Run* find(PyObject* name) noexcept;
    // For a worker that begins `name` on the calling thread: the run a stop left for it (Starting,
    // not yet begun), else a new run in the table. Returns a run owned by the caller, or null on
    // memory failure (the worker then runs unregistered).
    Run* begin(PyObject* name) noexcept;
    // Leaves a run for a thread that has started but not begun its task, claimed for a stop: the
    // worker that begins the task finds it and returns at once. False on memory failure.
    bool leave_stopped(PyObject* name) noexcept;
    // Takes `run` out, if it is still the latest of its name.
    void remove(PyObject* name, Run* run) noexcept;
    // Drops the runs that no thread has begun (left for threads whose task never began).
    void forget_unbegun() noexcept;

private:
    std::unordered_map<RunKey, Run*, RunKeyHash> runs_;
};

// The key of a task name (names are str); false for any other object.
bool run_key(PyObject* name, RunKey& key) noexcept;

}  // namespace threads_main
