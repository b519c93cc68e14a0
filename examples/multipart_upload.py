"""Upload a file as multipart/form-data (streamed from disk).
Usage: multipart_upload.py URL FILE"""
import sys

import vesper

with open(sys.argv[2], "rb") as handle:
    response = vesper.post(sys.argv[1], data={"title": "my report"},
                           files={"file": (sys.argv[2].rsplit("/", 1)[-1], handle, "text/csv")})
print(response.status_code, response.json())
