"""Compares `veltool dump --json` with three peers, value by value.

  tables_peers_compare.py make DIR                 python3-dbf writes tables of every
                                                   flavour and code page into DIR
  tables_peers_compare.py compare VELTOOL PERLSCRIPT FILE...

compare prints, per table:
  TABLE <file> <records compared> <peers that read it>
  QUIRK <file> <peer> <quirk>: <detail>     a known difference of that peer
  DIFF <file> <peer> <where>: ours=<...> theirs=<...>   anything else
A difference that is not one of the peers' known quirks below is a DIFF.

The peers' known quirks (each is how that program reads, not what the file holds):
  blank-number      dbfread, python3-dbf and Perl XBase agree with us (no value), kept for
                    python3-dbf's Clipper/dBase tables, which give 0 for a blank N
  unmarked-text     dbfread decodes a table without a known code-page mark as ASCII and
                    refuses any other byte; python3-dbf fails on marks it does not list
  memo-case         python3-dbf looks for the memo file in lower case only (calls.FPT)
  duplicate-names   python3-dbf refuses two fields of one name; dbfread keeps the last
  perl-empty-time   Perl XBase reads an all-zero date-time as Julian day 0 (4713 BC)
  no-nulls          dbfread and Perl XBase do not read _NullFlags: a NULL field gives its stored bytes
  perl-raw-date     Perl XBase gives a date that is not eight digits as its text ("0")
  perl-unsigned-integer  Perl XBase reads a negative Visual FoxPro integer as unsigned
  bad-date          dbfread and python3-dbf raise on a date or date-time they cannot convert
                    (python3-dbf: "00000000", "       0", a date-time of a NULL field); we read
                    no date
  dbase4-memo-length  dbfread reads a dBase IV memo past the length its block header gives
  record-flag       Perl XBase refuses a record whose flag byte is neither ' ' nor '*' (we
                    count it as deleted, as dbfread does)
Conventions that are not differences: python3-dbf does not trim text fields, Perl XBase
gives text as bytes (compared with ours encoded in the table's code page), currency as its
count of ten-thousandths and date-times as Unix seconds; a memo reference of 0 and an
empty memo are the same (no text).
"""
import datetime
import decimal
import json
import math
import os
import subprocess
import sys

CODEPAGES = ["cp437", "cp850", "cp852", "cp866", "cp1250", "cp1251", "cp1252"]
# Text each code page can hold, beside ASCII.
SAMPLES = {
    "cp437": "Ärger über Öl ñ", "cp850": "Ærø Ðå Øre ÿ", "cp852": "Łódź źdźbło Ř",
    "cp866": "Жук ёлка Щи", "cp1250": "Łódź Šťáva Ő", "cp1251": "Жук ёлка Ђ", "cp1252": "Müller € œ",
}


def make(folder):
    import dbf
    made = []
    for kind in ("db3", "fp", "vfp"):
        for cp in CODEPAGES:
            spec = "name C(20); amt N(10,2); qty N(6,0); born D; flag L; notes M"
            if kind == "vfp":
                spec += "; cnt I; price Y; stamp T; ratio B"
            name = os.path.join(folder, "%s_%s.dbf" % (kind, cp))
            table = dbf.Table(name, spec, dbf_type=kind, codepage=cp)
            table.open(dbf.READ_WRITE)
            text = SAMPLES[cp]
            rows = [
                (text[:20], 1.25, 42, datetime.date(2020, 1, 31), True, text + "\r\nsecond line"),
                ("plain", -7.5, -3, None, False, ""),
                (text[::-1][:20], 0, 0, datetime.date(1980, 1, 1), None, (text + " ") * 200),
                ("", None, None, datetime.date(1999, 12, 31), True, None),
                ("deleted", 1, 1, None, True, "gone"),
            ]
            extra = [
                (2147483000, decimal.Decimal("12.3456"), datetime.datetime(2021, 5, 6, 7, 8, 9), 0.5),
                (-3, decimal.Decimal("-0.0001"), None, -2.25),
                (0, decimal.Decimal("922337203685.4775"), datetime.datetime(2000, 2, 29, 23, 59, 59), 1e10),
                (None, None, datetime.datetime(1980, 1, 1), None),
                (1, 1, None, 1.0),
            ]
            for i, row in enumerate(rows):
                table.append(row + (extra[i] if kind == "vfp" else ()))
            with table[4] as rec:
                dbf.delete(rec)
            table.close()
            made.append(os.path.basename(name))
    for m in made:
        print("MADE " + m)


