"""The brimoacq command, run as a separate process the way a user runs it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import brimoacq
import brimoacq_tools
from brimoacq_tools.cli import CliError, parse_indices
from brimoacq_tools.writer import default_params, encode_event, synthesize_events, write_acquisition, write_synthetic


def run_env():
    paths = [str(Path(brimoacq_tools.__file__).resolve().parents[1]), str(Path(brimoacq.__file__).resolve().parent)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "brimoacq_tools", *map(str, args)], capture_output=True,
                          text=True, env=run_env(), cwd=cwd, timeout=120)


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
    (root / "a_file").write_text("not a directory\n")
    odd = root / "run_odd_model"
    odd.mkdir()
    (odd / "metadata.yml").write_text((root / "run_a" / "metadata.yml").read_text().replace("pellorv3", "pellorv9"))
    for name in ("0.bin", "0.idx"):
        (odd / name).write_bytes((root / "run_a" / name).read_bytes())
    bad_table = root / "run_bad_table"
    write_synthetic(bad_table, model="pellorv3", events=2, seed=2, pedestals=False)
    (bad_table / "pedestals_calibration").write_bytes(b"not gzip")
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
    "args,path,cause",
    [(["info", "{root}/missing"], "missing", "no such acquisition directory"),
     (["info", "{root}/a_file"], "a_file", "is a file, not an acquisition directory"),
     (["info", "{root}/not_an_acquisition"], "not_an_acquisition", "no metadata.yml"),
     (["info", "{root}/bad_metadata"], "bad_metadata", "metadata"),
     (["ls", "{root}/missing"], "missing", "no such directory"),
     (["ls", "{root}/run_b"], "run_b", "is an acquisition, not a directory of acquisitions: use 'brimoacq info"),
     (["export", "{root}/missing", "{root}/out"], "missing", "no such acquisition directory"),
     (["export", "{root}/run_b", "{root}/run_b/csv"], "run_b/csv", "refusing to write into the acquisition"),
     (["export", "{root}/run_b", "{root}/a_file"], "a_file", "exists and is not a directory"),
     (["export", "{root}/run_b", "{root}/out", "--indices", "3:x"], "run_b", "invalid index selection"),
     (["export", "{root}/run_b", "{root}/out", "--indices", "12"], "run_b", "out of range: there are 12 events"),
     (["export", "{root}/run_b", "{root}/out", "--indices", "30:40"], "run_b", "out of range: there are 12 events"),
     (["export", "{root}/run_a", "{root}/out", "--pedestals"], "run_a", "no pedestals_calibration file"),
     (["export", "{root}/run_bad_table", "{root}/out", "--pedestals"], "run_bad_table", "cannot be decoded"),
     (["plot", "{root}/missing", "0"], "missing", "no such acquisition directory"),
     (["plot", "{root}/run_b", "12"], "run_b", "out of range: there are 12 events")],
)
def test_failures_give_one_line_naming_path_and_cause(root, args, path, cause):
    result = run(*[a.format(root=root) for a in args])
    assert_one_line_error(result, status=1)
    assert f"{root}/{path}: " in result.stderr and cause in result.stderr
    assert not (root / "run_b" / "csv").exists() and not (root / "out").exists()


def test_version_names_the_distribution_version():
    result = run("--version")
    assert result.returncode == 0 and result.stdout.startswith("brimoacq ")
    version = result.stdout.split()[1]
    assert version[0].isdigit() or version == "unknown", result.stdout


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
    odd = run("info", root / "run_odd_model")
    assert odd.returncode == 0 and "model:       pellorv9 (not a supported board model)" in odd.stdout
    assert "first event: cannot be parsed: board model 'pellorv9' is not supported" in odd.stdout


def test_ls_lists_acquisitions_with_model_and_count(root):
    result = run("ls", root)
    assert result.returncode == 0, result.stderr
    rows = [line.split(None, 2) for line in result.stdout.splitlines()]
    assert [r[:2] for r in rows] == [["bad_metadata", "?"], ["run_a", "pellorv3"], ["run_b", "vombel96"],
                                     ["run_bad_table", "pellorv3"], ["run_c", "pellorv3"], ["run_odd_model", "pellorv9"]]
    assert rows[0][2].startswith("cannot be opened: metadata.yml is not valid YAML: ")
    assert [r[2] for r in rows[1:]] == ["3 events", "12 events", "2 events", "2 events", "3 events"]


@pytest.mark.parametrize("extra,files", [([], 1), (["--indices", "2,4", "--pedestals"], 1)])
def test_export_writes_csv_files(root, tmp_path, extra, files):
    result = run("export", root / "run_b", tmp_path / "out", *extra)
    assert result.returncode == 0, result.stderr
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == [f"run_b (chunk {k}).csv" for k in range(files)] + ["run_b (index).csv"]
    assert str(tmp_path / "out" / written[0]) in result.stdout


def csv_rows(path):
    import csv
    with open(path, newline="") as f:
        return list(csv.reader(f))


@pytest.fixture(scope="module")
def truncated(tmp_path_factory):
    """pellorv3 events 0-24 in chunk 0; chunk 1 is cut short so that only events 25-29 of 25-49 are whole."""
    path = tmp_path_factory.mktemp("cut") / "run_cut"
    write_synthetic(path, model="pellorv3", events=50, seed=5, events_per_chunk=25, pedestals=False)
    entries = (path / "1.idx").read_bytes()
    offset = int.from_bytes(entries[8 * 5 : 8 * 5 + 4], "little")
    with open(path / "1.bin", "r+b") as f:
        f.truncate(offset + 1)
    return path


def test_export_names_events_the_pedestal_table_cannot_correct(tmp_path):
    import gzip
    import pickle

    syn = write_synthetic(tmp_path / "run_short", model="pellorv3", events=8, seed=5)
    table = [channel[:128] for channel in syn.pedestals]  # windows 128-255 have no pedestals
    (syn.path / "pedestals_calibration").write_bytes(gzip.compress(pickle.dumps({"data": table})))
    bad = [i for i, ev in enumerate(syn.events) if any(w.label >= 128 for wins in ev.values() for w in wins)]
    assert 0 < len(bad) < 8
    result = run("export", syn.path, tmp_path / "out", "--pedestals")
    assert_one_line_error(result, status=1)
    assert f"exported {8 - len(bad)} of 8 selected events of run_short with pedestal correction" in result.stdout
    left = result.stdout.split("left out ")[1].splitlines()
    assert left[0] == f"{len(bad)} distinct indices:" and "pedestal" in left[1]
    assert [int(r[2]) for r in csv_rows(tmp_path / "out" / "run_short (index).csv")[1:]] == [
        i for i in range(8) if i not in bad]


@pytest.mark.parametrize(
    "extra,status,key,index_map",
    [([], 1, "exported 30 of 50 selected events", None),
     (["--allow-missing"], 0, "exported 30 of 50 selected events", None),
     (["--indices", "28:33,3,31", "--allow-missing"], 0, "exported 3 of 7 selected events",
      [["run_cut (chunk 0).csv", "0", "28"], ["run_cut (chunk 0).csv", "1", "29"], ["run_cut (chunk 0).csv", "2", "3"]]),
     (["--indices", "3,4", "--pedestals", "--allow-uncorrected"], 0, "exported 2 of 2 selected events of run_cut "
      "without pedestal correction", [["run_cut (chunk 0).csv", "0", "3"], ["run_cut (chunk 0).csv", "1", "4"]])],
)
def test_export_reports_what_it_wrote_and_what_it_left_out(truncated, tmp_path, extra, status, key, index_map):
    out = tmp_path / "out"
    result = run("export", truncated, out, *extra)
    assert result.returncode == status, result.stderr
    assert key in result.stdout
    rows = csv_rows(out / "run_cut (index).csv")
    assert rows[0] == ["file", "evt_num", "index"]
    if index_map is not None:
        assert rows[1:] == index_map
    written = csv_rows(out / "run_cut (chunk 0).csv")
    assert len(rows) - 1 == len({r[1] for r in written[1:]})  # one map row per event of the file
    if "--pedestals" in extra:
        assert "no pedestals_calibration file: values are exported uncorrected" in result.stderr
        return
    assert f"{out}/run_cut (chunk 0).csv: {len(rows) - 1} events" in result.stdout
    left = [line for line in result.stdout.splitlines() if line.startswith("  30-")]
    assert len(left) == 1 and ": cannot be read: " in left[0], result.stdout
    if status:
        assert_one_line_error(result, status=1)
        assert f"{out}: 20 of 50 selected events could not be exported" in result.stderr


def test_demo_writes_shows_and_exports(tmp_path):
    result = run("demo", tmp_path, "--events", "5", "--seed", "3")
    assert result.returncode == 0, result.stderr
    acq = tmp_path / "demo_vombel96"
    assert (acq / "metadata.yml").is_file() and (acq / "pedestals_calibration").is_file()
    assert "events:      5" in result.stdout.splitlines()
    assert (tmp_path / "demo_vombel96_csv" / "demo_vombel96 (chunk 0).csv").is_file()
    assert "brimoacq.ecc_check(raw) finds 3 words in error:" in result.stdout
    assert ("ecc_check of the result finds 0 words in error, and the result equals the packet as written"
            in result.stdout)
    again = run("demo", tmp_path, "--events", "1", "--model", "kivro")
    assert again.returncode == 0 and (tmp_path / "demo_kivro" / "0.idx").is_file()


@pytest.mark.parametrize("extra,key", [(["--channels", "0:4"], "(4 channels, lines)"), ([], "(96 channels, image)"),
                                       (["--pedestals", "--style", "lines"], "(96 channels, lines)")])
def test_plot_writes_a_png_or_says_matplotlib_is_missing(root, tmp_path, extra, key):
    out = tmp_path / "event.png"
    result = run("plot", root / "run_b", "3", "-o", out, *extra)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert_one_line_error(result, status=1)
        assert "pip install 'brimoacq[plot]'" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    assert key in result.stdout
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_export_of_many_files_matches_export_csv_and_shows_progress_on_a_terminal(tmp_path):
    """2500 selected events give three files, byte for byte those of one export_csv call; with standard
    error on a terminal a progress bar counts them."""
    import fcntl
    import pty
    import struct
    import termios

    params = default_params("pellorv3")
    write_acquisition(tmp_path / "big", params, [encode_event(params, e) for e in synthesize_events(params, 7)] * 200)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    with subprocess.Popen([sys.executable, "-m", "brimoacq_tools", "export", tmp_path / "big", tmp_path / "cli",
                           "--indices", "0:1400,100:1200"], env=run_env(), stdout=subprocess.PIPE, stderr=slave) as proc:
        os.close(slave)
        bar = b""
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                break
            if not data:
                break
            bar += data
        assert proc.wait(timeout=120) == 0, bar
    os.close(master)
    assert b"exporting" in bar and b"3/3" in bar
    acq = brimoacq.Acquisition(str(tmp_path / "big"))
    (tmp_path / "one").mkdir()
    brimoacq.export_csv(acq, list(range(1400)) + list(range(100, 1200)), str(tmp_path / "one"), False)
    names = [f"big (chunk {k}).csv" for k in range(3)]
    assert sorted(p.name for p in (tmp_path / "one").iterdir()) == names
    assert sorted(p.name for p in (tmp_path / "cli").iterdir()) == names + ["big (index).csv"]
    for name in names:
        assert (tmp_path / "cli" / name).read_bytes() == (tmp_path / "one" / name).read_bytes()
    rows = csv_rows(tmp_path / "cli" / "big (index).csv")
    assert rows[1000] == ["big (chunk 0).csv", "999", "999"] and rows[-1] == ["big (chunk 2).csv", "499", "1199"]
