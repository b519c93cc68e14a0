"""Local servers for the live tests, the demo and the benchmarks.

Each runs in its own process on 127.0.0.1, prints one "READY <port>" line
when it listens, and is stopped by process id.
"""
