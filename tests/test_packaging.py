"""The installed package: type stubs agree with the modules, a wheel installs cleanly, the sdist builds."""

import os
import pathlib
import subprocess
import sys
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)


def test_installed_stubs_match_the_modules(tmp_path):
    # Run outside the source tree: the stubs are found as installed stub-only packages.
    result = run(sys.executable, "-m", "mypy.stubtest", "threads_main", "brixel_var", "brixel_log",
                 "--allowlist", str(ROOT / "src/stubs/allowlist.txt"), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


USER_SCRIPT = """\
import brixel_var
import threads_main

with threads_main.BrixelThreadsMain(print, max_workers=8) as manager:
    reveal_type(manager)
    reveal_type(manager._get_run_status())
    reveal_type(manager._var)
    manager._send("first", url="https://example.invalid/")
threads_main.BrixelThreadsMain(print, max_workers="8")
manager._send(123)
from brixel_cluster import BrixelThreadsCluster
BrixelThreadsCluster(print, processes="2")._send("x", url="https://example.invalid/")
"""


def test_a_users_type_checker_finds_the_installed_stubs(tmp_path):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = run(sys.executable, "-m", "mypy", "--no-incremental", "user.py", cwd=tmp_path, env=env)
    out = result.stdout
    assert 'Revealed type is "threads_main.BrixelThreadsMain"' in out, out + result.stderr
    assert 'Revealed type is "builtins.dict[builtins.str, builtins.int]"' in out or \
        'Revealed type is "dict[str, int]"' in out, out
    assert 'Revealed type is "brixel_var.BrixelVar"' in out, out
    assert 'user.py:9: error: Argument "max_workers" to "BrixelThreadsMain" has incompatible type "str"' in out
    assert 'user.py:10: error: Argument 1 to "_send" of "BrixelThreadsMain" has incompatible type "int"' in out
    assert 'user.py:12: error: Argument "processes" to "BrixelThreadsCluster" has incompatible type "str"' in out
    assert "Found 3 errors in 1 file" in out and "import-not-found" not in out and "import-untyped" not in out


def test_wheel_installs_into_a_fresh_venv_and_sdist_is_complete(tmp_path):
    result = run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-w", str(tmp_path),
                 str(ROOT))
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    (wheel,) = tmp_path.glob("threads_main-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        assert {"threads_main-stubs/__init__.pyi", "brixel_var-stubs/__init__.pyi", "brixel_cluster/__init__.py",
                "brixel_cluster/py.typed"} <= set(archive.namelist())
    venv = tmp_path / "venv"
    assert run(sys.executable, "-m", "venv", str(venv)).returncode == 0
    python = venv / "bin" / "python"
    result = run(str(python), "-m", "pip", "install", "--no-index", str(wheel))
    assert result.returncode == 0, result.stderr
    probe = ("import logging, threads_main; m = threads_main.BrixelThreadsMain(lambda x: -x, 2, logger=logging.getLogger('x'));"
             "m._send(x=-3); m._join(); print(m._get_result('Thread_1')); m._close()")
    result = run(str(python), "-c", probe, cwd=tmp_path)
    assert result.returncode == 0 and result.stdout.strip() == "{'Thread_1': 3}", result.stderr

    code = "from scikit_build_core.build import build_sdist; import sys; print(build_sdist(sys.argv[1]))"
    result = run(sys.executable, "-c", code, str(tmp_path), cwd=ROOT)
    assert result.returncode == 0, result.stderr
    with tarfile.open(tmp_path / result.stdout.split()[-1]) as sdist:
        names = {n.split("/", 1)[1] for n in sdist.getnames() if "/" in n}
    for needed in ("pyproject.toml", "CMakeLists.txt", "README.md", "src/threads_main/module.cpp",
                   "src/brixel_var/brixel_var.cpp", "src/brixel_log/__init__.py",
                   "src/stubs/threads_main-stubs/__init__.pyi", "src/stubs/brixel_var-stubs/__init__.pyi"):
        assert needed in names
