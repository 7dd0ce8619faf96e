"""Peer side of the creator interop test: reads a table with dbfread or python3-dbf.

  creator_peer.py dbfread FILE
  creator_peer.py dbf FILE

prints, text decoded from the OEM code page 437 (the tables are filled
through our dataset, which writes OEM text):
  FIELD <name> <type> <length> <decimals>     one line per field
  REC <value>...                              one line per live record, tab-separated
Values: C trimmed on the right; N and F with the field's decimals (empty when
blank); D as yyyy-mm-dd (empty when blank); L as T or F (? when unset); M as
text with backslash, tab, CR and LF escaped as \\\\ \\t \\r \\n; B and G as
the hex of their bytes.
"""
import datetime
import sys

ENCODING = "cp437"


def escape(text):
    return (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n"))


def show(ftype, decimals, value):
    if ftype == "C":
        return (value or "").rstrip()
    if ftype in "NF":
        return "" if value is None else "%.*f" % (decimals, float(value))
    if ftype == "D":
        return value.isoformat() if isinstance(value, datetime.date) else ""
    if ftype == "L":
        return "?" if value is None else ("T" if value else "F")
    if ftype == "M":
        if isinstance(value, (bytes, bytearray)):
            value = bytes(value).decode(ENCODING)
        return escape(value or "")
    if value is None:
        return ""
    if isinstance(value, str):
        value = value.encode("latin-1")
    return bytes(value).hex()


def read_dbfread(path):
    import dbfread
    table = dbfread.DBF(path, encoding=ENCODING, load=True)
    fields = [(f.name, f.type, f.length, f.decimal_count) for f in table.fields]
    for field in fields:
        print("FIELD %s %s %d %d" % field)
    # dbfread counts the 8-byte block header of a dBase IV memo as text and
    # so returns the zero padding after it; the padding is dropped here.
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
    table = dbf.Table(path, codepage=ENCODING)
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
        for i, (_, ftype, _, decimals) in enumerate(fields):
            value = rec[i]
            if ftype == "D" and not value:
                value = None
            values.append(show(ftype, decimals, value))
        print("\t".join(["REC"] + values))
    table.close()


if __name__ == "__main__":
    {"dbfread": read_dbfread, "dbf": read_dbf}[sys.argv[1]](sys.argv[2])
