"""The ``brimoacq`` command: look at, list, export and plot acquisitions, or make a synthetic one.

    brimoacq demo [DIR]                    write a synthetic acquisition, show it, export it to CSV
    brimoacq info ACQ                      params, chunk and event counts, calibration files, first event
    brimoacq ls ROOT                       the acquisitions under ROOT with model and event count
    brimoacq export ACQ OUT [--indices SPEC] [--pedestals] [--format csv|parquet]
    brimoacq convert ROOT OUT [--scheduler ADDRESS] [--pedestals]   every acquisition to a Parquet dataset
    brimoacq plot ACQ INDEX [-o FILE.png] [--channels LIST]

Errors are reported as one line on standard error with a non-zero exit status (2 for bad arguments).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

PROG = "brimoacq"
CALIBRATION_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")
EXPORT_CHUNK = 1000  # events per CSV file written by export_csv


class CliError(Exception):
    """A failure to report as one line, with exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _module():
    try:
        import brimoacq
    except ImportError as exc:
        raise CliError(f"the brimoacq extension module cannot be imported ({exc}); build and install it: pip install .")
    return brimoacq


def _open(path):
    brimoacq = _module()
    if not os.path.isdir(path):
        raise CliError(f"{path}: no such directory")
    if not os.path.exists(os.path.join(path, "metadata.yml")):
        raise CliError(f"{path}: not an acquisition (no metadata.yml)")
    return brimoacq.Acquisition(str(path))


def _params(acq):
    try:
        params = acq.params
    except Exception:
        return {}
    return params if isinstance(params, dict) else {}


# --- index selections ------------------------------------------------------------------------------------


def parse_indices(spec, count, what="event"):
    """Event indices selected by SPEC: "all", "START:STOP[:STEP]" (either bound may be left out; the stop
    is clamped to the event count), single indices, or a comma-separated mix such as "0:10,20,30"."""
    bad = f"invalid index selection {spec!r}: use 'all', 'START:STOP' or a list like '5,7,9'"
    spec = spec.strip()
    if spec == "all":
        return range(count)
    parts = []
    for item in spec.split(","):
        item = item.strip()
        if not item:
            raise CliError(bad)
        try:
            if ":" in item:
                fields = item.split(":")
                if len(fields) > 3:
                    raise CliError(bad)
                start = int(fields[0], 10) if fields[0].strip() else 0
                stop = int(fields[1], 10) if fields[1].strip() else count
                step = int(fields[2], 10) if len(fields) == 3 and fields[2].strip() else 1
                if start < 0 or stop < 0 or step <= 0:
                    raise CliError(f"{bad} (bounds must not be negative, the step must be positive)")
                parts.append(range(start, min(stop, count), step))
            else:
                index = int(item, 10)
                if index < 0:
                    raise CliError(f"{bad} (indices must not be negative)")
                if index >= count:
                    raise CliError(f"{what} {index} is out of range: there are {count} {what}s")
                parts.append(range(index, index + 1))
        except ValueError:
            raise CliError(bad) from None
    if len(parts) == 1:
        return parts[0]
    return [i for part in parts for i in part]


# --- info ------------------------------------------------------------------------------------------------


def _labels_text(labels):
    if not labels:
        return "-"
    if len(labels) > 1 and all(b == a + 1 for a, b in zip(labels, labels[1:])):
        return f"{labels[0]}-{labels[-1]}"
    text = ",".join(str(v) for v in labels[:8])
    return text + (",..." if len(labels) > 8 else "")


def _event_summary(event):
    rows = []
    for c, values in enumerate(event["data"]):
        if not values:
            continue
        labels = event["window_labels"][c] if c < len(event["window_labels"]) else []
        rows.append(
            (str(c), str(len(labels)), _labels_text(labels), str(len(values)), f"{min(values):g}",
             f"{max(values):g}", f"{sum(values) / len(values):.1f}")
        )
    return rows


