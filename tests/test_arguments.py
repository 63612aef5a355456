"""Argument matching and conversion at the module boundary."""

import pytest

import tovimera

ring = tovimera.heyrovsky_magnification


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "heyrovsky_magnification() missing 4 required positional arguments: 'l', 'r', 're', and 'rstar'"),
        ((1.0,), {}, "heyrovsky_magnification() missing 3 required positional arguments: 'r', 're', and 'rstar'"),
        ((1.0, 2.0), {}, "heyrovsky_magnification() missing 2 required positional arguments: 're' and 'rstar'"),
        ((1.0, 2.0, 1.0), {}, "heyrovsky_magnification() missing 1 required positional argument: 'rstar'"),
        ((1.0,), {"re": 1.0}, "heyrovsky_magnification() missing 2 required positional arguments: 'r' and 'rstar'"),
        ((1.0, 2.0, 1.0, 1.0, 5.0), {}, "heyrovsky_magnification() takes 4 positional arguments but 5 were given"),
        ((1.0, 2.0, 1.0, 1.0, 5.0), {"x": 1}, "heyrovsky_magnification() takes 4 positional arguments but 5 were given"),
        ((1.0, 2.0, 1.0, 1.0), {"l": 2.0}, "heyrovsky_magnification() got multiple values for argument 'l'"),
        ((1.0,), {"r": 1.0, "x": 2}, "heyrovsky_magnification() got an unexpected keyword argument 'x'"),
        ((1.0,), {"x": 2}, "heyrovsky_magnification() got an unexpected keyword argument 'x'"),
        ((1.0,), {"rstar": 1.0, "R": 2}, "heyrovsky_magnification() got an unexpected keyword argument 'R'"),
        ((1.0,), {"\udc80": 2}, "heyrovsky_magnification() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ],
)
def test_matching_messages_for_four_parameters(args, kwargs, message):
    error = raised(ring, *args, **kwargs)
    assert type(error) is TypeError
    assert error.args == (message,)
    assert not hasattr(error, "__notes__")


def test_keywords_are_checked_in_the_order_given():
    # The duplicate comes before the unknown name, so it is the one reported.
    error = raised(ring, 1.0, r=1.0, l=2.0, zz=3.0)
    assert str(error) == "heyrovsky_magnification() got multiple values for argument 'l'"
    error = raised(ring, 1.0, zz=3.0, l=2.0)
    assert str(error) == "heyrovsky_magnification() got an unexpected keyword argument 'zz'"


def test_keywords_in_any_order_replace_positionals():
    expected = ring(0.3, 0.8, 1.0, 0.5)
    assert ring(rstar=0.5, re=1.0, r=0.8, l=0.3) == expected
    assert ring(0.3, rstar=0.5, r=0.8, re=1.0) == expected


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __index__(self):
        return 2


class FloatSubclass(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [(2, 2.0), (True, 1.0), (FloatSubclass(2.0), 2.0), (FloatLike(2.0), 2.0), (IndexLike(), 2.0), (2.0, 2.0)],
)
def test_float_conversion_accepts_numbers(value, expected):
    assert ring(0.3, 0.8, value, 1.0) == ring(0.3, 0.8, expected, 1.0)


def test_minus_one_is_a_value_not_a_failure():
    # l = -1 with r = 1: l*r < 0 gives m = NaN, so a value that reached the
    # arithmetic fails in the elliptic integral, not in the conversion.
    for minus_one in (-1.0, -1, FloatLike(-1.0)):
        error = raised(ring, minus_one, 1.0, 1.0, 1.0)
        assert type(error) is RuntimeError and str(error) == "ellipk: Arguments cannot be NAN."
    assert ring(0.5, -1.0 + 2.0, 1.0, 1.0) == ring(0.5, 1.0, 1.0, 1.0)
    assert ring(2.0, 1.0, -1.0, -1.0) == ring(2.0, 1.0, 1.0, 1.0)


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float here")


@pytest.mark.parametrize(
    "position, name, value, kind, text",
    [
        (0, "l", "1", TypeError, "must be real number, not str"),
        (1, "r", None, TypeError, "must be real number, not NoneType"),
        (2, "re", 10**400, OverflowError, "int too large to convert to float"),
        (3, "rstar", RaisingFloat(), ZeroDivisionError, "no float here"),
    ],
)
def test_float_conversion_failures_carry_cpythons_exception_and_a_note(position, name, value, kind, text):
    args = [0.3, 0.8, 1.0, 1.0]
    args[position] = value
    error = raised(ring, *args)
    assert type(error) is kind
    assert str(error) == text
    assert error.__notes__ == [f"while processing '{name}'"]


def test_only_the_first_failing_argument_is_reported():
    error = raised(ring, "a", None, 1.0, 1.0)
    assert error.__notes__ == ["while processing 'l'"]


def test_a_failing_add_note_leaves_the_error_unchanged():
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("notes refused")

    class Raises:
        def __float__(self):
            raise NoNotes("original")

    error = raised(ring, Raises(), 1.0, 1.0, 1.0)
    assert type(error) is NoNotes and error.args == ("original",)
    assert not hasattr(error, "__notes__")

