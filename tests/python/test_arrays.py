"""Acquisition.read / iter_batches / read_raw: the arrays hold exactly what the per-event methods and the
CSV export give, for any selection, failure mode and acquisition state; brimoacq_tools.dense/to_awkward."""

import pathlib
import shutil
import sys
import threading
import time

import numpy as np
import pytest

import brimoacq
from brimoacq_tools import MODELS, dense, to_awkward, write_synthetic
from brimoacq_tools.writer import correct_expected, encode_event
from conftest import cpython_only, pellorv3_packet, simple_packet
from test_export import chunk_path, events_of, pedestal_table, read_rows


def event_of(arrays, k):
    """Event k of read()'s arrays as parsed_event's lists."""
    off, woff = arrays["offsets"], arrays["window_offsets"]
    C = (len(off) - 1) // len(arrays["index"])
    runs = lambda a, o: [a[o[k * C + c]:o[k * C + c + 1]].tolist() for c in range(C)]  # noqa: E731
    event = {"data": runs(arrays["data"], off), "time": runs(arrays["time"], off),
             "window_labels": runs(arrays["window_labels"], woff)}
    if "timing" in arrays:
        event["timing"] = runs(arrays["timing"], woff)
    return event


def assert_same(arrays, expected):
    """`expected`: (index, parsed-event dict) pairs in order."""
    assert arrays["index"].tolist() == [i for i, _ in expected]
    for k, (_, ev) in enumerate(expected):
        got = event_of(arrays, k)
        for key in got:
            assert got[key] == ev[key], key
    assert "timing" in arrays or all(ev["timing"] is None for _, ev in expected)


@pytest.fixture(scope="module")
def synthetic(tmp_path_factory):
    """One small acquisition per model, three chunks, with pedestals."""
    root = tmp_path_factory.mktemp("models")
    return {m: write_synthetic(root / m, model=m, events=7, events_per_chunk=3, seed=5,
                               **({"windows": 8} if m == "vombel96" else {})) for m in MODELS}


@pytest.mark.parametrize("model", MODELS)
def test_values_equal_parsed_events(synthetic, model):
    syn = synthetic[model]
    acq = brimoacq.Acquisition(syn.path)
    arrays = acq.read()
    assert set(arrays) == {"index", "data", "offsets", "time", "window_labels", "window_offsets"} | (
        {"timing"} if model.startswith("lanwe") else set())
    dtypes = {"index": "int64", "data": "float32", "offsets": "int64", "time": "uint16",
              "window_labels": "uint16", "window_offsets": "int64", "timing": "uint32"}
    assert {k: str(v.dtype) for k, v in arrays.items()} == {k: dtypes[k] for k in arrays}
    assert_same(arrays, [(i, acq.parsed_event(i)) for i in range(len(acq))])
    # With correction: the export's arithmetic, and its choice of events to leave out.
    table = np.asarray(syn.pedestals, dtype=np.float32).tolist() if syn.pedestals else None
    corrected = [(i, correct_expected(acq.parsed_event(i), table, syn.params)) for i in range(len(acq))]
    assert_same(acq.read(pedestals=True, errors="skip"), [(i, ev) for i, ev in corrected if ev is not None])
    # dense() pads every run to the longest with NaN.
    block = dense(arrays)
    assert block.shape[:2] == (len(acq), len(acq.parsed_event(0)["data"]))
    for e in range(len(acq)):
        for c, samples in enumerate(acq.parsed_event(e)["data"]):
            assert block[e, c, :len(samples)].tolist() == samples
            assert np.isnan(block[e, c, len(samples):]).all()


SELECTIONS = [None, [], [6, 0, 6, 3], range(1, 7, 2), (2,), range(0), range(6, 0, -3),
              np.array([5, 4, 5], dtype=np.int64), np.array([1, 6], dtype=np.uint32), np.arange(6)[::-2]]


