"""Benchmark harness for tembrel: timings, memory, scaling and instruction counts.

Run it with ``tools/devenv python -m bench`` (see bench/README.md).
"""
