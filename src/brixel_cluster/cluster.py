"""The coordinator of a cluster run: a manager whose tasks run in the parts.

Each part is one manager in a Dask worker process. `BrixelThreadsCluster` is a `BrixelThreadsMain` that does not start a control loop of its own. Its
`_var` is a view of the parts merged (counters, run-time fields and flags), so the joins and the
summary lines it inherits read the whole run and log the same lines, with the same arithmetic, as
one manager that ran every task. Every operation that acts on tasks is overridden here and reaches
the parts.

The coordinator keeps a mirror of every task's status and result: submission enters a name at
once; a poller thread pulls from each part what changed since its last pull, every few
milliseconds while work is under way and on demand before a query answers. The mirror answers the
queries in submission order, after a part is lost and after the run is closed.
"""

import atexit
import functools
import inspect
import logging
import math
import multiprocessing
import os
import pickle
import signal
import sys
import threading
import time
import uuid
import warnings
import weakref
from collections.abc import Callable
from typing import Any, Literal

import threads_main

from . import merge
from .part import FunctionLoadError, LoadFailed, Part, Sealed, UnsendableError, describe

__all__ = ["BrixelThreadsCluster", "ProcessLostError"]

_WAITING, _RUNNING, _FAILED = "待运行", "运行中", "失败"
_UNFINISHED = (_WAITING, _RUNNING)
_COUNTERS = ("total", "done", "run", "success", "failed", "stop", "cancel")
# What a task its part could not take adds to the counters: submitted, started and failed at once, as
# one manager records a task whose thread cannot start.
_REFUSED = ("total", "run", "done", "failed")

MISSING_DISTRIBUTED = ('brixel_cluster runs on Dask distributed, which is missing: '
                       'pip install "threads_main[cluster]"')

# The worker processes of the embedded cluster import the script run when they start: one that
# builds its cluster at its top level would have each of them build one again.
UNGUARDED_SCRIPT = ('a script must build its embedded cluster under `if __name__ == "__main__":`, since the worker '
                    'processes import the script when they start')

# Seconds between pulls while work is under way, and while every part is idle.
_POLL_BUSY = 0.02
_POLL_IDLE = 0.25
# While every busy part has more waiting than it finishes in _HORIZON seconds at its latest pace,
# no part can end soon: the pulls then come every _POLL_FAR seconds. Each pull costs the
# coordinator about half a millisecond of CPU per part, and each part's process its own share.
_POLL_FAR = 0.1
_HORIZON = 0.5
# Seconds between pulls of the run-time data (histogram, timeline, failure causes).
_RUNTIME_PERIOD = 1.0
# Tasks sent to one part in one call.
_BATCH = 20000
# Seconds the idle sender thread sleeps between looks for pending tasks, should a wake-up have been
# lost (a Ctrl-C that landed in the submission's notify).
_SENDER_LOOK = 1.0
# Seconds one call to a part may take before the part counts as lost; while closing on an
# exception (Ctrl-C), what the whole close may take.
_CALL_TIMEOUT = 60.0
_HURRIED_CLOSE = 1.0
# The worker limit's cap without `maximum`, as one manager's.
_WORKER_CAP = 30
# Keywords a task cannot take: the worker's own arguments.
_RESERVED = ("brixel_var", "brixel_name", "brixel_log")


class ProcessLostError(Exception):
    """The result of a task whose part was lost: its worker process died before the task finished."""


# Arguments of a call to the parts that always pickle.
_SENDABLE = frozenset({int, float, str, bytes, bool, type(None)})


def _cause_text(error):
    """A failure's cause as one manager words it: the type (with its module unless builtins or
    __main__), then the message when there is one, cut to 300 bytes of UTF-8."""
    kind = type(error)
    name = kind.__qualname__
    if kind.__module__ not in ("builtins", "__main__"):
        name = f"{kind.__module__}.{kind.__qualname__}"
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    text = f"{name}: {message}" if message else name
    return text.encode("utf-8", "backslashreplace")[:300].decode("utf-8", "ignore")


def _unsendable(what, error):
    """The error for `what` ("the arguments of task X") that pickling failed on with `error`."""
    unsent = UnsendableError(f"{what} cannot be pickled to go to a worker process: {describe(error)}. "
                             f"Give arguments that pickle (plain data), or make what the task needs inside "
                             f"the task function")
    unsent.__cause__ = error
    return unsent


class _Count:
    """Stands for one of the parts' name lists merged: only its length is known here."""

    __slots__ = ("_n",)

    def __init__(self, n):
        self._n = n

    def __len__(self):
        return self._n

    def __repr__(self):
        return f"<{self._n} names>"


class _RunView:
    """The coordinator's `_var`: the fields one manager's store has, merged over the parts.

    Reads come from the latest pull; writes of `break_result`, `stop_switch` and `duration` are kept
    here and forwarded to every part."""

    _FORWARDED = frozenset({"break_result", "stop_switch", "duration"})
    _LISTS = {"totals": "total", "dones": "done", "runs": "run", "success": "success", "failed": "failed",
              "stops": "stop", "cancels": "cancel"}

    def __init__(self, cluster):
        object.__setattr__(self, "_cluster", weakref.proxy(cluster))
        object.__setattr__(self, "_fields", {"switch": True, "stop_switch": False, "duration": None,
                                             "break_result": None, "thread_init": None, "max_workers": None})

    def __getattr__(self, name):
        c = self._cluster
        if name in self._LISTS:
            return _Count(c._counts()[self._LISTS[name]])
        if name in ("all_time", "min_time", "max_time"):
            return c._times()[name]
        if name == "done":
            return c._done()
        if name == "is_run":
            return c._any_running()
        fields = object.__getattribute__(self, "_fields")
        if name in fields:
            return fields[name]
        raise AttributeError(name)

    def __setattr__(self, name, value):
        # Every part holds the value before it reads as set here.
        if name in self._FORWARDED:
            self._cluster._forward(name, value)
        self._fields[name] = value


class _PartState:
    """What the coordinator knows of one part."""

    def __init__(self, index, address, actor, share):
        self.index = index
        self.address = address
        self.actor = actor
        self.future = None  # the Dask future that holds the actor: its status says when the worker is gone
        self.share = share
        self.host = address
        self.pid = None
        self.lost = None  # the cause, once lost
        self.silent = False  # a close in a hurry has stopped waiting for it (see _leave_unanswered)
        self.counts = dict.fromkeys(_COUNTERS, 0)
        self.times = {"all_time": 0, "min_time": 0, "max_time": 0}
        self.qsize = 0
        self.is_run = False
        self.finished = True  # nothing waits or runs there
        self.settled = False  # its manager's done flag: it has run tasks and they have all ended
        self.queued = 0  # tasks handed to the sender and not yet acknowledged by the part
        self.pending = []
        self.unnamed = 0  # tasks handed to the sender for the part to name, not yet answered for
        self.name_next = None  # (its next number, step) at the last pull: the numbers it names by
        self.refused = dict.fromkeys(_REFUSED, 0)  # tasks the part could not take
        self.refused_names = set()  # their names: they are in the mirror, and not in the part
        self.runtime = None
        self.seen = None  # (tasks done, time) at the last pull
        self.pace = 0.0  # tasks done per second between the last two pulls
        self.applied = None  # the number of the last pull applied: the part sends the changes after it