@pytest.mark.parametrize("indices", SELECTIONS)
def test_selections(synthetic, indices):
    acq = brimoacq.Acquisition(synthetic["pellorv3"].path)
    wanted = list(range(len(acq))) if indices is None else [int(i) for i in indices]
    assert_same(acq.read(indices), [(i, acq.parsed_event(i)) for i in wanted])
    raw, offsets = acq.read_raw(indices)
    assert (raw.dtype, offsets.dtype, len(offsets)) == (np.uint8, np.int64, len(wanted) + 1)
    assert [raw[offsets[k]:offsets[k + 1]].tobytes() for k in range(len(wanted))] == \
        [acq.raw_event(i)["rawdata"] for i in wanted]
    batches = list(acq.iter_batches(2, indices=indices))
    assert [b["index"].tolist() for b in batches] == [wanted[k:k + 2] for k in range(0, len(wanted), 2)]
    for b in batches:
        assert_same(b, [(i, acq.parsed_event(i)) for i in b["index"].tolist()])


@pytest.mark.parametrize("call, exc", [
    (lambda a: a.read([-1]), OverflowError),                 # as raw_event(-1)
    (lambda a: a.read_raw(range(-2, 3)), OverflowError),
    (lambda a: a.read(np.array([0, -1])), OverflowError),
    (lambda a: a.read(np.array([0.0])), TypeError),
    (lambda a: a.read(errors="ignore"), ValueError),
    (lambda a: a.read(pedestals=1), TypeError),
    (lambda a: a.read(None, False), TypeError),              # pedestals is keyword-only
    (lambda a: a.iter_batches(0), ValueError),
    (lambda a: a.read(pedestals=True), ValueError),          # no calibration file
])
def test_argument_errors(make_acq, call, exc):
    acq = brimoacq.Acquisition(str(make_acq(chunks=[[simple_packet(0)]])))
    with pytest.raises(exc):
        call(acq)


def test_failing_events(make_acq):
    table = pedestal_table()
    packets = [simple_packet(0, windows_per_channel=2),
               pellorv3_packet([(c, 2, [1, 2, 3, 4]) for c in range(4)]),  # window 2: beyond the table
               b"\x00\x01",                                              # too short to parse
               simple_packet(3)]
    acq = brimoacq.Acquisition(str(make_acq("bad", chunks=[packets[:2], packets[2:]],
                                            misc={"pedestals_calibration": {"data": table}})))
    cases = [  # (indices, pedestals, first failing index, the type parsed_event raises or None)
        ([0, 2, 3], False, 2, type(_raised(lambda: acq.parsed_event(2)))),
        ([3, 9, 0], False, 9, IndexError),
        ([0, 1, 3], True, 1, ValueError),
    ]
    for indices, pedestals, bad, exc in cases:
        with pytest.raises(exc, match=f"^event {bad}: ") as info:
            acq.read(indices, pedestals=pedestals)
        if not pedestals:
            assert str(info.value).endswith(str(_raised(lambda: acq.parsed_event(bad))))
        skipped = acq.read(indices, pedestals=pedestals, errors="skip")
        assert skipped["index"].tolist() == [i for i in indices if i != bad]
    with pytest.raises(IndexError, match="^event 9: "):
        acq.read_raw([0, 9])
    # A data file cut short: the packets it no longer holds fail as raw_event fails on them.
    data_file = pathlib.Path(acq.path) / "1.bin"
    data_file.write_bytes(data_file.read_bytes()[:-1])
    message = str(_raised(lambda: acq.raw_event(3)))
    with pytest.raises(IndexError, match=f"^event 3: {message}$"):
        acq.read_raw([2, 3])
    assert acq.read([2, 3, 0], errors="skip")["index"].tolist() == [0]


def _raised(call):
    try:
        call()
    except Exception as e:  # noqa: BLE001
        return e
    raise AssertionError("no exception")


