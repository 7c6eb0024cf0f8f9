"""Stress: many submitters, queries, stops and closes at once; every task accounted for, no hang."""

import random
import threading
import time

import pytest

import threads_main
from conftest import assert_records, shut, wait_until

def assert_accounted(m, submitted):
    """Every submitted name ended once in dones, stops or cancels, or still waits, its status saying so."""
    assert len(m._var.totals) == submitted and len(set(m._var.totals)) == submitted
    assert_records(m)


def assert_threads_end(threads):
    started = [t for t in threads if t.ident]  # cancelled tasks' threads are never started
    deadline = time.monotonic() + 10
    for t in started:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not [t for t in started if t.is_alive()]


def test_many_submitters_and_readers(make_manager, tracked_threads):
    m = make_manager(lambda n: n % 7 or 1 / 0, 30)
    barrier = threading.Barrier(23)  # 20 submitters, 3 readers
    stop_reading = threading.Event()
    errors = []

    def submit(k):
        barrier.wait()
        for i in range(1000):
            m._send(n=i + k)

    def read():
        queries = [m._get_all_status, m._get_run_status, m._get_failed, m._get_all_result, m._get_failed_result]
        barrier.wait()
        while not stop_reading.is_set():
            try:
                random.choice(queries)()
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)
            time.sleep(0.01)  # leave the submitters room: a walk over 20,000 tasks holds the GIL

    senders = [threading.Thread(target=submit, args=(k,)) for k in range(20)]
    readers = [threading.Thread(target=read) for _ in range(3)]
    for t in senders + readers:
        t.start()
    for t in senders:
        t.join(60)
    wait_until(lambda: len(m._var.dones) >= 200)
    stop_reading.set()
    for t in readers:
        t.join(10)
    assert not errors
    shut(m)
    assert_accounted(m, 20_000)
    assert_threads_end(tracked_threads)


@pytest.mark.parametrize("ending", ["_stop_all", "_close"])
def test_stop_or_close_while_dispatching_and_submitting(make_manager, tracked_threads, ending):
    m = make_manager(lambda: time.sleep(0.002), 8)
    sending = threading.Event()

    def submit():
        sending.set()
        try:
            for _ in range(2000):
                m._send()
        except threads_main.ManagerError:
            pass

    t = threading.Thread(target=submit)
    t.start()
    sending.wait(5)
    wait_until(lambda: len(m._var.runs) >= 20)
    getattr(m, ending)()
    t.join(30)
    if ending == "_stop_all":
        m._stop_all()
    shut(m)
    wait_until(lambda: all(n in m._var.dones or n in m._var.stops or n in m._var.cancels
                           for n in m._var.runs), timeout=10)
    assert_accounted(m, len(m._var.totals))
    assert_threads_end(tracked_threads)


def test_thirty_managers_closed_in_random_order(make_manager, tracked_threads):
    managers = [make_manager(lambda x: x, 4) for _ in range(30)]
    for i, m in enumerate(managers):
        for x in range(20):
            m._send(x=x + i)
    random.shuffle(managers)
    for m in managers:
        m._close()
        assert m._is_close()
    for m in managers:
        assert_accounted(m, 20)
    assert_threads_end(tracked_threads)


def test_duration_load_holds_the_queue_near_its_threshold(make_manager, tracked_threads, fast_time):
    # The module's clock runs in real time until the test moves it past the window; the sending
    # thread's readings of it are counted.
    fast_time.scale, offset, sender_readings = 1.0, [0.0], []

    def clock():
        if threading.current_thread().name.endswith("(_send_list_thread)"):
            sender_readings.append(None)
        return time.time() + offset[0]

    fast_time.time = clock
    m = make_manager(lambda: time.sleep(0.001), 4, duration=60.0)
    requests = [{} for _ in range(50)]
    m._send_list(requests)
    # Watched until the queue nears its threshold (within a second or so, longer on a slow build),
    # then half a second more: it stays there.
    peak, deadline, held = 0, time.monotonic() + 20, None
    while time.monotonic() < (held or deadline):
        peak = max(peak, m._get_qsize())
        if held is None and peak >= 900:
            held = time.monotonic() + 0.5
        time.sleep(0.005)
    assert 900 <= peak <= 1000 + len(requests)
    # Past the window for certain; once the sender has read the clock again, its last pass is over.
    offset[0] = 3600.0
    readings = len(sender_readings)
    wait_until(lambda: len(sender_readings) >= readings + 2)
    submitted = len(m._var.totals)
    assert submitted % len(requests) == 0  # whole passes only
    time.sleep(0.05)
    assert len(m._var.totals) == submitted  # nothing more is sent
    shut(m)
    assert_accounted(m, submitted)
    assert_threads_end(tracked_threads)