def raw_table(path, version, fields, records, mark=0x03, extra=b""):
    """A table written byte by byte: fields are (name, type, width, decimals, flags)."""
    import struct
    record_length = 1 + sum(f[2] for f in fields)
    header_length = 32 + 32 * len(fields) + 1 + (263 if version == 0x30 else 0)
    head = struct.pack("<BBBBIHH", version, 126 % 100, 1, 10, len(records), header_length, record_length)
    head += b"\0" * 17 + bytes([mark]) + b"\0\0"
    for name, ftype, width, decimals, flags in fields:
        head += name.encode("ascii").ljust(11, b"\0") + ftype.encode("ascii") + b"\0" * 4
        head += bytes([width, decimals, flags]) + b"\0" * 13
    head += b"\r" + b"\0" * (header_length - len(head) - 1)
    body = b"".join(b" " + r for r in records)
    with open(path, "wb") as f:
        f.write(head + body + b"\x1a")


def make_odd(folder):
    """Values other programs leave behind: empty and impossible dates, blank
    numbers, unset logicals, NULLs in Visual FoxPro."""
    import struct
    raw_table(os.path.join(folder, "odd_db3.dbf"), 0x03,
              [("NAME", "C", 8, 0, 0), ("BORN", "D", 8, 0, 0), ("AMT", "N", 8, 2, 0), ("FLAG", "L", 1, 0, 0)],
              [b"blanks  " + b"        " + b"        " + b" ",
               b"zeros   " + b"00000000" + b"    0.00" + b"?",
               b"zero    " + b"       0" + b"   -1.50" + b"T",
               b"leap    " + b"20240229" + b"12345.67" + b"F"], mark=0x02)
    fields = [("NAME", "C", 6, 0, 2), ("CNT", "I", 4, 0, 2), ("PRICE", "Y", 8, 0, 2),
              ("STAMP", "T", 8, 0, 2), ("BORN", "D", 8, 0, 2), ("_NullFlags", "0", 1, 0, 5)]
    rows = []
    for i, nulls in enumerate([0x00, 0x1F, 0x05, 0x0A]):
        rows.append(b"row %d " % i + struct.pack("<i", -i * 1000) + struct.pack("<q", i * 12345) +
                    struct.pack("<ii", 2459000 + i, i * 3600000) + b"2020010%d" % (i + 1) + bytes([nulls]))
    raw_table(os.path.join(folder, "odd_vfp.dbf"), 0x30, fields, rows)
    print("MADE odd_db3.dbf")
    print("MADE odd_vfp.dbf")


# ---- reading ---------------------------------------------------------------

def run_veltool(veltool, path):
    info = json.loads(subprocess.run([veltool, "info", "--json", path], capture_output=True, check=True).stdout)
    dump = subprocess.run([veltool, "dump", "--json", path], capture_output=True)
    records = [json.loads(line) for line in dump.stdout.decode("utf-8").splitlines()]
    return info, records, dump.returncode


def py_codec(page):
    return "utf-8" if page == 65001 else "cp%d" % page


def norm_ours(ftype, value, vfp):
    """Our JSON value in the comparison form."""
    if value is None:
        return None
    if isinstance(value, dict):
        return ("size", value["size"]) if "size" in value else ("hex", value["hex"])
    if ftype in "CVM" or (ftype not in "NFIYBO+DTL"):
        return value
    if ftype == "D":
        return ("date", value)
    if ftype == "T":
        return ("dt", value if "." in value else value + ".000")
    if ftype == "L":
        return value
    return ("num", float(value))


def norm_date(v):
    if v is None:
        return None
    if isinstance(v, datetime.datetime):
        return ("dt", v.strftime("%Y-%m-%dT%H:%M:%S.") + "%03d" % round(v.microsecond / 1000))
    if isinstance(v, datetime.date):
        return ("date", v.isoformat())
    return v


def norm_peer(ftype, value, vfp):
    """A value as dbfread or python3-dbf give it, in the comparison form."""
    if value is None:
        return None
    if isinstance(value, (datetime.date, datetime.datetime)):
        return norm_date(value)
    if isinstance(value, bool):
        return value
    if isinstance(value, (int, float, decimal.Decimal)):
        return ("num", float(value))
    if isinstance(value, bytes):
        if ftype in "GBW" and not (vfp and ftype == "B"):
            return ("size", len(value)) if value else None
        return ("hex", value.hex())
    if isinstance(value, str):
        return value.rstrip(" \0") if ftype == "C" else value
    # python3-dbf's own date and time types
    for attr in ("_date", "_datetime"):
        if hasattr(value, attr):
            inner = getattr(value, attr)
            return norm_date(inner) if inner is not None else None
    return repr(value)


