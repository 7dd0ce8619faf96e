#!/usr/bin/python3
"""The peer of bench_restructure: python3-dbf copies the live records of the
benchmark's table BIG into a new FoxPro table of the structure the dictionary
prescribes (NAME widened to C 40, EMAIL C 30 added), field by field.

usage: bench_restructure_peer.py SOURCE.DBF TARGET.DBF
"""
import sys

import dbf

source = dbf.Table(sys.argv[1], codepage="cp437")
source.open(dbf.READ_ONLY)
target = dbf.Table(
    sys.argv[2],
    "ID N(8,0); NAME C(40); CITY C(20); AMOUNT N(12,2); BORN D; ACTIVE L; NOTES M; EMAIL C(30)",
    dbf_type="fp",
    codepage="cp437",
)
target.open(dbf.READ_WRITE)
for record in source:
    if dbf.is_deleted(record):
        continue
    target.append((record.id, record.name, record.city, record.amount, record.born, record.active, record.notes, ""))
target.close()
source.close()
