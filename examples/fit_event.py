"""Fit the finite-source microlensing event MOA-2008-BLG-310 with tovimera.

Reads the event's photometry from the data files the MulensModel package ships
(seven observatories; Janczak et al. 2010, ApJ 711, 731), masks the short
planetary deviation at the peak, and fits a single lens with a finite source:
the linearly limb-darkened source (coefficient 0.6) by tovimera's ring route,
and the uniform disk as a second model. Each dataset's source and blend fluxes
are solved linearly at every step. When VBMicrolensing is installed the same
fits are repeated with it. Writes a figure, two CSV tables and a summary.

    python examples/fit_event.py [--output DIR] [--no-vbm]
"""

import argparse
import csv
import importlib.util
import math
import pathlib
import sys
import time

import numpy as np
from scipy.optimize import minimize

import tovimera_fit

EVENT = "MOA-2008-BLG-310"
FOLDER = "MB08310"  # the event's folder in MulensModel's data/photometry_files
HJD_OFFSET = 2450000.0
LIMB_COEFFICIENT = 0.6  # the linear law tovimera's integrated functions use
RUN = 5  # consecutive points averaged when looking for the deviation
PARAMETERS = ("t0", "u0", "tE", "rho")
UNITS = {"t0": "HJD-2450000", "u0": "", "tE": "d", "rho": ""}

# Janczak et al. 2010 (ApJ 711, 731), from its abstract: the values we could check. They
# belong to the planetary (binary-lens) model fitted to all the data, the deviation included.
PUBLISHED = {
    "q": "(3.3 +- 0.3)e-4 (planet/star mass ratio)",
    "theta_E": "0.155 +- 0.011 mas",
    "mu_rel": "about 5 mas/yr",
    "delta_chi2": "about 880 in favour of the planet over the single lens",
}
# tE = theta_E / mu_rel follows from the two figures above; the paper's own t0, u0, tE and
# rho were not available to us to verify, so the table leaves them out rather than guess.
PUBLISHED_TE = 0.155 / 5.0 * 365.25


def data_folder():
    """MulensModel's copy of the event's photometry, found without importing MulensModel."""
    found = importlib.util.find_spec("MulensModel")
    if found is None or found.origin is None:
        raise SystemExit("error: the photometry comes from the MulensModel package: pip install MulensModel")
    folder = pathlib.Path(found.origin).parent / "data" / "photometry_files" / FOLDER
    if not folder.is_dir():
        raise SystemExit(f"error: {folder} is missing from this MulensModel installation")
    return folder


class Dataset:
    def __init__(self, name, band, t, mag, mag_err):
        self.name, self.band = name, band
        self.t, self.mag, self.mag_err = t, mag, mag_err
        # Relative fluxes on an arbitrary zero point; each dataset gets its own source and blend.
        self.flux = 10.0 ** (-0.4 * (mag - 22.0))
        self.flux_err = self.flux * 0.4 * math.log(10.0) * mag_err


def read_table(path):
    """An IPAC-style table from the NASA Exoplanet Archive: '\\' header keys, '|' column rows."""
    keys, rows = {}, []
    for line in path.read_text().splitlines():
        if line.startswith("\\"):
            key, _, value = line[1:].partition("=")
            keys[key.strip()] = value.strip().strip('"')
        elif line.strip() and not line.startswith("|"):
            rows.append([float(x) for x in line.split()[:3]])
    data = np.array(rows)
    telescope = keys.get("TELESCOPE", path.stem).split(" (")[0].replace(" Telescope", "")
    band = keys.get("TIME_SERIES_DATA_FILTER", "?")
    return Dataset(f"{telescope} {band}", band, data[:, 0] - HJD_OFFSET, data[:, 1], data[:, 2])


