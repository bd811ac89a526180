"""Throughput of brimoacq.export_csv against writing the same table with polars and pandas.

An acquisition of 20,000 pellorv3 events (4 channels, 8 windows of 64 samples each) with a pedestal
calibration file is written to a temporary directory with brimoacq_tools.writer and exported with
pedestal correction on, in files of 1000 events. The produced files are then read back once into one
DataFrame per file, so that polars.DataFrame.write_csv, pyarrow.csv.write_csv and pandas.DataFrame.to_csv
write exactly the same rows, columns and values into the same number of files; only the writing is timed
for them, while the export's time covers reading, parsing, correcting and writing. pandas, about fifty
times slower than the others, writes the first --pandas-files files only and its time is scaled to the
whole table by size. A baseline whose package is missing is skipped.

    PYTHONPATH=build-py:python python3 bench/bench_export.py [--events N] [--repeat R]
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

import benchlib
import brimoacq

try:
    import brimoacq_tools  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
from brimoacq_tools.writer import encode_event, write_acquisition

CHANNELS, WINDOWS, SAMPLES, RING = 4, 8, 64, 256
PARAMS = {"model": "pellorv3", "channels": CHANNELS, "windows": RING, "samples": SAMPLES}
DISTINCT = 256


def event(rng):
    """WINDOWS consecutive windows from a random one for every channel, with random 12-bit samples."""
    first = rng.randrange(RING)
    return {c: [((first + w) % RING, [rng.getrandbits(12) for _ in range(SAMPLES)]) for w in range(WINDOWS)]
            for c in range(CHANNELS)}


def write_run(path, events, rng):
    # A few hundred distinct packets, repeated, keep the set-up short; the window numbers still vary.
    distinct = [encode_event(PARAMS, event(rng)) for _ in range(DISTINCT)]
    table = [[[round(rng.uniform(50, 300), 2) for _ in range(SAMPLES)] for _ in range(RING)]
             for _ in range(CHANNELS)]
    packets = (distinct[e % DISTINCT] for e in range(events))
    write_acquisition(path, PARAMS, packets, events_per_chunk=5000, pedestals=table)


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


def time_writes(root, name, files, frames, write, repeat):
    """Best time of writing every frame with write(frame, path) to a file of the same name in root/name."""
    def run():
        dst = fresh_dir(root, name)
        t0 = time.perf_counter()
        for f, df in zip(files, frames):
            write(df, os.path.join(dst, f))
        return time.perf_counter() - t0
    return best_of(repeat, run)


def total_size(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=20000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--pandas-files", type=int, default=2)
    args = ap.parse_args()

    rng = random.Random(12345)
    root = tempfile.mkdtemp(prefix="bench_export_")
    try:
        acq_path = os.path.join(root, "run")
        write_run(acq_path, args.events, rng)
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
            results["polars"] = time_writes(root, "polars", files, frames, lambda df, p: df.write_csv(p),
                                            args.repeat)
            # polars writes whole floats as "3217.0" where the export writes "3217": same values.
            same = all(pl.read_csv(os.path.join(root, "polars", f)).equals(df)
                       for f, df in zip(files, frames))
            print(f"polars.DataFrame.write_csv (write only): {results['polars']:.3f} s, "
                  f"{mb / results['polars']:.0f} MB/s; same table read back: {same}")
            del frames

        try:
            import pyarrow.csv as pacsv
        except ImportError:
            print("pyarrow: not installed, skipped")
        else:
            frames = [pacsv.read_csv(os.path.join(out, f)) for f in files]
            results["pyarrow"] = time_writes(root, "pyarrow", files, frames, lambda t, p: pacsv.write_csv(t, p),
                                             args.repeat)
            print(f"pyarrow.csv.write_csv (write only): {results['pyarrow']:.3f} s, "
                  f"{mb / results['pyarrow']:.0f} MB/s")
            del frames

        try:
            import pandas as pd
        except ImportError:
            print("pandas: not installed, skipped")
        else:
            some = files[:max(1, args.pandas_files)]
            part = sum(os.path.getsize(os.path.join(out, f)) for f in some) / 1e6
            frames = [pd.read_csv(os.path.join(out, f)) for f in some]
            # pandas is slow enough that one run is representative.
            t = time_writes(root, "pandas", some, frames, lambda df, p: df.to_csv(p, index=False), 1)
            results["pandas"] = t * mb / part
            print(f"pandas.DataFrame.to_csv (write only, {len(some)} files): {t:.3f} s, {part / t:.0f} MB/s; "
                  f"{results['pandas']:.1f} s for the whole table")
            del frames

        workers = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
        for name, target in (("polars", 1.0), ("pyarrow", 1.0), ("pandas", 5.0)):
            if name in results:
                ratio = results[name] / t_export
                verdict = "met" if ratio >= target else "MISSED"
                print(f"speed-up over {name}: {ratio:.2f}x (target >= {target:g}x: {verdict})")
                benchlib.result(f"export_csv vs {name} ({args.events} events, {workers} workers)",
                                f"{t_export:.3g} s ({mb / t_export:.0f} MB/s)", f"{results[name]:.3g} s",
                                t_export / results[name], f"<= {1 / target:g}", ratio >= target)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
