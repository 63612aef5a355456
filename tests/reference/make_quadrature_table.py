"""Reference values for tests/cpp/test_quadrature.cpp, printed as C++ literals.

The rule is re-implemented here from its definition at 40 digits: node k at
t = k / 48 (the double nearest it, as the C++ table places it), x = tanh((pi/2)
sinh t), weight (pi/2) cosh t / cosh^2((pi/2) sinh t), level L summing the
nodes on multiples of 2^(7 - L) with step (4/3) 2^(1 - L). The distance from
the end is taken as 2 / (e^(2u) + 1): 1 - tanh(u) would keep only 3 of the 40
digits at t = 4, where it is 1.2e-37.

Printed: e^x - 1 at a few doubles; the lowest node on [0, 1]; the closed
forms; the rule's sums at levels the tests stop at where the rule has not
converged (there the closed form is far off and only the rule itself can
check the implementation).

Usage: python3 tests/reference/make_quadrature_table.py
"""

from mpmath import mp, mpf, atan, cbrt, cos, cosh, e, exp, expm1, log, pi, sin, sinh

mp.dps = 40

NODES_PER_SIDE = 192
LEVELS = 7


def node(k):
    t = mpf(float(k) / 48.0)  # the double the C++ table uses, exactly
    u = pi / 2 * sinh(t)
    distance = 2 / (exp(2 * u) + 1)
    weight = pi / 2 * cosh(t) / cosh(u) ** 2
    return distance, weight


NODES = [node(k) for k in range(NODES_PER_SIDE + 1)]


def rule(f, a, b, level):
    """The rule's estimate after `level` levels (1 = step 4/3, 7 = step 1/48)."""
    a, b = mpf(a), mpf(b)
    c = (b - a) / 2
    stride = 2 ** (LEVELS - level)
    total = NODES[0][1] * f((a + b) / 2)
    for k in range(stride, NODES_PER_SIDE + 1, stride):
        distance, weight = NODES[k]
        total += weight * (f(a + c * distance) + f(b - c * distance))
    return c * total * mpf(4) / 3 * stride / 2 ** (LEVELS - 1)


def literal(x):
    return mp.nstr(x, 32, strip_zeros=False, min_fixed=-4, max_fixed=4)


INTEGRANDS = {
    # name: (f, a, b, closed form)
    "one": (lambda x: mpf(1), 0, 1, mpf(1)),
    "x2": (lambda x: x * x, 0, 1, mpf(1) / 3),
    "exp": (exp, 0, 1, e - 1),
    "cos": (cos, 0, 1, sin(1)),
    "rational": (lambda x: 1 / (1 + x * x), 0, 1, pi / 4),
    "rational_on_m3_2": (lambda x: 1 / (1 + x * x), -3, 2, atan(2) + atan(3)),
    "inverse_cube_root": (lambda x: 1 / cbrt(x), 0, 1, mpf(3) / 2),
    "log": (log, 0, 1, mpf(-1)),
    "cubic_on_m1_1": (lambda x: x * x * (x + 1), -1, 1, mpf(2) / 3),
    "quintic_on_m2_3": (lambda x: x * (x * x * (x * x - 3) + 1) - 2, -2, 3,
                        mpf(729) / 6 - mpf(243) / 4 + mpf(9) / 2 - 6 - (mpf(64) / 6 - 12 + 2 + 4)),
    "x10": (lambda x: x ** 10, 0, 1, mpf(1) / 11),
    "cos_40x": (lambda x: cos(40 * x), 0, 1, sin(40) / 40),
    "near_pole": (lambda x: 1 / (x * x + mpf("0.01")), -1, 1, 20 * atan(10)),
}


def main():
    print("// e^x - 1")
    for x in [1e-10, 0.25, 1.0, 4.0, 31.5, float(pi * sinh(4)), 700.0]:
        print(f"{{{x!r}, {literal(expm1(mpf(x)))}}},")

    distance, _ = NODES[NODES_PER_SIDE]
    print("// lowest node on [0, 1]:", literal(distance / 2))

    print("// closed forms; rule at levels 3, 5 and 7, relative to the closed form")
    for name, (f, a, b, exact) in INTEGRANDS.items():
        sums = {level: rule(f, a, b, level) for level in (3, 5, 7)}
        gaps = "  ".join(f"L{lv} {mp.nstr((s - exact) / exact, 3)}" for lv, s in sums.items())
        print(f"{name}: {literal(exact)}  [{gaps}]")

    print("// rule at level 3 (25 nodes)")
    for name, (f, a, b, _) in INTEGRANDS.items():
        print(f"{name}: {literal(rule(f, a, b, 3))}")
    f, a, b, _ = INTEGRANDS["near_pole"]
    print(f"// near_pole at level 7 (385 nodes): {literal(rule(f, a, b, 7))}")


if __name__ == "__main__":
    main()
