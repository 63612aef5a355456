"""Fit many microlensing events in parallel on a Dask distributed cluster.

Simulates single-lens events with a finite source from random parameters, with
survey-like cadence and noise, adds the seven events whose photometry the
MulensModel package ships, and fits each with a uniform-disk finite source
(tovimera's witt_mao_magnification) on a Dask cluster: a LocalCluster by
default, or the scheduler at the address given. Every worker sizes tovimera's
worker pool to its share of its machine's cores. Prints events per second and
the recovered parameters against the true ones, and writes them to a CSV.

    python examples/fit_many.py [--events N] [--workers P] [--threads T]
                                [--scheduler ADDRESS] [--benchmark] [--output DIR]
"""

import argparse
import csv
import importlib.util
import math
import os
import pathlib
import sys
import time

import numpy as np

PARAMETERS = ("t0", "u0", "tE", "rho")
HJD_OFFSET = 2450000.0

# The shipped events' files: which hold fluxes rather than magnitudes, and which come from a
# space telescope (another line of sight: a parallax fit, left out here).
FLUX_FILES = ("KB180003/", "OB03235/OB03235_MOA")
SPACE_FILES = ("spitzer",)


def simulate(seed):
    """One event: random lens and source, a survey's cadence and a CCD's noise."""
    rng = np.random.default_rng(seed)
    truth = {"t0": rng.uniform(-5.0, 5.0), "u0": 10 ** rng.uniform(-2.3, -0.7), "tE": rng.uniform(8.0, 40.0),
             "rho": 10 ** rng.uniform(-2.5, -1.5)}
    truth["u0"] = min(truth["u0"], 2.0 * truth["rho"]) if rng.uniform() < 0.5 else truth["u0"]
    # Four points a night over the season, and a follow-up team's denser run over the peak.
    season = np.arange(-60.0, 60.0, 0.25) + rng.normal(0, 0.02, 480)
    peak = truth["t0"] + np.linspace(-3, 3, 150) * max(truth["rho"], truth["u0"]) * truth["tE"]
    t = np.sort(np.concatenate([season, peak]))
    a = disk_magnification(t, truth["t0"], truth["u0"], truth["tE"], truth["rho"])
    source, blend = 10 ** rng.uniform(2.0, 3.0), 10 ** rng.uniform(1.5, 3.0)
    flux = source * a + blend
    # Photon noise of source, blend and sky, plus 0.3 % systematics.
    error = np.sqrt(flux + 200.0 + (0.003 * flux) ** 2)
    observed = flux + rng.normal(0.0, 1.0, len(t)) * error
    return {"name": f"simulated {seed}", "t": t, "flux": observed, "err": error, "index": np.zeros(len(t), int),
            "sets": 1, "truth": truth}


def shipped_events():
    """The seven events of MulensModel's data/photometry_files, read as plain text."""
    found = importlib.util.find_spec("MulensModel")
    if found is None or found.origin is None:
        return []
    root = pathlib.Path(found.origin).parent / "data" / "photometry_files"
    events = []
    for folder in sorted(p for p in root.iterdir() if p.is_dir()):
        ts, fluxes, errors, index = [], [], [], []
        for path in sorted(folder.iterdir()):
            key = f"{folder.name}/{path.name}"
            if path.name.lower().startswith(("readme", "00readme")) or any(s in key.lower() for s in SPACE_FILES):
                continue
            rows = []
            for line in path.read_text().splitlines():
                fields = line.split()
                if not fields or line[0] in "\\|#":
                    continue
                try:
                    rows.append([float(x) for x in fields[:3]])
                except ValueError:
                    continue
            data = np.array(rows)
            if data.ndim != 2 or len(data) < 10:
                continue
            t = data[:, 0] + (HJD_OFFSET if data[0, 0] < 1e6 else 0.0) - HJD_OFFSET
            if key.startswith(FLUX_FILES):
                flux, err = data[:, 1], data[:, 2]
            else:
                flux = 10.0 ** (-0.4 * (data[:, 1] - 22.0))
                err = flux * 0.4 * math.log(10.0) * data[:, 2]
            good = np.isfinite(flux) & (err > 0)
            ts.append(t[good]); fluxes.append(flux[good]); errors.append(err[good])
            index.append(np.full(int(good.sum()), len(index)))
        if ts:
            events.append({"name": folder.name, "t": np.concatenate(ts), "flux": np.concatenate(fluxes),
                           "err": np.concatenate(errors), "index": np.concatenate(index), "sets": len(ts),
                           "truth": None})
    return events


