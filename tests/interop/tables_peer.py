"""Peer side of the table interop tests: python3-dbf writes tables, dbfread reads them.

  tables_peer.py make DIR   writes the sample tables into DIR and reports, one line each:
                              TABLE <file> <records>
                              FIELD <name> <type> <length> <decimals>
  tables_peer.py read FILE  reports the live records of FILE as tab-separated values:
                              COUNT <records>
                              REC <name> <amount> <flag> <born>
"""
import datetime
import os
import sys


def make(folder):
    import dbf
    for kind, memo in (("db3", False), ("db3", True), ("fp", True), ("vfp", False), ("vfp", True)):
        spec = "name C(12); amount N(9,2); flag L; born D" + ("; notes M" if memo else "")
        name = os.path.join(folder, "%s_%s.dbf" % (kind, "m" if memo else "p"))
        table = dbf.Table(name, spec, dbf_type=kind)
        table.open(dbf.READ_WRITE)
        for i in range(3):
            values = ("Name%d" % i, i * 1.25, i % 2 == 0, datetime.date(2020, 1, i + 1))
            if memo:
                values += ("memo text %d" % i,)
            table.append(values)
        print("TABLE %s %d" % (os.path.basename(name), len(table)))
        for field in table.field_names:
            info = table.field_info(field)
            print("FIELD %s %s %d %d" % (field, chr(info[0]), info[1], info[2]))
        table.close()


def read(path):
    import dbfread
    table = dbfread.DBF(path, load=True)
    print("COUNT %d" % len(table.records))
    for rec in table.records:
        born = rec["BORN"]
        amount = rec["AMOUNT"]
        print("REC\t%s\t%s\t%s\t%s" % (
            rec["NAME"],
            "" if amount is None else "%.2f" % amount,
            "T" if rec["FLAG"] else "F",
            born.isoformat() if isinstance(born, datetime.date) else ""))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2])
    else:
        read(sys.argv[2])
