#!/usr/bin/env python3
"""Writes src/paradox/format/collation_tables.cpp from the listing of language-driver weights
in scripts/collations/*.txt.

Run from the repository root: python3 scripts/gen_collations.py

Listing format (one driver per file; '#' starts a comment):
  name NAME              sortOrderID as headers store it
  id 0xNN                header byte 0x29
  codepage N             the driver's code page (upper case is derived from it)
  family F               paradox (the default), dbase or borland: a header without a
                         name finds a Paradox driver of its byte before any other
  like NAME              the weights (primary to ignore, and reverse) of the listing
                         NAME.txt: drivers that share an order but not an upper case
  reverse                accents (secondary weights) compare from the end of the text
  primary   <weights>    every byte 0..255 must get a primary weight
  secondary <weights>    bytes not listed have none
  tertiary  <weights>    bytes not listed have none
  expand B>S             byte B sorts as itself followed by byte S
  contract B1,B2=P,S,T   the pair sorts as one element with these weights
  ignore B ...           bytes that only break ties
  upper B>U ...          upper-case map entries that differ from the code page's own
  upperbase ascii        start the upper-case map from a-z only (drivers whose map is
                         not the code page's own; list the rest with "upper")
A weight section runs over several lines until the next keyword. Weights:
  B=V          byte B gets V
  B-E=V+       bytes B..E get V, V+1, ...
  B-E=V        bytes B..E all get V
  B-E=@S       bytes B..E get the weights of bytes S.. (already given)
  B:V,V,...    consecutive bytes from B
A weight is the driver's rank on its level counted from 0, or '-' for none; it is
stored plus one, so 0 means "no weight".
"""
import codecs
import glob
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEYWORDS = {"name", "id", "codepage", "family", "like", "reverse", "primary", "secondary", "tertiary",
            "expand", "contract", "ignore", "upper", "upperbase"}


def num(s):
    return int(s, 0)


def weight(s):
    if s == "-":
        return 0
    v = int(s) + 1
    if v > 254:
        raise ValueError("weight %s too large" % s)
    return v


def parse_weights(tokens, where):
    w = [None] * 256
    for t in tokens:
        try:
            if ":" in t:
                b, vals = t.split(":")
                b = num(b)
                for k, v in enumerate(vals.split(",")):
                    w[b + k] = weight(v)
                continue
            lhs, rhs = t.split("=")
            if "-" in lhs:
                b, e = (num(x) for x in lhs.split("-"))
            else:
                b = e = num(lhs)
            if rhs.startswith("@"):
                s = num(rhs[1:])
                for k in range(e - b + 1):
                    if w[s + k] is None:
                        raise ValueError("copy from unset byte %d" % (s + k))
                    w[b + k] = w[s + k]
            elif rhs.endswith("+"):
                v = int(rhs[:-1])
                for k in range(e - b + 1):
                    w[b + k] = weight(str(v + k))
            else:
                for k in range(b, e + 1):
                    w[k] = weight(rhs)
        except (ValueError, IndexError) as ex:
            sys.exit("%s: bad weight token %r: %s" % (where, t, ex))
    return w


def derived_upper(cp):
    up = list(range(256))
    for b in range(256):
        try:
            ch = bytes([b]).decode("cp%d" % cp)
        except UnicodeDecodeError:
            continue
        u = ch.upper()
        try:
            ub = u.encode("cp%d" % cp)
        except UnicodeEncodeError:
            continue
        if len(ub) == 1:
            up[b] = ub[0]
    return up


def read_weights(d, sections, path):
    prim = parse_weights(sections.get("primary", []), path + " primary")
    missing = [b for b in range(256) if prim[b] is None]
    if missing:
        sys.exit("%s: bytes without a primary weight: %s" % (path, missing))
    d["primary"] = prim
    for lvl in ("secondary", "tertiary"):
        if lvl in sections:
            w = parse_weights(sections[lvl], path + " " + lvl)
            d[lvl] = [x or 0 for x in w]
        else:
            d[lvl] = None


