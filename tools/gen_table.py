#!/usr/bin/env python3
"""Generate mac2cp850.tab and mac2cp850.translit beside it.

Byte v of the table replaces a name escape ":XX" of value v; 0 keeps the
escape unchanged. Only Mac Roman's upper half is mapped: of the ASCII range
a Mac file server escapes only '/', so an ASCII escape such as the ":30" of
"Meeting 10:30" is ordinary text and stays. The exact pairs come from
Python's mac_roman and cp850 codecs, so nothing here is a hand-typed
character mapping except the few best-fit choices below.

The transliterations, used only with --transliterate, replace an escape the
table keeps by a few ASCII bytes ("EUR" for the euro sign). They are glibc's
own, from `iconv -f MACINTOSH -t CP850//TRANSLIT` in the C.UTF-8 locale,
kept only where every byte is one a name on code page 850 can hold.

Usage:
  gen_table.py [OUT]        write the table to OUT (default: data/mac2cp850.tab)
                            and the transliterations beside it, OUT's name
                            with the suffix .translit
  gen_table.py --check FILE exit 0 if FILE and the .translit file beside it
                            are byte-identical to the generated ones, else 1
  gen_table.py --markdown   print the table of non-exact entries for docs
"""

import argparse
import itertools
import os
import pathlib
import subprocess
import sys
import unicodedata

REPO = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_OUT = REPO / "data" / "mac2cp850.tab"
TRANSLIT_SUFFIX = ".translit"

SLASH = 0x2F
# A decoded byte that is ':' or a hex digit can start or complete an escape,
# which a rerun would then decode again.
HEX_DIGITS = set(b"0123456789abcdefABCDEF")
ESCAPE_TEXT = HEX_DIGITS | {0x3A}
# Clients on code page 850 cannot use these in names, so no best fit may
# produce one (a '/' would also split the name into a path).
NOT_IN_NAMES = set(b'\\/:*?"<>|')

# Mac Roman characters that cp850 lacks but that have one printable
# stand-in with the same meaning: code -> (byte, reason).
BEST_FIT = {
    0xD0: (0x2D, "en dash; '-' is the usual stand-in for any dash"),
    0xD1: (0x2D, "em dash; '-' is the usual stand-in for any dash"),
    0xD4: (0x27, "left single quote; the straight quote is its plain form"),
    0xD5: (0x27, "right single quote, also the typeset apostrophe"),
    0xF6: (0x5E, "spacing circumflex; '^' is the same accent in ASCII"),
    0xF7: (0x7E, "spacing tilde; '~' is the same accent in ASCII"),
}

# Why every other character cp850 lacks keeps its escape. Only used for
# the docs, but listing each code lets the script catch a codec change.
NO_FIT = [
    ((0xD2, 0xD3, 0xE3), "the stand-in would be '\"', which names cannot hold"),
    ((0xFD,), "looks like '\"', which names cannot hold"),
    ((0xDC, 0xDD), "the stand-in would be '<' or '>', which names cannot hold"),
    ((0xB2, 0xB3), "needs two characters, and '<' / '>' cannot be in names"),
    ((0xDA,), "the stand-in would be '/', the path separator"),
    ((0xE2,), "a quotation mark that looks like a comma; no safe stand-in"),
    ((0xCE, 0xCF, 0xDE, 0xDF), "ligature; needs two letters"),
    ((0xC9,), "needs three dots; one '.' would lose the meaning"),
    ((0xD9,), "dropping the diaeresis would change the letter"),
    ((0xDB,), "cp850 has no euro sign; 'E' alone would lose the meaning"),
    ((0xF9, 0xFA, 0xFB, 0xFE, 0xFF), "cp850 has no spacing form of this accent"),
    ((0xA0, 0xE0), "no dagger in cp850"),
    ((0xA5, 0xD7), "symbol with no equivalent in cp850"),
    ((0xAA, 0xE4), "sign with no one-character stand-in"),
    ((0xAD, 0xB0, 0xB6, 0xB7, 0xB8, 0xBA, 0xC3, 0xC5, 0xC6),
     "mathematical sign with no equivalent in cp850"),
    ((0xB9, 0xBD), "Greek letter; cp850 has none"),
    ((0xF0,), "the maker's logo, a private-use character; nothing like it"),
]
NO_FIT_REASON = {code: why for codes, why in NO_FIT for code in codes}

EXACT_COUNT = 82
SAMPLES = {0x8E: 0x82, 0x80: 0x8E, 0x8A: 0x84, 0x85: 0x99,
           0x9A: 0x94, 0x86: 0x9A, 0x9F: 0x81, 0xA7: 0xE1}

# The bytes a transliteration may hold: printable ASCII that a name on code
# page 850 can hold anywhere, the blank too, but not at either end. These are
# the rules the program applies when it reads the file.
TRANSLIT_BYTES = set(range(0x20, 0x7F)) - NOT_IN_NAMES
TRANSLIT_MAX = 4
# Transliterations chosen other than glibc's: code -> (bytes, or None for
# none, reason). Listed in docs/table.md.
TRANSLIT_CHOSEN = {}
TRANSLIT_COUNT = 14
TRANSLIT_SAMPLES = {0xC9: b"...", 0xDB: b"EUR", 0xCF: b"oe", 0xAA: b"(TM)"}


