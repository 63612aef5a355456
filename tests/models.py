"""A model of the module boundary written from its rules, not from the module:
how arguments are matched, in which order they are converted, which exception
the first failure raises, and what a successful call returns.

The two rules stated in terms of a CPython call are answered by that call
through ctypes: the float conversion (PyFloat_AsDouble, "whatever CPython
raises") and the sequence test (PySequence_Check). Everything around them (the
str check, the length hint, iteration, notes, panics, results) is modelled here.
"""

import ctypes
import sys
from dataclasses import dataclass, field

SEQ, FLOAT = "seq", "float"

PARAMETERS = {
    "witt_mao_magnification": (("l", SEQ), ("re", FLOAT), ("rstar", FLOAT)),
    "integrated_witt_mao_magnification": (("l", SEQ), ("re", FLOAT), ("rstar", FLOAT)),
    "integrated_flux_map_witt_mao_magnification": (
        ("l", SEQ), ("re", FLOAT), ("rstar", FLOAT), ("bl", SEQ), ("bf", SEQ)),
    "multi_witt_mao_magnification": (("l", SEQ), ("re", SEQ), ("rstar", SEQ)),
    "heyrovsky_magnification": (("l", FLOAT), ("r", FLOAT), ("re", FLOAT), ("rstar", FLOAT)),
    "integrated_heyrovsky_magnification": (("l", SEQ), ("re", FLOAT), ("rstar", FLOAT)),
    "integrated_flux_map_heyrovsky_magnification": (
        ("l", SEQ), ("re", FLOAT), ("rstar", FLOAT), ("bl", SEQ), ("bf", SEQ)),
    "discrete_flux_map_heyrovsky_magnification": (
        ("l", SEQ), ("re", FLOAT), ("rstar", FLOAT), ("bl", SEQ), ("bf", SEQ)),
}
NAMES = list(PARAMETERS)
TABLE_FUNCTIONS = {
    "integrated_flux_map_witt_mao_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
}
# Only these two let a ring-kernel failure reach Python.
KERNEL_ERROR_FUNCTIONS = {"heyrovsky_magnification", "discrete_flux_map_heyrovsky_magnification"}
ELLIPTIC_MESSAGES = {
    "ellipk: Arguments cannot be NAN.",
    "ellipk: m must not be greater than 1.",
    "ellipk: Unexpected error.",
    "ellipe: Arguments cannot be NAN.",
    "ellipe: m must not be greater than 1.",
    "ellipe: Unexpected error.",
    "ellippi: n cannot be 1.",
    "ellippi: Arguments cannot be NAN.",
    "ellippi: m must not be greater than 1.",
    "ellippi: Unexpected error.",
}

# The largest vector of doubles the address space allows (ptrdiff_t bytes).
MAX_ELEMENTS = sys.maxsize // 8
# A reservation this large cannot be mapped even with 57-bit virtual addresses,
# so it fails as an allocation rather than succeeding lazily.
UNMAPPABLE_ELEMENTS = 2**55

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


def cpython_float(value):
    """CPython's own float conversion of one object (raises what it raises)."""
    if type(value) is float:
        return value
    return _as_double(value)


@dataclass
class Returned:
    kind: str  # "float", "list" or "rows"
    values: object  # the converted arguments, by parameter name


@dataclass
class Raised:
    type: type
    args: tuple
    notes: list = None  # None: no __notes__ attribute at all
    stage: str = "matching"


@dataclass
class Panicked:
    message: str


@dataclass
class OutOfMemory:
    pass


@dataclass
class Outcome:
    """What a call should do; `kernel_error_allowed` marks calls for which a
    RuntimeError with an elliptic-integral message is also a correct answer."""

    expected: object
    kernel_error_allowed: bool = False
    converted: dict = field(default_factory=dict)


class _Stop(Exception):
    def __init__(self, outcome):
        super().__init__()
        self.outcome = outcome