class BrixelThreadsCluster(threads_main.BrixelThreadsMain):
    """Runs func many times in parallel over several processes (or machines), as one manager.

    Each process runs a share of the tasks on its own manager, behind the surface of one manager.
    `processes` starts an embedded Dask cluster of that many worker processes (default: the number
    of processors), closed with the manager; `address` (a scheduler address such as
    "tcp://host:8786", or a `distributed.Client`) uses a running cluster instead, one part per
    worker. `max_workers` is the total over the parts, split as evenly as it goes; the other
    arguments are those of `BrixelThreadsMain` and reach every part. `connect_timeout` bounds the
    wait for a cluster given by its address or client: seconds, or a text Dask takes ("10s"); None
    for Dask's own setting.

    Raises ImportError without the cluster extra, ValueError for a `dispatch`, `processes`,
    `duration` or `connect_timeout` out of range, TypeError for a `duration` that is not a number,
    for a `reserve` that cannot be pickled and for a task function that cannot be sent to (or loaded
    in) the worker processes, and ConnectionError when no scheduler answers at `address` (or the
    client's) in time, when what answers there is not a Dask scheduler, or when the client given is
    closed.
    """

    def __init__(self, func: Callable[..., Any], max_workers: int | None = None, maximum: bool = False,
                 logfile: str | os.PathLike[str] | bool | None = False, logger: Any = False, reserve: bool = True,
                 duration: float | None = None, *, dispatch: Literal["paced", "eager"] = "paced",
                 processes: int | None = None, address: Any = None, connect_timeout: float | str | None = 10.0) -> None:
        if dispatch not in ("paced", "eager") or type(dispatch) is not str:
            raise ValueError(f"dispatch must be 'paced' or 'eager', not {dispatch!r}")
        _check_duration(duration)
        try:
            import cloudpickle
            import distributed
        except ImportError as e:
            raise ImportError(MISSING_DISTRIBUTED) from e
        self._closing = False
        self._hurry = False
        self._client = None
        self._cluster = None
        self._own_client = False
        self._dask_level = None
        self._parts = []
        self._threads = []
        self._lock = threading.RLock()
        self._sync_lock = threading.Lock()
        self._sent = threading.Condition(self._lock)
        self._wake = threading.Event()
        self._tasks = {}  # name -> [part index, status, result], in submission order
        self._counter = 1
        self._rr = 0
        self._synced = (float("-inf"), -1)
        self._active = []
        self._gen = 0
        self._finished = False  # as one manager's done: false until a run has ended
        # Collections being sent (which hold the run open), the sending threads started by
        # _send_list that have not begun among them.
        self._sending = 0
        self._announced = 0
        self._idle = True  # nothing waits or runs in any part: the poller slows down
        self._far = False  # no busy part can end within the horizon: the poller slows down too
        self._timed = False
        # Once a timed run has begun, the parts name the tasks sent without a name: (generation,
        # start, step) of the counter they share, part i taking start + i, start + i + step, ...
        self._numbering = None
        self._named_highest = 0  # the highest n of a name "Thread_<n>" the caller gave
        # The part of each name a timed collection gives, until the records are cleared: a task
        # sent later under that name goes to the part whose loop may have used it already.
        self._timed_names = {}
        # The failures no part records (a task that never reached its part, those of a lost part),
        # by part index: their causes, {text: [count, first, last (epoch s), example]}, and their
        # times, [(epoch s, count)].
        self._causes = {}
        self._failed_at = {}
        self._last_runtime = 0.0
        self._log = threads_main.BrixelLog("BrixelThreads", file=logfile, control=logger)
        self._var = _RunView(self)
        self._func_name = getattr(func, "__qualname__", None) or repr(func)
        self._dispatch = dispatch
        if inspect.iscoroutinefunction(func):  # as one manager refuses it, before any process starts
            raise TypeError(f"the task function {self._func_name} is a coroutine function: tasks run on threads, and "
                            f"nothing would await it. Give a plain function (one that calls asyncio.run on it, for "
                            f"example)")
        for test, kind in ((inspect.isgeneratorfunction, "a generator function"),
                           (inspect.isasyncgenfunction, "an asynchronous generator function")):
            if test(func):  # said as one manager says it
                warnings.warn(f"the task function {self._func_name} is {kind}: each task only makes a generator, and "
                              f"its body runs only when something iterates it", RuntimeWarning, stacklevel=2)
                break
        try:
            function = cloudpickle.dumps(func)
        except Exception as e:
            raise TypeError(
                f"the task function {self._func_name} cannot be sent to the worker processes: {type(e).__name__}: "
                f"{e}. Give a function defined at module level (or in the script run), whose globals and "
                f"defaults can be pickled.") from e
        # Every part is given it: one that does not pickle would fail deep in Dask, after the
        # processes have started.
        if type(reserve) not in _SENDABLE:
            try:
                cloudpickle.dumps(reserve)
            except Exception as e:
                raise TypeError(f"reserve cannot be sent to the worker processes: {describe(e)}. Give True or "
                                f"False (only its truth value counts)") from e
        self._var.duration = duration
        try:
            workers = self._connect(distributed, processes, address, connect_timeout)
            total = self._worker_total(max_workers, maximum)
            self._start_parts(workers, total, function, reserve, duration, dispatch)
        except BaseException:
            self._shutdown()
            raise
        self._var.max_workers = total
        self._set_active()
        for target, name in ((self._poll_loop, "brixel-cluster-poller"), (self._send_loop, "brixel-cluster-sender")):
            thread = threading.Thread(target=target, name=name, daemon=True)
            thread.start()
            self._threads.append(thread)
        self._var.thread_init = self._threads[0]
        # A run never closed ends with the interpreter: its parts and cluster go quietly, before
        # Dask's own exit handlers take the cluster away under a poll (each part would read as lost).
        self._at_exit = functools.partial(_end_at_exit, weakref.ref(self))
        atexit.register(self._at_exit)

    # Start-up and shut-down.

    def _connect(self, distributed, processes, address, timeout):
        """Starts the embedded cluster or connects to the given one; returns the worker addresses."""
        if address is None:
            # multiprocessing's own mark of a process still importing its parent's script (the test
            # behind its "bootstrapping phase" error)
            if getattr(multiprocessing.current_process(), "_inheriting", False):
                raise RuntimeError(f"a worker process that was starting imported a script that builds a cluster: "
                                   f"{UNGUARDED_SCRIPT}")
            n = processes if processes is not None else (os.cpu_count() or 1)
            if type(n) is not int or n < 1:
                raise ValueError(f"processes must be a positive int, not {processes!r}")
            # The embedded scheduler and nannies run in this process: their routine lines (workers
            # coming and going) would reach the caller's log handlers. Warnings still pass.
            dask_log = logging.getLogger("distributed")
            if dask_log.getEffectiveLevel() < logging.WARNING:
                self._dask_level = dask_log.level
                dask_log.setLevel(logging.WARNING)
            try:
                import dask

                # Dask's sampling profiler would interrupt the tasks of every worker every 10 ms
                # for a dashboard that the embedded cluster does not serve to anyone. Every server
                # (scheduler, nannies, workers) also checks its event loop's health 50 times a second
                # and samples the host's load twice a second: once a second and every 5 s halve what
                # an idle cluster burns, and still warn of a loop blocked for seconds. Set here, it
                # reaches the worker processes through their nannies.
                with dask.config.set({"distributed.worker.profile.enabled": False,
                                      "distributed.admin.tick.interval": "1s",
                                      "distributed.admin.system-monitor.interval": "5s"}):
                    self._start_embedded(lambda: distributed.LocalCluster(
                        n_workers=n, threads_per_worker=1, processes=True, host="127.0.0.1", scheduler_port=0,
                        dashboard_address=":0", silence_logs=logging.ERROR), n)
            except Exception as e:
                raise RuntimeError(f"the embedded cluster did not start ({type(e).__name__}: {e}); if the worker "
                                   f"processes failed as they started, note that {UNGUARDED_SCRIPT}") from e
            # The embedded scheduler hooks a diagnosis into the garbage collector: Python code of
            # Dask's that then runs in every collection of this process, the caller's thread's too.
            # A Ctrl-C that lands in it is lost (the collector drops what its callbacks raise), and
            # the run goes on. All it does is log below warnings, which are held back here anyway.
            from distributed.gc import disable_gc_diagnosis

            disable_gc_diagnosis()
            self._client = distributed.Client(self._cluster, set_as_default=False, direct_to_workers=True)
            self._own_client = True
            timeout = None  # the embedded scheduler answers, or its start has failed already
        else:
            import dask
            from dask.utils import parse_timedelta

            # Seconds, or a text such as "10s" as Dask takes it; None for Dask's own setting.
            if timeout is None:
                timeout = dask.config.get("distributed.comm.timeouts.connect")
            try:
                seconds = parse_timedelta(timeout, default="seconds")
            except (ValueError, KeyError, TypeError):
                seconds = None  # Dask's own errors here read oddly ("could not convert string to float: '1-1'")
            if seconds is None or not 0 <= seconds <= threading.TIMEOUT_MAX - 5:  # (a handshake waits 5 s more)
                raise ValueError(f"connect_timeout must be 0 or more seconds, or a text Dask takes such as '10s', "
                                 f"not {timeout!r}")
            timeout = seconds
            if isinstance(address, distributed.Client):
                if address.status != "running":
                    raise ConnectionError(f"the Dask client given is {address.status}: pass one that is running")
                self._client = address
            else:
                try:
                    if isinstance(address, str):  # (a cluster object, such as a LocalCluster, answers itself)
                        _handshake(address, timeout)
                    self._client = distributed.Client(address, timeout=timeout, set_as_default=False,
                                                      direct_to_workers=True)
                except NotAScheduler as e:
                    raise ConnectionError(f"what answered at {address} is not a Dask scheduler ({e})") from e
                except (OSError, TimeoutError) as e:
                    raise ConnectionError(f"no Dask scheduler answered at {address} within {timeout:g} s: {e}") from e
                self._own_client = True
        # Asked of the scheduler directly: the client's cached answer (scheduler_info) is replaced
        # now and then by one that lists no workers. A scheduler that has stopped answering (or a
        # given client's, which reconnects for ever) is an error once the connection's time is up.
        try:
            identity = self._client.sync(self._client.scheduler.identity, callback_timeout=timeout)
        except (OSError, TimeoutError) as e:
            if timeout is None:
                raise
            raise ConnectionError(f"the Dask scheduler at {self._client.scheduler.address} did not answer within "
                                  f"{timeout:g} s: {e}") from e
        workers = sorted(identity["workers"])
        if not workers:
            raise RuntimeError(f"the Dask cluster at {self._client.scheduler.address} has no workers")
        return workers

    def _worker_total(self, max_workers, maximum):
        """The worker limit over the whole run, by one manager's policy: an int above 0 capped at 30,
        anything else processors + 4, capped; with `maximum`, an int taken as it is, and anything
        else as the count of tasks it lets run at once there (see _limit_count)."""
        if maximum:
            return max_workers if type(max_workers) is int else _limit_count(max_workers)
        if isinstance(max_workers, int) and max_workers > 0:
            return min(int(max_workers), _WORKER_CAP)
        return min((threads_main.os.cpu_count() or 1) + 4, _WORKER_CAP)

    def _start_embedded(self, make, count):
        """Runs `make()`, which starts an embedded cluster of `count` worker processes, and keeps the
        cluster as `_cluster`.

        The workers must never see Ctrl-C: it is the coordinator's to handle, and a worker that died
        of it first would take its part's last results with it. They take it ignored from this
        process as they are spawned, and an ignored Ctrl-C is lost for the whole process: so it is
        ignored only until the processes exist. The cluster starts on a thread of its own, which
        this one watches for them. A Ctrl-C after that is held, rather than raised inside Dask's
        start-up (which would leave a cluster half built and no one to close it), and raised once
        the cluster is kept here, to be closed."""
        with _CtrlCHeld() as hold:
            if not hold.holding:
                self._cluster = make()  # off the main thread, or with Ctrl-C ignored already: nothing to hold
                return
            outcome = []

            def start():
                try:
                    outcome.append((make(), None))
                except BaseException as e:
                    outcome.append((None, e))

            thread = threading.Thread(target=start, name="brixel-cluster-start", daemon=True)
            before = set(multiprocessing.active_children())
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            try:
                thread.start()
                while thread.is_alive() and len(set(multiprocessing.active_children()) - before) < count:
                    thread.join(0.002)
            finally:
                signal.signal(signal.SIGINT, hold.note)
            while thread.is_alive():
                thread.join(0.05)
            cluster, error = outcome[0]
            if error is not None:
                raise error
            self._cluster = cluster

    def _start_parts(self, workers, total, function, reserve, duration, dispatch):
        shares = merge.split_workers(total, len(workers))
        futures = []
        for index, (worker, share) in enumerate(zip(workers, shares)):
            options = {"max_workers": share, "drain": total > 0, "reserve": reserve, "duration": duration,
                       "dispatch": dispatch}
            # A key of its own: a run's keys are released as it closes, and one taken again before
            # the scheduler has forgotten it would be cancelled with it.
            futures.append(self._client.submit(Part, index, function, options, actor=True, workers=[worker],
                                               allow_other_workers=False, pure=False,
                                               key=f"brixel-part-{index}-{uuid.uuid4().hex}"))
        self._futures = futures
        for index, (worker, share, future) in enumerate(zip(workers, shares, futures)):
            try:
                actor = _bound(future.result(timeout=_CALL_TIMEOUT), self._client, future)
            except FunctionLoadError as e:
                raise TypeError(
                    f"the worker processes cannot load the task function {self._func_name}: {e}. Make its module "
                    f"importable on every worker (install it there, or send it with Client.upload_file), or have "
                    f"it pickled by value with cloudpickle.register_pickle_by_value(module).") from None
            except Exception as e:
                raise RuntimeError(f"no part could be started on the worker {worker}: {type(e).__name__}: {e}. "
                                   f'Every worker needs threads_main with its cluster extra installed.') from e
            part = _PartState(index, worker, actor, share)
            part.future = future
            self._parts.append(part)
        for part in self._parts:
            identity = part.actor.identity().result(timeout=_CALL_TIMEOUT)
            part.host, part.pid = identity["host"], identity["pid"]

    def _shutdown(self):
        """Ends the threads, the parts' actors and, when embedded or connected here, the client and
        cluster. Idempotent. A Ctrl-C meanwhile (a second one, often) is raised once all that is
        done: cut short, the shut-down would leave the cluster to Dask's exit handler, which takes
        seconds, or processes behind."""
        with _CtrlCHeld():
            self._end()

    def _end(self):
        """The shut-down's steps (see _shutdown)."""
        self._closing = True
        if getattr(self, "_at_exit", None) is not None:
            atexit.unregister(self._at_exit)
            self._at_exit = None
        self._wake.set()
        with self._sent:
            self._sent.notify_all()
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join(2)
        futures, self._futures = getattr(self, "_futures", []), []
        client, cluster = self._client, self._cluster
        self._cluster = None
        for part in self._parts:
            part.actor = part.future = None
        try:
            if client is not None and futures:
                client.cancel(futures)
        except Exception:
            pass
        if self._own_client and client is not None:
            self._own_client = False
            try:
                client.close(timeout=2)
            except Exception:
                pass
        if cluster is not None:
            _close_embedded(cluster)
        if self._dask_level is not None:
            logging.getLogger("distributed").setLevel(self._dask_level)
            self._dask_level = None

    # The calls to the parts.

    def _live(self):
        return [p for p in self._parts if p.lost is None and p.actor is not None and not p.silent]

    def _call_all(self, method, *args, parts=None):
        """Calls `method` on every live part (or on `parts`) at once and waits for each; returns
        {part index: answer}. A part that fails to answer is lost; an exception a part's manager
        raised goes on to the caller once every part has answered.

        Arguments that cannot be pickled raise TypeError before any call is made: Dask fails such a
        call in its connection, and restarts the worker."""
        if any(type(arg) not in _SENDABLE for arg in args):
            _checked_pack(args, f"an argument of {method}")
        calls = []
        for part in self._live() if parts is None else [p for p in parts if p in self._live()]:
            try:
                calls.append((part, getattr(part.actor, method)(*args)))
            except Exception as e:
                self._lose(part, e)
        answers, raised = {}, None
        began = time.monotonic()
        for part, call in calls:
            try:
                answers[part.index] = self._answer(part, call, began)
            except Exception as e:
                if _is_lost(e):
                    self._lose(part, e)
                elif raised is None:
                    raised = _unwrapped(e)
        if raised is not None:
            raise raised
        return answers

    def _timeout(self):
        return _HURRIED_CLOSE if self._hurry else _CALL_TIMEOUT

    def _answer(self, part, call, began=None):
        """The answer of a call to a part, waited for from `began` on (calls made to several parts
        at once share it, so that they wait the time-out once between them, not once each). The
        wait ends as soon as Dask knows the part's worker is gone: a call on its way to a dead
        worker would otherwise retry its connection for Dask's whole connection time-out. A close
        in a hurry shortens a wait under way (the poller's, which the close waits for), and a part
        found lost meanwhile ends it."""
        if began is None:
            began = time.monotonic()
        while True:
            wait = self._timeout()
            deadline = began + wait
            try:
                return call.result(timeout=max(0.001, min(0.1, deadline - time.monotonic())))
            except TimeoutError:
                status = part.future.status if part.future is not None else "finished"
                if status not in ("finished", "pending"):
                    raise RuntimeError(f"Worker holding Actor was lost.  Status: {status}") from None
                if part.lost is not None:
                    raise RuntimeError(f"Worker holding Actor was lost: {part.lost}") from None
                if time.monotonic() >= deadline:
                    # The whole wait, not the last slice of it, which is what the caught one says.
                    raise TimeoutError(f"no answer within {wait:g} s") from None

    def _lose(self, part, cause):
        """Marks a part lost: its unfinished tasks fail with ProcessLostError; a warning names it."""
        if self._hurry and not self._var.switch and isinstance(cause, TimeoutError):
            self._leave_unanswered(part)
            return
        # A Ctrl-C is held until the part's tasks have ended: cut short once the part reads as lost,
        # they would wait for ever for a part that is no longer asked.
        with _CtrlCHeld(), self._lock:
            if part.lost is not None or self._closing:
                return  # once shut down, the calls still on their way fail: no part is lost by that
            part.lost = f"{type(cause).__name__}: {cause}" if isinstance(cause, BaseException) else str(cause)
            error = ProcessLostError(f"the worker process of part {part.index} ({part.address}) was lost: "
                                     f"{part.lost}")
            pending, part.pending = part.pending, []
            unfinished = 0
            known = 0
            example = None
            # The tasks it was to name, on their way or still here: named from its own numbers,
            # which no other part uses, they fail as the others do rather than vanish.
            for name in self._unnamed_names(part):
                self._tasks[name] = [part.index, _WAITING, None]
            for name, task in self._tasks.items():
                if task[0] != part.index or name in part.refused_names:
                    continue  # a task the part refused is counted as such already
                known += 1
                if task[1] in _UNFINISHED:
                    task[1], task[2] = _FAILED, error
                    unfinished += 1
                    example = example or name
            if unfinished:
                self._note_cause(part, error, unfinished, example)
            counts = part.counts
            counts["total"] = max(counts["total"], known)
            counts["done"] += unfinished
            counts["failed"] += unfinished
            # Nothing runs there any more: the tasks that were waiting count as started and ended,
            # as one manager counts a task whose thread could not start, so that the running count
            # (run - done - stop) comes back to 0 rather than below.
            counts["run"] = counts["done"] + counts["stop"]
            part.queued -= len(pending)
            part.qsize, part.is_run, part.finished, part.settled = 0, False, True, True
            self._set_active()
            self._sent.notify_all()
        self._log.warning(f"Part {part.index} ({part.address}) lost: {part.lost}; {unfinished} unfinished "
                          f"task(s) failed")

    def _unnamed_names(self, part):
        """Names, from the numbers `part` names its tasks by, for the tasks it was to name and has
        not answered for; the count is reset. Lock held."""
        count, part.unnamed = part.unnamed, 0
        if not count:
            return []
        _, number, step = self._numbering_of(part)
        if part.name_next is not None and part.name_next[1] == step:
            number = max(number, part.name_next[0])  # on from the last it reported, of the same turn
        names = []
        while len(names) < count:
            name = f"Thread_{number}"
            number += step
            if name not in self._tasks:
                names.append(name)
        return names

    def _leave_unanswered(self, part):
        """A close in a hurry waits a second for the parts: one that takes longer (a long queue to
        cancel) is alive, and closes with the cluster's shut-down. It is asked nothing more, and its
        tasks keep the statuses last known: failed as lost, they would count as failures they are
        not. A warning names it."""
        with self._lock:
            if part.lost is not None or part.silent or self._closing:
                return
            part.silent = True
        self._log.warning(f"Part {part.index} ({part.address}) did not answer the close in time: its tasks keep "
                          f"their last known statuses")

    def _forward(self, field, value):
        # A value of the caller's goes pickled, and loads in the part's call: loaded by Dask on its
        # way, one that fails to load there (its class's module is the coordinator's alone) would
        # break the worker's connection, and the part would read as lost.
        if self._parts and not self._closing:
            if type(value) in _SENDABLE:
                self._call_all("set_field", field, value)
            else:
                self._call_all("set_field", field, _checked_pack(value, f"the {field}"), True)

    # Submission.

    def _set_active(self):
        """The parts that take new tasks: the live ones with a worker, else every live one."""
        self._active = [p for p in self._parts if p.lost is None and p.share > 0] or self._live()

    def _next_part(self):
        active = self._active
        if not active:
            raise threads_main.ManagerError("Every part of the cluster has been lost")
        part = active[self._rr % len(active)]
        self._rr += 1
        return part

    def _send(self, thread_name=None, **kwargs):
        """Submits one task to the next part in turn. Returns True.

        The name is chosen as one manager's _send chooses it, over the whole run (in a timed run a
        part numbers the tasks sent without a name); the task reaches its part through the sending
        thread. Raises ManagerError on a closed run or when every part has been lost, and TypeError
        as one manager's _send does.
        """
        if thread_name is not None and type(thread_name) is not str:
            raise TypeError(f"Argument 'thread_name' has incorrect type (expected str, got "
                            f"{type(thread_name).__name__})")
        self._check_while()
        for reserved in _RESERVED:
            if reserved in kwargs:
                raise TypeError(f"_Worker.__init__() got multiple values for argument '{reserved}'")
        with self._lock:
            given = bool(thread_name) and thread_name not in self._tasks
            number = self._given_number(thread_name) if given else None
            part = (self._timed and (self._holder_of(thread_name) or self._owner_of(number))) or self._next_part()
            if given:
                name = thread_name
            elif self._timed:
                name = None  # a part numbers it, from its share of the counter
            else:
                while True:
                    name = f"Thread_{self._counter}"
                    self._counter += 1
                    if name not in self._tasks:
                        break
            # No call from the entry to the append, which ends the submission: a Ctrl-C lands only
            # at a call, and one after the append finds the task counted, recorded and pending.
            if name is not None:
                self._tasks[name] = [part.index, _WAITING, None]
            else:
                part.unnamed += 1
            part.queued += 1
            self._gen += 1
            self._finished = self._idle = False
            part.pending.append((name, kwargs))
            if len(part.pending) == 1:
                self._sent.notify()  # the sender sleeps only while nothing is pending
        return True

    def _send_list_thread(self, thread_list):
        """Submits every task of a collection through _send; with a duration, starts the parts' own loops.

        Without a duration every element (a mapping of _send's keywords) is sent once. With one, the
        collection is split over the parts and each part sends its share again and again in a sending
        loop of its own, as one manager's _send_list_thread does; this returns once the loops have
        started. Returns None.
        """
        with self._lock:
            if self._announced:  # the count _send_list took for this thread, or for one to come
                self._announced -= 1
            else:
                self._sending += 1
        try:
            if not self._var.duration:
                for element in self._thread_list_yield(thread_list):
                    self._send(**_request(element))
                return None
            self._send_for_duration([dict(_request(e)) for e in self._thread_list_yield(thread_list)])
            return None
        finally:
            with self._lock:
                self._sending -= 1

    def _send_list(self, thread_list):
        """Sends a list, set or tuple of tasks on a new sending thread, as one manager's _send_list.

        The collection counts as being sent from now on: a join that begins once this returns waits
        for it, rather than finding the run before it done. Returns None.
        """
        if not isinstance(thread_list, (list, set, tuple)):
            return super()._send_list(thread_list)  # sends nothing, and warns of it
        try:
            with self._lock:
                self._sending += 1
                self._announced += 1
            return super()._send_list(thread_list)
        except BaseException:
            # The thread has not begun (nor will it), or Ctrl-C came before the count was taken:
            # a count not yet taken over goes back. Counts are not tied to threads, so one taken
            # back for another thread is made up by that thread's own when it begins.
            with self._lock:
                if self._announced:
                    self._announced -= 1
                    self._sending -= 1
            raise

    def _send_for_duration(self, elements):
        """A timed run: the collection split over the parts, each sending its share again and again
        for the duration in its own loop. Elements naming the same task go to the same part."""
        self._check_while()
        with self._lock:
            active = [p for p in self._parts if p.lost is None and p.share > 0] or self._live()
            if not active:
                raise threads_main.ManagerError("Every part of the cluster has been lost")
            shares = {p.index: [] for p in active}
            owner = {}
            for i, element in enumerate(elements):
                name = element.get("thread_name")
                if name:
                    number = self._given_number(name)
                    part = owner.get(name) or self._holder_of(name, active)
                    part = owner.setdefault(name, part or self._owner_of(number, active) or active[i % len(active)])
                    self._timed_names[name] = part.index
                else:
                    part = active[i % len(active)]
                shares[part.index].append(element)
        # Every share pickled before anything changes: a collection that cannot go to the parts
        # starts none of their loops.
        packed = {}
        for index, share in shares.items():
            if share:
                try:
                    packed[index] = _pack(share)
                except Exception as e:  # on the caller's thread: a Ctrl-C goes on as itself
                    raise _unsendable("the collection of a timed run", e) from e
        with self._lock:
            self._timed = True
            # A start one above a multiple of the step keeps each part on its own numbers, run after
            # run: the names a part generated under an earlier numbering (some perhaps not yet
            # pulled) can never be another part's.
            step = len(self._parts)
            # Above every name of the generated form the caller gave too: such a name lives in the
            # part round robin gave it, and another part would generate it again.
            start = max(self._counter, self._named_highest + 1)
            start += (1 - start) % step
            self._numbering = ((self._numbering[0] + 1) if self._numbering else 1, start, step)
            self._gen += 1
            self._finished = self._idle = False
        self._flush()
        for part in active:
            if part.index in packed:
                self._call_all("send_list", packed[part.index], self._numbering_of(part), parts=[part])
        with self._lock:
            # A pull made before the last part began its loop found it without a task: discarded.
            self._gen += 1
            self._finished = self._idle = False
        self._wake.set()

    def _given_number(self, name):
        """n for a name "Thread_<n>" the caller gave, kept if it is the highest so far (a timed
        run's numbering starts above it); None for any other name. Lock held."""
        number = _generated_number(name) if type(name) is str else None
        if number is not None and number > self._named_highest:
            self._named_highest = number
        return number

    def _holder_of(self, name, active=None):
        """The part that holds a task of `name` already, or whose timed loop may have used it: the
        task goes there, where the part names it anew if it must (another part would take the
        name as given, and the run would hold it twice). None when there is none, or it is lost or,
        for a timed collection's share, not in `active`. Lock held."""
        task = self._tasks.get(name)
        index = task[0] if task is not None else self._timed_names.get(name)
        if index is None:
            return None
        part = self._parts[index]
        if part.lost is not None or (active is not None and part not in active):
            return None
        return part

    def _owner_of(self, number, active=None):
        """The part whose numbers include `number` (of a name "Thread_<number>", or None), unless it
        is lost or, for a timed collection's share, not in `active`: a task the caller names so goes
        there, where the part's own naming passes over it. A part without a share of the workers
        runs it as it runs what waits in it. None otherwise. Lock held."""
        if number is None:
            return None
        part = self._parts[(number - 1) % len(self._parts)]
        if part.lost is not None or (active is not None and part not in active):
            return None
        return part

    def _numbering_of(self, part):
        """The numbering `part` names its tasks by (see PartManager._number_names): None until a
        timed run has begun, as the coordinator names every task until then."""
        if self._numbering is None:
            return None
        generation, start, step = self._numbering
        return generation, start + part.index, step

    def _send_loop(self):
        """The sender thread: hands the submitted tasks to their parts in batches."""
        while True:
            with self._sent:
                while not self._closing and not any(p.pending for p in self._parts):
                    self._sent.wait(_SENDER_LOOK)
                if self._closing and not any(p.pending and p.lost is None for p in self._parts):
                    return
                batches = []
                for part in self._parts:
                    if part.pending:
                        batch, part.pending = part.pending[:_BATCH], part.pending[_BATCH:]
                        # The numbering goes with the batch: its tasks without a name were sent
                        # under it (or under none).
                        batches.append((part, batch, self._numbering_of(part)))
            calls = []
            for part, batch, numbering in batches:
                try:
                    data = _pack(batch)
                except BaseException:  # a __reduce__ of the caller's may raise anything, SystemExit too
                    # An argument that cannot be pickled (a generator, a lock, a connection): the
                    # part is fine, so the batch goes one task at a time and those tasks alone fail.
                    # This thread of ours takes no Ctrl-C, and must not end.
                    calls.append((part, batch, numbering, None))
                    continue
                try:
                    calls.append((part, batch, numbering, part.actor.send_batch(data, numbering)))
                except Exception as e:
                    self._lose(part, e)
            for part, batch, numbering, call in calls:
                lost = None
                try:
                    if call is None:
                        chosen, refused, lost = self._send_one_by_one(part, batch, numbering)
                    else:
                        chosen, refused = self._answer(part, call)
                except Exception as e:
                    if _is_lost(e):
                        self._lose(part, e)
                        continue
                    # The part could not read the batch (an argument's class is not importable
                    # there): sent again one task at a time, the others still go.
                    chosen, refused, lost = self._send_one_by_one(part, batch, numbering, e)
                names = [batch[position][0] for position, _ in refused]
                if lost is None:
                    names = self._name_refused(part, numbering, names)
                with self._lock:
                    if part.lost is not None:
                        # Found lost since the part answered: the loss has failed this batch's
                        # tasks, those it was to name among them.
                        chosen = [c for c in chosen if batch[c[0]][0] is not None]
                        refused = [r for r in refused if batch[r[0]][0] is not None]
                        names = [batch[position][0] for position, _ in refused]
                    else:
                        answered = {position for position, _ in chosen} | {position for position, _ in refused}
                        part.unnamed -= sum(1 for position in answered if batch[position][0] is None)
                    for position, name in chosen:
                        self._tasks.setdefault(name, [part.index, _WAITING, None])
                    for (position, error), name in zip(refused, names):
                        self._refuse_task(part, name, error)
                    part.queued -= len(batch)
                    self._sent.notify_all()
                if lost is not None:
                    # Only now: the loss fails the part's tasks that are not refused already, and
                    # a task refused on its way counts once, as refused.
                    self._lose(part, lost)
                unsent = [error for _, error in refused if type(error) is UnsendableError]
                if unsent:
                    self._log.warning(f"{len(unsent)} task(s) could not be sent to part {part.index} "
                                      f"({part.address}): {unsent[0]}")
                taken = [error for _, error in refused if type(error) is not UnsendableError]
                if taken:
                    self._log.warning(f"Part {part.index} ({part.address}) refused {len(taken)} task(s): "
                                      f"{describe(taken[0])}")
            self._wake.set()

    def _send_one_by_one(self, part, batch, numbering, error=None):
        """Sends a batch that failed as a whole one task at a time; a task whose arguments cannot be
        pickled fails with an UnsendableError. `error` is the whole batch's, for a batch of one.
        Returns the tasks chosen and refused, and the error that showed the part lost (None when
        none did), which the caller hands to _lose once it has counted the refused ones."""
        if len(batch) == 1 and error is not None:
            return [], [(0, _unwrapped(error))], None
        chosen, refused = [], []
        for position, item in enumerate(batch):
            try:
                data = _pack([item])
            except BaseException as e:
                what = "the arguments of a task" if item[0] is None else f"the arguments of task {item[0]}"
                refused.append((position, _unsendable(what, e)))
                continue
            try:
                one_chosen, one_refused = self._answer(part, part.actor.send_batch(data, numbering))
            except Exception as e:
                if _is_lost(e):
                    return chosen, refused, e
                one_chosen, one_refused = [], [(0, _unwrapped(e))]
            chosen += [(position, name) for _, name in one_chosen]
            refused += [(position, e) for _, e in one_refused]
        return chosen, refused, None

    def _name_refused(self, part, numbering, names):
        """The names of tasks their part did not take: each task's own, or for one sent without a
        name (in a timed run, where the parts name such tasks) the next of the part's numbers, all
        taken in one call, so that the task's failure is kept under a name as one manager keeps
        it. None for those when the part cannot answer."""
        unnamed = names.count(None)
        if not unnamed or part.lost is not None:
            return names
        try:
            taken = iter(self._answer(part, part.actor.take_names(numbering, unnamed)))
        except Exception as e:
            if _is_lost(e):
                self._lose(part, e)
            return names
        return [name if name is not None else next(taken) for name in names]

    def _refuse_task(self, part, name, error):
        """A task its part could not take (its arguments cannot be unpickled there): it counts as
        submitted and failed, with the part's error as its result. Lock held."""
        task = self._tasks.get(name) if name is not None else None
        if (task is not None and part.lost is not None and task[0] == part.index and task[1] == _FAILED
                and type(task[2]) is ProcessLostError and name not in part.refused_names):
            return  # the part was found lost (by a pull) before this: its loss has counted the task
        if name is not None:
            self._tasks[name] = [part.index, _FAILED, error]
            part.refused_names.add(name)
        for key in _REFUSED:
            part.refused[key] += 1
        self._note_cause(part, error, 1, name)

    def _note_cause(self, part, error, count, example):
        """Counts `count` failures of `error` that `part` does not record itself, as the failure
        causes of one manager count them. Lock held."""
        text = _cause_text(error)
        now = time.time()
        cause = self._causes.setdefault(part.index, {}).get(text)
        if cause is None:
            self._causes[part.index][text] = [count, now, now, example or ""]
        else:
            cause[0] += count
            cause[2] = now
        self._failed_at.setdefault(part.index, []).append((now, count))

    def _failures_here(self):
        """The failures made here as the parts give theirs: ([(causes, began)], [(timeline, began)]),
        for merge.merge_errors and merge.merge_timelines (empty lists when there are none). They
        have no run time: their rows count them, and weigh nothing in the percentiles."""
        with self._lock:
            own = [(text, *cause) for causes in self._causes.values() for text, cause in causes.items()]
            times = [event for events in self._failed_at.values() for event in events]
        if not own:
            return [], []
        began = min(first for _, _, first, _, _ in own)
        causes = [{"error": text, "count": count, "first": first - began, "last": last - began, "example": example}
                  for text, count, first, last, example in own]
        counts = {}
        for at, count in times:
            counts[int(at - began)] = counts.get(int(at - began), 0) + count
        timeline = [{"second": second, "completed": n, "failed": n, "timed": 0, "p50": 0.0, "p95": 0.0, "p99": 0.0,
                     "max": 0.0} for second, n in sorted(counts.items())]
        return [(causes, began)], [(timeline, began)]

    def _merged_errors(self, runtimes):
        """The parts' failure causes and those of the failures made here, as one list."""
        return merge.merge_errors([(r.get("errors"), self._started(r)) for _, r in runtimes] + self._failures_here()[0])

    def _merged_timeline(self, runtimes):
        """The parts' timelines and the failures made here, as one timeline."""
        return merge.merge_timelines([(r.get("timeline"), self._started(r)) for _, r in runtimes]
                                     + self._failures_here()[1])

    def _flush(self):
        """Waits until every task submitted so far has reached its part (or its part is lost)."""
        deadline = time.monotonic() + self._timeout()
        with self._sent:
            while any(p.queued > 0 and p.lost is None for p in self._parts):
                left = deadline - time.monotonic()
                if left <= 0 or len(self._threads) < 2 or not self._threads[1].is_alive():
                    break
                self._sent.wait(min(left, 0.1))

    # Pulling the parts' changes.

    def _poll_loop(self):
        while not self._closing:
            self._wake.wait(_POLL_IDLE if self._idle else _POLL_FAR if self._far else _POLL_BUSY)
            self._wake.clear()
            if self._closing:
                return
            now = time.monotonic()
            runtime = now - self._last_runtime >= _RUNTIME_PERIOD and not self._idle
            try:
                self._sync(runtime)
            except Exception as e:  # keeps polling: a failure here is one part's, handled as its loss
                self._log.debug(f"Poll error: {type(e).__name__}: {e}")
            if runtime:
                self._last_runtime = now

    def _sync(self, runtime=False):
        """Pulls every live part's changes into the mirror."""
        with self._sync_lock:
            began = time.monotonic()
            gen = self._gen
            clean = {p.index: p.queued == 0 for p in self._parts}
            calls = []
            for part in self._live():
                try:
                    calls.append((part, part.actor.pull(runtime, part.applied)))
                except Exception as e:
                    self._lose(part, e)
            asked = time.monotonic()
            for part, call in calls:
                try:
                    state = pickle.loads(self._answer(part, call, asked))
                except Exception as e:
                    if _is_lost(e):
                        self._lose(part, e)
                    else:
                        self._log.debug(f"Poll error: {type(e).__name__}: {e}")
                    continue
                self._apply(part, state, clean[part.index])
            with self._lock:
                if self._gen == gen:
                    # Done as one manager is: once tasks have run, when nothing waits or runs
                    # anywhere (a part that has had no task is no reason to wait). A task its part
                    # refused has run and failed here, as one whose thread cannot start does.
                    self._idle = all(p.finished for p in self._parts)
                    self._finished = self._idle and any(p.settled or p.refused["total"] for p in self._parts)
                    busy = [p for p in self._parts if p.lost is None and not p.finished]
                    self._far = bool(busy) and all(p.qsize > p.pace * _HORIZON for p in busy)
                    self._synced = (began, gen)

    def _apply(self, part, state, clean):
        # Opened outside the lock: loading a result may run code of the user's.
        changes = [(name, status, result.open() if type(result) is Sealed else result)
                   for name, status, result in state["changes"]]
        with self._lock:
            if part.lost is not None:
                return
            tasks = self._tasks
            for name in state["new"]:
                tasks.setdefault(name, [part.index, _WAITING, None])
            for name, status, result in changes:
                task = tasks.get(name)
                if task is None:
                    tasks[name] = [part.index, status, result]
                else:
                    task[1], task[2] = status, result
            part.counts = state["counts"]
            # The pace over at least a busy poll period: pulls that a query asks for right after
            # the poller's would otherwise measure it over a millisecond or two.
            now, done = time.monotonic(), part.counts["done"]
            if part.seen is None or now - part.seen[1] >= _POLL_BUSY:
                if part.seen is not None:
                    part.pace = max(0.0, (done - part.seen[0]) / (now - part.seen[1]))
                part.seen = (done, now)
            part.times = {k: state[k] for k in ("all_time", "min_time", "max_time")}
            part.qsize = state["qsize"]
            part.is_run = state["is_run"]
            part.finished = state["finished"] and clean and part.queued == 0
            part.settled = state["settled"]
            part.applied = state["pull"]
            name_next, step = state["name_next"]
            self._counter = max(self._counter, name_next - step + 1)
            part.name_next = (name_next, step)
            if "runtime" in state:
                part.runtime = state["runtime"]

    def _refresh(self, within=0.0):
        """Brings the mirror up to date: every submission delivered, then every part pulled; unless
        a pull begun less than `within` seconds ago saw every submission."""
        if self._parts and not self._closing:
            began, gen = self._synced
            if within and time.monotonic() - began < within and gen == self._gen:
                return
            self._flush()
            self._sync()

    # What the inherited joins and summary lines read through `_var`.

    def _counts(self):
        with self._lock:
            counts = dict.fromkeys(_COUNTERS, 0)
            for part in self._parts:
                for key in _COUNTERS:
                    counts[key] += part.counts[key] + part.refused.get(key, 0)
            counts["total"] += sum(len(p.pending) for p in self._parts if p.lost is None)
            # Tasks on their way to a part are submitted: counted like one manager counts them.
            counts["total"] += sum(p.queued - len(p.pending) for p in self._parts if p.lost is None and
                                   p.queued > len(p.pending))
            return counts

    def _times(self):
        return merge.merge_times([p.times for p in self._parts])

    def _any_running(self):
        return any(p.is_run for p in self._parts if p.lost is None)

    # Queries.

    def _done(self):
        """Returns True once the run has ended in every part and no task is on its way to a part.

        As one manager's done flag: false until a run has ended, while a collection is being sent,
        and again after a submission or _clear_record().
        """
        return not self._sending and self._finished and not any(p.queued for p in self._parts if p.lost is None)

    def _get_run_status(self):
        """Returns the seven run counters summed over the parts.

        The counters of _get_run_status() of one manager that ran every task; tasks on their way to
        a part already count as submitted.
        """
        # A pull begun within one poll period with nothing submitted since is recent enough: the
        # joins ask twice in a row as they begin, and two pulls a few milliseconds apart would make
        # a first summary line out of the tasks that ended in between.
        self._refresh(within=_POLL_BUSY)
        return self._counts()

    def _get_qsize(self):
        """Returns the number of names waiting in the live parts and on their way to them.

        Raises ManagerError on a closed run.
        """
        self._check_while()
        self._refresh()
        with self._lock:
            return sum(p.qsize + len(p.pending) for p in self._parts if p.lost is None)

    def _get_status(self, thread_name):
        """Returns one task's status word, as {thread_name: status}, from the mirror brought up to date.

        "Task does not exist" for a name that is no task of the run.
        """
        self._refresh()
        task = self._tasks.get(thread_name)
        return {thread_name: task[1] if task is not None else "Task does not exist"}

    def _get_result(self, thread_name):
        """Returns one task's result, as {thread_name: result}, from the mirror brought up to date.

        "Task does not exist" for a name that is no task of the run.
        """
        self._refresh()
        task = self._tasks.get(thread_name)
        return {thread_name: task[2] if task is not None else "Task does not exist"}

    def _get_all_status(self):
        """Returns every task's status word, as {name: status}, in the order the tasks were submitted."""
        self._refresh()
        with self._lock:
            return {name: task[1] for name, task in self._tasks.items()}

    def _result_summary(self, failed_only):
        self._refresh()
        with self._lock:
            counts = self._counts()
            summary = {key: counts[key] for key in ("total", "run", "success", "failed", "stop", "cancel")}
            summary["data"] = [{"task": name, "result": task[2], "status": task[1]}
                               for name, task in self._tasks.items() if not failed_only or task[1] == _FAILED]
            return summary

    def _get_all_result(self):
        """Returns the counters and every task's result and status, as one manager's _get_all_result()."""
        return self._result_summary(False)

    def _get_failed_result(self):
        """Returns the counters and the failed tasks' results and statuses, as one manager's."""
        return self._result_summary(True)

    def _get_failed(self):
        """Returns the names of the tasks whose status is "失败", in the order the tasks were submitted."""
        self._refresh()
        with self._lock:
            return [name for name, task in self._tasks.items() if task[1] == _FAILED]

    # Run-time data: the parts' histograms, timelines and failure causes merged.

    def _runtimes(self):
        """Each part's run-time data, fresh from the live parts; a lost or closed part's as last seen."""
        if self._parts and not self._closing:
            self._flush()
            answers = self._call_all("runtime")
            with self._lock:
                for part in self._parts:
                    if part.index in answers:
                        part.runtime = answers[part.index]
        return [(p, p.runtime or {}) for p in self._parts]

    @staticmethod
    def _started(runtime):
        info = runtime.get("run_info") or {}
        return info.get("started") if info.get("started") is not None else runtime.get("first_send")

    def _get_histogram(self):
        """Returns the raw form of the run's histogram: the exact merge of the parts' histograms."""
        return threads_main.merge_histograms([r["histogram"] for _, r in self._runtimes() if r.get("histogram")])

    def _get_latency(self):
        """Returns the run's task run times in milliseconds, read from the merged histogram."""
        return threads_main.histogram_latency(self._get_histogram())

    def _get_timeline(self):
        """Returns the run per second: the parts' timelines merged (see merge.merge_timelines).

        The failures of tasks that never ran in a part count in it too."""
        return self._merged_timeline(self._runtimes())

    def _get_errors(self):
        """Returns the failure causes of the whole run, most frequent first (see merge.merge_errors)."""
        return self._merged_errors(self._runtimes())

    def _get_run_info(self):
        """Returns the run's set-up as a dict, as one manager's _get_run_info().

        'max_workers' is the total worker limit; 'started' and 'ended' are the epoch seconds of the
        first dispatch in any part and of the last finished task in any part.
        """
        runtimes = self._runtimes()
        return self._run_info(runtimes)

    def _run_info(self, runtimes):
        starts = [self._started(r) for _, r in runtimes if self._started(r) is not None]
        ends = [(r.get("run_info") or {}).get("ended") for _, r in runtimes]
        ends = [e for e in ends if e is not None]
        return {"function": self._func_name, "max_workers": self._var.max_workers, "dispatch": self._dispatch,
                "duration": self._var.duration, "started": min(starts, default=None),
                "ended": max(ends, default=None)}

    def _write_report(self, path):
        """Writes the run report of the whole run to path. Returns True.

        The report of BrixelThreadsMain._write_report, with a table of one row per part (tasks,
        failed, rate, p50 and p99) so that one slow process shows.
        """
        import brixel_report

        run_status = self._get_run_status()
        runtimes = self._runtimes()
        raws = [r["histogram"] for _, r in runtimes if r.get("histogram")]
        latency = threads_main.histogram_latency(threads_main.merge_histograms(raws))
        timeline = self._merged_timeline(runtimes)
        info = self._run_info(runtimes)
        errors = self._merged_errors(runtimes)
        span = info["ended"] - info["started"] if info["started"] is not None and info["ended"] is not None else None
        setup = {"function": info["function"], "max_workers": info["max_workers"], "dispatch": info["dispatch"],
                 "duration": info["duration"], "started": info["started"], "processes": len(self._parts)}
        parts = []
        for part, runtime in runtimes:
            host = part.host if part.lost is None else f"{part.host} (lost)"
            # With the tasks the coordinator could not send it, counted on its behalf: the rows add
            # up to the run's counters.
            with self._lock:
                counts = {key: part.counts[key] + part.refused.get(key, 0) for key in _COUNTERS}
            parts.append(merge.part_row(part.index, host, counts, runtime.get("histogram"),
                                        runtime.get("run_info"), runtime.get("timeline")))
        brixel_report.write_report(path, run_status=run_status, latency=latency, timeline=timeline, setup=setup,
                                   errors=errors, span=span, parts=parts)
        return True

    # Control.

    def _stop(self, thread_name):
        """Stops one running task, in the part that holds it. Returns True.

        Logs "Stop complete". Raises ManagerError on a closed run, and the built-in Exception
        "Task <name> does not exist" for a name that is no task or "Task <name> not running" for a
        task not yet dispatched or whose part has been lost.
        """
        self._check_while()
        self._flush()
        task = self._tasks.get(thread_name)
        if task is None:
            self._sync()
            task = self._tasks.get(thread_name)
        if task is None:
            raise Exception(f"Task <{thread_name}> does not exist")
        part = self._parts[task[0]]
        if part.lost is not None:
            raise Exception(f"Task <{thread_name}> not running")
        self._call_all("stop", thread_name, parts=[part])
        self._sync()
        self._log.info("Stop complete")
        return True

    def _stop_action(self, thread_name=None):
        """Stops one named task in its part, or every dispatched task in every part. Returns None.

        In a close (the switch is off) each part closes instead, which stops its tasks and leaves its
        flags as a closed manager's.
        """
        self._flush()
        if thread_name is None and not self._var.switch:
            # The stop walk of a close: each part closes, which stops its tasks with its switch
            # already off, so that its flags stay as they were, as a closed manager's do.
            self._call_all("close")
        elif thread_name is None:
            self._call_all("stop_action")
        elif isinstance(thread_name, str):
            task = self._tasks.get(thread_name)
            parts = [self._parts[task[0]]] if task is not None else None
            self._call_all("stop_action", thread_name, parts=parts)
        # Any other name is no task's (names are text): nothing to stop, as in one manager.
        self._sync()

    def _stop_all(self):
        """Cancels the waiting tasks and stops the running ones, in every part. Returns True.

        Logs "Stop all complete". Raises ManagerError on a closed run.
        """
        self._check_while()
        self._clear_queue()
        self._stop_action()
        self._log.info("Stop all complete")
        return True

    def _clear_queue(self):
        """Takes every waiting name off the queues of every part as cancelled. Returns True.

        Logs "Clear queue......" and "Clear queue complete".
        """
        self._log.info("Clear queue......")
        self._flush()
        self._call_all("clear_queue")
        self._sync()
        self._log.info("Clear queue complete")
        return True

    def _rerun_failed(self):
        """Puts the failed tasks of every part on its queue again. Returns True.

        Each part re-runs its own, as one manager's _rerun_failed does; here their statuses read
        "待运行" until the parts report again. Raises ManagerError on a closed run.
        """
        self._check_while()
        self._flush()
        with self._sync_lock:
            answers = self._call_all("rerun_failed")
            with self._lock:
                for names in answers.values():
                    for name in names:
                        task = self._tasks.get(name)
                        if task is not None and task[1] == _FAILED:
                            task[1], task[2] = _WAITING, None
                if any(answers.values()):
                    self._gen += 1
                    self._finished = self._idle = False
        self._wake.set()
        return True

    def _clear_record(self):
        """Forgets the finished run in every part; returns True, or False while the run has not ended.

        Also False when a live part could not clear its own records (a task reached it after the
        run was seen to end); the parts that did clear theirs are forgotten here too, so that the
        mirror and the counters keep agreeing with the parts. A part that has had no task has
        nothing to forget. The parts' counters, run times and the mirror are cleared with it.
        """
        self._refresh()
        if not self._done():
            return False
        # A Ctrl-C is held until the records here are cleared as the parts' are: cut short between
        # the two, this would keep for good a batch that the parts have forgotten.
        with self._sync_lock, _CtrlCHeld():
            answers = self._call_all("clear_record")
            with self._lock:
                cleared = {i for i, ok in answers.items() if ok}
                # A lost part has nothing left to clear, nor has one gone with the close.
                cleared |= {p.index for p in self._parts if p.lost is not None or p.actor is None}
                for part in self._parts:
                    if part.index in cleared:
                        self._causes.pop(part.index, None)
                        self._failed_at.pop(part.index, None)
                        part.counts = dict.fromkeys(_COUNTERS, 0)
                        part.refused = dict.fromkeys(_REFUSED, 0)
                        part.refused_names = set()
                        # The shortest and the longest run stay, as one manager keeps them.
                        part.times = dict(part.times, all_time=0)
                        part.runtime = None
                        part.settled = False  # it has run nothing of the batch to come (a lost part ever)
                if len(cleared) < len(self._parts):
                    for name in [name for name, task in self._tasks.items() if task[0] in cleared]:
                        del self._tasks[name]
                    return False
                self._tasks.clear()
                self._timed_names.clear()
                self._finished = False
        return True

    def _set_max_workers(self, workers_number=None, maximum=False):
        """Changes the worker limit of the whole run, split over the parts not lost as evenly as it goes.

        The total follows one manager's policy; "Workers number: <workers_number>" is logged. A part
        left without a share (fewer workers than parts) takes no new task, but runs those already
        waiting in it one at a time, unless the total is none. Returns True. Raises ManagerError on
        a closed run.
        """
        self._check_while()
        total = self._worker_total(workers_number, maximum)
        # Over the parts still there: a lost part's share would be workers the run never gets.
        parts = self._live() or self._parts
        shares = merge.split_workers(total, len(parts))
        with self._lock:
            for part in self._parts:
                part.share = 0
            for part, share in zip(parts, shares):
                part.share = share
            self._set_active()
        calls = {p.index: s for p, s in zip(parts, shares)}
        for part in self._live():
            self._call_all("set_max_workers", calls.get(part.index, 0), total > 0, parts=[part])
        self._var.max_workers = total
        self._log.info(f"Workers number: {workers_number}")
        return True

    def _close(self):
        """Shuts the run down for good: every part closes, then the cluster's client and threads.

        Cancels the waiting tasks, stops the running ones, closes every part and takes its last
        results, then ends the poller and sender threads, the client and (when it was started here)
        the embedded cluster. An error in a step is logged as a warning, "Close error：" followed by
        its text, and the next step is taken all the same. Logs "Close......" and "Close complete".
        Returns True.
        Raises ManagerError on a run closed already, or being closed by another thread at the same
        time.
        """
        self._check_while()
        with self._lock:
            # Two closes at once both pass the check: the second refuses as if it had come later.
            if not self._var.switch:
                raise threads_main.ManagerError("The manager has stopped")
            self._var.switch = False
        try:
            # In the try: once the switch is off, nothing (a Ctrl-C in the logger) may keep the
            # shut-down from running. Each step is taken whatever failed before it: a part that
            # refuses to clear its queue is still asked to stop and close, and the last results are
            # still taken.
            self._log.info("Close......")
            for step in (self._flush, self._clear_queue, self._stop_action, lambda: self._call_all("close"),
                         lambda: self._sync(runtime=True)):
                try:
                    step()
                except Exception as e:
                    self._log.warning(f"Close error：{e}")
        finally:
            self._shutdown()
        self._log.info("Close complete")
        return True

    def __exit__(self, exc_type, exc_value, traceback):
        """Closes the run unless it is closed already; the exception, if any, goes on.

        Leaving on an exception (Ctrl-C included) closes promptly: a call to a part then waits at most
        a second. Returns None.
        """
        if exc_type is not None:
            self._hurry = True  # Ctrl-C or an error: close promptly rather than wait for slow parts
        return super().__exit__(exc_type, exc_value, traceback)

    # A cluster has no control loop of its own: its parts dispatch their tasks.

    def _refuse(self, *args, **kwargs):
        """Raises NotImplementedError: a cluster has no control loop of its own.

        It stands for _start, _queue_init, _consumer and _check_max_workers: each part's manager
        dispatches its tasks.
        """
        raise NotImplementedError("a BrixelThreadsCluster has no control loop of its own: each of its parts "
                                  "dispatches its tasks")

    _start = _queue_init = _consumer = _check_max_workers = _refuse

    def _parts_info(self):
        """Returns one dict per part: its index, worker address, host, process id and worker share.

        The key 'lost' holds the cause of the part's loss, or None while it lives.
        """
        return [{"part": p.index, "address": p.address, "host": p.host, "pid": p.pid, "max_workers": p.share,
                 "lost": p.lost}
                for p in self._parts]


