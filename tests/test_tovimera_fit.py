"""tovimera_fit: any linear limb-darkening coefficient against 34-digit 2-D integrals and
against a tabulated profile of the same law, the gamma conversion, names, dtypes and shapes."""

import importlib.metadata
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import tovimera
import tovimera_fit

REFERENCE = json.loads((pathlib.Path(__file__).parent / "reference" / "limb_law_reference.json").read_text())
LIMB_METHODS = ["rings", "disks"]


def reference_cases():
    for entry in REFERENCE["entries"]:
        methods = ["uniform", *LIMB_METHODS] if entry["a"] == 0.0 else LIMB_METHODS
        for method in methods:
            yield pytest.param(entry, method, id=f"{method}-a{entry['a']}-rho{entry['rho']}-x{entry['u_over_rho']}")


@pytest.mark.parametrize(("entry", "method"), list(reference_cases()))
def test_matches_the_two_dimensional_integral(entry, method):
    rho = entry["rho"]
    u = np.array([entry["u_over_rho"] * rho])
    got = tovimera_fit.magnification(u, rho, method, entry["a"])
    # Worst seen: 3.7e-14 relative; 1e-12 leaves room for libm differences.
    assert got[0] == pytest.approx(float(entry["magnification"]), rel=1e-12, abs=0)


@pytest.mark.parametrize("a", [0.15, 0.45, 0.6, 0.9, 1.0])
@pytest.mark.parametrize(("method", "flux_map", "tolerance"), [
    # The annulus route smooths the centre by 4e-5 on its own (docs/guide.md).
    ("rings", tovimera.integrated_flux_map_heyrovsky_magnification, 2e-7),
    ("disks", tovimera.integrated_flux_map_witt_mao_magnification, 1e-4),
])
def test_matches_a_tabulated_profile_of_the_same_law(a, method, flux_map, tolerance):
    rho = 0.05
    # Even steps in the angle: dense radii next to the rim, where mu = sqrt(1 - r^2) turns fast.
    angle = np.linspace(0.0, np.pi / 2, 2001)
    radii = np.sin(angle)
    radii[-1] = 1.0
    brightness = 1.0 - a * (1.0 - np.cos(angle))
    l = np.array([0.0, 0.3, 0.9, 1.0, 1.2, 3.0, 25.0])
    expected = np.asarray(flux_map(l, 1.0, rho, radii, brightness))
    np.testing.assert_allclose(tovimera_fit.magnification(l * rho, rho, method, a), expected, rtol=tolerance)


@pytest.mark.parametrize("method", LIMB_METHODS)
def test_built_in_coefficient_is_the_extension_itself(method):
    l = np.array([0.0, 0.7, 1.0, 5.0])
    built_in = {"rings": tovimera.integrated_heyrovsky_magnification,
                "disks": tovimera.integrated_witt_mao_magnification}[method](l, 1.0, 0.02)
    assert tovimera_fit.magnification(l * 0.02, 0.02, method, 0.6).tolist() == built_in


@pytest.mark.parametrize(("a", "gamma"), [(0.0, 0.0), (0.6, 0.5), (1.0, 1.0), (3.0 / 7.0, 1.0 / 3.0)])
def test_gamma_conversion_closed_forms(a, gamma):
    assert tovimera_fit.gamma_from_a(a) == pytest.approx(gamma, rel=1e-15)
    assert tovimera_fit.a_from_gamma(gamma) == pytest.approx(a, rel=1e-15)


def test_gamma_law_is_the_same_profile():
    # MulensModel normalises I = 1 - gamma (1 - 3 mu / 2) to unit mean; the a law to 1 - a/3.
    a = np.array([0.1, 0.4, 0.7, 0.95])[:, None]
    mu = np.linspace(0.0, 1.0, 11)[None, :]
    gamma = tovimera_fit.gamma_from_a(a)
    np.testing.assert_allclose(1 - gamma * (1 - 1.5 * mu), (1 - a * (1 - mu)) / (1 - a / 3), rtol=1e-14)
    np.testing.assert_allclose(tovimera_fit.a_from_gamma(gamma), a, rtol=1e-15)