def _table(rows, header):
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    return ["  " + "  ".join(v.rjust(w) for v, w in zip(r, widths)) for r in [header] + rows]


def show_info(acq, out=sys.stdout):
    params = _params(acq)
    count = len(acq)
    present = [name for name in CALIBRATION_FILES if os.path.isfile(os.path.join(acq.path, name))]
    lines = [
        f"acquisition: {acq.name}",
        f"path:        {acq.path}",
        f"model:       {params.get('model', '?')}",
        f"channels:    {params.get('channels', '?')}",
        f"windows:     {params.get('windows', '?')}",
        f"samples:     {params.get('samples', '?')}",
        f"chunks:      {acq.chunk_count}",
        f"events:      {count}",
        f"calibration: {', '.join(present) if present else 'none'}",
    ]
    if count == 0:
        lines.append("first event: none (the acquisition holds no events)")
    else:
        try:
            event = acq[0]
        except Exception as exc:
            lines.append(f"first event: cannot be parsed: {exc}")
        else:
            rows = _event_summary(event)
            lines.append(f"first event: {len(rows)} of {len(event['data'])} channels carry data")
            if rows:
                lines += _table(rows, ("channel", "windows", "labels", "samples", "min", "max", "mean"))
    print("\n".join(lines), file=out)


def cmd_info(args):
    show_info(_open(args.acq))


# --- ls --------------------------------------------------------------------------------------------------


def cmd_ls(args):
    brimoacq = _module()
    if not os.path.isdir(args.root):
        raise CliError(f"{args.root}: no such directory")
    rows = []
    for acq in sorted(brimoacq.list_acquisitions(args.root), key=lambda a: a.name):
        model = str(_params(acq).get("model", "?"))
        try:
            events = f"{len(acq)} events"
        except Exception as exc:
            events = f"? events ({exc})"
        rows.append((acq.name, model, events))
    if not rows:
        print(f"no acquisitions under {args.root}")
        return
    widths = [max(len(r[i]) for r in rows) for i in range(2)]
    for name, model, events in rows:
        print(f"{name.ljust(widths[0])}  {model.ljust(widths[1])}  {events}")


# --- export ----------------------------------------------------------------------------------------------


def _inside(child, parent):
    child, parent = os.path.realpath(child), os.path.realpath(parent)
    return child == parent or child.startswith(parent.rstrip(os.sep) + os.sep)


