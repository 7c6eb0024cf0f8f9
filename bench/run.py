"""Speed and memory of threads_main, each figure beside its limit measured in the same run.

Prints a table of ratios (ours / limit; medians of the repetitions, min-max shown). Standard
library only, but for the cluster figures, which need the cluster extra, and the HTTP figures, which
need nginx (and valgrind for their count of instructions; each skipped without it). `--json` prints
the figures as JSON as well; `--reps N` sets the repetitions (at least 5 for figures worth quoting);
`--only NAME` runs one figure.
"""

import argparse
import concurrent.futures
import gc
import itertools
import json
import logging
import multiprocessing
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
import types
import urllib.request

import threads_main

QUIET = logging.getLogger("bench.quiet")
QUIET.addHandler(logging.NullHandler())
QUIET.propagate = False


def trivial(**kwargs):
    return 1


def manager(**kwargs):
    return threads_main.BrixelThreadsMain(trivial, logger=QUIET, **kwargs)


def close(m):
    m._close()
    m._var.thread_init.join(5)


def settle():
    """Collects the garbage of earlier measurements, so that none of it is charged to the next one.

    A closed manager with waiting tasks leaves a reference cycle per task (store, entry, thread,
    worker, store): left alone, the next timed section would pay for collecting it."""
    gc.collect()


def wait_done(m, n):
    """Waits until the manager is done with its n tasks."""
    while not (m._done() and len(m._var.dones) == n):
        time.sleep(0.001)


class Skipped(Exception):
    """A figure that cannot be measured here; its message says why."""


def best_of(tries, ours_once, base_once):
    """Runs each side `tries` times, alternating, and keeps each side's best: what disturbs a run
    on a shared machine (other processes, a queue's feeder thread competing for the interpreter
    lock, page faults of fresh memory) only ever adds time."""
    ours = base = float("inf")
    for _ in range(tries):
        ours = min(ours, ours_once())
        base = min(base, base_once())
    return ours, base


# Each figure returns (ours, limit, unit); ratios are ours / limit unless stated.

def send_rate(m, n):
    """Tasks per second for n argument-less _send calls on m, waited for until all are done; closes m."""
    t0 = time.perf_counter()
    for _ in range(n):
        m._send()
    wait_done(m, n)
    rate = n / (time.perf_counter() - t0)
    close(m)
    return rate


def our_rate(n):
    """Tasks per second for n trivial tasks through one manager with 30 workers."""
    return send_rate(manager(max_workers=30), n)


def end_to_end(n=1000):
    ours = our_rate(n)
    t0 = time.perf_counter()
    for _ in range(n):
        time.sleep(0.01)
    bare = n / (time.perf_counter() - t0)
    # A rate: higher is better (target: at least 0.98 of the bare loop).
    return ours, bare, "tasks/s"


def peer_pool(n=1000):
    t0 = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(30) as pool:
        list(pool.map(lambda _: trivial(), range(n)))
    peer = n / (time.perf_counter() - t0)
    return our_rate(n), peer, "tasks/s"


def idle_cpu(seconds=2.0):
    def burnt():
        t0, c0 = time.perf_counter(), time.process_time()
        time.sleep(seconds)
        return (time.process_time() - c0) / (time.perf_counter() - t0) * 1000

    base = burnt()
    m = manager()
    time.sleep(0.1)
    ours = burnt() - base
    close(m)
    return ours, 1.0, "ms CPU/s"


def send_cost(n=10_000, tries=5):
    def ours_once():
        m = manager(max_workers=0, maximum=True)
        settle()
        t0 = time.perf_counter()
        for _ in range(n):
            m._send(x=1)
        spent = (time.perf_counter() - t0) / n * 1e6
        close(m)
        return spent

    def parts_once():
        q = multiprocessing.Queue()
        kept = []
        settle()
        t0 = time.perf_counter()
        for i in range(n):
            kept.append(threading.Thread(target=trivial))
            q.put(f"Thread_{i}")
        spent = (time.perf_counter() - t0) / n * 1e6
        while q.qsize():
            q.get()
        q.close()
        return spent

    return (*best_of(tries, ours_once, parts_once), "us/call")


