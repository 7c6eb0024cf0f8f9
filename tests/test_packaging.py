"""The installed package: type stubs agree with the modules, a wheel installs cleanly, the sdist builds."""

import os
import pathlib
import shutil
import subprocess
import sys
import tarfile

import brixel_var
import threads_main

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)


def test_installed_stubs_match_the_modules(tmp_path):
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    for module in (threads_main, brixel_var):
        installed = pathlib.Path(module.__file__).parent / f"{module.__name__}.pyi"
        assert installed.is_file()
        shutil.copy(installed, stubs)
    result = run(sys.executable, "-m", "mypy.stubtest", "threads_main", "brixel_var", "brixel_log",
                 "--allowlist", str(ROOT / "src/stubs/allowlist.txt"),
                 env={**os.environ, "MYPYPATH": str(stubs)}, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_wheel_installs_into_a_fresh_venv_and_sdist_is_complete(tmp_path):
    result = run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-w", str(tmp_path),
                 str(ROOT))
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    (wheel,) = tmp_path.glob("threads_main-*.whl")
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
                   "src/brixel_var/brixel_var.cpp", "src/brixel_log/__init__.py", "src/stubs/threads_main.pyi"):
        assert needed in names
