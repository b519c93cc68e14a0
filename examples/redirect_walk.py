"""Walk a redirect chain hop by hop, deciding at each hop.
Usage: redirect_walk.py URL"""
import sys

import vesper

with vesper.Client() as client:
    with client.walk_redirects("GET", sys.argv[1]) as walk:
        for hop in walk:
            print(f"{hop.status_code} {hop.url} -> {hop.method} {hop.location}")
            if hop.location.startswith(("http://127.0.0.1", "https://")):
                hop.follow()          # a hop not followed ends the walk
            else:
                print("not following", hop.location)
    print("final:", walk.response.status_code, walk.response.url)
