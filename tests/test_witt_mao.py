"""Uniform-disk sequences and grids."""

import math
import struct

import pytest

import tovimera
from reference import point_source, relative, uniform_disk

disk = tovimera.witt_mao_magnification
multi = tovimera.multi_witt_mao_magnification


@pytest.mark.parametrize(
    "l, re, rstar",
    [(0.5, 1.0, 0.1), (3.0, 2.0, 0.2), (0.0, 1.0, 0.5), (1.2, 1.0, 1.0), (40.0, 1.0, 0.001), (2e4, 1.0, 1e-4)],
)
def test_values_are_the_uniform_disk_magnification(l, re, rstar):
    rho = rstar / re
    u = l * rho
    assert relative(disk([l], re, rstar)[0], uniform_disk(u, rho)) < 1e-12


def test_separations_are_scaled_by_the_ratio_not_the_product():
    # u = l * (rstar / re): for these inputs it differs from (l * rstar) / re.
    l, re, rstar = 0.49, 3.5, 0.78
    assert (l * rstar) / re != l * (rstar / re)
    rho = rstar / re
    assert disk([l], re, rstar) == disk([l], 1.0, rho)
    assert disk([l], re, rstar) != disk([(l * rstar) / re / rho], 1.0, rho)


def test_point_source_branch_and_its_infinities():
    # rho <= 0 takes the point-source formula at u = l * rho, sign included.
    assert relative(disk([2.0], 1.0, -0.5)[0], point_source(-1.0)) < 1e-15
    values = disk([1.0, -2.0, 0.0], 1.0, 0.0)
    assert values[0] == math.inf and values[1] == -math.inf and values[2] == math.inf


def test_nan_results_are_the_quiet_nan():
    for value in disk([-1.0, math.nan], 1.0, 0.1) + disk([1.0], math.nan, 0.1) + disk([1.0], 0.0, 0.1):
        assert struct.pack("<d", value) == struct.pack("<Q", 0x7FF8000000000000)


def test_rim_band_returns_the_rim_value():
    rho = 0.1
    rim = disk([1.0], 1.0, rho)[0]
    assert relative(rim, uniform_disk(rho, rho)) < 1e-14
    inside_band = disk([1.0 + 0.9e-3 * 0.999, 1.0 - 0.9e-3], 1.0, rho)
    assert inside_band == [rim, rim]


def test_order_for_lengths_that_are_not_powers_of_two():
    l = [0.013 * i for i in range(1, 1000)]
    values = disk(l, 1.0, 0.1)
    assert values == [disk([x], 1.0, 0.1)[0] for x in l]


def test_multi_rows_are_single_calls_in_pair_order():
    l = [0.0, 0.5, 1.0, 2.5, -1.0]
    re = [1.0, 2.0, 0.0]
    rstar = [0.1, 0.0, 1.0]
    rows = multi(l, re, rstar)
    assert len(rows) == 9
    for j, a in enumerate(re):
        for k, b in enumerate(rstar):
            expected = disk(l, a, b)
            got = rows[j * len(rstar) + k]
            assert [struct.pack("<d", v) for v in got] == [struct.pack("<d", v) for v in expected]


def test_multi_empty_axes():
    assert multi([1.0], [], [1.0]) == []
    assert multi([1.0], [1.0], []) == []
    assert multi([], [1.0, 2.0], [0.1, 0.2, 0.3]) == [[]] * 6


@pytest.mark.parametrize("position, name", [(1, "re"), (2, "rstar")])
def test_multi_needs_sequences_for_the_sizes(position, name):
    args = [[1.0], [1.0], [1.0]]
    args[position] = 1.0
    with pytest.raises(TypeError) as info:
        multi(*args)
    assert str(info.value) == "'float' object is not an instance of 'Sequence'"
    assert info.value.__notes__ == [f"while processing '{name}'"]
