"""Throughput of brimoacq.export_csv against writing the same table with polars and pandas.

An acquisition of 20,000 pellorv3 events (4 channels, 8 windows of 64 samples each) with a pedestal
calibration file is written to a temporary directory and exported with pedestal correction on, in
files of 1000 events. The produced files are then read back once into one DataFrame per file, so that
polars.DataFrame.write_csv and pandas.DataFrame.to_csv write exactly the same rows, columns and
values into the same number of files; only the writing is timed for them, while the export's time
covers reading, parsing, correcting and writing. A baseline whose package is missing is skipped.

    PYTHONPATH=build-py python3 bench/bench_export.py [--events N] [--repeat R]
"""

import argparse
import gzip
import os
import pickle
import random
import shutil
import struct
import sys
import tempfile
import time

import brimoacq

CHANNELS, WINDOWS, SAMPLES, RING = 4, 8, 64, 256
EVENTS_PER_FILE = 1000


def packet(rng, first_window):
    """A big-endian pellorv3 packet: 3 header words; per window and channel a window word (channel in
    bits 9-10, window number in bits 1-8) and its samples (bits 1-12); a footer word."""
    words = [0x1234, 0x5678, 0x9ABC]
    for w in range(WINDOWS):
        window = (first_window + w) % RING
        for c in range(CHANNELS):
            words.append((c << 9) | (window << 1))
            words.extend(rng.getrandbits(12) << 1 for _ in range(SAMPLES))
    words.append(0xFFFF)
    return struct.pack(">%dH" % len(words), *words)


def write_acquisition(path, events, rng):
    os.makedirs(path)
    with open(os.path.join(path, "metadata.yml"), "w") as f:
        f.write(f"params:\n  model: pellorv3\n  channels: {CHANNELS}\n  windows: {RING}\n"
                f"  samples: {SAMPLES}\nregisters:\n  reg0: 1\n")
    # A few distinct packets, repeated, keep the set-up short; the window numbers still vary.
    distinct = [packet(rng, rng.randrange(RING)) for _ in range(64)]
    per_chunk = 5000
    for n, start in enumerate(range(0, events, per_chunk)):
        data, index = bytearray(), bytearray()
        for e in range(start, min(events, start + per_chunk)):
            p = distinct[e % len(distinct)]
            index += struct.pack("<II", len(data), len(p))
            data += p
        with open(os.path.join(path, f"{n}.bin"), "wb") as f:
            f.write(data)
        with open(os.path.join(path, f"{n}.idx"), "wb") as f:
            f.write(index)
    table = [[[round(rng.uniform(50, 300), 2) for _ in range(SAMPLES)] for _ in range(RING)]
             for _ in range(CHANNELS)]
    with open(os.path.join(path, "pedestals_calibration"), "wb") as f:
        f.write(gzip.compress(pickle.dumps({"data": table})))


def fresh_dir(root, name):
    path = os.path.join(root, name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def best_of(repeat, run):
    """Smallest wall time of `repeat` runs of run(), which prepares its own output."""
    times = []
    for _ in range(repeat):
        t = run()
        times.append(t)
    return min(times)


def total_size(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    rng = random.Random(12345)
    root = tempfile.mkdtemp(prefix="bench_export_")
    try:
        acq_path = os.path.join(root, "run")
        write_acquisition(acq_path, args.events, rng)
        acq = brimoacq.Acquisition(acq_path)
        indices = list(range(args.events))

        def run_export():
            out = fresh_dir(root, "brimoacq")
            t0 = time.perf_counter()
            brimoacq.export_csv(acq, indices, out, True)
            return time.perf_counter() - t0

        t_export = best_of(args.repeat, run_export)
        out = os.path.join(root, "brimoacq")
        files = sorted(os.listdir(out), key=lambda f: int(f.split("chunk ")[1].split(")")[0]))
        size = total_size(out)
        mb = size / 1e6
        rows = args.events * WINDOWS * SAMPLES
        print(f"table: {args.events} events, {rows} rows, {len(files)} files, {mb:.1f} MB of CSV")
        print(f"brimoacq.export_csv (read+parse+correct+write): {t_export:.3f} s, {mb / t_export:.0f} MB/s")

        results = {}
        try:
            import polars as pl
        except ImportError:
            print("polars: not installed, skipped")
        else:
            frames = [pl.read_csv(os.path.join(out, f)) for f in files]

            def run_polars():
                dst = fresh_dir(root, "polars")
                t0 = time.perf_counter()
                for f, df in zip(files, frames):
                    df.write_csv(os.path.join(dst, f))
                return time.perf_counter() - t0

            results["polars"] = best_of(args.repeat, run_polars)
            # polars writes whole floats as "3217.0" where the export writes "3217": same values.
            same = all(pl.read_csv(os.path.join(root, "polars", f)).equals(df)
                       for f, df in zip(files, frames))
            print(f"polars.DataFrame.write_csv (write only): {results['polars']:.3f} s, "
                  f"{mb / results['polars']:.0f} MB/s; same table read back: {same}")
            del frames

        try:
            import pandas as pd
        except ImportError:
            print("pandas: not installed, skipped")
        else:
            frames = [pd.read_csv(os.path.join(out, f)) for f in files]

            def run_pandas():
                dst = fresh_dir(root, "pandas")
                t0 = time.perf_counter()
                for f, df in zip(files, frames):
                    df.to_csv(os.path.join(dst, f), index=False)
                return time.perf_counter() - t0

            # pandas is slow enough that one run is representative.
            results["pandas"] = best_of(1, run_pandas)
            print(f"pandas.DataFrame.to_csv (write only): {results['pandas']:.3f} s, "
                  f"{mb / results['pandas']:.0f} MB/s")
            del frames

        for name, target in (("polars", 1.0), ("pandas", 5.0)):
            if name in results:
                ratio = results[name] / t_export
                verdict = "met" if ratio >= target else "MISSED"
                print(f"speed-up over {name}: {ratio:.2f}x (target >= {target:g}x: {verdict})")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