def memory_per_task(n=10_000):
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    threads = [threading.Thread(target=trivial) for _ in range(n)]
    thread_cost = (tracemalloc.get_traced_memory()[0] - before) / n
    del threads
    gc.collect()
    m = manager(max_workers=0, maximum=True)
    time.sleep(0.05)
    before = tracemalloc.get_traced_memory()[0]
    for i in range(n):
        m._send(x=i)
    time.sleep(0.2)  # let the queue's feeder thread flush its buffer
    gc.collect()
    ours = (tracemalloc.get_traced_memory()[0] - before) / n
    tracemalloc.stop()
    close(m)
    return ours, thread_cost, "bytes/task"


def queries(n=100_000, tries=3):
    names = [f"Thread_{i}" for i in range(n)]

    def ours_once():
        m = manager(max_workers=0, maximum=True)
        threads = m._var.threads
        for i, name in enumerate(names):
            threads.set(name, value={"thread": None, "result": i, "status": "失败" if i % 10 == 0 else "完成"})
        m._var.totals.extend(names), m._var.runs.extend(names), m._var.dones.extend(names)
        settle()
        t0 = time.perf_counter()
        m._get_all_result(), m._get_all_status(), m._get_failed()
        spent = time.perf_counter() - t0
        close(m)
        return spent

    def plain_once():
        plain = {name: types.SimpleNamespace(result=i, status="完成") for i, name in enumerate(names)}
        settle()
        t0 = time.perf_counter()
        data = [{"task": k, "result": v.result, "status": v.status} for k, v in plain.items()]
        {"total": n, "run": n, "success": n, "failed": 0, "stop": 0, "cancel": 0, "data": data}
        {k: v.status for k, v in plain.items()}
        [k for k, v in plain.items() if v.status == "失败"]
        return time.perf_counter() - t0

    return (*best_of(tries, ours_once, plain_once), "s")


def close_cost(n=10_000, tries=5):
    def ours_once():
        m = manager(max_workers=0, maximum=True)
        for i in range(n):
            m._send(x=i)
        time.sleep(0.2)  # let the queue's feeder thread flush its buffer
        settle()
        t0 = time.perf_counter()
        m._close()
        spent = time.perf_counter() - t0
        m._var.thread_init.join(5)
        return spent

    def drain_once():
        q = multiprocessing.Queue()
        for i in range(n):
            q.put(f"Thread_{i}")
        time.sleep(0.2)
        settle()
        t0 = time.perf_counter()
        while not q.empty():
            q.get()
        spent = time.perf_counter() - t0
        q.close()
        return spent

    return (*best_of(tries, ours_once, drain_once), "s")


def record_cost(n=1_000_000, tries=3):
    """Nanoseconds to record one finished task's run time into a histogram and the timeline, as the
    worker does: record_runs over n (finished at, run time, failed) triples through the same
    recording code, divided by n. It also reads each triple from Python (a tuple, two floats and a
    truth test), so it is an upper bound of the recording itself. The limit is a fixed 50 ns."""
    runs = [(i * 1e-4, 0.001 + (i * 7919 % 100_000) * 2e-6, i % 50 == 0) for i in range(n)]
    best = float("inf")
    for _ in range(tries):
        settle()
        t0 = time.perf_counter()
        threads_main.record_runs(runs)
        best = min(best, time.perf_counter() - t0)
    return best / n * 1e9, 50.0, "ns/record"


# Eager dispatch, each figure beside its peer measured in the same repetition.

