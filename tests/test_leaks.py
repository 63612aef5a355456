"""Failing calls must not leak: 100,000 of them, of every kind, leave the
resident set and the Python heap where they were.

Bounds: a leak of one allocation per call would grow the heap by at least
32 bytes per call under glibc and 16 bytes under pymalloc, i.e. 3.2 MB and
1.6 MB over 100,000 calls. RSS may move by allocator noise (arenas, page
granularity), so it is allowed 1 MB; tracemalloc sees only Python's own
allocations and is allowed 100 kB, a leak of 16 bytes in one call of 16.
"""

from support import HugeLength, RaisingFloat, run_python, source

CHILD = """
import gc, math, os, sys, time, tracemalloc
import tovimera

t = tovimera
disk, multi, ring, discrete = (t.witt_mao_magnification, t.multi_witt_mao_magnification,
                               t.heyrovsky_magnification, t.discrete_flux_map_heyrovsky_magnification)

""" + source(HugeLength, RaisingFloat) + """
class Lying:
    def __float__(self):
        return "not a float"

class Outer:
    class Inner:
        pass

def broken():
    yield 1.0

huge, hint_memory = HugeLength(sys.maxsize), HugeLength(2**59)
items = [0.5, 1.5, "x"]
CALLS = [
    # matching
    lambda: disk(),
    lambda: ring(1.0, 2.0, 3.0, 4.0, 5.0),
    lambda: multi([1.0], x=2.0),
    lambda: t.integrated_witt_mao_magnification([1.0], 1.0, 1.0, l=[2.0]),
    lambda: t.integrated_flux_map_heyrovsky_magnification([1.0], **{"\\udc80": 1.0}),
    lambda: t.integrated_heyrovsky_magnification([1.0], 1.0),
    # conversion, each with its note
    lambda: disk("abc", 1.0, 1.0),
    lambda: disk({1.0}, 1.0, 1.0),
    lambda: disk(None, 1.0, 1.0),
    lambda: disk(Outer.Inner(), 1.0, 1.0),
    lambda: disk(broken(), 1.0, 1.0),
    lambda: disk(items, 1.0, 1.0),
    lambda: multi([1.0], [1.0], 0.5),
    lambda: ring(0.3, 0.8, 10**400, 1.0),
    lambda: ring(0.3, RaisingFloat(), 1.0, 1.0),
    lambda: t.integrated_witt_mao_magnification([Lying()], 1.0, 1.0),
    lambda: t.integrated_flux_map_witt_mao_magnification([1.0], 1.0, 1.0, [0.5], "x"),
    # computation failures
    lambda: ring(math.nan, 0.8, 1.0, 1.0),
    lambda: ring(10000.0, 10000.0 + 2e-5, 1.0, 1.0),
    lambda: discrete([0.5, math.nan], 1.0, 0.1, [0.5], [1.0]),
    # panics and an allocation that cannot succeed
    lambda: disk(huge, 1.0, 1.0),
    lambda: multi([1.0, 2.0], [1.0], huge),
    lambda: discrete([0.5], 1.0, 0.1, [0.5, 0.6], [1.0]),
    lambda: t.integrated_flux_map_witt_mao_magnification([], 1.0, 0.1, [], [1.0]),
    lambda: disk(hint_memory, 1.0, 1.0),
]

def run(count):
    kinds = {}
    for i in range(count):
        try:
            CALLS[i % len(CALLS)]()
        except BaseException as error:
            name = type(error).__name__
            kinds[name] = kinds.get(name, 0) + 1
        else:
            raise AssertionError(f"call {i % len(CALLS)} did not fail")
    return kinds

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

COUNT = 100_000
run(20_000)
gc.collect()
rss_before = resident()
started = time.perf_counter()
kinds = run(COUNT)
seconds = time.perf_counter() - started
gc.collect()
rss_growth = resident() - rss_before

tracemalloc.start()
run(10_000)
gc.collect()
traced_before = tracemalloc.get_traced_memory()[0]
run(COUNT)
gc.collect()
traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
tracemalloc.stop()
print(f"calls={COUNT} seconds={seconds:.2f} rss_growth={rss_growth} traced_growth={traced_growth} "
      + " ".join(f"{k}={v}" for k, v in sorted(kinds.items())), flush=True)
"""


def test_failing_calls_do_not_leak(tmp_path):
    stderr_file = tmp_path / "panic-reports.txt"
    with open(stderr_file, "w") as sink:
        done = run_python(CHILD, timeout=300, stderr=sink)
    reports = stderr_file.read_text(errors="replace")
    assert done.returncode == 0, reports[-2000:]
    figures = dict(pair.split("=") for pair in done.stdout.split())
    print(f"\nleaks: {figures}")
    panics = int(figures["PanicException"])
    assert int(figures["calls"]) == 100_000
    for kind in ("TypeError", "OverflowError", "ZeroDivisionError", "RuntimeError", "PanicException", "MemoryError"):
        assert int(figures.get(kind, 0)) > 0, kind
    # Each panic wrote its report (the warm-up and the traced run add more).
    assert reports.count("panicked at") >= panics
    assert int(figures["rss_growth"]) < 1_000_000
    assert int(figures["traced_growth"]) < 100_000