def _progress_bar(total):
    """A tqdm bar on a terminal, None otherwise (tqdm is optional)."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="file", desc="exporting", file=sys.stderr)


def export(acq, indices, out_dir, pedestals):
    """Export `indices` of `acq` into `out_dir`; return the CSV files written, in chunk order."""
    brimoacq = _module()
    if _inside(out_dir, acq.path):
        raise CliError(f"{out_dir}: refusing to write into the acquisition directory")
    os.makedirs(out_dir, exist_ok=True)
    nfiles = (len(indices) + EXPORT_CHUNK - 1) // EXPORT_CHUNK
    names = [os.path.join(out_dir, f"{acq.name} (chunk {k}).csv") for k in range(nfiles)]
    bar = _progress_bar(nfiles) if nfiles > 1 else None
    if bar is None:
        brimoacq.export_csv(acq, indices, out_dir, pedestals)
        return [n for n in names if os.path.exists(n)]
    # export_csv releases the interpreter lock while it works: run it on a thread and count the chunk
    # files as they appear (chunk k is complete once chunk k + 1 has been opened).
    outcome = {}
    started = time.time() - 1

    def run():
        try:
            brimoacq.export_csv(acq, indices, out_dir, pedestals)
        except BaseException as exc:  # handed to the main thread
            outcome["error"] = exc

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    done = 0
    with bar:
        while worker.is_alive():
            worker.join(0.1)
            seen = sum(1 for n in names if os.path.exists(n) and os.path.getmtime(n) >= started)
            if seen - 1 > done:
                bar.update(seen - 1 - done)
                done = seen - 1
        if "error" not in outcome:
            bar.update(nfiles - done)
    if "error" in outcome:
        raise outcome["error"]
    return [n for n in names if os.path.exists(n)]


def _pedestal_note(acq):
    if not os.path.isfile(os.path.join(acq.path, "pedestals_calibration")):
        return "the acquisition has no pedestals_calibration file: values are exported uncorrected"
    if acq.has_usable_pedestals():
        return None
    try:
        acq.pedestals_calibration
    except Exception as exc:
        return f"the pedestals_calibration file cannot be decoded ({exc}): values are exported uncorrected"
    return "the pedestals_calibration file holds no usable pedestal table: values are exported uncorrected"


def cmd_export(args):
    if args.format == "parquet":
        return cmd_export_parquet(args)
    acq = _open(args.acq)
    indices = parse_indices(args.indices, len(acq))
    if args.pedestals:
        note = _pedestal_note(acq)
        if note:
            print(f"{PROG} export: note: {note}", file=sys.stderr)
    if len(indices) == 0:
        print("no events selected: nothing exported")
        return
    files = export(acq, indices, args.out, args.pedestals)
    how = "with pedestal correction" if args.pedestals else "without pedestal correction"
    print(f"exported {len(indices)} selected events of {acq.name} {how} into {args.out}:")
    for name in files:
        print(f"  {name}")


# --- Parquet: export and convert ------------------------------------------------------------------------


def _columnar(module, extra):
    """brimoacq_tools.arrow or .dask, or a one-line error naming the extra to install."""
    import importlib

    try:
        return importlib.import_module(f"brimoacq_tools.{module}")
    except ImportError as exc:
        if f"brimoacq[{extra}]" in str(exc):
            raise CliError(str(exc)) from None
        raise


def _skipped_text(selected, written):
    if written == selected:
        return ""
    return f" ({selected - written} of {selected} selected events could not be read, parsed or corrected and were left out)"


def _check_missing(args, where, selected, written):
    """Events left out fail the command unless --allow-missing accepts them."""
    if written < selected and not getattr(args, "allow_missing", False):
        raise CliError(f"{where}: {selected - written} of {selected} selected events could not be read, parsed or "
                       "corrected (pass --allow-missing to accept this)")


def cmd_export_parquet(args):
    arrow = _columnar("arrow", "arrow")
    acq = _open(args.acq)
    indices = parse_indices(args.indices, len(acq))
    out = args.out
    if os.path.isdir(out) or out.endswith(os.sep):
        out = os.path.join(out, f"{acq.name}.parquet")
    if _inside(out, acq.path):
        raise CliError(f"{out}: refusing to write into the acquisition directory")
    parent = os.path.dirname(os.path.abspath(out))
    os.makedirs(parent, exist_ok=True)
    written = arrow.write_parquet(acq, out, indices=indices, pedestals=args.pedestals, errors="skip")
    how = "with pedestal correction" if args.pedestals else "without pedestal correction"
    print(f"wrote {written} events of {acq.name} {how} to {out}{_skipped_text(len(indices), written)}")
    _check_missing(args, out, len(indices), written)


def _events_bar(total, desc):
    """A tqdm bar counting events on a terminal, or a silent object with the same methods."""
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            return tqdm(total=total, unit="event", unit_scale=True, desc=desc, file=sys.stderr)

    class _Quiet:
        def update(self, n):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

    return _Quiet()


def _convert_local(arrow, jobs, workers, bar):
    """Parts on a pool of processes; each acquisition's folder is put in place once its parts are done."""
    import multiprocessing
    from concurrent.futures import FIRST_EXCEPTION, ProcessPoolExecutor, wait

    results = {}
    # Fresh interpreters rather than forks of this one, which may hold threads (the progress bar's).
    with ProcessPoolExecutor(max_workers=workers, mp_context=multiprocessing.get_context("spawn")) as pool:
        pending = {pool.submit(arrow.write_part, part): (job, part) for job in jobs for part in job.parts}
        by_job = {job: [] for job in jobs}
        while pending:
            done, _ = wait(list(pending), return_when=FIRST_EXCEPTION)
            for future in done:
                job, part = pending.pop(future)
                if future.exception() is not None:
                    for other in pending:
                        other.cancel()
                    raise future.exception()
                by_job[job].append(future.result())
                bar.update(part.stop - part.start)
                if len(by_job[job]) == len(job.parts):
                    results[job.name] = arrow.publish(job, by_job[job])
    return results


