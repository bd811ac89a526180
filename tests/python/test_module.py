"""The module's shape, its exception types, argument errors and the Python library hooks."""

import ctypes
import gzip
import os
import pickle
import pydoc
import re
import shutil
import subprocess
import sys
import textwrap
import venv
from pathlib import Path

import pytest
import yaml

import brimoacq

from conftest import cpython_only, write_acquisition

ROOT = Path(__file__).resolve().parents[2]
ALL = ["Acquisition", "list_acquisitions", "is_acquisition", "export_csv", "syndrome",
       "global_parity", "syndrome_to_index", "ecc_check", "ecc_correct"]


def test_module_contents_in_registration_order():
    assert brimoacq.__doc__ == "Register PyO3 bindings to brimoacquisition."
    assert brimoacq.__all__ == ALL
    for name in ALL[1:]:
        assert getattr(brimoacq, name).__module__ == "brimoacq"
    for hidden in ["IterEvents", "FullChunkError", "MetadataError", "ParsingError", "ExportError"]:
        assert not hasattr(brimoacq, hidden)


@pytest.mark.parametrize("name, signature, doc", [
    ("list_acquisitions", "(root_dir)", "List all acquisitions in a directory."),
    ("is_acquisition", "(path)", "Check if a folder is a valid acquisition."),
    ("export_csv", "(acq, indices, out_dir, pedestals_correction)", None),
])
def test_function_signatures_and_docstrings(name, signature, doc):
    function = getattr(brimoacq, name)
    assert function.__text_signature__ == signature
    if doc is None:
        assert not function.__doc__
    else:
        assert function.__doc__.startswith(doc)


@cpython_only
def test_acquisition_class_docstrings():
    cls = brimoacq.Acquisition
    assert cls.__name__ == "Acquisition"
    assert cls.__doc__ == "Pythonic wrapper around the [`crate::Acquisition`] class."
    assert cls.raw_event.__text_signature__ == "($self, index)"
    assert cls.raw_event.__doc__ == "Fetch a raw event as `bytes`."
    assert cls.parsed_event.__doc__ == "Fetch a parsed event. Requires `brimodaq` to be installed."
    docs = {
        "is_valid": "Check if the folder is a valid acquisition.",
        "path": "Get the path to the acquisition directory.",
        "name": "Get the name of the acquisition.",
        "chunk_count": "Get the number of chunks in the acquisition",
        "metadata": "Read the metadata from the acquisition.",
        "params": "Get acquisition params.",
        "readout_metadata": "Read the readout metadata from the acquisition.",
        "pedestals_calibration": "Read pedestals calibration from the acquisition.",
        "adc_to_mv_calibration": "Read ADC to mV calibration from the acquisition.",
        "timing_calibration": "Read timing calibration from the acquisition.",
    }
    for prop, doc in docs.items():
        assert getattr(cls, prop).__doc__ == doc


@cpython_only
def test_import_fails_on_second_initialisation():
    # Calling the initialisation function again in the same process is refused.
    init = ctypes.PyDLL(brimoacq.__file__).PyInit_brimoacq
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="^PyO3 modules may only be initialized once per interpreter process$"):
        init()


# --- exception types -------------------------------------------------------------------------

def test_metadata_error_type(make_acq):
    path = make_acq(registers=False)
    with pytest.raises(Exception) as info:
        brimoacq.Acquisition(path)
    assert type(info.value).__name__ == "MetadataError"
    assert type(info.value).__module__ == "acquisition"
    assert info.value.args == ("Could not process metadata: failed to serialized",)


def test_internal_error_is_not_an_exception(dotdot_acq):
    with pytest.raises(BaseException) as info:
        try:
            dotdot_acq.name
        except Exception:  # must not catch it
            pytest.fail("internal error caught by `except Exception`")
    err = info.value
    assert not isinstance(err, Exception)
    assert str(err) == "could not get acquisition name"
    assert type(err).__name__ == "InternalError"
    assert type(err).__module__ == "brimoacq"


# --- argument errors -------------------------------------------------------------------------

@pytest.mark.parametrize("call, exc, message", [
    (lambda a: brimoacq.is_acquisition(), TypeError, r"^is_acquisition\(\) missing 1 required argument: 'path'$"),
    (lambda a: brimoacq.is_acquisition("x", "y"), TypeError, r"takes 1 positional argument but 2 were given"),
    (lambda a: brimoacq.is_acquisition(pth="x"), TypeError, r"unexpected keyword argument 'pth'"),
    (lambda a: brimoacq.list_acquisitions("x", root_dir="y"), TypeError, r"multiple values for argument 'root_dir'"),
    (lambda a: brimoacq.is_acquisition(3), TypeError, r"^argument 'path': "),
    (lambda a: brimoacq.is_acquisition(b"/tmp"), TypeError, r"^argument 'path': "),
    (lambda a: brimoacq.list_acquisitions(None), TypeError, r"^argument 'root_dir': "),
    (lambda a: brimoacq.Acquisition(), TypeError, r"missing 1 required argument: 'path'"),
    (lambda a: brimoacq.Acquisition([]), TypeError, r"^argument 'path': "),
    (lambda a: a.raw_event(-1), OverflowError, r"^out of range integral type conversion attempted$"),
    (lambda a: a.parsed_event(2 ** 64), OverflowError, r"^out of range integral type conversion attempted$"),
    (lambda a: a.raw_event(1.0), TypeError, r"^argument 'index': "),
    (lambda a: a.raw_event("0"), TypeError, r"^argument 'index': "),
    (lambda a: a.raw_event(), TypeError, r"^Acquisition.raw_event\(\) missing 1 required argument: 'index'$"),
    (lambda a: a.parsed_event(0, 1), TypeError, r"takes 1 positional argument but 2 were given"),
    (lambda a: a.raw_event(idx=0), TypeError, r"unexpected keyword argument 'idx'"),
    (lambda a: brimoacq.export_csv(a, [], "x"), TypeError, r"missing 1 required argument: 'pedestals_correction'"),
])
def test_argument_errors(acq10, call, exc, message):
    acq, _ = acq10
    with pytest.raises(exc, match=message):
        call(acq)


