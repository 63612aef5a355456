"""The worker pool as Python sees it: thread counts from the environment,
identical results whatever the count, and calls from many threads at once."""

import os
import sys
import threading
import warnings

import pytest

import tovimera
from support import FREE_THREADED, run_python

PROBE = """
import struct, tovimera
l = [0.0137 * i for i in range(1, 1001)]
rows = tovimera.multi_witt_mao_magnification(l[:37], [1.0, 2.0], [0.1, 0.3, 1.0])
values = tovimera.witt_mao_magnification(l, 1.0, 0.1)
print(struct.pack('<%dd' % len(values), *values).hex())
print([struct.pack('<%dd' % len(r), *r).hex() for r in rows])
"""


def run_probe(env_changes):
    done = run_python(PROBE, env_changes)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize(
    "env",
    [
        {"RAYON_NUM_THREADS": "1"},
        {"RAYON_NUM_THREADS": "2"},
        {"RAYON_NUM_THREADS": "7"},
        {"RAYON_NUM_THREADS": "0"},
        {"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"},
        {"RAYON_NUM_THREADS": "-2"},
        {"RAYON_RS_NUM_CPUS": "1"},
    ],
)
def test_results_do_not_depend_on_the_thread_count(env):
    assert run_probe(env) == run_probe({})


def test_many_python_threads_share_the_pool():
    l = [0.011 * i for i in range(1, 2000)]
    expected_disk = tovimera.witt_mao_magnification(l, 1.0, 0.1)
    expected_rows = tovimera.multi_witt_mao_magnification(l[:50], [1.0, 3.0], [0.05, 0.2])
    failures = []
    barrier = threading.Barrier(8)

    def work(index):
        barrier.wait()
        for _ in range(20):
            if index % 2:
                ok = tovimera.witt_mao_magnification(l, 1.0, 0.1) == expected_disk
            else:
                ok = tovimera.multi_witt_mao_magnification(l[:50], [1.0, 3.0], [0.05, 0.2]) == expected_rows
            if not ok:
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


@pytest.mark.skipif(not FREE_THREADED, reason="free-threaded interpreter only")
def test_import_keeps_the_gil_disabled():
    assert sys._is_gil_enabled() is False


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_computes_serially():
    tovimera.witt_mao_magnification([0.5, 1.5], 1.0, 0.1)  # the pool exists now
    expected = tovimera.witt_mao_magnification([0.1 * i for i in range(100)], 1.0, 0.1)
    read, write = os.pipe()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                ok = tovimera.witt_mao_magnification([0.1 * i for i in range(100)], 1.0, 0.1) == expected
                os.write(write, b"1" if ok else b"0")
                status = 0
            finally:
                os._exit(status)
    os.close(write)
    _, status = os.waitpid(pid, 0)
    assert os.read(read, 1) == b"1" and status == 0
    if sys.version_info >= (3, 12):
        # CPython warns that forking a multi-threaded process is risky.
        assert any("fork" in str(w.message) for w in caught)
