"""The calibration properties decode untrusted files: only data types, bounded size and memo."""
import builtins
import collections
import copyreg
import gzip
import os
import pickle
import time
import zlib

import pytest

import brimoacq
from conftest import write_acquisition

try:
    import numpy as np
except ImportError:
    np = None
try:
    import tracemalloc
except ImportError:     # PyPy
    tracemalloc = None


def calibration(tmp_path, raw):
    path = write_acquisition(tmp_path / "acq", misc={"pedestals_calibration": raw})
    return brimoacq.Acquisition(path).pedestals_calibration


TABLE = [[[1.5, 2.0], [3.0]]]
VALUES = [{"data": TABLE, "note": "x"}, {b"data": TABLE, b"x": b""}, {1, 2}, frozenset([3]), 1j, bytearray(b"ab"),
          bytearray(), b"", collections.OrderedDict(data=TABLE), slice(1, None, 2)]
if np is not None:
    VALUES += [np.arange(6.0).reshape(2, 3), np.float32(3), np.int64(-4), np.dtype(">i2"),
               {"data": np.zeros((2, 3), "f4")}, np.array([1, None], dtype=object), np.arange(4)[::2]]


@pytest.mark.parametrize("protocol", range(6))
def test_data_decodes_as_pickle_loads(tmp_path, protocol):
    raw = gzip.compress(pickle.dumps(VALUES, protocol))
    got, want = calibration(tmp_path, raw), pickle.loads(gzip.decompress(raw))
    assert [type(v) for v in got] == [type(v) for v in want]
    assert pickle.dumps(got, 4) == pickle.dumps(want, 4)


class Call:
    def __init__(self, function, *args):
        self.function, self.args = function, args

    def __reduce__(self):
        return self.function, self.args


@pytest.mark.parametrize("make", [
    *[lambda m, p=p: pickle.dumps(Call(os.mkdir, m), p) for p in range(6)],    # GLOBAL / STACK_GLOBAL + REDUCE
    lambda m: b"(S'%s'\nios\nmkdir\n." % m.encode(),                               # INST
    lambda m: b"(cos\nmkdir\nS'%s'\no." % m.encode(),                              # OBJ
    lambda m: pickle.dumps(Call(builtins.eval, f"__import__('os').mkdir({m!r})"), 2),
    lambda m: pickle.dumps(Call(builtins.exec, f"__import__('os').mkdir({m!r})"), 0),
    lambda m: pickle.dumps(Call(builtins.getattr, "x", "upper"), 4),
    lambda m: pickle.dumps(Call(builtins.__import__, "os"), 3),
    lambda m: pickle.dumps(Call(copyreg._reconstructor, bytearray, bytearray, 10**12), 2),
    lambda m: b"c__builtin__\nbytearray\n(I10000000000\ntR.",                     # allowed type, bad arguments
    lambda m: b"\x80\x02c_codecs\nencode\nX\x01\x00\x00\x00xX\x04\x00\x00\x00zlib\x86R.",
    lambda m: b"cnumpy\nndarray\n(I1000000000000\ntR.",
    lambda m: b"P%s\n." % m.encode(),                                             # persistent ids
    lambda m: b"\x80\x02X\x01\x00\x00\x00xQ.",
    lambda m: b"\x80\x02\x82\x2a.",                                              # EXT1 of a registered code
    lambda m: b"\x80\x02\x84\x2a\x00\x00\x00.",
    lambda m: b"N\x72\xff\xff\xff\x7f.",                                         # memo index 2^31 - 1
    lambda m: b"Np99999999999\n.",
    lambda m: b"\x80\x05\x96\x00\x00\x00\x00\x00\x01\x00\x00.",              # a bytearray of 2^40 bytes
])
def test_hostile_pickles_are_refused_without_running(tmp_path, make):
    marker = str(tmp_path / "ran")
    raw = gzip.compress(make(marker))
    copyreg.add_extension("os", "mkdir", 0x2a)
    try:
        pickle.loads(b"\x80\x02\x82\x2a.")    # a plain load caches the code's function
        with pytest.raises(pickle.UnpicklingError):
            calibration(tmp_path, raw)
    finally:
        copyreg.remove_extension("os", "mkdir", 0x2a)
    assert not os.path.exists(marker)


def gzip_of_zeros(mib, head=b""):
    """A gzip member of `head` and `mib` MiB of zeros, about 1 KB a MiB. Each MiB after the first is the
    same compressed block (a full flush resets the compressor); the trailer is wrong, never reached."""
    out = zlib.compressobj(9, zlib.DEFLATED, 31)
    first = out.compress(head + bytes(1 << 20)) + out.flush(zlib.Z_FULL_FLUSH)
    again = out.compress(bytes(1 << 20)) + out.flush(zlib.Z_FULL_FLUSH)
    return first + again * (mib - 1) + out.flush()


@pytest.mark.parametrize("head, error", [
    (b"", None),                     # no pickle: refused at its first byte, as pickle.loads(b"\0") refuses it
    (b"N.", ValueError),             # a pickle followed by more than 1 GiB: the size bound
])
def test_gzip_bomb_is_bounded(tmp_path, head, error):
    if error is None:
        with pytest.raises(Exception) as direct:
            pickle.loads(b"\0")
        error = direct.type
    raw = gzip_of_zeros(1025, head)
    if tracemalloc:
        tracemalloc.start()
    try:
        start = time.monotonic()
        with pytest.raises(error):
            calibration(tmp_path, raw)
        seconds = time.monotonic() - start
        peak = tracemalloc.get_traced_memory()[1] if tracemalloc else 0
    finally:
        if tracemalloc:
            tracemalloc.stop()
    assert peak < 64 << 20
    if head == b"":
        assert seconds < 5


@pytest.mark.parametrize("raw, usable", [
    (None, False),
    (gzip.compress(pickle.dumps({"data": TABLE}, 2)), True),
    (gzip.compress(pickle.dumps({b"data": TABLE}, 1)), True),
    (gzip.compress(pickle.dumps({"data": "no table"})), False),
    (gzip.compress(b"garbage"), False),
    (b"not gzip", False),
    (gzip.compress(pickle.dumps({"data": TABLE, "f": Call(os.getcwd)})), False),
])
def test_has_usable_pedestals(tmp_path, raw, usable):
    path = write_acquisition(tmp_path / "acq", misc={} if raw is None else {"pedestals_calibration": raw})
    assert brimoacq.Acquisition(path).has_usable_pedestals() is usable


@pytest.mark.parametrize("raw, note", [
    (gzip.compress(pickle.dumps({"data": TABLE}, 0)), None),
    (gzip.compress(pickle.dumps({"data": "no table"})), "holds no usable pedestal table"),
    (gzip.compress(b"garbage"), "cannot be decoded"),
])
def test_export_note_follows_the_native_decoder(tmp_path, raw, note):
    from brimoacq_tools.cli import _pedestal_note
    got = _pedestal_note(brimoacq.Acquisition(write_acquisition(tmp_path / "a", misc={"pedestals_calibration": raw})))
    assert got == note if note is None else note in got
