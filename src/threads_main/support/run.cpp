// Runs, and where a stop may land: the mechanism described in support/run.hpp.
#include "support/run.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "support/call.hpp"
#include "support/error.hpp"
#include "support/ref.hpp"

namespace threads_main {

namespace {

thread_local Run* calling_run = nullptr;

// Sets `type` as the pending error, with the error already pending (if any) as its context.
// Returns the new error (a new reference), or null if it could not be made.
PyObject* raise_over(PyObject* type) noexcept
{
    PyObject* before = PyErr_GetRaisedException();
    PyErr_SetNone(type);
    PyObject* now = PyErr_GetRaisedException();  // the new error, or the failure to make it
    if (!now) {
        PyErr_SetRaisedException(before);
        return nullptr;
    }
    if (before) {
        PyException_SetContext(now, before);
    }
    PyErr_SetRaisedException(Py_NewRef(now));
    return now;
}

// The asynchronous exception pending for the calling thread, taken out of its thread state (what
// the interpreter does when it raises one). A new reference, or null.
PyObject* take_pending() noexcept
{
    PyThreadState* ts = PyThreadState_Get();
    return std::exchange(ts->async_exc, nullptr);
}

}  // namespace

void run_hold(Run* run) noexcept
{
    run->owners.fetch_add(1, std::memory_order_relaxed);
}

void run_release(Run* run) noexcept
{
    if (run->owners.fetch_sub(1, std::memory_order_acq_rel) != 1) {
        return;
    }
    if (attached()) {
        Py_XDECREF(run->kept);
        Py_XDECREF(run->raised_here);
    }
    delete run;
}

Run* current_run() noexcept
{
    return calling_run;
}

void push_run(Run* run) noexcept
{
    run->outer = calling_run;
    calling_run = run;
}

void pop_run(Run* run) noexcept
{
    if (calling_run == run) {
        calling_run = run->outer;
    }
    run->outer = nullptr;
}

void enter_task(Run* run) noexcept
{
    run->state = Run::Task;
}

void leave_task(Run* run, Run::State next) noexcept
{
    if (run->announcing > 0) {
        // A stop is sending through Python code: wait until it has sent, with the interpreter lock
        // released so that it can. Our state stays Task meanwhile, so the exception may land only
        // here, where it is taken back below.
        PyThreadState* saved = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> hold(run->announce_mutex);
            run->announce_done.wait(hold, [run] { return run->announcing == 0; });
        }
        PyEval_RestoreThread(saved);
    }
    run->state = next;
    Py_CLEAR(run->raised_here);
    if (PyObject* pending = take_pending()) {
        if (run->kept) {
            Py_DECREF(pending);
        } else {
            run->kept = pending;
        }
    }
    else if (run->stop && run->sent && !run->kept) {
        // Sent, and no longer pending: the interpreter has raised it in task code, unless a
        // finalizer swallowed it, in which case it is still to be raised.
        run->raised = !run->swallowed;
        run->swallowed = false;
    }
}

bool raise_kept(Run* run) noexcept
{
    if (run->kept) {
        PyObject* kept = std::exchange(run->kept, nullptr);
        PyObject* raised = raise_over(kept);
        Py_DECREF(kept);
        // A stop's own SystemExit is this one when it was sent and taken back.
        if (run->stop && !run->raised) {
            run->raised = true;
            Py_XSETREF(run->raised_here, raised);
        }
        else {
            Py_XDECREF(raised);
        }
        return true;
    }
    if (run->stop && !run->raised) {
        run->raised = true;
        Py_XSETREF(run->raised_here, raise_over(PyExc_SystemExit));
        return true;
    }
    return false;
}

void drop_kept(Run* run) noexcept
{
    Py_CLEAR(run->kept);
    Py_XDECREF(take_pending());
}

StopVerdict request_stop(Run* run) noexcept
{
    if (run->stop || run->state == Run::Finishing || run->state == Run::Ended) {
        return StopVerdict::TooLate;
    }
    run->stop = true;
    if (run->state == Run::Task && run->ident != PyThread_get_thread_ident()) {
        return StopVerdict::Send;
    }
    return StopVerdict::Deferred;
}

bool send_stop(Run* run) noexcept
{
    int changed = PyThreadState_SetAsyncExc(run->ident, PyExc_SystemExit);
    if (changed == 1) {
        run->sent = true;
        return true;
    }
    if (changed > 1) {
        // More than one thread state under that id: nothing is sent rather than the wrong one.
        (void)PyThreadState_SetAsyncExc(run->ident, nullptr);  // a withdrawal cannot fail
    }
    return false;
}

void announce(Run* run) noexcept
{
    std::lock_guard<std::mutex> hold(run->announce_mutex);
    ++run->announcing;
}

void announced(Run* run, bool succeeded) noexcept
{
    {
        std::lock_guard<std::mutex> hold(run->announce_mutex);
        // Set before the count drops: the thread that waits for the send reads it afterwards.
        run->sent = run->sent || succeeded;
        --run->announcing;
    }
    run->announce_done.notify_all();
}

