"""Arrow tables, Parquet files and datasets, and Dask frames of acquisitions, checked against parsed_event."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pd = pytest.importorskip("pandas")

import brimoacq  # noqa: E402
import brimoacq_tools  # noqa: E402
from brimoacq_tools import arrow  # noqa: E402
from brimoacq_tools.writer import correct_expected, default_params, write_acquisition, write_synthetic  # noqa: E402

SOURCES = [str(Path(brimoacq_tools.__file__).resolve().parents[1]), str(Path(brimoacq.__file__).resolve().parent)]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(SOURCES + [os.environ.get("PYTHONPATH", "")]))


def python(*args, code=None):
    argv = ["-c", code, *args] if code else ["-m", "brimoacq_tools", *args]
    return subprocess.run([sys.executable, *map(str, argv)], capture_output=True, text=True, env=ENV, timeout=300)


def synthetic(path, model, events=7, **overrides):
    """A synthetic acquisition in chunks of 3 events with its pedestal table; vombel96 leaves most channels
    empty, kivro writes fewer windows than channels."""
    if model == "vombel96":
        overrides = dict(windows=4, samples=8, **overrides)
    return write_synthetic(path, model=model, events=events, seed=3, events_per_chunk=3, **overrides)


def expected_rows(acq, indices, pedestals=False):
    """The table's rows, built from parsed_event: one per channel with samples or windows, and the number of
    events that pedestal correction keeps."""
    rows, events = [], 0
    table = acq.pedestals_calibration["data"] if pedestals else None
    for i in indices:
        ev = acq.parsed_event(i)
        if pedestals:
            ev = correct_expected(ev, table, acq.params)
            if ev is None:
                continue
        events += 1
        for c in range(len(ev["data"])):
            if ev["data"][c] or ev["window_labels"][c]:
                row = {"event": i, "channel": c, "data": ev["data"][c], "window_labels": ev["window_labels"][c],
                       "time": ev["time"][c]}
                if ev["timing"] is not None:
                    row["timing"] = ev["timing"][c]
                rows.append(row)
    return rows, events


@pytest.mark.parametrize("pedestals", [False, True], ids=["raw", "pedestals"])
@pytest.mark.parametrize("model", ["pellorv3", "lanwev2_eval", "vombel96", "kivro"])
def test_table_and_parquet_hold_the_parsed_events(tmp_path, model, pedestals):
    syn = synthetic(tmp_path / "run", model)
    acq = brimoacq.Acquisition(str(syn.path))
    everything, _ = expected_rows(acq, range(len(acq)), pedestals)
    assert everything

    table = arrow.to_table(acq, pedestals=pedestals, errors="skip")
    assert table.to_pylist() == everything
    assert ("timing" in table.schema.names) == model.startswith("lanwe")
    meta = table.schema.metadata
    assert meta[b"brimoacq.acquisition"] == b"run" and b'"model": "%s"' % model.encode() in meta[b"brimoacq.params"]
    assert meta[b"brimoacq.version"] == brimoacq.__version__.encode()

    # The sample values are wrapped, not copied.
    arrays = acq.read(pedestals=pedestals, errors="skip")
    wrapped = arrow.table_from_arrays(arrays, table.schema).column("data").chunk(0)
    assert wrapped.values.buffers()[1].address == arrays["data"].ctypes.data

    # Several batches, a selection with a repeat and out of order; read back by pyarrow and by pandas.
    indices = [5, 0, 6, 2, 2, 1]
    out = tmp_path / "out" / "run.parquet"
    out.parent.mkdir()
    written = arrow.write_parquet(acq, out, indices=indices, pedestals=pedestals, batch_size=2, errors="skip")
    want, events = expected_rows(acq, indices, pedestals)
    assert written == events
    assert os.listdir(out.parent) == ["run.parquet"]
    assert pq.read_table(out).to_pylist() == want
    frame = pd.read_parquet(out)
    assert frame["event"].tolist() == [r["event"] for r in want]
    assert [list(v) for v in frame["data"]] == [r["data"] for r in want]


def test_rows_skip_only_channels_without_samples_and_windows():
    # Two events of three channels: event 7 has samples in channel 0 and a window without samples in
    # channel 2; event 9 has samples only in channel 1.
    arrays = {"index": np.array([7, 9]), "data": np.arange(5, dtype=np.float32),
              "offsets": np.array([0, 2, 2, 2, 2, 5, 5]), "time": np.arange(5, dtype=np.uint16),
              "window_labels": np.array([4, 6, 8], dtype=np.uint16), "window_offsets": np.array([0, 1, 1, 2, 2, 3, 3])}
    table = arrow.table_from_arrays(arrays, arrow.schema({"model": "pellorv3"}))
    assert table.to_pylist() == [
        {"event": 7, "channel": 0, "data": [0.0, 1.0], "window_labels": [4], "time": [0, 1]},
        {"event": 7, "channel": 2, "data": [], "window_labels": [6], "time": []},
        {"event": 9, "channel": 1, "data": [2.0, 3.0, 4.0], "window_labels": [8], "time": [2, 3, 4]},
    ]


def test_write_parquet_never_leaves_a_partial_file(tmp_path):
    params = default_params("pellorv3")
    syn = synthetic(tmp_path / "good", "pellorv3", events=4)
    packets = [brimoacq.Acquisition(str(syn.path)).raw_event(i)["rawdata"] for i in range(4)]
    path = write_acquisition(tmp_path / "bad", params, packets[:3] + [b"\x01\x02\x03"] + packets[3:])
    acq = brimoacq.Acquisition(str(path))
    out = tmp_path / "out"
    out.mkdir()
    (out / "old.parquet").write_bytes(b"previous content")
    with pytest.raises(Exception, match="unexpected length of data"):
        arrow.write_parquet(acq, out / "old.parquet", batch_size=2)
    assert os.listdir(out) == ["old.parquet"] and (out / "old.parquet").read_bytes() == b"previous content"
    assert arrow.write_parquet(acq, out / "old.parquet", batch_size=2, errors="skip") == 4
    with pytest.raises(ValueError, match="acquisition directory"):
        arrow.write_parquet(acq, path / "inside.parquet")


@pytest.mark.parametrize("module,blocked,extra", [("arrow", "pyarrow", "arrow"), ("dask", "dask", "dask"),
                                                  ("dask", "pyarrow", "dask")])
def test_missing_optional_dependency_names_the_extra(module, blocked, extra):
    code = (f"import sys; sys.modules[{blocked!r}] = None\n"
            f"try:\n    import brimoacq_tools.{module}\nexcept ImportError as e:\n    print(e)")
    result = python(code=code)
    assert result.returncode == 0 and result.stderr == ""
    assert f'pip install "brimoacq[{extra}]"' in result.stdout and len(result.stdout.splitlines()) == 1


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    root = tmp_path_factory.mktemp("acqs")
    synthetic(root / "run_a", "pellorv3", events=8)
    synthetic(root / "run_b", "lanwev2_eval", events=5)
    return root


def dataset_rows(out):
    frame = pd.read_parquet(out)
    frame["acquisition"] = frame["acquisition"].astype(str)
    return sorted((r["acquisition"], r["event"], r["channel"], list(r["data"])) for _, r in frame.iterrows())


def single_process_rows(root):
    rows = []
    for name in ("run_a", "run_b"):
        acq = brimoacq.Acquisition(str(root / name))
        rows += [(name, r["event"], r["channel"], r["data"]) for r in arrow.to_table(acq).to_pylist()]
    return sorted(rows)


def test_cli_export_parquet_and_convert(root, tmp_path):
    result = python("export", root / "run_a", tmp_path, "--format", "parquet", "--indices", "2:5")
    assert result.returncode == 0, result.stderr
    assert pq.read_table(tmp_path / "run_a.parquet").column("event").unique().to_pylist() == [2, 3, 4]
    assert "wrote 3 events of run_a" in result.stdout
    # Without a pedestal table, with a corrupt event: one line on standard error and status 1.
    packets = [brimoacq.Acquisition(str(root / "run_a")).raw_event(i)["rawdata"] for i in range(2)]
    bare = write_acquisition(tmp_path / "bare", default_params("pellorv3"), packets + [b"\x01\x02\x03"])
    for extra, status, events in ((["--pedestals"], 1, None), ([], 1, 2), (["--allow-missing"], 0, 2)):
        result = python("export", bare, tmp_path / "bare.parquet", "--format", "parquet", *extra)
        assert result.returncode == status and "Traceback" not in result.stderr
        assert len(result.stderr.splitlines()) == status
        written = pq.read_table(tmp_path / "bare.parquet").column("event").unique().to_pylist() if events else None
        assert written == ([0, 1] if events else None) and (tmp_path / "bare.parquet").exists() == bool(events)
    (tmp_path / "bare.parquet").unlink()

    out = tmp_path / "dataset"
    for _ in range(2):  # a second conversion replaces the first instead of adding to it
        result = python("convert", root, out, "--jobs", "2", "--events-per-part", "3")
        assert result.returncode == 0, result.stderr
        assert "run_a: 8 events" in result.stdout and "run_b: 5 events" in result.stdout
    assert sorted(os.listdir(out)) == ["acquisition=run_a", "acquisition=run_b"]
    assert len(os.listdir(out / "acquisition=run_a")) == 3
    assert dataset_rows(out) == single_process_rows(root)


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="dask.distributed runs on CPython")
def test_local_cluster_matches_the_single_process_table(root, tmp_path):
    dd_read = pytest.importorskip("brimoacq_tools.dask")
    distributed = pytest.importorskip("distributed")
    paths = [root / "run_a", root / "run_b"]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  env={"PYTHONPATH": ENV["PYTHONPATH"]}) as cluster, distributed.Client(cluster):
        frame = dd_read.read(paths, events_per_partition=3)
        assert frame.npartitions == 3 + 2
        got = frame.compute()
        summary = dd_read.to_parquet(paths, tmp_path / "ds", events_per_partition=4)
        result = python("convert", root, tmp_path / "cli", "--scheduler", cluster.scheduler_address)
    assert summary == {name: (events, pq.read_table(tmp_path / "ds" / f"acquisition={name}").num_rows)
                       for name, events in (("run_a", 8), ("run_b", 5))}
    assert result.returncode == 0, result.stderr
    want = single_process_rows(root)
    assert sorted((r.acquisition, r.event, r.channel, list(r.data)) for r in got.itertuples()) == want
    assert got[got.acquisition == "run_a"]["timing"].isna().all()
    assert dataset_rows(tmp_path / "ds") == want == dataset_rows(tmp_path / "cli")
