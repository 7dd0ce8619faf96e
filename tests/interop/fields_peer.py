"""Peer side of the field and memo interop tests.

  fields_peer.py make DIR        python3-dbf writes db3_memo.dbf (+.dbt), fp_memo.dbf (+.fpt)
                                 and vfp_memo.dbf (+.fpt) into DIR with the records below
  fields_peer.py read FILE       dbfread reads FILE
  fields_peer.py readdbf FILE    python3-dbf reads FILE

Readers print one line per live record, tab-separated:
  REC name amount born flag notes [qty price stamp ratio]
amount with two decimals, born as yyyy-mm-dd (empty when blank), flag T/F,
notes with backslash, tab, CR and LF escaped as \\\\ \\t \\r \\n; the last four only for
Visual FoxPro tables: qty integer, price with four decimals, stamp
yyyy-mm-ddThh:mm:ss (empty when blank), ratio as %.6g.
"""
import datetime
import decimal
import os
import sys

LONG = "".join("line %04d of a long memo\r\n" % i for i in range(120))

RECORDS = [
    ("Alpha", 1.25, datetime.date(2020, 1, 31), True, "short memo"),
    ("Beta", -7.5, None, False, ""),
    ("Gamma", 0.0, datetime.date(1980, 1, 1), True, LONG),
    ("Delta", 123456.78, datetime.date(1999, 12, 31), False, "x" * 511),
]
EXTRA = [
    (42, decimal.Decimal("12.3456"), datetime.datetime(2021, 5, 6, 7, 8, 9), 0.5),
    (-3, decimal.Decimal("0"), None, -2.25),
    (0, decimal.Decimal("1.5"), datetime.datetime(2000, 2, 29, 23, 59, 59), 1e10),
    (2147483000, decimal.Decimal("-99.99"), datetime.datetime(1980, 1, 1, 0, 0, 0), 3.0),
]


def make(folder):
    import dbf
    for kind in ("db3", "fp", "vfp"):
        spec = "name C(20); amount N(10,2); born D; flag L; notes M"
        if kind == "vfp":
            spec += "; qty I; price Y; stamp T; ratio B"
        table = dbf.Table(os.path.join(folder, "%s_memo.dbf" % kind), spec, dbf_type=kind)
        table.open(dbf.READ_WRITE)
        for i, rec in enumerate(RECORDS):
            table.append(rec + (EXTRA[i] if kind == "vfp" else ()))
        table.close()
        print("MADE %s_memo.dbf" % kind)


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n")


def line(name, amount, born, flag, notes, extra):
    parts = ["REC", (name or "").rstrip(), "" if amount is None else "%.2f" % amount,
             born.isoformat() if isinstance(born, datetime.date) else "", "T" if flag else "F",
             escape(notes or "")]
    if extra is not None:
        qty, price, stamp, ratio = extra
        parts += ["%d" % (qty or 0), "%.4f" % (price or 0),
                  stamp.strftime("%Y-%m-%dT%H:%M:%S") if isinstance(stamp, datetime.datetime) else "",
                  "%.6g" % (ratio or 0)]
    print("\t".join(parts))


def read(path):
    import dbfread
    table = dbfread.DBF(path, load=True)
    for r in table.records:
        extra = (r["QTY"], r["PRICE"], r["STAMP"], r["RATIO"]) if "QTY" in r else None
        line(r["NAME"], r["AMOUNT"], r["BORN"], r["FLAG"], r["NOTES"], extra)


def readdbf(path):
    import dbf
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    names = table.field_names
    for r in table:
        if dbf.is_deleted(r):
            continue
        extra = (r.qty, r.price, r.stamp, r.ratio) if "qty" in names else None
        born = r.born if r.born else None
        line(r.name, r.amount, born, bool(r.flag), r.notes, extra)
    table.close()


if __name__ == "__main__":
    {"make": make, "read": read, "readdbf": readdbf}[sys.argv[1]](sys.argv[2])
