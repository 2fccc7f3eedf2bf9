"""What every benchmark script shares: timing, BLAS thread settings, machine
information, child processes, process memory, tables and JSON results.

A script run as ``python bench/NAME.py`` has bench/ on sys.path, so it
imports these as ``harness.timing`` and so on.
"""
