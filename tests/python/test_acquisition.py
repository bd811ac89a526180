"""Acquisition objects, item access, slices, iteration and the module's listing functions."""

import gc
import multiprocessing
import operator
import os
import pickle

import pytest

import brimoacq

from brimoacq_tools.writer import write_acquisition
from conftest import cpython_only, pellorv3_params, simple_packet


def test_properties(acq10, tmp_path):
    acq, _ = acq10
    path = tmp_path / "run_10"
    assert acq.path == str(path)
    assert acq.name == "run_10"
    assert acq.chunk_count == 2
    assert len(acq) == 10
    assert acq.is_valid is True
    assert acq.metadata is acq.metadata
    assert acq.metadata["registers"] == {"reg0": 1, "reg1": 2}
    assert acq.params == {"model": "pellorv3", "channels": 4, "windows": 256, "samples": 4}
    # The validity test runs again at each access; the rest keeps working on the directory as it is.
    (path / "metadata.yml").unlink()
    assert acq.is_valid is False
    assert acq.params["model"] == "pellorv3"
    assert len(acq) == 10


def test_path_like_arguments(acq10, tmp_path):
    acq, _ = acq10
    path = tmp_path / "run_10"

    class PathLike:
        def __fspath__(self):
            return str(path)

    for arg in (path, str(path), PathLike()):
        assert brimoacq.Acquisition(arg).path == str(path)
        assert brimoacq.is_acquisition(arg) is True


@pytest.mark.parametrize("make_path", [
    lambda root: root / "missing",
    lambda root: root / "run_10" / "0.bin",            # a file, not a directory
    lambda root: str(root / "run_10") + "\0/x",        # no file name holds a NUL
])
def test_not_an_acquisition(acq10, tmp_path, make_path):
    path = make_path(tmp_path)
    assert brimoacq.is_acquisition(path) is False
    with pytest.raises(FileNotFoundError, match="^Invalid path$"):
        brimoacq.Acquisition(path)


def test_unreadable_metadata(tmp_path):
    (tmp_path / "acq" / "metadata.yml").mkdir(parents=True)
    assert brimoacq.is_acquisition(tmp_path / "acq")
    with pytest.raises(OSError, match="^Could not read acquisition: failed to read metadata$"):
        brimoacq.Acquisition(tmp_path / "acq")


def test_list_acquisitions_skips_what_cannot_be_opened(make_acq, tmp_path):
    good = make_acq("good")
    (tmp_path / "no_metadata").mkdir()
    make_acq("no_registers", registers=False)
    make_acq("bad_yaml", metadata="params: [\n")
    (tmp_path / "plain_file").write_text("x")
    found = brimoacq.list_acquisitions(tmp_path)
    assert [a.path for a in found] == [str(good)]
    assert isinstance(found[0], brimoacq.Acquisition)
    assert brimoacq.list_acquisitions(tmp_path / "missing") == []
    assert brimoacq.list_acquisitions(str(tmp_path) + "\0") == []


def test_non_utf8_directory_name_round_trips(make_acq, tmp_path):
    # A Latin-1 name: listed, named with the file-system encoding (surrogate escapes), and exported
    # to files named with its own bytes.
    raw = os.fsencode(str(make_acq(os.fsdecode(b"caf\xe9"), chunks=[[simple_packet(0)]])))
    [acq] = brimoacq.list_acquisitions(tmp_path)
    assert os.fsencode(acq.path) == raw
    assert brimoacq.Acquisition(acq.path).path == acq.path
    assert os.fsencode(acq.name) == b"caf\xe9"
    out = tmp_path / "out"
    out.mkdir()
    brimoacq.export_csv(acq, [0], out, False)
    assert os.listdir(os.fsencode(out)) == [b"caf\xe9 (chunk 0).csv"]


@pytest.mark.parametrize("prop, file", [
    ("readout_metadata", "readout_metadata"),
    ("pedestals_calibration", "pedestals_calibration"),
    ("timing_calibration", "timing_calibration"),
    ("adc_to_mv_calibration", "adc2mv_calibration"),
])
def test_misc_data(make_acq, prop, file):
    value = {"file": file, "values": [1.5, 2.5]}
    assert getattr(brimoacq.Acquisition(make_acq("without")), prop) is None
    acq = brimoacq.Acquisition(make_acq("with", misc={file: value}))
    first, second = getattr(acq, prop), getattr(acq, prop)
    assert first == value and second == value
    assert first is not second   # decoded again at each access


def test_misc_data_unreadable_file(make_acq):
    path = make_acq()
    (path / "timing_calibration").mkdir()
    with pytest.raises(OSError, match=r"^Could not read acquisition: .*\(os error 21\)$"):
        brimoacq.Acquisition(path).timing_calibration


def test_raw_event(acq10):
    acq, packets = acq10
    for index in (0, 5, 6, 9):  # across the chunk boundary
        event = acq.raw_event(index)
        assert list(event) == ["rawdata", "pkg_num", "event_num"]
        assert event == {"rawdata": packets[index], "pkg_num": index, "event_num": index}
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(10)


def test_length_without_index_file(make_acq):
    path = make_acq(chunks=[[simple_packet(0)]])
    (path / "0.idx").unlink()
    assert len(brimoacq.Acquisition(path)) == 0


