"""The module's source is laid out in rooms, one folder each, that only include rooms below them."""

import pathlib
import re

import pytest

SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src" / "threads_main"

# From the bottom up. A file may include its own room and the rooms of lower levels; rooms on one
# level know nothing of each other. The files at the top of the tree are two rooms: the module state
# (low: every method reaches it) and the module's entry (the top: it registers the classes).
LEVELS = [
    {"support"},                        # owned references, the error boundary, runs and stops
    {"state"},                          # names.hpp, state.*: the module state and its names
    {"metrics"},                        # histogram, timeline, raw forms, the recording hook
    {"outside"},                        # the state store and the logger
    {"native"},                         # the manager's native part: its core, layout, process check
    {"worker"},                         # the per-task runner
    {"dispatch"},                       # the paced control loop and the eager engine
    {"submit", "control", "monitor"},   # the manager's methods, by subsystem
    {"manager"},                        # the class, its construction and its method table
    {"entry"},                          # module.cpp
]
LEVEL = {room: i for i, rooms in enumerate(LEVELS) for room in rooms}
# Headers of the outside packages, found through the build's include folders.
OUTSIDE_HEADERS = {"brixel_var_api.h"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def room_of(relative):
    parts = pathlib.PurePosixPath(relative).parts
    if len(parts) > 1:
        return parts[0]
    return "entry" if parts[0] == "module.cpp" else "state"


def upward_includes(root):
    """(file, included, why) for every include that runs back up, names an unknown room, or is not
    found in the tree."""
    faults = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in {".cpp", ".hpp", ".h"}:
            continue
        relative = path.relative_to(root).as_posix()
        room = room_of(relative)
        if room not in LEVEL:
            faults.append((relative, "", f"room {room!r} is not in the list"))
            continue
        for included in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if included in OUTSIDE_HEADERS:
                continue
            if not (root / included).is_file():
                faults.append((relative, included, "no such file in the tree"))
                continue
            target = room_of(included)
            if target == room:
                continue
            if target not in LEVEL or LEVEL[target] >= LEVEL[room]:
                faults.append((relative, included, f"{room} may not include {target}"))
    return faults


def test_every_include_reaches_down():
    assert upward_includes(SOURCE) == []


@pytest.mark.parametrize("file, line, why", [
    ("support/run.hpp", '#include "metrics/timeline.hpp"', "support may not include metrics"),
    ("submit/extra.hpp", '#include "control/control.hpp"', "submit may not include control"),
    ("state_room/x.hpp", "", "room 'state_room' is not in the list"),
    ("metrics/record.hpp", '#include "metrics/gone.hpp"', "no such file in the tree"),
])
def test_a_fault_is_found(tmp_path, file, line, why):
    for path in SOURCE.rglob("*"):
        if path.is_file():
            copy = tmp_path / path.relative_to(SOURCE)
            copy.parent.mkdir(parents=True, exist_ok=True)
            copy.write_bytes(path.read_bytes())
    target = tmp_path / file
    target.parent.mkdir(parents=True, exist_ok=True)
    text = target.read_text(encoding="utf-8") if target.exists() else ""
    target.write_text(f"{line}\n{text}", encoding="utf-8")
    assert [fault[2] for fault in upward_includes(tmp_path)] == [why]
