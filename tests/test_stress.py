"""Sixteen Python threads calling all eight functions at once, good calls and
failing ones mixed, every outcome compared with the one computed serially.

TOVIMERA_STRESS_SECONDS sets the duration (default 10 s on the free-threaded
interpreter, 1 s with the GIL, where the threads only take turns).
"""

import contextlib
import math
import os
import random
import struct
import sys
import tempfile
import threading
import time

import pytest

import tovimera
from support import FREE_THREADED, HugeLength, RaisingFloat, run_python, source

SECONDS = float(os.environ.get("TOVIMERA_STRESS_SECONDS", "10" if FREE_THREADED else "1"))
THREADS = 16

t = tovimera
disk, multi, ring = t.witt_mao_magnification, t.multi_witt_mao_magnification, t.heyrovsky_magnification
disk_ld, ring_ld = t.integrated_witt_mao_magnification, t.integrated_heyrovsky_magnification
disk_map, ring_map = t.integrated_flux_map_witt_mao_magnification, t.integrated_flux_map_heyrovsky_magnification
discrete = t.discrete_flux_map_heyrovsky_magnification


class Halves:
    """A sequence served by Python code: the module iterates it while other
    threads run."""

    def __len__(self):
        return 40

    def __getitem__(self, index):
        if index >= 40:
            raise IndexError(index)
        return 0.05 * index + 0.01


SEPARATIONS = [0.013 * i for i in range(1, 2001)] + [math.nan, -1.0, 0.0, math.inf]
SHORT = [0.2, 0.9, 1.0, 1.7, 3.5]
BL, BF = [0.0, 0.3, 0.6, 0.9, 1.0], [1.0, 0.9, 0.7, 0.5, 0.4]

CASES = [
    # Computations, on the pool and on the calling thread.
    (disk, (SEPARATIONS, 1.0, 0.1), {}),
    (disk, (SEPARATIONS[:7], 2.0, 0.3), {}),
    (disk, ([0.5], 1.0, 0.1), {}),
    (disk, ([], 1.0, 0.1), {}),
    (disk, (), {"rstar": 0.02, "l": SEPARATIONS[:300], "re": 1.0}),
    (disk, (Halves(), 1.0, 0.5), {}),
    (multi, (SEPARATIONS[:60], [1.0, 2.0], [0.05, 0.1, 0.3]), {}),
    (multi, ([], [1.0], [0.1, 0.2]), {}),
    (multi, (SHORT, [1.0, math.nan, 0.0], [0.1, 0.0]), {}),
    (ring, (0.3, 0.8, 1.0, 1.0), {}),
    (ring, (0.8, 0.8 + 1e-6, 1.0, 0.5), {}),
    (ring, (), {"rstar": 0.5, "re": 1.0, "r": 0.4, "l": 1.2}),
    (disk_ld, (SHORT, 1.0, 0.1), {}),
    (ring_ld, (SHORT[:2], 1.0, 0.2), {}),
    (disk_map, (SHORT[:2], 1.0, 0.1, BL, BF), {}),
    (ring_map, (SHORT[:2], 1.0, 0.2, BL, BF), {}),
    (discrete, (SHORT, 1.0, 0.1, BL, BF), {}),
    # Matching and conversion failures.
    (disk, (), {}),
    (disk, ([1.0], 1.0, 1.0, 2.0), {}),
    (ring, (1.0,), {"x": 2, "r": 1.0}),
    (ring, (1.0, 1.0, 1.0, 1.0), {"l": 2.0}),
    (disk_map, ([1.0], 1.0), {"\udc80": 1.0}),
    (disk, ("abc", 1.0, 1.0), {}),
    (disk, ({1.0}, 1.0, 1.0), {}),
    (disk, ([1.0, "x"], 1.0, 1.0), {}),
    (multi, ([1.0], [1.0], 0.5), {}),
    (ring, (0.3, 0.8, 10**400, 1.0), {}),
    (ring_ld, ([0.5], RaisingFloat(), 1.0), {}),
    (discrete, ([0.5], 1.0, 0.1, [0.5], None), {}),
    # Kernel errors and panics.
    (ring, (math.nan, 0.8, 1.0, 1.0), {}),
    (ring, (10000.0, 10000.0 + 2e-5, 1.0, 1.0), {}),
    (discrete, ([0.5, math.nan], 1.0, 0.1, BL, BF), {}),
    (disk, (HugeLength(), 1.0, 1.0), {}),
    (multi, ([1.0], HugeLength(), [1.0]), {}),
    (disk_map, ([0.5], 1.0, 0.1, [0.1, 0.5, 0.9], [1.0, 1.0]), {}),
    (ring_map, ([], 1.0, 0.1, [0.1], []), {}),
    (discrete, ([0.5], 1.0, 0.1, [], [1.0]), {}),
]
# The quadratures are slower by orders of magnitude; draw them less often so
# that the fast paths see many concurrent calls too.
WEIGHTS = [1 if case[0] in (disk_ld, ring_ld, disk_map, ring_map) else 6 for case in CASES]


def exact(value):
    if isinstance(value, float):
        return struct.pack("<d", value)
    return tuple(exact(v) for v in value)


def outcome(function, args, kwargs):
    try:
        return ("returned", exact(function(*args, **kwargs)))
    except BaseException as error:
        return ("raised", type(error), error.args, getattr(error, "__notes__", None))


