"""Worst relative error of every function against mpmath references, per regime,
with the input where it occurs. Prints a markdown table (the figures in docs/accuracy.md).

    python bench/accuracy.py [--points N] [--check]

References (tests/reference.py, 40 digits): the uniform disk and the ring in their
closed forms, evaluated from the exact complements 1 - n and 1 - m so that they stay
exact up to the rim (tests/test_reference.py checks both against quadratures of the
point-source magnification); the linearly limb-darkened source as nested uniform
disks integrated by parts. Values are cached in bench/accuracy_references.json,
keyed by the exact inputs; --check compares a few limb-darkened references with
the brightness-weighted ring mean of tests/reference.py first.
"""

import argparse
import json
import math
import pathlib
import sys

import mpmath as mp
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import tovimera  # noqa: E402
from reference import limb_darkening, profile_weighted_mean, ring_closed_form, uniform_disk  # noqa: E402

CACHE = pathlib.Path(__file__).resolve().parent / "accuracy_references.json"
INTEGRATED = pathlib.Path(__file__).resolve().parent.parent / "tests" / "reference" / "integrated_reference.json"
DISK_RHOS = (1e-6, 1e-4, 1e-2, 1.0, 10.0)
LIMB_RHOS = (1e-4, 1e-2, 1.0)
LIMB = mp.mpf("0.6")


class References:
    """mpmath values by kind and exact inputs, kept between runs."""

    def __init__(self, path):
        self.path = path
        self.values = json.loads(path.read_text()) if path.exists() else {}
        self.added = 0

    def get(self, kind, compute, *args):
        table = self.values.setdefault(kind, {})
        key = " ".join(float.hex(float(a)) for a in args)
        if key not in table:
            table[key] = mp.nstr(compute(*args), 25)
            self.added += 1
        return mp.mpf(table[key])

    def save(self):
        if self.added:
            self.path.write_text(json.dumps(self.values, indent=0, sort_keys=True) + "\n")


def limb_darkened(l, rho):
    """Linear law I = 1 - 0.6 (1 - sqrt(1 - x^2)), lens l source radii from the centre.
    The flux within x of nested uniform disks is F(x) = pi x^2 A(u, x rho), so
    int I dF = I(1) F(1) - int I'(x) F(x) dx, and x = sin t makes the limb end smooth:
    A = (0.4 A(u, rho) + 0.6 int_0^(pi/2) sin^3 t A(u, rho sin t) dt) / 0.8."""
    with mp.workdps(30):
        l, rho = mp.mpf(l), mp.mpf(rho)
        u = l * rho

        def nested(t):
            x = mp.sin(t)
            return x**3 * uniform_disk(u, x * rho)

        # Split where the nested rim passes the lens, and resolve the limb's end,
        # where a lens 1e-9 outside the source still shapes the integrand.
        half_pi = mp.pi / 2
        points = {mp.mpf(0), half_pi} | {half_pi - mp.mpf(10) ** -k for k in range(1, 6)}
        if 0 < l < 1:
            points.add(mp.asin(l))
        integral, error = mp.quad(nested, sorted(points), error=True)
        if error > mp.mpf(10) ** -25 * abs(integral):
            print(f"warning: quadrature error {mp.nstr(error, 3)} at l={float(l)!r} rho={float(rho)!r}", file=sys.stderr)
        return ((1 - LIMB) * uniform_disk(u, rho) + LIMB * integral) / (1 - LIMB / 3)


def summary(errors, inputs, describe):
    errors = np.asarray(errors, dtype=float)
    worst = int(np.argmax(errors))
    return len(errors), f"{errors[worst]:.1e}", describe(*inputs[worst]), f"{float(np.median(errors)):.1e}"


def relative(value, reference):
    return float(abs((mp.mpf(value) - reference) / reference))


def ulps_away(x, count):
    direction = math.inf if count > 0 else -math.inf
    for _ in range(abs(count)):
        x = math.nextafter(x, direction)
    return x