def disk_magnification(t, t0, u0, te, rho):
    import tovimera_fit

    return tovimera_fit.magnification(np.hypot(u0, (t - t0) / te), rho, "uniform")


def chi2(event, p):
    t0, u0, te, rho = p
    if not (u0 > 0 and te > 0 and rho > 0):
        return math.inf
    a = disk_magnification(event["t"], t0, u0, te, rho)
    w, k, n = 1.0 / event["err"] ** 2, event["index"], event["sets"]

    def total(values):
        return np.bincount(k, weights=values, minlength=n)

    # Each dataset's source and blend flux: weighted linear least squares in closed form.
    s, sa, saa = total(w), total(w * a), total(w * a * a)
    sy, say = total(w * event["flux"]), total(w * a * event["flux"])
    det = s * saa - sa * sa
    source, blend = (s * say - sa * sy) / det, (saa * sy - sa * say) / det
    return float(np.sum(w * (event["flux"] - source[k] * a - blend[k]) ** 2))


def fit_one(event):
    """Nelder-Mead in (t0, ln u0, ln tE, ln rho), restarted until a restart gains nothing."""
    from scipy.optimize import minimize

    start = time.perf_counter()
    t, flux = event["t"], event["flux"]
    # Start at the brightest binned point, from the two best of a small grid of impacts and
    # source sizes and the best with the lens crossing the source, and keep the best fit: from
    # any one start, events whose lens passes near the source often settle in a false minimum
    # (u0 = rho, or a point source).
    order = np.argsort(t)
    smooth = np.convolve(flux[order] / np.median(event["err"]), np.ones(5) / 5, mode="same")
    peak = t[order][int(np.argmax(smooth))]
    grid = [(u0, te, rho) for u0 in (0.003, 0.01, 0.03, 0.1, 0.3) for te in (10.0, 30.0)
            for rho in (0.001, 0.003, 0.01, 0.03)]
    grid.sort(key=lambda g: chi2(event, (peak, *g)))
    crossing = [g for g in grid if g[0] < g[2]]
    best_x, value = None, math.inf
    for u0, te, rho in grid[:2] + crossing[:1]:
        x, last = np.array([peak, math.log(u0), math.log(te), math.log(rho)]), math.inf
        for _ in range(5):
            simplex = np.vstack([x, x + np.diag([0.5, 0.7, 0.3, 0.7])])
            result = minimize(lambda y: chi2(event, (y[0], *np.exp(y[1:]))), x, method="Nelder-Mead",
                              options={"initial_simplex": simplex, "xatol": 1e-6, "fatol": 1e-3, "maxfev": 4000})
            gain, x, last = last - result.fun, result.x, float(result.fun)
            if gain < 0.01:
                break
        if last < value:
            best_x, value = x, last
    x = best_x
    fitted = dict(zip(PARAMETERS, (x[0], *np.exp(x[1:]))))
    dof = len(t) - 4 - 2 * event["sets"]
    return {"name": event["name"], "fitted": fitted, "truth": event["truth"], "chi2": value, "dof": dof,
            "points": len(t), "seconds": time.perf_counter() - start, "pid": os.getpid()}


