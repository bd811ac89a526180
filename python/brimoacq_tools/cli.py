"""The ``brimoacq`` command: look at, list, export and plot acquisitions, or make a synthetic one.

    brimoacq demo [DIR]                    write a synthetic acquisition, show it, export it to CSV
    brimoacq info ACQ                      params, chunk and event counts, calibration files, first event
    brimoacq ls ROOT                       the acquisitions under ROOT with model and event count
    brimoacq export ACQ OUT [--indices SPEC] [--pedestals] [--allow-missing] [--allow-uncorrected]
                            [--format csv|parquet]
    brimoacq convert ROOT OUT [--scheduler ADDRESS] [--pedestals]   every acquisition to a Parquet dataset
    brimoacq plot ACQ INDEX [-o FILE.png] [--channels LIST] [--style auto|lines|image] [--pedestals]

Errors are reported as one line on standard error, naming the path concerned and the cause, with a non-zero
exit status (2 for bad arguments).
"""

from __future__ import annotations

import argparse
import csv
import os
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional, Tuple

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


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def _open_failure(exc):
    """Why an acquisition cannot be opened, in one line."""
    if type(exc).__module__.startswith("yaml"):
        return f"metadata.yml is not valid YAML: {_one_line(exc)}"
    return _one_line(exc)


def _check_directory(path, what="a directory"):
    if not os.path.exists(path):
        raise CliError(f"{path}: no such {what.split(' ', 1)[1]}")
    if not os.path.isdir(path):
        raise CliError(f"{path}: is a file, not {what}")


def _open(path):
    brimoacq = _module()
    _check_directory(path, "an acquisition directory")
    if not os.path.exists(os.path.join(path, "metadata.yml")):
        raise CliError(f"{path}: not an acquisition (no metadata.yml)")
    try:
        return brimoacq.Acquisition(str(path))
    except Exception as exc:
        raise CliError(f"{path}: {_open_failure(exc)}") from None


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
                if fields[0].strip() and start >= count:
                    # as for a single index: a range that starts past the end selects nothing by mistake
                    raise CliError(f"{what}s {item} are out of range: there are {count} {what}s")
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


def _select(acq, spec, count=None, what="event"):
    """parse_indices for an acquisition, its errors naming the acquisition."""
    try:
        return parse_indices(spec, _event_count(acq) if count is None else count, what)
    except CliError as exc:
        raise CliError(f"{acq.path}: {exc}") from None


def _event_count(acq):
    try:
        return len(acq)
    except Exception as exc:
        raise CliError(f"the events cannot be counted: {_one_line(exc)}") from None


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


def _unsupported_model(params):
    """Why events of these params cannot be parsed when it is their board model, else None."""
    from .models import MODELS

    model = params.get("model")
    if model in MODELS:
        return None
    return f"board model {model!r} is not supported (supported: {', '.join(MODELS)})"


def show_info(acq, out=sys.stdout):
    params = _params(acq)
    count = len(acq)
    present = [name for name in CALIBRATION_FILES if os.path.isfile(os.path.join(acq.path, name))]
    unsupported = _unsupported_model(params)
    lines = [
        f"acquisition: {acq.name}",
        f"path:        {acq.path}",
        f"model:       {params.get('model', '?')}" + (" (not a supported board model)" if unsupported else ""),
        f"channels:    {params.get('channels', '?')}",
        f"windows:     {params.get('windows', '?')}",
        f"samples:     {params.get('samples', '?')}",
        f"chunks:      {acq.chunk_count}",
        f"events:      {count}",
        f"calibration: {', '.join(present) if present else 'none'}",
    ]
    if count == 0:
        lines.append("first event: none (the acquisition holds no events)")
    elif unsupported:
        lines.append(f"first event: cannot be parsed: {unsupported}")
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


def _ls_row(brimoacq, path, name):
    """(name, model, what) for the acquisition at `path`; one that cannot be opened is listed with the
    reason (list_acquisitions would leave it out without a word)."""
    try:
        acq = brimoacq.Acquisition(path)
    except Exception as exc:
        return name, "?", f"cannot be opened: {_open_failure(exc)}"
    model = str(_params(acq).get("model", "?"))
    try:
        events = f"{len(acq)} events"
    except Exception as exc:
        events = f"? events ({_one_line(exc)})"
    return name, model, events