class _CtrlCHeld:
    """Holds a Ctrl-C for the time of a block on the main thread, and gives it to the handler of
    before once the block ends. `holding` is false elsewhere (handlers are the main thread's), and
    while Ctrl-C is ignored, as it then stays."""

    def __enter__(self):
        self.held = False
        self.previous = None
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.getsignal(signal.SIGINT)
        self.holding = self.previous not in (None, signal.SIG_IGN)
        if self.holding:
            try:
                signal.signal(signal.SIGINT, self.note)
            except ValueError:  # the main thread of another interpreter than the main one
                self.holding = False
        return self

    def note(self, signum, frame):
        self.held = True

    def __exit__(self, *exc):
        if self.holding:
            signal.signal(signal.SIGINT, self.previous)
            if self.held:
                signal.raise_signal(signal.SIGINT)
        return False


def _end_at_exit(ref):
    cluster = ref()
    if cluster is not None and not cluster._closing:
        cluster._shutdown()


def _close_embedded(cluster):
    """Closes an embedded cluster and ends the worker processes that outlive the close."""
    nannies = list(getattr(cluster, "workers", {}).values())
    # Taken before the close too: a nanny forgets its worker process once its close ends, also when
    # the close gave up on a worker that never stopped (a hung one, or one stopped by a signal).
    processes = _worker_processes(nannies)
    try:
        cluster.close(timeout=2)
    except Exception:
        pass
    _end_worker_processes(processes + _worker_processes(nannies))