def norm_perl(ftype, hexvalue, vfp, codec):
    if hexvalue is None:
        return None
    raw = bytes.fromhex(hexvalue)
    if ftype in "CVM" or ftype not in "NFIYBODTLG+":
        return ("bytes", raw.rstrip(b" \0") if ftype == "C" else raw)
    if ftype == "G":
        return ("size", len(raw)) if raw else None
    text = raw.decode("latin-1").strip()
    if text == "":
        return None
    if ftype == "D":
        return ("date", "%s-%s-%s" % (text[0:4], text[4:6], text[6:8])) if len(text) == 8 else text
    if ftype == "L":
        return text == "1"
    if ftype == "T" and vfp:
        seconds = decimal.Decimal(text)
        if seconds == -210866803200:  # Julian day 0, Perl XBase's reading of an all-zero date-time
            return "perl-julian-day-0"
        dt = datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=int(round(seconds * 1000)))
        return norm_date(dt)
    if ftype == "Y" and vfp:
        return ("num", float(decimal.Decimal(text) / 10000))
    return ("num", float(text))


def same(a, b):
    if a == b:
        return True
    if isinstance(a, tuple) and isinstance(b, tuple) and a[0] == b[0] == "num":
        return math.isclose(a[1], b[1], rel_tol=1e-12, abs_tol=1e-9)
    return False


class Report:
    def __init__(self, table):
        self.table = table
        self.lines = []

    def quirk(self, peer, name, detail):
        self.lines.append("QUIRK %s %s %s: %s" % (self.table, peer, name, detail))

    def diff(self, peer, where, ours, theirs):
        self.lines.append("DIFF %s %s %s: ours=%r theirs=%r" % (self.table, peer, where, ours, theirs))


def read_dbfread(path):
    import dbfread
    table = dbfread.DBF(path, load=True)
    return [list(r.items()) for r in table.records]


def read_dbf(path):
    import dbf
    table = dbf.Table(path)
    table.open(dbf.READ_ONLY)
    try:
        out = []
        for r in table:
            if dbf.is_deleted(r):
                continue
            out.append(list(zip(table.field_names, list(r))))
        return out
    finally:
        table.close()


