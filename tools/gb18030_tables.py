#!/usr/bin/env python3
"""Prints the two tables of core/gb18030.cpp from Python's own gb18030 codec
(GB18030-2000, the edition that agrees with code page 936 on every two-byte
code it shares with it):

- the two-byte codes where GB18030 names a character that code page 936
  leaves to the Private Use Area (the euro sign, some radicals and
  ideographic description characters, a few CJK Extension A ideographs);
- the runs of Basic Multilingual Plane characters whose four-byte forms
  follow one another, as (first character, linear index of its form).

Run it again only if the tables are ever to follow another edition."""


def linear(form):
    b1, b2, b3, b4 = form
    return (((b1 - 0x81) * 10 + (b2 - 0x30)) * 126 + (b3 - 0x81)) * 10 + (b4 - 0x30)


def two_byte_exceptions():
    found = []
    for lead in range(0x81, 0xFF):
        for trail in range(0x40, 0xFF):
            if trail == 0x7F:
                continue
            code = bytes([lead, trail])
            char = code.decode("gb18030")
            if 0xE000 <= ord(char) <= 0xF8FF:
                continue  # the user-defined areas: Private Use in both
            try:
                if char.encode("gbk") == code:
                    continue  # the same character in code page 936
            except UnicodeEncodeError:
                pass
            found.append((lead << 8 | trail, ord(char)))
    return found


def four_byte_runs():
    runs = []
    previous = None
    for point in range(0x80, 0x10000):
        if 0xD800 <= point <= 0xDFFF:
            previous = None
            continue
        form = chr(point).encode("gb18030")
        if len(form) != 4:
            previous = None
            continue
        index = linear(form)
        if previous is None or previous != (point - 1, index - 1):
            runs.append((point, index))
        previous = (point, index)
    return runs


def rows(pairs, per_line, spell):
    items = [spell(a, b) for a, b in pairs]
    for start in range(0, len(items), per_line):
        print("    " + " ".join(items[start:start + per_line]))


if __name__ == "__main__":
    exceptions = two_byte_exceptions()
    print("// %d two-byte exceptions" % len(exceptions))
    rows(exceptions, 6, lambda code, char: "{0x%04X, 0x%04X}," % (code, char))
    runs = four_byte_runs()
    print("// %d four-byte runs" % len(runs))
    rows(runs, 6, lambda point, index: "{0x%04X, %d}," % (point, index))