def _worker_processes(nannies):
    """The worker processes (their handles) that an embedded cluster's nannies hold now."""
    processes = []
    for nanny in nannies:
        process = getattr(getattr(nanny, "process", None), "process", None)  # nanny -> worker -> process
        if process is not None:
            processes.append(process)
    return processes


def _end_worker_processes(processes, timeout=1.0):
    """Kills the worker processes that outlived their cluster's close, and waits for them.

    A close gives up on a worker that does not stop in time (a hung one, or one stopped by a signal,
    which a polite termination does not move), and a nanny that was starting a worker again (after
    its worker died) when the close came has its start cancelled halfway: either process would run
    on, nobody's, and keep the interpreter waiting at exit. The handles are the processes'
    own, so a process already ended and reaped (its number free for another) is never signalled."""
    left = []
    for process in {id(p): p for p in processes}.values():
        try:
            if process.is_alive():
                os.kill(process.pid, signal.SIGKILL)
                left.append(process)
        except (OSError, ValueError):
            pass  # ended meanwhile, or its handle closed
    deadline = time.monotonic() + timeout
    for process in left:
        try:
            while process.is_alive() and time.monotonic() < deadline:  # is_alive() reaps it once it ends
                time.sleep(0.01)
        except (OSError, ValueError):
            pass


