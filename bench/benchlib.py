"""The result lines that bench/run.py collects from every benchmark.

A benchmark prints, besides its own report, one line per figure:

    RESULT<TAB>benchmark<TAB>ours<TAB>baseline<TAB>ratio<TAB>target<TAB>met

`ours` and `baseline` are texts with their unit ("0.60 s", "17 GB/s"); `ratio` is our time over the
baseline's time for the same work (below 1: we are faster), the figure the target is checked on; `target`
a text such as "<= 1" and `met` "yes", "no" or "-" (no target). Tab
characters must not occur inside the fields. C++ benchmarks print the same line with printf.

run.py sets BRIMO_BENCH_QUICK=1 for a short run and BRIMO_BENCH_BUILD to the build directory holding the
module and the C++ benchmark binaries; a script that runs on its own falls back to its defaults.
"""

import os

PREFIX = "RESULT\t"


def quick():
    """True when run.py asked for a short run."""
    return os.environ.get("BRIMO_BENCH_QUICK", "") not in ("", "0")


def build_dir(default=None):
    """The build directory run.py built, or `default`."""
    return os.environ.get("BRIMO_BENCH_BUILD") or default


def result(benchmark, ours, baseline, ratio, target="-", met=None):
    """Prints one result line. `ratio` is a number (time ours / time baseline) or a text; `met` True, False
    or None (no target)."""
    if not isinstance(ratio, str):
        ratio = f"{ratio:.3g}"
    verdict = "-" if met is None else ("yes" if met else "no")
    fields = [str(benchmark), str(ours), str(baseline), ratio, str(target), verdict]
    print(PREFIX + "\t".join(f.replace("\t", " ") for f in fields), flush=True)


def parse(line):
    """The fields of a result line as a dict, or None for any other line."""
    if not line.startswith(PREFIX):
        return None
    fields = line[len(PREFIX):].rstrip("\n").split("\t")
    if len(fields) != 6:
        return None
    return dict(zip(("benchmark", "ours", "baseline", "ratio", "target", "met"), fields))
