"""One part of a cluster run: a manager in a Dask worker process, driven by the coordinator.

The part lives in its worker as a Dask actor. Its methods run one at a time on the worker's actor
thread; its tasks run on the manager's own threads, and its log lines go to a logger under
"distributed.worker", so they land in that worker's log.
"""

import logging
import os
import pickle
import socket
import threading
import time
import warnings

import threads_main

__all__ = ["Part", "PartManager", "FunctionLoadError", "UnsendableError", "LoadFailed", "Sealed", "LOGGER_NAME",
           "describe"]

LOGGER_NAME = "distributed.worker.brixel_cluster"

# Seconds between two looks, by a part, at whether its worker still holds it.
_WATCH_PAUSE = 1.0

_WAITING, _RUNNING, _COMPLETED, _FAILED = "待运行", "运行中", "完成", "失败"


class FunctionLoadError(Exception):
    """The worker could not load the task function sent to it (its module is missing there)."""


class UnsendableError(TypeError):
    """The result of a task whose arguments could not go to its part: the task never ran.

    Its arguments cannot be pickled, or loading them in the worker raised more than an error.
    """


def describe(error):
    """"Type: message" of an exception whose str() may itself fail."""
    try:
        text = str(error)
    except Exception:
        text = "(its message cannot be read)"
    return f"{type(error).__name__}: {text}"


class LoadFailed(Exception):
    """The error that loading the caller's data raised in a worker, on its way to the coordinator.

    It travels as args[0], and the coordinator makes it the task's. Raised as itself, an OSError (a
    __reduce__ that opens a path of the coordinator's machine) would read there as the loss of the
    process."""


def _load(data, what, carried=True):
    """Unpickles what the coordinator sent. Loading runs code of the caller's (a __setstate__, an
    import): what it raises is this call's error, raised in a LoadFailed, which the coordinator
    makes the task's. One that is no Exception (a SystemExit), or that cannot be pickled to go back,
    is made an UnsendableError: let through, the one would close the worker's connection and the
    other leave the call without an answer, and the coordinator would count the part as lost.
    Without `carried`, every failure is made an UnsendableError, which names `what`."""
    try:
        return pickle.loads(data)
    except Exception as e:
        cause = describe(e)
        if carried:
            try:
                pickle.dumps(e, protocol=pickle.HIGHEST_PROTOCOL)
            except BaseException:
                pass
            else:
                raise LoadFailed(e) from None
    except BaseException as e:
        cause = describe(e)
    raise UnsendableError(f"loading {what} in its worker process raised {cause}")


class PartManager(threads_main.BrixelThreadsMain):
    """A manager whose generated names come from the run's one counter.

    The parts take the counter's numbers in turn (part i of n takes start + i, start + i + n, ...),
    so names never collide across parts. The names it chooses itself are kept in `chosen`, for the
    coordinator to learn. It takes the arguments of BrixelThreadsMain.
    """

    def __init__(self, *args, **kwargs):
        self._name_next = 1
        self._name_step = 1
        self._numbered = None  # the numbering taken last, by its generation
        self.chosen = []
        self._naming = threading.RLock()
        # A timed sending loop has been started and has not sent yet: until then this part has no
        # task, which must not read as a part with nothing to do.
        self.opening = False
        super().__init__(*args, **kwargs)

    def _number_names(self, numbering):
        """Takes the run's numbering, (generation, start, step), for the names generated from now on.
        It comes with every call that may make this part name a task; one taken already is not taken
        again, so that the names go on from the last one generated."""
        with self._naming:
            if numbering is not None and numbering[0] != self._numbered:
                self._numbered, self._name_next, self._name_step = numbering

    def _new_name(self):
        """The next free name of this part's turn of the counter. Naming lock held."""
        threads = self._var.threads
        while True:
            name = f"Thread_{self._name_next}"
            self._name_next += self._name_step
            if threads.get(name) is None:
                return name

    def _send(self, thread_name=None, **kwargs):
        """Submits one task as BrixelThreadsMain._send does, naming it from the run's counter. Returns True.

        A thread_name that is a new non-empty str names the task; otherwise the next free number of
        this part's turn of the counter does, and the name goes to `chosen`.
        """
        # Called by the timed sending loop of this part and for tasks the coordinator left unnamed.
        # The name is chosen and the task created under one lock: two senders cannot take one name.
        with self._naming:
            if type(thread_name) is not str or not thread_name or self._var.threads.get(thread_name) is not None:
                thread_name = self._new_name()
            super()._send(thread_name, **kwargs)
            self.chosen.append(thread_name)
            self.opening = False
        return True

    def _send_list_thread(self, thread_list):
        """Sends a collection as BrixelThreadsMain._send_list_thread does. Returns None."""
        try:
            return super()._send_list_thread(thread_list)
        finally:
            self.opening = False  # a loop that ended without sending (closed, or an element refused)

    def _next_name(self):
        with self._naming:
            return self._name_next, self._name_step


