"""The rule by which scripts/compare-dumps accepts a 32-bit build's kernel dump."""

import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "compare-dumps"
if not SCRIPT.is_file():
    pytest.skip("scripts/compare-dumps is not beside this test tree", allow_module_level=True)

ONE = "3ff0000000000000"  # 1.0
NEXT = "3ff0000000000001"  # one ulp above
FIVE_ULPS = "3ff0000000000005"
QUIET_NAN = "7ff8000000000000"
NEGATIVE_NAN = "fff8000000000000"


def compare(tmp_path, left, right):
    first, second = tmp_path / "64.txt", tmp_path / "32.txt"
    first.write_text("\n".join(left) + "\n")
    second.write_text("\n".join(right) + "\n")
    run = subprocess.run([sys.executable, str(SCRIPT), str(first), str(second)],
                         capture_output=True, text=True, check=False)
    return run.returncode, run.stdout


@pytest.mark.parametrize(
    "left, right, accepted",
    [
        # glibc and musl spell the same subnormal argument differently.
        (f"ellipk(0x0.0000000000001p-1022) {ONE}", f"ellipk(0x1p-1074) {ONE}", True),
        (f"ellipk(0x0.0000000000002p-1022) {ONE}", f"ellipk(0x1p-1074) {ONE}", False),
        # Our own arithmetic: not one ulp of slack.
        (f"ellipk(0x1p-1) {ONE}", f"ellipk(0x1p-1) {NEXT}", False),
        # Through the C library's log: a few ulps, not more.
        (f"libm_log(0x1.8p+1) {ONE}", f"libm_log(0x1.8p+1) {NEXT}", True),
        (f"libm_log(0x1.8p+1) {ONE}", f"libm_log(0x1.8p+1) {FIVE_ULPS}", False),
        # A NaN's sign is the compiler's choice, except where the bits are promised.
        (f"heyrovsky(0x0p+0,0x0p+0,nan,0x1p+0) {NEGATIVE_NAN}", f"heyrovsky(0x0p+0,0x0p+0,nan,0x1p+0) {QUIET_NAN}", True),
        (f"witt_mao(nan,0x0p+0) {QUIET_NAN}", f"witt_mao(nan,0x0p+0) {NEGATIVE_NAN}", False),
        # A sign flip of a number is not a NaN's sign.
        (f"heyrovsky(0x1p+0,0x1p+1,0x1p+0,0x1p+0) {ONE}", f"heyrovsky(0x1p+0,0x1p+1,0x1p+0,0x1p+0) bff0000000000000", False),
        # Failures and their messages match exactly.
        ("ellipk(nan) failure: ellipk: Arguments cannot be NAN.", "ellipk(nan) failure: ellipk: Arguments cannot be NaN.", False),
    ],
)
def test_rule(tmp_path, left, right, accepted):
    status, output = compare(tmp_path, [left], [right])
    assert (status == 0) == accepted, output


def test_a_missing_line_fails(tmp_path):
    status, output = compare(tmp_path, [f"ellipk(0x1p-1) {ONE}", f"ellipk(0x1p-2) {ONE}"], [f"ellipk(0x1p-1) {ONE}"])
    assert status == 1 and "2 lines against 1" in output