def _generated_number(name):
    """n for a name of the form the counter generates ("Thread_" and n, a positive number without
    leading zeros, of a sensible length), else None."""
    if name.startswith("Thread_") and 7 < len(name) <= 25 and name[7] != "0":
        digits = name[7:]
        if digits.isascii() and digits.isdigit():
            return int(digits)
    return None


def _pack(items):
    """Tasks for a part as one pickle: Dask would otherwise serialize a list item by item."""
    try:
        return pickle.dumps(items, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        import cloudpickle

        return cloudpickle.dumps(items)


def _checked_pack(items, what):
    """_pack(items), or TypeError naming `what` when they cannot be pickled."""
    try:
        return _pack(items)
    except Exception as e:
        raise TypeError(f"{what} cannot be pickled to go to the worker processes: {describe(e)}") from e


def _bound(actor, client, future):
    """The actor handle, tied to our client and to the future that holds the actor: an actor looks
    for the default client, and ours is deliberately not made the default (the caller's own Dask work
    keeps its own). Through the future a call to an actor whose worker is gone fails at once, rather
    than after Dask's connection time-out."""
    if actor._client is None and actor._worker is None:
        actor._client = client
    if actor._future is None:
        actor._future = future
    return actor


def _request(element):
    """One element of a collection as the keywords of a _send, as one manager takes it: a dict as it
    is, anything else turned into one as dict() does (pairs, say), None refused as `**` refuses it."""
    if isinstance(element, dict):
        return element
    if element is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    return dict(element)


class NotAScheduler(Exception):
    """What answered at an address spoke, but not as a Dask server does."""


def _handshake(address, timeout):
    """Opens a connection to the Dask server at `address` and closes it once the server has answered
    the greeting; raises TimeoutError when that takes more than `timeout` seconds, OSError when no
    connection can be made, NotAScheduler when what answers speaks another protocol.

    A Client waits for ever for the greeting of a server that accepts the connection and then says
    nothing (another kind of server on that port, or one that hangs): this bounds it. It runs on a
    thread of its own, whose event loop cannot be the caller's (a notebook's, say)."""
    import asyncio

    from distributed.comm import connect

    async def greet():
        comm = await asyncio.wait_for(connect(address, timeout=timeout), timeout)
        await comm.close()

    outcome = []

    def run():
        try:
            asyncio.run(greet())
            outcome.append(None)
        except BaseException as e:
            outcome.append(e)

    thread = threading.Thread(target=run, name="brixel-cluster-handshake", daemon=True)
    thread.start()
    thread.join(timeout + 5)  # asyncio bounds it: this only guards against a loop that never ends
    if not outcome:
        raise TimeoutError(f"no answer within {timeout:g} s")
    if isinstance(outcome[0], asyncio.TimeoutError):
        raise TimeoutError(f"no answer within {timeout:g} s") from None
    error = outcome[0]
    if isinstance(error, Exception) and not isinstance(error, (OSError, TimeoutError, ValueError, TypeError)):
        # Another kind of server that speaks first (HTTP, SSH): Dask reads its bytes as a frame's
        # length and fails in its own way (a MemoryError, a struct.error).
        raise NotAScheduler(f"{type(error).__name__}: {error}") from error
    if error is not None:
        raise error


def _limit_count(limit):
    """How many tasks a worker limit taken as it is, and not an int, lets run at once on one manager,
    which starts a task while the limit is above the running count: 2.9 lets 3 run, True one, NaN
    none, infinity any number. What is no number lets none here (None or a str fails that
    comparison there, and runs nothing)."""
    if isinstance(limit, (str, bytes, bytearray)):
        return 0
    try:
        count = float(limit)
    except OverflowError:
        count = math.inf if limit > 0 else -math.inf
    except (TypeError, ValueError):
        return 0
    if math.isnan(count) or count <= 0:
        return 0
    return sys.maxsize if math.isinf(count) else math.ceil(count)


def _check_duration(duration):
    """Refuses a duration the parts would refuse, before any process starts: None or a number of
    seconds, 0 or more."""
    if duration is None:
        return
    try:
        total = 0.0 + duration
    except OverflowError:
        raise ValueError("duration is too large to be a number of seconds") from None
    except TypeError:
        total = None
    if total is None or isinstance(total, complex):  # (a complex number adds up, and is no time)
        raise TypeError(f"duration must be a number of seconds or None, not {type(duration).__name__}")
    seconds = float(total)
    if not seconds >= 0:
        raise ValueError(f"duration must be 0 or more seconds, not {duration!r}")


def _is_lost(error):
    """Whether a failed call means the part's process is gone (rather than that its manager, or
    loading the caller's data there, raised)."""
    if isinstance(error, LoadFailed):
        return False
    if isinstance(error, (OSError, TimeoutError, ConnectionError)):
        return True
    try:
        from distributed.comm.core import CommClosedError
    except ImportError:
        CommClosedError = ()
    if CommClosedError and isinstance(error, CommClosedError):
        return True
    text = str(error)
    return isinstance(error, RuntimeError) and ("Actor" in text or "lost" in text)


def _unwrapped(error):
    """The error a failed call to a part stands for: the one that loading the caller's data raised
    there, which travels in a LoadFailed."""
    return error.args[0] if type(error) is LoadFailed and error.args else error