class Part:
    """The actor: builds the part's manager and answers the coordinator.

    `index` is the part's number, `function` the task function pickled with cloudpickle, and
    `options` holds max_workers (this part's share), drain (whether a part with no share still runs
    what waits in its queue; see _fit_share), reserve, duration and dispatch. Raises FunctionLoadError
    when the function cannot be loaded in this process.
    """

    def __init__(self, index, function, options):
        import cloudpickle

        try:
            func = cloudpickle.loads(function)
        except BaseException as e:  # the function's module is not importable here, most often
            raise FunctionLoadError(describe(e)) from None
        self.index = index
        self.host = socket.gethostname()
        self.pid = os.getpid()
        self.first_send = None
        self.cleared_time = 0  # the store's all_time at the last clearing: it sums across batches
        self.share, self.drain = options["max_workers"], options.get("drain", True)
        self._log = logging.getLogger(LOGGER_NAME)
        with warnings.catch_warnings():
            # The coordinator has said it (a generator function) to the caller already.
            warnings.filterwarnings("ignore", "the task function .* generator function", RuntimeWarning)
            self.manager = PartManager(func, options["max_workers"], True, False, self._log, options["reserve"],
                                       options["duration"], dispatch=options["dispatch"])
        self._pulls = 0  # pulls answered: each is numbered, and the numbers go on across clearings
        self._reset_cursors()
        self._watch_release()

    def _watch_release(self):
        """Closes the manager once the worker lets this part go without its close: the coordinator
        that held it has died (killed, or ended without closing), or has given it up as lost. On a
        cluster that outlives its coordinators, the part would otherwise go on with its tasks, a timed
        run's load for the rest of its window, and keep its manager as long as the worker lives.

        Only in a worker: a part built anywhere else has no one to let it go."""
        try:
            from distributed import get_worker
            from distributed.worker import thread_state

            worker, key = get_worker(), thread_state.key
        except (ImportError, ValueError, AttributeError):
            return
        threading.Thread(target=self._watch, args=(worker, key), name=f"brixel-part-{self.index}-watch",
                         daemon=True).start()

    def _watch(self, worker, key):
        m = self.manager
        while not m._is_close():
            time.sleep(_WATCH_PAUSE)
            # The worker keeps its actors under their keys from before they are built until they are
            # released.
            if key in worker.state.actors:
                continue
            if not m._is_close():
                self._log.warning("Part %d: let go by its coordinator without a close; closing its manager",
                                  self.index)
                try:
                    m._close()
                except Exception:
                    if not m._is_close():  # else a close of the coordinator's came first
                        self._log.exception("Part %d: its manager could not be closed", self.index)
            return

    def _reset_cursors(self):
        self._cursors = {"chosen": 0, "runs": 0, "dones": 0, "stops": 0, "cancels": 0}
        # Where the last pull ended, until the coordinator says it applied that pull.
        self._offered = None

    def _fit_share(self):
        """Gives the manager its share of the run's workers as its limit. A part left without a share
        (the run has fewer workers than parts) still runs what waits in its queue, one task at a
        time, unless the whole run was given none: tasks queued here before its share fell to none,
        or put back by a re-run, would otherwise wait for good, and the run would never end. Its
        limit falls back to none once its queue is empty."""
        m = self.manager
        if m._is_close():
            return
        limit = self.share
        if limit == 0 and self.drain and m._get_qsize() > 0:
            limit = 1
        if m._var.max_workers != limit:
            m._set_max_workers(limit, True)

    def identity(self):
        """Returns this part's index, host name and process id, as a dict."""
        return {"index": self.index, "host": self.host, "pid": self.pid}

    # Submission.

    def send_batch(self, items, numbering):
        """Submits (name, kwargs) pairs, pickled as one bytes object.

        A None name, or one already taken here, is chosen by the part, by the run's `numbering` (see
        PartManager._number_names). Returns ([(position, name)] for the names chosen here,
        [(position, error)] for the tasks the manager refused).
        """
        m = self.manager
        m._number_names(numbering)
        items = _load(items, "the arguments of a task")
        if self.first_send is None:
            self.first_send = time.time()
        send = threads_main.BrixelThreadsMain._send
        threads = m._var.threads
        chosen, refused = [], []
        # Under the naming lock: a timed run's sending loop must not take a name between the test
        # and the submission.
        with m._naming:
            for i, (name, kwargs) in enumerate(items):
                try:
                    if name is not None and threads.get(name) is None:
                        send(m, name, **kwargs)
                    else:
                        m._send(None, **kwargs)
                        chosen.append((i, m.chosen[-1]))
                except Exception as e:
                    refused.append((i, e))
        if self.share == 0:
            self._fit_share()  # a part without a share runs what it is given one at a time
        return chosen, refused

    def send_list(self, share, numbering):
        """Starts this part's own timed sending loop over its share of the collection.

        The share comes pickled; the names it generates follow the run's `numbering`. Returns None
        once the sending thread has started.
        """
        share = _load(share, "the collection of a timed run")
        if self.first_send is None:
            self.first_send = time.time()
        self.manager._number_names(numbering)
        self.manager.opening = True
        try:
            self.manager._send_list(share)
        except BaseException:
            self.manager.opening = False  # no loop began (a closed manager, a thread refused)
            raise

    def take_names(self, numbering, count):
        """Returns the next `count` names of this part's turn of the counter, for tasks never sent here.

        Their arguments could not be sent: the coordinator records their failures under these
        names, and no task here will have one of them.
        """
        m = self.manager
        m._number_names(numbering)
        with m._naming:
            return [m._new_name() for _ in range(count)]

    # Reading.

    def pull(self, runtime=False, applied=None):
        """Returns what changed since the last pull the coordinator applied, pickled.

        The names this part chose, the statuses of the tasks dispatched, finished, stopped or
        cancelled since (with the results of the finished ones), and the counters, run-time fields
        and flags of this moment; with `runtime`, also the histogram, timeline, failure causes and
        run facts. The state carries its number under "pull": `applied` is the number of the last
        one the coordinator applied. The changes of a pull it did not apply (a Ctrl-C came between
        the answer and its use) are sent again.
        """
        if self._offered is not None and applied == self._pulls:
            self._cursors = self._offered
        self._offered = None
        m = self.manager
        v = m._var
        if self.share == 0:
            self._fit_share()  # its queue may have emptied since
        lists = {key: getattr(v, key) for key in ("runs", "dones", "stops", "cancels")}
        # The lengths are read first and the slices end there, so the changes and the counters
        # describe one moment.
        ends = {key: len(lst) for key, lst in lists.items()}
        chosen_end = len(m.chosen)
        counts = {"total": len(v.totals), "done": ends["dones"], "run": ends["runs"], "success": len(v.success),
                  "failed": len(v.failed), "stop": ends["stops"], "cancel": ends["cancels"]}
        closed = m._is_close()
        qsize = 0 if closed else m._get_qsize()
        # Nothing waits and nothing runs, and the manager says done (it says so only once it has run
        # something: a part that never ran a task is finished when each of its tasks was cancelled,
        # unless its timed loop is about to send its first pass).
        finished = (qsize == 0 and ends["runs"] - ends["dones"] - ends["stops"] == 0
                    and (bool(m._done()) or (counts["total"] == counts["cancel"] and not m.opening)))
        c = self._cursors
        new = m.chosen[c["chosen"]:chosen_end]
        dispatched = lists["runs"][c["runs"]:ends["runs"]]
        touched = dict.fromkeys(new)
        touched.update(dict.fromkeys(dispatched))
        for key in ("dones", "stops", "cancels"):
            touched.update(dict.fromkeys(lists[key][c[key]:ends[key]]))
        self._offered = dict(ends, chosen=chosen_end)
        self._pulls += 1
        running = set(dispatched)
        changes = []
        threads = v.threads
        for name in touched:
            entry = threads.get(name)
            if entry is None:
                continue
            status = entry.status
            if status == _WAITING and name in running:
                status = _RUNNING
            result = entry.result if status in (_COMPLETED, _FAILED) else None
            changes.append((name, status, result))
        state = {"counts": counts, "new": new, "changes": changes, "qsize": qsize, "finished": finished,
                 "settled": bool(m._done()),
                 "is_run": bool(m._is_run()), "all_time": self._batch_time(v.all_time), "min_time": v.min_time,
                 "max_time": v.max_time, "name_next": m._next_name(), "pull": self._pulls}
        if runtime:
            state["runtime"] = self.runtime()
        return _dumps(state)

    def _batch_time(self, all_time):
        """The run-time sum of this part's batch: the store's, less what it held at the last clearing
        (the coordinator's figures are the batch's, as one manager's summary lines are)."""
        return all_time - self.cleared_time if all_time >= self.cleared_time else all_time

    def runtime(self):
        """Returns this part's run-time data: histogram, timeline, failure causes, run facts, first send.

        A dict with the keys 'histogram', 'timeline', 'errors' and 'run_info' (its manager's
        _get_histogram(), _get_timeline(), _get_errors() and _get_run_info()) and 'first_send', the
        epoch seconds of its first submission (None before it).
        """
        m = self.manager
        return {"histogram": m._get_histogram(), "timeline": m._get_timeline(), "errors": m._get_errors(),
                "run_info": m._get_run_info(), "first_send": self.first_send}

    # Control: each returns once this part has acted.

    def stop(self, name):
        """Stops one running task of this part's manager (its _stop); returns True."""
        return self.manager._stop(name)

    def stop_action(self, name=None):
        """Stops one named task, or every dispatched one, in this part's manager (its _stop_action)."""
        self.manager._stop_action(name)

    def clear_queue(self):
        """Cancels the waiting tasks of this part's manager (its _clear_queue); returns True."""
        return self.manager._clear_queue()

    def rerun_failed(self):
        """Puts the failed tasks back; returns their names."""
        names = self.manager._get_failed()
        self.manager._rerun_failed()
        self._fit_share()
        return names

    def clear_record(self):
        """Forgets this part's finished batch (its manager's _clear_record); returns whether it did.

        A part that has had no task since it was built or last cleared has nothing to forget: True,
        although its manager, which has not run, would refuse."""
        m = self.manager
        if not m._var.totals and not m.opening and not m._is_close() and m._get_qsize() == 0:
            return True
        cleared = m._clear_record()
        if cleared:
            m.chosen = []
            self.first_send = None
            self.cleared_time = m._var.all_time
            self._reset_cursors()
        return cleared

    def set_max_workers(self, workers, drain=True):
        """Sets this part's share of the workers to `workers` as it is (no default or cap); returns True.

        `drain` says whether a part without a share still runs what waits in its queue (see
        _fit_share)."""
        self.share, self.drain = workers, drain
        self._fit_share()
        return True

    def set_field(self, name, value, packed=False):
        """Assigns `value` to the field `name` of this part's state store.

        With `packed`, `value` is a pickle of the value, loaded here."""
        if packed:
            value = _load(value, f"the {name}", carried=False)
        setattr(self.manager._var, name, value)

    def close(self):
        """Closes this part's manager unless it is closed already; returns True."""
        if not self.manager._is_close():
            self.manager._close()
        return True


