"""Separation sequences: what is accepted, what is rejected, and how."""

import array
import math
import struct
import warnings

import numpy as np
import pytest

import tovimera

disk = tovimera.witt_mao_magnification


def raised(*args):
    with pytest.raises(BaseException) as info:
        disk(*args)
    return info.value


class StrSubclass(str):
    pass


def generator():
    yield 1.0


@pytest.mark.parametrize(
    "value, kind, message",
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        (StrSubclass("1"), TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        (1.5, TypeError, "'float' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ({1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ({1.0: 2.0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        (generator(), TypeError, "'generator' object is not an instance of 'Sequence'"),
        (iter([1.0]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
        ([1.0, "x"], TypeError, "must be real number, not str"),
        ([1.0, None], TypeError, "must be real number, not NoneType"),
        ([10**400], OverflowError, "int too large to convert to float"),
    ],
)
def test_rejected_sequences_name_the_argument(value, kind, message):
    error = raised(value, 1.0, 1.0)
    assert type(error) is kind
    assert error.args == (message,)
    assert error.__notes__ == ["while processing 'l'"]


def test_a_nested_qualified_type_name_is_reported():
    class Outer:
        class Inner:
            pass

    error = raised(Outer.Inner(), 1.0, 1.0)
    assert str(error).startswith("'test_a_nested_qualified_type_name_is_reported.<locals>.Outer.Inner' object")


def test_later_arguments_are_not_converted_after_a_failure():
    assert raised("abc", "1", 1.0).__notes__ == ["while processing 'l'"]
    error = raised([1.0], "1", 1.0)
    assert type(error) is TypeError and error.__notes__ == ["while processing 're'"]
    assert raised([1.0], 10**400, 1.0).__notes__ == ["while processing 're'"]


EXPECTED = disk([1.0, 2.0], 1.0, 0.1)


@pytest.mark.parametrize(
    "value",
    [
        (1, 2),
        range(1, 3),
        b"\x01\x02",
        bytearray(b"\x01\x02"),
        array.array("d", [1.0, 2.0]),
        array.array("i", [1, 2]),
        np.array([1.0, 2.0]),
        np.array([1, 2], dtype=np.int32),
        np.array([1.0, 2.0], dtype=np.float32),
        [np.float64(1.0), np.int64(2)],
        [True, 2],
    ],
)
def test_accepted_sequences_convert_in_order(value):
    assert disk(value, 1.0, 0.1) == EXPECTED


def test_empty_sequence_gives_empty_list():
    assert disk([], 1.0, 0.1) == []
    assert disk((), 1.0, 0.1) == []


class Sequence:
    """A sequence with a controllable length hint and iteration."""

    def __init__(self, items, length=None, fail_after=None):
        self.items, self.length, self.fail_after = items, length, fail_after

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if self.fail_after is not None and i == self.fail_after:
                raise ValueError("iteration broke")
            yield item


@pytest.mark.parametrize("length", [ValueError("no length"), 0, 1, 100, 10**6])
def test_length_hint_failures_and_lies_do_not_change_the_result(length):
    assert disk(Sequence([1.0, 2.0], length=length), 1.0, 0.1) == EXPECTED


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_a_length_hint_that_stops_the_program_is_not_discarded(stop):
    error = raised(Sequence([1.0, 2.0], length=stop()), 1.0, 0.1)
    assert type(error) is stop
    assert error.__notes__ == ["while processing 'l'"]


class ReversedArray(array.array):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class ReversedNdarray(np.ndarray):
    def __iter__(self):
        return reversed(list(super().__iter__()))


# A subclass may iterate otherwise than its buffer reads; what the module
# sees must not depend on the item type taking the buffer shortcut.
@pytest.mark.parametrize("code", ["d", "f"])
def test_subclasses_of_array_types_are_iterated(code):
    separations = [0.5, 2.0, 1.0]
    expected = disk(separations[::-1], 1.0, 0.1)
    assert disk(ReversedArray(code, separations), 1.0, 0.1) == expected
    dtype = np.float64 if code == "d" else np.float32
    assert disk(np.array(separations, dtype=dtype).view(ReversedNdarray), 1.0, 0.1) == expected


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.float16])
def test_a_masked_array_reads_masked_items_as_nan_for_every_dtype(dtype):
    masked = np.ma.array(np.array([0.5, 1.0, 2.0], dtype=dtype), mask=[False, True, False])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # numpy's note on masked items
        values = disk(masked, 1.0, 0.1)
    assert math.isnan(values[1])
    assert values[0::2] == disk([0.5, 2.0], 1.0, 0.1)


def test_an_iterator_that_raises_midway_ends_the_call_with_its_exception():
    error = raised(Sequence([1.0, 2.0, 3.0], fail_after=2), 1.0, 1.0)
    assert type(error) is ValueError and error.args == ("iteration broke",)
    assert error.__notes__ == ["while processing 'l'"]


def test_non_finite_results_come_back_as_floats():
    values = disk([1.0, -1.0, math.nan], 1.0, 0.0)
    assert values[0] == math.inf and values[1] == -math.inf and math.isnan(values[2])


def test_contiguous_double_buffers_give_the_same_values_as_iteration():
    values = [0.5, math.nan, -1.0, math.inf, 0.0, 1e300, 2.5]
    expected = [struct.pack("<d", v) for v in disk(values, 1.0, 0.1)]
    arrays = [
        np.array(values),
        array.array("d", values),
        memoryview(array.array("d", values)),
        np.repeat(values, 2)[::2],  # strided: read item by item
        np.array(values, dtype=">f8"),  # non-native byte order: read item by item
    ]
    for value in arrays:
        assert [struct.pack("<d", v) for v in disk(value, 1.0, 0.1)] == expected


def test_multidimensional_buffers_are_iterated_like_any_sequence():
    for matrix in (np.zeros((2, 2)), np.zeros((2, 1))):
        error = raised(matrix, 1.0, 1.0)
        same = raised(list(matrix), 1.0, 1.0)
        assert type(error) is type(same) and error.args == same.args
        assert error.__notes__ == ["while processing 'l'"]
