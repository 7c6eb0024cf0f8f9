"""Tests of the outside packages: the state store brixel_var and the logger brixel_log."""

import gc
import logging
import os
import subprocess
import sys
import threading
import time
import uuid
import weakref

import pytest

from brixel_log import BrixelLog
from brixel_var import BrixelVar

TASK = {"thread": None, "result": None, "status": "待运行"}


class Obj:
    """Weak-referenceable stand-in for a task's thread or result."""


def test_fields_behave_as_attributes_with_none_default():
    runs: list = []
    var = BrixelVar(func=len, runs=runs, duration=None)
    assert (var.func, var.duration) == (len, None)
    var.runs.append("Thread_1")
    assert var.runs is runs and runs == ["Thread_1"]
    assert var.add(max_workers=4, switch=True) is None
    var.add(max_workers=8)
    assert var.set_kwargs(switch=False) is None
    assert (var.max_workers, var.switch) == (8, False)
    assert var.break_result is None and var._private is None
    var.break_result = 503
    assert var.break_result == 503
    del var.break_result
    assert var.break_result is None
    var.stop_switch = True
    del var.stop_switch
    assert var.stop_switch is None
    assert vars(var) == {"func": len, "runs": runs, "duration": None, "max_workers": 8, "switch": False}
    # Dunder lookups keep their AttributeError so protocols are not misled, and an empty store stays true.
    assert not hasattr(var, "__len__") and not hasattr(var, "__getstate_x__")
    assert bool(BrixelVar())
    with pytest.raises(TypeError):
        BrixelVar(1)
    with pytest.raises(TypeError):
        var.add(1)


def _rewrite_through_dict(var, value):
    var.__dict__["max_workers"] = value


def _rewrite_under_built_name(var, value):
    var.__dict__["".join(["max_", "workers"])] = value


def _replace_dict(var, value):
    var.__dict__ = {"max_workers": value}


def _replace_dict_with_another_stores(var, value):
    var.__dict__ = BrixelVar(max_workers=value).__dict__


def _clear_then_update(var, value):
    var.__dict__.clear()
    var.__dict__.update(max_workers=value)


def _update_with_dict_operator(var, value):
    fields = vars(var)
    fields |= {"max_workers": value}


def _pop_then_setdefault(var, value):
    var.__dict__.pop("max_workers")
    var.__dict__.setdefault("max_workers", value)


def _delete_then_add(var, value):
    del var.max_workers
    assert var.max_workers is None
    var.add(max_workers=value)


@pytest.mark.parametrize("rewrite", [
    lambda var, value: setattr(var, "max_workers", value),
    lambda var, value: object.__setattr__(var, "max_workers", value),
    lambda var, value: var.set_kwargs(max_workers=value),
    lambda var, value: var.__init__(max_workers=value),
    _rewrite_through_dict, _rewrite_under_built_name, _replace_dict, _replace_dict_with_another_stores,
    _clear_then_update, _update_with_dict_operator, _pop_then_setdefault, _delete_then_add,
])
def test_a_field_reads_what_was_last_stored_however_it_was_stored(rewrite):
    # Reads are answered from what the store read before; every way of changing a field is seen.
    var = BrixelVar(max_workers=1, switch=True)
    for value in (2, 3):
        assert var.max_workers == value - 1 and var.switch in (True, None)
        rewrite(var, value)
        assert var.max_workers == value and getattr(var, "max_workers") == value


def test_a_finalizer_run_by_a_field_write_reads_the_new_value():
    var = BrixelVar()
    seen = []

    class Old:
        def __del__(self):
            seen.append(var.value)

    var.value = Old()
    assert isinstance(var.value, Old)
    var.value = "new"
    assert seen == ["new"] and var.value == "new"
    var.value = Old()
    assert isinstance(var.value, Old)
    del var.value
    assert seen == ["new", None]


