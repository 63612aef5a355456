"""Which CPython calls the built module takes from the interpreter it runs on.

From 3.14 the interpreter has PyIter_NextItem and the PyUnicodeWriter family; the module
must then call those and not the stand-ins it compiles for older versions. The calls are
read from the dynamic symbol table of the loaded extension: an undefined symbol there is
one the interpreter resolves at import.
"""

import struct
import sys

import pytest

import tovimera

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="reads the ELF symbol table")

SHT_DYNSYM = 11
SHN_UNDEF = 0

OWN_FROM_3_14 = [
    "PyIter_NextItem",
    "PyUnicodeWriter_Create",
    "PyUnicodeWriter_WriteUTF8",
    "PyUnicodeWriter_Finish",
    "PyUnicodeWriter_Discard",
]


def dynamic_symbols(path):
    """(name, defined) for each entry of the ELF file's .dynsym, 32- or 64-bit."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:4] == b"\x7fELF", path
    is_64 = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    if is_64:
        shoff, = struct.unpack_from(order + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x3A)
        section = order + "IIQQQQIIQQ"
        symbol, symbol_size = order + "IBBHQQ", 24
    else:
        shoff, = struct.unpack_from(order + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(order + "HH", data, 0x2E)
        section = order + "IIIIIIIIII"
        symbol, symbol_size = order + "IIIBBH", 16
    headers = [struct.unpack_from(section, data, shoff + i * shentsize) for i in range(shnum)]
    symbols = []
    for header in headers:
        if header[1] != SHT_DYNSYM:
            continue
        offset, size, link = header[4], header[5], header[6]
        strings = headers[link][4]
        for at in range(offset + symbol_size, offset + size, symbol_size):  # entry 0 is null
            fields = struct.unpack_from(symbol, data, at)
            name_at, index = fields[0], fields[3] if is_64 else fields[5]
            end = data.index(b"\0", strings + name_at)
            symbols.append((data[strings + name_at:end].decode(), index != SHN_UNDEF))
    return symbols


@pytest.fixture(scope="module")
def imported():
    symbols = dynamic_symbols(tovimera.__file__)
    # The reader tells definitions from imports, or the checks below would mean nothing.
    assert ("PyInit_tovimera", True) in symbols
    return {name for name, defined in symbols if not defined}


@pytest.mark.parametrize("name", OWN_FROM_3_14)
def test_calls_the_interpreters_own_function_where_it_has_one(imported, name):
    assert (name in imported) == (sys.version_info >= (3, 14))


def test_the_iterator_stand_in_is_compiled_only_before_3_14(imported):
    # The stand-in for PyIter_NextItem is built on PyIter_Next, which nothing else calls.
    assert ("PyIter_Next" in imported) == (sys.version_info < (3, 14))