def pool_share(processes_on_host):
    """Threads for tovimera's pool in one worker process: its share of the usable cores."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:
        cores = os.cpu_count() or 1
    return max(1, cores // max(1, processes_on_host))


def size_pools(client):
    """Sets RAYON_NUM_THREADS in every worker process before tovimera's pool exists there.

    The pool reads it once, at its first use, so a plugin that runs as each worker starts
    is early enough. Worker processes on one host split its cores: P processes each with a
    full pool would run P times as many threads as there are cores.
    """
    from distributed.diagnostics.plugin import WorkerPlugin

    workers = client.scheduler_info()["workers"].values()
    per_host = {}
    for info in workers:
        per_host.setdefault(info["host"], set()).add(info.get("pid", info["id"]))
    counts = {host: len(pids) for host, pids in per_host.items()}

    class PoolSize(WorkerPlugin):
        def setup(self, worker):
            os.environ["RAYON_NUM_THREADS"] = str(pool_share(counts.get(worker.address.split("://")[-1].rsplit(":", 1)[0], 1)))

    client.register_plugin(PoolSize(), name="tovimera-pool-size")
    return client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))


def run(events, scheduler=None, workers=2, threads=1):
    """Fits every event on the cluster; returns the results in input order and the wall time."""
    from distributed import Client, LocalCluster

    cluster = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                               dashboard_address=None, silence_logs=40)
        client = Client(cluster)
    else:
        client = Client(scheduler)
    try:
        sizes = size_pools(client)
        start = time.perf_counter()
        futures = client.map(fit_one, events, pure=False)
        done = 0
        from distributed import as_completed

        for _ in as_completed(futures):
            done += 1
            print(f"\r  {done}/{len(events)} events fitted  {time.perf_counter() - start:6.1f} s", end="",
                  file=sys.stderr, flush=True)
        print(file=sys.stderr)
        results = client.gather(futures)
        return results, time.perf_counter() - start, sizes
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def report(results):
    lines = [f"{'event':<16}{'points':>7}" + "".join(f"{p + ' fit':>12}{p + ' true':>12}" for p in PARAMETERS)
             + f"{'chi2/dof':>10}"]
    for r in results:
        true = r["truth"] or {}
        cells = "".join(f"{r['fitted'][p]:>12.5g}{true.get(p, math.nan):>12.5g}" for p in PARAMETERS)
        lines.append(f"{r['name']:<16}{r['points']:>7}{cells}{r['chi2'] / max(r['dof'], 1):>10.3f}")
    return "\n".join(lines)


def write_csv(path, results):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["event", "points", *(f"{p}_{w}" for p in PARAMETERS for w in ("fit", "true")),
                         "chi2", "dof", "seconds", "worker_pid"])
        for r in results:
            true = r["truth"] or {}
            writer.writerow([r["name"], r["points"],
                             *(f"{v:.10g}" for p in PARAMETERS for v in (r["fitted"][p], true.get(p, math.nan))),
                             f"{r['chi2']:.4f}", r["dof"], f"{r['seconds']:.4f}", r["pid"]])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=40, help="simulated events (default 40)")
    parser.add_argument("--no-shipped", action="store_true", help="leave out MulensModel's seven events")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=1, help="threads per worker process (default 1)")
    parser.add_argument("--benchmark", action="store_true",
                        help="time 1 and 2 worker processes, and 1 process with 2 threads, on a LocalCluster")
    parser.add_argument("--seed", type=int, default=1, help="first simulated event's seed (default 1)")
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out"),
                        help="folder for fit_many.csv (default ./out)")
    options = parser.parse_args(argv)
    if options.events < 0 or options.workers < 1 or options.threads < 1:
        parser.error("--events must be at least 0, --workers and --threads at least 1")
    try:
        options.output.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        print(f"error: cannot write to the output folder {str(options.output)!r}: {error.strerror or error}",
              file=sys.stderr)
        return 2

    events = [simulate(options.seed + i) for i in range(options.events)]
    if not options.no_shipped:
        shipped = shipped_events()
        if not shipped:
            print("MulensModel is not installed: its seven events are left out", file=sys.stderr)
        events += shipped
    if not events:
        parser.error("no events to fit")

    if options.benchmark and options.scheduler is None:
        for workers, threads in ((1, 1), (2, 1), (1, 2)):
            results, seconds, sizes = run(events, workers=workers, threads=threads)
            print(f"{workers} worker process(es) x {threads} thread(s): {len(events)} events in {seconds:.2f} s, "
                  f"{len(events) / seconds:.2f} events/s; pool sizes {sorted(set(sizes.values()))}")
    else:
        results, seconds, sizes = run(events, options.scheduler, options.workers, options.threads)
        where = options.scheduler or f"LocalCluster, {options.workers} process(es) x {options.threads} thread(s)"
        print(f"{where}: {len(events)} events in {seconds:.2f} s, {len(events) / seconds:.2f} events/s; "
              f"tovimera pool size per worker: {sorted(set(sizes.values()))}")

    print(report(results))
    simulated = [r for r in results if r["truth"]]
    if simulated:
        # rho is measured only where the lens passes over the source; elsewhere it is a limit.
        crossing = [r for r in simulated if r["truth"]["u0"] < r["truth"]["rho"]]
        for p, group in (("u0", simulated), ("tE", simulated), ("rho", crossing)):
            if not group:
                continue
            ratio = np.array([r["fitted"][p] / r["truth"][p] for r in group])
            print(f"{p}: fitted / true over {len(group)} events{' (lens crosses the source)' if p == 'rho' else ''}: "
                  f"median {np.median(ratio):.4f}, 16-84 % {np.percentile(ratio, 16):.4f} to "
                  f"{np.percentile(ratio, 84):.4f}")
    path = options.output / "fit_many.csv"
    write_csv(path, results)
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
