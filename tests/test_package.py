"""Packaging: the extension installs top level beside the package."""

import importlib
import importlib.metadata
import os
import pathlib

import pytest


@pytest.mark.skipif("KESTRELIO_TREE_BUILD" in os.environ, reason="extension loaded from a build tree")
def test_extension_and_package_install_side_by_side():
    ext = importlib.import_module("_kestrelio")
    pkg = importlib.import_module("kestrelio")
    assert ext.__name__ == "_kestrelio"
    assert pathlib.Path(ext.__file__).parent == pathlib.Path(pkg.__file__).parent.parent
    assert ext.FastPath.__name__ == "FastPath"
    assert (pathlib.Path(pkg.__file__).parent / "py.typed").exists()
    assert pathlib.Path(ext.__file__).with_name("_kestrelio.pyi").exists(), "the stub installs beside the module"
    # mypy finds a single module's stub in site-packages only as a stub-only package.
    assert pathlib.Path(ext.__file__).with_name("_kestrelio-stubs").joinpath("__init__.pyi").exists()
    assert pkg.__version__ == importlib.metadata.version("kestrelio")
