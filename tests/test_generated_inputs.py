"""Generated bad (and good) input for all eight functions.

Every call must end the way the boundary's rules say (models.expect computes
that independently), touch the arguments' special methods in the same order as
the rules do, and leave every argument's reference count as it was.
"""

import array
import collections
import gc
import os
import struct
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import models
import tovimera

# TOVIMERA_GENERATED_EXAMPLES raises the count for a longer search.
SETTINGS = settings(
    derandomize=True,
    max_examples=int(os.environ.get("TOVIMERA_GENERATED_EXAMPLES", "300")),
    deadline=None,
    database=None,
)

# Which special method of which generated object ran, in call order.
LOG = []
# Outcome kinds seen per function, to show the generators reach every path.
SEEN = collections.defaultdict(collections.Counter)


class Logged:
    """Base of the generated objects: each has a serial number for the log."""

    serial = 0

    def __init__(self):
        Logged.serial += 1
        self.tag = Logged.serial

    def log(self, method):
        LOG.append((self.tag, method))


class NoNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("notes refused")


class Failure:
    """A recipe for a fresh exception, so that no instance is shared between calls."""

    def __init__(self, kind, text, note=None):
        self.kind, self.text, self.note = kind, text, note

    def make(self):
        error = self.kind(self.text)
        if self.note is not None:
            Exception.add_note(error, self.note)
        return error

    def __repr__(self):
        return f"Failure({self.kind.__name__}, {self.text!r}, {self.note!r})"


class Answering(Logged):
    """A special method that returns `value` (which may be of the wrong type) or, for
    a Failure, raises the exception it makes."""

    def __init__(self, value):
        super().__init__()
        self.value = value

    def answer(self, method):
        self.log(method)
        if isinstance(self.value, Failure):
            raise self.value.make()
        return self.value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class FloatLike(Answering):
    def __float__(self):
        return self.answer("__float__")


class IndexLike(Answering):
    """Only __index__."""

    def __index__(self):
        return self.answer("__index__")


class FloatAndIndex(FloatLike):
    def __index__(self):
        self.log("__index__")
        return 7


class FloatSubclass(float):
    """Read as a float directly: its own __float__ must never run."""

    def __float__(self):
        LOG.append((0, "FloatSubclass.__float__"))
        return "never"


class IntSubclass(int):
    def __float__(self):
        LOG.append((0, "IntSubclass.__float__"))
        return 0.25


class Outer:
    class Inner:
        """Not a sequence; its qualified name is reported."""


class Sequence(Logged):
    """A sequence with a length that may lie or raise, and items served either by
    __iter__ (which may fail or return a non-iterator) or by __getitem__ only."""

    def __init__(self, items, length, fail_at, failure, bad_iter):
        super().__init__()
        self.items, self.length, self.fail_at, self.failure, self.bad_iter = (
            items, length, fail_at, failure, bad_iter)

    def __len__(self):
        self.log("__len__")
        if isinstance(self.length, Failure):
            raise self.length.make()
        return len(self.items) if self.length is None else self.length

    def item(self, index):
        if index == self.fail_at:
            raise self.failure.make()
        return self.items[index]

    def __getitem__(self, index):
        self.log(("__getitem__", index))
        return self.item(index)

    def __repr__(self):
        return (f"{type(self).__name__}({self.items!r}, length={self.length!r}, "
                f"fail_at={self.fail_at!r}, failure={self.failure!r}, bad_iter={self.bad_iter!r})")


class IterSequence(Sequence):
    def __iter__(self):
        self.log("__iter__")
        if self.bad_iter:
            return 42
        return self.generate()

    def generate(self):
        for index in range(len(self.items) + (self.fail_at == len(self.items))):
            self.log(("next", index))
            yield self.item(index)


class GetitemSequence(Sequence):
    pass


