"""The fitting examples run end to end: a real event's fit is physically sensible, and a
two-worker Dask LocalCluster recovers the parameters events were simulated with."""

import csv
import importlib
import math
import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
pytest.importorskip("scipy", reason="the fits solve with scipy")


def run(script, *args, timeout=600):
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                          timeout=timeout)


def rows(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def test_fit_event_real_photometry(tmp_path):
    pytest.importorskip("MulensModel", reason="the photometry ships with MulensModel")
    done = run("fit_event.py", "--no-vbm", "--output", str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "fit_event.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    fits = {row["model"]: row for row in rows(tmp_path / "fit_event.csv")}
    assert set(fits) == {"limb-darkened", "uniform disk"}
    for row in fits.values():
        t0, u0, te, rho = (float(row[p]) for p in ("t0", "u0", "tE", "rho"))
        # The lens crosses the source (u0 < rho) of a 9-15 day event peaking on HJD' 4656.4,
        # and theta_E / mu_rel from Janczak et al. 2010's abstract gives tE near 11 days.
        assert abs(t0 - 4656.40) < 0.01
        assert 0 < u0 < rho < 0.01
        assert 9.0 < te < 15.0
        for p in ("t0", "u0", "tE", "rho"):
            error = float(row[p + "_err"])
            assert 0 < error < 0.1 * abs(float(row[p])) or p == "t0" and 0 < error < 0.001
        chi2, dof = float(row["chi2"]), int(row["dof"])
        assert 0.5 < chi2 / dof < 2.0
    # Limb darkening is what this event's peak needs: its chi2 is far below the uniform disk's,
    # and the dimmer limb of the same light curve asks for a larger source.
    assert float(fits["limb-darkened"]["chi2"]) < float(fits["uniform disk"]["chi2"]) - 50
    assert float(fits["limb-darkened"]["rho"]) > float(fits["uniform disk"]["rho"])
    points = rows(tmp_path / "fit_event_points.csv")
    masked = [row for row in points if row["masked"] == "1"]
    assert 0 < len(masked) < 50 and len(points) == 3482
    assert all(abs(float(row["hjd_minus_2450000"]) - 4656.40) < 0.1 for row in masked)
    assert "planetary deviation: masked" in done.stdout and "ms per model" in done.stdout


def test_fit_many_two_worker_local_cluster(tmp_path):
    pytest.importorskip("distributed", reason="the example runs on Dask distributed")
    done = run("fit_many.py", "--events", "4", "--seed", "1", "--no-shipped", "--workers", "2",
               "--output", str(tmp_path))
    assert done.returncode == 0, done.stderr
    results = rows(tmp_path / "fit_many.csv")
    assert [row["event"] for row in results] == [f"simulated {seed}" for seed in range(1, 5)]
    crossing = 0
    for row in results:
        fit = {p: float(row[p + "_fit"]) for p in ("t0", "u0", "tE", "rho")}
        true = {p: float(row[p + "_true"]) for p in ("t0", "u0", "tE", "rho")}
        assert abs(fit["t0"] - true["t0"]) < 0.01 * true["tE"]
        assert abs(fit["tE"] / true["tE"] - 1) < 0.15
        assert abs(fit["u0"] / true["u0"] - 1) < 0.3
        if true["u0"] < true["rho"]:
            crossing += 1
            assert abs(fit["rho"] / true["rho"] - 1) < 0.1
        assert 0.7 < float(row["chi2"]) / int(row["dof"]) < 1.4
    assert crossing >= 1
    # Two worker processes on one host split its cores between their pools.
    share = max(1, len(os.sched_getaffinity(0)) // 2)
    assert f"tovimera pool size per worker: ['{share}']" in done.stdout
    assert math.isfinite(float(done.stdout.split(" events/s")[0].rsplit(", ", 1)[1]))


def example(name):
    sys.path.insert(0, str(EXAMPLES))
    try:
        return importlib.import_module(name)
    finally:
        sys.path.remove(str(EXAMPLES))


@pytest.fixture(scope="module")
def fit_event():
    return example("fit_event")


@pytest.fixture(scope="module")
def fit_many():
    return example("fit_many")


def synthetic_event(module, sets=3, points=200, seed=4):
    import numpy as np

    rng = np.random.default_rng(seed)
    event = module.Event.__new__(module.Event)
    event.sets = [None] * sets
    event.t = np.sort(rng.uniform(-1.0, 1.0, points))
    event.index = rng.integers(0, sets, points)
    event.err = rng.uniform(0.5, 2.0, points)
    event.mask = np.ones(points, dtype=bool)
    return event


@pytest.mark.parametrize("sets", [1, 3])
def test_fluxes_match_weighted_least_squares(fit_event, sets):
    import numpy as np

    event = synthetic_event(fit_event, sets)
    rng = np.random.default_rng(sets)
    a = 1.0 + 50.0 / (1.0 + (event.t / 0.1) ** 2)
    event.flux = rng.uniform(1, 5, sets)[event.index] * a + rng.uniform(-2, 2, sets)[event.index] \
        + rng.normal(0, 1, len(a)) * event.err
    source, blend = fit_event.fluxes(event, a)
    for k in range(sets):
        mine = event.index == k
        design = np.column_stack([a[mine], np.ones(mine.sum())]) / event.err[mine, None]
        expected, *_ = np.linalg.lstsq(design, event.flux[mine] / event.err[mine], rcond=None)
        assert source[k] == pytest.approx(expected[0], rel=1e-10)
        assert blend[k] == pytest.approx(expected[1], rel=1e-9, abs=1e-9)


class Smooth:
    """A fixed magnification curve: the data below are 2 A + 1 plus noise (and a bump)."""

    def curve(self, t, *p):
        return 1.0 + 1.0 / (t * t + 0.1)


@pytest.mark.parametrize("sign", [1.0, -1.0])
def test_deviation_window_brackets_a_coherent_run(fit_event, sign):
    import numpy as np

    event = synthetic_event(fit_event, sets=1, points=400)
    event.index[:] = 0
    rng = np.random.default_rng(7)
    # Noise whose residuals flip sign, and 8 sigma over 0.20 < t < 0.26.
    event.flux = 2.0 * Smooth().curve(event.t) + 1.0 + rng.normal(0, 1, 400) * event.err
    bump = (event.t > 0.20) & (event.t < 0.26)
    event.flux[bump] += sign * 8.0 * event.err[bump]
    window = fit_event.find_deviation(event, np.array([0.0, 0.1, 1.0, 0.5]), Smooth())
    assert window is not None
    times = np.sort(event.t)
    # Two points either side of the run, and never more than a few points beyond the bump.
    assert window[0] <= times[np.searchsorted(times, 0.20)] and window[1] >= times[np.searchsorted(times, 0.26) - 1]
    assert window[0] > 0.20 - 0.05 and window[1] < 0.26 + 0.05


def test_no_deviation_in_noise(fit_event):
    import numpy as np

    event = synthetic_event(fit_event, sets=1, points=400)
    event.index[:] = 0
    event.flux = 2.0 * Smooth().curve(event.t) + 1.0 + np.random.default_rng(8).normal(0, 1, 400) * event.err
    assert fit_event.find_deviation(event, np.array([0.0, 0.1, 1.0, 0.5]), Smooth()) is None


@pytest.mark.parametrize("processes, expected", [(1, 1.0), (2, 0.5), (4, 0.25), (1000, None)])
def test_pool_share_splits_the_cores(fit_many, processes, expected):
    cores = len(os.sched_getaffinity(0))
    share = fit_many.pool_share(processes)
    assert share == (max(1, int(cores * expected)) if expected else 1)


def test_shipped_events_read_as_flux_or_magnitude(fit_many):
    pytest.importorskip("MulensModel", reason="the photometry ships with MulensModel")
    import numpy as np

    events = {e["name"]: e for e in fit_many.shipped_events()}
    assert sorted(events) == ["KB180003", "MB08310", "OB03235", "OB05086", "OB08092", "OB140939", "OB161195"]
    # Spitzer's light curves are left out: one ground dataset for OB140939, nine for OB161195.
    assert events["OB140939"]["sets"] == 1 and events["OB161195"]["sets"] == 9
    for event in events.values():
        assert np.all(event["err"] > 0) and np.all(np.isfinite(event["flux"]))
        # Times as HJD - 2450000 whatever the file wrote: every event lies in 2000-2018.
        assert 1500 < np.median(event["t"]) < 8500
        # Magnitudes turned into fluxes are positive; only difference-imaging fluxes go negative.
        negative = np.flatnonzero(event["flux"] <= 0)
        assert event["name"] in ("KB180003", "OB03235") or negative.size == 0
