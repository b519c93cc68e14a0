"""The test process's own memory, for the bounded-memory checks."""

import os


def rss_bytes() -> int:
    """Resident set size of this process, from /proc."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


# Under AddressSanitizer (make sanitize preloads its runtime) freed blocks
# are held back in a quarantine of up to 256 MiB and every block carries red
# zones, so the process's size says nothing about what the Core holds: the
# memory bounds are checked in the normal run, and there only.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
