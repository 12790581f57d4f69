# SPDX-License-Identifier: MIT
"""The soak and fuzzing figures live in sections of their own: each script
writes its section to a file in bench/ and into docs/BENCHMARKS.md, and the
main benchmark keeps those files when it rewrites the document."""

import os

HERE = os.path.dirname(os.path.abspath(__file__))
DOC = os.path.join(HERE, "..", "docs", "BENCHMARKS.md")
# In the order the document shows them.
SECTION_FILES = [os.path.join(HERE, name) for name in ("SOAK.md", "FUZZING.md")]
# Sections written by hand or by the main benchmark that come after ours.
_LATER = ("## What bounds the figures", "## How it is measured")


def _split(text):
    """The document as (heading, body) pairs of its level-2 sections; the
    part before the first heading has the heading ''."""
    parts, heading, body = [], "", []
    for line in text.splitlines(keepends=True):
        if line.startswith("## "):
            parts.append((heading, "".join(body)))
            heading, body = line.rstrip("\n"), []
        else:
            body.append(line)
    parts.append((heading, "".join(body)))
    return parts


def splice(section, doc=DOC):
    """Puts `section` (a text starting with its '## ' heading) into the
    document: in place of a section of the same heading, else before the
    hand-written analysis and the method."""
    heading = section.splitlines()[0].rstrip()
    if not heading.startswith("## "):
        raise ValueError(f"not a section: {heading!r}")
    block = section.rstrip("\n") + "\n\n"
    parts = [("", "# Benchmarks\n\n")]
    if os.path.exists(doc):
        with open(doc) as f:
            parts = _split(f.read())
    out, placed = [], False
    for h, body in parts:
        if h == heading:
            if not placed:
                out.append(block)
                placed = True
            continue
        if not placed and h.startswith(_LATER):
            out.append(block)
            placed = True
        out.append((h + "\n" if h else "") + body)
    if not placed:
        if not out[-1].endswith("\n\n"):
            out[-1] = out[-1].rstrip("\n") + "\n\n"
        out.append(block)
    with open(doc, "w") as f:
        f.write("".join(out).rstrip("\n") + "\n")


def write_section(name, section, doc=DOC):
    """Keeps the section in bench/NAME and puts it into the document."""
    with open(os.path.join(HERE, name), "w") as f:
        f.write(section.rstrip("\n") + "\n")
    splice(section, doc)


def kept_sections():
    """The sections the main benchmark carries over when it rewrites the
    document."""
    out = []
    for path in SECTION_FILES:
        if os.path.exists(path):
            with open(path) as f:
                out.append(f.read().rstrip())
    return out


def sections_not_in(headings, doc=DOC):
    """The document's sections whose headings are not among `headings`:
    ones other scripts wrote (remote input, stop latency), which a rewrite
    of the document must carry over."""
    if not os.path.exists(doc):
        return []
    with open(doc) as f:
        parts = _split(f.read())
    return [(h + "\n" + body).rstrip() for h, body in parts if h and h not in headings]