namespace {

// Whether `exc_type` is SystemExit or a subclass of it.
bool is_system_exit(PyObject* exc_type) noexcept
{
    return exc_type && PyType_Check(exc_type)
           && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(exc_type),
                               reinterpret_cast<PyTypeObject*>(PyExc_SystemExit));
}

// The run of the calling thread when it is stopped, its SystemExit sent (or being sent through an
// override, which may fire before the override returns) and not yet raised, and it runs task code.
Run* stopped_in_task() noexcept
{
    Run* run = calling_run;
    if (!run || !run->stop || !(run->sent || run->announcing > 0) || run->raised || run->state != Run::Task) {
        return nullptr;
    }
    return run;
}

// The report on the calling thread's stopped run in task code, when `report` (an unraisable hook's
// argument) is a SystemExit: that stop, swallowed by a finalizer. Null otherwise.
Run* swallowed_stop(PyObject* report) noexcept
{
    Run* run = stopped_in_task();
    if (!run || PyThreadState_Get()->async_exc || !PyTuple_Check(report) || PyTuple_GET_SIZE(report) == 0
        || !is_system_exit(PyTuple_GET_ITEM(report, 0))) {
        return nullptr;
    }
    return run;
}

// The audit hook: the interpreter announces every unraisable report ("sys.unraisablehook", with the
// hook and its argument) before it calls the hook, whichever hook is installed. A stop swallowed by
// a finalizer is marked on its run, so that it is not taken as raised: it is raised again when the
// thread next enters one of our calls, or at once by our unraisable hook. GIL held; never fails.
int stop_audit(const char* event, PyObject* args, void*) noexcept
{
    if (std::strcmp(event, "sys.unraisablehook") != 0 || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 2) {
        return 0;
    }
    PyObject* report = PyTuple_GET_ITEM(args, 1);
    if (Run* run = calling_run; run && run->raised_here && run->state == Run::Task && PyTuple_Check(report)
                                && PyTuple_GET_SIZE(report) > 1 && PyTuple_GET_ITEM(report, 1) == run->raised_here) {
        // The SystemExit one of our calls raised for the stop, made from a finalizer in task code:
        // as if sent and swallowed, it is sent again (below, or as the thread next enters our code).
        Py_CLEAR(run->raised_here);
        run->raised = false;
        run->sent = true;
    }
    if (Run* run = swallowed_stop(report)) {
        run->swallowed = true;
    }
    return 0;
}

// sys.unraisablehook(report), wrapping `previous` (the function's self). The report of a swallowed
// stop is not printed: the SystemExit is sent again instead, to fire at the thread's next bytecode
// outside the finalizer. No Python code runs here before that send, so it cannot fire inside this
// hook. Every other report goes to `previous`.
PyObject* stop_hook(PyObject* previous, PyObject* report) noexcept
{
    Run* run = swallowed_stop(report);
    if (run && run->swallowed) {
        run->swallowed = false;
        (void)PyThreadState_SetAsyncExc(PyThread_get_thread_ident(), PyExc_SystemExit);  // the thread exists
        Py_RETURN_NONE;
    }
    if (Py_IsNone(previous)) {
        // No hook was set: the interpreter's own one, as it would have called.
        PyObject* fallback = PySys_GetObject("__unraisablehook__");  // borrowed
        if (!fallback) {
            PyErr_SetString(PyExc_RuntimeError, "lost sys.__unraisablehook__");
            return nullptr;
        }
        return PyObject_CallOneArg(fallback, report);
    }
    return PyObject_CallOneArg(previous, report);
}

PyMethodDef stop_hook_def = {"unraisablehook", stop_hook, METH_O,
                             "unraisablehook(unraisable, /)\n--\n\n"
                             "threads_main's filter before the unraisable hook that was there: the SystemExit of a\n"
                             "stopped task swallowed by a finalizer (and sent again) is not reported."};

// Puts the module's unraisable hook in front of the installed one (None, for none, falls through to
// the interpreter's own), unless it is the one there. 0, or -1 with an error set.
int wrap_unraisablehook() noexcept
{
    PyObject* current = PySys_GetObject("unraisablehook");  // borrowed; sets no error
    if (!current || (PyCFunction_Check(current) && PyCFunction_GET_FUNCTION(current) == stop_hook_def.ml_meth)) {
        return 0;
    }
    Ref hook = Ref::steal(PyCFunction_New(&stop_hook_def, current));
    if (!hook) {
        return -1;
    }
    return PySys_SetObject("unraisablehook", hook.get());
}

}  // namespace

void front_stop_hook() noexcept
{
    if (wrap_unraisablehook() < 0) {
        PyErr_Clear();  // the audit hook's mark still raises the stop at the thread's next call
    }
}

