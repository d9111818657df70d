#!/usr/bin/python3
# Damages a generated database (mkrelease, three firms or more) in every way the check names, one
# way per table, behind the tool's back as a crash, a full disk or another program leaves it:
#
#   firma2\ks_dok.dbf      the file cut short in its fifth record: the header counts 5 or more
#                          records the file no longer holds (records missing, a partial last one)
#   firma3\ks_kor.dbf      the header counts two records fewer than the file holds
#   str\euro.dbf           half a record after the last one, not counted
#   wersja.dbf             (the database's) no 0x1A after the last record
#   firma1\ks_dok.dbf      a number and a date that are none (a person decides)
#   firma1\klient\klient   a memo reference far past the memo file
#   firma3\uwagi           the memo file's next free block put back before its memos
#   firma2\uwagi           the memo file gone, its references left
#   firma3\st_mc.cdx       no index at all: garbage
#   firma1\ks_kor.dbf      a key changed behind the index's back
#   str\gus_w.cdx          deleted: the catalogue expects its tag
#   public\fpit.cdx        a tag of the catalogue missing (the index holds another tag only)
#
# Prints one JSON object: for each damaged table (its path relative to the database, lower case)
# the damage kinds the check must name and, where records are lost, what the header claimed and
# what whole records remain. Usage: damage.py DATABASE_DIR
import json, os, struct, sys


def header(path):
    with open(path, "rb") as f:
        h = f.read(32)
        count, hlen, rlen = struct.unpack("<IHH", h[4:12])
        fields, offset = [], 1
        f.seek(32)
        while True:
            d = f.read(32)
            if not d or d[0] == 0x0D:
                break
            name = d[:11].split(b"\0")[0].decode()
            ftype, flen = chr(d[11]), d[16]
            fields.append((name.upper(), ftype, flen, offset))
            offset += flen
    return count, hlen, rlen, fields


def field(fields, name):
    for n, t, l, o in fields:
        if n == name.upper():
            return t, l, o
    raise KeyError(name)


def put(path, offset, data):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def actual(root, rel):
    """The file of a lower-case relative path as it is spelt on disk."""
    path = root
    for part in rel.split("/"):
        names = {n.lower(): n for n in os.listdir(path)}
        path = os.path.join(path, names[part])
    return path


def main():
    root = sys.argv[1]
    done = {}

    # Cut short in the fifth record: four whole records stay, the header still counts them all.
    p = actual(root, "firma2/ks_dok.dbf")
    count, hlen, rlen, _ = header(p)
    assert count >= 6, "firma2\\ks_dok.dbf needs six records or more"
    os.truncate(p, hlen + 4 * rlen + rlen // 2)
    done["firma2/ks_dok.dbf"] = {"kinds": ["records_missing", "partial_record", "tag_faulty"],
                                 "claimed": count, "kept": 4}

    # Two records the header does not count.
    p = actual(root, "firma3/ks_kor.dbf")
    count, hlen, rlen, _ = header(p)
    put(p, 4, struct.pack("<I", count - 2))
    done["firma3/ks_kor.dbf"] = {"kinds": ["records_uncounted"], "kept": count}

    # Half a record after the last one, in place of the 0x1A.
    p = actual(root, "str/euro.dbf")
    count, hlen, rlen, _ = header(p)
    with open(p, "r+b") as f:
        f.truncate(hlen + count * rlen)
        f.seek(hlen + count * rlen)
        f.write(b" " * (rlen // 2))
    done["str/euro.dbf"] = {"kinds": ["partial_record"], "kept": count}

    # The database's version record without its end marker.
    p = actual(root, "wersja.dbf")
    count, hlen, rlen, _ = header(p)
    os.truncate(p, hlen + count * rlen)
    done["wersja.dbf"] = {"kinds": ["end_marker"]}

    # A number and a date that are none.
    p = actual(root, "firma1/ks_dok.dbf")
    count, hlen, rlen, fields = header(p)
    numeric = next(f for f in fields if f[1] == "N" and f[2] >= 6)
    date = next(f for f in fields if f[1] == "D")
    put(p, hlen + numeric[3], b"12X4".rjust(numeric[2]))
    put(p, hlen + rlen + date[3], b"2025AB31")
    done["firma1/ks_dok.dbf"] = {"kinds": ["bad_number", "bad_date"], "person": True,
                                 "field": numeric[0], "date_field": date[0]}

    # A memo reference far past the memo file, in the second record.
    p = actual(root, "firma1/klient/klient.dbf")
    count, hlen, rlen, fields = header(p)
    _, length, offset = field(fields, "UWAGI")
    put(p, hlen + rlen + offset, b"999999".rjust(length))
    done["firma1/klient/klient.dbf"] = {"kinds": ["memo_past_end"], "records": [2]}

    # The memo file's next free block put back to its first block: every memo lies in free space.
    p = actual(root, "firma3/uwagi.fpt")
    with open(p, "rb") as f:
        block = struct.unpack(">H", f.read(8)[6:8])[0]
    put(p, 0, struct.pack(">I", (512 + block - 1) // block))
    done["firma3/uwagi.dbf"] = {"kinds": ["memo_in_free_space"]}

    # The memo file gone; its references stay.
    p = actual(root, "firma2/uwagi.dbf")
    os.remove(actual(root, "firma2/uwagi.fpt"))
    count, hlen, rlen, fields = header(p)
    _, length, offset = field(fields, "TRESC")
    refs = []
    with open(p, "rb") as f:
        for r in range(count):
            f.seek(hlen + r * rlen + offset)
            if f.read(length).strip(b" 0"):
                refs.append(r + 1)
    assert refs, "firma2\\uwagi.dbf needs memo texts"
    done["firma2/uwagi.dbf"] = {"kinds": ["memo_file_missing", "memo_past_end"], "records": refs}

    # An index that is no index.
    with open(actual(root, "firma3/st_mc.cdx"), "wb") as f:
        f.write(b"x" * 1536)
    done["firma3/st_mc.dbf"] = {"kinds": ["index_unreadable"]}

    # A key changed behind the index's back: the first record's lpp.
    p = actual(root, "firma1/ks_kor.dbf")
    count, hlen, rlen, fields = header(p)
    _, length, offset = field(fields, "LPP")
    put(p, hlen + offset, b"ZZZZ".ljust(length))
    done["firma1/ks_kor.dbf"] = {"kinds": ["tag_faulty"]}

    # The index the catalogue expects, gone.
    os.remove(actual(root, "str/gus_w.cdx"))
    done["str/gus_w.dbf"] = {"kinds": ["tag_missing"]}

    # The index holds another table's tag, not the catalogue's: copied from a table with other tags.
    with open(actual(root, "public/own.cdx"), "rb") as f:
        other = f.read()
    with open(actual(root, "public/fpit.cdx"), "wb") as f:
        f.write(other)
    done["public/fpit.dbf"] = {"kinds": ["tag_missing"]}

    json.dump(done, sys.stdout, indent=1)


if __name__ == "__main__":
    main()
