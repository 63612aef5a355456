"""Faults around the worker pool and the interpreter: a failing item inside a
parallel map, a pool that cannot be created, fork() during a parallel map,
KeyboardInterrupt arriving during a long call, calls at the recursion limit,
other threads during a long call, re-entrance while a first-use value is
made, interpreter exit with daemon threads inside a call, and
sub-interpreters. Each runs in a child process, since a fault here may hang or
kill the process, and each child has a timeout.
"""

import ast
import os
import sys
import textwrap

import pytest

from support import HugeLength, run_python, source

PRELUDE = """
import math, os, signal, struct, sys, threading, time, warnings
# A shell's background job starts with SIGINT ignored, which would silence interrupt_main().
signal.signal(signal.SIGINT, signal.default_int_handler)
warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
import tovimera
disk, multi, ring = tovimera.witt_mao_magnification, tovimera.multi_witt_mao_magnification, tovimera.heyrovsky_magnification

def bits(values):
    if isinstance(values, float):
        return struct.pack("<d", values)
    return b"".join(bits(v) for v in values)

def report(**figures):
    print(" ".join(f"{k}={v}" for k, v in figures.items()), flush=True)
"""


def run_child(body, env=None, timeout=120):
    done = run_python(PRELUDE + textwrap.dedent(body), env, timeout)
    assert done.returncode == 0, f"child ended with {done.returncode}\n{done.stdout}\n{done.stderr}"
    figures = {}
    for line in done.stdout.splitlines():
        for pair in line.split():
            key, _, value = pair.partition("=")
            figures[key] = value
    return figures, done.stderr


# ------------------------------------------------------ an item that fails


def test_an_item_that_cannot_allocate_fails_the_whole_map_and_the_pool_keeps_working():
    # No input makes an item of the two parallel functions panic: both report
    # numerical failures as NaN, and the grid-size check of
    # multi_witt_mao_magnification runs before its map and needs more than
    # 2**59 pairs. What can fail inside an item is an allocation: each pair
    # copies the separations and makes a row. Under an address-space limit the
    # items throw std::bad_alloc on whichever thread runs them, and the map
    # must carry that to the caller as MemoryError.
    figures, _ = run_child(
        """
        import resource
        l = [1e-6 * i for i in range(2_000_000)]  # 16 MB per copy
        rows_small = multi(l[:50], [1.0, 2.0], [0.1, 0.3])
        row_big = disk(l, 1.0, 0.1)  # the pool exists now
        page = os.sysconf("SC_PAGE_SIZE")
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * page
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        # Room for the converted separations and the pair vector, not for the
        # eight per-pair copies and rows.
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 48 * 2**20, hard))
        failures = []
        for attempt in range(3):
            try:
                multi(l, [1.0, 2.0, 3.0, 4.0], [0.1, 0.2])
                failures.append("none")
            except MemoryError as error:
                failures.append(type(error).__name__)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        after_rows = multi(l[:50], [1.0, 2.0], [0.1, 0.3]) == rows_small
        rows = multi(l, [1.0, 2.0], [0.1])
        report(failures=",".join(failures), rows_again=after_rows,
               big_rows=bits(rows[0]) == bits(row_big) and bits(rows[1]) == bits(disk(l, 2.0, 0.1)))
        """
    )
    assert figures["failures"] == "MemoryError,MemoryError,MemoryError"
    assert figures["rows_again"] == "True" and figures["big_rows"] == "True"


# ------------------------------------------------ the pool cannot be created

