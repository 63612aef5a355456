"""tovimera as fitting codes call it: numpy arrays, u and rho in Einstein radii, the method by
name, and any linear limb-darkening coefficient.

    import numpy as np, tovimera_fit
    u = np.hypot(u0, (t - t0) / te)
    a = tovimera_fit.magnification(u, rho, "rings", a=0.55)

The law I(mu) = 1 - a (1 - mu) is linear in a, so a source with any a is a weighted sum of
the uniform disk and tovimera's built-in law (a = 0.6); docs/guide.md derives the weights.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

import tovimera

__all__ = ["METHODS", "magnification", "gamma_from_a", "a_from_gamma"]

# The limb-darkening routes, each giving the built-in a = 0.6 law from (l, re, rstar).
_LIMB_ROUTES: dict[str, Callable[..., list[float]]] = {
    "rings": tovimera.integrated_heyrovsky_magnification,
    "disks": tovimera.integrated_witt_mao_magnification,
}
METHODS: tuple[str, ...] = ("uniform", *_LIMB_ROUTES)
_BUILT_IN_A = 0.6


def _uniform(l: npt.NDArray[np.float64], rho: float) -> npt.NDArray[np.float64]:
    return np.asarray(tovimera.witt_mao_magnification(l, 1.0, rho), dtype=np.float64)


def magnification(
    u: npt.ArrayLike, rho: float, method: str = "uniform", a: float = 0.0
) -> npt.NDArray[np.float64]:
    """Magnification of a finite source at lens–source separations u.

    u: separations in Einstein radii, any shape and real dtype.
    rho: source radius in Einstein radii, one positive finite number.
    method: "uniform" (uniform disk, Witt & Mao), "rings" (limb-darkened, thin rings
        integrated over the radius) or "disks" (limb-darkened, nested uniform disks).
    a: linear limb-darkening coefficient of I(mu) = 1 - a (1 - mu), finite, below 3;
        "uniform" takes only 0.
    Returns a float64 array of u's shape. A NaN, infinite or negative u gives NaN in its slot.
    """
    if method not in METHODS:
        raise ValueError(f"unknown method {method!r}: expected one of {', '.join(map(repr, METHODS))}")
    if np.ndim(rho) != 0 or np.ndim(a) != 0:
        raise ValueError("rho and a must be single numbers; call once per source")
    rho, a = float(rho), float(a)
    # The extension validates nothing; here a bad source would only turn into NaN or 0 later.
    if not 0.0 < rho < np.inf:
        raise ValueError(f"rho must be positive and finite, got {rho}")
    if not (np.isfinite(a) and a < 3.0):
        raise ValueError(f"a must be finite and below 3 (the disk's flux is 1 - a/3), got {a}")
    if method == "uniform" and a != 0.0:
        raise ValueError(f"method 'uniform' has no limb darkening (a = 0), got a = {a}; "
                         "use 'rings' or 'disks'")
    separations = np.asarray(u)
    if np.iscomplexobj(separations) or not (separations.dtype.kind in "fiu"):
        raise TypeError(f"u must be real numbers, got dtype {separations.dtype}")
    shape = separations.shape
    # One contiguous float64 run is what the extension copies in a single pass.
    l = np.ascontiguousarray(separations, dtype=np.float64).reshape(-1) / rho
    if a == 0.0:
        values = _uniform(l, rho)
    else:
        built_in = np.asarray(_LIMB_ROUTES[method](l, 1.0, rho), dtype=np.float64)
        if a == _BUILT_IN_A:
            values = built_in
        else:
            # ((1 - a) A0 + (a / 0.6)(0.8 A06 - 0.4 A0)) / (1 - a/3), gathered per term.
            values = ((3.0 - 5.0 * a) * _uniform(l, rho) + 4.0 * a * built_in) / (3.0 - a)
    return values.reshape(shape)


def gamma_from_a(a: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """MulensModel's gamma of I ∝ 1 - gamma (1 - 3 mu / 2) for the coefficient a: 2a / (3 - a)."""
    a = np.asarray(a, dtype=np.float64)
    return np.asarray(2.0 * a / (3.0 - a))


def a_from_gamma(gamma: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The coefficient a of I(mu) = 1 - a (1 - mu) for MulensModel's gamma: 3 gamma / (2 + gamma)."""
    gamma = np.asarray(gamma, dtype=np.float64)
    return np.asarray(3.0 * gamma / (2.0 + gamma))
