// Text operations over CStrW that several parts of the program share. An
// empty result is the null string.
#pragma once

#include "core/str.h"

namespace tw {

// Splitting of "hh:mm:ss" texts at their colons.
CStrW LeftOfFirstColon(const CStrW& text);
CStrW BetweenFirstColons(const CStrW& text);
CStrW AfterLastColon(const CStrW& text);

// The last n characters; all of text when it is shorter.
CStrW RightChars(const CStrW& text, size_t n);

// dst becomes a copy of src (its length, or up to the terminator when the
// stored length is 0).
void AssignFrom(CStrW& dst, const CStrW& src);
void AppendText(CStrW& dst, const CStrW& src);
void AppendUInt64(CStrW& dst, unsigned long long value);

// Replaces every non-overlapping, case-sensitive occurrence of pattern,
// scanning from the left; a null or empty replacement deletes it. Returns 0
// and changes nothing when text or pattern is empty.
int ReplaceAll(CStrW& text, const wchar_t* pattern, const wchar_t* replacement);

// Null counts as empty. exact = 0 ignores case; otherwise code units compare.
int CompareText(const CStrW& text, const wchar_t* other, int exact);
// 0 when both are empty or the code units match, 1 otherwise.
int TextDiffers(const CStrW& text, const wchar_t* other);

} // namespace tw