def eager_rate(n=100_000):
    """n trivial tasks through an eager manager with 30 workers (sent, then waited for), against a
    ThreadPoolExecutor(30) submitting the same and collecting every result."""
    settle()
    ours = send_rate(manager(max_workers=30, dispatch="eager"), n)
    settle()
    t0 = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(30) as pool:
        futures = [pool.submit(trivial) for _ in range(n)]
        for f in futures:
            f.result()
    peer = n / (time.perf_counter() - t0)
    return ours, peer, "tasks/s"


def eager_timed(seconds=2.0, n=200_000):
    """Trivial tasks in a timed run (a list of 20, sent again and again for `seconds`) through an eager
    manager with 4 workers, against the same manager running one batch of n of them."""
    settle()
    m = manager(max_workers=4, dispatch="eager", duration=seconds)
    began = time.perf_counter()
    m._send_list([{} for _ in range(20)])
    m._join_property("brixel_break", seconds)
    ours = m._get_run_status()["done"] / (time.perf_counter() - began)
    close(m)
    settle()
    m = manager(max_workers=4, dispatch="eager")
    began = time.perf_counter()
    m._send_list([{} for _ in range(n)])
    wait_done(m, n)
    batch = n / (time.perf_counter() - began)
    close(m)
    return ours, batch, "tasks/s"


def sleepy(**kwargs):
    time.sleep(0.01)


def eager_sleep_rates(n=3000):
    settle()
    ours = send_rate(threads_main.BrixelThreadsMain(sleepy, 30, logger=QUIET, dispatch="eager"), n)
    t0 = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(30) as pool:
        for f in [pool.submit(sleepy) for _ in range(n)]:
            f.result()
    return ours, n / (time.perf_counter() - t0)


def eager_sleep_vs_pool():
    ours, peer = eager_sleep_rates()
    return ours, peer, "tasks/s"


def eager_sleep_vs_ideal():
    ours, _ = eager_sleep_rates()
    return ours, 3000.0, "tasks/s"


def eager_memory(n=100_000):
    """Memory per waiting task (limit 0: nothing runs) against a pending future of a pool whose
    workers are all blocked."""
    gc.collect()
    tracemalloc.start()
    m = manager(max_workers=0, maximum=True, dispatch="eager")
    before = tracemalloc.get_traced_memory()[0]
    for i in range(n):
        m._send(x=i)
    gc.collect()
    ours = (tracemalloc.get_traced_memory()[0] - before) / n
    tracemalloc.stop()
    close(m)
    del m
    gc.collect()
    gate = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(30)
    for _ in range(30):
        pool.submit(gate.wait)
    time.sleep(0.05)
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    futures = [pool.submit(trivial, x=i) for i in range(n)]
    gc.collect()
    peer = (tracemalloc.get_traced_memory()[0] - before) / n
    tracemalloc.stop()
    for f in futures:
        f.cancel()
    gate.set()
    pool.shutdown()
    return ours, peer, "bytes/task"


def eager_idle_cpu(seconds=2.0):
    """CPU an idle eager manager burns above a bare idle interpreter (ms per second); the limit is
    0.05 ms/s, so the ratio is (ours - bare) / 0.05."""
    def burnt():
        t0, c0 = time.perf_counter(), time.process_time()
        time.sleep(seconds)
        return (time.process_time() - c0) / (time.perf_counter() - t0) * 1000

    bare = burnt()
    m = manager(dispatch="eager")
    m._send()
    time.sleep(1.0)  # the task thread ends after its idle while
    ours = burnt()
    close(m)
    return max(ours - bare, 0.0), 0.05, "ms CPU/s above bare"


def eager_batches(batches=10, size=100_000):
    """1,000,000 tasks through one eager manager in batches with _clear_record between: traced memory
    after the last batch against after the second."""
    m = manager(max_workers=30, dispatch="eager")

    def batch():
        for _ in range(size):
            m._send()
        wait_done(m, size)
        assert m._clear_record()

    gc.collect()
    tracemalloc.start()
    after = []
    for _ in range(batches):
        batch()
        gc.collect()
        after.append(tracemalloc.get_traced_memory()[0])
    tracemalloc.stop()
    close(m)
    return after[-1], after[1], "bytes traced"


