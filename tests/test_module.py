"""The module object, its functions' identity, and panics."""

import importlib
import inspect
import subprocess
import sys

import pytest

import tovimera
from support import HugeLength

TABLE = [
    ("witt_mao_magnification", "(l, re, rstar)"),
    ("integrated_witt_mao_magnification", "(l, re, rstar)"),
    ("integrated_flux_map_witt_mao_magnification", "(l, re, rstar, bl, bf)"),
    ("multi_witt_mao_magnification", "(l, re, rstar)"),
    ("heyrovsky_magnification", "(l, r, re, rstar)"),
    ("integrated_heyrovsky_magnification", "(l, re, rstar)"),
    ("integrated_flux_map_heyrovsky_magnification", "(l, re, rstar, bl, bf)"),
    ("discrete_flux_map_heyrovsky_magnification", "(l, re, rstar, bl, bf)"),
]
REGISTERED = [row for row in TABLE if row[0] in tovimera.__all__]


def test_all_lists_the_functions_in_table_order():
    names = [name for name, _ in TABLE]
    assert tovimera.__all__ == [name for name in names if name in tovimera.__all__]
    assert "heyrovsky_magnification" in tovimera.__all__


def test_module_has_only_standard_attributes_and_the_functions():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__"}
    assert set(vars(tovimera)) - standard == set(tovimera.__all__)
    assert isinstance(tovimera.__doc__, str) and "\n" not in tovimera.__doc__.strip()


@pytest.mark.parametrize("name, signature", REGISTERED)
def test_function_identity(name, signature):
    function = getattr(tovimera, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__module__ == tovimera.__name__ == "tovimera"
    assert function.__self__ is tovimera
    parameters = inspect.signature(function).parameters
    assert "(" + ", ".join(parameters) + ")" == signature
    for parameter in parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_reimport_makes_a_new_module_and_the_old_one_keeps_working():
    old = sys.modules.pop("tovimera")
    try:
        new = importlib.import_module("tovimera")
        assert new is not old
        assert new.heyrovsky_magnification is not old.heyrovsky_magnification
        assert new.__all__ == old.__all__ and new.__all__ is not old.__all__
        assert old.heyrovsky_magnification(0.0, 0.5, 1.0, 1.0) == new.heyrovsky_magnification(0.0, 0.5, 1.0, 1.0)
    finally:
        sys.modules["tovimera"] = old


def test_only_the_init_function_is_exported():
    output = subprocess.run(
        ["nm", "-D", "--defined-only", tovimera.__file__], check=True, capture_output=True, text=True
    ).stdout
    symbols = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert symbols == ["PyInit_tovimera"]


def capacity_panic():
    return [HugeLength(), 1.0, 1.0]


def panicking_call():
    names = [name for name, signature in REGISTERED if signature.startswith("(l, re")]
    if not names:
        pytest.skip("no function with a sequence argument is registered")
    return getattr(tovimera, names[0])


def test_panic_exception_properties(capfd):
    with pytest.raises(BaseException) as info:
        panicking_call()(*capacity_panic())
    error = info.value
    kind = type(error)
    assert kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert kind.__bases__ == (BaseException,)
    assert error.args == ("capacity overflow",)
    assert "panicked at" in capfd.readouterr().err
    # The type is created once per process.
    with pytest.raises(BaseException) as again:
        panicking_call()(*capacity_panic())
    assert type(again.value) is kind


def test_a_panic_coming_back_through_python_is_resumed(capfd):
    function = panicking_call()

    class Reenters:
        def __float__(self):
            function(*capacity_panic())
            return 1.0

    with pytest.raises(BaseException) as info:
        function([Reenters()], 1.0, 1.0)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("capacity overflow",)
    err = capfd.readouterr().err
    assert "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---" in err
    assert "Python stack trace below:" in err