def load(folder):
    sets = [read_table(path) for path in sorted(folder.glob("*.tbl"))]
    if not sets:
        raise SystemExit(f"error: no photometry tables in {folder}")
    # The survey, with the baseline, first: it sets the magnitude scale of the figure.
    return sorted(sets, key=lambda d: -len(d.t))


class Event:
    """All datasets flattened into arrays, with the index of each point's dataset."""

    def __init__(self, sets):
        self.sets = sets
        self.t = np.concatenate([d.t for d in sets])
        self.flux = np.concatenate([d.flux for d in sets])
        self.err = np.concatenate([d.flux_err for d in sets])
        self.index = np.concatenate([np.full(len(d.t), k) for k, d in enumerate(sets)])
        self.mask = np.ones(len(self.t), dtype=bool)

    def select(self, keep):
        part = Event.__new__(Event)
        part.sets = self.sets
        for name in ("t", "flux", "err", "index"):
            setattr(part, name, getattr(self, name)[keep])
        part.mask = np.ones(int(np.sum(keep)), dtype=bool)
        return part


def fluxes(event, magnification):
    """Source and blend flux of each dataset by weighted linear least squares, in closed form."""
    w = 1.0 / event.err**2
    n = len(event.sets)

    def total(values):
        return np.bincount(event.index, weights=values, minlength=n)

    s, sa, saa = total(w), total(w * magnification), total(w * magnification**2)
    sy, say = total(w * event.flux), total(w * magnification * event.flux)
    det = s * saa - sa * sa
    source = (s * say - sa * sy) / det
    blend = (saa * sy - sa * say) / det
    return source, blend


class Model:
    """A finite-source point-lens light curve from one magnification routine."""

    def __init__(self, label, code, magnification):
        self.label, self.code, self.magnification = label, code, magnification
        self.calls, self.seconds = 0, 0.0

    def curve(self, t, t0, u0, te, rho):
        u = np.hypot(u0, (t - t0) / te)
        start = time.perf_counter()
        values = self.magnification(t, u, t0, u0, te, rho)
        self.seconds += time.perf_counter() - start
        self.calls += 1
        return values

    def chi2(self, event, p):
        t0, u0, te, rho = p
        if not (u0 > 0 and te > 0 and rho > 0):
            return math.inf
        a = self.curve(event.t, t0, u0, te, rho)
        source, blend = fluxes(event, a)
        model = source[event.index] * a + blend[event.index]
        return float(np.sum(((event.flux - model) / event.err) ** 2))

    @property
    def ms_per_model(self):
        return 1e3 * self.seconds / max(self.calls, 1)


def tovimera_models():
    def limb(t, u, t0, u0, te, rho):
        return tovimera_fit.magnification(u, rho, "rings", LIMB_COEFFICIENT)

    def disk(t, u, t0, u0, te, rho):
        return tovimera_fit.magnification(u, rho, "uniform")

    return [Model("limb-darkened", "tovimera", limb), Model("uniform disk", "tovimera", disk)]


def vbm_models():
    try:
        import VBMicrolensing
    except ImportError:
        return []

    def make(coefficient):
        engine = VBMicrolensing.VBMicrolensing()
        engine.a1 = coefficient

        def magnification(t, u, t0, u0, te, rho):
            engine.a1 = coefficient
            curve = engine.ESPLLightCurve([math.log(u0), math.log(te), t0, math.log(rho)], t.tolist())
            return np.asarray(curve[0])

        return magnification

    return [Model("limb-darkened", "VBMicrolensing", make(LIMB_COEFFICIENT)),
            Model("uniform disk", "VBMicrolensing", make(0.0))]


class Progress:
    """One status line on stderr, rewritten at most ten times a second."""

    def __init__(self, label):
        self.label, self.start, self.last, self.count = label, time.perf_counter(), 0.0, 0

    def update(self, chi2):
        self.count += 1
        now = time.perf_counter()
        if now - self.last > 0.1:
            self.last = now
            print(f"\r  {self.label:<40} {self.count:5d} models  chi2 {chi2:12.2f}  {now - self.start:5.1f} s",
                  end="", file=sys.stderr, flush=True)

    def finish(self, chi2):
        print(f"\r  {self.label:<40} {self.count:5d} models  chi2 {chi2:12.2f}  "
              f"{time.perf_counter() - self.start:5.1f} s", file=sys.stderr, flush=True)