@pytest.mark.parametrize("key, exc, message", [
    (-1, IndexError, "^index out of bounds$"),
    (10, IndexError, "^Index out of bounds$"),
    (2 ** 70, TypeError, "^index must be an int or a slice$"),
    (1.5, TypeError, "^index must be an int or a slice$"),
    ("3", TypeError, "^index must be an int or a slice$"),
    (None, TypeError, "^index must be an int or a slice$"),
    (slice(None, None, -1), IndexError, "^index out of bounds$"),
    (slice(8, 2, -2), IndexError, "^index out of bounds$"),
    (slice(None, None, 0), ValueError, "slice step cannot be zero"),
])
def test_item_access_errors(acq10, key, exc, message):
    acq, _ = acq10
    with pytest.raises(exc, match=message):
        acq[key]


def event_number(event):
    """The event number encoded by simple_packet in the first sample of channel 0."""
    return int(event["data"][0][0]) // 16


@pytest.mark.parametrize("key", [
    slice(None), slice(-2, None), slice(5, 2), slice(100, None), slice(1, 9, 3), slice(-100, 3),
    slice(2, -2, 2), slice(None, None, 7),
])
def test_slices(acq10, key):
    acq, _ = acq10
    events = acq[key]
    assert isinstance(events, list)
    assert [event_number(e) for e in events] == list(range(10))[key]


def test_integer_like_indices(acq10):
    acq, _ = acq10

    class Index:
        def __index__(self):
            return 4

    assert acq[True] == acq[1]
    assert event_number(acq[Index()]) == 4
    assert acq.parsed_event(7) == acq[7]


def test_slice_stops_at_first_failure(make_acq):
    packets = [simple_packet(e) for e in range(4)]
    packets[2] = packets[2][:-1]  # odd length
    acq = brimoacq.Acquisition(make_acq(chunks=[packets]))
    assert len(acq[:2]) == 2
    with pytest.raises(Exception, match="^Failed to parse event: unexpected length of data$"):
        acq[:]


def test_iteration(acq10):
    acq, _ = acq10
    it = iter(acq)
    assert type(it).__name__ == "IterEvents"
    assert type(it).__doc__ == "Iterator over events in an acquisition"
    assert iter(it) is it
    assert [event_number(e) for e in it] == list(range(10))
    assert list(it) == []
    # Each iter() is a fresh iterator over a copy of the object.
    assert len(list(acq)) == 10
    fresh = type(it)(acq)
    assert event_number(next(fresh)) == 0
    with pytest.raises(TypeError, match="^argument 'acq': "):
        type(it)(42)


def test_failed_next_does_not_advance(make_acq):
    packets = [simple_packet(e) for e in range(5)]
    path = make_acq(chunks=[packets[:2] + [b"\x00"] + packets[3:]])
    acq = brimoacq.Acquisition(path)
    it = iter(acq)
    assert [event_number(e) for e in it] == [0, 1]   # stops early, without an error
    with pytest.raises(StopIteration):
        next(it)
    write_acquisition(path, pellorv3_params(), packets, overwrite=True)   # repair event 2
    assert [event_number(e) for e in it] == [2, 3, 4]


@cpython_only
def test_reentrant_next_is_refused(make_acq):
    # Hundreds of channels: building the event allocates more lists than the interpreter keeps spare,
    # so the allocation runs the garbage collector.
    acq = brimoacq.Acquisition(make_acq(chunks=[[simple_packet(e) for e in range(3)]], channels=300))
    it = iter(acq)
    seen = []

    def on_gc(phase, info):
        # A collection that starts while next() builds its event calls next() on the same iterator.
        if phase == "start" and not seen:
            try:
                next(it)
                seen.append("advanced")
            except RuntimeError as e:
                seen.append(str(e))

    old = gc.get_threshold()
    gc.callbacks.append(on_gc)
    gc.set_threshold(1)
    try:
        first = next(it)
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(on_gc)
    assert seen == ["Already borrowed"]
    assert event_number(first) == 0
    assert event_number(next(it)) == 1


@cpython_only
def test_garbage_cycles_are_collected(make_acq):
    import weakref

    class Canary:
        pass

    acq = brimoacq.Acquisition(make_acq(chunks=[[simple_packet(0)]]))
    it = iter(acq)
    canary = Canary()
    # acq -> metadata -> (acq, iterator -> copy of acq -> same metadata), canary inside the cycle.
    acq.metadata["cycle"] = (acq, it, canary)
    alive = weakref.ref(canary)
    del acq, it, canary
    gc.collect()
    assert alive() is None


def test_context_manager(acq10):
    acq, _ = acq10
    with acq as entered:
        assert entered is acq
    assert len(acq) == 10   # nothing was closed
    with pytest.raises(KeyError):   # an exception in the block is not suppressed
        with acq:
            raise KeyError("x")


@pytest.mark.parametrize("name", [
    "run_12",
    "it's a \"run\"",
    os.fsdecode(b"acq\xff"),   # not UTF-8
    None,                      # a path without a final name
])
def test_repr(make_acq, dotdot_acq, name):
    acq = dotdot_acq if name is None else brimoacq.Acquisition(make_acq(name))
    try:
        shown = repr(acq.name) + " "
    except BaseException:   # no name to show: left out
        shown = ""
    assert repr(acq) == f"<Acquisition {shown}model='pellorv3' path={acq.path!r}>"


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pickled_by_path_for_worker_processes(acq10, method):
    acq, _ = acq10
    assert pickle.loads(pickle.dumps(acq)).path == acq.path
    # A multiprocessing pool rather than ProcessPoolExecutor, which cannot start spawn workers on PyPy 3.9;
    # both hand their arguments and results over by pickling.
    with multiprocessing.get_context(method).Pool(1) as pool:
        # The worker opens the acquisition again from its path, and an acquisition it returns comes
        # back the same way.
        assert pool.apply(operator.itemgetter(slice(7, 9)), (acq,)) == acq[7:9]
        assert pool.apply(brimoacq.Acquisition, (acq.path,)).path == acq.path