def check(cond, msg):
    # Not `assert`: a broken table must fail even under python3 -O.
    if not cond:
        sys.exit("gen_table.py: internal check failed: " + msg)


def rerun_breakers(table):
    """Entries whose byte a second decoding could read as part of an escape."""
    return ["0x%02X -> %r" % (v, chr(b)) for v, b in enumerate(table)
            if b in ESCAPE_TEXT]


def mac_char(v):
    return bytes([v]).decode("mac_roman")


def cp850_byte(ch):
    """The cp850 byte for ch, or None when cp850 lacks it."""
    try:
        b = ch.encode("cp850")
    except UnicodeEncodeError:
        return None
    return b[0] if len(b) == 1 else None


def build():
    """Return (table, kinds) where kinds[v] is 'exact', 'best' or 'none'."""
    table = bytearray(256)
    kinds = {}
    for v in range(0x80, 0x100):
        b = cp850_byte(mac_char(v))
        if b is not None:
            check(v not in BEST_FIT and v not in NO_FIT_REASON,
                  "0x%02X has an exact match but is listed as a fit" % v)
            table[v], kinds[v] = b, "exact"
        elif v in BEST_FIT:
            check(v not in NO_FIT_REASON, "0x%02X listed twice" % v)
            table[v], kinds[v] = BEST_FIT[v][0], "best"
        else:
            check(v in NO_FIT_REASON, "0x%02X has no match and no reason" % v)
            kinds[v] = "none"

    check(len(table) == 256, "table is not 256 bytes")
    check(SLASH not in table, "table contains 0x2F")
    breakers = rerun_breakers(table)
    check(not breakers, "a second decoding would change names: " +
          ", ".join(breakers))
    check(not any(table[:0x80]), "ASCII escape mapped: " + ", ".join(
        "0x%02X" % v for v in range(0x80) if table[v]))
    exact = [v for v in kinds if kinds[v] == "exact"]
    check(len(exact) == EXACT_COUNT,
          "%d exact pairs, expected %d" % (len(exact), EXACT_COUNT))
    check(len(set(table[v] for v in exact)) == EXACT_COUNT,
          "two Mac codes share one cp850 byte")
    for v, b in SAMPLES.items():
        check(table[v] == b, "0x%02X -> 0x%02X, expected 0x%02X"
              % (v, table[v], b))
    for v, (b, _) in BEST_FIT.items():
        check(0x20 < b < 0x7F and b not in NOT_IN_NAMES,
              "best fit for 0x%02X is not a printable name character" % v)
    return bytes(table), kinds


def translit_allowed(rep):
    return (1 <= len(rep) <= TRANSLIT_MAX and set(rep) <= TRANSLIT_BYTES
            and rep[0] != 0x20 and rep[-1] != 0x20)


def glibc_translit(codes):
    """code -> what glibc's iconv gives for it, for the Mac codes `codes`."""
    # The transliteration depends on the locale; C.UTF-8 is built into glibc.
    env = dict(os.environ, LC_ALL="C.UTF-8")
    try:
        run = subprocess.run(["iconv", "-f", "MACINTOSH", "-t", "CP850//TRANSLIT"],
                             input=b"\n".join(bytes([v]) for v in codes) + b"\n",
                             capture_output=True, env=env, check=False)
    except OSError as e:
        sys.exit("gen_table.py: cannot run iconv: " + e.strerror)
    lines = run.stdout.split(b"\n")[:-1]
    check(run.returncode == 0 and len(lines) == len(codes),
          "iconv failed: " + run.stderr.decode(errors="replace").strip())
    return dict(zip(codes, lines))


def can_complete(out, rep):
    """Whether rep, put after `out`, could complete an escape (see decide.cpp)."""
    if len(out) >= 2 and out[-2] == 0x3A and out[-1] in HEX_DIGITS:
        return rep[0] in HEX_DIGITS
    if out[-1:] == b":":
        return rep[0] in HEX_DIGITS and (len(rep) == 1 or rep[1] in HEX_DIGITS)
    return False


def decode(name, table, translit):
    """`name` as the program decodes it; an empty `translit` is a run without
    --transliterate."""
    out = bytearray()
    used = False
    i = 0
    while i < len(name):
        esc = name[i:i + 3]
        if not (len(esc) == 3 and esc[0] == 0x3A and esc[1] in HEX_DIGITS
                and esc[2] in HEX_DIGITS):
            out.append(name[i])
            i += 1
            continue
        v = int(esc[1:], 16)
        rep = translit.get(v)
        if v not in (0x2E, 0x2F) and table[v] not in (0, SLASH):
            out.append(table[v])
        elif rep is not None and not can_complete(out, rep):
            out += rep
            used = True
        else:
            out += esc
        i += 3
    if used and (len(out) > 255 or out[-1] in b". "):
        return decode(name, table, {})
    return bytes(out)


