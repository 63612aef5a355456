"""Magnification of a finite source star by a point-mass gravitational lens."""

from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias

# Anything float() or operator.index() takes.
_Number: TypeAlias = SupportsFloat | SupportsIndex

class _Array(Protocol):
    """A numpy array, or another array-like that is a sequence at run time.

    No Sequence to a type checker, and a buffer only from Python 3.12 on in numpy's stubs;
    float64 ones are copied whole, others read item by item.
    """

    def __array__(self) -> Any: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...

# Any sequence of numbers but str. A buffer that is no sequence is refused.
_Separations: TypeAlias = Sequence[_Number] | _Array

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "multi_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

def witt_mao_magnification(l: _Separations, re: _Number, rstar: _Number) -> list[float]:
    """Uniform disk: one magnification per separation l (source radii)."""

def integrated_witt_mao_magnification(l: _Separations, re: _Number, rstar: _Number) -> list[float]:
    """Linear limb darkening (coefficient 0.6) from nested uniform disks."""

def integrated_flux_map_witt_mao_magnification(
    l: _Separations, re: _Number, rstar: _Number, bl: _Separations, bf: _Separations
) -> list[float]:
    """Tabulated brightness profile from uniform-disk annuli."""

def multi_witt_mao_magnification(
    l: _Separations, re: _Separations, rstar: _Separations
) -> list[list[float]]:
    """One uniform-disk row per (re, rstar) pair, re outer, rstar inner."""

def heyrovsky_magnification(l: _Number, r: _Number, re: _Number, rstar: _Number) -> float:
    """Thin uniform ring of radius r; raises RuntimeError when an elliptic integral fails."""

def integrated_heyrovsky_magnification(l: _Separations, re: _Number, rstar: _Number) -> list[float]:
    """Linear limb darkening (coefficient 0.6) from rings integrated over the radius."""

def integrated_flux_map_heyrovsky_magnification(
    l: _Separations, re: _Number, rstar: _Number, bl: _Separations, bf: _Separations
) -> list[float]:
    """Tabulated brightness profile from rings integrated over the radius."""

def discrete_flux_map_heyrovsky_magnification(
    l: _Separations, re: _Number, rstar: _Number, bl: _Separations, bf: _Separations
) -> list[float]:
    """Sum of ring magnifications at radii bl weighted by bf; RuntimeError on a failed ring."""
