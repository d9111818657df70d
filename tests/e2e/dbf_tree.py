#!/usr/bin/python3
# Every table below a directory as an independent reader sees it (dbfread, code page 852): its
# fields, its live and deleted record counts and its live records, printed as one JSON object
# keyed by the table's path in lower case; a table given by its file name is read alone. A table the reader refuses carries "error" instead.
# The crash harness imports `read_table` to read only the tables whose bytes changed.
import json, sys, os
from dbfread import DBF


def read_table(p):
    try:
        t = DBF(p, encoding='cp852', char_decode_errors='replace', ignore_missing_memofile=True, load=True)
        return {"fields": [[x.name.upper(), x.type, x.length, x.decimal_count] for x in t.fields],
                "live": len(t.records), "deleted": len(t.deleted),
                "records": [{k.upper(): (v.isoformat() if hasattr(v, 'isoformat') else v) for k, v in r.items()} for r in t.records]}
    except Exception as e:
        return {"error": str(e)}


def main():
    root = sys.argv[1]
    out = {}
    # One table given by name is read alone, keyed by its file name.
    walk = [(os.path.dirname(root), [], [os.path.basename(root)])] if os.path.isfile(root) else os.walk(root)
    if os.path.isfile(root):
        root = os.path.dirname(root)
    for d, _, files in walk:
        for f in files:
            if not f.lower().endswith('.dbf'): continue
            p = os.path.join(d, f)
            out[os.path.relpath(p, root).lower()] = read_table(p)
    json.dump(out, sys.stdout, default=str)


if __name__ == "__main__":
    main()
