"""Every entry point, called many times on success and error paths, keeps no references behind."""

import gc
import gzip
import sys

import brimoacq

from brimoacq_tools.writer import encode_event
from conftest import cpython_only, pellorv3_params, simple_packet

WINDOW = list(range(300))


def make_calls(make_acq, tmp_path):
    packet = encode_event(pellorv3_params(channels=1, samples=300), {0: [(200, WINDOW), (201, WINDOW)]})
    good = make_acq("good", chunks=[[packet] * 3,
                                    [simple_packet(1, channels=1, samples=300)]],
                    channels=1, samples=300, misc={"timing_calibration": [1, 2.5, "x"],
                                                   "readout_metadata": b"not gzip",
                                                   "adc2mv_calibration": gzip.compress(b"junk")})
    bad_model = brimoacq.Acquisition(make_acq("bad_model", chunks=[[b"\x00\x01"]], model="nope"))
    bad_packet = brimoacq.Acquisition(make_acq("bad_packet", chunks=[[b"\x00\x01\x02"]]))
    make_acq("bad_yaml", metadata="params: [\n")
    parent = make_acq("parent")
    (parent / "child").mkdir()
    dotdot = brimoacq.Acquisition(str(parent / "child") + "/..")
    acq = brimoacq.Acquisition(good)

    cheap = [
        lambda: acq.path, lambda: acq.name, lambda: acq.chunk_count, lambda: acq.metadata,
        lambda: acq.params, lambda: acq.is_valid, lambda: len(acq), lambda: acq.raw_event(2),
        lambda: acq.parsed_event(1), lambda: acq[3], lambda: acq[True], lambda: acq[0:4:2],
        lambda: list(iter(acq)), lambda: acq.pedestals_calibration,
        lambda: brimoacq.is_acquisition(good), lambda: brimoacq.is_acquisition(str(good) + "\0"),
        # error paths
        lambda: acq[-1], lambda: acq[4], lambda: acq[1.5], lambda: acq[::-1], lambda: acq[::0],
        lambda: acq[:100], lambda: acq.raw_event(-1), lambda: acq.raw_event(1.5), lambda: acq.raw_event(),
        lambda: acq.raw_event(idx=1), lambda: acq.parsed_event(2 ** 64), lambda: acq.raw_event(4),
        lambda: acq.readout_metadata, lambda: acq.adc_to_mv_calibration,
        lambda: bad_model[0], lambda: bad_packet.parsed_event(0), lambda: list(bad_packet),
        lambda: dotdot.name, lambda: brimoacq.Acquisition(3), lambda: brimoacq.Acquisition(tmp_path / "x"),
        lambda: brimoacq.is_acquisition(b"x"), lambda: type(iter(acq))(1),
        lambda: brimoacq.syndrome(data=1), lambda: brimoacq.ecc_check(b"", b""),
        lambda: repr(acq), lambda: repr(dotdot), lambda: acq.__reduce__(), lambda: acq.__enter__(),
        lambda: acq.__exit__(None, None, None), lambda: acq.__exit__(x=1),
    ]
    costly = [
        lambda: brimoacq.Acquisition(good), lambda: acq.timing_calibration,
        lambda: brimoacq.list_acquisitions(tmp_path), lambda: brimoacq.Acquisition(tmp_path / "bad_yaml"),
    ]
    return acq, cheap, costly


def run(calls, times):
    for _ in range(times):
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: B902 - the internal error is one of the paths exercised
                pass


@cpython_only
def test_no_reference_leaks(make_acq, tmp_path):
    acq, cheap, costly = make_calls(make_acq, tmp_path)
    shared_int = acq[0]["time"][0][599]   # from the process-wide table of small ints
    watched = [acq, acq.metadata, shared_int, None, True, False]
    counters = {
        "refs": lambda: [sys.getrefcount(o) for o in watched],
        # Every object the interpreter allocates is a block: one leaked object per call shows as
        # thousands of blocks after the loops below.
        "blocks": getattr(sys, "getallocatedblocks", lambda: 0),
        "total": getattr(sys, "gettotalrefcount", lambda: 0),
    }
    run(cheap, 20)
    run(costly, 5)
    gc.collect()
    before = {name: counter() for name, counter in counters.items()}
    run(cheap, 2000)
    run(costly, 200)
    gc.collect()
    after = {name: counter() for name, counter in counters.items()}
    assert after["refs"] == before["refs"]
    assert after["blocks"] - before["blocks"] < 500
    assert after["total"] - before["total"] < 100
