"""Peer side of the builder interop tests: reads a table with dbfread or python3-dbf.

  build_peer.py dbfread FILE
  build_peer.py dbf FILE
  build_peer.py append FILE   python3-dbf appends two records to FILE (NAME, AMOUNT,
                              BORN, FLAG and, when the table has it, NOTES)

prints, with text decoded from CP1252:
  FIELD <name> <type> <length> <decimals>     one line per field
  REC <value>...                              one line per live record, tab-separated
Values: C trimmed on the right; N and F with the field's decimals (empty when
blank); D as yyyy-mm-dd (empty when blank); L as T or F (? when unset); M as
text and G, B as bytes, both with backslash, tab, CR and LF escaped as
\\\\ \\t \\r \\n and other bytes outside printable ASCII as \\xNN.
"""
import datetime
import sys


def escape(value):
    if value is None:
        return ""
    if isinstance(value, (bytes, bytearray)):
        value = bytes(value).decode("cp1252", errors="replace")
    out = []
    for ch in value:
        if ch == "\\":
            out.append("\\\\")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        else:
            out.append(ch)
    return "".join(out)


def show(ftype, decimals, value):
    if ftype == "C":
        return (value or "").rstrip()
    if ftype in "NF":
        return "" if value is None else "%.*f" % (decimals, float(value))
    if ftype == "D":
        return value.isoformat() if isinstance(value, datetime.date) else ""
    if ftype == "L":
        return "?" if value is None else ("T" if value else "F")
    return escape(value)


def read_dbfread(path):
    import dbfread
    table = dbfread.DBF(path, encoding="cp1252", load=True)
    fields = [(f.name, f.type, f.length, f.decimal_count) for f in table.fields]
    for name, ftype, length, decimals in fields:
        print("FIELD %s %s %d %d" % (name, ftype, length, decimals))
    # dbfread takes the length stored in a dBase IV memo block, which counts
    # the block's 8-byte header, as the length of the text, and so returns the
    # zero padding that follows the text as well; that padding is dropped here.
    dbase4 = table.header.dbversion == 0x8B
    for rec in table.records:
        values = []
        for name, ftype, _, decimals in fields:
            value = rec[name]
            if dbase4 and ftype in "MBG" and value is not None:
                value = value.rstrip(b"\0" if isinstance(value, bytes) else "\0")
            values.append(show(ftype, decimals, value))
        print("\t".join(["REC"] + values))


def read_dbf(path):
    import dbf
    table = dbf.Table(path, codepage="cp1252")
    table.open(dbf.READ_ONLY)
    fields = []
    for name in table.field_names:
        info = table.field_info(name)
        fields.append((name.upper(), chr(info[0]), info[1], info[2]))
        print("FIELD %s %s %d %d" % fields[-1])
    for rec in table:
        if dbf.is_deleted(rec):
            continue
        values = []
        for i, (name, ftype, _, decimals) in enumerate(fields):
            value = rec[i]
            if ftype == "D" and not value:
                value = None
            values.append(show(ftype, decimals, value))
        print("\t".join(["REC"] + values))
    table.close()


def append(path):
    import dbf
    table = dbf.Table(path, codepage="cp1252")
    table.open(dbf.READ_WRITE)
    memo = "notes" in table.field_names
    for name, amount, born, flag, notes in (
            ("Peer één", 12.5, datetime.date(2001, 2, 3), True, "peer memo\r\n" + "p" * 600),
            ("Peer two", -3.25, None, False, "")):
        values = {"name": name, "amount": amount, "born": born, "flag": flag}
        if memo:
            values["notes"] = notes
        table.append(values)
    table.close()
    print("APPENDED")


if __name__ == "__main__":
    {"dbfread": read_dbfread, "dbf": read_dbf, "append": append}[sys.argv[1]](sys.argv[2])