class Key(str):
    """A keyword name with its own hash, so that one ** dict can hold it twice."""

    serial = 0

    def __new__(cls, text):
        key = super().__new__(cls, text)
        Key.serial += 1
        key.hash = 10**9 + Key.serial
        return key

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        return self is other


class Shown(str):
    """A keyword name whose str() differs from its text."""

    def __str__(self):
        return "shown-" + str.__str__(self)

    def __hash__(self):
        return str.__hash__(self)


# ---------------------------------------------------------------- strategies

def weighted(*choices):
    """A choice among strategies by (weight, strategy) pairs. A plain one_of
    would not do: Hypothesis merges repeated branches and flattens nested
    one_of, weighing every leaf alike."""
    table = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.integers(0, len(table) - 1).flatmap(table.__getitem__)


failures = st.builds(
    Failure,
    st.sampled_from([ValueError, ZeroDivisionError, LookupError, KeyboardInterrupt, NoNotes]),
    st.sampled_from(["boom", "", "ü\udc80"]),
    st.sampled_from([None, None, "an earlier note"]),
)

HUGE_INTS = [2**1024, -(2**1024), 10**400, 2**1023 * 2 - 1]
plain_floats = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True)
tame_floats = st.floats(min_value=-3.0, max_value=3.0) | st.sampled_from([0.0, 0.5, 1.0, 1e-300, 1e300])


def numpy_scalar(value, kind):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return kind(value)


numpy_scalars = st.one_of(
    st.builds(numpy_scalar, plain_floats, st.sampled_from([np.float64, np.float32, np.float16, np.longdouble])),
    st.builds(numpy_scalar, st.integers(0, 100), st.sampled_from([np.int8, np.int64, np.uint16])),
    st.builds(numpy_scalar, st.booleans(), st.just(np.bool_)),
    st.builds(numpy_scalar, st.complex_numbers(max_magnitude=10), st.just(np.complex128)),
    st.builds(numpy_scalar, st.sampled_from(["1.5", "x"]), st.just(np.str_)),
    st.builds(lambda v: np.array(v), plain_floats),  # 0-d array
    st.builds(lambda v: np.array([v]), plain_floats),  # one-element array
)

lying_values = st.one_of(
    st.sampled_from(["1.5", b"1", None, 3, 2**1100, FloatSubclass(2.5), 1j]),
    plain_floats,
    failures,
)
number_like = st.one_of(
    st.builds(FloatLike, lying_values),
    st.builds(IndexLike, st.one_of(st.integers(-5, 5), st.sampled_from([2**1100, "3", 2.5, True]), failures)),
    st.builds(FloatAndIndex, plain_floats),
    st.builds(FloatSubclass, plain_floats),
    st.builds(IntSubclass, st.integers(-5, 5)),
)

numbers = st.one_of(
    plain_floats,
    plain_floats,
    st.integers(-(2**70), 2**70),
    st.sampled_from(HUGE_INTS),
    st.booleans(),
    st.fractions(max_denominator=10**6),
    st.sampled_from([Fraction(10**400, 3), Fraction(-1, 10**400)]),
    st.decimals(allow_nan=True, allow_infinity=True),
    st.sampled_from([Decimal("sNaN"), Decimal("-0"), Decimal("1e400"), Decimal("1e-400")]),
    st.complex_numbers(max_magnitude=10),
    numpy_scalars,
    number_like,
)

not_numbers = st.one_of(
    st.text(max_size=3),
    st.none(),
    st.just({}),
    st.just({1.0: 2.0}),
    st.just({1.0}),
    st.lists(tame_floats, max_size=2),
    st.just(Outer.Inner()),
)


float_arguments = weighted((6, tame_floats), (1, numbers), (1, not_numbers))


