"""The brimoacq command, run as a separate process the way a user runs it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import brimoacq
import brimoacq_tools
from brimoacq_tools.cli import CliError, parse_indices
from brimoacq_tools.writer import default_params, write_acquisition, write_synthetic


def run(*args, cwd=None):
    paths = [str(Path(brimoacq_tools.__file__).resolve().parents[1]), str(Path(brimoacq.__file__).resolve().parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return subprocess.run([sys.executable, "-m", "brimoacq_tools", *map(str, args)], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=120)


def assert_one_line_error(result, status=None):
    assert result.returncode != 0 if status is None else result.returncode == status
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("brimoacq") and "error" in lines[0], result.stderr
    assert "Traceback" not in result.stderr


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("acqs")
    write_synthetic(root / "run_b", model="vombel96", events=12, seed=1, events_per_chunk=5, windows=2, samples=8)
    write_synthetic(root / "run_a", model="pellorv3", events=3, seed=2, pedestals=False)
    write_acquisition(root / "run_c", default_params("pellorv3"), [b"\x01", b""])
    (root / "not_an_acquisition").mkdir()
    (root / "bad_metadata").mkdir()
    (root / "bad_metadata" / "metadata.yml").write_text("params: [\n")
    return root


@pytest.mark.parametrize("command", [[], ["demo"], ["info"], ["ls"], ["export"], ["plot"], ["convert"]])
def test_help_on_every_command(command):
    result = run(*command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: {' '.join(['brimoacq'] + command)}")


@pytest.mark.parametrize(
    "args",
    [[], ["bogus"], ["info"], ["export", "a"], ["plot", "a", "-1"], ["plot", "a", "x"], ["demo", "--events", "-3"],
     ["demo", "--model", "pellorv4"], ["ls", "a", "b"]],
)
def test_bad_arguments_give_one_line_and_status_2(args):
    assert_one_line_error(run(*args), status=2)


@pytest.mark.parametrize(
    "args",
    [["info", "{root}/missing"], ["info", "{root}/not_an_acquisition"], ["info", "{root}/bad_metadata"],
     ["ls", "{root}/missing"],
     ["export", "{root}/missing", "{root}/out"], ["export", "{root}/run_b", "{root}/run_b/csv"],
     ["export", "{root}/run_b", "{root}/out", "--indices", "3:x"], ["export", "{root}/run_b", "{root}/out", "--indices", "12"],
     ["plot", "{root}/missing", "0"]],
)
def test_failures_give_one_line_and_status_1(root, args):
    result = run(*[a.format(root=root) for a in args])
    assert_one_line_error(result, status=1)
    assert not (root / "run_b" / "csv").exists()


@pytest.mark.parametrize(
    "spec,count,expected",
    [
        ("all", 4, [0, 1, 2, 3]),
        ("1:3", 10, [1, 2]),
        (":2", 10, [0, 1]),
        ("8:", 10, [8, 9]),
        ("0:100", 5, [0, 1, 2, 3, 4]),
        ("0:10:4", 10, [0, 4, 8]),
        ("5,7,9", 10, [5, 7, 9]),
        (" 0:2 , 9 ", 10, [0, 1, 9]),
        ("3:3", 10, []),
    ],
)
def test_index_selections(spec, count, expected):
    assert list(parse_indices(spec, count)) == expected


@pytest.mark.parametrize("spec", ["", "x", "1,,2", "-1", "1:2:0", "1:2:3:4", "0x10", "10", "2:-1"])
def test_bad_index_selections(spec):
    with pytest.raises(CliError):
        parse_indices(spec, 10)


def test_info_shows_params_counts_calibration_and_first_event(root):
    result = run("info", root / "run_b")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for key in ["acquisition: run_b", "model:       vombel96", "channels:    96", "windows:     2",
                "samples:     8", "chunks:      3", "events:      12", "calibration: pedestals_calibration",
                "first event: 96 of 96 channels carry data"]:
        assert key in lines
    assert lines[-1].split()[:4] == ["95", "2", "0-1", "16"] or lines[-1].split()[:3] == ["95", "2", "1,0"]
    broken = run("info", root / "run_c")
    assert broken.returncode == 0 and "events:      2" in broken.stdout
    assert "first event: cannot be parsed: Failed to parse event: unexpected length of data" in broken.stdout


def test_ls_lists_acquisitions_with_model_and_count(root):
    result = run("ls", root)
    assert result.returncode == 0, result.stderr
    assert [line.split() for line in result.stdout.splitlines()] == [
        ["run_a", "pellorv3", "3", "events"], ["run_b", "vombel96", "12", "events"], ["run_c", "pellorv3", "2", "events"]]


@pytest.mark.parametrize("extra,files", [([], 1), (["--indices", "2,4", "--pedestals"], 1)])
def test_export_writes_csv_files(root, tmp_path, extra, files):
    result = run("export", root / "run_b", tmp_path / "out", *extra)
    assert result.returncode == 0, result.stderr
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == [f"run_b (chunk {k}).csv" for k in range(files)]
    assert str(tmp_path / "out" / written[0]) in result.stdout


def test_demo_writes_shows_and_exports(tmp_path):
    result = run("demo", tmp_path, "--events", "5", "--seed", "3")
    assert result.returncode == 0, result.stderr
    acq = tmp_path / "demo_vombel96"
    assert (acq / "metadata.yml").is_file() and (acq / "pedestals_calibration").is_file()
    assert "events:      5" in result.stdout.splitlines()
    assert (tmp_path / "demo_vombel96_csv" / "demo_vombel96 (chunk 0).csv").is_file()
    again = run("demo", tmp_path, "--events", "1", "--model", "kivro")
    assert again.returncode == 0 and (tmp_path / "demo_kivro" / "0.idx").is_file()


def test_plot_writes_a_png_or_says_matplotlib_is_missing(root, tmp_path):
    out = tmp_path / "event.png"
    result = run("plot", root / "run_b", "3", "-o", out, "--channels", "0:4")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert_one_line_error(result, status=1)
        assert "pip install 'brimoacq[plot]'" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
