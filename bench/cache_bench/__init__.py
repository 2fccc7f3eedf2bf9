"""The parts of bench_cache.py, one job a file: the run's settings and goals,
the peers (the NumPy cache, the compiled C reader, NumPy with its default
threads in a child process, the read bandwidth), the cases (append, attend,
strategies, merging passes) and the report.

None of them imports NumPy: they are given it, so that bench_cache.py can
set the BLAS threads before NumPy loads its BLAS library."""
