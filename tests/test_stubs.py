"""The installed type information matches the module."""
import ast
import os
import subprocess
import sys

import pytest

import Latkem
from kit import FUNCTIONS as FUNCTION_OBJECTS

FUNCTIONS = [fn.__name__ for fn in FUNCTION_OBJECTS]


def installed_stub():
    here = os.path.dirname(Latkem.__file__)
    path = os.path.join(here, "Latkem-stubs", "__init__.pyi")
    if not os.path.exists(path):
        pytest.skip("no stub package installed beside the module")
    with open(path) as f:
        return ast.parse(f.read())


def test_every_function_is_declared_with_its_parameters():
    stub = installed_stub()
    declared = {node.name: [a.arg for a in node.args.args] for node in stub.body
                if isinstance(node, ast.FunctionDef)}
    assert len(FUNCTIONS) == 27
    for name in FUNCTIONS:
        code = getattr(Latkem, name).__code__
        assert declared.get(name) == list(code.co_varnames[:code.co_argcount]), name


def test_type_checker_reads_the_stub(tmp_path):
    pytest.importorskip("mypy")
    good = tmp_path / "good.py"
    good.write_text(
        "import Latkem\n"
        "pk, sk = Latkem.CCA_KeyGen()\n"
        "c, key = Latkem.CCA_Enc(pk, b'x' * 32)\n"
        "shared: bytes = Latkem.CCA_Dec(c, sk)\n"
    )
    bad = tmp_path / "bad.py"
    bad.write_text("import Latkem\nkey: str = Latkem.CCA_Dec(b'', b'')\n")
    env = dict(os.environ, MYPYPATH="")
    run = [sys.executable, "-m", "mypy", "--no-incremental", "--follow-imports=skip",
           "--cache-dir", str(tmp_path / "cache"), str(good), str(bad)]
    done = subprocess.run(run, capture_output=True, text=True, env=env)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1, done.stdout
    assert "bad.py:2:" in errors[0] and "Incompatible types" in errors[0]