def rerun_changes(table, translit):
    """Names from pieces that stress the joints whose second decoding differs
    from the first, with the transliterations and without."""
    pieces = [b":", b"8", b"E", b"x", b".", b" "] + [
        b":%02x" % v for v in sorted(translit) + [0x8E, 0xD0, 0xB0, 0x2F, 0x3A]]
    bad = []
    for n in range(1, 4):
        for parts in itertools.product(pieces, repeat=n):
            name = b"".join(parts)
            for t in (translit, {}):
                once = decode(name, table, t)
                if decode(once, table, t) != once:
                    bad.append(name)
    return bad


def build_translit(table, kinds):
    """Return code -> transliteration for the Mac codes the table keeps."""
    kept = [v for v in range(0x80, 0x100) if kinds[v] == "none"]
    translit = {}
    for v, rep in glibc_translit(kept).items():
        if v in TRANSLIT_CHOSEN:
            rep = TRANSLIT_CHOSEN[v][0]
        if rep is not None and translit_allowed(rep):
            translit[v] = rep
    check(all(v in kept for v in TRANSLIT_CHOSEN),
          "a chosen transliteration for a code the table converts")
    check(len(translit) == TRANSLIT_COUNT,
          "%d transliterations, expected %d (is the C.UTF-8 locale there?)"
          % (len(translit), TRANSLIT_COUNT))
    for v, rep in TRANSLIT_SAMPLES.items():
        check(translit.get(v) == rep, "0x%02X -> %r, expected %r"
              % (v, translit.get(v), rep))
    bad = rerun_changes(table, translit)
    check(not bad, "a second decoding would change names: %r" % bad[:5])
    return translit


def translit_text(translit):
    return b"".join(b"%02X %s\n" % (v, rep) for v, rep in sorted(translit.items()))


def markdown(table, kinds, translit):
    lines = [
        "| Code | Mac | Unicode name | Byte | --transliterate | Why |",
        "| --- | --- | --- | --- | --- | --- |",
    ]
    for v in range(0x80, 0x100):
        if kinds[v] == "exact":
            continue
        ch = mac_char(v)
        name = unicodedata.name(ch, "(private use, no name)")
        if kinds[v] == "best":
            byte = "0x%02X `%s`" % (table[v], chr(table[v]))
            why = BEST_FIT[v][1]
        else:
            byte = "0 — escape kept"
            why = NO_FIT_REASON[v]
        rep = "`%s`" % translit[v].decode() if v in translit else "—"
        if v in TRANSLIT_CHOSEN:
            why += "; transliteration: " + TRANSLIT_CHOSEN[v][1]
        mac = "U+%04X" % ord(ch) if name.startswith("(") else ch
        lines.append("| 0x%02X | %s | %s | %s | %s | %s |"
                     % (v, mac, name, byte, rep, why.replace("|", "\\|")))
    return "\n".join(lines) + "\n"


def check_file(path, want, what):
    """0 if the file at `path` holds `want`, else 1 with a message."""
    try:
        have = pathlib.Path(path).read_bytes()
    except OSError as e:
        print("%s: cannot read: %s" % (path, e.strerror), file=sys.stderr)
        return 1
    if have == want:
        return 0
    diff = next((i for i, (a, b) in enumerate(zip(have, want)) if a != b),
                min(len(have), len(want)))
    print("%s: differs from the generated %s (%d bytes, first difference at "
          "offset 0x%02X)" % (path, what, len(have), diff), file=sys.stderr)
    return 1


def main():
    ap = argparse.ArgumentParser(
        description="Generate the Mac Roman -> code page 850 table.")
    g = ap.add_mutually_exclusive_group()
    g.add_argument("--check", metavar="FILE",
                   help="exit 0 if FILE and the .translit file beside it "
                   "equal the generated ones, else 1")
    g.add_argument("--markdown", action="store_true",
                   help="print the non-exact rows for docs/table.md")
    ap.add_argument("out", nargs="?", metavar="OUT",
                    help="where to write the table, the transliterations "
                    "beside it (default: %s)"
                    % DEFAULT_OUT.relative_to(REPO))
    args = ap.parse_args()
    if args.out and (args.check or args.markdown):
        ap.error("OUT cannot be combined with --check or --markdown")

    table, kinds = build()
    translit = build_translit(table, kinds)

    if args.markdown:
        sys.stdout.write(markdown(table, kinds, translit))
        return 0
    if args.check:
        path = pathlib.Path(args.check)
        return (check_file(path, table, "table")
                | check_file(path.with_suffix(TRANSLIT_SUFFIX),
                             translit_text(translit), "transliterations"))

    out = pathlib.Path(args.out) if args.out else DEFAULT_OUT
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(table)
    out.with_suffix(TRANSLIT_SUFFIX).write_bytes(translit_text(translit))
    return 0


if __name__ == "__main__":
    sys.exit(main())