def test_stores_sharing_one_dict_see_each_others_writes():
    first = BrixelVar(x=1)
    second = BrixelVar()
    second.__dict__ = first.__dict__
    assert (first.x, second.x) == (1, 1)
    second.x = 2
    assert (first.x, second.x) == (2, 2)
    first.x = 3
    assert (first.x, second.x) == (3, 3)


def test_entries_are_shared_objects_in_their_own_namespace():
    var = BrixelVar()
    var.add(x=1)
    assert var.get("x") is None and len(var.keys()) == 0
    var.set("x", value=dict(TASK))
    assert var.x == 1
    entry = var.get("x")
    assert entry is var.get("x") and entry == var.get("x")
    entry.status = "运行中"
    assert var.get("x").status == "运行中" and var.get("x").missing is None
    assert "运行中" in repr(entry)
    var.set("x", value={"status": "完成", "extra": [1]})
    assert var.get("x") is not entry and var.get("x").status == "完成" and var.get("x").extra == [1]
    assert var.get("x").thread is None and var.get("nope") is None
    with pytest.raises(TypeError):
        var.set("y", dict(TASK))
    with pytest.raises(TypeError):
        var.set("y", value=[1, 2])
    with pytest.raises(TypeError):
        var.set("y", value={1: "not a name"})
    assert "y" not in var.keys()


def test_keys_items_and_clear_follow_insertion_order():
    var = BrixelVar()
    view = var.keys()
    assert "a" not in view and list(view) == [] and var.items() == []
    for name in ("b", "a", "c"):
        var.set(name, value=dict(TASK))
    assert "a" in view and len(view) == 3 and list(view) == ["b", "a", "c"]
    assert [(k, e) for k, e in var.items()] == [(k, var.get(k)) for k in ("b", "a", "c")]
    var.clear()
    assert len(view) == 0 and var.items() == [] and var.get("a") is None


def test_keys_iteration_survives_entries_added_by_other_threads():
    var = BrixelVar()
    for i in range(100):
        var.set(f"seed_{i}", value=dict(TASK))
    writers, per_writer = 4, 3000
    barrier = threading.Barrier(writers + 1)
    errors: list = []

    def write(w: int) -> None:
        barrier.wait(timeout=10)
        for i in range(per_writer):
            var.set(f"w{w}_{i}", value=dict(TASK))
            if i % 50 == 0:
                time.sleep(0)  # hand the interpreter lock over mid-iteration of the reader

    def read() -> None:
        barrier.wait(timeout=10)
        try:
            while any(t.is_alive() for t in threads):
                for key in var.keys():
                    assert key in var.keys()
        except Exception as exc:  # noqa: BLE001 - any failure of iteration is the finding
            errors.append(exc)

    threads = [threading.Thread(target=write, args=(w,)) for w in range(writers)]
    reader = threading.Thread(target=read)
    for t in [*threads, reader]:
        t.start()
    for t in [*threads, reader]:
        t.join(timeout=60)
    assert errors == [] and len(var.keys()) == 100 + writers * per_writer


def test_subclass_keeps_its_own_methods_and_attributes():
    class Store(BrixelVar):
        limit = 10

        def __init__(self, name, **fields):
            super().__init__(**fields)
            self.name = name

        def room(self):
            return self.limit - len(self.keys())

    store = Store("main", runs=[])
    store.set("t", value=dict(TASK))
    assert (store.name, store.runs, store.room(), store.unknown) == ("main", [], 9, None)
    assert isinstance(store, BrixelVar)


def test_garbage_collection_of_cycles_and_cleared_entries():
    store = BrixelVar()
    store.add(me=store)
    store.set("self", value={"result": store})
    ref = weakref.ref(store)
    del store
    gc.collect()
    assert ref() is None

    store = BrixelVar()
    result = Obj()
    store.set("t", value={"result": result, "thread": None, "status": "完成"})
    ref = weakref.ref(result)
    del result
    assert ref() is not None
    store.clear()
    assert ref() is None