def test_pedestals_equal_exported_csv(make_acq, tmp_path):
    packets = [simple_packet(0, windows_per_channel=2),
               pellorv3_packet([(c, 2, [1, 2, 3, 4]) for c in range(4)]),
               pellorv3_packet([(c, w, [100 + c, 2, 3, 4095]) for w in (1, 0) for c in range(4)])]
    acq = brimoacq.Acquisition(str(make_acq("ped", chunks=[packets],
                                            misc={"pedestals_calibration": {"data": pedestal_table()}})))
    brimoacq.export_csv(acq, [0, 1, 2], tmp_path, True)
    exported = events_of(read_rows(chunk_path(tmp_path, "ped", 0)))
    arrays = acq.read(pedestals=True, errors="skip")
    assert arrays["index"].tolist() == [0, 2]
    for k, rows in enumerate(exported):
        got = event_of(arrays, k)["data"]
        assert [[np.float32(row[3 + 3 * c]) for row in rows] for c in range(4)] == got


def test_growth_between_calls(tmp_path):
    syn = write_synthetic(tmp_path / "grow", model="pellorv3", events=9, events_per_chunk=3, pedestals=False)
    aside = tmp_path / "aside"
    aside.mkdir()
    for name in ("2.bin", "2.idx"):
        shutil.move(syn.path / name, aside / name)
    acq = brimoacq.Acquisition(syn.path)
    batches = acq.iter_batches(3)
    assert acq.read()["index"].tolist() == list(range(6))
    for name in ("2.bin", "2.idx"):
        shutil.move(aside / name, syn.path / name)
    assert acq.read()["index"].tolist() == list(range(9))
    assert len(acq.read_raw()[1]) == 10
    # An iterator keeps the acquisition as it was when it was made.
    assert [b["index"].tolist() for b in batches] == [[0, 1, 2], [3, 4, 5]]


def test_arrays_are_not_copies(synthetic):
    acq = brimoacq.Acquisition(synthetic["lanwev1_evalr2"].path)
    for array in [*acq.read().values(), *acq.read_raw()]:
        assert not array.flags.owndata and array.flags.writeable
        assert array.base is not None and not isinstance(array.base, np.ndarray)


def test_to_awkward(synthetic):
    pytest.importorskip("awkward")
    acq = brimoacq.Acquisition(synthetic["lanwev1_evalr2"].path)
    records = to_awkward(acq.read())
    assert records.fields == ["index", "data", "time", "window_labels", "timing"]
    assert records[3, "data", 1].tolist() == acq.parsed_event(3)["data"][1]


@cpython_only
def test_reference_counts_flat(synthetic):
    acq = brimoacq.Acquisition(synthetic["pellorv3"].path)
    watched = [acq, np.frombuffer, brimoacq.Acquisition]

    def calls():
        acq.read([0, 1], errors="skip")
        acq.read_raw()
        list(acq.iter_batches(3))
        _raised(lambda: acq.read([99]))

    calls()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        calls()
    assert [sys.getrefcount(o) for o in watched] == before


def test_other_threads_run_during_a_read(tmp_path):
    params = {"model": "pellorv3", "channels": 4, "windows": 256, "samples": 64}
    packet = encode_event(params, {c: [(w, list(range(64))) for w in range(8)] for c in range(4)})
    from brimoacq_tools.writer import write_acquisition
    acq = brimoacq.Acquisition(write_acquisition(tmp_path / "big", params, [packet] * 20000,
                                                 events_per_chunk=2000))
    counter, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        time.sleep(0.05)
        best = 0
        for _ in range(3):
            start = counter[0]
            t0 = time.perf_counter()
            acq.read()
            elapsed = time.perf_counter() - t0
            best = max(best, (counter[0] - start) / max(elapsed, 1e-9))
    finally:
        stop.set()
        thread.join()
    # Holding the lock for the read would leave the counter nearly still; released, it runs freely.
    assert best > 100_000
