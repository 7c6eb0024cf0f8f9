"""Shared fixtures: a fast clock, a recording logger, managers that are always closed."""

import collections
import threading
import time as real_time

import pytest

import threads_main

# Sleeps requested by the module are scaled by this factor, so a one-second join poll takes 50 ms.
SCALE = 0.05


class FastTime:
    """Stands in for the module's `time`: sleeps are scaled down, everything else is the real clock."""

    def __init__(self, scale=SCALE):
        self.scale = scale
        self.sleeps = collections.deque(maxlen=1000)  # the latest requests, bounded for long runs

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        real_time.sleep(seconds * self.scale)

    def __getattr__(self, name):
        return getattr(real_time, name)


class RecordingLog:
    """Stands in for BrixelLog: keeps every call as (level, message), the message object as given."""

    instances = []

    def __init__(self, title, file=False, control=False):
        self.title, self.file, self.control = title, file, control
        self.lines = []
        self._lock = threading.Lock()
        RecordingLog.instances.append(self)

    def _add(self, level, message):
        with self._lock:
            self.lines.append((level, message))

    def info(self, message):
        self._add("info", message)

    def debug(self, message):
        self._add("debug", message)

    def warning(self, message):
        self._add("warning", message)

    def texts(self, level=None):
        return [m for lv, m in list(self.lines) if level is None or lv == level]


def wait_until(predicate, timeout=10.0, interval=0.002):
    """Polls `predicate` until it is true; fails the test after `timeout` seconds."""
    deadline = real_time.monotonic() + timeout
    while not predicate():
        if real_time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        real_time.sleep(interval)


def shut(manager):
    """Closes a manager (if still open) and waits for its control thread to end."""
    if not manager._is_close():
        try:
            manager._close()
        except NotImplementedError:
            manager._var.switch = False
    manager._var.thread_init.join(5)


@pytest.fixture
def fast_time(monkeypatch):
    clock = FastTime()
    monkeypatch.setattr(threads_main, "time", clock)
    return clock


@pytest.fixture
def recording_log(monkeypatch):
    monkeypatch.setattr(threads_main, "BrixelLog", RecordingLog)
    return RecordingLog


@pytest.fixture
def make_manager(fast_time, recording_log):
    """Builds managers with a fast clock and a recording logger; closes them all afterwards."""
    made = []

    def make(func=lambda **kw: kw, *args, **kwargs):
        manager = threads_main.BrixelThreadsMain(func, *args, **kwargs)
        made.append(manager)
        return manager

    yield make
    for manager in made:
        shut(manager)
