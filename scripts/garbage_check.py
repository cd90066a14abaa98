#!/usr/bin/env python3
"""Garbage stays out of the table: on every unencrypted table of a folder with more than
one data block, each chained block (up to --blocks of them) is damaged in a copy of the
family, the copy verified and rebuilt, and the rebuilt rows compared with the original's.

  garbage_check.py REKASTO TABLES_DIR [--blocks N] [--seed S] [--keep DIR]

Damages: "random" (the block's bytes after its 6-byte header random) and "torn" (the
second half of the block zeroed; only where that changes a record). For each it checks
that verify reports the block (block.implausible, or a value error there), that no row
enters the rebuilt table that a rebuild of the original does not hold, and that every
row of the other blocks is kept (rows as a rebuild writes them: a family without its .MB
keeps blob leaders only). Prints one line per failure and a summary; exit 1 when any failed.
"""
import argparse
import collections
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile


def run(args):
    p = subprocess.run(args, capture_output=True)
    return p.returncode, p.stdout.decode("utf-8", "replace")


def rows(rekasto, db):
    """The table's rows, as a multiset of their JSON texts (strict reader)."""
    rc, out = run([rekasto, "dump", "--format", "json", db])
    if rc not in (0, 1):
        return None
    return collections.Counter(l for l in out.splitlines() if l.startswith("{"))


def rebuilt_rows(rekasto, db):
    """The rows a rebuild of a copy of the family keeps: what the table holds as a rebuild
    writes it (a family without its .MB keeps blob leaders only)."""
    tmp = tempfile.mkdtemp(prefix="garbage-")
    try:
        for m in family(db):
            shutil.copy(m, tmp)
        copy = os.path.join(tmp, os.path.basename(db))
        run([rekasto, "rebuild", copy])
        return rows(rekasto, copy)
    finally:
        shutil.rmtree(tmp)


def info(db):
    with open(db, "rb") as f:
        head = f.read(0x78)
    rs, hs = struct.unpack_from("<HH", head, 0)
    bs = head[5] * 1024
    first = struct.unpack_from("<H", head, 0x0E)[0]
    return rs, hs, bs, first


def chain(path, rs, hs, bs, first):
    out, seen, b = [], set(), first
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        while b and b not in seen and hs + b * bs <= size:
            seen.add(b)
            f.seek(hs + (b - 1) * bs)
            nxt, _, add = struct.unpack("<HHh", f.read(6))
            out.append((b, add // rs + 1 if rs else 0))
            b = nxt
    return out


def family(db):
    d, base = os.path.split(db)
    stem = os.path.splitext(base)[0].lower()
    return [os.path.join(d, n) for n in os.listdir(d)
            if os.path.splitext(n)[0].lower() == stem and os.path.isfile(os.path.join(d, n))]


def encrypted(rekasto, db):
    rc, out = run([rekasto, "info", db])
    return "Encrypted:      yes" in out or rc not in (0, 1)


def damage(db, hs, bs, block, kind, rng):
    with open(db, "r+b") as f:
        at = hs + (block - 1) * bs
        if kind == "random":
            f.seek(at + 6)
            f.write(bytes(rng.getrandbits(8) for _ in range(bs - 6)))
        else:
            f.seek(at + bs // 2)
            f.write(bytes(bs - bs // 2))


def empty_block(db, hs, bs, block, rs):
    """The same table with the block's records gone: the rows of the other blocks."""
    with open(db, "r+b") as f:
        f.seek(hs + (block - 1) * bs + 4)
        f.write(struct.pack("<h", -rs))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("rekasto")
    ap.add_argument("tables")
    ap.add_argument("--blocks", type=int, default=3)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    stats = collections.Counter()
    failures = []
    dbs = sorted(os.path.join(d, n) for d, _, ns in os.walk(a.tables) for n in ns
                 if n.lower().endswith(".db") and ".rekasto" not in d)
    for db in dbs:
        rs, hs, bs, first = info(db)
        if rs == 0 or bs == 0 or encrypted(a.rekasto, db):
            continue
        blocks = chain(db, rs, hs, bs, first)
        if len(blocks) < 2:
            continue
        original = rebuilt_rows(a.rekasto, db)
        if original is None:
            continue
        stats["tables"] += 1
        picks = blocks if len(blocks) <= a.blocks else rng.sample(blocks, a.blocks)
        for block, count in picks:
            for kind in ("random", "torn"):
                if kind == "torn" and 6 + count * rs <= bs // 2:
                    continue  # the tear reaches no record
                tmp = tempfile.mkdtemp(prefix="garbage-")
                try:
                    for m in family(db):
                        shutil.copy(m, tmp)
                    copy = os.path.join(tmp, os.path.basename(db))
                    rest = os.path.join(tmp, "rest")
                    os.mkdir(rest)
                    for m in family(db):
                        shutil.copy(m, rest)
                    rest_db = os.path.join(rest, os.path.basename(db))
                    empty_block(rest_db, hs, bs, block, rs)
                    others = rebuilt_rows(a.rekasto, rest_db)
                    with open(copy, "rb") as f:
                        before = f.read()
                    damage(copy, hs, bs, block, kind, rng)
                    with open(copy, "rb") as f:
                        at = hs + (block - 1) * bs + 6
                        if f.read()[at:at + count * rs] == before[at:at + count * rs]:
                            continue  # the damage changed no record's bytes
                    name = f"{os.path.relpath(db, a.tables)} block {block} ({count} records) {kind}"
                    stats[kind] += 1
                    rc, out = run([a.rekasto, "verify", "--json", copy])
                    found = json.loads(out)["tables"][0]["findings"] if out.startswith("{") else []
                    reported = any(f.get("block") == block and f["severity"] == "error" and
                                   (f["check"] == "block.implausible" or f["check"].startswith("value."))
                                   for f in found)
                    if not reported:
                        failures.append(f"{name}: verify does not report the block")
                    else:
                        stats[kind + " reported"] += 1
                    rc, out = run([a.rekasto, "rebuild", "--json", copy])
                    if rc == 2:
                        failures.append(f"{name}: rebuild failed: {out[:200]}")
                        continue
                    r = json.loads(out)["tables"][0]
                    stats[kind + " implausible"] += r.get("implausible", 0)
                    rebuilt = rows(a.rekasto, copy)
                    invented = rebuilt - original
                    lost = others - rebuilt if others is not None else collections.Counter()
                    if invented:
                        failures.append(f"{name}: {sum(invented.values())} row(s) not in the "
                                        f"original, e.g. {next(iter(invented))[:160]}")
                    else:
                        stats[kind + " nothing invented"] += 1
                    if lost:
                        failures.append(f"{name}: {sum(lost.values())} row(s) of other blocks "
                                        f"lost, e.g. {next(iter(lost))[:160]}")
                    else:
                        stats[kind + " others kept"] += 1
                finally:
                    shutil.rmtree(tmp)
    for f in failures:
        print("FAIL", f)
    print(json.dumps(stats, sort_keys=True))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
