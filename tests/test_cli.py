"""The ``halfmoon`` command: the demo's table, its figure and its entry points."""

from __future__ import annotations

import re
import struct
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest
from halfmoon import cli

FAST = ["--points", "400", "--runs", "2", "--rows", "9"]


def table_rows(output: str) -> list[tuple[float, float, float, float]]:
    number = r"(-?\d+\.\d+)"
    pattern = re.compile(rf"^\s*{number}\s+{number}\s+{number}\s+{number}\s*$")
    return [tuple(map(float, m.groups())) for m in map(pattern.match, output.splitlines()) if m]


def test_demo_prints_both_light_curves_and_the_morning_evening_signature(
    capsys: pytest.CaptureFixture[str],
) -> None:
    assert cli.main(["demo", *FAST]) == 0
    output = capsys.readouterr().out
    rows = table_rows(output)
    assert len(rows) == 9
    hours, asymmetric, symmetric, difference = zip(*rows)
    assert hours[0] == pytest.approx(-2.5) and hours[-1] == pytest.approx(2.5)
    assert min(symmetric) < 0.99 and asymmetric[0] == symmetric[0] == 1.0
    for a, s, d in zip(asymmetric, symmetric, difference):
        assert d == pytest.approx(1e6 * (a - s), abs=0.1)
    # The smaller morning limb leads: ingress starts later (more flux before mid-transit);
    # the larger evening limb trails: egress ends later (less flux after).
    assert max(difference[: len(rows) // 2]) > 10.0
    assert min(difference[len(rows) // 2 + 1 :]) < -10.0
    assert re.search(r"ms per light curve of 400 points: two limbs \d+\.\d+", output)


def test_demo_writes_a_png_figure(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    pytest.importorskip("matplotlib")
    path = tmp_path / "demo.png"
    assert cli.main(["demo", *FAST, "--plot", str(path)]) == 0
    assert f"wrote {path}" in capsys.readouterr().out
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind, width, height = struct.unpack(">I4sII", data[8:24])
    assert kind == b"IHDR" and length == 13
    assert 400 < width < 2000 and 400 < height < 2000
    assert data[-8:-4] == b"IEND"


def test_plot_without_matplotlib_fails_with_a_clear_message(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    for name in ("matplotlib", "matplotlib.figure", "matplotlib.backends.backend_agg"):
        monkeypatch.setitem(sys.modules, name, None)  # makes the import fail
    path = tmp_path / "demo.png"
    assert cli.main(["demo", *FAST, "--plot", str(path)]) == 1
    assert "pip install 'halfmoon[plot]'" in capsys.readouterr().err
    assert not path.exists()


@pytest.mark.parametrize("arguments", [[], ["demo", "--points", "0"], ["fly"]])
def test_bad_command_lines_exit_with_usage(arguments: list[str]) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(arguments)
    assert exit_info.value.code == 2


def test_module_and_console_script_entry_points() -> None:
    result = subprocess.run(
        [sys.executable, "-m", "halfmoon", "demo", *FAST],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert len(table_rows(result.stdout)) == 9
    entry_points = metadata.entry_points()
    if hasattr(entry_points, "select"):
        scripts = entry_points.select(group="console_scripts")
    else:  # Python 3.9: a mapping from group to entry points
        scripts = entry_points.get("console_scripts", [])
    assert any(s.name == "halfmoon" and s.value == "halfmoon.cli:main" for s in scripts)


@pytest.mark.parametrize(
    ("plot", "message"),
    [
        ("{tmp}", "is a directory"),
        ("{tmp}/figure", "has no extension"),
    ],
)
def test_unusable_figure_paths_are_refused_before_the_demo_runs(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], plot: str, message: str
) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["demo", *FAST, "--plot", plot.format(tmp=tmp_path)])
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []


def test_an_unknown_figure_format_fails_with_a_clear_message(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    pytest.importorskip("matplotlib")
    assert cli.main(["demo", *FAST, "--plot", str(tmp_path / "fig.xyz")]) == 1
    assert "cannot write .xyz figures" in capsys.readouterr().err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("window", ["inf", "nan", "-1", "0"])
def test_window_must_be_finite_and_positive(window: str) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["demo", *FAST, "--window", window])
    assert exit_info.value.code == 2
