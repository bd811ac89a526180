#!/usr/bin/env python3
"""Builds what the benchmarks need, runs every benchmark and prints one table: benchmark, ours, the baseline
measured in the same run, the ratio, the target and whether it is met.

    python3 bench/run.py [--quick] [--build-dir build-bench] [--only NAME ...] [--budget SECONDS]

Every benchmark script prints result lines (see bench/benchlib.py), which are collected here; the rest of its
output goes to the log (--verbose shows it). The known benchmarks are listed in BENCHMARKS; any other
bench/bench_*.py found (bulk reads, Parquet, dask, ...) is run as well, with BRIMO_BENCH_QUICK and
BRIMO_BENCH_BUILD in its environment. A benchmark that fails or runs past the time left gets a row saying
so. The exit status is non-zero only when the module cannot be built.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import benchlib  # noqa: E402


def py(script, *args):
    return [sys.executable, os.path.join(HERE, script), *args]


# name, command (build dir, quick) -> argv or None when a binary is missing, time limit in seconds.
BENCHMARKS = [
    ("store", lambda b, q: py("bench_store.py", "--bench", os.path.join(b, "bench_store"),
                              "--stride", "20" if q else "4"), 120),
    ("parsers", lambda b, q: [os.path.join(b, "bench_parsers"),
                              "--benchmark_min_time=%s" % ("0.02" if q else "0.1")], 120),
    ("parsers_b", lambda b, q: [os.path.join(b, "bench_parsers_b")], 120),
    ("parsed_event", lambda b, q: py("bench_parsed_event.py", "3" if q else "10"), 90),
    ("pedestals", lambda b, q: py("bench_pedestals.py", os.path.join(b, "bench_pedestals")), 120),
    ("export", lambda b, q: py("bench_export.py", *(("--events", "2000", "--repeat", "1") if q
                                                    else ("--events", "10000", "--repeat", "2"))), 300),
    ("ecc", lambda b, q: py("bench_ecc.py", os.path.join(b, "bench_ecc"), "20" if q else "100"), 90),
    ("iteration", lambda b, q: py("bench_iteration.py"), 90),
]
NEEDS_BINARY = {"store": "bench_store", "parsers": "bench_parsers", "parsers_b": "bench_parsers_b",
                "pedestals": "bench_pedestals", "ecc": None}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def have_benchmark_library():
    return any(glob.glob(p) for p in ("/usr/lib/*/cmake/benchmark/benchmarkConfig.cmake",
                                      "/usr/lib/cmake/benchmark/benchmarkConfig.cmake",
                                      "/usr/local/lib*/cmake/benchmark/benchmarkConfig.cmake"))


def install_benchmark_library():
    """google-benchmark for the C++ benchmarks, from the distribution's packages when we may install."""
    if have_benchmark_library() or shutil.which("apt-get") is None:
        return have_benchmark_library()
    prefix = [] if os.geteuid() == 0 else (["sudo", "-n"] if shutil.which("sudo") else None)
    if prefix is None:
        return False
    log("installing libbenchmark-dev ...")
    subprocess.run(prefix + ["apt-get", "install", "-y", "libbenchmark-dev"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return have_benchmark_library()


def build(build_dir):
    """Configures and builds the module and, when google-benchmark is there, the C++ benchmarks. Returns
    whether the C++ benchmarks were built; raises when the module cannot be built."""
    with_bench = install_benchmark_library()
    args = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release", "-DBRIMOACQ_BUILD_MODULE=ON",
            "-DBRIMOACQ_BUILD_BENCH=" + ("ON" if with_bench else "OFF"), "-DPython_EXECUTABLE=" + sys.executable]
    if shutil.which("ccache"):
        args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j%d" % max(2, os.cpu_count() or 2)], check=True,
                   stdout=subprocess.DEVNULL)
    return with_bench


def extra_scripts():
    """bench/bench_*.py files without an entry in BENCHMARKS (new benchmarks join the table this way)."""
    known = {os.path.basename(cmd(".", False)[1]) for _, cmd, _ in BENCHMARKS if cmd(".", False)[0] == sys.executable}
    found = sorted(glob.glob(os.path.join(HERE, "bench_*.py")))
    return [f for f in found if os.path.basename(f) not in known]