# Five parallel maps (the first creates the pool, the others come later, with
# 0, 1 and 2 items and nested), then the six functions that never use the pool.
AFTER_FAILURE = """
outcomes = []
for call in (lambda: disk([1.0, 2.0], 1.0, 0.1), lambda: disk([], 1.0, 0.1), lambda: disk([1.0], 1.0, 0.1),
             lambda: multi([1.0], [1.0, 2.0], [0.1]), lambda: disk([1.0, 2.0], 1.0, 0.1)):
    try:
        call()
        outcomes.append(("returned",))
    except BaseException as error:
        outcomes.append((type(error).__name__, error.args))
serial = (ring(0.3, 0.8, 1.0, 1.0), tovimera.integrated_witt_mao_magnification([0.5], 1.0, 0.1),
          tovimera.integrated_heyrovsky_magnification([0.5], 1.0, 0.1),
          tovimera.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.5], [1.0]),
          tovimera.integrated_flux_map_witt_mao_magnification([0.5], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]),
          tovimera.integrated_flux_map_heyrovsky_magnification([0.5], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0]))
print(repr(outcomes))
print(repr(serial))
"""
HEAD = "The global thread pool has not been initialized."


def run_pool_child(setup, env):
    done = run_python(PRELUDE + textwrap.dedent(setup) + AFTER_FAILURE, env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    # Floats are compared by their repr, which round-trips exactly (nan included).
    return lines[:-2], ast.literal_eval(lines[-2]), lines[-1], done.stderr


def check_failed_pool(outcomes, cause):
    first = outcomes[0]
    assert first[0] == "PanicException", first
    assert first[1][0].startswith(HEAD + ": ") and cause in first[1][0], first
    # Creation is tried once: every later map panics with the same leading
    # text, whatever its length, even once the resource is back.
    for later in outcomes[1:]:
        assert later[0] == "PanicException" and later[1][0].startswith(HEAD), later


@pytest.fixture(scope="module")
def healthy_serial():
    _, outcomes, serial, _ = run_pool_child("", {})
    assert outcomes == [("returned",)] * 5
    return serial


@pytest.mark.skipif(os.geteuid() != 0, reason="drops to an unprivileged user to make the thread limit bind")
def test_a_thread_limit_at_pool_creation_panics_every_map_and_spares_the_rest(healthy_serial):
    # Root ignores RLIMIT_NPROC, so the child becomes 'nobody' first; the soft
    # limit of one task refuses the first worker thread, then is lifted again.
    printed, outcomes, serial, stderr = run_pool_child(
        """
        import resource
        ring(0.3, 0.8, 1.0, 1.0)  # the module works before the pool exists
        os.setgid(65534)
        os.setuid(65534)
        soft, hard = resource.getrlimit(resource.RLIMIT_NPROC)
        resource.setrlimit(resource.RLIMIT_NPROC, (1, hard))
        try:
            disk([1.0, 2.0], 1.0, 0.1)
            print("first returned")
        except BaseException as error:
            print("first", type(error).__name__, repr(error.args))
        resource.setrlimit(resource.RLIMIT_NPROC, (hard, hard))
        """,
        {"RAYON_NUM_THREADS": "4"},
    )
    cause = "could not start worker thread 1 of 3: Resource temporarily unavailable"
    assert printed == ["first PanicException " + repr((HEAD + ": " + cause,))]
    check_failed_pool(outcomes, cause)
    assert serial == healthy_serial
    assert stderr.count("panicked at") == 6


def test_a_thread_count_beyond_the_system_panics_every_map_and_spares_the_rest(healthy_serial):
    _, outcomes, serial, stderr = run_pool_child("", {"RAYON_NUM_THREADS": "3000000000"})
    check_failed_pool(outcomes, "3000000000")
    assert serial == healthy_serial
    assert stderr.count("panicked at") == 5


# ------------------------------------------------------------------- fork


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_is_inside_a_parallel_map():
    # The fork is requested while another thread is inside a map, which it
    # computes detached from the interpreter: the child may start in the
    # middle of it, with none of the pool's workers. No child may hang and
    # every child must compute correctly.
    figures, _ = run_child(
        """
        big = [1e-4 * i for i in range(300_000)]
        small = [0.1 * i for i in range(200)]
        expect_small = bits(disk(small, 1.0, 0.1))
        expect_rows = bits(multi(small[:20], [1.0, 2.0], [0.1, 0.3]))
        expect_big = bits(disk(big[:20_000], 1.0, 0.07))
        running = threading.Event()
        inside = [0]
        stop = [False]

        def busy():
            while not stop[0]:
                inside[0] += 1
                running.set()
                disk(big, 1.0, 0.1)
                inside[0] += 1

        thread = threading.Thread(target=busy)
        thread.start()
        running.wait()
        forks, requested_inside, hung, wrong = 0, 0, 0, 0
        for k in range(8):
            time.sleep(0.003 * k)
            requested_inside += inside[0] % 2
            pid = os.fork()
            if pid == 0:
                ok = (bits(disk(small, 1.0, 0.1)) == expect_small and
                      bits(multi(small[:20], [1.0, 2.0], [0.1, 0.3])) == expect_rows and
                      bits(disk(big[:20_000], 1.0, 0.07)) == expect_big)
                os._exit(0 if ok else 3)
            forks += 1
            give_up = time.monotonic() + 60
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    wrong += os.waitstatus_to_exitcode(status) != 0
                    break
                if time.monotonic() > give_up:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    hung += 1
                    break
                time.sleep(0.01)
        stop[0] = True
        thread.join()
        report(forks=forks, requested_inside=requested_inside, hung=hung, wrong=wrong,
               parent_ok=bits(disk(small, 1.0, 0.1)) == expect_small)
        """,
        timeout=600,
    )
    print(f"\nfork: {figures}")
    assert figures["forks"] == "8" and figures["hung"] == "0" and figures["wrong"] == "0"
    assert figures["parent_ok"] == "True"
    assert int(figures["requested_inside"]) > 0, "no fork was requested during a map"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_another_thread_is_creating_the_pool():
    # A child forked while the pool's one-time creation is under way would
    # find it under way forever. The creating thread is detached, so nothing
    # in the interpreter holds os.fork() back: the pool's own fork handler
    # must wait for the creation to end.
    figures, _ = run_child(
        """
        import signal
        started = threading.Event()
        done = [False]

        def first_map():
            started.set()
            disk([1.0, 2.0], 1.0, 0.1)
            done[0] = True

        thread = threading.Thread(target=first_map)
        thread.start()
        started.wait()
        children, during = [], 0
        while not done[0] and len(children) < 50:
            during += 1
            pid = os.fork()
            if pid == 0:
                signal.alarm(20)
                ok = bits(disk([0.5, 1.5], 1.0, 0.1)) == bits([disk([0.5], 1.0, 0.1)[0], disk([1.5], 1.0, 0.1)[0]])
                os._exit(0 if ok else 3)
            children.append(pid)
            time.sleep(0.0002)
        thread.join()
        codes = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children]
        report(children=len(children), hung=codes.count(-signal.SIGALRM), wrong=sum(c > 0 for c in codes))
        """,
        env={"RAYON_NUM_THREADS": "256"},
        timeout=300,
    )
    print(f"\nfork during pool creation: {figures}")
    assert figures["hung"] == "0" and figures["wrong"] == "0"


# ------------------------------------------------------- KeyboardInterrupt


@pytest.mark.parametrize(
    "how",
    # The computation runs detached, so a Python timer thread runs during it
    # on every build.
    ["setitimer", "interrupt_main"],
)
@pytest.mark.parametrize("function", ["witt_mao_magnification", "integrated_witt_mao_magnification"])
def test_keyboard_interrupt_during_a_long_call(how, function):
    size = 1_000_000 if function == "witt_mao_magnification" else 2_000
    figures, _ = run_child(
        f"""
        import signal, _thread
        f = tovimera.{function}
        l = [1e-5 * i for i in range(1, {size} + 1)]
        f(l, 1.0, 0.1)  # creates the pool, warms the allocator
        # Long enough that the interrupt's delay outlasts a busy machine's
        # scheduling between arming it and entering the call.
        while True:
            timings = []
            for _ in range(2):
                started = time.perf_counter()
                f(l, 1.0, 0.1)
                timings.append(time.perf_counter() - started)
            alone = min(timings)
            if alone >= 0.2:
                break
            l = l * 2
        reference = bits(f(l, 1.0, 0.1))
        delay = alone / 10

        def on_alarm(signum, frame):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, on_alarm)
        if "{how}" == "setitimer":
            signal.setitimer(signal.ITIMER_REAL, delay)
        else:
            threading.Timer(delay, _thread.interrupt_main).start()
        reached = []
        started = time.perf_counter()
        try:
            result = f(l, 1.0, 0.1)
            reached.append("after the call")
            while True:
                reached.append("loop")
                time.sleep(0.001)
        except KeyboardInterrupt:
            interrupted = time.perf_counter() - started
        report(alone=round(alone, 3), interrupted=round(interrupted, 3), delay=round(delay, 3),
               stored="result" in dir(), reached=len(reached),
               again=bits(f(l, 1.0, 0.1)) == reference)
        """
    )
    print(f"\nKeyboardInterrupt {how} {function}: {figures}")
    # The call is not cut short: the interrupt waits for it to return, and
    # later calls give the same bits as before.
    assert float(figures["interrupted"]) > 0.5 * float(figures["alone"])
    assert int(figures["reached"]) == 0, "the interrupt surfaced only after further Python code ran"
    assert figures["again"] == "True"


def test_keyboard_interrupt_inside_a_conversion_carries_the_note():
    # An interrupt that arrives while Python code runs for an item (__float__)
    # surfaces there, and the module reports it like any conversion failure.
    figures, _ = run_child(
        """
        import _thread
        converting = [False]

        class Slow:
            # A plain flag: an interrupt inside Event.set() would leave its lock held.
            def __float__(self):
                converting[0] = True
                return 0.5

        def interrupt_once_converting():
            while not converting[0]:
                time.sleep(0.0005)
            _thread.interrupt_main()

        items = [Slow() for _ in range(300_000)]
        threading.Thread(target=interrupt_once_converting).start()
        try:
            disk(items, 1.0, 0.1)
            outcome = "returned"
        except KeyboardInterrupt as error:
            outcome = "KeyboardInterrupt:" + "|".join(getattr(error, "__notes__", []))
        report(outcome=outcome.replace(" ", "_"), later=bits(disk(items[:3], 1.0, 0.1)) == bits(disk([0.5] * 3, 1.0, 0.1)))
        """
    )
    assert figures["outcome"] == "KeyboardInterrupt:while_processing_'l'"
    assert figures["later"] == "True"


# ------------------------------------------------------- recursion limits

REENTRANT = """
class Reenters:
    # Each conversion calls the module again, until the interpreter's
    # recursion limit stops it inside one of the conversions.
    def __float__(self):
        return disk([self], 1.0, 1.0)[0]

try:
    disk([Reenters()], 1.0, 1.0)
    report(outcome="returned")
except RecursionError as error:
    report(outcome="RecursionError", notes=len(error.__notes__),
           later=bits(disk([0.5, 2.0], 1.0, 0.1)) == bits(disk([0.5], 1.0, 0.1) + disk([2.0], 1.0, 0.1)))
"""


def test_unbounded_reentrance_from_a_conversion_ends_in_recursion_error():
    figures, _ = run_child(REENTRANT)
    assert figures["outcome"] == "RecursionError"
    # Every level that was converting its 'l' added its note on the way out.
    assert int(figures["notes"]) > 100
    assert figures["later"] == "True"


NEAR_LIMIT = source(HugeLength) + """
def headroom(k=0):
    try:
        return headroom(k + 1)
    except RecursionError:
        return k

def deep(k, call):
    if k:
        return deep(k - 1, call)
    try:
        call()
        return "returned"
    except BaseException as error:
        return type(error).__name__

calls = {"item": lambda: disk([None], 1.0, 1.0), "panic": lambda: disk(HugeLength(), 1.0, 1.0)}
try:
    # The process's first failing call, a few frames below the limit: the
    # one-time values it needs (the PanicException type) are made right there.
    outcome = deep(headroom() - OFFSET, calls[KIND])
except RecursionError:
    outcome = "RecursionError-before-the-call"
report(outcome=outcome)
"""


@pytest.mark.parametrize("kind, expected", [("item", "TypeError"), ("panic", "PanicException")])
def test_a_first_failure_just_below_the_recursion_limit_is_raised(kind, expected):
    outcomes = set()
    for offset in range(10):
        figures, _ = run_child(NEAR_LIMIT.replace("OFFSET", str(offset)).replace("KIND", repr(kind)))
        outcomes.add(figures["outcome"])
    assert outcomes <= {expected, "RecursionError", "RecursionError-before-the-call"}
    assert expected in outcomes


# ------------------------------------------------ other threads during a call

# The last argument's conversion marks the start of the computation; from
# there until the call returns, the calling thread runs no Python code. With a
# switch interval of 1000 s the caller would keep the GIL all that time if it
# did not detach; the helpers give it up at every turn (sleep(0)).
BESIDE_A_LONG_CALL = """
import array, gc
state = {"phase": "converting", "progress": 0, "collections": 0}

class MarksTheStart:
    def __float__(self):
        state["phase"] = "computing"
        return 0.1

def count():
    while state["phase"] != "done":
        if state["phase"] == "computing":
            state["progress"] += 1
        time.sleep(0)

def collect():
    # Counts only collections that began and ended inside the computation.
    while state["phase"] != "done":
        if state["phase"] == "computing":
            gc.collect()
            if state["phase"] == "computing":
                state["collections"] += 1
        time.sleep(0)

sys.setswitchinterval(1000)
helpers = [threading.Thread(target=count), threading.Thread(target=collect)]
for helper in helpers:
    helper.start()
started = time.perf_counter()
CALL
state["phase"] = "done"
seconds = time.perf_counter() - started
for helper in helpers:
    helper.join()
report(seconds=round(seconds, 3), progress=state["progress"], collections=state["collections"])
"""


@pytest.mark.parametrize(
    "call",
    [
        "tovimera.integrated_heyrovsky_magnification([0.3 + 1e-4 * i for i in range(8000)], 1.0, MarksTheStart())",
        # A buffer, not 3e6 Python floats that every free-threaded collection would walk.
        "disk(array.array('d', [1e-6 * i for i in range(3_000_000)]), 1.0, MarksTheStart())",
    ],
    ids=["serial", "parallel_map"],
)
def test_other_threads_run_and_collect_during_a_long_call(call):
    # One worker leaves the second core to the helpers.
    figures, _ = run_child(BESIDE_A_LONG_CALL.replace("CALL", call), env={"RAYON_NUM_THREADS": "1"})
    print(f"\nbeside a long call: {figures}")
    # With the GIL: the counter runs at all. Free-threaded: every collection
    # stops the world, which an attached caller would hold up to the call's end.
    assert int(figures["progress"]) > 0
    assert int(figures["collections"]) >= 5


# -------------------------------------------------- first-use values re-entered

REENTERED_FIRST_USE = """
import builtins
real_import = builtins.__import__
reentered = []

def hook(name, *args, **kwargs):
    # Python code that runs while the module fetches collections.abc and
    # needs the same value on the same thread.
    if name == "collections.abc" and not reentered:
        reentered.append(True)
        try:
            disk(5, 1.0, 1.0)
        except TypeError as error:
            reentered.append(str(error))
    return real_import(name, *args, **kwargs)

builtins.__import__ = hook
try:
    disk({1.0}, 1.0, 1.0)
except TypeError as error:
    outer = str(error)
builtins.__import__ = real_import
report(inner=reentered[-1].replace(" ", "_"), outer=outer.replace(" ", "_"))
"""


def test_the_sequence_type_is_made_without_a_lock_held_over_python_code():
    figures, _ = run_child(REENTERED_FIRST_USE, timeout=60)
    assert figures["inner"] == "'int'_object_is_not_an_instance_of_'Sequence'"
    assert figures["outer"] == "'set'_object_is_not_an_instance_of_'Sequence'"


# ------------------------------------------- interpreter exit beside a daemon

# The main thread leaves while a daemon thread is inside a call. CPython ends
# the daemon with pthread_exit when it next wants the interpreter: inside a
# conversion's Python code, or as it re-attaches after the computation.
EXIT_BESIDE_A_DAEMON = """
class Slow:
    def __float__(self):
        time.sleep(0.0005)
        return 0.5

class SlowItems:
    def __len__(self):
        return 2000
    def __getitem__(self, index):
        if index >= 2000:
            raise IndexError(index)
        time.sleep(0.0005)
        return 0.5

calls = {
    "float_items": lambda: tovimera.integrated_witt_mao_magnification([Slow() for _ in range(2000)], 1.0, 0.1),
    "python_sequence": lambda: disk(SlowItems(), 1.0, 0.1),
    "float_argument": lambda: tovimera.integrated_witt_mao_magnification([0.5] * 10, 1.0, Slow()),
    "computing": lambda: tovimera.integrated_heyrovsky_magnification([0.3 + 1e-4 * i for i in range(3000)], 1.0, 0.1),
    "parallel_map": lambda: disk([1e-6 * i for i in range(2_000_000)], 1.0, 0.1),
}
inside = threading.Event()

def work():
    while True:
        inside.set()
        calls[KIND]()

# Several daemons and a random moment of leaving: on 3.11 one of them now and
# then woke after finalization had ended, where the exit's crashes were found.
for _ in range(4):
    threading.Thread(target=work, daemon=True).start()
inside.wait()
import random
time.sleep(random.uniform(0.0, 0.05))
report(leaving=True)
"""


@pytest.mark.parametrize("kind", ["float_items", "python_sequence", "float_argument", "computing", "parallel_map"])
def test_interpreter_exit_with_a_daemon_thread_inside_a_call(kind):
    for _ in range(5):
        figures, _ = run_child(EXIT_BESIDE_A_DAEMON.replace("KIND", repr(kind)), timeout=60)
        assert figures["leaving"] == "True"


# ------------------------------------------------------- sub-interpreters

FAILURES = "import sys, tovimera\n" + source(HugeLength) + """
seen = []
for call in (lambda: tovimera.witt_mao_magnification(HugeLength(), 1.0, 0.1),
             lambda: tovimera.witt_mao_magnification(5, 1.0, 0.1)):
    try:
        call()
    except BaseException as error:
        seen.append((type(error).__module__, type(error).__name__, error.args, getattr(error, "__notes__", [])))

"""

# The sub-interpreter makes the panic type, the Sequence type and the interned
# names first and is destroyed; the main interpreter then uses its own.
SUB_INTERPRETER = f"""
import _interpreters
FAILURES = {FAILURES!r}
interpreter = _interpreters.create(_interpreters.new_config(CONFIG))
try:
    failure = _interpreters.exec(interpreter, FAILURES + "assert seen[0][1] == 'PanicException', seen")
finally:
    _interpreters.destroy(interpreter)
namespace = {{}}
exec(FAILURES, namespace)
try:
    disk(namespace["HugeLength"](), 1.0, 0.1)
except BaseException as error:
    panic_type = type(error)
panic_type.__doc__ = "x"
import gc
gc.collect()
report(sub=("none" if failure is None else failure.type.__name__ + ":" + failure.msg).replace(" ", "_"),
       main=repr(namespace["seen"]).replace(" ", "_"), doc=panic_type.__doc__)
"""


@pytest.mark.skipif(sys.version_info < (3, 13), reason="_interpreters arrived in 3.13")
@pytest.mark.parametrize(
    "config, outcome",
    [
        ("'legacy'", "none"),
        ("'isolated', gil='shared'", "none"),
        ("'isolated'", "ImportError:module_tovimera_does_not_support_loading_in_subinterpreters"),
    ],
    ids=["legacy", "own_allocator_shared_gil", "own_gil"],
)
def test_values_made_in_a_sub_interpreter_die_with_it(config, outcome):
    figures, _ = run_child(SUB_INTERPRETER.replace("CONFIG", config), timeout=60)
    assert figures["sub"] == outcome
    expected = [
        ("pyo3_runtime", "PanicException", ("capacity overflow",), []),
        ("builtins", "TypeError", ("'int' object is not an instance of 'Sequence'",), ["while processing 'l'"]),
    ]
    assert figures["main"] == repr(expected).replace(" ", "_")
    assert figures["doc"] == "x"
