"""The module's fuzz harness (run by fuzz/fuzz_module.py; fuzz/README.md
describes its files)."""
