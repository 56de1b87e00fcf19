"""Runs the Latkem module as the main module: a full key exchange, printed.

Usage: ``python -m latkem_demo`` (or the ``latkem-demo`` command).
"""
import importlib.util
import sys


def main():
    spec = importlib.util.find_spec("Latkem")
    if spec is None:
        sys.exit("Latkem is not installed")
    module = spec.loader.create_module(spec)
    # The module's own demonstration runs only under the name "__main__".
    module.__name__ = "__main__"
    spec.loader.exec_module(module)


if __name__ == "__main__":
    main()