def parse(path):
    d = {"family": "paradox", "reverse": False, "expand": [], "contract": [], "ignore": [], "upperfix": {}, "upperbase": "codepage"}
    sections = {}
    current = None
    for line in open(path, encoding="ascii"):
        line = line.split("#", 1)[0].split()
        if not line:
            continue
        if line[0] in KEYWORDS:
            key, rest = line[0], line[1:]
            current = None
            if key == "name":
                d["name"] = rest[0]
            elif key == "id":
                d["id"] = num(rest[0])
            elif key == "codepage":
                d["cp"] = num(rest[0])
            elif key == "family":
                if rest[0] not in ("paradox", "dbase", "borland"):
                    sys.exit("%s: unknown family %s" % (path, rest[0]))
                d["family"] = rest[0]
            elif key == "like":
                d["like"] = rest[0]
            elif key == "reverse":
                d["reverse"] = True
            elif key in ("primary", "secondary", "tertiary"):
                current = sections.setdefault(key, [])
                current.extend(rest)
            elif key == "expand":
                for t in rest:
                    b, s = t.split(">")
                    d["expand"].append((num(b), num(s)))
            elif key == "contract":
                for t in rest:
                    pair, ws = t.split("=")
                    b1, b2 = (num(x) for x in pair.split(","))
                    p, s, tt = (weight(x) for x in ws.split(","))
                    d["contract"].append((b1, b2, p, s, tt))
            elif key == "ignore":
                d["ignore"].extend(num(t) for t in rest)
            elif key == "upperbase":
                d["upperbase"] = rest[0]
            elif key == "upper":
                for t in rest:
                    b, u = t.split(">")
                    d["upperfix"][num(b)] = num(u)
        elif current is not None:
            current.extend(line)
        else:
            sys.exit("%s: text outside a section: %s" % (path, " ".join(line)))
    if "like" in d:
        if sections or d["expand"] or d["contract"] or d["ignore"] or d["reverse"]:
            sys.exit("%s: 'like' takes every weight from %s; list none here" % (path, d["like"]))
        base = parse(os.path.join(os.path.dirname(path), d["like"] + ".txt"))
        for k in ("primary", "secondary", "tertiary", "expand", "contract", "ignore", "reverse"):
            d[k] = base[k]
    else:
        read_weights(d, sections, path)
    if d["upperbase"] == "ascii":
        up = [b - 32 if 97 <= b <= 122 else b for b in range(256)]
    else:
        up = derived_upper(d["cp"])
    for b, u in d["upperfix"].items():
        up[b] = u
    d["upper"] = up
    return d


def c_array(name, values):
    rows = []
    for i in range(0, 256, 16):
        rows.append("    " + ", ".join("%3d" % v for v in values[i:i + 16]) + ",")
    return "const uint8_t %s[256] = {\n%s\n};\n" % (name, "\n".join(rows))


def main():
    files = sorted(glob.glob(os.path.join(ROOT, "scripts", "collations", "*.txt")))
    drivers = [parse(f) for f in files]
    # Paradox DOS drivers first, then Paradox Windows drivers, then the dBASE and Borland
    # ones: a header without a name (level 3, written by the DOS engine) finds the
    # Paradox DOS driver of a shared byte.
    drivers.sort(key=lambda d: (d["family"] != "paradox", d["cp"] >= 1250, d["name"].lower()))
    out = ["// Generated by scripts/gen_collations.py from scripts/collations/*.txt. Do not edit.",
           '#include "paradox/format/collation_tables.h"', "", "namespace paradox::coll {", "namespace {", ""]
    entries = []
    for i, d in enumerate(drivers):
        tag = "k%d" % i
        out.append("// %s (0x%02X, code page %d)" % (d["name"], d["id"], d["cp"]))
        out.append(c_array(tag + "Primary", d["primary"]))
        sec = d["secondary"] or [0] * 256
        out.append(c_array(tag + "Secondary", sec))
        ter = "nullptr"
        if d["tertiary"] and any(d["tertiary"]):
            out.append(c_array(tag + "Tertiary", d["tertiary"]))
            ter = tag + "Tertiary"
        out.append(c_array(tag + "Upper", d["upper"]))
        exp = con = ign = "nullptr"
        if d["expand"]:
            out.append("const Expansion %sExpand[] = {%s};" %
                       (tag, ", ".join("{%d, %d}" % e for e in d["expand"])))
            exp = tag + "Expand"
        if d["contract"]:
            out.append("const Contraction %sContract[] = {%s};" %
                       (tag, ", ".join("{%d, %d, %d, %d, %d}" % c for c in d["contract"])))
            con = tag + "Contract"
        if d["ignore"]:
            out.append("const uint8_t %sIgnore[] = {%s};" % (tag, ", ".join(str(b) for b in d["ignore"])))
            ign = tag + "Ignore"
        out.append("")
        entries.append('    {"%s", 0x%02X, %d, %s, %sPrimary, %sSecondary, %s, %sUpper, %s, %d, %s, %d, %s, %d},' %
                       (d["name"], d["id"], d["cp"], "true" if d["reverse"] else "false", tag, tag, ter, tag,
                        exp, len(d["expand"]), con, len(d["contract"]), ign, len(d["ignore"])))
    out.append("}  // namespace")
    out.append("")
    out.append("const DriverTable kDrivers[] = {")
    out.extend(entries)
    out.append("};")
    out.append("const size_t kDriverCount = sizeof kDrivers / sizeof kDrivers[0];")
    out.append("")
    out.append("}  // namespace paradox::coll")
    with open(os.path.join(ROOT, "src", "paradox", "format", "collation_tables.cpp"), "w") as f:
        f.write("\n".join(out) + "\n")
    print("%d drivers: %s" % (len(drivers), ", ".join(d["name"] for d in drivers)))


if __name__ == "__main__":
    main()
