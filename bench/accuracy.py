"""Worst relative error of every function against 40-digit mpmath references,
per regime. Prints a markdown table (the figures in docs/accuracy.md).

    python bench/accuracy.py [--points N]
"""

import argparse
import math
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import tovimera  # noqa: E402
from reference import (  # noqa: E402
    limb_darkening, profile_weighted_mean, relative, ring_closed_form, ring_mean, uniform_disk)


def band(u, rho):
    return abs(u - rho) < max(0.001 * abs(rho), 1e-5)


def worst(pairs):
    errors = [float(relative(value, reference)) for value, reference in pairs]
    if not errors:
        return "-", "-"
    return f"{max(errors):.1e}", f"{float(np.median(errors)):.1e}"


def disk_rows(count):
    rows = []
    rng = np.random.default_rng(7)
    for rho in (1e-3, 1e-2, 0.1, 1.0):
        near = np.concatenate([rng.uniform(0, 3, count), rng.uniform(3, 100, count // 4)])
        far = 10 ** rng.uniform(2, 5, count // 4)
        rim = 1 + rng.uniform(-1, 1, count // 4) * max(1e-3, 1e-5 / rho) * 0.99
        groups = {"l in [0, 100], outside the band": [l for l in near if not band(l * rho, rho)],
                  "l in [1e2, 1e5]": list(far),
                  "inside the band |u - rho| < tolerance": list(rim)}
        for label, ls in groups.items():
            values = tovimera.witt_mao_magnification(ls, 1.0, rho)
            maximum, median = worst((v, uniform_disk(l * rho, rho)) for v, l in zip(values, ls))
            rows.append(("witt_mao_magnification", f"rho = {rho:g}, {label}", len(ls), maximum, median))
    return rows


def ring_rows(count):
    rng = np.random.default_rng(8)
    general, rim = [], []
    for _ in range(count):
        l, q = rng.uniform(0.01, 3), 10 ** rng.uniform(-1, 2)
        r = rng.uniform(0.01, 1)
        if abs(r - l) > 1e-3:
            general.append((l, r, q))
        rim.append((l, l + rng.uniform(-1, 1) * 0.99e-5, q))
    rows = []
    for label, cases, reference in (("|r - l| > 1e-3", general, ring_closed_form),
                                    ("near-rim band |r - l| < 1e-5", rim, ring_mean)):
        pairs = [(tovimera.heyrovsky_magnification(l, r, q, 1.0), reference(l, r, q, 1.0)) for l, r, q in cases]
        rows.append(("heyrovsky_magnification", label, len(cases), *worst(pairs)))
    return rows


def limb_rows(count):
    rows = []
    for rho in (0.01, 0.1, 1.0):
        for label, ls in (("lens outside (l in [1.05, 5])", np.linspace(1.05, 5, count)),
                          ("lens inside (l in [0.02, 0.98])", np.linspace(0.02, 0.98, count))):
            references = [profile_weighted_mean(l, 1.0, rho, limb_darkening) for l in ls]
            for function in (tovimera.integrated_witt_mao_magnification, tovimera.integrated_heyrovsky_magnification):
                values = function(list(ls), 1.0, rho)
                rows.append((function.__name__, f"rho = {rho:g}, {label}", len(ls), *worst(zip(values, references))))
    return rows


def flux_map_rows(count):
    rows = []
    for rho in (0.01, 0.1):
        for label, ls in (("one-entry table, lens outside", np.linspace(1.05, 5, count)),
                          ("one-entry table, lens inside", np.linspace(0.02, 0.98, count))):
            references = [uniform_disk(l * rho, rho) for l in ls]
            for function in (tovimera.integrated_flux_map_witt_mao_magnification,
                             tovimera.integrated_flux_map_heyrovsky_magnification):
                values = function(list(ls), 1.0, rho, [0.5], [1.0])
                rows.append((function.__name__, f"rho = {rho:g}, {label}", len(ls), *worst(zip(values, references))))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=40)
    count = parser.parse_args().points
    rows = disk_rows(count * 5) + ring_rows(count * 2) + limb_rows(count // 2) + flux_map_rows(count // 2)
    print("| function | regime | points | worst | median |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(str(cell) for cell in row) + " |")


if __name__ == "__main__":
    main()
