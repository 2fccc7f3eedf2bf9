"""What every benchmark script shares: timing, BLAS thread settings, machine
information, child processes, process memory, tables and JSON results.

A script run as ``python bench/NAME.py`` has bench/ on sys.path, so it
imports these as ``harness.timing`` and so on. None of them imports NumPy,
so that a script can import them before it sets the BLAS threads.
"""