def compare_table(veltool, perl, path):
    name = os.path.relpath(path)
    rep = Report(name)
    info, ours, status = run_veltool(veltool, path)
    vfp = info["version"] == 0x30
    codec = py_codec(info["codepage"])
    columns = [dict(f, index=i) for i, f in enumerate(info["fields"]) if not (vfp and f["type"] == "0")]
    names = [c["name"] for c in columns]
    duplicates = len(set(names)) != len(names)
    unmarked = info["codepage_mark"] == 0 or info["codepage_from"].startswith("unmarked")
    peers_read = []

    def check_rows(peer, rows, value_of):
        if len(rows) != len(ours):
            rep.diff(peer, "record count", len(ours), len(rows))
            return
        for rec, row in zip(ours, rows):
            values = list(rec["fields"].values())
            for i, col in enumerate(columns):
                where = "record %d field %s" % (rec["recno"], col["name"])
                mine = norm_ours(col["type"], values[i], vfp)
                theirs = value_of(i, col, row)
                if theirs is KeyError:
                    continue
                if mine is None and col.get("nullable") and peer in ("dbfread", "perl") and theirs is not None:
                    rep.quirk(peer, "no-nulls", where)
                    continue
                if peer == "perl" and col["type"] == "D" and mine is None and isinstance(theirs, str):
                    rep.quirk(peer, "perl-raw-date", "%s: %r" % (where, theirs))
                    continue
                if isinstance(theirs, tuple) and theirs[0] == "bytes":
                    # Perl XBase gives bytes: ours, encoded in the table's code page, must be them.
                    if mine is None and theirs[1] == b"":
                        continue
                    try:
                        mine = ("bytes", (mine or "").encode(codec))
                    except (UnicodeEncodeError, AttributeError):
                        pass
                if col["type"] == "M" and mine in (None, "") and theirs in (None, "", ("bytes", b"")):
                    continue
                if same(mine, theirs):
                    continue
                if (peer == "dbfread" and col["type"] == "M" and info["version"] == 0x8B and
                        isinstance(mine, str) and isinstance(theirs, str) and theirs.startswith(mine)):
                    rep.quirk(peer, "dbase4-memo-length", where)
                    continue
                if peer == "perl" and col["type"] == "T" and theirs == "perl-julian-day-0" and mine is None:
                    rep.quirk(peer, "perl-empty-time", where)
                    continue
                if (peer == "perl" and col["type"] == "I" and vfp and isinstance(mine, tuple) and
                        isinstance(theirs, tuple) and same(mine, ("num", theirs[1] - 2 ** 32))):
                    rep.quirk(peer, "perl-unsigned-integer", where)
                    continue
                rep.diff(peer, where, mine, theirs)

    # dbfread
    try:
        rows = read_dbfread(path)
        if duplicates:
            rep.quirk("dbfread", "duplicate-names", "keeps the last of the fields named alike")
        else:
            def dbfread_value(i, col, row):
                d = dict(row)
                key = next((k for k in d if k.upper() == col["name"].upper()), None)
                return norm_peer(col["type"], d[key], vfp) if key is not None else KeyError
            check_rows("dbfread", rows, dbfread_value)
            peers_read.append("dbfread")
    except UnicodeDecodeError as e:
        if unmarked or info["codepage"] in (620, 65001):
            rep.quirk("dbfread", "unmarked-text", str(e)[:80])
        else:
            rep.diff("dbfread", "table", "readable", "UnicodeDecodeError " + str(e)[:80])
    except ValueError as e:
        if "date" in str(e).lower():
            rep.quirk("dbfread", "bad-date", str(e)[:80])
        else:
            rep.diff("dbfread", "table", "readable", "ValueError " + str(e)[:80])
    except Exception as e:  # noqa: BLE001 - every other refusal is a difference
        rep.diff("dbfread", "table", "readable", type(e).__name__ + " " + str(e)[:80])

    # python3-dbf
    try:
        rows = read_dbf(path)

        def dbf_value(i, col, row):
            return norm_peer(col["type"], row[i][1], vfp) if i < len(row) else KeyError
        check_rows("python3-dbf", rows, dbf_value)
        peers_read.append("python3-dbf")
    except Exception as e:  # noqa: BLE001
        message = str(e)
        if "memo fields exist without memo file" in message:
            rep.quirk("python3-dbf", "memo-case", message[:80])
        elif "Duplicate field name" in message:
            rep.quirk("python3-dbf", "duplicate-names", message[:80])
        elif unmarked or info["codepage"] in (620, 65001) or isinstance(e, (TypeError, UnicodeDecodeError)):
            rep.quirk("python3-dbf", "unmarked-text", type(e).__name__ + " " + message[:80])
        elif isinstance(e, ValueError) and ("date" in message.lower() or "out of range" in message):
            rep.quirk("python3-dbf", "bad-date", message[:80])
        else:
            rep.diff("python3-dbf", "table", "readable", type(e).__name__ + " " + message[:80])

    # Perl XBase
    if perl:
        env = dict(os.environ, LC_ALL="C", LANG="C")
        res = subprocess.run(["perl", perl, path], capture_output=True, env=env)
        if res.returncode != 0:
            rep.diff("perl", "table", "readable", res.stderr.decode("latin-1")[:120])
        else:
            lines = [json.loads(x) for x in res.stdout.decode("utf-8").splitlines()]
            head, rows = lines[0], [r for r in lines[1:] if "error" not in r]
            live = {r["recno"] for r in ours}
            for r in lines[1:]:
                if "error" in r and r["recno"] not in live:
                    # A flag byte that is neither ' ' nor '*': we count the record as deleted.
                    rep.quirk("perl", "record-flag", "record %d: %s" % (r["recno"], r["error"][:60]))
                elif "error" in r:
                    rep.diff("perl", "record %d" % r["recno"], "readable", r["error"][:80])
            types = head["types"]

            def perl_value(i, col, row):
                # Perl XBase lists _NullFlags among the fields; skip to the column's own position.
                index = col["index"]
                return norm_perl(types[index], row["values"][index], vfp, codec) if index < len(row["values"]) \
                    else KeyError
            check_rows("perl", rows, perl_value)
            peers_read.append("perl")

    print("TABLE %s %d %s" % (name, len(ours), ",".join(peers_read) or "-"))
    for line in rep.lines:
        print(line)


def compare(veltool, perl, files):
    for path in files:
        compare_table(veltool, perl, path)


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2])
        make_odd(sys.argv[2])
    else:
        compare(sys.argv[2], sys.argv[3] if sys.argv[3] != "-" else None, sys.argv[4:])
