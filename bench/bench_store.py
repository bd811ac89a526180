#!/usr/bin/env python3
"""Raw event lookup over a 100-chunk, 100,000-event acquisition, against a plain-Python baseline.

Writes the acquisition (pellorv3 packets made with brimoacq_tools.writer) into a temporary directory,
builds bench_store (CMake, -DBRIMOACQ_BUILD_BENCH=ON) unless --bench names a built binary, times the
baseline (each chunk read whole with open().read(), the events sliced out by their index entries) and
prints the rates of Acquisition::get and EventReader::get as ratios to it (above 1: faster than the
baseline).

    python3 bench/bench_store.py [--build-dir build-bench] [--bench PATH] [--stride K]
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import benchlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
try:
    import brimoacq_tools  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(ROOT, "python"))
from brimoacq_tools.writer import encode_event, write_acquisition

CHUNKS = 100
EVENTS_PER_CHUNK = 1000
PARAMS = {"model": "pellorv3", "channels": 4, "windows": 64, "samples": 32}
DISTINCT = 300


def distinct_packets(rng):
    """Pellorv3 packets of 1 to 15 windows (74 to 998 bytes), the windows dealt to the channels in turn."""
    packets = []
    for _ in range(DISTINCT):
        first = rng.randrange(PARAMS["windows"])
        event = {}
        for r in range(rng.randrange(1, 16)):
            samples = [rng.getrandbits(12) for _ in range(PARAMS["samples"])]
            event.setdefault(r % PARAMS["channels"], []).append((first + r // PARAMS["channels"], samples))
        packets.append(encode_event(PARAMS, event))
    return packets


def write_run(path):
    """The acquisition: the distinct packets drawn at random for every event. Returns its size in bytes."""
    rng = random.Random(12)
    distinct = distinct_packets(rng)
    packets = [rng.choice(distinct) for _ in range(CHUNKS * EVENTS_PER_CHUNK)]
    write_acquisition(path, PARAMS, packets, events_per_chunk=EVENTS_PER_CHUNK)
    return sum(map(len, packets))


def python_baseline(path):
    events = 0
    size = 0
    start = time.perf_counter()
    for n in range(CHUNKS):
        with open(os.path.join(path, f"{n}.bin"), "rb") as f:
            data = f.read()
        with open(os.path.join(path, f"{n}.idx"), "rb") as f:
            index = f.read()
        for i in range(len(index) // 8):
            offset, length = struct.unpack_from("<II", index, 8 * i)
            size += len(data[offset:offset + length])
            events += 1
    return events, size, time.perf_counter() - start


def time_raw_event(path, stride):
    """Seconds per Acquisition.raw_event call from Python over every stride-th event, or None without the
    module."""
    try:
        import brimoacq
    except ImportError:
        return None
    acq = brimoacq.Acquisition(path)
    indices = range(0, CHUNKS * EVENTS_PER_CHUNK, stride)
    start = time.perf_counter()
    for i in indices:
        acq.raw_event(i)
    return (time.perf_counter() - start) / len(indices)


def build(build_dir):
    # Only switches the benchmarks on: other settings of an existing build directory are kept.
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DBRIMOACQ_BUILD_BENCH=ON", "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "bench_store"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bench_store")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--bench", help="path of a built bench_store")
    ap.add_argument("--stride", type=int, default=1,
                    help="Acquisition::get reads every K-th event only (same rate, less time)")
    args = ap.parse_args()
    bench = args.bench or build(args.build_dir)

    tmp = tempfile.mkdtemp(prefix="brimo-bench-")
    try:
        acq = os.path.join(tmp, "run")
        total = write_run(acq)
        python_baseline(acq)  # warm the page cache
        events, size, seconds = python_baseline(acq)
        assert events == CHUNKS * EVENTS_PER_CHUNK and size == total
        base_rate = events / seconds
        out = subprocess.run([bench, acq, str(args.stride)], check=True, capture_output=True, text=True).stdout
        raw_event = time_raw_event(acq, args.stride)
    finally:
        shutil.rmtree(tmp)

    print(f"acquisition: {CHUNKS} chunks, {events} events, {size} bytes")
    print(f"python open().read() slicing: {base_rate:,.0f} events/s ({seconds:.3f} s)")
    base_us = 1e6 / base_rate
    for line in out.splitlines():
        fields = dict(kv.split("=") for kv in line.split()[1:])
        rate = float(fields["events_per_s"])
        print(f"{line.split()[0]}: {rate:,.0f} events/s over {fields['events']} events "
              f"({float(fields['seconds']):.3f} s), ratio to baseline {rate / base_rate:.3f}")
        benchlib.result(f"store {line.split()[0]} ({CHUNKS} chunks)", f"{1e6 / rate:.3g} us/event",
                        f"{base_us:.3g} us/event (open().read() slicing)", 1e6 / rate / base_us)
    if raw_event is not None:
        print(f"Acquisition.raw_event from Python: {raw_event * 1e6:.1f} us/event")
        benchlib.result(f"raw_event from Python ({CHUNKS} chunks)", f"{raw_event * 1e6:.3g} us/event",
                        f"{base_us:.3g} us/event (open().read() slicing)", raw_event * 1e6 / base_us)
    return 0


if __name__ == "__main__":
    sys.exit(main())
