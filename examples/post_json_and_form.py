"""POST JSON, then a form.  Usage: post_json_and_form.py URL"""
import sys

import vesper

url = sys.argv[1]
with vesper.Client() as client:
    as_json = client.post(url, json={"name": "Ada", "tags": ["x", "y"]})
    print("json:", as_json.status_code, as_json.json())
    as_form = client.post(url, data={"name": "Ada", "tag": ["x", "y"]})
    print("form:", as_form.status_code, as_form.json())
