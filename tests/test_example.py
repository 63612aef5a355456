"""The light-curve example runs end to end and its curves make physical sense."""

import csv
import os
import pathlib
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "light_curve.py"
pytest.importorskip("matplotlib", reason="the example's plot needs matplotlib")


def run(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), *args], capture_output=True, text=True, timeout=300)


def test_light_curve_files_and_physics(tmp_path):
    done = run("--epochs", "300", "--rings", "100", "--output", str(tmp_path))
    assert done.returncode == 0, done.stderr
    png = tmp_path / "light_curve.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with open(tmp_path / "light_curve.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert len(rows) >= 290
    columns = {name: [float(row[name]) for row in rows] for name in rows[0]}
    point, disk = columns["point source"], columns["uniform disk"]
    disks, rings = columns["limb-darkened, disks"], columns["limb-darkened, rings"]
    # A finite source smooths the peak: below the point source's.
    assert max(disk) < max(point) and max(rings) < max(point)
    # Limb darkening concentrates light at the centre the lens crosses: above the uniform disk.
    assert max(disk) < max(rings)
    annuli, table_rings = columns["table, annuli"], columns["table, rings"]
    for i, l in enumerate(columns["l_source_radii"]):
        # Both limb-darkened routes are exact through the limb. The table's two
        # routes differ by the annuli's smoothing next to the rim and by the
        # table's kinks, which neither cuts.
        assert abs(disks[i] / rings[i] - 1) < 1e-12
        assert abs(annuli[i] / table_rings[i] - 1) < 1e-6
        if l > 1.5:
            assert abs(disk[i] / point[i] - 1) < 0.2 / l**2
    for pair in ("limb-darkened, disks vs limb-darkened, rings", "table, annuli vs table, rings"):
        assert f"largest relative difference, {pair}: " in done.stdout
    assert "peak" in done.stdout and "wrote" in done.stdout


def test_unwritable_output_folder_fails_clearly(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    done = run("--epochs", "20", "--output", str(blocker / "sub"))
    assert done.returncode == 2
    assert "cannot write to the output folder" in done.stderr
    assert "Traceback" not in done.stderr
