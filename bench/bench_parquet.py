"""Parquet output against the CSV export, and a Dask cluster of two workers against one.

1. brimoacq_tools.arrow.write_parquet of the 20,000-event pellorv3 acquisition of bench_export.py (pedestal
   correction on, zstd) against brimoacq.export_csv of the same events with correction on: time (target: no
   slower, ratio <= 1.0; also as processor time of all threads, which a loaded machine disturbs less) and
   bytes written (target: at most a fifth of the CSV bytes).
2. brimoacq_tools.dask.to_parquet of four acquisitions of that kind (5,000 events each by default) on a
   distributed.LocalCluster of two worker
   processes (one thread each) against one worker: speed-up (target >= 1.6x). Each worker parses on one
   thread (RAYON_NUM_THREADS=1: the module's parsing pool would otherwise take every processor in each
   worker, and one worker would already use the whole machine). Starting the cluster is not timed.
   Skipped when dask or distributed is missing. A control line gives the speed-up of two processes over
   one on plain Python work, which is what the machine allows the cluster at best.

Every figure is also printed as a result line of bench/benchlib.py (ratio: our time or size over the
baseline's; for the cluster, the time of two workers over one, target <= 0.625, i.e. a 1.6x speed-up).
BRIMO_BENCH_QUICK=1 (set by bench/run.py --quick) is the same as --quick.

    PYTHONPATH=build-bench:python python3 bench/bench_parquet.py [--quick] [--repeat R] [--events N]
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
try:
    import brimoacq_tools  # noqa: F401
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import benchlib  # noqa: E402
import brimoacq  # noqa: E402
from bench_export import best_of, fresh_dir, total_size, write_run  # noqa: E402
from brimoacq_tools import arrow  # noqa: E402


def result(name, ours, baseline, ratio, bound, unit):
    text = (lambda v: f"{v:.3f} s") if unit == "s" else (lambda v: f"{v / 1e6:.1f} MB")
    benchlib.result(name, text(ours), text(baseline), ratio, f"<= {bound:g}", ratio <= bound)


def bench_file(root, events, repeat):
    path = os.path.join(root, "run")
    write_run(path, events, random.Random(12345))
    acq = brimoacq.Acquisition(path)
    indices = list(range(events))

    def timed(run):
        """Wall and processor time (all threads of this process) of one run."""
        w0, c0 = time.perf_counter(), time.process_time()
        run()
        return time.perf_counter() - w0, time.process_time() - c0

    def run_csv():
        out = fresh_dir(root, "csv")
        return timed(lambda: brimoacq.export_csv(acq, indices, out, True))

    def run_parquet():
        out = fresh_dir(root, "parquet")
        return timed(lambda: arrow.write_parquet(acq, os.path.join(out, "run.parquet"), pedestals=True))

    # First calls start thread pools and load libraries: not timed.
    brimoacq.export_csv(acq, indices[:10], fresh_dir(root, "csv"), True)
    arrow.write_parquet(acq, os.path.join(fresh_dir(root, "parquet"), "run.parquet"), indices=indices[:10],
                        pedestals=True)
    # Alternate the two so that a change in the machine's load touches both.
    runs_csv, runs_parquet = [], []
    for _ in range(repeat):
        runs_csv.append(run_csv())
        runs_parquet.append(run_parquet())
    csv_bytes = total_size(os.path.join(root, "csv"))
    parquet_bytes = total_size(os.path.join(root, "parquet"))
    tc, tp = min(w for w, _ in runs_csv), min(w for w, _ in runs_parquet)
    cc, cp = min(c for _, c in runs_csv), min(c for _, c in runs_parquet)
    print(f"{events} pellorv3 events with pedestal correction: export_csv {tc:.3f} s ({csv_bytes / 1e6:.1f} MB), "
          f"write_parquet {tp:.3f} s ({parquet_bytes / 1e6:.1f} MB); all runs (wall/cpu s) csv "
          f"{', '.join(f'{w:.2f}/{c:.2f}' for w, c in runs_csv)}, parquet "
          f"{', '.join(f'{w:.2f}/{c:.2f}' for w, c in runs_parquet)}")
    result("parquet write vs export_csv (time)", tp, tc, tp / tc, 1.0, "s")
    # Processor time moves less than wall time on a loaded machine.
    result("parquet write vs export_csv (cpu)", cp, cc, cp / cc, 1.0, "s")
    result("parquet bytes vs csv bytes", parquet_bytes, csv_bytes, parquet_bytes / csv_bytes, 0.2, "B")
    return path


def _spin(n):
    x = 0
    for i in range(n):
        x += i * i
    return x


def machine_parallelism(n=5_000_000):
    """How much faster two processes do two equal pieces of pure-Python work than one process does both:
    what the machine gives two workers at best."""
    import multiprocessing

    t0 = time.perf_counter()
    _spin(n), _spin(n)
    serial = time.perf_counter() - t0
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(_spin, [1, 1])  # started before timing
        t0 = time.perf_counter()
        pool.map(_spin, [n, n])
        parallel = time.perf_counter() - t0
    return serial / parallel


def bench_dask(root, events, repeat, events_per_partition):
    try:
        import distributed
        from brimoacq_tools import dask as bdask
    except ImportError as exc:
        print(f"dask part skipped: {exc}")
        return
    paths = [os.path.join(root, f"acq_{k}") for k in range(4)]
    write_run(paths[0], events, random.Random(54321))
    for path in paths[1:]:
        shutil.copytree(paths[0], path)
    python_path = os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(arrow.__file__)),
                                              os.path.dirname(brimoacq.__file__),
                                              os.environ.get("PYTHONPATH", "")] if p)
    times = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=None,
                                      env={"PYTHONPATH": python_path, "RAYON_NUM_THREADS": "1",
                                           "OMP_NUM_THREADS": "1"}) as cluster, \
                distributed.Client(cluster):
            runs = []
            for _ in range(repeat):
                out = fresh_dir(root, f"dataset_{workers}")
                t0 = time.perf_counter()
                bdask.to_parquet(paths, out, pedestals=True, events_per_partition=events_per_partition)
                runs.append(time.perf_counter() - t0)
            times[workers] = runs
    t1, t2 = min(times[1]), min(times[2])
    print(f"dask.to_parquet of 4 acquisitions of {events} events: 1 worker {t1:.3f} s, 2 workers {t2:.3f} s; all runs "
          f"1 worker {', '.join(f'{t:.3f}' for t in times[1])}, 2 workers {', '.join(f'{t:.3f}' for t in times[2])}")
    result("dask.to_parquet 2 workers vs 1", t2, t1, t2 / t1, 1 / 1.6, "s")
    print(f"control: two processes against one on the same pure-Python work: {machine_parallelism():.2f}x")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="2,000 events (1,000 per cluster acquisition), one run each")
    ap.add_argument("--events", type=int, default=None, help="events of the acquisition (default 20000)")
    ap.add_argument("--repeat", type=int, default=None,
                    help="runs of each measurement (default 3, at most 2 for the cluster part)")
    ap.add_argument("--dask-events", type=int, default=None, help="events of each of the four acquisitions of "
                                                                  "the cluster part (default 5000)")
    ap.add_argument("--no-dask", action="store_true", help="skip the cluster part")
    args = ap.parse_args()
    quick = args.quick or benchlib.quick()
    events = args.events or (2000 if quick else 20000)
    repeat = args.repeat or (1 if quick else 3)
    dask_events = args.dask_events or (1000 if quick else 5000)

    root = tempfile.mkdtemp(prefix="bench_parquet_")
    try:
        bench_file(root, events, repeat)
        if not args.no_dask:
            # Four partitions per acquisition: enough tasks to keep two workers busy to the end.
            bench_dask(root, dask_events, min(repeat, 2), max(1, dask_events // 4))
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
