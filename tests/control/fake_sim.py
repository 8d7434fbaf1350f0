#!/usr/bin/python3
"""Stands in for tarvik-sim --control where the real one cannot be brought to
it: a board that halts on its first run, or speaks another protocol version."""
import json
import sys

version = int(sys.argv[sys.argv.index("--version-reply") + 1]) if "--version-reply" in sys.argv else 1
for line in sys.stdin:
    request = json.loads(line)
    op = request["op"]
    if op == "hello":
        reply = {"ok": True, "version": version, "cpu": "host", "time": 0.0}
    elif op == "run":
        reply = {"ok": True, "time": 0.25, "halted": "stack overflow"}
        if "for" not in request:
            reply["matched"] = False
    else:
        reply = {"ok": True, "time": 0.25}
    print(json.dumps(reply), flush=True)
    if op == "end":
        break