int install_stop_hook() noexcept
{
    if (PySys_AddAuditHook(stop_audit, nullptr) < 0) {
        return -1;
    }
    return wrap_unraisablehook();
}

CallScope::CallScope() noexcept : run_(calling_run), moved_(false)
{
    if (!run_) {
        return;
    }
    moved_ = run_->depth == 0 && run_->state == Run::Task;
    ++run_->depth;
    if (moved_) {
        leave_task(run_, Run::Call);
    }
}

bool CallScope::leave() noexcept
{
    if (!run_) {
        return false;
    }
    --run_->depth;
    if (!moved_) {
        return false;
    }
    enter_task(run_);
    return raise_kept(run_);
}

ThreadRun::ThreadRun(Run* run, int depth, RunTable* table, PyObject* name) noexcept
    : run_(run), table_(table), name_(name)
{
    if (!run_) {
        return;
    }
    run_->adopted = true;
    run_->ident = PyThread_get_thread_ident();
    run_->state = Run::Call;
    run_->depth = depth;
    push_run(run_);
}

ThreadRun::~ThreadRun()
{
    if (attached()) {
        end();
    }
}

void ThreadRun::end() noexcept
{
    if (!run_) {
        return;
    }
    pop_run(run_);
    run_->state = Run::Ended;
    if (table_) {
        table_->remove(name_, run_);
    }
    run_release(std::exchange(run_, nullptr));
}

bool run_key(PyObject* name, RunKey& key) noexcept
{
    if (!PyUnicode_Check(name)) {
        return false;
    }
    // Also called while a task's error is on its way out (a run removed on the error path): the
    // encoding's own errors must not take its place. An ASCII name, the usual one, raises nothing.
    std::optional<SavedError> keep;
    if (!PyUnicode_IS_ASCII(name)) {
        keep.emplace();
    }
    try {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name, &size)) {
            key.text.assign(text, static_cast<size_t>(size));  // the usual name: its cached UTF-8 form
        } else {
            // A name with lone surrogates (an undecodable byte of a file name becomes one) has no
            // UTF-8 form: its key spells them as UTF-8 would if it could, which no other text gives.
            PyErr_Clear();
            key.text = utf8_form(name, "surrogatepass");
        }
    }
    catch (const PyErrSet&) {
        PyErr_Clear();  // a name that cannot be encoded at all is not a task of ours
        return false;
    }
    catch (const std::bad_alloc&) {
        return false;
    }
    // The str type's own hash, whatever a subclass defines: equal texts get equal keys, and no
    // Python code runs here.
    key.hash = PyUnicode_Type.tp_hash(name);
    if (key.hash == -1) {
        PyErr_Clear();
        return false;
    }
    return true;
}

RunTable::~RunTable()
{
    for (auto& [key, run] : runs_) {
        run_release(run);
    }
}

Run* RunTable::find(PyObject* name) noexcept
{
    RunKey key;
    if (!run_key(name, key)) {
        return nullptr;
    }
    auto it = runs_.find(key);
    return it == runs_.end() ? nullptr : it->second;
}

Run* RunTable::begin(PyObject* name) noexcept
{
    RunKey key;
    bool named = run_key(name, key);
    auto it = named ? runs_.find(key) : runs_.end();
    if (it != runs_.end() && it->second->state == Run::Starting && !it->second->adopted) {
        Run* left = it->second;
        left->adopted = true;
        run_hold(left);
        return left;
    }
    Run* run = new (std::nothrow) Run();
    if (!run) {
        return nullptr;
    }
    run->adopted = true;
    if (!named) {
        return run;
    }
    try {
        run_hold(run);
        if (it != runs_.end()) {
            // An earlier run of the name (stopped, its thread still blocked) stays with its thread.
            run_release(std::exchange(it->second, run));
        } else {
            runs_.emplace(std::move(key), run);
        }
    }
    catch (const std::bad_alloc&) {
        run_release(run);  // the table's share; the caller's stays
    }
    return run;
}

bool RunTable::leave_stopped(PyObject* name) noexcept
{
    RunKey key;
    if (!run_key(name, key)) {
        return false;
    }
    Run* run = new (std::nothrow) Run();
    if (!run) {
        return false;
    }
    run->stop = true;
    try {
        auto [it, inserted] = runs_.try_emplace(std::move(key), run);
        if (!inserted) {
            run_release(std::exchange(it->second, run));
        }
    }
    catch (const std::bad_alloc&) {
        run_release(run);
        return false;
    }
    return true;
}

void RunTable::remove(PyObject* name, Run* run) noexcept
{
    RunKey key;
    if (!run_key(name, key)) {
        return;
    }
    auto it = runs_.find(key);
    if (it != runs_.end() && it->second == run) {
        runs_.erase(it);
        run_release(run);
    }
}

void RunTable::forget_unbegun() noexcept
{
    for (auto it = runs_.begin(); it != runs_.end();) {
        if (!it->second->adopted) {
            run_release(it->second);
            it = runs_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace threads_main
