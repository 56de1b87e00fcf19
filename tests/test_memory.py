"""Leak check: bench/memory.py with a small count, in a fresh interpreter.

The script calls every KEM function and a set of building blocks on valid and
failing inputs, on both paths, and fails when memory (tracemalloc, resident
set) grows or a reference count of a global, an argument or a result moves.
Nothing here depends on how long the calls take.
"""
import os
import subprocess
import sys

import pytest

SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "bench", "memory.py")


@pytest.mark.slow
def test_memory_and_reference_counts_stay_flat(tmp_path):
    proc = subprocess.run(
        [sys.executable, SCRIPT, "--count", "300", "--quiet"],
        cwd=str(tmp_path),
        env=dict(os.environ),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=3600,  # against a hang only
    )
    report = proc.stdout + proc.stderr
    assert proc.returncode == 0, report
    assert "OK: memory and reference counts flat" in proc.stdout, report
    assert "rejection lines printed by forged ciphertexts: 0" not in proc.stdout, report
