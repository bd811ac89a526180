import brimoacq


def test_module_imports_with_docstring():
    assert brimoacq.__doc__ == "Register PyO3 bindings to brimoacquisition."