def sequences(items, max_size):
    # Truthful, lying, raising, of the wrong type, and beyond the address space
    # (a hint the vector cannot reserve, or one it may not even try).
    huge = st.sampled_from([models.MAX_ELEMENTS + 1, 2**55, sys.maxsize, 2**59, models.MAX_ELEMENTS])
    lengths = st.one_of(
        st.none(),
        st.integers(-3, 10),
        st.sampled_from([-(2**80), sys.maxsize + 1, 2**100, "3", 2.5, True, None]),
        failures,
        huge,
    )

    def custom(kind, length=lengths):
        return st.builds(
            kind,
            st.lists(items, max_size=max_size),
            length,
            st.one_of(st.none(), st.none(), st.integers(0, max_size)),
            failures,
            st.sampled_from([False, False, False, True]) if kind is IterSequence else st.just(False),
        )

    floats_list = st.lists(tame_floats, max_size=max_size)
    short_floats = st.lists(tame_floats, max_size=2)
    usual = st.one_of(
        st.lists(items, max_size=max_size),
        st.lists(items, max_size=max_size).map(tuple),
        floats_list,
        custom(IterSequence),
        custom(GetitemSequence),
        st.builds(range, st.integers(-3, 3), st.integers(-3, 3 + max_size)),
        st.lists(plain_floats, max_size=max_size).map(lambda v: array.array("d", v)),
        st.lists(plain_floats, max_size=max_size).map(np.array),
        floats_list.map(collections.deque),
    )
    unusual = st.one_of(
        st.binary(max_size=max_size),
        st.binary(max_size=max_size).map(bytearray),
        st.lists(st.integers(-100, 100), max_size=max_size).map(lambda v: array.array("i", v)),
        st.lists(plain_floats, max_size=max_size).map(lambda v: np.array(v, dtype=">f8")),
        st.lists(plain_floats, min_size=2, max_size=2 * max_size).map(lambda v: np.array(v)[::2]),
        st.lists(st.integers(-9, 9), max_size=max_size).map(np.array),
        floats_list.map(lambda v: memoryview(array.array("d", v))),
        st.lists(tame_floats, min_size=1, max_size=2).map(lambda v: np.array([v, v])),  # two-dimensional
        st.builds(np.array, plain_floats),  # zero-dimensional
        st.lists(short_floats | tame_floats, max_size=3),  # nested and ragged
        st.text(max_size=3),
        st.text(max_size=2).map(Shown),
        short_floats.map(iter),
        short_floats.map(lambda v: (x for x in v)),
        short_floats.map(set),
        short_floats.map(frozenset),
        st.dictionaries(tame_floats, tame_floats, max_size=2),
        st.just(collections.OrderedDict([(0, 1.0)])),
        numbers,
        st.none(),
        st.just(Outer.Inner()),
    )
    hinted = st.one_of(custom(GetitemSequence, huge), custom(IterSequence, huge))
    return weighted((3, floats_list), (3, usual), (1, hinted), (1, unusual))


sequence_items = weighted((6, tame_floats), (1, numbers))
# The quadratures cost milliseconds per separation: their inputs stay short.
CHEAP = {"witt_mao_magnification", "multi_witt_mao_magnification", "heyrovsky_magnification"}
SEQUENCES = {True: sequences(sequence_items, 4), False: sequences(sequence_items, 2)}

unknown_names = st.one_of(
    st.sampled_from(["x", "L", "rstar ", "R", "lr", "bl\x00", "\udc80", "a\udfffb", "é", "\U0001f600"]),
    st.text(max_size=4),
    st.text(max_size=3).map(Shown),
)
one_in_ten = st.integers(0, 9).map(lambda v: v == 7)
one_in_twenty = st.integers(0, 19).map(lambda v: v == 13)
extra_positionals = st.lists(float_arguments, min_size=1, max_size=2)


