"""Other Python threads beside long calls.

  python bench/threads.py speedup   two threads calling integrated_heyrovsky_magnification
                                    against one thread doing both calls (GIL builds)
  python bench/threads.py stall     the longest gc.collect() in a second thread while the
                                    first is inside one long call (free-threaded builds)
  python bench/threads.py pool      a 1e6-element witt_mao_magnification call; run it with
                                    RAYON_NUM_THREADS set to compare pool sizes
"""

import gc
import sys
import threading
import time

import tovimera

SEPARATIONS = [0.3 + 1e-4 * i for i in range(4000)]


def call():
    tovimera.integrated_heyrovsky_magnification(SEPARATIONS, 1.0, 0.1)


def speedup(repeats=3):
    call()
    ones, twos, busy_one, busy = [], [], [], []
    for _ in range(repeats):
        started, cpu = time.perf_counter(), time.process_time()
        call()
        call()
        ones.append(time.perf_counter() - started)
        busy_one.append((time.process_time() - cpu) / ones[-1])
        threads = [threading.Thread(target=call) for _ in range(2)]
        started, cpu = time.perf_counter(), time.process_time()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        twos.append(time.perf_counter() - started)
        busy.append((time.process_time() - cpu) / twos[-1])
    # CPU time per wall second, two threads against one: near 2 when both run
    # at once, even on a machine that other work keeps busy.
    share = sum(busy) / sum(busy_one)
    print(f"two calls: one thread {min(ones):.3f} s, two threads {min(twos):.3f} s, "
          f"speed-up {min(ones) / min(twos):.2f}x; CPU per wall second, two threads / one: {share:.2f}")


def stall():
    call()

    def collections_beside(main_thread_work):
        pauses = []
        done = threading.Event()

        def collect():
            while not done.is_set():
                started = time.perf_counter()
                gc.collect()
                pauses.append(time.perf_counter() - started)

        collector = threading.Thread(target=collect)
        collector.start()
        started = time.perf_counter()
        main_thread_work()
        seconds = time.perf_counter() - started
        done.set()
        collector.join()
        pauses.sort()
        return seconds, pauses

    seconds, pauses = collections_beside(
        lambda: tovimera.integrated_heyrovsky_magnification([0.3 + 1e-4 * i for i in range(20_000)], 1.0, 0.1))
    # The same collections beside a sleeping thread: what the machine's other
    # work alone does to the pauses.
    _, floor = collections_beside(lambda: time.sleep(seconds))
    for name, values in (("beside the call", pauses), ("beside sleep()", floor)):
        print(f"{name}: {len(values)} collections in {seconds:.2f} s, median {1e3 * values[len(values) // 2]:.2f} ms, "
              f"99th percentile {1e3 * values[int(0.99 * (len(values) - 1))]:.2f} ms, longest {1e3 * values[-1]:.2f} ms")


def pool(repeats=5):
    import os

    l = [1e-6 * i for i in range(1_000_000)]
    started = time.perf_counter()
    tovimera.witt_mao_magnification(l, 1.0, 0.1)
    first = time.perf_counter() - started
    times, cpu_times = [], []
    for _ in range(repeats):
        started, cpu = time.perf_counter(), time.process_time()
        tovimera.witt_mao_magnification(l, 1.0, 0.1)
        times.append(time.perf_counter() - started)
        cpu_times.append(time.process_time() - cpu)
    # CPU time counts what spinning workers burn, and does not depend on
    # what else the machine runs.
    print(f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(default)')}: first call {first:.3f} s "
          f"(pool created), then best {min(times):.3f} s wall, {min(cpu_times):.3f} s CPU")


if __name__ == "__main__":
    {"speedup": speedup, "stall": stall, "pool": pool}[sys.argv[1]]()