@contextlib.contextmanager
def stderr_to_file():
    """Panic reports go to standard error from many threads: keep them in a file."""
    with tempfile.TemporaryFile() as sink:
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(sink.fileno(), 2)
        try:
            yield sink
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def test_sixteen_threads_see_the_serial_results():
    with stderr_to_file() as sink:
        expected = [outcome(*case) for case in CASES]
        kinds = {e[0] if e[0] == "returned" else e[1].__name__ for e in expected}
        assert {"returned", "TypeError", "RuntimeError", "PanicException"} <= kinds

        barrier = threading.Barrier(THREADS + 1)
        calls = [0] * THREADS
        mismatches = [[] for _ in range(THREADS)]
        per_case = [[0] * len(CASES) for _ in range(THREADS)]
        deadline = [0.0]

        def work(index):
            rng = random.Random(1000 + index)
            barrier.wait()
            while time.monotonic() < deadline[0]:
                for k in rng.choices(range(len(CASES)), WEIGHTS, k=32):
                    got = outcome(*CASES[k])
                    calls[index] += 1
                    per_case[index][k] += 1
                    if got != expected[k]:
                        mismatches[index].append((k, got))

        threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        deadline[0] = time.monotonic() + SECONDS
        started = time.perf_counter()
        barrier.wait()
        for thread in threads:
            thread.join(timeout=SECONDS + 120)
        elapsed = time.perf_counter() - started
        hung = [thread.name for thread in threads if thread.is_alive()]
        sink.seek(0)
        reports = sink.read().count(b"panicked at")

    total = sum(calls)
    failed = [m for ms in mismatches for m in ms]
    counts = [sum(column) for column in zip(*per_case)]
    print(
        f"\nstress: {THREADS} threads, {elapsed:.1f} s, {total} calls, {total / elapsed:.0f} calls/s, "
        f"{len(failed)} mismatches, {reports} panic reports, free-threaded={FREE_THREADED}, "
        f"GIL enabled={getattr(sys, '_is_gil_enabled', lambda: True)()}"
    )
    print("calls per case:", counts)
    assert hung == []
    assert failed == [], failed[:5]
    assert min(counts) > 0, "every case ran at least once"
    panicking = sum(c for c, e in zip(counts, expected) if e[0] == "raised" and e[1].__name__ == "PanicException")
    assert reports >= panicking


RACE = "import sys, threading, tovimera\n" + source(HugeLength) + """
# Each thread's first failing calls are the process's first ones too: the
# PanicException type, the Sequence type and the interned name of add_note are
# made on first use, while the other threads need them.
barrier = threading.Barrier(16)
seen = [None] * 16

def first_failures(index):
    barrier.wait()
    got = []
    for call in ((lambda: tovimera.witt_mao_magnification(HugeLength(), 1.0, 1.0)) if index % 2 else
                 (lambda: tovimera.witt_mao_magnification({1.0}, 1.0, 1.0)),
                 lambda: tovimera.witt_mao_magnification(HugeLength(), 1.0, 1.0),
                 lambda: tovimera.witt_mao_magnification(5, 1.0, 1.0)):
        try:
            call()
        except BaseException as error:
            got.append((id(type(error)), type(error).__name__, error.args, getattr(error, "__notes__", None)))
    seen[index] = got

threads = [threading.Thread(target=first_failures, args=(i,)) for i in range(16)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
panic_types = {g[0] for got in seen for g in got if g[1] == "PanicException"}
messages = {(g[1], g[2], tuple(g[3] or ())) for got in seen for g in got}
print(len(panic_types), sorted(messages))
"""


def test_first_uses_of_the_process_wide_values_race_safely():
    expected = sorted({
        ("PanicException", ("capacity overflow",), ()),
        ("TypeError", ("'set' object is not an instance of 'Sequence'",), ("while processing 'l'",)),
        ("TypeError", ("'int' object is not an instance of 'Sequence'",), ("while processing 'l'",)),
    })
    for run in range(5):
        done = run_python(RACE)
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip() == f"1 {expected}", done.stdout


def test_arguments_changed_by_other_threads_during_calls():
    # Results depend on what the call happened to see; the module must neither
    # crash nor return anything but floats of a length the input had.
    np = pytest.importorskip("numpy")
    shared_list = [0.5] * 64
    shared_array = np.full(4096, 0.5)
    stop = [False]
    problems = []

    def mutate():
        rng = random.Random(7)
        while not stop[0]:
            if len(shared_list) < 128 and rng.random() < 0.5:
                shared_list.append(rng.random())
            elif len(shared_list) > 1:
                shared_list.pop()
            shared_array[rng.randrange(4096)] = rng.random()

    def call():
        while not stop[0]:
            for function, args in ((disk, (shared_list, 1.0, 0.1)), (disk_ld, (shared_list[:3], 1.0, 0.1)),
                                   (disk, (shared_array, 1.0, 0.1)), (multi, (shared_list, [1.0], [0.1, 0.2]))):
                result = function(*args)
                rows = result if function is multi else [result]
                for row in rows:
                    if not (0 <= len(row) <= 4096 and all(type(v) is float for v in row)):
                        problems.append((function.__name__, len(row)))

    threads = [threading.Thread(target=mutate) for _ in range(4)] + [threading.Thread(target=call) for _ in range(8)]
    for thread in threads:
        thread.start()
    time.sleep(min(SECONDS, 2.0))
    stop[0] = True
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert problems == []