@pytest.mark.parametrize(("kwargs", "message"), [
    ({"method": "ring"}, "unknown method 'ring': expected one of 'uniform', 'rings', 'disks'"),
    ({"method": "Uniform"}, "unknown method 'Uniform'"),
    ({"method": "uniform", "a": 0.4}, "method 'uniform' has no limb darkening"),
    ({"method": "rings", "a": [0.4, 0.5]}, "rho and a must be single numbers"),
    ({"method": "rings", "a": 3.0}, "a must be finite and below 3"),
    ({"method": "disks", "a": float("nan")}, "a must be finite and below 3"),
    ({"method": "disks", "a": float("-inf")}, "a must be finite and below 3"),
    ({"method": "rings", "rho": 0.0}, "rho must be positive and finite, got 0.0"),
    ({"method": "uniform", "rho": -0.1}, "rho must be positive and finite, got -0.1"),
    ({"method": "uniform", "rho": float("inf")}, "rho must be positive and finite, got inf"),
])
def test_bad_arguments_say_what_is_wrong(kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        tovimera_fit.magnification(np.array([0.1]), **{"rho": 0.1, **kwargs})


def test_array_rho_and_complex_u_are_refused():
    with pytest.raises(ValueError, match="single numbers"):
        tovimera_fit.magnification(np.array([0.1, 0.2]), np.array([0.1, 0.2]))
    with pytest.raises(TypeError, match="complex128"):
        tovimera_fit.magnification(np.array([0.1 + 0j]), 0.1)


@pytest.mark.parametrize("method", tovimera_fit.METHODS)
@pytest.mark.parametrize("make", [
    lambda v: v.astype(np.float32),
    lambda v: (v * 1000).astype(np.int64),
    lambda v: v.reshape(2, 3),
    lambda v: np.asfortranarray(v.reshape(3, 2)),
    lambda v: np.repeat(v, 2)[::2],
    lambda v: v[::-1],
    lambda v: v.tolist(),
], ids=["float32", "int64", "2-D", "fortran", "strided", "reversed", "list"])
def test_dtype_and_shape_round_trip(method, make):
    rho = 0.03
    u = np.array([0.0, 0.01, 0.03, 0.05, 0.2, 1.0])
    given = make(u)
    flat = np.asarray(given, dtype=np.float64).ravel()
    a = 0.0 if method == "uniform" else 0.45
    got = tovimera_fit.magnification(given, rho, method, a)
    assert got.dtype == np.float64 and got.shape == np.shape(given)
    # Element by element, so a lost order or a transposed reshape shows.
    one_by_one = [tovimera_fit.magnification(np.array([x]), rho, method, a)[0] for x in flat]
    np.testing.assert_array_equal(got.ravel(), one_by_one)


def test_scalar_and_empty_inputs_keep_their_shape():
    assert tovimera_fit.magnification(0.01, 0.02, "rings", 0.5).shape == ()
    assert tovimera_fit.magnification(np.empty((0, 4)), 0.02, "disks", 0.5).shape == (0, 4)


@pytest.mark.parametrize(("method", "a"), [
    ("uniform", 0.0), ("rings", 0.5), ("disks", 0.5), ("rings", 0.6), ("disks", 0.6),
])
def test_not_a_number_separation_stays_in_its_slot(method, a):
    got = tovimera_fit.magnification(np.array([0.01, np.nan, np.inf, -0.01, 0.01]), 0.02, method, a)
    assert got[0] == got[4] and got[0] > 1
    np.testing.assert_array_equal(got[1:4], [np.nan] * 3)


def test_installed_with_the_extension_and_typed(tmp_path):
    files = {str(f) for f in importlib.metadata.files("tovimera")}
    assert {"tovimera_fit/__init__.py", "tovimera_fit/py.typed"} <= files
    assert pathlib.Path(tovimera_fit.__file__).parent.parent == pathlib.Path(tovimera.__file__).parent
    # mypy reads the annotations only through py.typed: without it the wrong call goes unseen.
    (tmp_path / "use.py").write_text(
        "import tovimera_fit\n"
        "x = tovimera_fit.magnification([0.1], 0.1, 'rings', 0.5)\n"
        "reveal_type(tovimera_fit.gamma_from_a(0.5))\n"
        "tovimera_fit.magnification([0.1], 0.1, 3)\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", f"--cache-dir={tmp_path / 'cache'}", "use.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert 'use.py:3: note: Revealed type is "numpy.ndarray[' in done.stdout, done.stdout
    assert 'use.py:4: error: Argument 3 to "magnification" has incompatible type "int"; expected "str"' \
        in done.stdout, done.stdout
    assert "Found 1 error in 1 file" in done.stdout, done.stdout