def _convert_cluster(arrow, jobs, address, bar):
    """Parts as tasks of the Dask scheduler at `address`; the workers read and write the paths."""
    try:
        from distributed import Client, as_completed
    except ImportError:
        raise CliError('running on a Dask scheduler needs distributed: pip install "brimoacq[dask]"') from None
    results = {}
    with Client(address, timeout="30s") as client:
        futures = {}
        for job in jobs:
            for part in job.parts:
                futures[client.submit(arrow.write_part, part, pure=False)] = (job, part)
        by_job = {job: [] for job in jobs}
        for future in as_completed(list(futures)):
            job, part = futures[future]
            by_job[job].append(future.result())
            bar.update(part.stop - part.start)
            if len(by_job[job]) == len(job.parts):
                # Put in place on a worker: the dataset lies on the workers' file system.
                results[job.name] = client.submit(arrow.publish, job, by_job[job], pure=False).result()
    return results


def cmd_convert(args):
    brimoacq = _module()
    arrow = _columnar("arrow", "arrow")
    if not os.path.isdir(args.root):
        raise CliError(f"{args.root}: no such directory")
    paths = sorted(a.path for a in brimoacq.list_acquisitions(args.root))
    if not paths:
        print(f"no acquisitions under {args.root}: nothing converted")
        return
    try:
        jobs = arrow.plan_dataset(paths, args.out, pedestals=args.pedestals, events_per_part=args.events_per_part,
                                  errors="skip")
    except ValueError as exc:
        raise CliError(str(exc)) from None
    total = sum(part.stop - part.start for job in jobs for part in job.parts)
    os.makedirs(args.out, exist_ok=True)
    try:
        with _events_bar(total, "converting") as bar:
            if args.scheduler:
                results = _convert_cluster(arrow, jobs, args.scheduler, bar)
            else:
                results = _convert_local(arrow, jobs, args.jobs or os.cpu_count() or 1, bar)
    except BaseException:
        arrow.discard(jobs)
        raise
    how = "with pedestal correction" if args.pedestals else "without pedestal correction"
    print(f"converted {len(jobs)} acquisitions {how} into the Parquet dataset {args.out}:")
    for job in jobs:
        events, rows = results[job.name]
        selected = sum(part.stop - part.start for part in job.parts)
        print(f"  {job.name}: {events} events, {rows} rows -> {job.final}{_skipped_text(selected, events)}")
    selected = sum(part.stop - part.start for job in jobs for part in job.parts)
    _check_missing(args, args.out, selected, sum(events for events, _ in results.values()))


def _positive_int(text):
    value = _nonneg_int(text)
    if value == 0:
        raise argparse.ArgumentTypeError(f"invalid positive integer: {text!r}")
    return value