def cmd_ls(args):
    brimoacq = _module()
    _check_directory(args.root)
    if brimoacq.is_acquisition(args.root):
        raise CliError(f"{args.root}: is an acquisition, not a directory of acquisitions: "
                       f"use '{PROG} info {args.root}' to show it")
    try:
        entries = sorted(os.listdir(args.root))
    except OSError as exc:
        raise CliError(f"{args.root}: cannot be listed ({exc.strerror})") from None
    rows = []
    for name in entries:
        path = os.path.join(args.root, name)
        if brimoacq.is_acquisition(path):
            rows.append(_ls_row(brimoacq, path, name))
    if not rows:
        print(f"no acquisitions under {args.root}")
        return
    widths = [max(len(r[i]) for r in rows) for i in range(2)]
    for name, model, events in rows:
        print(f"{name.ljust(widths[0])}  {model.ljust(widths[1])}  {events}")


# --- progress --------------------------------------------------------------------------------------------


class _NoBar:
    """Stands in for a progress bar where none is drawn: standard error is not a terminal, or the job is
    short."""

    def update(self, n=1):
        pass

    def set_postfix_str(self, text):
        pass

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def progress(total, desc, unit="file", min_total=2, **options):
    """A progress bar for `total` steps on standard error while standard error is a terminal, and a
    silent stand-in otherwise (output to files and pipes stays plain). Jobs of fewer than `min_total` steps
    get no bar. Use it as a context manager and call `update(n)` after each step; `options` go to tqdm
    (for example unit_scale=True for event counts)."""
    if total < min_total or not sys.stderr.isatty():
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:  # tqdm is a dependency; a broken installation still does the work
        return _NoBar()
    return tqdm(total=total, desc=desc, unit=unit, file=sys.stderr, dynamic_ncols=True, **options)


def _with_progress(items, total, desc, unit):
    """Yield `items`, advancing a progress bar of `total` steps after each one."""
    with progress(total, desc, unit) as bar:
        for item in items:
            yield item
            bar.update(1)


# --- export ----------------------------------------------------------------------------------------------


class ExportInterrupted(KeyboardInterrupt):
    """Ctrl-C during an export; the text says which files are complete."""


class ExportResult(NamedTuple):
    files: List[Tuple[str, int]]  # each CSV file written, in chunk order, with the events it holds
    left_out: Dict[int, str]  # acquisition index -> why the export left it out
    lost: int  # selected entries (duplicates counted) that are in no file
    index_map: Optional[str]  # the "<name> (index).csv" file
    mismatched: List[str]  # files holding more events than a check of their indices finds readable


def _inside(child, parent):
    child, parent = os.path.realpath(child), os.path.realpath(parent)
    return child == parent or child.startswith(parent.rstrip(os.sep) + os.sep)


def _pedestal_problem(acq):
    """None when the export can subtract the acquisition's pedestal table; otherwise why it cannot."""
    if not os.path.isfile(os.path.join(acq.path, "pedestals_calibration")):
        return "the acquisition has no pedestals_calibration file"
    if acq.has_usable_pedestals():
        return None
    try:
        acq.pedestals_calibration
    except Exception as exc:
        return f"the pedestals_calibration file cannot be decoded ({_one_line(exc)})"
    return "the pedestals_calibration file holds no usable pedestal table"


def _pedestal_table(acq):
    """The pedestal table of the acquisition's calibration object, which holds it under "data" or first."""
    blob = acq.pedestals_calibration
    if isinstance(blob, dict):
        return blob.get("data", blob.get(b"data"))
    if isinstance(blob, (list, tuple)) and blob:
        return blob[0]
    return None


def corrected_event(acq, event):
    """`event` with the pedestal table subtracted as the CSV export does it, or None where the export
    leaves the event out because it does not fit the table."""
    from .writer import correct_expected

    table = _pedestal_table(acq)
    if table is None:
        return None
    return correct_expected(event, table, _params(acq))


def _correction_reason(acq, index):
    """Why the pedestal correction of a parseable event fails, or None where it does not."""
    try:
        acq.read([index], pedestals=True)
    except ValueError as exc:
        text = _one_line(exc)
        prefix = f"event {index}: "
        return text[len(prefix):] if text.startswith(prefix) else text
    return None