@st.composite
def calls(draw, function):
    params = models.PARAMETERS[function]
    names = [name for name, _ in params]
    sequence = SEQUENCES[function in CHEAP]
    values = [draw(sequence if kind == models.SEQ else float_arguments) for _, kind in params]
    positional_count = draw(st.integers(0, len(params)))
    args = values[:positional_count]
    if draw(one_in_twenty):
        args = args + draw(extra_positionals)
    entries = [(names[i], values[i]) for i in range(positional_count, len(params)) if not draw(one_in_twenty)]
    if draw(one_in_ten):
        entries.append((draw(unknown_names), draw(float_arguments)))
    if draw(one_in_ten):
        # Names a parameter a second time, after its position or its keyword.
        entries.append((Key(draw(st.sampled_from(names))), draw(float_arguments)))
    order = draw(st.permutations(range(len(entries))))
    kwargs = {}
    for index in order:
        key, value = entries[index]
        if key not in kwargs:
            kwargs[key] = value
    return args, kwargs


CALLS = {function: calls(function) for function in models.NAMES}


# ---------------------------------------------------------------- checking


def shared(value):
    """Singletons, cached small values and static strings: code elsewhere
    moves their counts, so they tell nothing about this call."""
    if value is None or value is Ellipsis or value is NotImplemented or type(value) is bool:
        return True
    if type(value) is int and -5 <= value <= 256:
        return True
    if type(value) in (str, bytes) and len(value) <= 1:
        return True
    return sys.getrefcount(value) > 10**6


def tracked_objects(args, kwargs):
    """The argument objects, the keyword names and the items of list and tuple
    arguments (one level down), each once."""
    objects = {id(key): key for key in kwargs if type(key) is not str}
    for value in list(args) + list(kwargs.values()):
        objects[id(value)] = value
        if type(value) in (list, tuple):
            for item in value:
                objects[id(item)] = item
    return [value for value in objects.values() if not shared(value)]


def reference_counts(objects):
    return [sys.getrefcount(o) for o in objects]


