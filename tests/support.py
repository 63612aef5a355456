"""What several test files share: arguments that make a call fail in a set way, the
interpreter's build, and a fresh interpreter for code whose fault could hang or kill
the one running the suite.

Code run in a child process or a sub-interpreter cannot import this file; it takes
the classes it needs as text (`source`).
"""

import inspect
import os
import subprocess
import sys
import sysconfig

import pytest

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class HugeLength:
    """A sequence whose length hint exceeds any address space (by default)."""

    def __init__(self, length=sys.maxsize):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        raise IndexError(index)


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float here")


def source(*classes):
    """The classes' definitions as code for a child; they need `sys` imported before them."""
    return "\n".join(inspect.getsource(c) for c in classes)


def child_environment(changes=None):
    """This process's environment without the pool's variables, then `changes`: a
    child's pool takes its size from the test alone, never from the shell's settings."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment.update(changes or {})
    return environment


def run_python(code, env=None, timeout=120, stderr=subprocess.PIPE):
    """Runs `code` with `python -c` in `child_environment(env)`; its standard output,
    and its standard error unless sent elsewhere, come back as text. A child still
    running after `timeout` seconds fails the test with what it printed so far."""
    try:
        return subprocess.run([sys.executable, "-c", code], env=child_environment(env), stdout=subprocess.PIPE,
                              stderr=stderr, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"child hung for {timeout} s; its output so far: {expired.stdout!r} {expired.stderr!r}")
