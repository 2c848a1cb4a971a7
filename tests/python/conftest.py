"""Shared fixtures of the Python tests.

`probe` is the test-only module quorvex_probe, built next to the extension module but never
installed. It gives the tests direct access to the data layer (conversions, EDN text, equality and
hashing of data values). It is taken from the import path when it is there (PYTHONPATH pointing at a
build directory), else from the newest build under build/.
"""

import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _load_probe():
    try:
        import quorvex_probe

        return quorvex_probe
    except ImportError:
        pass
    candidates = sorted(
        ROOT.glob("build/*/embed/quorvex_probe*.so"), key=lambda p: p.stat().st_mtime
    )
    if not candidates:
        return None
    spec = importlib.util.spec_from_file_location("quorvex_probe", candidates[-1])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_PROBE = _load_probe()


@pytest.fixture(scope="session")
def probe():
    if _PROBE is None:
        pytest.skip("quorvex_probe is not built (it is built with the module by CMake)")
    return _PROBE
