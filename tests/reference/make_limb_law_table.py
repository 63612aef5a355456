"""mpmath references for tests/test_tovimera_fit.py: the magnification of a linearly
limb-darkened source, I(mu) = 1 - a (1 - mu), for several coefficients a.

Writes tests/reference/limb_law_reference.json. Each value is the 2-D integral of the
point-source magnification over the source disk, weighted by I, divided by the disk's flux
pi rho^2 (1 - a/3), at 34 digits. It is taken afresh for every a (no use of the law's
linearity, which is what the tested code relies on) in polar coordinates about the lens,
where the area element s ds cancels the point source's 1/s and both integrands stay finite.

Usage: python3 tests/reference/make_limb_law_table.py   (about a minute on one core)
"""

import json
import multiprocessing
import pathlib

import mpmath as mp

OUTPUT = pathlib.Path(__file__).resolve().parent / "limb_law_reference.json"
DIGITS = 34
RHO = [0.1, 0.001]
# Centre, inside, limb, just outside, outside, and beyond the far-field series (20 rho).
U_OVER_RHO = [0.0, 0.5, 1.0, 1.5, 4.0, 30.0]
COEFFICIENTS = [0.0, 0.3, 0.6, 0.85, 1.0]


def magnification(u_over_rho, rho, a):
    mp.mp.dps = DIGITS + 6
    u, rho, a = mp.mpf(u_over_rho) * mp.mpf(rho), mp.mpf(rho), mp.mpf(a)

    def brightness(s, phi):
        # The source centre at (u, 0), the lens at the origin.
        mu2 = 1 - (s * s - 2 * u * s * mp.cos(phi) + u * u) / (rho * rho)
        return 1 - a * (1 - mp.sqrt(max(mu2, 0)))

    def radial(phi, s_low, s_high):
        # Point-source magnification times the area element's s.
        return mp.quad(lambda s: brightness(s, phi) * (s * s + 2) / mp.sqrt(s * s + 4), [s_low, s_high])

    if u < rho:
        inner = lambda phi: radial(phi, 0, u * mp.cos(phi) + mp.sqrt(rho**2 - (u * mp.sin(phi)) ** 2))
        total = 2 * mp.quad(inner, [0, mp.pi / 2, mp.pi])
    elif u == rho:
        inner = lambda phi: radial(phi, 0, 2 * rho * mp.cos(phi))
        total = 2 * mp.quad(inner, [0, mp.pi / 2])
    else:
        edge = mp.asin(rho / u)

        def inner(phi):
            half = mp.sqrt(max(rho**2 - (u * mp.sin(phi)) ** 2, 0))
            return radial(phi, u * mp.cos(phi) - half, u * mp.cos(phi) + half)

        total = 2 * mp.quad(inner, [0, edge])
    return total / (mp.pi * rho**2 * (1 - a / 3))


def entry(point):
    u_over_rho, rho, a = point
    return {"u_over_rho": u_over_rho, "rho": rho, "a": a,
            "magnification": mp.nstr(magnification(u_over_rho, rho, a), DIGITS)}


def main():
    points = [(x, rho, a) for rho in RHO for x in U_OVER_RHO for a in COEFFICIENTS]
    with multiprocessing.Pool(2) as pool:
        entries = pool.map(entry, points)
    OUTPUT.write_text(json.dumps({"digits": DIGITS, "entries": entries}, indent=1) + "\n")
    print(f"{len(entries)} entries in {OUTPUT}")


if __name__ == "__main__":
    main()
