"""Calls that a type checker must accept, then calls it must reject.

tests/test_stubs.py runs mypy over this file and expects an error exactly on each line
marked `# wrong: <mypy error code>`, with that code. It also runs the accepted calls, and
each rejected one on its own, against the module: the module must take the first and
raise TypeError on the second, except where only the declared type of the result is wrong.
"""

import array
import pickle
from fractions import Fraction

import numpy as np
import numpy.typing as npt

import tovimera

l: npt.NDArray[np.float64] = np.linspace(0.0, 3.0, 7)
bl = np.array([0.0, 0.5, 1.0])
bf = [1.0, 0.8, 0.5]
curve: list[float] = tovimera.witt_mao_magnification(l, 1.0, 0.01)
curve = tovimera.witt_mao_magnification([0.5, 1, Fraction(3, 2), np.float32(2.5)], 2, np.float64(0.1))
curve = tovimera.witt_mao_magnification(range(5), re=1.0, rstar=0.1)
curve = tovimera.integrated_witt_mao_magnification(array.array("d", [0.5, 1.5]), 1.0, 0.1)
curve = tovimera.integrated_witt_mao_magnification(np.arange(5, dtype=np.float32), 1.0, 0.1)
curve = tovimera.integrated_flux_map_witt_mao_magnification(l, 1.0, 0.1, bl, bf)
rows: list[list[float]] = tovimera.multi_witt_mao_magnification(l, [1.0, 2.0], np.array([0.1, 0.2]))
ring: float = tovimera.heyrovsky_magnification(0.5, 0.3, 1.0, np.float64(0.1))
curve = tovimera.integrated_heyrovsky_magnification(memoryview(array.array("d", [0.5, 2.0])), 1.0, 0.1)
curve = tovimera.integrated_heyrovsky_magnification((0.5, 2.0), 1.0, 0.1)
curve = tovimera.integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, tuple(bl), bf)
curve = tovimera.discrete_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, np.asarray(bf))

# Rejected from here on.
tovimera.witt_mao_magnification("0.5 1.5", 1.0, 0.1)  # wrong: arg-type
tovimera.witt_mao_magnification(0.5, 1.0, 0.1)  # wrong: arg-type
tovimera.witt_mao_magnification(["0.5", "1.5"], 1.0, 0.1)  # wrong: list-item
tovimera.witt_mao_magnification({0.5: 1.0}, 1.0, 0.1)  # wrong: arg-type
tovimera.witt_mao_magnification(np.float64(0.5), 1.0, 0.1)  # wrong: arg-type
tovimera.witt_mao_magnification(pickle.PickleBuffer(array.array("d", [0.5])), 1.0, 0.1)  # wrong: arg-type
tovimera.witt_mao_magnification(l, "1.0", 0.1)  # wrong: arg-type
tovimera.witt_mao_magnification(l, 1.0)  # wrong: call-arg
tovimera.witt_mao_magnification(l, 1.0, 0.1, rho=0.1)  # wrong: call-arg
tovimera.multi_witt_mao_magnification(l, 1.0, [0.1])  # wrong: arg-type
tovimera.heyrovsky_magnification([0.5], 0.3, 1.0, 0.1)  # wrong: arg-type
tovimera.integrated_flux_map_heyrovsky_magnification(l, 1.0, 0.1, bl, None)  # wrong: arg-type
ring = tovimera.witt_mao_magnification(l, 1.0, 0.1)  # wrong: assignment
curve = tovimera.multi_witt_mao_magnification(l, [1.0], [0.1])  # wrong: assignment
