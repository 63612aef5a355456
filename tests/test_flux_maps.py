"""Tabulated sources: rings summed, and interpolated profiles integrated."""

import json
import math
import pathlib

import mpmath as mp
import pytest

import tovimera
from reference import limb_darkening, profile_weighted_mean, relative, ring_closed_form, uniform_disk
from reference_integrated import interpolated as tabulated

# 34-digit references written by tests/reference/make_integrated_table.py:
# the annulus construction (and, for the kinked table, the ring mean).
TABLE = json.loads((pathlib.Path(__file__).parent / "reference" / "integrated_reference.json").read_text())

discrete = tovimera.discrete_flux_map_heyrovsky_magnification
disk_map = tovimera.integrated_flux_map_witt_mao_magnification
ring_map = tovimera.integrated_flux_map_heyrovsky_magnification
ALL = [discrete, disk_map, ring_map]


@pytest.mark.parametrize("function", ALL)
@pytest.mark.parametrize("l", [[], [0.5, 2.0]])
def test_unequal_tables_panic_before_anything_else(function, l):
    with pytest.raises(BaseException) as info:
        function(l, 1.0, 0.1, [0.1, 0.5, 0.9], [1.0, 1.0])
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("assertion `left == right` failed\n  left: 3\n right: 2",)


def test_discrete_sums_ring_values_in_table_order():
    l, re, rstar = [0.3, 1.7], 1.0, 0.1
    bl, bf = [0.2, 0.6, 0.95], [1.0, 0.5, 0.25]
    values = discrete(l, re, rstar, bl, bf)
    for value, separation in zip(values, l):
        expected = sum(ring_closed_form(separation, r, re, rstar) * w for r, w in zip(bl, bf))
        assert relative(value, expected) < 1e-14


def test_discrete_weights_are_not_normalised_and_empty_tables_give_zeros():
    single = discrete([0.3, 1.7], 1.0, 0.1, [0.6], [1.0])
    assert discrete([0.3, 1.7], 1.0, 0.1, [0.6], [2.0]) == [2 * v for v in single]
    assert discrete([0.3, 1.7], 1.0, 0.1, [], []) == [0.0, 0.0]
    assert discrete([], 1.0, 0.1, [0.6], [1.0]) == []


def test_discrete_reports_the_first_failing_ring():
    # Separation 3 (index 2) fails at its second ring (weight 0 still counts);
    # a later separation would fail with another message.
    l = [0.5, 0.7, 10000.0, math.nan]
    bl = [0.1, 10000.0 + 2e-5]
    with pytest.raises(RuntimeError) as info:
        discrete(l, 1.0, 1.0, bl, [1.0, 0.0])
    assert info.value.args == ("ellippi: n cannot be 1.",)
    with pytest.raises(RuntimeError) as info:
        discrete([math.nan, 10000.0], 1.0, 1.0, bl, [1.0, 0.0])
    assert info.value.args == ("ellipk: Arguments cannot be NAN.",)


LAW_RADII = [i / 40 for i in range(41)]
LAW_TABLE = [float(limb_darkening(r)) for r in LAW_RADII]


@pytest.mark.parametrize("l", [0.4, 1.5])
def test_ring_map_is_the_weighted_mean_of_the_interpolated_profile(l):
    bl, bf = [0.0, 0.3, 0.7, 1.0], [1.0, 0.9, 0.6, 0.3]
    reference = profile_weighted_mean(l, 1.0, 0.1, tabulated(bl, bf), breaks=bl)
    # The profile's kinks lie inside one sweep: they limit the accuracy.
    assert relative(ring_map([l], 1.0, 0.1, bl, bf)[0], reference) < 2e-5


@pytest.mark.parametrize("l, rho", [(0.3, 0.01), (0.4, 0.1), (0.9, 0.1), (1.5, 0.1), (3.0, 1.0)])
def test_one_entry_table_is_the_uniform_disk(l, rho):
    expected = uniform_disk(l * rho, rho)
    for position in (0.5, 7.0):
        # Inside, the rings within 1e-5 of the lens use the logarithmic asymptote.
        assert relative(ring_map([l], 1.0, rho, [position], [2.0])[0], expected) < (1e-11 if l < 1 else 1e-13)
        # Annuli 2e-4 wide smooth the disk by about 4e-10 / |l - 1|, and by
        # 4e-5 at the centre: 1e-8 holds for 0.3 <= l <= 0.9 and l >= 1.05.
        assert relative(disk_map([l], 1.0, rho, [position], [2.0])[0], expected) < 1e-8