# Results of these types load in any process. Any other result travels sealed, pickled on its own:
# one that the coordinator cannot load (an exception whose __init__ wants other arguments than the
# ones it keeps, a class whose module is missing there) then costs that task's result alone, not the
# whole pull and every change in it.
_PLAIN = frozenset({int, float, str, bytes, bool, type(None)})


class Sealed:
    """A task's result pickled on its own, with the name of its type."""

    __slots__ = ("data", "kind")

    def __init__(self, data, kind):
        self.data = data
        self.kind = kind

    def __getstate__(self):
        return self.data, self.kind

    def __setstate__(self, state):
        self.data, self.kind = state

    def open(self):
        """The result, or a note saying that it could not be loaded here, and why."""
        try:
            return pickle.loads(self.data)
        except (Exception, SystemExit) as e:  # loading runs code of the result's class
            return f"<{self.kind} object> (not loaded from its worker process: {describe(e)})"


def _seal(result):
    """`result` as it travels: sealed, or its repr with a note when it cannot be pickled at all.
    Pickling runs code of the result's class, and anything it raises (a SystemExit too) costs this
    result alone: let out of a pull, it would close the worker's connection."""
    try:
        return Sealed(pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL), type(result).__qualname__)
    except BaseException:
        pass
    import cloudpickle

    try:  # the classes and functions of the user's script travel by value
        return Sealed(cloudpickle.dumps(result), type(result).__qualname__)
    except BaseException as e:
        try:
            text = repr(result)
        except BaseException:
            text = object.__repr__(result)
        return f"{text} (not sent from its worker process: {describe(e)})"


def _dumps(state):
    """Pickles a pull, each result that is not a plain value sealed on its own."""
    state["changes"] = [(name, status, result if type(result) in _PLAIN else _seal(result))
                        for name, status, result in state["changes"]]
    return pickle.dumps(state, protocol=pickle.HIGHEST_PROTOCOL)