def fit(model, event, start):
    """Nelder-Mead in (t0, ln u0, ln tE, ln rho): the scales differ by orders of magnitude."""
    progress = Progress(f"{model.code}, {model.label}")

    def objective(x):
        value = model.chi2(event, (x[0], *np.exp(x[1:])))
        progress.update(value)
        return value

    x, value = np.array([start[0], *np.log(start[1:])]), math.inf
    # Restarted from a fresh simplex until a restart gains nothing: a single run stalls in the
    # curved valley that u0, tE, rho and the blend fluxes make together.
    for _ in range(6):
        simplex = x + np.diag([0.002, 0.2, 0.1, 0.1])
        result = minimize(objective, x, method="Nelder-Mead",
                          options={"initial_simplex": np.vstack([x, simplex]), "xatol": 1e-6, "fatol": 1e-3,
                                   "maxfev": 3000})
        gain, x, value = value - result.fun, result.x, float(result.fun)
        if gain < 0.01:
            break
    best = np.array([x[0], *np.exp(x[1:])])
    progress.finish(value)
    return best, value


def derivatives(model, event, p, chi2):
    """Gradient and Hessian of chi2 by central differences, fluxes re-solved at every point.

    Steps of 1 % of each parameter (t0 on the scale u0 tE): with 0.1 % the curvature along
    the flat valley came out negative at the minimum, for both codes' models.
    """
    steps = 1e-2 * np.array([p[1] * p[2], p[1], p[2], p[3]])
    n = len(p)
    f = lambda q: model.chi2(event, q)  # noqa: E731
    gradient, hessian = np.zeros(n), np.zeros((n, n))
    for i in range(n):
        ei = np.eye(n)[i] * steps[i]
        up, down = f(p + ei), f(p - ei)
        gradient[i] = (up - down) / (2 * steps[i])
        hessian[i, i] = (up - 2 * chi2 + down) / steps[i] ** 2
        for j in range(i):
            ej = np.eye(n)[j] * steps[j]
            hessian[i, j] = hessian[j, i] = (f(p + ei + ej) - f(p + ei - ej) - f(p - ei + ej)
                                             + f(p - ei - ej)) / (4 * steps[i] * steps[j])
    return gradient, hessian


def polish(model, event, p, chi2, rounds=8):
    """Newton steps from where Nelder-Mead stopped, then the errors from the last Hessian.

    Nelder-Mead stalls in the long valley that u0, tE and the blend fluxes make together;
    steps on the curvature go down it. Errors are 1 sigma from cov = 2 H^-1.
    """
    for _ in range(rounds):
        gradient, hessian = derivatives(model, event, p, chi2)
        scale = np.abs(np.diag(hessian))
        # Damped (Levenberg-Marquardt) where the plain Newton step goes uphill: off the
        # valley floor the curvature along it can be negative.
        for damping in (0.0, 1e-4, 1e-3, 1e-2, 1e-1, 1.0, 10.0):
            try:
                step = -np.linalg.solve(hessian + damping * np.diag(scale), gradient)
            except np.linalg.LinAlgError:
                continue
            value = model.chi2(event, p + step)
            if value < chi2:
                break
        else:
            break
        improvement = chi2 - value
        p, chi2 = p + step, value
        if improvement < 1e-3:
            break
    gradient, hessian = derivatives(model, event, p, chi2)
    try:
        variance = np.diag(2.0 * np.linalg.inv(hessian))
    except np.linalg.LinAlgError:
        variance = np.full(len(p), math.nan)
    return p, chi2, np.sqrt(np.where(variance > 0, variance, math.nan))


