// GB18030 (Windows code page 54936), the 8-bit form of text inside the
// program: code page 936's bytes for the characters of code page 936 (all
// but the euro sign and 81 Private Use characters, whose forms the national
// standard changed), and a form for every other Unicode character besides,
// so that no text is lost. Windows converts code page 54936 itself; Wine 8
// does not know it, so the conversion is done here, the same on both, with
// code page 936 (which both have) for the two-byte part. Files that must
// keep 936's own bytes use ToCodePage936 (core/str.h) where it holds the
// text.
//
// Safe to call from any thread: the tables are made once, on first use.
#pragma once

#include <stddef.h>

namespace tw {

// Writes the GB18030 form of count UTF-16 units to out (nothing when out is
// null) and returns its length in bytes. An unpaired surrogate has no form:
// it is written as '?' and *lossless (when given) becomes false.
size_t EncodeGb18030(const wchar_t* text, size_t count, char* out, bool* lossless);
// Writes the UTF-16 units of count GB18030 bytes to out (nothing when out is
// null) and returns how many there are. The single byte 0x80, code page
// 936's euro sign, reads as the euro sign too. A sequence that is no
// character reads as U+FFFD and *valid (when given) becomes false.
size_t DecodeGb18030(const char* bytes, size_t count, wchar_t* out, bool* valid);

} // namespace tw
