#!/usr/bin/python3
"""Peer side of the restructure interop test: python3-dbfread reads TABLE
(with its memo file) and prints every live record as one JSON object a
line, fields in table order, values as text (numbers as dbfread gives them,
dates as yyyy-mm-dd, logicals as T/F, empty values as "").

usage: restructure_peer.py TABLE.dbf
"""
import json
import sys

from dbfread import DBF

table = DBF(sys.argv[1], encoding="cp437", char_decode_errors="strict")
print(json.dumps([f.name for f in table.fields]))
for record in table:
    row = {}
    for name, value in record.items():
        if value is None:
            row[name] = ""
        elif isinstance(value, bool):
            row[name] = "T" if value else "F"
        elif hasattr(value, "isoformat"):
            row[name] = value.isoformat()
        else:
            row[name] = str(value)
    print(json.dumps(row, ensure_ascii=False))
