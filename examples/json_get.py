"""GET a JSON document.  Usage: json_get.py URL"""
import sys

import vesper

response = vesper.get(sys.argv[1], params={"q": "vesper", "page": 1})
response.raise_for_status()
print(response.status_code, response.headers["content-type"])
print(response.json())
