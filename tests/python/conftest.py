"""Shared fixtures of the Python tests.

`probe` is the test-only module quorvex_probe, built next to the extension module but never
installed. It gives the tests direct access to the data layer (conversions, EDN text, equality and
hashing of data values). It is taken from the import path when it is there (PYTHONPATH pointing at a
build directory), else from the directory of the quorvex module under test, else from the newest
build under build/ that this interpreter can load.
"""

import importlib.util
import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _sanitizer_build(path):
    # Loading a sanitizer build into an interpreter without the sanitizer's runtime preloaded
    # ends the process, so such builds are only candidates when that runtime is there.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return False
    return b"libasan.so" in path.read_bytes()


def _candidates():
    # The probe built next to the quorvex module under test first, then the newest build.
    found = importlib.util.find_spec("quorvex")
    if found is not None and found.origin:
        yield from pathlib.Path(found.origin).parent.glob("quorvex_probe*.so")
    yield from sorted(
        ROOT.glob("build/*/embed/quorvex_probe*.so"), key=lambda p: p.stat().st_mtime, reverse=True
    )


def _load_probe():
    try:
        import quorvex_probe

        return quorvex_probe
    except ImportError:
        pass
    for path in _candidates():
        if _sanitizer_build(path):
            continue
        probe_location = importlib.util.spec_from_file_location("quorvex_probe", path)
        module = importlib.util.module_from_spec(probe_location)
        try:
            probe_location.loader.exec_module(module)
        except ImportError:
            continue
        return module
    return None


_PROBE = _load_probe()


@pytest.fixture(scope="session")
def probe():
    if _PROBE is None:
        pytest.skip("quorvex_probe is not built (it is built with the module by CMake)")
    return _PROBE