def _close_cycle_through_store(store, name, how):
    """Stores in entry `name` an object that holds the store, in the way `how`; returns a weak
    reference to that object."""
    held = Obj()
    held.store = store  # type: ignore[attr-defined]
    if how in ("set", "tuple"):
        result = [held] if how == "set" else (held,)
        store.set(name, value={"result": result, "thread": None, "status": "完成"})
    elif how == "attribute":
        store.get(name).result = held
    elif how == "object-setattr":
        object.__setattr__(store.get(name), "result", held)
    elif how == "descriptor":
        type(store.get(name)).status.__set__(store.get(name), held)
    else:
        vars(store.get(name))["extra"] = held
    return weakref.ref(held)


@pytest.mark.parametrize("how", ["set", "attribute", "object-setattr", "descriptor", "tuple", "dict"])
def test_an_entry_is_collected_with_any_cycle_it_closes(how):
    # A finished task's entry holds no container and stays out of the collector's walks; whatever
    # container reaches it later makes it part of the walk again.
    store = BrixelVar()
    store.set("t", value={"thread": None, "result": 200, "status": "完成"})
    assert not gc.is_tracked(store.get("t"))
    ref = _close_cycle_through_store(store, "t", how)
    assert gc.is_tracked(store.get("t"))
    del store
    gc.collect()
    assert ref() is None


def test_a_deep_chain_of_entries_is_freed_without_recursing_per_link():
    # Each entry's result is the one before: dropping the last frees them all, as a chain of lists
    # would be, without a C stack frame per link (in a child: a crash would take the run with it).
    code = """if True:
        from brixel_var import BrixelVar
        store, last = BrixelVar(), None
        for i in range(1_000_000):
            store.set(i, value={"result": last})
            last = store.get(i)
        store.clear()
        del last
        print("freed")
    """
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                           env={**os.environ, "PYTHONFAULTHANDLER": "1"})
    assert (child.returncode, child.stdout) == (0, "freed\n"), child.stderr[-2000:]


def test_a_mappings_own_attribute_error_is_not_taken_for_no_mapping():
    class Config:
        def items(self):
            return self.missing

    with pytest.raises(AttributeError, match="missing"):
        BrixelVar().set("t", value=Config())


def _collect(logger: logging.Logger) -> list:
    records: list = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = records.append  # type: ignore[method-assign]
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    return records


def test_control_logger_receives_each_level_and_mapping_verbatim():
    control = logging.getLogger(f"control-{uuid.uuid4()}")
    records = _collect(control)
    log = BrixelLog(title="BrixelThreads", file=False, control=control)
    assert log.logger is control
    assert log.info("100% done %s") is None
    log.debug("debug line")
    log.warning("careful")
    log.info({"运行中": 1, "完成": 2})
    assert [(r.levelno, r.getMessage()) for r in records] == [
        (logging.INFO, "100% done %s"),
        (logging.DEBUG, "debug line"),
        (logging.WARNING, "careful"),
        (logging.INFO, "{'运行中': 1, '完成': 2}"),
    ]
    with pytest.raises(TypeError):
        BrixelLog("x", control=object())

    class Lines(list):
        """A sink that is false while it holds no line."""

        def info(self, message):
            self.append(message)

        debug = warning = info

    lines = Lines()
    BrixelLog("x", control=lines).info("taken")
    assert lines == ["taken"]


def test_a_file_leaves_the_callers_logger_as_it_was(tmp_path):
    control = logging.getLogger(f"caller-{uuid.uuid4()}")
    log = BrixelLog("BrixelThreads", file=tmp_path / "run.log", control=control)
    log.info("kept")
    log.debug("below the file's level")
    assert control.level == logging.NOTSET
    lines = (tmp_path / "run.log").read_text(encoding="utf-8").splitlines()
    assert [line.split(f"{control.name} ", 1)[1] for line in lines] == ["INFO kept"]