def add_columnar_commands(sub):
    """The Parquet option of 'export' is added where 'export' is built; this adds 'convert'."""
    p = sub.add_parser("convert", help="convert every acquisition under a directory to a Parquet dataset",
                       description="Convert every acquisition directly under ROOT into the Parquet dataset OUT: "
                                   "a folder 'acquisition=<name>' per acquisition holding part files of "
                                   "consecutive events, read back by pyarrow, pandas, polars, DuckDB and Dask "
                                   "with a column 'acquisition'. Runs on a local pool of processes, or on a "
                                   "running Dask scheduler whose workers see ROOT and OUT at the same paths. "
                                   'Needs pip install "brimoacq[arrow]" (and "brimoacq[dask]" for --scheduler).')
    p.add_argument("root", metavar="ROOT", help="directory holding acquisitions")
    p.add_argument("out", metavar="OUT", help="dataset directory (created if missing; an acquisition's folder "
                                              "in it is replaced once its conversion is complete)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="address of a running Dask scheduler, e.g. tcp://host:8786")
    p.add_argument("--jobs", type=_positive_int, metavar="N", help="local worker processes (default: one per CPU)")
    p.add_argument("--events-per-part", type=_positive_int, default=10_000, metavar="N",
                   help="events per part file (default 10000)")
    p.add_argument("--pedestals", action="store_true", help="subtract the pedestal calibration (an acquisition "
                                                            "without a usable one stops the conversion)")
    p.add_argument("--allow-missing", action="store_true",
                   help="exit with status 0 even when events could not be read, parsed or corrected and are "
                        "missing from the dataset (they are always counted in the report)")
    p.set_defaults(func=cmd_convert)


def add_export_format_options(p):
    p.add_argument("--format", choices=("csv", "parquet"), default="csv",
                   help="csv (default): files of at most 1000 events in the directory OUT; parquet: one file OUT "
                        "(or OUT/<name>.parquet when OUT is a directory); needs pip install \"brimoacq[arrow]\"")
    try:
        p.add_argument("--allow-missing", action="store_true",
                       help="exit with status 0 even when events could not be read, parsed or corrected and are "
                            "missing from the output")
    except argparse.ArgumentError:  # already defined with the CSV options
        pass


# --- plot ------------------------------------------------------------------------------------------------


def _has_display():
    return sys.platform in ("darwin", "win32") or bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def cmd_plot(args):
    try:
        import matplotlib
    except ImportError:
        raise CliError("plotting needs matplotlib, which is not installed: pip install 'brimoacq[plot]'") from None
    show = args.output is None and _has_display()
    if not show:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    acq = _open(args.acq)
    count = len(acq)
    if args.index >= count:
        raise CliError(f"event {args.index} is out of range: there are {count} events")
    event = acq[args.index]
    nchan = len(event["data"])
    if args.channels is not None:
        channels = list(parse_indices(args.channels, nchan, "channel"))
    else:
        channels = [c for c in range(nchan) if event["data"][c]]
    fig, ax = plt.subplots(figsize=(10, 5))
    for c in channels:
        y = event["data"][c]
        x = event["time"][c] if len(event["time"][c]) == len(y) else list(range(len(y)))
        ax.plot(x, y, lw=0.8, label=f"ch {c}")
    model = _params(acq).get("model", "?")
    ax.set_title(f"{acq.name}: event {args.index} ({model})")
    ax.set_xlabel("time (samples)")
    ax.set_ylabel("sample value")
    if channels and len(channels) <= 16:
        ax.legend(fontsize="small", ncol=2)
    if show:
        plt.show()
        return
    out = args.output or f"{acq.name}_event{args.index}.png"
    fig.savefig(out, dpi=100)
    plt.close(fig)
    print(f"wrote {out} ({len(channels)} channels)")


# --- demo ------------------------------------------------------------------------------------------------


def cmd_demo(args):
    from .writer import write_synthetic

    _module()  # fail before writing anything if the module is missing
    base = Path(args.dir) if args.dir else Path(tempfile.mkdtemp(prefix="brimoacq-demo-"))
    if base.exists() and not base.is_dir():
        raise CliError(f"{base}: exists and is not a directory")
    name, n = f"demo_{args.model}", 1
    while (base / name).exists():
        n += 1
        name = f"demo_{args.model}_{n}"
    target = base / name
    write_synthetic(target, model=args.model, events=args.events, seed=args.seed, pedestals=True)
    print(f"wrote a synthetic {args.model} acquisition of {args.events} events with a pedestal table: {target}")
    print()
    acq = _open(str(target))
    show_info(acq)
    print()
    out = base / (f"{name}_csv")
    files = export(acq, range(len(acq)), str(out), True)
    print(f"exported all {len(acq)} events with pedestal correction into {out}:")
    for f in files:
        print(f"  {f}")


# --- entry point -----------------------------------------------------------------------------------------


def _nonneg_int(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid non-negative integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"invalid non-negative integer: {text!r}")
    return value


def build_parser():
    from .models import MODELS

    parser = _Parser(prog=PROG, description="Look at, list, export and plot waveform-digitizer acquisitions.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("demo", help="write a synthetic acquisition, show it and export it to CSV",
                       description="Write a synthetic acquisition with a pedestal table into DIR (or a new "
                                   "temporary directory), show what 'info' shows, and export every event "
                                   "to CSV with pedestal correction.")
    p.add_argument("dir", nargs="?", metavar="DIR", help="directory to write into (default: a new temporary one)")
    p.add_argument("--model", default="vombel96", choices=MODELS, metavar="MODEL",
                   help=f"board model (default vombel96; one of {', '.join(MODELS)})")
    p.add_argument("--events", type=_nonneg_int, default=100, help="number of events (default 100)")
    p.add_argument("--seed", type=_nonneg_int, default=0, help="random seed of the waveforms (default 0)")
    p.set_defaults(func=cmd_demo)

    p = sub.add_parser("info", help="show an acquisition's params, counts, calibration files and first event",
                       description="Show model, channels, windows, samples, chunk and event counts, the "
                                   "calibration files present, and a per-channel summary of the first event.")
    p.add_argument("acq", metavar="ACQ", help="acquisition directory")
    p.set_defaults(func=cmd_info)

    p = sub.add_parser("ls", help="list the acquisitions under a directory",
                       description="List the acquisitions directly under ROOT, one per line, with model and "
                                   "event count.")
    p.add_argument("root", metavar="ROOT", help="directory holding acquisitions")
    p.set_defaults(func=cmd_ls)

    p = sub.add_parser("export", help="export events to CSV files",
                       description="Export events of ACQ to CSV files in OUT (created if missing), at most "
                                   f"{EXPORT_CHUNK} events per file.")
    p.add_argument("acq", metavar="ACQ", help="acquisition directory")
    p.add_argument("out", metavar="OUT", help="output directory")
    p.add_argument("--indices", default="all", metavar="SPEC",
                   help="events to export: 'all' (default), 'START:STOP[:STEP]', or a list like '5,7,9' "
                        "(items may be mixed: '0:10,20')")
    p.add_argument("--pedestals", action="store_true",
                   help="subtract the acquisition's pedestal calibration")
    add_export_format_options(p)
    p.set_defaults(func=cmd_export)
    add_columnar_commands(sub)

    p = sub.add_parser("plot", help="plot one event's waveforms (needs matplotlib)",
                       description="Plot the waveforms of one event, sample value against time, one line per "
                                   "channel. Needs matplotlib: pip install 'brimoacq[plot]'.")
    p.add_argument("acq", metavar="ACQ", help="acquisition directory")
    p.add_argument("index", type=_nonneg_int, metavar="INDEX", help="event index")
    p.add_argument("-o", "--output", metavar="FILE.png",
                   help="write the figure to this file (default: show it, or write <name>_event<INDEX>.png "
                        "when there is no display)")
    p.add_argument("--channels", metavar="LIST", help="channels to draw, e.g. '0,1,5' or '0:8' (default: all with data)")
    p.set_defaults(func=cmd_plot)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    where = f"{PROG} {args.command}"
    try:
        args.func(args)
    except CliError as exc:
        print(f"{where}: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{where}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 1
    except BaseException as exc:  # includes the module's internal-error type, which is not an Exception
        if isinstance(exc, SystemExit):
            raise
        text = " ".join(str(exc).split()) or type(exc).__name__
        print(f"{where}: error: {text}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
