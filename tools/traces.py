#!/usr/bin/env python3
"""Keeps the debugger-trace lines of Wine's debug output and shows them readably.

Wine 8 logs OutputDebugStringW under "warn:seh" (converted to the locale's
ANSI code page, non-ASCII bytes escaped as \\xNN) and OutputDebugStringA under
"debugstr". Tollwick's traces are wide, so run Wine with a Chinese locale
(code page 936) and WINEDEBUG=warn+seh,+debugstr, and pipe its output here:

  LC_ALL=zh_CN.UTF-8 WINEDEBUG=warn+seh,+debugstr wine Tollwick.exe 2>&1 | python3 tools/traces.py
"""
import re
import sys

line_pattern = re.compile(rb'^[0-9a-f]+:warn:(?:seh|debugstr):OutputDebugStringA "(.*)"$')
escape = re.compile(rb'\\(x[0-9a-fA-F]{2}|[nrt"\\])')
simple = {b'n': b'', b'r': b'', b't': b'\t', b'"': b'"', b'\\': b'\\'}


def unescape(match):
    code = match.group(1)
    if code.startswith(b'x'):
        return bytes([int(code[1:], 16)])
    return simple[code]


for raw in sys.stdin.buffer:
    found = line_pattern.match(raw.rstrip(b'\r\n'))
    if not found:
        continue
    text = escape.sub(unescape, found.group(1))
    sys.stdout.write(text.decode('gbk', errors='replace') + '\n')
    sys.stdout.flush()
