"""export_csv: files read back and compared with parsed events, pedestal correction, failures, argument
conversion, and the interpreter lock being released while an export runs."""

import csv
import gzip
import os
import pathlib
import pickle
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import brimoacq

from conftest import pellorv3_packet, simple_packet, write_acquisition

HEADER4 = ["acq_num", "evt_num"] + [f"{kind}_ch{c}" for c in range(4)
                                     for kind in ("windnum", "data", "time")]


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def chunk_path(out, name, k):
    return out / f"{name} (chunk {k}).csv"


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def events_of(rows):
    """Splits the data rows of a file into events by their evt_num column: a list of row lists."""
    events = []
    for row in rows[1:]:
        n = int(row[1])
        assert row[0] == "0"
        if n == len(events):
            events.append([])
        assert n == len(events) - 1, "evt_num must count 0, 1, 2, ..."
        events[n].append(row)
    return events


def assert_event_rows(rows, event, samples):
    """The rows of one event of a file with channel list 0..len(data)-1, for an event whose channels
    all read the same windows: row k of channel c holds window_labels[c][k // S], data[c][k] and
    time[c][k]."""
    assert len(rows) == len(event["data"][0])
    for k, row in enumerate(rows):
        for c in range(len(event["data"])):
            windnum, data, t = row[2 + 3 * c: 5 + 3 * c]
            assert int(windnum) == event["window_labels"][c][k // samples]
            assert f32(float(data)) == f32(event["data"][c][k])
            assert int(t) == event["time"][c][k]


@pytest.fixture
def out(tmp_path):
    path = tmp_path / "out"
    path.mkdir()
    return path


@pytest.fixture
def acq12(make_acq):
    """12 pellorv3 events of 4 channels x 2 windows x 4 samples, in chunks of 5, 5 and 2 events."""
    packets = [simple_packet(e, windows_per_channel=2) for e in range(12)]
    path = make_acq("run_12", chunks=[packets[:5], packets[5:10], packets[10:]])
    return brimoacq.Acquisition(str(path))


# Each case: the index list and the acquisition indices of the events the file holds, in order.
@pytest.mark.parametrize("indices, exported", [
    (list(range(12)), list(range(12))),
    ([5, 3, 5], [5, 3, 5]),                              # order kept, duplicates exported twice
    ((11, 40, 0, 2 ** 64 - 1, 7), [11, 0, 7]),           # unreadable indices leave no trace
    (range(9, 4, -1), [9, 8, 7, 6, 5]),
])
def test_rows_match_parsed_events(acq12, out, indices, exported):
    assert brimoacq.export_csv(acq12, indices, str(out), False) is None
    assert os.listdir(out) == ["run_12 (chunk 0).csv"]
    rows = read_rows(chunk_path(out, "run_12", 0))
    assert rows[0] == HEADER4
    events = events_of(rows)
    assert len(events) == len(exported)
    for rows_of_event, index in zip(events, exported):
        assert_event_rows(rows_of_event, acq12.parsed_event(index), samples=4)


def test_two_window_event_text(make_acq, out):
    # One channel, windows 3 and 4 of two samples each.
    packet = pellorv3_packet([(0, 3, [10, 11]), (0, 4, [12, 13])])
    acq = brimoacq.Acquisition(str(make_acq("two", chunks=[[packet]], channels=1, samples=2)))
    brimoacq.export_csv(acq, [0], out, False)
    t = acq.parsed_event(0)["time"][0]
    assert chunk_path(out, "two", 0).read_text() == (
        "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n"
        f"0,0,3,10,{t[0]}\n0,0,3,11,{t[1]}\n0,0,4,12,{t[2]}\n0,0,4,13,{t[3]}\n")


def test_chunks_of_a_thousand(acq12, out):
    indices = [i % 12 for i in range(2500)]
    brimoacq.export_csv(acq12, indices, out, False)
    assert sorted(os.listdir(out)) == [f"run_12 (chunk {k}).csv" for k in range(3)]
    for k, count in enumerate([1000, 1000, 500]):
        events = events_of(read_rows(chunk_path(out, "run_12", k)))
        assert len(events) == count
        # Numbering restarts in every file; the first event of chunk k is index list entry k * 1000.
        assert_event_rows(events[0], acq12.parsed_event((k * 1000) % 12), samples=4)
        assert_event_rows(events[-1], acq12.parsed_event((k * 1000 + count - 1) % 12), samples=4)


@pytest.mark.parametrize("packets, indices", [
    ([simple_packet(0)], [1, 2, 2 ** 64 - 1]),           # beyond the acquisition
    ([simple_packet(0)[:-1]], [0, 0]),                   # odd length: the parser refuses it
])
def test_all_events_failing_give_header_only(make_acq, out, packets, indices):
    acq = brimoacq.Acquisition(str(make_acq("bad", chunks=[packets])))
    brimoacq.export_csv(acq, indices, out, False)
    assert chunk_path(out, "bad", 0).read_text() == "acq_num,evt_num\n"


@pytest.mark.parametrize("model", ["pellorv3", "nonesuch"])
@pytest.mark.parametrize("indices", [[], (), range(0)])
def test_empty_indices_write_nothing(make_acq, tmp_path, model, indices):
    acq = brimoacq.Acquisition(str(make_acq("empty", chunks=[[simple_packet(0)]], model=model)))
    # Not even the output directory is looked at.
    assert brimoacq.export_csv(acq, indices, tmp_path / "missing", True) is None
    assert not (tmp_path / "missing").exists()


def pedestal_table(channels=4, windows=2, samples=4):
    return [[[0.1 * c + 10.5 * w + 0.25 * s for s in range(samples)] for w in range(windows)]
            for c in range(channels)]


def test_pedestal_correction(make_acq, out):
    table = pedestal_table()
    # Event 1 reads window 2, beyond the two-window table: it is left out and event 2 takes its number.
    packets = [simple_packet(0, windows_per_channel=2),
               pellorv3_packet([(c, 2, [1, 2, 3, 4]) for c in range(4)]),
               pellorv3_packet([(c, w, [100 + c, 2, 3, 4095]) for w in (1, 0) for c in range(4)])]
    path = make_acq("ped", chunks=[packets],
                    misc={"pedestals_calibration": {"version": 2, "data": table}})
    acq = brimoacq.Acquisition(str(path))

    brimoacq.export_csv(acq, [0, 1, 2], out, True)
    events = events_of(read_rows(chunk_path(out, "ped", 0)))
    assert len(events) == 2
    for rows, index in zip(events, [0, 2]):
        event = acq.parsed_event(index)
        for c, labels in enumerate(event["window_labels"]):
            event["data"][c] = [f32(f32(v) - f32(table[c][labels[k // 4]][k % 4]))
                                for k, v in enumerate(event["data"][c])]
        assert_event_rows(rows, event, samples=4)

    # Without correction every event is there, with its raw samples.
    brimoacq.export_csv(acq, [0, 1, 2], out, False)
    events = events_of(read_rows(chunk_path(out, "ped", 0)))
    assert len(events) == 3
    assert_event_rows(events[2], acq.parsed_event(2), samples=4)


@pytest.mark.parametrize("calibration", [
    None,                                                   # no file
    pickle.dumps({"data": pedestal_table()}),               # not gzip-compressed
    gzip.compress(pickle.dumps(None)),                      # decodes to no table
    gzip.compress(pickle.dumps({"data": pedestal_table()}))[:-3],   # truncated
    b"",
])
def test_unusable_calibration_gives_uncorrected_output(make_acq, tmp_path, calibration):
    misc = {} if calibration is None else {"pedestals_calibration": calibration}
    packets = [simple_packet(e, windows_per_channel=2) for e in range(3)]
    acq = brimoacq.Acquisition(str(make_acq("cal", chunks=[packets], misc=misc)))
    on, off = tmp_path / "on", tmp_path / "off"
    on.mkdir()
    off.mkdir()
    brimoacq.export_csv(acq, [0, 1, 2], on, True)
    brimoacq.export_csv(acq, [0, 1, 2], off, False)
    corrected = chunk_path(on, "cal", 0).read_bytes()
    assert corrected == chunk_path(off, "cal", 0).read_bytes()
    assert len(events_of(read_rows(chunk_path(on, "cal", 0)))) == 3


def test_calibration_that_is_a_directory(make_acq, out):
    path = make_acq("dir", chunks=[[simple_packet(0)]])
    (path / "pedestals_calibration").mkdir()
    brimoacq.export_csv(brimoacq.Acquisition(str(path)), [0], out, True)
    assert len(events_of(read_rows(chunk_path(out, "dir", 0)))) == 1


def export_error(exc_info, message):
    assert type(exc_info.value).__name__ == "ExportError"
    assert type(exc_info.value).__module__ == "acquisition"
    assert exc_info.value.args == ("Could not export: " + message,)


def test_missing_output_directory(acq12, tmp_path):
    with pytest.raises(Exception) as e:
        brimoacq.export_csv(acq12, [0], tmp_path / "missing", False)
    export_error(e, "invalid path")
    assert not (tmp_path / "missing").exists()


def test_nul_in_output_directory_names_no_file(acq12, tmp_path):
    # A path cut at the NUL would lead to the file "stray".
    with pytest.raises(Exception) as e:
        brimoacq.export_csv(acq12, [0], str(tmp_path / "stray") + "\0dir", False)
    export_error(e, "invalid path")
    assert not (tmp_path / "stray").exists()


def test_chunk_file_that_is_a_directory(acq12, out):
    # Chunk 0 is written and stays; chunk 1 cannot be opened.
    chunk_path(out, "run_12", 1).mkdir()
    with pytest.raises(Exception) as e:
        brimoacq.export_csv(acq12, range(1001), out, False)
    export_error(e, "unknown")
    assert len(events_of(read_rows(chunk_path(out, "run_12", 0)))) == 12


DENIED_SCRIPT = """
import os, sys
import brimoacq
acq = brimoacq.Acquisition(sys.argv[1])
if os.geteuid() == 0:
    os.setgid(65534)
    os.setuid(65534)
try:
    brimoacq.export_csv(acq, [0], sys.argv[2], False)
except Exception as e:
    print(type(e).__name__, e.args[0])
"""


@pytest.fixture
def public_dir():
    """A directory that any user may enter (pytest's own temporary directories are private)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="brimoacq_export_"))
    os.chmod(path, 0o755)
    yield path
    shutil.rmtree(path, ignore_errors=True)


def test_unwritable_output_directory(public_dir):
    # Permission bits do not stop root: the export runs in a child that gives up its privileges.
    acq_path = write_acquisition(public_dir / "run", chunks=[[simple_packet(0)]])
    out = public_dir / "out"
    out.mkdir(mode=0o555)
    os.chmod(out, 0o555)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", DENIED_SCRIPT, str(acq_path), str(out)],
                            capture_output=True, text=True, env=env, timeout=60)
    assert result.stdout == "ExportError Could not export: file access was denied\n", result.stderr
    assert os.listdir(out) == []


def test_unknown_model_writes_nothing(make_acq, out):
    acq = brimoacq.Acquisition(str(make_acq("odd", chunks=[[simple_packet(0)]], model="Pellorv3")))
    with pytest.raises(Exception) as e:
        brimoacq.export_csv(acq, [0], out, False)
    export_error(e, "error occurred while parsing")
    assert os.listdir(out) == []


@pytest.mark.parametrize("spoil, message", [
    (lambda p: (p / "metadata.yml").write_text("params: [1, 2\n"), "failed to serialized"),
    (lambda p: (p / "metadata.yml").write_text("params:\n  model: pellorv3\n"), "failed to serialized"),
    (lambda p: (p / "metadata.yml").unlink(), "invalid metadata format"),
])
def test_bad_metadata(make_acq, out, spoil, message):
    path = make_acq("meta", chunks=[[simple_packet(0)]])
    acq = brimoacq.Acquisition(str(path))
    spoil(path)
    for indices in ([0], []):
        with pytest.raises(Exception) as e:
            brimoacq.export_csv(acq, indices, out, True)
        assert type(e.value).__name__ == "MetadataError" and type(e.value).__module__ == "acquisition"
        assert e.value.args == ("Could not process metadata: " + message,)
    assert os.listdir(out) == []


def test_acquisition_without_name_is_internal_error(dotdot_acq, out):
    with pytest.raises(BaseException) as e:
        brimoacq.export_csv(dotdot_acq, [0], out, False)
    assert not isinstance(e.value, Exception)
    assert os.listdir(out) == []


class StrPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("make_out", [str, pathlib.Path, lambda p: StrPath(str(p))])
def test_out_dir_forms(acq12, out, make_out):
    brimoacq.export_csv(acq=acq12, indices=[3], out_dir=make_out(out), pedestals_correction=False)
    assert_event_rows(events_of(read_rows(chunk_path(out, "run_12", 0)))[0], acq12.parsed_event(3), 4)


def test_existing_longer_file_is_truncated(acq12, out):
    stale = chunk_path(out, "run_12", 0)
    stale.write_text("x" * 100000)
    brimoacq.export_csv(acq12, [0], out, False)
    text = stale.read_text()
    assert "x" not in text and text.endswith("\n")
    assert len(events_of(read_rows(stale))) == 1


class BadIndex:
    def __index__(self):
        raise ValueError("no index")


# Each case: the arguments after the acquisition (None: the valid one), the expected exception and
# the start of its message.
@pytest.mark.parametrize("acq_arg, indices, out_dir, flag, exc, text", [
    ("path", [0], None, False, TypeError, "argument 'acq'"),
    (None, "012", None, False, TypeError, "argument 'indices'"),
    (None, 0, None, False, TypeError, "argument 'indices'"),
    (None, [0, 1.0], None, False, TypeError, "argument 'indices'"),
    (None, [0, "1"], None, False, TypeError, "argument 'indices'"),
    (None, [-1], None, False, OverflowError, None),
    (None, [2 ** 64], None, False, OverflowError, None),
    (None, [BadIndex()], None, False, ValueError, "no index"),
    (None, [0], 5, False, TypeError, "argument 'out_dir'"),
    (None, [0], b"/tmp", False, TypeError, "argument 'out_dir'"),
    (None, [0], StrPath(b"/tmp"), False, TypeError, "argument 'out_dir'"),
    (None, [0], None, 1, TypeError, "argument 'pedestals_correction'"),
    (None, [0], None, None, TypeError, "argument 'pedestals_correction'"),
    (None, [0], None, "True", TypeError, "argument 'pedestals_correction'"),
    # The first argument that fails is the one reported.
    ("path", "012", 5, 1, TypeError, "argument 'acq'"),
    (None, [-1], 5, 1, OverflowError, None),
    (None, [0], 5, 1, TypeError, "argument 'out_dir'"),
])
def test_argument_errors(acq12, out, acq_arg, indices, out_dir, flag, exc, text):
    acq = acq12 if acq_arg is None else acq12.path
    with pytest.raises(exc) as e:
        brimoacq.export_csv(acq, indices, out if out_dir is None else out_dir, flag)
    if text is not None:
        assert str(e.value).startswith(text)
    assert os.listdir(out) == []


def test_bad_channel_lines_on_standard_output(make_acq, out, capfd):
    # Event 1 has four windows, all numbered 3, dealt to channels 0 and 1 in turn: its merged window
    # sequence is just 3, so it has 4 rows, and neither channel's 8 samples fit.
    packets = [simple_packet(0, channels=2),
               pellorv3_packet([(c, 3, [c, 2, 3, 4]) for c in (0, 1, 0, 1)])]
    acq = brimoacq.Acquisition(str(make_acq("bad", chunks=[packets], channels=2)))
    assert acq.parsed_event(1)["window_labels"] == [[3, 3], [3, 3]]
    capfd.readouterr()
    brimoacq.export_csv(acq, [0, 1], out, False)
    assert capfd.readouterr().out == "Bad channel 0 at Event 1\nBad channel 1 at Event 1\n"
    events = events_of(read_rows(chunk_path(out, "bad", 0)))
    assert_event_rows(events[0], acq.parsed_event(0), samples=4)
    assert events[1] == [["0", "1"] + [""] * 6] * 4


def test_lock_released_during_export(make_acq, out):
    """Another Python thread keeps running, and can use the same acquisition, while an export runs."""
    packet = pellorv3_packet([(c, w, [(w * 64 + s) % 4096 for s in range(64)])
                              for w in range(8) for c in range(4)])
    acq = brimoacq.Acquisition(str(make_acq("long", chunks=[[packet] * 50], samples=64)))
    stamps = []
    stop = threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                assert len(acq) == 50
                stamps.append(time.perf_counter())

    worker = threading.Thread(target=count)
    worker.start()
    try:
        while not stamps:
            time.sleep(0.001)
        begin = time.perf_counter()
        brimoacq.export_csv(acq, [i % 50 for i in range(8000)], out, True)
        end = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    # Holding the lock, the export would leave the other thread only a switch interval at either end
    # (when the call starts, and when it returns and hands the lock over before `end` is taken).
    during = [t for t in stamps if begin + 0.05 < t < end - 0.05]
    assert end - begin > 0.2, "export too short to tell"
    assert len(during) > 10
    assert len(os.listdir(out)) == 8


INTERRUPTED_SCRIPT = """
import sys
import brimoacq
acq = brimoacq.Acquisition(sys.argv[1])
n = len(acq)
indices = [i % n for i in range(int(sys.argv[4]))]
print("ready", flush=True)
try:
    if sys.argv[3] == "export":
        brimoacq.export_csv(acq, indices, sys.argv[2], False)
    else:
        acq[0:n]
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("work", ["export", "slice"])
def test_ctrl_c_stops_within_a_second(tmp_path, work):
    """SIGINT reaches a long export (once its first file is complete) or slice within a second as
    KeyboardInterrupt; the export leaves only complete files behind."""
    # 400 chunks of 50 small events: the slice walks the chunks for every event (minutes for all of
    # them); the export repeats the events into 200 files (tens of seconds).
    acq_path = write_acquisition(tmp_path / "big", chunks=[[simple_packet(e, samples=16, windows_per_channel=2)
                                                            for e in range(50)]] * 400, samples=16)
    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_SCRIPT, str(acq_path), str(out), work, "200000"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "ready\n"
        deadline = time.monotonic() + 60
        if work == "export":
            # A chunk file appears under its final name only once complete.
            while not chunk_path(out, "big", 0).exists() and time.monotonic() < deadline:
                time.sleep(0.01)
        else:
            time.sleep(0.3)
        assert child.poll() is None, "finished before the interrupt: make the work longer"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert stdout == "interrupted\n", stderr
    assert took < 1.0
    names = sorted(os.listdir(out))
    assert names == [f"big (chunk {k}).csv" for k in range(len(names))]
    for name in names:
        with open(out / name, newline="") as f:
            text = f.read()
        assert text.endswith("\n")
        assert len(events_of(list(csv.reader(text.splitlines())))) == 1000
