"""The rooms of src/ include only downward (docs/architecture.md), and only the
module room sees CPython. Read from the include lines of the source tree."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
if not (SRC / "module").is_dir():
    pytest.skip("the C++ sources are not beside this test tree", allow_module_level=True)

# What each room may include, itself included. fluxmap reuses the ring-route
# driver of integrated; kernels and parallel know nothing of each other.
MAY_INCLUDE = {
    "common": {"common"},
    "numerics": {"numerics", "common"},
    "kernels": {"kernels", "numerics", "common"},
    "parallel": {"parallel", "common"},
    "integrated": {"integrated", "parallel", "kernels", "numerics", "common"},
    "fluxmap": {"fluxmap", "integrated", "parallel", "kernels", "numerics", "common"},
    "module": {"module", "fluxmap", "integrated", "parallel", "kernels", "numerics", "common"},
}
SOURCE_SUFFIXES = {".hpp", ".cpp", ".h", ".inc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)


def includes(root):
    """(file relative to root, delimiter, included path) for every include line."""
    for path in sorted(root.rglob("*")):
        if path.suffix in SOURCE_SUFFIXES and path.is_file():
            for delimiter, target in INCLUDE.findall(path.read_text(encoding="utf-8")):
                yield path.relative_to(root), delimiter, target


def layer_violations(root):
    found = []
    for source, delimiter, target in includes(root):
        room = source.parts[0] if len(source.parts) > 1 else None
        if room not in MAY_INCLUDE:
            found.append(f"{source}: outside every room")
            continue
        if pathlib.PurePosixPath(target).name == "Python.h":
            if room != "module":
                found.append(f"{source}: includes {target}; only module may")
            continue
        target_room = target.split("/", 1)[0]
        if delimiter == "<" and target_room not in MAY_INCLUDE:
            continue  # a system or third-party header
        if target_room not in MAY_INCLUDE or not (root / target).is_file():
            found.append(f'{source}: includes "{target}", no header of any room')
        elif target_room not in MAY_INCLUDE[room]:
            found.append(f"{source}: {room} includes {target}, from {target_room}")
    return found


def test_every_include_goes_downward():
    assert layer_violations(SRC) == []


def test_every_room_is_read():
    # Not vacuous: each room has sources, and the rooms above include the ones below.
    seen = {}
    for source, delimiter, target in includes(SRC):
        if delimiter == '"':
            seen.setdefault(source.parts[0], set()).add(target.split("/", 1)[0])
    assert set(seen) == set(MAY_INCLUDE)
    assert {"fluxmap", "integrated", "kernels"} <= seen["module"]
    assert "parallel" in seen["integrated"]
    assert "numerics" in seen["kernels"]


def test_a_planted_include_is_caught(tmp_path):
    for room in MAY_INCLUDE:
        (tmp_path / room).mkdir()
    files = {
        "common/panic.hpp": "#include <string>\n",
        "numerics/ellip.hpp": '#include "common/panic.hpp"\n',
        "parallel/pool.hpp": '#include "common/panic.hpp"\n',
        # Each line below breaks a rule once.
        "kernels/ring.hpp": '#include "numerics/ellip.hpp"\n#include "parallel/pool.hpp"\n',
        "integrated/sequences.hpp": '#include "kernels/ring.hpp"\n  #  include "fluxmap/maps.hpp"\n',
        "fluxmap/maps.hpp": '#include "integrated/sequences.hpp"\n#include "module/call.hpp"\n',
        "numerics/quadrature.hpp": "#include <Python.h>\n",
        "common/expected.hpp": '#include "numerics/ellip.hpp"\n',
        "module/call.hpp": '#include <Python.h>\n#include "kernels/missing.hpp"\n',
        "stray.hpp": '#include "common/panic.hpp"\n',
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    assert layer_violations(tmp_path) == [
        "common/expected.hpp: common includes numerics/ellip.hpp, from numerics",
        "fluxmap/maps.hpp: fluxmap includes module/call.hpp, from module",
        "integrated/sequences.hpp: integrated includes fluxmap/maps.hpp, from fluxmap",
        "kernels/ring.hpp: kernels includes parallel/pool.hpp, from parallel",
        'module/call.hpp: includes "kernels/missing.hpp", no header of any room',
        "numerics/quadrature.hpp: includes Python.h; only module may",
        "stray.hpp: outside every room",
    ]
