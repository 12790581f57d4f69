# SPDX-License-Identifier: MIT
"""What the benchmarks send, what the receiving window should record for it,
and how a recording is scored against that.

The receiving window records Return as LF, Tab as TAB, the named control keys
as <BackSpace> <Escape> <Delete> and Ctrl+x as <C-x>; scoring works on those
tokens so that one wrong control key counts as one changed character.
"""

import difflib
import math
import random
import os
import re
import sys

# The receiver's notation is the end-to-end tests' own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e_session import typed_as  # noqa: E402,F401

# Outside the US layout: Latin letters of Western and Central Europe, the
# euro, Greek and Cyrillic. More distinct ones than an X keymap has spare keys.
NON_US = ("ÄäÖöÜüßẞ€ñÑçÇéèêàâîôûÉÈáíóúÁÍÓÚøØåÅæÆłŁšŠžŽčČőűΩαβγδλπσφψЖжЯяШщ")

_TOKEN = re.compile(r"<(?:C-.|BackSpace|Escape|Delete|Backtab)>|.", re.S)


def ean13(number):
    """The EAN-13 code of a 12-digit number, check digit appended."""
    digits = f"{number:012d}"
    if len(digits) != 12:
        raise ValueError(f"{number} has more than 12 digits")
    weighted = sum(int(d) * (3 if i % 2 else 1) for i, d in enumerate(digits))
    return digits + str((10 - weighted % 10) % 10)


def ean13_scan(index):
    """One scan as a scanner sends it: 13 digits and CR."""
    return ean13(590123412345 + index) + "\r"


# Data elements of a driver-licence record, cycled until the record is long
# enough; values are made up.
_DL_ELEMENTS = [
    ("DCA", "C"), ("DCB", "NONE"), ("DCD", "NONE"), ("DBA", "08312030"),
    ("DCS", "PUBLIC"), ("DAC", "JOHN"), ("DAD", "QUINCY"), ("DBD", "08312022"),
    ("DBB", "08311977"), ("DBC", "1"), ("DAY", "BRO"), ("DAU", "070 IN"),
    ("DAG", "789 E OAK ST"), ("DAI", "ANYCITY"), ("DAJ", "CA"),
    ("DAK", "902230000  "), ("DAQ", "F987654321"), ("DCF", "83D9BN217QO983B1"),
    ("DCG", "USA"), ("DDE", "N"), ("DDF", "N"), ("DDG", "N"), ("DAZ", "BRO"),
    ("DCI", "ANYCITY,CA"), ("DCJ", "NONE"), ("DCK", "12345678900000000000"),
    ("DDA", "F"), ("DDB", "04012022"), ("DDK", "1"),
]


def driver_licence(length=1000):
    """A PDF417-style licence record of exactly `length` characters: the
    header with LF, RS and CR, elements ended by LF, subfiles ended by CR."""
    text = "@\n\x1e\rANSI 636014040002DL00410278ZC03190008DL"
    i = 0
    while True:
        code, value = _DL_ELEMENTS[i % len(_DL_ELEMENTS)]
        # A new subfile every 29 elements: CR ends the one before.
        field = code + value + ("\r" if i % len(_DL_ELEMENTS) == len(_DL_ELEMENTS) - 1 else "\n")
        if len(text) + len(field) >= length - 1:
            break
        text += field
        i += 1
    return text + "Z" * (length - 1 - len(text)) + "\r"


def international(length=5000, seed=1):
    """`length` characters, every fifth one outside the US layout, the rest
    printable ASCII (without '<', which the recording uses for key names),
    ending in CR."""
    rng = random.Random(seed)
    ascii_chars = [chr(c) for c in range(0x20, 0x7F) if chr(c) != "<"]
    out = []
    for i in range(length - 1):
        if i % 5 == 0:
            out.append(NON_US[(i // 5) % len(NON_US)])
        else:
            out.append(rng.choice(ascii_chars))
    # Counted from the first, so the closing CR takes an ASCII place and
    # exactly a fifth stays outside the layout.
    return "".join(out) + "\r"


def cjk(count=300):
    """`count` distinct CJK ideographs."""
    # A stride through the unified block spreads them over many rows.
    return "".join(chr(0x4E00 + i * 37) for i in range(count))


def tokens(recording):
    """A recording split into keys: a <name> is one key."""
    return _TOKEN.findall(recording)


def score(expected, received):
    """Counts of keys lost, extra (doubled or stray) and changed between two
    recordings, by their closest alignment."""
    a, b = tokens(expected), tokens(received)
    lost = extra = changed = 0
    matcher = difflib.SequenceMatcher(None, a, b, autojunk=False)
    for op, i1, i2, j1, j2 in matcher.get_opcodes():
        n, m = i2 - i1, j2 - j1
        if op == "replace":
            changed += min(n, m)
            lost += max(0, n - m)
            extra += max(0, m - n)
        elif op == "delete":
            lost += n
        elif op == "insert":
            extra += m
    return {"lost": lost, "extra": extra, "changed": changed}


def percentile(values, p):
    """Nearest-rank percentile: the smallest value with at least p percent of
    the values at or below it."""
    if not values:
        raise ValueError("no values")
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]