def find_deviation(event, best, model):
    """The most significant coherent deviation from a fit, as a time window, or None.

    Over the source crossing (|t - t0| < 3 rho tE), the normalised residuals of all datasets
    in time order are averaged over five consecutive points. A run whose average reaches 6
    sigma in one direction is a deviation the single lens cannot follow (scatter flips sign
    from point to point; a planet's caustic moves several in a row); the window spans it
    while the average stays beyond 3 sigma the same way, and the two points either side.
    """
    t0, u0, te, rho = best
    a = model.curve(event.t, *best)
    source, blend = fluxes(event.select(event.mask), a[event.mask])
    r = (event.flux - source[event.index] * a - blend[event.index]) / event.err
    near = np.flatnonzero((np.abs(event.t - t0) < 3 * rho * te) & event.mask)
    near = near[np.argsort(event.t[near], kind="stable")]
    if len(near) < RUN:
        return None
    run = np.convolve(r[near], np.ones(RUN) / RUN, mode="same")
    peak = int(np.argmax(np.abs(run)))
    if abs(run[peak]) < 6.0:
        return None
    side = np.sign(run[peak])
    lo = hi = peak
    while lo > 0 and side * run[lo - 1] > 3.0:
        lo -= 1
    while hi < len(near) - 1 and side * run[hi + 1] > 3.0:
        hi += 1
    times = event.t[near]
    return times[max(lo - RUN // 2, 0)], times[min(hi + RUN // 2, len(near) - 1)]


def write_parameters(path, rows):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["code", "model", *(x for p in PARAMETERS for x in (p, f"{p}_err")), "chi2", "dof",
                         "ms_per_model", "models_evaluated"])
        for row in rows:
            writer.writerow([row["code"], row["model"],
                             *(f"{v:.10g}" for p in PARAMETERS for v in (row[p], row[p + "_err"])),
                             f"{row['chi2']:.4f}", row["dof"], f"{row['ms']:.4f}", row["calls"]])


def write_points(path, event, curves):
    with open(path, "w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["dataset", "hjd_minus_2450000", "flux", "flux_err", "masked",
                         *(f"magnification, {label}" for label in curves)])
        for i in range(len(event.t)):
            writer.writerow([event.sets[event.index[i]].name, f"{event.t[i]:.7f}", f"{event.flux[i]:.6g}",
                             f"{event.err[i]:.4g}", int(not event.mask[i]),
                             *(f"{c[i]:.8g}" for c in curves.values())])


