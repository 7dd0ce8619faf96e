#!/usr/bin/python3
"""Writes the demo data folder of VelUpdate: a data dictionary and the small
tables it describes, in FoxPro 2 form (one with a memo file).

The dictionary prescribes a structure that differs from the tables on disk,
so a restructure run has work to do: CUSTOMER gains a field (EMAIL) and
ORDERS.ITEM is widened from 20 to 30 characters.

usage: seed_demo.py <host folder>
Only the demo's own files are created or replaced; nothing else in the
folder is touched.
"""
import datetime
import os
import sys

import dbf

# name -> (structure on disk, records)
TABLES = {
    "CUSTOMER": (
        "CUSTNO N(6,0); NAME C(30); CITY C(20); SINCE D; ACTIVE L; NOTES M",
        [
            (1001, "Ada Lovelace", "London", datetime.date(2019, 3, 14), True,
             "Prefers invoices by post.\r\nCalls on Mondays."),
            (1002, "Konrad Zuse", "Berlin", datetime.date(2020, 7, 1), True, ""),
            (1003, "Grace Hopper", "Arlington", datetime.date(2018, 12, 9), False,
             "Account closed; keep for the records."),
        ],
    ),
    "ORDERS": (
        "ORDERNO N(8,0); CUSTNO N(6,0); ITEM C(20); QTY N(5,0); PRICE N(10,2); ORDERED D",
        [
            (1, 1001, "Difference engine", 1, 12500.00, datetime.date(2024, 1, 5)),
            (2, 1002, "Relay set", 40, 3.75, datetime.date(2024, 2, 11)),
            (3, 1003, "Compiler manual", 2, 19.90, datetime.date(2024, 3, 2)),
            (4, 1001, "Punched cards", 500, 0.05, datetime.date(2024, 3, 20)),
        ],
    ),
    "PRODUCTS": (
        "CODE C(8); DESCR C(30); STOCK N(6,0); COST N(9,2)",
        [
            ("P-100", "Relay set", 120, 2.10),
            ("P-200", "Punched cards (box)", 35, 4.00),
        ],
    ),
}

# The structure the dictionary prescribes: (table, field, type, size, dec).
DICTIONARY = [
    ("CUSTOMER", "CUSTNO", "N", 6, 0),
    ("CUSTOMER", "NAME", "C", 30, 0),
    ("CUSTOMER", "CITY", "C", 20, 0),
    ("CUSTOMER", "EMAIL", "C", 40, 0),  # added field
    ("CUSTOMER", "SINCE", "D", 8, 0),
    ("CUSTOMER", "ACTIVE", "L", 1, 0),
    ("CUSTOMER", "NOTES", "M", 10, 0),
    ("ORDERS", "ORDERNO", "N", 8, 0),
    ("ORDERS", "CUSTNO", "N", 6, 0),
    ("ORDERS", "ITEM", "C", 30, 0),  # widened from 20
    ("ORDERS", "QTY", "N", 5, 0),
    ("ORDERS", "PRICE", "N", 10, 2),
    ("ORDERS", "ORDERED", "D", 8, 0),
    ("PRODUCTS", "CODE", "C", 8, 0),
    ("PRODUCTS", "DESCR", "C", 30, 0),
    ("PRODUCTS", "STOCK", "N", 6, 0),
    ("PRODUCTS", "COST", "N", 9, 2),
]

DICTIONARY_STRUCTURE = (
    "ID N(6,0); TABLENAME C(20); FIELDNAME C(10); FIELDTYPE C(1); FIELDSIZE N(3,0); FIELDDEC N(2,0)"
)


def remove_variants(folder, name):
    """Drops every file whose name equals `name` ignoring case: the program
    treats them as one file, so a refresh must not leave a second spelling."""
    for entry in os.listdir(folder):
        if entry.lower() == name.lower():
            os.remove(os.path.join(folder, entry))


def write_table(folder, name, structure, rows):
    base = os.path.join(folder, name)
    for ext in (".dbf", ".fpt", ".cdx"):
        remove_variants(folder, name + ext)
    # FoxPro 2 marks a table without memo fields as 0x03, the dBase III
    # version byte; python-dbf writes that form as "db3".
    has_memo = any(spec.split()[1].startswith("M") for spec in structure.split(";"))
    table = dbf.Table(base + ".dbf", structure, dbf_type="fp" if has_memo else "db3", codepage="cp437")
    table.open(mode=dbf.READ_WRITE)
    for row in rows:
        table.append(row)
    table.close()


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, (structure, rows) in TABLES.items():
        write_table(folder, name, structure, rows)
    rows = [(i + 1,) + entry for i, entry in enumerate(DICTIONARY)]
    remove_variants(folder, "Dictionary.fpt")
    write_table(folder, "Dictionary", DICTIONARY_STRUCTURE, rows)
    for name in sorted(os.listdir(folder)):
        print("  %-16s %7d bytes" % (name, os.path.getsize(os.path.join(folder, name))))


if __name__ == "__main__":
    main()