def describe_lens(l, rho):
    return f"l = {l:.17g}, rho = {rho:g}"


def disk_rows(refs, count):
    describe = describe_lens

    limb = [1.0] + [1 + side * f for f in (0.5, 0.3, 0.2, *(10.0**-k for k in range(1, 13))) for side in (-1, 1)]
    groups = {
        "limb, |u/rho - 1| = 0.5 .. 1e-12 both sides, and u = rho": limb,
        "within 4 ulps of the rim": [ulps_away(1.0, k) for k in (-4, -3, -2, -1, 1, 2, 3, 4)],
        "centre, u/rho in [0, 0.5]": [0.0, 1e-12, 1e-9, 1e-6, 1e-3, *np.linspace(0.01, 0.5, count)],
        "u/rho in [1.5, 5]": list(np.geomspace(1.5, 5, count)),
        "u/rho in [5, 1e5], dense about the series switch at 20": sorted(
            {*np.geomspace(5, 1e5, count), *np.linspace(15, 25, 21), ulps_away(20.0, -1), ulps_away(20.0, 1)}),
        "u/rho in [1e5, 1e12]": list(np.geomspace(1e5, 1e12, count // 2)),
    }
    rows = []
    for rho in DISK_RHOS:
        for label, ls in groups.items():
            values = tovimera.witt_mao_magnification(ls, 1.0, rho)
            errors = [relative(v, refs.get("disk", uniform_disk, l * rho, rho)) for v, l in zip(values, ls)]
            rows.append(("witt_mao_magnification", f"rho = {rho:g}, {label}",
                         *summary(errors, [(l, rho) for l in ls], describe)))
    return rows


def ring_rows(refs, count):
    rng = np.random.default_rng(8)

    def describe(l, r, q):
        return f"l = {l:.17g}, r = {r:.17g}, q = {q:.3g}"

    general, band, ulps, centre = [], [], [], []
    for _ in range(count):
        l, q = rng.uniform(0.01, 3), 10 ** rng.uniform(-1, 2)
        r = rng.uniform(0.01, 3)
        if abs(r - l) >= 1e-5:
            general.append((l, r, q))
        band.append((l, l + rng.choice([-1, 1]) * 10 ** rng.uniform(-15, math.log10(0.99e-5)), q))
        ulps.append((l, ulps_away(l, int(rng.choice([-4, -3, -2, -1, 1, 2, 3, 4]))), q))
    for l in (0.0, 1e-12, 1e-10, 1e-8, 1e-6, 1e-5):
        for r in (ulps_away(l, 3) if l > 0 else 1e-12, l + 3e-6, l + 9e-6, l + 2e-5, 5e-6, 0.01, 0.5, 1.0):
            if r > 0 and r != l:
                centre += [(l, r, 1.0), (l, r, 100.0)]
    rows = []
    for label, cases in (("|r - l| >= 1e-5", general),
                         ("|r - l| in [1e-15, 1e-5)", band),
                         ("r within 4 ulps of l", ulps),
                         ("lens near the centre, l <= 1e-5, r both within and beyond 1e-5 of l", centre)):
        errors = [relative(tovimera.heyrovsky_magnification(l, r, q, 1.0), refs.get("ring", ring_closed_form, l, r, q, 1.0))
                  for l, r, q in cases]
        rows.append(("heyrovsky_magnification", label, *summary(errors, cases, describe)))
    return rows


def lens_positions(count):
    return {
        "centre, l in {0, 1e-12, 1e-8, 1e-5}": [0.0, 1e-12, 1e-8, 1e-5],
        "inside, l in [0.05, 0.95]": list(np.linspace(0.05, 0.95, count)),
        "limb inside, 1 - l = 1e-1 .. 1e-9": [1 - 10.0**-k for k in range(1, 10)],
        "limb outside, l - 1 = 1e-1 .. 1e-9": [1 + 10.0**-k for k in range(1, 10)],
        "outside, l in [1.2, 5]": list(np.geomspace(1.2, 5, count)),
        "far, l in {19.9, 20, 20 + 1 ulp, 25, 1e3, 1e6}": [19.9, 20.0, math.nextafter(20.0, 21.0), 25.0, 1e3, 1e6],
    }


def source_rows(count, functions, reference, extra_args=(), kind=""):
    """Both routes of one source at every lens position, for each rho."""
    rows = []
    for rho in LIMB_RHOS:
        for label, ls in lens_positions(count).items():
            references = [reference(l, rho) for l in ls]
            for function in functions:
                errors = [relative(v, r) for v, r in zip(function(ls, 1.0, rho, *extra_args), references)]
                rows.append((function.__name__, f"rho = {rho:g}, {kind}{label}",
                             *summary(errors, [(l, rho) for l in ls], describe_lens)))
    return rows


def limb_rows(refs, count):
    return source_rows(count, (tovimera.integrated_witt_mao_magnification, tovimera.integrated_heyrovsky_magnification),
                       lambda l, rho: refs.get("limb", limb_darkened, l, rho))


def flux_map_rows(refs, count):
    # A one-entry table is the uniform disk.
    return source_rows(count, (tovimera.integrated_flux_map_witt_mao_magnification,
                               tovimera.integrated_flux_map_heyrovsky_magnification),
                       lambda l, rho: refs.get("disk", uniform_disk, l * rho, rho), ([0.5], [1.0]),
                       "one-entry table, ")


def construction_rows():
    """The tabulated routes against their own definitions (tests/reference/make_integrated_table.py):
    the annuli against the exact annulus construction, the rings against the interpolated table's
    ring mean, for a one-entry table and for a table with kinks."""
    table = json.loads(INTEGRATED.read_text())

    rows = []
    for kind, label in (("one_entry", "one-entry table"), ("kinked", "kinked table bl = [0, 0.3, 0.7, 1]")):
        for key, function in (("construction", tovimera.integrated_flux_map_witt_mao_magnification),
                              ("rings", tovimera.integrated_flux_map_heyrovsky_magnification)):
            cases = [c for c in table[kind] if key in c]
            if not cases:
                continue
            errors = [relative(function([c["l"]], 1.0, c["rho"], c["bl"], c["bf"])[0], mp.mpf(c[key])) for c in cases]
            what = "its annulus construction" if key == "construction" else "the table's ring mean"
            rows.append((function.__name__, f"{label}, against {what}, l from 0 through the limb",
                         *summary(errors, [(c["l"], c["rho"]) for c in cases], describe_lens)))
    return rows


def check_limb_reference():
    for l, rho in ((0.0, 0.01), (1e-8, 1.0), (0.5, 0.01), (1 - 1e-6, 1.0), (1 - 1e-9, 0.01), (1 + 1e-9, 1e-4)):
        by_parts = limb_darkened(l, rho)
        rings = profile_weighted_mean(l, 1.0, rho, limb_darkening)
        print(f"limb-darkened reference, l = {l!r}, rho = {rho!r}: nested disks vs ring mean "
              f"{mp.nstr(abs(by_parts / rings - 1), 3)}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=20, help="points per sampled regime")
    parser.add_argument("--check", action="store_true", help="check the limb-darkened reference first")
    options = parser.parse_args()
    if options.check:
        check_limb_reference()
    refs = References(CACHE)
    try:
        rows = (disk_rows(refs, options.points) + ring_rows(refs, options.points * 4)
                + limb_rows(refs, options.points // 4) + flux_map_rows(refs, options.points // 4)
                + construction_rows())
    finally:
        refs.save()
    print("| function | regime | points | worst | worst at | median |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(str(cell) for cell in row) + " |")


if __name__ == "__main__":
    main()