def plot(path, event, rows, windows, curves):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    best = rows[0]
    p = [best[name] for name in PARAMETERS]
    model = tovimera_models()[0]
    source, blend = best["source"], best["blend"]
    # Every dataset brought to the first one's flux scale: (F - blend_k) / source_k is the magnification.
    a_data = (event.flux - blend[event.index]) / source[event.index]
    a_err = event.err / source[event.index]

    def magnitude(a):
        return 22.0 - 2.5 * np.log10(np.maximum(source[0] * a + blend[0], 1e-30))

    def magnitude_error(a):
        return 2.5 / math.log(10.0) * source[0] * a_err / np.maximum(source[0] * a + blend[0], 1e-30)

    t0, u0, te, rho = p
    grid = np.concatenate([np.linspace(t0 - 3 * te, t0 + 3 * te, 1500), np.linspace(t0 - 0.3, t0 + 0.3, 1500)])
    grid.sort()
    a_grid = model.curve(grid, *p)
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(10, 8), sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    inset = top.inset_axes([0.58, 0.38, 0.4, 0.58])
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for k, d in enumerate(event.sets):
        mine = event.index == k
        used, masked = mine & event.mask, mine & ~event.mask
        colour = colours[k % len(colours)]
        for axis in (top, inset):
            axis.errorbar(event.t[used], magnitude(a_data[used]), yerr=magnitude_error(a_data)[used],
                          fmt="o", ms=2.5, lw=0.6, color=colour, label=f"{d.name} ({np.sum(mine)})" if axis is top else None)
            axis.plot(event.t[masked], magnitude(a_data[masked]), "x", ms=4, color=colour, alpha=0.6)
        bottom.errorbar(event.t[used], magnitude(a_data[used]) - magnitude(curves["tovimera limb-darkened"][used]),
                        yerr=magnitude_error(a_data)[used], fmt="o", ms=2, lw=0.5, color=colour)
        bottom.plot(event.t[masked], magnitude(a_data[masked]) - magnitude(curves["tovimera limb-darkened"][masked]),
                    "x", ms=3, color=colour, alpha=0.6)
    for axis in (top, inset):
        axis.plot(grid, magnitude(a_grid), "k-", lw=1.0, label="limb-darkened fit (tovimera)" if axis is top else None)
        for n, window in enumerate(windows):
            axis.axvspan(*window, color="0.85", zorder=0,
                         label="masked: planetary deviation" if axis is top and n == 0 else None)
    shown = np.abs(event.t - t0) < 1.2 * te
    low, high = np.percentile(magnitude(a_data[shown]), [0.5, 99.5])
    top.set_ylim(high + 0.3, low - 0.3)
    top.set_xlim(t0 - 1.2 * te, t0 + 1.2 * te)
    top.set_ylabel(f"magnitude ({event.sets[0].name} scale)")
    top.set_title(f"{EVENT}: single lens, finite limb-darkened source; x = masked points")
    top.legend(fontsize=7, loc="upper left")
    span = 2.5 * rho * te
    inset.set_xlim(t0 - span, t0 + span)
    inside = (event.t > t0 - span) & (event.t < t0 + span)
    mags = magnitude(a_data[inside])
    inset.set_ylim(np.max(mags) + 0.1, np.min(mags) - 0.1)
    inset.set_title("peak: the lens crosses the source", fontsize=8)
    inset.tick_params(labelsize=7)
    inset.ticklabel_format(axis="x", useOffset=False)
    bottom.axhline(0.0, color="k", lw=0.8)
    bottom.set_ylim(0.4, -0.4)
    bottom.set_ylabel("data - model [mag]")
    bottom.set_xlabel("HJD - 2450000")
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)


