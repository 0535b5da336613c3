"""tembrel's benchmarks: ``python -m bench.compare`` (see bench/README.md)."""