def _left_out_reason(acq, index, pedestals):
    try:
        acq.raw_event(index)
    except Exception as exc:
        return f"cannot be read: {_one_line(exc)}"
    try:
        acq.parsed_event(index)
    except Exception as exc:
        return _one_line(exc)
    if pedestals:
        return _correction_reason(acq, index)
    return None


def find_left_out(acq, indices, pedestals=False):
    """{index: reason} for the entries of `indices` that an export leaves out of its CSV files: those whose
    event cannot be read, parsed or (with `pedestals`) pedestal-corrected. `pedestals` must say whether the
    export really corrects, that is whether the acquisition has a usable pedestal table. One bulk read
    finds them; each one found is read alone for its reason."""
    unique = list(dict.fromkeys(int(i) for i in indices))
    read = set()
    for batch in acq.iter_batches(1000, indices=unique, pedestals=pedestals, errors="skip"):
        read.update(batch["index"].tolist())
    return {i: _left_out_reason(acq, i, pedestals) or "left out by the export" for i in unique if i not in read}


def _csv_event_count(path):
    """Events in an exported CSV file: one more than the "evt_num" of its last row, 0 for the header alone."""
    with open(path, "rb") as f:
        end = f.seek(0, os.SEEK_END)
        pos, tail = end, b""
        while pos > 0:
            step = min(1 << 16, pos)
            pos -= step
            f.seek(pos)
            tail = f.read(step) + tail
            if b"\n" in tail.rstrip(b"\n"):
                break
    last = tail.rstrip(b"\n").rsplit(b"\n", 1)[-1]
    if not last or last.startswith(b"acq_num"):
        return 0
    return int(float(last.split(b",")[1])) + 1


def _prepare_out_dir(acq, out_dir):
    if _inside(out_dir, acq.path):
        raise CliError(f"{out_dir}: refusing to write into the acquisition directory")
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise CliError(f"{out_dir}: exists and is not a directory")
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        raise CliError(f"{out_dir}: cannot create the output directory ({exc.strerror or exc})") from None


def index_map_path(acq, out_dir):
    return os.path.join(out_dir, f"{acq.name} (index).csv")


def export(acq, indices, out_dir, pedestals, desc="exporting"):
    """Export `indices` of `acq` into `out_dir` as export_csv does (the same files, byte for byte), one CSV
    file at a time so that progress can be shown, and find out what was written: the events in each file,
    the indices left out and why, and the index map "<name> (index).csv" (file, evt_num, index) beside the
    CSV files. A file appears under its final name only once it is complete."""
    brimoacq = _module()
    _prepare_out_dir(acq, out_dir)
    corrected = bool(pedestals) and _pedestal_problem(acq) is None
    nfiles = (len(indices) + EXPORT_CHUNK - 1) // EXPORT_CHUNK
    files, left_out, lost, mismatched, rows = [], {}, 0, [], []
    try:  # the file being written lives here until it is complete
        work = tempfile.mkdtemp(prefix=".brimoacq-export-", dir=out_dir)
    except OSError as exc:
        raise CliError(f"{out_dir}: cannot write into the output directory ({exc.strerror or exc})") from None
    try:
        with progress(nfiles, desc) as bar:
            for k in range(nfiles):
                chunk = indices[k * EXPORT_CHUNK : (k + 1) * EXPORT_CHUNK]
                # export_csv numbers the files of a call from 0: export the chunk alone, then name it
                try:
                    brimoacq.export_csv(acq, chunk, work, pedestals)
                except Exception as exc:
                    raise CliError(f"{out_dir}: exporting {acq.path} failed: {_one_line(exc)}") from None
                name = os.path.join(out_dir, f"{acq.name} (chunk {k}).csv")
                os.replace(os.path.join(work, f"{acq.name} (chunk 0).csv"), name)
                # The last row's evt_num counts the events of the file, except trailing events without
                # window labels, which take a number but write no row: only a shortfall needs a check.
                count = _csv_event_count(name)
                kept = list(chunk)
                if count != len(chunk):
                    missing = find_left_out(acq, chunk, corrected)
                    left_out.update(missing)
                    kept = [i for i in chunk if i not in missing]
                if count <= len(kept):
                    base = os.path.basename(name)
                    rows.extend((base, n, i) for n, i in enumerate(kept))
                    files.append((name, len(kept)))
                else:  # more rows than readable events: the acquisition changed during the export
                    mismatched.append(name)
                    files.append((name, count))
                lost += len(chunk) - len(kept)
                bar.update(1)
    except KeyboardInterrupt:
        done = ", ".join(os.path.basename(f) for f, _ in files) or "none"
        if files:
            _write_index_map(index_map_path(acq, out_dir), rows)
        raise ExportInterrupted(f"{out_dir}: complete files: {done} (the file being written was removed)") from None
    finally:
        shutil.rmtree(work, ignore_errors=True)
    index_map = index_map_path(acq, out_dir) if files else None
    if index_map:
        _write_index_map(index_map, rows)
    return ExportResult(files, left_out, lost, index_map, mismatched)