def table(rows):
    lines = []
    head = f"{'':<30}" + "".join(f"{p + (' [' + UNITS[p] + ']' if UNITS[p] else ''):>26}" for p in PARAMETERS)
    lines.append(head + f"{'chi2':>11}{'dof':>6}{'ms/model':>10}")
    for row in rows:
        cells = "".join(f"{row[p]:>14.{5 if p == 't0' else 4}{'f' if p == 't0' else 'g'}} +- {row[p + '_err']:<8.2g}"
                        for p in PARAMETERS)
        lines.append(f"{row['code'] + ', ' + row['model']:<30}{cells}{row['chi2']:11.1f}{row['dof']:6d}{row['ms']:10.3f}")
    lines.append(f"{'Janczak et al. 2010':<30}{'not checked':>26}{'not checked':>26}"
                 f"{'~' + format(PUBLISHED_TE, '.1f') + ' (theta_E/mu)':>26}{'not checked':>26}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out"),
                        help="folder for fit_event.png and the CSV tables (default ./out)")
    parser.add_argument("--no-vbm", action="store_true", help="skip the VBMicrolensing fits")
    options = parser.parse_args(argv)
    try:
        options.output.mkdir(parents=True, exist_ok=True)
        probe = options.output / ".write-test"
        probe.write_text("")
        probe.unlink()
    except OSError as error:
        print(f"error: cannot write to the output folder {str(options.output)!r}: {error.strerror or error}",
              file=sys.stderr)
        return 2

    started = time.perf_counter()
    event = Event(load(data_folder()))
    print(f"{EVENT}: {len(event.t)} points from {len(event.sets)} datasets: "
          + ", ".join(f"{d.name} {len(d.t)}" for d in event.sets))

    # Starts: each dataset's brightest precise point for t0, with a small grid of impacts and
    # source sizes; the one with the lowest chi2 for the fast uniform disk leads. Fits from it
    # find the deviations one at a time, each masked before the next fit; every fit that
    # counts starts from the last of them.
    peaks = [d.t[np.argmax(np.where(d.mag_err < 0.05, -d.mag, -np.inf))] for d in event.sets]
    disk = tovimera_models()[1]
    starts = [np.array([t0, u0, 10.0, rho]) for t0 in peaks for u0 in (0.001, 0.003, 0.01, 0.03)
              for rho in (0.002, 0.005, 0.01)]
    rough = min(starts, key=lambda p: disk.chi2(event, p))
    windows = []
    for _ in range(4):
        rough, _ = fit(disk, event.select(event.mask), rough)
        window = find_deviation(event, rough, disk)
        if window is None:
            break
        windows.append(window)
        event.mask &= ~((event.t >= window[0]) & (event.t <= window[1]))
    for lo, hi in windows:
        inside = (event.t >= lo) & (event.t <= hi)
        names = sorted({event.sets[k].name for k in event.index[inside]})
        print(f"planetary deviation: masked {np.sum(inside)} points, HJD-2450000 {lo:.4f} to {hi:.4f} "
              f"(t - t0 = {lo - rough[0]:+.4f} to {hi - rough[0]:+.4f} d; {', '.join(names)})")
    if not windows:
        print("no deviation found: nothing masked")
    used = event.select(event.mask)

    models = tovimera_models() + ([] if options.no_vbm else vbm_models())
    rows, curves = [], {}
    for model in models:
        best, chi2 = fit(model, used, rough)
        best, chi2, errors = polish(model, used, best, chi2)
        calls, seconds = model.calls, model.seconds
        source, blend = fluxes(used, model.curve(used.t, *best))
        curves[f"{model.code} {model.label}"] = model.curve(event.t, *best)
        row = {"code": model.code, "model": model.label, "chi2": chi2, "dof": len(used.t) - 4 - 2 * len(event.sets),
               "ms": 1e3 * seconds / calls, "calls": calls, "source": source, "blend": blend}
        row.update({p: v for p, v in zip(PARAMETERS, best)})
        row.update({p + "_err": e for p, e in zip(PARAMETERS, errors)})
        rows.append(row)

    print()
    print(table(rows))
    print("Nelder-Mead, then Newton steps; errors 1 sigma from the Hessian of chi2 (cov = 2 H^-1), error bars unscaled")
    print(f"Janczak et al. 2010 fit a planet (binary lens) to all the data, deviation included; from their "
          f"abstract: q = {PUBLISHED['q']}, theta_E = {PUBLISHED['theta_E']}, mu = {PUBLISHED['mu_rel']}, "
          f"planet favoured by delta chi2 {PUBLISHED['delta_chi2'].split(' in')[0]}.")
    for code in sorted({r["code"] for r in rows}):
        mine = [r for r in rows if r["code"] == code]
        print(f"{code}: " + ", ".join(f"{r['model']} {r['ms']:.3f} ms per model ({r['calls']} models)" for r in mine))
    if len({r["code"] for r in rows}) == 1 and not options.no_vbm:
        print("VBMicrolensing is not installed: its columns are left out (pip install VBMicrolensing)")

    png, table_csv, points_csv = (options.output / name for name in
                                  ("fit_event.png", "fit_event.csv", "fit_event_points.csv"))
    write_parameters(table_csv, rows)
    write_points(points_csv, event, {k: v for k, v in curves.items()})
    plot(png, event, rows, windows, curves)
    print(f"done in {time.perf_counter() - started:.1f} s; wrote {png}, {table_csv} and {points_csv}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
