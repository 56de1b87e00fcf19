"""Shared fixtures for the Latkem tests.

All tests of one run share a single module object (the module refuses to be
initialised twice in a process), so any test that rebinds or deletes a module
global or a builtin must go through the restoring fixtures below.
"""
import builtins
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import Phase, settings

import Latkem
from kit import FUNCTIONS, TB_FILE, rebound, seeded, traceback_entries


# For tools/mutants.py: a failing example is reported as found, not made smaller.
settings.register_profile("no-shrinking", phases=[Phase.explicit, Phase.reuse, Phase.generate])


@pytest.fixture(scope="session")
def latkem():
    return Latkem


@pytest.fixture(autouse=True)
def globals_restored():
    """Every test leaves the shared module dictionary as it found it; a test
    that removed and put back a global only changes the key order, which is
    put back here."""
    d = vars(Latkem)
    before = list(d.items())
    yield
    after = list(d.items())
    if [(k, id(v)) for k, v in after] == [(k, id(v)) for k, v in before]:
        return
    assert {k: id(v) for k, v in after} == {k: id(v) for k, v in before}, \
        "a module global was not restored"
    d.clear()
    d.update(before)


@pytest.fixture
def module_globals():
    """The module dictionary, put back afterwards with its values and key order."""
    with rebound():
        yield vars(Latkem)


@pytest.fixture
def builtin_names():
    """The builtins module, with every name added or rebound undone afterwards."""
    d = vars(builtins)
    saved = dict(d)
    yield builtins
    for key in [k for k in d if k not in saved]:
        del d[key]
    for key, value in saved.items():
        if d.get(key, d) is not value:
            d[key] = value


@pytest.fixture
def path(monkeypatch):
    """path("host") or path("native"): every function on that path for the test."""

    def choose(which):
        for fn in FUNCTIONS:
            monkeypatch.setattr(fn, "_native", which == "native")

    return choose


@pytest.fixture
def rebind(monkeypatch):
    """rebind(name=value, ...): module globals rebound for the test."""

    def set_globals(**values):
        for name, value in values.items():
            monkeypatch.setattr(Latkem, name, value)

    return set_globals


@pytest.fixture(scope="session")
def keypair():
    """A key pair of the module's own parameter set."""
    with seeded(1234):
        return Latkem.CCA_KeyGen()


@pytest.fixture(scope="session")
def entries():
    """Traceback entries of the module, as (name, line), outermost first."""

    def module_entries(exc):
        found = traceback_entries(exc)
        assert all(
            (f == TB_FILE) == name.startswith(("Latkem.", "init Latkem"))
            for name, f, _ in found
        ), found
        return [(name, line) for name, f, line in found if f == TB_FILE]

    return module_entries


@pytest.fixture(scope="session")
def all_entries():
    """Every traceback entry as (name, line), outermost first."""
    return lambda exc: [(name, line) for name, _, line in traceback_entries(exc)]


@pytest.fixture(scope="session")
def run_python(tmp_path_factory):
    """Runs a script in a fresh interpreter of the running kind."""

    def run(source, *options):
        tmp_path = tmp_path_factory.mktemp("script")
        script = tmp_path / "script.py"
        script.write_text(textwrap.dedent(source))
        return subprocess.run(
            [sys.executable, *options, str(script)],
            cwd=str(tmp_path),
            env=dict(os.environ),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            universal_newlines=True,
            timeout=300,
        )

    return run
