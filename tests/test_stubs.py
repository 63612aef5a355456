"""The installed stubs: found by mypy as a PEP 561 stub package, true to the module, and
accepting and rejecting the same calls as the module does (tests/stub_calls.py)."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

CALLS = pathlib.Path(__file__).with_name("stub_calls.py")
WRONG = re.compile(r"#\s*wrong:\s*([a-z-]+)\s*$")
# Only the declared type of the result is wrong: nothing to raise at run time.
TYPE_ONLY = {"assignment"}


def marked_lines():
    lines = CALLS.read_text().splitlines()
    first_wrong = next(i for i, line in enumerate(lines) if WRONG.search(line))
    accepted = "\n".join(lines[:first_wrong])
    rejected = [(i + 1, line, WRONG.search(line).group(1)) for i, line in enumerate(lines) if WRONG.search(line)]
    return accepted, rejected


def run_mypy_tool(args, cwd):
    # Only what an installed package offers: no search path from the caller or the repo.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=600
    )


def test_stubtest_finds_the_stubs_true_to_the_module(tmp_path):
    done = run_mypy_tool(["mypy.stubtest", "tovimera"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found in 1 module" in done.stdout


def test_mypy_reports_exactly_the_wrong_calls(tmp_path):
    done = run_mypy_tool(["mypy", "--strict", f"--cache-dir={tmp_path / 'cache'}", str(CALLS)], tmp_path)
    reported = set()
    for line in done.stdout.splitlines():
        match = re.match(rf"{re.escape(str(CALLS))}:(\d+): error: .*\[([a-z-]+)\]$", line)
        if match:
            reported.add((int(match.group(1)), match.group(2)))
        else:
            assert ": note: " in line or line.startswith("Found "), line
    _, rejected = marked_lines()
    assert reported == {(number, code) for number, _, code in rejected}, done.stdout + done.stderr


@pytest.fixture(scope="module")
def accepted_scope():
    accepted, _ = marked_lines()
    scope = {}
    exec(compile(accepted, str(CALLS), "exec"), scope)
    return scope


def test_the_module_takes_the_accepted_calls(accepted_scope):
    assert len(accepted_scope["curve"]) == 7
    # Every (re, rstar) pair: two by two.
    assert len(accepted_scope["rows"]) == 4 and all(len(row) == 7 for row in accepted_scope["rows"])
    assert isinstance(accepted_scope["ring"], float)


@pytest.mark.parametrize(
    "number, line", [pytest.param(n, line, id=f"line{n}") for n, line, code in marked_lines()[1] if code not in TYPE_ONLY]
)
def test_the_module_raises_type_error_on_the_rejected_calls(accepted_scope, number, line):
    # Compiled at its own line number, so that a failure points into stub_calls.py.
    statement = compile("\n" * (number - 1) + line, str(CALLS), "exec")
    with pytest.raises(TypeError):
        exec(statement, dict(accepted_scope))