def lossy_utf8(text):
    """UTF-8 text of a str; what cannot be encoded strictly goes through
    surrogatepass and comes back with U+FFFD per invalid byte sequence."""
    try:
        return str.encode(text, "utf-8").decode("utf-8")
    except UnicodeEncodeError:
        return str.encode(text, "utf-8", "surrogatepass").decode("utf-8", "replace")


def _name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def match(function, args, kwargs):
    """The argument slots, or raises _Stop with the matching failure."""
    params = [p for p, _ in PARAMETERS[function]]
    full = function + "()"
    count = len(params)
    slots = [None] * count
    filled = [False] * count
    for i, value in enumerate(args[:count]):
        slots[i], filled[i] = value, True
    if len(args) > count:
        raise _Stop(Raised(TypeError, (f"{full} takes {count} positional arguments but {len(args)} were given",)))
    for key, value in kwargs.items():
        try:
            text = str.encode(key, "utf-8")
        except UnicodeEncodeError:
            text = None
        slot = next((i for i, p in enumerate(params) if text is not None and p.encode() == text), None)
        if slot is None:
            try:
                shown = lossy_utf8(str(key))
            except BaseException as error:  # str() of a str subclass may run Python code
                raise _Stop(Raised(type(error), error.args, getattr(error, "__notes__", None))) from None
            raise _Stop(Raised(TypeError, (f"{full} got an unexpected keyword argument '{shown}'",)))
        if filled[slot]:
            raise _Stop(Raised(TypeError, (f"{full} got multiple values for argument '{text.decode()}'",)))
        slots[slot], filled[slot] = value, True
    missing = [params[i] for i in range(len(args), count) if not filled[i]]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        raise _Stop(Raised(TypeError, (f"{full} missing {len(missing)} required positional {word}: {_name_list(missing)}",)))
    return slots


_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int


def is_sequence(value):
    """The rule names CPython's own test (the type fills the sequence item
    slot and is not a dict); it is asked directly."""
    return _sequence_check(value) == 1


def length_hint(value):
    try:
        return len(value)
    except Exception:  # discarded; KeyboardInterrupt and SystemExit stop the call
        return 0


def convert_sequence(value):
    kind = type(value)
    if issubclass(kind, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(value):
        if value is None:
            raise TypeError("'None' is not an instance of 'Sequence'")
        raise TypeError(f"'{lossy_utf8(kind.__qualname__)}' object is not an instance of 'Sequence'")
    hint = length_hint(value)
    if hint > MAX_ELEMENTS:
        raise _Stop(Panicked("capacity overflow"))
    if hint >= UNMAPPABLE_ELEMENTS:
        raise _Stop(OutOfMemory())
    return [cpython_float(item) for item in iter(value)]


def convert(function, slots):
    values = {}
    for (name, kind), value in zip(PARAMETERS[function], slots):
        try:
            values[name] = convert_sequence(value) if kind == SEQ else cpython_float(value)
        except _Stop:
            raise
        except BaseException as error:
            notes = list(getattr(error, "__notes__", []))
            try:
                error.add_note(f"while processing '{name}'")
                notes = list(error.__notes__)
            except BaseException:
                pass
            raise _Stop(Raised(type(error), error.args, notes or None, "conversion")) from None
    return values


def expect(function, args, kwargs):
    """The outcome the rules give for function(*args, **kwargs)."""
    try:
        slots = match(function, args, kwargs)
        values = convert(function, slots)
    except _Stop as stop:
        return Outcome(stop.outcome)
    if function in TABLE_FUNCTIONS and len(values["bl"]) != len(values["bf"]):
        message = f"assertion `left == right` failed\n  left: {len(values['bl'])}\n right: {len(values['bf'])}"
        return Outcome(Panicked(message), converted=values)
    kind = {"heyrovsky_magnification": "float", "multi_witt_mao_magnification": "rows"}.get(function, "list")
    return Outcome(Returned(kind, values), function in KERNEL_ERROR_FUNCTIONS, values)
