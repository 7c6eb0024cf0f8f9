"""Every public name has a docstring with a summary line, and a signature that inspect reads and
that the callable honours."""

import inspect

import pytest

import brixel_cluster
import brixel_log
import brixel_report
import brixel_var
import threads_main
from brixel_cluster import cluster, merge, part
from conftest import RecordingLog, shut

MANAGER = threads_main.BrixelThreadsMain
BOGUS = "no_such_parameter"


def surface(cls):
    """The names a class offers: for a manager (or a subclass) every method of the manager's class
    dict (the ones with a leading underscore are its surface) and the subclass's own `_parts_info`;
    for any other class, its own methods without a leading underscore."""
    if issubclass(cls, MANAGER):
        names = [n for n, v in vars(MANAGER).items() if callable(getattr(MANAGER, n)) and
                 (not n.startswith("__") or n in ("__enter__", "__exit__"))]
        return names + [n for n in ("_parts_info",) if hasattr(cls, n)]
    return [n for n, v in vars(cls).items() if not n.startswith("_") and callable(getattr(cls, n))]


def public(module):
    return [getattr(module, n) for n in module.__all__ if callable(getattr(module, n))]


def check_doc(obj, name):
    """A docstring whose first line, standing alone, is a sentence (not a leftover text signature)."""
    doc = inspect.cleandoc(obj.__doc__ or "")
    lines = doc.splitlines()
    assert lines and lines[0].strip(), f"{name}: no docstring"
    short = name.rpartition(".")[2]
    assert not lines[0].startswith(short + "("), f"{name}: text signature left in the docstring"
    assert lines[0].endswith("."), f"{name}: the summary line is not a sentence: {lines[0]!r}"
    assert len(lines) == 1 or not lines[1].strip(), f"{name}: the summary line runs on: {lines[1]!r}"


def check_signature(obj, name):
    if inspect.isbuiltin(obj) or inspect.ismethoddescriptor(obj):
        assert obj.__text_signature__, f"{name}: no text signature"
    return inspect.signature(obj)


def raises(call, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    return str(info.value)


def check_binding(call, name):
    """A C function's text signature against the arguments it accepts, without running it: every
    call below is refused while its arguments are bound, so nothing is done."""
    params = list(check_signature(call, name).parameters.values())
    ordinary = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    assert len(ordinary) == len([p for p in params if p.kind is not p.VAR_KEYWORD]), name
    for i, p in enumerate(ordinary):
        # Given by position and by name: the parameter is the i-th and is called so.
        message = raises(call, *[None] * (i + 1), **{p.name: None})
        assert f"multiple values for argument '{p.name}'" in message, (name, message)
    varkw = any(p.kind is p.VAR_KEYWORD for p in params)
    extra = {} if varkw else {BOGUS: None}
    assert "positional argument" in raises(call, *[None] * (len(ordinary) + 1), **extra), name
    required = [p.name for p in ordinary if p.default is p.empty]
    if required:
        assert f"missing required argument '{required[0]}'" in raises(call), name
    if not varkw:
        assert f"unexpected keyword argument '{BOGUS}'" in raises(call, **{BOGUS: None}), name


@pytest.fixture(scope="module")
def manager():
    # Closed: should a text signature wrongly let a call through, the method refuses to work (or
    # has nothing to do) rather than wait.
    m = MANAGER(lambda **kw: kw, logger=RecordingLog("docs"))
    shut(m)
    return m


def test_modules_and_classes_have_docstrings():
    for module in (threads_main, brixel_var, brixel_log, brixel_report, brixel_cluster, cluster, merge, part):
        check_doc(module, module.__name__)
    for cls in (MANAGER, threads_main._Worker, threads_main.ManagerError, brixel_var.BrixelVar):
        check_doc(cls, cls.__name__)
        if not issubclass(cls, BaseException):
            check_signature(cls, cls.__name__)
    # The worker's attributes are documented too.
    for attr in ("var", "brixel_name", "_log", "kwargs", "__name__"):
        check_doc(vars(threads_main._Worker)[attr], f"_Worker.{attr}")


@pytest.mark.parametrize("name", surface(MANAGER))
def test_manager_methods(manager, name):
    method = getattr(MANAGER, name)
    check_doc(method, f"BrixelThreadsMain.{name}")
    if inspect.isfunction(method):  # written in Python: its signature is its code's
        check_signature(method, name)
    else:
        check_binding(getattr(manager, name), name)


def test_worker_start_and_module_functions():
    worker = threads_main._Worker(brixel_var.BrixelVar(), "task", None)
    check_doc(threads_main._Worker.start, "_Worker.start")
    check_binding(worker.start, "_Worker.start")
    for name in ("histogram_from_times", "merge_histograms", "histogram_latency", "record_runs", "merge_errors"):
        function = getattr(threads_main, name)
        check_doc(function, name)
        check_binding(function, name)


# What a BrixelVar method is called with, by parameter name: each call runs on a store of its own.
SAMPLE = {"key": "k", "value": {"status": "s"}}


@pytest.mark.parametrize("name", surface(brixel_var.BrixelVar))
def test_store_methods(name):
    check_doc(getattr(brixel_var.BrixelVar, name), f"BrixelVar.{name}")
    params = check_signature(getattr(brixel_var.BrixelVar, name), name).parameters.values()
    params = [p for p in params if p.name != "self"]
    positional = [SAMPLE.get(p.name) for p in params if p.kind is p.POSITIONAL_ONLY]
    keywords = {p.name: SAMPLE.get(p.name) for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)}
    if any(p.kind is p.VAR_KEYWORD for p in params):
        keywords["field"] = 1
    else:
        raises(getattr(brixel_var.BrixelVar(), name), *positional, **keywords, **{BOGUS: None})
    getattr(brixel_var.BrixelVar(), name)(*positional, **keywords)  # accepted as the signature says
    raises(getattr(brixel_var.BrixelVar(), name), *positional, None, **keywords)
    for p in params:  # positional-only by name, keyword-only by position: both refused
        if p.kind is p.POSITIONAL_ONLY:
            raises(getattr(brixel_var.BrixelVar(), name), **{p.name: SAMPLE.get(p.name)}, **keywords)
        if p.kind is p.KEYWORD_ONLY:
            raises(getattr(brixel_var.BrixelVar(), name), *positional, SAMPLE.get(p.name))


@pytest.mark.parametrize("obj", [obj for module in (brixel_log, brixel_report, brixel_cluster, cluster, merge, part)
                                 for obj in public(module)], ids=lambda obj: obj.__qualname__)
def test_python_packages(obj):
    check_doc(obj, obj.__qualname__)
    if not (inspect.isclass(obj) and issubclass(obj, BaseException)):
        check_signature(obj, obj.__qualname__)
    if inspect.isclass(obj):
        for name in surface(obj):
            # Where a subclass of the manager overrides a method, the override has its own docstring.
            check_doc(getattr(obj, name), f"{obj.__qualname__}.{name}")
            check_signature(getattr(obj, name), name)
