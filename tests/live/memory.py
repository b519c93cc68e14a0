"""The test process's own memory, for the bounded-memory checks."""


def rss_bytes() -> int:
    """Resident set size of this process, from /proc."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")
