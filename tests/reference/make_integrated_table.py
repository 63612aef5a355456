"""Cached mpmath references for tests/test_integrated.py and tests/test_flux_maps.py.

Writes tests/reference/integrated_reference.json: for each input (the exact
doubles l and rho, and the table), values at 34 digits from
tests/reference_integrated.py, which never calls tovimera.

- limb_darkened: the linear law's brightness-weighted mean over rings and,
  independently, over nested disks; an entry is written only if the two
  agree to 1e-20.
- one_entry: the annulus construction for a uniform (one-entry) table.
- kinked: the annulus construction and the ring mean for a table with kinks.

Entries already in the file are kept; only new inputs are computed, in two
processes (a full build took 6 minutes on two shared cores).

Usage: python3 tests/reference/make_integrated_table.py
"""

import json
import multiprocessing
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import mpmath as mp  # noqa: E402

from reference_integrated import (  # noqa: E402
    annulus_construction, limb_darkened_by_disks, limb_darkened_mean, tabulated_ring_mean)

OUTPUT = HERE / "integrated_reference.json"
DIGITS = 34

NEAR_RIM = [1 - 10.0**-k for k in range(1, 10)] + [1 + 10.0**-k for k in range(1, 10)]
LIMB_L = [0.0, 0.05, 0.3, 0.7, *NEAR_RIM, 1.5, 3.0, 20.0, 20.5, 25.0, 100.0, 1e4, 1e7]
LIMB_RHO = [1e-4, 1e-2, 1.0, 10.0]

# The lens at the centre, within the half-width 1e-4 of the centre or the
# rim, inside, and outside.
ONE_ENTRY_L = [0.0, 5e-5, 0.05, 0.3, 0.5, 0.99, 0.99995, 1.00005, 1.5, 3.0]
ONE_ENTRY_RHO = [0.01, 0.1, 1.0]
KINKED_TABLE = ([0.0, 0.3, 0.7, 1.0], [1.0, 0.8, 0.5, 0.2])
KINKED_L = [0.0, 0.3, 0.5, 0.95, 1.5]
KINKED_RHO = [0.1]


def text(x):
    return mp.nstr(x, DIGITS, strip_zeros=False)


def limb(case):
    l, rho = case
    rings, disks = limb_darkened_mean(l, rho), limb_darkened_by_disks(l, rho)
    gap = abs(rings / disks - 1)
    if gap > mp.mpf("1e-20"):
        raise RuntimeError(f"l={l!r} rho={rho!r}: the formulations differ by {mp.nstr(gap, 3)}")
    return {"l": l, "rho": rho, "rings": text(rings), "disks": text(disks)}


def one_entry(case):
    l, rho = case
    return {"l": l, "rho": rho, "bl": [0.5], "bf": [1.0], "construction": text(annulus_construction(l, rho, [0.5], [1.0]))}


def kinked(case):
    l, rho = case
    bl, bf = KINKED_TABLE
    return {"l": l, "rho": rho, "bl": bl, "bf": bf,
            "construction": text(annulus_construction(l, rho, bl, bf)),
            "rings": text(tabulated_ring_mean(l, rho, bl, bf))}


SECTIONS = {
    "limb_darkened": (limb, [(l, rho) for rho in LIMB_RHO for l in LIMB_L]),
    "one_entry": (one_entry, [(l, rho) for rho in ONE_ENTRY_RHO for l in ONE_ENTRY_L]),
    "kinked": (kinked, [(l, rho) for rho in KINKED_RHO for l in KINKED_L]),
}


def main():
    table = json.loads(OUTPUT.read_text()) if OUTPUT.exists() else {}
    with multiprocessing.Pool(2) as pool:
        for name, (compute, cases) in SECTIONS.items():
            known = {(e["l"], e["rho"]): e for e in table.get(name, [])}
            missing = [c for c in cases if c not in known]
            for entry in pool.imap_unordered(compute, missing):
                known[(entry["l"], entry["rho"])] = entry
                print(name, entry["l"], entry["rho"], flush=True)
            table[name] = [known[c] for c in cases]
            # Written after each section, so an interrupted run keeps its work.
            OUTPUT.write_text(json.dumps(table, indent=1) + "\n")


if __name__ == "__main__":
    main()