def _write_index_map(path, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(("file", "evt_num", "index"))
        writer.writerows(rows)


def _index_ranges(indices, limit=12):
    """'3, 7-9, 12' for the sorted indices, at most `limit` items."""
    items, run = [], []
    for i in sorted(indices):
        if run and i == run[-1] + 1:
            run.append(i)
            continue
        if run:
            items.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
        run = [i]
    if run:
        items.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
    return ", ".join(items[:limit]) + (f", ... ({len(indices)} in all)" if len(items) > limit else "")


def report_export(result, acq, out_dir, selected, how, out=sys.stdout):
    """Print what an export wrote: the files with their event counts, the index map, and the indices left
    out grouped by reason."""
    written = sum(n for _, n in result.files)
    lines = [f"exported {written} of {selected} selected events of {acq.name} {how} into {out_dir}:"]
    lines += [f"  {name}: {n} events" for name, n in result.files]
    if result.index_map:
        lines.append(f"  {result.index_map}: index map (file, evt_num, index)")
    if result.left_out:
        by_reason: Dict[str, List[int]] = {}
        for i, why in result.left_out.items():
            by_reason.setdefault(why, []).append(i)
        lines.append(f"left out {len(result.left_out)} distinct indices:")
        lines += [f"  {_index_ranges(ixs)}: {why}" for why, ixs in by_reason.items()]
    for name in result.mismatched:
        lines.append(f"  {name}: its event count disagrees with a check of its indices (the acquisition "
                     "changed during the export); the index map leaves it out")
    print("\n".join(lines), file=out)


def _pedestal_note(acq):
    """What an export with --pedestals does without a usable pedestal table, or None when it has one."""
    problem = _pedestal_problem(acq)
    return None if problem is None else f"{problem}: values are exported uncorrected"


def cmd_export(args):
    if args.format == "parquet":
        return cmd_export_parquet(args)
    acq = _open(args.acq)
    indices = _select(acq, args.indices)
    corrected = args.pedestals
    if args.pedestals:
        problem = _pedestal_problem(acq)
        if problem and not args.allow_uncorrected:
            raise CliError(f"{acq.path}: {problem}: cannot correct pedestals (pass --allow-uncorrected to "
                           "export uncorrected values)")
        if problem:
            print(f"{PROG} export: note: {acq.path}: {_pedestal_note(acq)}", file=sys.stderr)
            corrected = False
    if len(indices) == 0:
        print("no events selected: nothing exported")
        return
    result = export(acq, indices, args.out, args.pedestals)
    how = "with pedestal correction" if corrected else "without pedestal correction"
    report_export(result, acq, args.out, len(indices), how)
    if result.mismatched:
        raise CliError(f"{result.mismatched[0]}: the acquisition changed during the export")
    if result.lost and not args.allow_missing:
        raise CliError(f"{args.out}: {result.lost} of {len(indices)} selected events could not be exported "
                       "(listed above; pass --allow-missing to accept this)")


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
    indices = _select(acq, args.indices)
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
    return progress(total, desc, unit="event", min_total=1, unit_scale=True)


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


IMAGE_ABOVE = 12  # channels: more than this many are drawn as a channel x time image by default


def _plot_event(acq, index, pedestals):
    try:
        count = _event_count(acq)
    except CliError as exc:
        raise CliError(f"{acq.path}: {exc}") from None
    if index >= count:
        raise CliError(f"{acq.path}: event {index} is out of range: there are {count} events")
    unsupported = _unsupported_model(_params(acq))
    if unsupported:
        raise CliError(f"{acq.path}: {unsupported}")
    try:
        event = acq.parsed_event(index)
    except Exception as exc:
        raise CliError(f"{acq.path}: event {index}: {_one_line(exc)}") from None
    if not pedestals:
        return event
    problem = _pedestal_problem(acq)
    if problem:
        raise CliError(f"{acq.path}: {problem}: cannot subtract pedestals")
    corrected = corrected_event(acq, event)
    if corrected is None:
        why = _correction_reason(acq, index) or "it does not fit the pedestal table"
        raise CliError(f"{acq.path}: event {index} cannot be pedestal-corrected: {why}")
    return corrected


def _window_starts(event, channels):
    """Time values at which a window other than a channel's first begins, over the channels drawn."""
    starts = set()
    for c in channels:
        data, labels, time = event["data"][c], event["window_labels"][c], event["time"][c]
        if not labels or len(time) != len(data):
            continue
        per_window = len(data) // len(labels)
        starts.update(time[w * per_window] for w in range(1, len(labels)) if w * per_window < len(time))
    return sorted(starts)


def _time_axis(event, c):
    y = event["data"][c]
    return event["time"][c] if len(event["time"][c]) == len(y) else list(range(len(y)))


def _draw_lines(ax, event, channels):
    for c in channels:
        ax.plot(_time_axis(event, c), event["data"][c], lw=0.8, label=f"ch {c}")
    if channels and len(channels) <= 16:
        ax.legend(fontsize="small", ncol=2)


def _draw_image(fig, ax, event, channels, value_label):
    import numpy as np

    width = max((max(_time_axis(event, c), default=-1) for c in channels), default=-1) + 1
    image = np.full((len(channels), max(width, 1)), np.nan)
    for row, c in enumerate(channels):
        image[row, _time_axis(event, c)] = event["data"][c]
    shown = ax.imshow(np.ma.masked_invalid(image), aspect="auto", origin="lower", interpolation="nearest",
                      extent=(-0.5, image.shape[1] - 0.5, -0.5, len(channels) - 0.5), cmap="viridis")
    fig.colorbar(shown, ax=ax, pad=0.01).set_label(value_label)
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    ax.yaxis.set_major_locator(MaxNLocator(nbins=12, integer=True))
    ax.yaxis.set_major_formatter(
        FuncFormatter(lambda y, _: str(channels[int(y)]) if 0 <= int(y) < len(channels) and y == int(y) else ""))
    ax.set_ylabel("channel")


def _mark_windows(ax, starts, on_image):
    """Mark window boundaries: dotted lines, or for many windows short ticks along the top edge, which
    would otherwise hide the data. Returns the note for the title."""
    if not starts:
        return ""
    colour = "white" if on_image else "0.3"
    if len(starts) <= 64:
        for t in starts:
            ax.axvline(t - 0.5, color=colour, lw=0.7, ls=":", alpha=0.8, zorder=3)
        return ", dotted lines: window boundaries"
    for t in starts:
        ax.axvline(t - 0.5, ymin=0.97, ymax=1.0, color=colour, lw=0.6, zorder=3)
    return ", ticks at the top: window boundaries"


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
    event = _plot_event(acq, args.index, args.pedestals)
    nchan = len(event["data"])
    if args.channels is not None:
        channels = list(_select(acq, args.channels, nchan, "channel"))
    else:
        channels = [c for c in range(nchan) if event["data"][c]]
    style = args.style
    if style == "auto":
        style = "image" if len(channels) > IMAGE_ABOVE else "lines"
    value_label = "ADC counts" + (" (pedestal-subtracted)" if args.pedestals else "")
    fig, ax = plt.subplots(figsize=(10, 5))
    if style == "image" and channels:
        _draw_image(fig, ax, event, channels, value_label)
    else:
        _draw_lines(ax, event, channels)
        ax.set_ylabel(value_label)
    note = _mark_windows(ax, _window_starts(event, channels), style == "image")
    model = _params(acq).get("model", "?")
    ax.set_title(f"{acq.name}: event {args.index} ({model}, {len(channels)} channels{note})")
    ax.set_xlabel("time (samples)")
    fig.tight_layout()
    if show:
        plt.show()
        return
    out = args.output or f"{acq.name}_event{args.index}.png"
    try:
        fig.savefig(out, dpi=100)
    except OSError as exc:
        raise CliError(f"{out}: cannot write the figure ({exc.strerror or exc})") from None
    plt.close(fig)
    print(f"wrote {out} ({len(channels)} channels, {style})")


# --- demo ------------------------------------------------------------------------------------------------


ECC_DEMO_FLIPS = ((0, 5, 3), (37, 1000, 12), (95, 4095, 7))  # (channel, sample word, bit) to invert


def _unique_dir(base, stem):
    name, n = stem, 1
    while (base / name).exists():
        n += 1
        name = f"{stem}_{n}"
    return base / name


def _write_demo(target, model, events, seed):
    """write_synthetic with a pedestal table, the events made and written one by one under a progress bar."""
    from .writer import default_params, iter_synthesized_events, make_pedestals, write_acquisition

    params = default_params(model)
    table = make_pedestals(params, seed)
    descs = iter_synthesized_events(params, events, seed=seed, pedestals=table)
    write_acquisition(target, params, _with_progress(descs, events, "writing", "event"), pedestals=table)


def demo_ecc(base, seed):
    """Write one full-size vombel96 event (ECC code words) with a few bits inverted, then show ecc_check
    finding the bad words and ecc_correct repairing them."""
    brimoacq = _module()
    from .models import ECC_CHANNEL_BLOCK_BYTES, ECC_CHIP_BYTES, ecc_word_offset, flip_bits
    from .writer import default_params, encode_event, synthesize_events, write_acquisition

    params = default_params("vombel96", windows=128, samples=32)  # 4096 sample words per channel block
    clean = encode_event(params, synthesize_events(params, 1, seed=seed)[0])  # full size: code words
    flips = [(ecc_word_offset(c, w), bit) for c, w, bit in ECC_DEMO_FLIPS]
    target = _unique_dir(base, "demo_vombel96_ecc")
    write_acquisition(target, params, [flip_bits(clean, flips)])
    raw = brimoacq.Acquisition(str(target)).raw_event(0)["rawdata"]
    records = brimoacq.ecc_check(raw)
    print(f"wrote one full-size vombel96 event ({len(raw)} bytes of ECC code words) with {len(flips)} bits "
          f"inverted: {target}")
    print(f"brimoacq.ecc_check(raw) finds {len(records)} words in error:")
    rows = []
    for channel_offset, packet_offset, word, fixed, bit, parity in records:
        chip, rest = divmod(packet_offset, ECC_CHIP_BYTES)
        channel = 16 * chip + (rest - 3) // ECC_CHANNEL_BLOCK_BYTES
        rows.append((str(channel), str(channel_offset // 2), str(packet_offset), f"{word:#06x}", f"{fixed:#06x}",
                     str(bit), str(parity)))
    header = ("channel", "sample", "packet_offset", "raw_word", "corrected", "bit", "parity")
    print("\n".join(_table(rows, header)))
    repaired = brimoacq.ecc_correct(raw)
    left = len(brimoacq.ecc_check(repaired))
    same = "equals" if bytes(repaired) == clean else "differs from"
    print(f"brimoacq.ecc_correct(raw) repairs them: ecc_check of the result finds {left} words in error, and "
          f"the result {same} the packet as written before the bits were inverted")


def cmd_demo(args):
    _module()  # fail before writing anything if the module is missing
    base = Path(args.dir) if args.dir else Path(tempfile.mkdtemp(prefix="brimoacq-demo-"))
    if base.exists() and not base.is_dir():
        raise CliError(f"{base}: exists and is not a directory")
    target = _unique_dir(base, f"demo_{args.model}")
    name = target.name
    _write_demo(target, args.model, args.events, args.seed)
    print(f"wrote a synthetic {args.model} acquisition of {args.events} events with a pedestal table: {target}")
    print()
    acq = _open(str(target))
    show_info(acq)
    print()
    out = base / (f"{name}_csv")
    result = export(acq, range(len(acq)), str(out), True)
    report_export(result, acq, str(out), len(acq), "with pedestal correction")
    if args.model == "vombel96":
        print()
        demo_ecc(base, args.seed)


# --- entry point -----------------------------------------------------------------------------------------


def _nonneg_int(text):
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid non-negative integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"invalid non-negative integer: {text!r}")
    return value


def _version():
    """The installed distribution's version; from a source tree, the extension module's."""
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover - Python 3.7
        PackageNotFoundError, version = Exception, None
    if version is not None:
        try:
            return version("brimoacq")
        except PackageNotFoundError:
            pass
    try:
        import brimoacq
    except ImportError:
        return "unknown (not installed)"
    return getattr(brimoacq, "__version__", "unknown (not installed)")


def build_parser():
    from .models import MODELS

    parser = _Parser(prog=PROG, description="Look at, list, export and plot waveform-digitizer acquisitions.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}",
                        help="print the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    p = sub.add_parser("demo", help="write a synthetic acquisition, show it and export it to CSV",
                       description="Write a synthetic acquisition with a pedestal table into DIR (or a new "
                                   "temporary directory), show what 'info' shows, and export every event "
                                   "to CSV with pedestal correction.")
    p.add_argument("dir", nargs="?", metavar="DIR", help="directory to write into (default: a new temporary one)")
    p.add_argument("--model", default="vombel96", choices=MODELS, metavar="MODEL",
                   help=f"board model (default vombel96, which also shows the error-correcting code on a "
                        f"full-size event; one of {', '.join(MODELS)})")
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
                                   f"{EXPORT_CHUNK} events per file, and write beside them the index map "
                                   "'<name> (index).csv' (file, evt_num, index: the acquisition index of each "
                                   "exported event). Reports the events each file holds and the indices left "
                                   "out with the reason; exits with status 1 when events were left out unless "
                                   "--allow-missing is given.")
    p.add_argument("acq", metavar="ACQ", help="acquisition directory")
    p.add_argument("out", metavar="OUT", help="output directory")
    p.add_argument("--indices", default="all", metavar="SPEC",
                   help="events to export: 'all' (default), 'START:STOP[:STEP]', or a list like '5,7,9' "
                        "(items may be mixed: '0:10,20')")
    p.add_argument("--pedestals", action="store_true",
                   help="subtract the acquisition's pedestal calibration; refused when it has no usable "
                        "pedestal table")
    p.add_argument("--allow-uncorrected", action="store_true",
                   help="with --pedestals and no usable pedestal table, export uncorrected values instead of "
                        "stopping")
    p.add_argument("--allow-missing", action="store_true",
                   help="exit with status 0 even when events could not be read, parsed or corrected and are "
                        "missing from the files")
    add_export_format_options(p)
    p.set_defaults(func=cmd_export)
    add_columnar_commands(sub)

    p = sub.add_parser("plot", help="plot one event's waveforms (needs matplotlib)",
                       description="Plot the waveforms of one event against time: one line per channel, or "
                                   f"for more than {IMAGE_ABOVE} channels a channel x time image with a colour "
                                   "bar. Window boundaries are dotted. Needs matplotlib: "
                                   "pip install 'brimoacq[plot]'.")
    p.add_argument("acq", metavar="ACQ", help="acquisition directory")
    p.add_argument("index", type=_nonneg_int, metavar="INDEX", help="event index")
    p.add_argument("-o", "--output", metavar="FILE.png",
                   help="write the figure to this file (default: show it, or write <name>_event<INDEX>.png "
                        "when there is no display)")
    p.add_argument("--channels", metavar="LIST", help="channels to draw, e.g. '0,1,5' or '0:8' (default: all with data)")
    p.add_argument("--style", choices=("auto", "lines", "image"), default="auto",
                   help=f"'lines', 'image' (channel x time), or 'auto' (default): image above {IMAGE_ABOVE} channels")
    p.add_argument("--pedestals", action="store_true",
                   help="subtract the pedestal calibration as the CSV export does")
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
    except KeyboardInterrupt as exc:
        text = f": {exc}" if isinstance(exc, ExportInterrupted) else ""
        print(f"{where}: interrupted{text}", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 1
    except BaseException as exc:  # includes the module's internal-error type, which is not an Exception
        if isinstance(exc, SystemExit):
            raise
        print(f"{where}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
