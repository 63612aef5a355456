"""Series for the uniform-disk magnification far from the lens.

The magnification of a uniform disk is the disk mean of the point-source
magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)).  For a smooth function the
mean over a disk of radius rho is

    sum_k (rho^2 / 4)^k Lap^k A(u) / (k! (k+1)!),

Lap being the 2D Laplacian f'' + f'/u.  With x = u^2, Lap = 4 D where
D = d/dx x d/dx, so the k-th term is rho^(2k) D^k A / (k! (k+1)!).

This script derives D^k A in closed form, rewrites each term relative to A as

    T_k = eps^k * b^2 / (2 - b) * sum_j p[k][j] a^j b^(2k-1-j),
    eps = (rho/u)^2,  b = 4/(u^2 + 4),  a = 1 - b = u^2/(u^2 + 4),

(a, b in [0, 1]; for k <= 3 every p[k][j] is positive, so nothing cancels; from
k = 4 on the signs mix, but those terms are below 0.015 eps^4 in all),
bounds the terms, checks the expansion against an independent quadrature
of the point-source magnification over the disk, and prints the coefficients
for the C++ kernel.  Run:  python3 derive_disk_series.py
"""
import math
import sys
from fractions import Fraction

import mpmath as mp
import sympy as sp

KMAX = 6
SWITCH = 20  # the kernel's far_ratio
KEPT = 5
x = sp.symbols("x", positive=True)


def derive(kmax):
    """Polynomials N_k with D^k A = N_k(x) x^-(k+1/2) (x+4)^-(2k+1/2)."""
    polys = [sp.Poly(x + 2, x)]
    for k in range(kmax):
        g = polys[-1].as_expr() * x ** (-sp.Rational(2 * k + 1, 2)) * (x + 4) ** (-sp.Rational(4 * k + 1, 2))
        dg = sp.diff(x * sp.diff(g, x), x)
        nxt = sp.cancel(sp.simplify(dg * x ** sp.Rational(2 * k + 3, 2) * (x + 4) ** sp.Rational(4 * k + 5, 2)))
        polys.append(sp.Poly(sp.expand(nxt), x))
        assert polys[-1].degree() == 2 * (k + 1) - 1
    return polys


def homogeneous_coefficients(polys):
    """p[k][j] of the (a, b) form above, as exact fractions."""
    p = {}
    for k in range(1, len(polys)):
        deg = 2 * k - 1
        n = [Fraction(int(c)) for c in polys[k].all_coeffs()[::-1]]
        scale = Fraction(1, 8 * math.factorial(k) * math.factorial(k + 1))
        p[k] = [scale * n[j] / Fraction(4) ** (deg - j) for j in range(deg + 1)]
    return p


def check_against_laplacian(polys):
    """D^k A from the polynomials equals Lap^k A / 4^k computed directly in u."""
    u = sp.symbols("u", positive=True)
    f = (u**2 + 2) / (u * sp.sqrt(u**2 + 4))
    lap = f
    for k in range(1, 4):
        lap = sp.diff(lap, u, 2) + sp.diff(lap, u) / u
        for uv in (sp.Rational(1, 3), sp.Integer(2), sp.Integer(7)):
            xv = uv**2
            mine = polys[k].as_expr().subs(x, xv) * xv ** (-sp.Rational(2 * k + 1, 2)) * (xv + 4) ** (-sp.Rational(4 * k + 1, 2))
            direct = lap.subs(u, uv) / 4**k
            assert abs(sp.N(mine - direct, 40)) < 1e-30 * abs(sp.N(direct, 40)), (k, uv)


def series_mp(u, rho, p, kmax):
    u = mp.mpf(u)
    rho = mp.mpf(rho)
    b = 4 / (u * u + 4)
    a = 1 - b
    eps = (rho / u) ** 2
    f = (u * u + 2) / (u * mp.sqrt(u * u + 4))
    total = mp.mpf(0)
    for k in range(1, kmax + 1):
        deg = 2 * k - 1
        total += eps**k * b**2 / (2 - b) * sum(mp.mpf(c.numerator) / c.denominator * a**j * b ** (deg - j) for j, c in enumerate(p[k]))
    return f * (1 + total)


