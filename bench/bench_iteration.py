#!/usr/bin/env python3
"""`for event in acq` over a pellorv3 acquisition of 10 chunks, against a vectorized numpy decode of the same
packets into the same per-channel lists of floats, measured side by side in one run.

The baseline reads every chunk file whole, slices the packets out by their index entries and decodes each
one with numpy (header word and samples of every window block at once), ending with a list of Python floats
per channel as the iteration gives. The iteration itself walks from chunk 0 and asks for the length on every
step, the cost of keeping no state between calls.

    PYTHONPATH=build-bench:python python3 bench/bench_iteration.py [--events N]
"""
import argparse
import os
import random
import struct
import sys
import tempfile
import time

import numpy as np

import benchlib
import brimoacq

try:
    import brimoacq_tools  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
from brimoacq_tools.writer import encode_event, write_acquisition

CHUNKS, CHANNELS, WINDOWS, SAMPLES, RING = 10, 4, 8, 64, 256
PARAMS = {"model": "pellorv3", "channels": CHANNELS, "windows": RING, "samples": SAMPLES}


def packets(n, rng):
    distinct = []
    for _ in range(64):
        first = rng.randrange(RING)
        distinct.append(encode_event(PARAMS, {
            c: [((first + w) % RING, [rng.getrandbits(12) for _ in range(SAMPLES)]) for w in range(WINDOWS)]
            for c in range(CHANNELS)}))
    return [distinct[i % len(distinct)] for i in range(n)]


def numpy_decode(packet):
    """Per-channel sample lists of a default-layout pellorv3 packet: 3 header words, blocks of a window
    header word (channel in bits 9-10) and SAMPLES sample words (value in bits 1-12), one footer word."""
    words = np.frombuffer(packet, dtype=">u2")[3:-1].reshape(-1, SAMPLES + 1)
    channel = (words[:, 0] >> 9) & 0x3
    samples = ((words[:, 1:] >> 1) & 0xFFF).astype(np.float32)
    return [samples[channel == c].ravel().tolist() for c in range(CHANNELS)]


def baseline(path):
    out = 0
    for n in range(CHUNKS):
        with open(os.path.join(path, f"{n}.bin"), "rb") as f:
            data = f.read()
        with open(os.path.join(path, f"{n}.idx"), "rb") as f:
            index = f.read()
        for offset, length in struct.iter_unpack("<II", index):
            out += len(numpy_decode(data[offset:offset + length])[0])
    return out


def iterate(acq):
    out = 0
    for event in acq:
        out += len(event["data"][0])
    return out


def best(fn, repeat):
    t = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        t.append(time.perf_counter() - start)
    return min(t)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=2000 if benchlib.quick() else 10000)
    ap.add_argument("--repeat", type=int, default=2 if benchlib.quick() else 3)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "run")
        write_acquisition(path, PARAMS, packets(args.events, random.Random(5)),
                          events_per_chunk=-(-args.events // CHUNKS))
        acq = brimoacq.Acquisition(path)
        assert iterate(acq) == baseline(path) == args.events * WINDOWS * SAMPLES
        t_base = best(lambda: baseline(path), args.repeat) / args.events
        t_iter = best(lambda: iterate(acq), args.repeat) / args.events
    print(f"numpy decode: {t_base * 1e6:.1f} us/event; for event in acq: {t_iter * 1e6:.1f} us/event; "
          f"ratio {t_iter / t_base:.2f}")
    benchlib.result(f"for event in acq ({args.events} events, {CHUNKS} chunks)", f"{t_iter * 1e6:.3g} us/event",
                    f"{t_base * 1e6:.3g} us/event (numpy decode)", t_iter / t_base)
    return 0


if __name__ == "__main__":
    sys.exit(main())