def run_one(name, argv, env, limit, verbose):
    """Runs one benchmark; returns its result rows, or one row telling why there are none."""
    t0 = time.monotonic()
    try:
        proc = subprocess.run(argv, env=env, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=limit)
        out, rc = proc.stdout, proc.returncode
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        rc = None
    rows = [r for r in map(benchlib.parse, out.splitlines()) if r]
    if verbose:
        log(out)
    log(f"  {name}: {time.monotonic() - t0:.0f} s, {len(rows)} results" + ("" if rc == 0 else f" (exit {rc})"))
    if rc is None:
        rows.append(dict(benchmark=name, ours=f"stopped after {limit:.0f} s", baseline="", ratio="", target="",
                         met="-"))
    elif rc != 0 and not rows:
        last = [l for l in out.splitlines() if l.strip()][-1:] or ["no output"]
        rows.append(dict(benchmark=name, ours=f"failed (exit {rc})", baseline=last[0][:60], ratio="", target="",
                         met="-"))
    elif not rows:
        rows.append(dict(benchmark=name, ours="no result lines", baseline="", ratio="", target="", met="-"))
    return rows


def print_table(rows):
    cols = ("benchmark", "ours", "baseline", "ratio", "target", "met")
    width = {c: max([len(c)] + [len(r[c]) for r in rows]) for c in cols}
    print("  ".join(c.ljust(width[c]) for c in cols))
    print("  ".join("-" * width[c] for c in cols))
    for r in rows:
        print("  ".join(r[c].ljust(width[c]) for c in cols))
    met = sum(r["met"] == "yes" for r in rows)
    missed = [r["benchmark"] for r in rows if r["met"] == "no"]
    print(f"\n{met} targets met, {len(missed)} missed" + (": " + ", ".join(missed) if missed else ""))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller inputs and fewer repeats")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--no-build", action="store_true", help="use the build directory as it is")
    ap.add_argument("--only", nargs="*", help="benchmark names to run (default: all)")
    ap.add_argument("--budget", type=float, help="seconds for all benchmarks (default 560, quick 300)")
    ap.add_argument("--verbose", action="store_true", help="show every benchmark's own output")
    args = ap.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    budget = args.budget or (300.0 if args.quick else 560.0)

    t0 = time.monotonic()
    if args.no_build:
        with_bench = os.path.exists(os.path.join(build_dir, "bench_store"))
    else:
        log(f"building in {build_dir} ...")
        try:
            with_bench = build(build_dir)
        except (subprocess.CalledProcessError, OSError) as e:
            log(f"cannot build the module: {e}")
            return 2
    log(f"build: {time.monotonic() - t0:.0f} s" + ("" if with_bench else " (no google-benchmark: C++ benchmarks skipped)"))

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([build_dir, os.path.join(ROOT, "python")] +
                                        ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    env["BRIMO_BENCH_BUILD"] = build_dir
    env["BRIMO_BENCH_QUICK"] = "1" if args.quick else "0"

    plan = [(name, cmd(build_dir, args.quick), limit) for name, cmd, limit in BENCHMARKS]
    plan += [(os.path.basename(f)[len("bench_"):-3], [sys.executable, f], 180) for f in extra_scripts()]
    if args.only:
        plan = [p for p in plan if p[0] in args.only]

    rows = []
    start = time.monotonic()
    for name, argv, limit in plan:
        binary = NEEDS_BINARY.get(name, "")
        if binary is not None and name in NEEDS_BINARY and not os.path.exists(os.path.join(build_dir, binary)):
            rows.append(dict(benchmark=name, ours="skipped", baseline=f"{binary} not built", ratio="", target="",
                             met="-"))
            continue
        left = budget - (time.monotonic() - start)
        if left < 10:
            rows.append(dict(benchmark=name, ours="skipped", baseline="time budget spent", ratio="", target="",
                             met="-"))
            continue
        log(f"running {name} ...")
        rows += run_one(name, argv, env, min(limit, left), args.verbose)
    log(f"benchmarks: {time.monotonic() - start:.0f} s")
    print_table(rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
