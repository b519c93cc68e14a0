"""Download to a file with a progress bar.  Usage: download.py URL FILE

The body goes straight to the file through a 1 MiB buffer, so a 1 GiB
download holds no more than that in memory."""
import sys

import vesper


shown = -1


def progress(done: int, total: "int | None") -> None:
    """Called after every write; redraws the line once per 8 MiB (or at the end)."""
    global shown
    step = done >> 23
    if step == shown and done != total:
        return
    shown = step
    share = f"{100 * done // total:3d}%" if total else ""
    print(f"\r{done / 2**20:8.1f} MiB {share}", end="", flush=True)


with vesper.Client(timeout=vesper.Timeout(30)) as client:
    with client.stream("GET", sys.argv[1]) as response:
        response.raise_for_status()
        written = response.download_to(sys.argv[2], progress=progress)
print(f"\nwrote {written} bytes to {sys.argv[2]}")