def _open_count(path) -> int:
    fds = "/proc/self/fd"
    return sum(os.path.realpath(os.path.join(fds, fd)) == str(path) for fd in os.listdir(fds))


def test_a_file_holds_the_lines_of_its_own_log_alone(tmp_path):
    # Managers share their logger's title: the file one of them asked for must not take the lines
    # of the others, those made after it was gone included, nor stay open once it is gone.
    title = f"file-{uuid.uuid4()}"
    first = BrixelLog(title, file=tmp_path / "first.log")
    second = BrixelLog(title, file=str(tmp_path / "first.log"))
    other = BrixelLog(title, file=tmp_path / "other.log")
    plain = BrixelLog(title)
    first.info("任务 运行中")
    second.info("second")
    other.warning("other")
    other.debug("hidden at the default level")
    plain.info("console only")
    del other
    gc.collect()
    first.info("later")
    lines = {name: (tmp_path / name).read_text(encoding="utf-8").splitlines() for name in ("first.log", "other.log")}
    assert [line.split(f"{title} ", 1)[1] for line in lines["first.log"]] == [
        "INFO 任务 运行中", "INFO second", "INFO later"]
    assert [line.split(f"{title} ", 1)[1] for line in lines["other.log"]] == ["WARNING other"]
    if os.path.isdir("/proc/self/fd"):
        assert _open_count(tmp_path / "other.log") == 0 and _open_count(tmp_path / "first.log") == 2


def bare_root(monkeypatch):
    """The root logger of a script that configured no logging, for the rest of the test (pytest
    puts handlers of its own there while a test runs)."""
    root = logging.getLogger()
    monkeypatch.setattr(root, "handlers", [])
    return root


def test_the_applications_logging_set_up_takes_the_lines(capsys, monkeypatch):
    root = bare_root(monkeypatch)
    title = f"routed-{uuid.uuid4()}"
    logging.getLogger(title).setLevel(logging.DEBUG)  # the application asks for the debug lines
    log = BrixelLog(title)
    log.debug("before")  # nothing configured yet: printed to stderr
    records: list = []
    handler = logging.Handler()
    handler.emit = records.append  # type: ignore[method-assign]
    root.addHandler(handler)  # as logging.basicConfig does, after the manager was built
    log.debug("after")
    assert [r.getMessage() for r in records] == ["after"] and log.logger.level == logging.DEBUG
    err = capsys.readouterr().err
    assert "before" in err and "after" not in err


def test_handlers_put_on_the_logger_before_it_is_used_take_the_info_lines(capsys, monkeypatch):
    bare_root(monkeypatch)
    records: list = []
    handler = logging.Handler()
    handler.emit = records.append  # type: ignore[method-assign]
    logger = logging.getLogger(f"own-handler-{uuid.uuid4()}")
    logger.addHandler(handler)  # no level set: INFO, as without the handler
    log = BrixelLog(logger.name)
    log.info("kept")
    log.debug("below INFO")
    assert [r.getMessage() for r in records] == ["kept"] and capsys.readouterr().err == ""


def test_same_title_shares_one_stderr_handler(capsys, monkeypatch):
    bare_root(monkeypatch)
    title = f"shared-{uuid.uuid4()}"
    logs = [BrixelLog(title) for _ in range(3)]
    assert len(logs[0].logger.handlers) == 1 and logs[2].logger is logs[0].logger
    logs[1].info("once")
    logs[1].debug("hidden at the default level")
    assert capsys.readouterr().err.count("once") == 1


def test_many_threads_log_at_once():
    control = logging.getLogger(f"threads-{uuid.uuid4()}")
    records = _collect(control)
    log = BrixelLog("BrixelThreads", control=control)
    barrier = threading.Barrier(8)

    def run(n: int) -> None:
        barrier.wait(timeout=10)
        for i in range(200):
            log.info(f"{n}:{i}")

    threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert sorted(r.getMessage() for r in records) == sorted(f"{n}:{i}" for n in range(8) for i in range(200))