def disk_mean_quadrature(u, rho):
    """Point-source magnification averaged over the disk, by quadrature in
    annuli about the lens (each annulus weighted by the arc inside the disk)."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)

    def integrand(r):
        c = (r * r + u * u - rho * rho) / (2 * r * u)
        arc = 0 if c >= 1 else 2 * mp.acos(max(c, -1))
        return (r * r + 2) / (r * mp.sqrt(r * r + 4)) * r * arc

    return mp.quad(integrand, [u - rho, u, u + rho]) / (mp.pi * rho * rho)


def term_bound(p, k):
    """max over b in (0, 1] of |T_k| / eps^k."""
    def val(bb):
        aa = 1 - bb
        deg = 2 * k - 1
        return abs(bb**2 / (2 - bb) * sum(mp.mpf(c.numerator) / c.denominator * aa**j * bb ** (deg - j) for j, c in enumerate(p[k])))
    return max(val(mp.mpf(i) / 1000) for i in range(1, 1001))


def cpp_literal(c):
    den = c.denominator
    if den & (den - 1) == 0:  # power of two: the quotient is exact
        return f"{c.numerator}.0 / {den}.0"
    return f"{c.numerator}.0 / {den}.0  /* rounded */" if abs(c.numerator) < 2**53 and den < 2**53 else repr(float(c))


def main():
    mp.mp.dps = 40
    polys = derive(KMAX)
    check_against_laplacian(polys)
    p = homogeneous_coefficients(polys)

    print("N_k(x), D^k A = N_k x^-(k+1/2) (x+4)^-(2k+1/2):")
    for k in range(1, KMAX + 1):
        print(f"  k={k}: {polys[k].as_expr()}")
    print("\nterm bounds max_b |T_k| / eps^k:")
    for k in range(1, KMAX + 1):
        signs = "all positive" if all(c > 0 for c in p[k]) else "mixed signs"
        print(f"  k={k}: {float(term_bound(p, k)):.6g}  ({signs})")

    # The expansion against quadrature (no elliptic integrals involved).
    print("\nseries (k <= 6) vs disk-mean quadrature, 40 digits:")
    for u, rho in [(0.05, 0.005), (1.0, 0.05), (3.0, 0.2), (50.0, 1.0)]:
        s = series_mp(u, rho, p, KMAX)
        q = disk_mean_quadrature(u, rho)
        rel = abs(s / q - 1)
        print(f"  u={u} rho={rho}: rel diff {mp.nstr(rel, 3)}")
        assert rel < 10 * (rho / u) ** (2 * KMAX + 2) + mp.mpf(10) ** -30

    # The kernel switches to the series at u = SWITCH rho and keeps the terms
    # up to KEPT; the first one left out bounds its truncation there.
    eps_switch = mp.mpf(1) / SWITCH**2
    dropped = term_bound(p, KEPT + 1) * eps_switch ** (KEPT + 1)
    print(f"\nat u = {SWITCH} rho the first dropped term (k={KEPT + 1}) is below {mp.nstr(dropped, 3)}")
    assert dropped < mp.mpf("1e-17")
    for u in (mp.mpf("0.01"), mp.mpf(1), mp.mpf(30)):
        rho = u / SWITCH
        s = series_mp(u, rho, p, KEPT)
        q = disk_mean_quadrature(u, rho)
        print(f"  u={mp.nstr(u, 3)} rho=u/{SWITCH}: series (k <= {KEPT}) vs quadrature {mp.nstr(abs(s / q - 1), 3)}")
        assert abs(s / q - 1) < mp.mpf("1e-17")

    print("\nC++ coefficients p[k][j] (T_k / eps^k = b^2/(2-b) * sum_j p[k][j] a^j b^(2k-1-j)):")
    for k in range(1, KEPT + 1):
        print(f"  k={k}: {{" + ", ".join(cpp_literal(c) for c in p[k]) + "}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