def exact(value):
    """A comparable form of a result: doubles by their bit patterns."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, list):
        return [exact(v) for v in value]
    raise AssertionError(f"unexpected result element {value!r}")


def outcome_of(call, /, *args, **kwargs):
    try:
        return ("returned", call(*args, **kwargs))
    except BaseException as error:  # noqa: B036 - panics and interrupts are outcomes too
        return ("raised", (type(error), error.args, getattr(error, "__notes__", None)))


def is_panic(kind):
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def check_shape(kind, values, result):
    if kind == "float":
        assert type(result) is float
        return
    assert type(result) is list
    if kind == "list":
        assert len(result) == len(values["l"]) and all(type(v) is float for v in result)
        return
    assert len(result) == len(values["re"]) * len(values["rstar"])
    for row in result:
        assert type(row) is list and len(row) == len(values["l"]) and all(type(v) is float for v in row)


def check_call(function, args, kwargs):
    call = getattr(tovimera, function)
    with warnings.catch_warnings():
        # Deprecation and complex-cast warnings from conversions become errors
        # both in the model and in the module, so neither depends on a registry.
        warnings.simplefilter("error")
        LOG.clear()
        outcome = models.expect(function, args, kwargs)
        expected_log = list(LOG)
        LOG.clear()
        objects = tracked_objects(args, kwargs)
        # No collection in between: freeing unrelated cyclic garbage (Hypothesis
        # keeps some that refers to generated values) would move the counts.
        gc.disable()
        try:
            before = reference_counts(objects)
            kind, got = outcome_of(call, *args, **kwargs)
            after = reference_counts(objects)
        finally:
            gc.enable()
        observed_log = list(LOG)
        expected = outcome.expected

        assert observed_log == expected_log, "special methods ran in another order"
        # Exact on the free-threaded build too: the objects are made and
        # counted on this thread only.
        assert after == before, f"reference counts changed: {before} -> {after}"

        if isinstance(expected, models.Raised):
            SEEN[function][expected.stage] += 1
            assert kind == "raised", f"expected {expected}, got result {got!r}"
            assert got == (expected.type, expected.args, expected.notes)
        elif isinstance(expected, models.Panicked):
            SEEN[function]["panic"] += 1
            assert kind == "raised" and is_panic(got[0]), f"expected a panic, got {kind} {got!r}"
            assert got[1] == (expected.message,) and got[2] is None
        elif isinstance(expected, models.OutOfMemory):
            SEEN[function]["memory"] += 1
            assert kind == "raised" and got[0] is MemoryError, got
        else:
            plain = [outcome.converted[name] for name, _ in models.PARAMETERS[function]]
            reference = outcome_of(call, *plain)
            if kind == "raised":
                SEEN[function]["kernel error"] += 1
                assert outcome.kernel_error_allowed, f"unexpected exception {got!r}"
                assert got[0] is RuntimeError and got[1][0] in models.ELLIPTIC_MESSAGES and got[2] is None
                assert reference == (kind, got)
            else:
                SEEN[function]["result"] += 1
                check_shape(expected.kind, outcome.converted, got)
                # The same numbers given as plain floats give the same bits.
                assert reference[0] == "returned" and exact(reference[1]) == exact(got)


@pytest.mark.parametrize("function", models.NAMES)
@SETTINGS
@given(data=st.data())
def test_generated_calls_end_as_the_rules_say(function, data):
    args, kwargs = data.draw(CALLS[function], label="call")
    check_call(function, args, kwargs)


def test_every_outcome_was_generated():
    if len(SEEN) < len(models.NAMES):
        pytest.skip("runs after the generated calls of all eight functions")
    for function in models.NAMES:
        seen = SEEN[function]
        print(function, sum(seen.values()), dict(seen))
        kinds = ["result", "matching", "conversion"]
        if any(kind == models.SEQ for _, kind in models.PARAMETERS[function]):
            kinds += ["panic", "memory"]
        for kind in kinds:
            assert seen[kind] > 0, (function, kind, dict(seen))
    assert SEEN["heyrovsky_magnification"]["kernel error"] > 0


# ------------------------------------------------ hand-picked tricky inputs


def test_float_subclass_is_read_without_its_own_float():
    LOG.clear()
    assert tovimera.heyrovsky_magnification(FloatSubclass(0.3), 0.8, 1.0, 1.0) == tovimera.heyrovsky_magnification(
        0.3, 0.8, 1.0, 1.0
    )
    assert LOG == []


@pytest.mark.parametrize("function", models.NAMES)
def test_one_dict_holding_a_parameter_name_twice(function):
    first = models.PARAMETERS[function][0][0]
    kwargs = {Key(first): 1.0, Key(first): 2.0}
    check_call(function, (), kwargs)
    kind, got = outcome_of(getattr(tovimera, function), **kwargs)
    assert got[1] == (f"{function}() got multiple values for argument '{first}'",)


@pytest.mark.parametrize("length, outcome", [
    (models.MAX_ELEMENTS + 1, "panic"), (sys.maxsize, "panic"), (models.MAX_ELEMENTS, "memory"),
    (sys.maxsize + 1, "result"), (-1, "result"),
])
def test_length_hints_at_the_address_space_limit(length, outcome):
    sequence = GetitemSequence([0.5], length, None, None, False)
    expected = models.expect("witt_mao_magnification", (sequence, 1.0, 0.1), {}).expected
    assert {models.Panicked: "panic", models.OutOfMemory: "memory", models.Returned: "result"}[type(expected)] == outcome
    check_call("witt_mao_magnification", (sequence, 1.0, 0.1), {})


def test_reference_counts_of_items_survive_failures_midway():
    items = [FloatSubclass(0.5), 1.5, FloatLike(2.0), "x"]
    before = reference_counts(items)
    for _ in range(100):
        kind, got = outcome_of(tovimera.witt_mao_magnification, items, 1.0, 0.1)
        assert kind == "raised" and got[0] is TypeError
    assert reference_counts(items) == before