def burn(loops):
    """About a millisecond of pure Python (see CPU_LOOPS): what a CPU-bound task looks like."""
    total = 0
    for i in range(loops):
        total += i * i % 7
    return total


def _calibrate(target=0.001):
    loops = 10_000
    began = time.perf_counter()
    burn(loops)
    return max(1, int(loops * target / (time.perf_counter() - began)))


CPU_LOOPS = None


def cluster_class():
    """BrixelThreadsCluster, or None when the cluster extra is not installed."""
    try:
        from brixel_cluster import BrixelThreadsCluster
        import distributed  # noqa: F401
    except ImportError:
        return None
    return BrixelThreadsCluster


def wait_cluster(m, n):
    while not m._done():
        time.sleep(0.001)
    assert m._get_run_status()["done"] == n


def cluster_cpu(n=3000):
    """CPU-bound tasks (about 1 ms of Python each): a cluster of 2 processes against one eager manager,
    tasks per second from the submission to the last task done (start-up excluded)."""
    global CPU_LOOPS
    CPU_LOOPS = CPU_LOOPS or _calibrate()
    work = [{"loops": CPU_LOOPS} for _ in range(n)]
    one = threads_main.BrixelThreadsMain(burn, 4, logger=QUIET, dispatch="eager")
    began = time.perf_counter()
    one._send_list(work)
    wait_done(one, n)
    base = n / (time.perf_counter() - began)
    close(one)
    with cluster_class()(burn, 4, logger=QUIET, dispatch="eager", processes=2) as m:
        began = time.perf_counter()
        m._send_list(work)
        wait_cluster(m, n)
        ours = n / (time.perf_counter() - began)
    return ours, base, "tasks/s"


def cluster_start():
    """Seconds from the constructor's call to its return: an embedded cluster of 2 processes, parts
    built; against the limit of 2 s."""
    began = time.perf_counter()
    m = cluster_class()(trivial, 4, logger=QUIET, dispatch="eager", processes=2)
    ours = time.perf_counter() - began
    m._close()
    return ours, 2.0, "s"


def _cpu_per_second(pids, seconds):
    """CPU milliseconds per second burnt over `seconds` by this process and the processes `pids`."""
    import psutil

    processes = [psutil.Process(pid) for pid in pids]
    before = time.process_time(), [sum(p.cpu_times()[:2]) for p in processes]
    time.sleep(seconds)
    spent = time.process_time() - before[0]
    spent += sum(sum(p.cpu_times()[:2]) - cpu for p, cpu in zip(processes, before[1]))
    return spent / seconds * 1000


def cluster_idle(seconds=3.0):
    """CPU burnt by an idle embedded cluster of 2 processes, parts built and a first batch run (the
    coordinating process and the worker processes), against a Dask LocalCluster of 2 processes with
    Dask's settings and a client connected, as a user would start one."""
    import distributed

    with cluster_class()(trivial, 4, logger=QUIET, dispatch="eager", processes=2) as m:
        m._send_list([{} for _ in range(100)])
        wait_cluster(m, 100)
        time.sleep(0.5)
        ours = _cpu_per_second([p["pid"] for p in m._parts_info()], seconds)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=":0", silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster, set_as_default=False) as client:
            time.sleep(0.5)
            base = _cpu_per_second(client.run(os.getpid).values(), seconds)
    return ours, base, "ms CPU/s"


def cluster_overhead(n=20_000):
    """CPU of the coordinating process per trivial task (every thread of it: submission, pulls, Dask's
    client), against the CPU per task of one eager manager running them all in its own process."""
    one = threads_main.BrixelThreadsMain(trivial, 4, logger=QUIET, dispatch="eager")
    cpu = time.process_time()
    one._send_list([{} for _ in range(n)])
    wait_done(one, n)
    base = (time.process_time() - cpu) / n * 1e6
    close(one)
    with cluster_class()(trivial, 4, logger=QUIET, dispatch="eager", processes=2) as m:
        cpu = time.process_time()
        m._send_list([{} for _ in range(n)])
        wait_cluster(m, n)
        ours = (time.process_time() - cpu) / n * 1e6
    return ours, base, "us CPU/task"