def test_arguments_by_keyword(acq10, tmp_path):
    acq, packets = acq10
    assert acq.raw_event(index=3)["rawdata"] == packets[3]
    assert brimoacq.is_acquisition(path=acq.path)
    assert [a.path for a in brimoacq.list_acquisitions(root_dir=tmp_path)] == [acq.path]


# --- hooks -----------------------------------------------------------------------------------

def test_hook_errors_propagate_unchanged(make_acq):
    path = make_acq(misc={"readout_metadata": b"not gzip at all",
                          "timing_calibration": gzip.compress(b"not a pickle")})
    acq = brimoacq.Acquisition(path)
    with pytest.raises(gzip.BadGzipFile):
        acq.readout_metadata
    # Whatever the interpreter's own pickle raises for these bytes comes through unchanged.
    with pytest.raises(Exception) as direct:
        pickle.loads(b"not a pickle")
    with pytest.raises(direct.type):
        acq.timing_calibration
    bad_yaml = make_acq("bad_yaml", metadata="params: [unclosed\n")
    with pytest.raises(yaml.YAMLError):
        brimoacq.Acquisition(bad_yaml)


def run_isolated(code, tmp_path):
    script = textwrap.dedent(code)
    # A bare environment, but for the sanitizer runtime that a sanitized build of the module needs preloaded.
    env = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    env["PYTHONPATH"] = ":".join(sys.path)
    result = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_import_without_yaml_gzip_pickle(tmp_path):
    write_acquisition(tmp_path / "acq", misc={"timing_calibration": {"t": 1}})
    out = run_isolated("""
        import sys
        for name in ("yaml", "gzip", "pickle"):
            sys.modules[name] = None          # makes `import name` fail
        import brimoacq
        for attempt in range(2):              # a failed import is not cached: tried again each time
            try:
                brimoacq.Acquisition("acq")
            except ImportError as e:
                print("ImportError", e.name)
        del sys.modules["yaml"]
        acq = brimoacq.Acquisition("acq")     # yaml importable again
        print(acq.params["model"])
        try:
            acq.timing_calibration
        except ImportError as e:
            print("ImportError", e.name)
        del sys.modules["gzip"], sys.modules["pickle"]
        print(acq.timing_calibration)
    """, tmp_path)
    assert out.split("\n") == ["ImportError yaml", "ImportError yaml", "pellorv3", "ImportError gzip",
                               "{'t': 1}", ""]


def test_import_under_warnings_as_errors(tmp_path):
    out = run_isolated("""
        import warnings
        warnings.simplefilter("error")
        import brimoacq
        print(brimoacq.Acquisition.__name__)
    """, tmp_path)
    assert out == "Acquisition\n"


def test_type_stubs_describe_the_public_api():
    import ast
    stub = ROOT / "python" / "brimoacq-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    # TypedDicts (ParsedEvent, ReadResult, ...) are names for type checkers only.
    public = [node.name for node in tree.body
              if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")
              and not (isinstance(node, ast.ClassDef) and any(
                  getattr(base, "id", "").endswith(("TypedDict", "ReadResultArrays")) for base in node.bases))]
    assert public == ALL
    acq_class = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Acquisition")
    members = {node.name for node in acq_class.body if isinstance(node, ast.FunctionDef)}
    runtime = {name for name in dir(brimoacq.Acquisition) if not name.startswith("_")}
    assert runtime <= members


def test_help_shows_the_class_and_version():
    assert (brimoacq.Acquisition.__module__, brimoacq.Acquisition.__name__) == ("brimoacq", "Acquisition")
    text = pydoc.render_doc(brimoacq.Acquisition, renderer=pydoc.plaintext)
    for member in ["parsed_event", "raw_event", "chunk_count", "pedestals_calibration", "__enter__"]:
        assert member in text
    version = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert brimoacq.__version__ == version and "__version__" not in brimoacq.__all__


def test_installed_stubs_are_found_by_mypy(tmp_path, request):
    pytest.importorskip("mypy")
    # A virtual environment whose site-packages holds what the wheel installs there: every directory
    # of [tool.scikit-build] wheel.packages under its own name.
    env = tmp_path / "venv"
    venv.create(env, system_site_packages=True, with_pip=False, symlinks=True)
    python = str(env / "bin" / "python")
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True).stdout.strip()
    packages = re.search(r"^wheel\.packages = \[(.*)\]", (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    for package in re.findall(r'"([^"]+)"', packages):
        shutil.copytree(ROOT / package, Path(site) / Path(package).name)
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""\
        import brimoacq
        from brimoacq_tools.writer import write_acquisition
        acq = brimoacq.Acquisition(write_acquisition("/tmp/x", {"model": "pellorv3"}, []))
        first = acq.parsed_event("0")
        batch = acq.read(range(10), pedestals=True)
        samples: int = batch["data"]
        labels: list = first["window_labels"] + acq[1:3][0]["time"]
    """))
    env_vars = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-executable", python, "--show-error-codes",
         "--cache-dir", str(request.config.cache.mkdir("mypy")), "--no-error-summary", str(script)],
        capture_output=True, text=True, cwd=tmp_path, env=env_vars)
    errors = re.findall(r"use\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M)
    assert sorted(errors) == [("4", "arg-type"), ("6", "assignment")], result.stdout + result.stderr