@pytest.mark.parametrize("l, rho, construction",
                         [pytest.param(e["l"], e["rho"], mp.mpf(e["construction"]), id=f"l={e['l']!r}-rho={e['rho']!r}")
                          for e in TABLE["one_entry"]])
def test_annuli_of_a_one_entry_table_are_their_construction(l, rho, construction):
    # Cut where an annulus edge meets the lens or the source's centre or rim,
    # the rule is exact for the annuli wherever the lens is, the table's
    # position and level aside.
    for position, level in ((0.5, 1.0), (7.0, 2.5)):
        assert relative(disk_map([l], 1.0, rho, [position], [level])[0], construction) < 1e-10


def test_annuli_of_a_kinked_table_are_no_worse_than_its_rings():
    # Neither route cuts at the table's kinks, nor does the flux they share:
    # those kinks (1e-8 to 5e-6 here, worst for both at l = 0.95) bound both
    # alike, and which route is closer at one l depends on its nodes.
    annuli, rings = [], []
    for e in TABLE["kinked"]:
        args = ([e["l"]], 1.0, e["rho"], e["bl"], e["bf"])
        annuli.append(relative(disk_map(*args)[0], mp.mpf(e["construction"])))
        rings.append(relative(ring_map(*args)[0], mp.mpf(e["rings"])))
    assert max(rings) < 1e-5
    assert max(annuli) <= max(rings) * mp.mpf("1.01")


# Both routes leave the table's 40 kinks inside their sweeps, at different
# nodes: they differ by that kink error (measured 3.9e-7, 5.8e-8, 3.7e-8).
@pytest.mark.parametrize("l, tolerance", [(0.3, 1e-6), (1.2, 2e-7), (2.5, 1e-7)])
def test_both_integrated_variants_agree_for_a_smooth_law(l, tolerance):
    a = disk_map([l], 1.0, 0.1, LAW_RADII, LAW_TABLE)[0]
    b = ring_map([l], 1.0, 0.1, LAW_RADII, LAW_TABLE)[0]
    assert relative(a, b) < tolerance


@pytest.mark.parametrize("function", [disk_map, ring_map])
def test_scaling_the_brightness_leaves_results_unchanged(function):
    l = [0.3, 1.2]
    base = function(l, 1.0, 0.1, LAW_RADII, LAW_TABLE)
    scaled = function(l, 1.0, 0.1, LAW_RADII, [7.5 * f for f in LAW_TABLE])
    for a, b in zip(base, scaled):
        assert relative(a, b) < 1e-13


def test_a_table_inside_the_disk_is_dark_outside_it():
    bl, bf = [0.2, 0.5], [1.0, 1.0]
    reference = profile_weighted_mean(1.5, 1.0, 0.1, tabulated(bl, bf), breaks=bl)
    # Brightness jumps at 0.2 and 0.5 inside one sweep: about 3.5e-4 measured.
    assert relative(ring_map([1.5], 1.0, 0.1, bl, bf)[0], reference) < 1e-3


@pytest.mark.parametrize("function", [disk_map, ring_map])
def test_empty_or_dark_tables_give_nan(function):
    assert all(math.isnan(v) for v in function([0.5, 2.0], 1.0, 0.1, [], []))
    assert all(math.isnan(v) for v in function([0.5, 2.0], 1.0, 0.1, [0.5], [0.0]))
    assert function([], 1.0, 0.1, [0.5], [1.0]) == []


# A uniform source with the lens at and next to its centre, where the rings
# within 1e-5 of the lens used to take the logarithmic form.
@pytest.mark.parametrize("rho", [0.01, 0.1, 1.0])
@pytest.mark.parametrize("l", [0.0, 1e-12, 1e-10, 1e-8, 1e-5])
def test_one_entry_ring_map_with_the_lens_at_the_centre(l, rho):
    expected = uniform_disk(l * rho, rho)
    assert relative(ring_map([l], 1.0, rho, [0.5], [1.0])[0], expected) < 1e-11