# Real HTTP load: requests against nginx on loopback, in a process of its own.

NGINX_CONF = """daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log stderr error;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
{listen}
        location / {{ return 200 "ok\\n"; }}
    }}
}}
"""


def nginx_path():
    """The nginx executable: on the PATH, else where distributions install it (sbin directories are
    often not on a user's PATH); None when there is none."""
    return shutil.which("nginx") or shutil.which("nginx", path="/usr/sbin:/usr/local/sbin:/sbin")


class Nginx:
    """nginx serving a tiny static answer on free loopback ports, with a configuration of its own in a
    temporary directory; keep-alive is off, so every request opens a new connection, as a load test's
    urllib does. One process (no master): its CPU is not the bench's.

    It listens on one port per worker, and each worker sends to its own: every connection leaves a
    TIME_WAIT entry behind for a minute, and thousands of connections a second to a single port soon
    reuse the client ports of those entries, which costs the kernel extra work that grows as a run
    goes on."""

    def __init__(self, ports=20):
        self.ports = ports
        self.process = None
        self.dir = None
        self.urls = []

    def start(self):
        exe = nginx_path()
        if exe is None:
            raise Skipped("nginx not found (install it from the distribution's packages, e.g. nginx-light)")
        self.dir = tempfile.mkdtemp(prefix="bench-nginx-")
        conf = os.path.join(self.dir, "nginx.conf")
        for _ in range(5):  # a free port may be taken before nginx binds it: other ones then
            sockets = [socket.socket() for _ in range(self.ports)]
            for s in sockets:
                s.bind(("127.0.0.1", 0))
            ports = [s.getsockname()[1] for s in sockets]
            for s in sockets:
                s.close()
            listen = "\n".join(f"        listen 127.0.0.1:{port} backlog=1024;" for port in ports)
            with open(conf, "w") as f:
                f.write(NGINX_CONF.format(dir=self.dir, listen=listen))
            # Its messages go to a file: a pipe nobody reads could fill up and block it.
            with open(os.path.join(self.dir, "stderr.log"), "w") as log:
                self.process = subprocess.Popen([exe, "-p", self.dir, "-c", conf, "-e", "stderr"],
                                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
            self.urls = [f"http://127.0.0.1:{port}/" for port in ports]
            deadline = time.monotonic() + 5
            while self.process.poll() is None and time.monotonic() < deadline:
                try:
                    fetch(self.urls[-1])
                    return
                except OSError:
                    time.sleep(0.01)
            error = self.end()
        self.stop()
        raise Skipped(f"nginx did not start: {error.strip()}")

    def end(self):
        """Ends the process; returns what it wrote to stderr."""
        process, self.process = self.process, None
        if process is None:
            return ""
        if process.poll() is None:
            process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        with open(os.path.join(self.dir, "stderr.log"), errors="replace") as log:
            return log.read()

    def stop(self):
        self.end()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None


NGINX = Nginx(ports=20)  # the figure's 20 workers
# No proxy from the environment: the requests go to the local server.
OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def fetch(url):
    """The task: one GET on a new connection, body read; returns the status."""
    with OPENER.open(url, timeout=5) as response:
        response.read()
        return response.status


def settle_threads(count, timeout=5.0):
    """Waits until only `count` threads are alive (a closed manager's task threads end once their
    request returns), so that none of them runs into the next measurement."""
    deadline = time.monotonic() + timeout
    while threading.active_count() > count and time.monotonic() < deadline:
        time.sleep(0.01)


def http_ours(urls, seconds):
    """An eager manager as a load test uses it: a timed run of the request list (one request per
    worker), waited for with _join_property. Requests completed, and the seconds and CPU seconds they
    took."""
    threads = threading.active_count()
    settle()
    m = threads_main.BrixelThreadsMain(fetch, len(urls), logger=QUIET, duration=seconds, dispatch="eager")
    cpu, began = time.process_time(), time.perf_counter()
    m._send_list([{"url": url} for url in urls])
    m._join_property(500, seconds)
    elapsed, cpu = time.perf_counter() - began, time.process_time() - cpu
    done = m._get_run_status()["done"]
    close(m)
    settle_threads(threads)
    return done, elapsed, cpu


class Record:
    """What a hand-written loop that keeps its outcomes stores per request."""

    __slots__ = ("status", "result", "kwargs", "ended")


def http_peer(urls, seconds, keep=False):
    """ThreadPoolExecutor(len(urls)) whose workers each loop over the same task (on a URL each) for
    the same time. With `keep`, each loop also keeps one record per request, as a script that wants
    its outcomes afterwards would: status, result, arguments and end time under a name of its own."""
    settle()
    records, counter = {}, itertools.count()
    cpu, began = time.process_time(), time.perf_counter()
    end = began + seconds

    def loop(url):
        n = 0
        while time.perf_counter() < end:
            status = fetch(url)
            if keep:
                record = Record()
                record.status, record.result, record.kwargs, record.ended = "done", status, {"url": url}, time.time()
                records[f"Thread_{next(counter)}"] = record
            n += 1
        return n

    with concurrent.futures.ThreadPoolExecutor(len(urls)) as pool:
        done = sum(f.result() for f in [pool.submit(loop, url) for url in urls])
    elapsed, cpu = time.perf_counter() - began, time.process_time() - cpu
    return done, elapsed, cpu


HTTP_SIDES = {
    "ours": http_ours,
    "peer": http_peer,
    "keep": lambda urls, seconds: http_peer(urls, seconds, keep=True),
}


def http_measure(side, seconds):
    """Requests/s and CPU microseconds per completed request of one side's run."""
    done, elapsed, cpu = HTTP_SIDES[side](NGINX.urls, seconds)
    return done / elapsed, cpu / done * 1e6


HTTP_RUNS = []


def http_run(index, seconds=3.0, tries=3):
    """The index-th repetition of the HTTP measurement, shared by its figures: the manager, the pool
    and the pool that keeps records run `tries` times, in turn, and each keeps its best rate and its
    best CPU per request (what disturbs a run only ever lowers the one and raises the other). The
    order turns round from one try to the next, so that none of them always runs first, or always
    right after the same one: this machine's speed drifts over seconds, and a fixed order lets the
    drift favour one side."""
    while len(HTTP_RUNS) <= index:
        if NGINX.process is None:
            NGINX.start()
        ours, peer, keeping = [], [], []
        sides = [(ours, "ours"), (peer, "peer"), (keeping, "keep")]
        for attempt in range(tries):
            turn = attempt % len(sides)
            for runs, side in sides[turn:] + sides[:turn]:
                runs.append(http_measure(side, seconds))
        HTTP_RUNS.append({
            "rate": (max(r for r, _ in ours), max(r for r, _ in peer)),
            "cpu": (min(c for _, c in ours), min(c for _, c in peer)),
            "keep_rate": (max(r for r, _ in ours), max(r for r, _ in keeping)),
        })
    return HTTP_RUNS[index]


def callgrind_run(valgrind, folder, side, seconds):
    """Runs one side for `seconds` in a child process under callgrind; returns the instructions the
    whole process executed and the requests it completed."""
    command = [valgrind, "--tool=callgrind", f"--callgrind-out-file={os.path.join(folder, 'callgrind.%p')}",
               sys.executable, os.path.abspath(__file__), "--http-child", side, str(seconds), ",".join(NGINX.urls)]
    try:
        child = subprocess.run(command, capture_output=True, text=True, timeout=3 * seconds + 120)
    except subprocess.TimeoutExpired:
        raise Skipped(f"the {side} side did not end under callgrind within {3 * seconds + 120:.0f} s") from None
    counted = [line for line in child.stderr.splitlines() if "I   refs:" in line]
    printed = child.stdout.split()
    if child.returncode != 0 or not counted or not printed or not printed[-1].isdigit():
        raise Skipped(f"callgrind did not count the {side} side: {child.stderr.strip()[-300:]}")
    return int(counted[-1].split(":")[-1].replace(",", "")), int(printed[-1])


def http_instructions(short=3.0, long=9.0):
    """Instructions per completed request of the manager and of the pool, counted by callgrind: each
    side runs in a child process under valgrind for `short` seconds and for `long`, and the difference
    of the two counts over the difference of their requests leaves out what starting a process costs.

    A count does not move with what else the machine is doing, as the rate and the CPU time do by
    several percent from one run to the next here: it shows what the manager adds to a request's
    own work at a precision the timed figures cannot reach. Under valgrind the threads run one at a
    time and many times slower, so only the count per request means anything."""
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        raise Skipped("valgrind not found (install it from the distribution's packages)")
    if NGINX.process is None:
        NGINX.start()
    per_request = {}
    with tempfile.TemporaryDirectory(prefix="bench-callgrind-") as folder:
        for side in ("ours", "peer"):
            (few, fewer_done), (many, more_done) = (callgrind_run(valgrind, folder, side, s) for s in (short, long))
            if more_done <= fewer_done:
                raise Skipped(f"the {side} side completed no more requests in {long} s than in {short} s")
            per_request[side] = (many - few) / (more_done - fewer_done)
    return per_request["ours"], per_request["peer"], "instructions/request"


def http_child(side, seconds, urls):
    """The child of callgrind_run: one side's run; prints the requests completed."""
    done, _, _ = HTTP_SIDES[side](urls.split(","), float(seconds))
    print(done, flush=True)


def http_figure(metric, unit):
    calls = 0

    def figure():
        nonlocal calls
        ours, peer = http_run(calls)[metric]
        calls += 1
        return ours, peer, unit

    return figure


# key: (title, function, target ratio ours/baseline, higher is better)
FIGURES = {
    "end_to_end": ("end to end, 1,000 trivial tasks, 30 workers; baseline: bare 10 ms sleep loop", end_to_end, 0.98, True),
    "idle_cpu": ("CPU burnt by one idle manager; baseline: 1 ms/s", idle_cpu, 1.5, False),
    "send": ("_send x 10,000; baseline: Thread() + Queue.put", send_cost, 1.5, False),
    "memory": ("memory per waiting task; baseline: an unstarted Thread", memory_per_task, 1.15, False),
    "queries": ("3 queries over 100,000 finished tasks; baseline: plain dicts", queries, 2.0, False),
    "close": ("_close with 10,000 waiting; baseline: draining a Queue", close_cost, 1.1, False),
    "record": ("recording a run time (histogram + timeline); limit: 50 ns", record_cost, 1.0, False),
    "peer": ("ThreadPoolExecutor(30) on the same 1,000 tasks (rate, for the record)", peer_pool, None, True),
    "eager_rate": ("eager: 100,000 trivial tasks, 30 workers; peer: ThreadPoolExecutor(30)", eager_rate, 2.0, True),
    "eager_sleep_pool": ("eager: 3,000 tasks sleeping 10 ms, 30 workers; peer: ThreadPoolExecutor(30)",
                         eager_sleep_vs_pool, 1.0, True),
    "eager_sleep_ideal": ("eager: 3,000 tasks sleeping 10 ms, 30 workers; limit: 3,000 tasks/s",
                          eager_sleep_vs_ideal, 0.95, True),
    "eager_timed": ("eager: trivial tasks in a timed run of 2 s, 4 workers; peer: one batch of 200,000 (for the "
                    "record)", eager_timed, None, True),
    "eager_memory": ("eager: memory per waiting task (100,000); peer: a pending future", eager_memory, 1 / 3, False),
    "eager_idle": ("eager: idle manager CPU above a bare interpreter; limit 0.05 ms/s", eager_idle_cpu, 1.0, False),
    "eager_batches": ("eager: 1,000,000 tasks in batches with _clear_record; after the last vs after the second",
                      eager_batches, 1.01, False),
    "eager_http_cpu": ("eager: CPU per request, 20 workers looping on HTTP GETs to a local nginx for 3 s; peer: "
                       "ThreadPoolExecutor(20) looping over the same function", http_figure("cpu", "us CPU/request"),
                       1.05, False),
    "eager_http_rate": ("eager: requests/s of the same runs; peer: the same ThreadPoolExecutor(20)",
                        http_figure("rate", "requests/s"), 0.98, True),
    "eager_http_keep_rate": ("eager: requests/s of the same runs; peer: the same pool keeping one record per "
                             "request in its loop (for the record)", http_figure("keep_rate", "requests/s"), None,
                             True),
    "eager_http_instructions": ("eager: instructions per request under callgrind, the same task (9 s less 3 s); "
                                "peer: the same ThreadPoolExecutor(20) loop (for the record)", http_instructions,
                                None, False),
    "cluster_cpu": ("cluster of 2 processes: 3,000 CPU-bound tasks (1 ms of Python each), 4 workers; peer: one "
                    "eager manager", cluster_cpu, 1.7, True),
    "cluster_start": ("cluster: start-up of an embedded cluster of 2 processes; limit: 2 s", cluster_start, 1.0, False),
    "cluster_overhead": ("cluster: coordinator CPU per trivial task (20,000, 2 processes); peer: one eager manager's "
                         "CPU per task (for the record)", cluster_overhead, None, False),
    "cluster_idle": ("cluster: CPU of an idle embedded cluster of 2 processes, all its processes; peer: a Dask "
                     "LocalCluster of 2 processes with Dask's settings (for the record)", cluster_idle, None, False),
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--only", choices=sorted(FIGURES), action="append")
    parser.add_argument("--http-child", nargs=3, help=argparse.SUPPRESS)  # SIDE SECONDS URLS: one HTTP run
    args = parser.parse_args(argv)
    if args.http_child:
        http_child(*args.http_child)
        return 0
    results = {}
    try:
        run_figures(args, results)
    finally:
        NGINX.stop()
    if args.json:
        print(json.dumps(results, indent=2))
    return 0


def run_figures(args, results):
    for key, (title, fn, target, higher) in FIGURES.items():
        if args.only and key not in args.only:
            continue
        if key.startswith("cluster") and cluster_class() is None:
            print(f"{title}\n    skipped: the cluster extra is not installed (pip install \"threads_main[cluster]\")",
                  flush=True)
            continue
        try:
            runs = [fn() for _ in range(args.reps)]
        except Skipped as skipped:
            print(f"{title}\n    skipped: {skipped}", flush=True)
            continue
        ratios = sorted(ours / base for ours, base, _ in runs)
        r = results[key] = {
            "title": title, "unit": runs[0][2], "target": target, "higher_is_better": higher,
            "ours": statistics.median(x[0] for x in runs), "baseline": statistics.median(x[1] for x in runs),
            "ratio": statistics.median(ratios), "min": ratios[0], "max": ratios[-1],
        }
        if target is None:
            verdict = "for the record"
        else:
            met = r["ratio"] >= target if higher else r["ratio"] <= target
            verdict = f"target {'>=' if higher else '<='} {target}: {'met' if met else 'MISSED'}"
        print(f"{title}\n    ours {r['ours']:.4g} {r['unit']}, baseline {r['baseline']:.4g} {r['unit']}: "
              f"ratio {r['ratio']:.3f} (min {r['min']:.3f}, max {r['max']:.3f}); {verdict}", flush=True)


if __name__ == "__main__":  # the cluster's worker processes import this file too
    sys.exit(main())
