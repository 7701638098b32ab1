#include "core/text_ops.h"

#include <string.h>
#include <wchar.h>

namespace tw {

namespace {

// The counted text of a string: its stored length, or up to the terminator
// when that is 0.
size_t CountedLength(const CStrW& text)
{
    if (text.IsNull())
        return 0;
    return text.Length() ? text.Length() : wcslen(text.Text());
}

CStrW Slice(const CStrW& text, size_t from, size_t count)
{
    CStrW result;
    if (count)
        result.AssignChars(text.Text() + from, count);
    return result;
}

const wchar_t* FindChar(const CStrW& text, wchar_t ch)
{
    return text.IsNull() ? nullptr : wcschr(text.Text(), ch);
}

} // namespace

CStrW LeftOfFirstColon(const CStrW& text)
{
    const wchar_t* colon = FindChar(text, L':');
    if (!colon)
        return CStrW();
    return Slice(text, 0, static_cast<size_t>(colon - text.Text()));
}

CStrW BetweenFirstColons(const CStrW& text)
{
    const wchar_t* first = FindChar(text, L':');
    if (!first || first[1] == 0)
        return CStrW();
    const wchar_t* second = wcschr(first + 1, L':');
    if (!second)
        return CStrW();
    return Slice(text, static_cast<size_t>(first + 1 - text.Text()), static_cast<size_t>(second - first - 1));
}

CStrW AfterLastColon(const CStrW& text)
{
    if (text.IsNull())
        return CStrW();
    const wchar_t* last = wcsrchr(text.Text(), L':');
    if (!last || last[1] == 0)
        return CStrW();
    return CStrW(last + 1);
}

CStrW RightChars(const CStrW& text, size_t n)
{
    size_t length = CountedLength(text);
    if (length == 0 || n == 0)
        return CStrW();
    if (n > length)
        n = length;
    return Slice(text, length - n, n);
}

void AssignFrom(CStrW& dst, const CStrW& src)
{
    size_t length = CountedLength(src);
    if (length == 0) {
        dst.Release();
        return;
    }
    // The source may share dst's record; build the copy before replacing.
    CStrW copy(src.Text(), length);
    dst = static_cast<CStrW&&>(copy);
}

void AppendText(CStrW& dst, const CStrW& src)
{
    size_t length = CountedLength(src);
    if (length)
        dst.AppendChars(src.Text(), length);
}

void AppendUInt64(CStrW& dst, unsigned long long value)
{
    dst.AppendUInt64(value);
}

int ReplaceAll(CStrW& text, const wchar_t* pattern, const wchar_t* replacement)
{
    size_t patternLength = pattern ? wcslen(pattern) : 0;
    if (text.IsEmpty() || patternLength == 0)
        return 0;
    const wchar_t* source = text.Text();
    if (!wcsstr(source, pattern))
        return 1;
    size_t replacementLength = replacement ? wcslen(replacement) : 0;
    CStrW result;
    result.AssignChars(nullptr, 0);
    const wchar_t* cursor = source;
    while (const wchar_t* hit = wcsstr(cursor, pattern)) {
        if (hit > cursor)
            result.AppendChars(cursor, static_cast<size_t>(hit - cursor));
        if (replacementLength)
            result.AppendChars(replacement, replacementLength);
        cursor = hit + patternLength;
    }
    if (*cursor)
        result.AppendChars(cursor, 0);
    // A result that is all deletions is the empty text, not a null string.
    result.SetLength(wcslen(result.c_str()));
    text = static_cast<CStrW&&>(result);
    return 1;
}

int CompareText(const CStrW& text, const wchar_t* other, int exact)
{
    bool textEmpty = text.IsEmpty();
    bool otherEmpty = !other || !*other;
    if (textEmpty && otherEmpty)
        return 0;
    if (textEmpty)
        return 1;
    if (otherEmpty)
        return -1;
    if (!exact)
        return _wcsicmp(text.Text(), other);
    int result = wcscmp(text.Text(), other);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

int TextDiffers(const CStrW& text, const wchar_t* other)
{
    bool textEmpty = text.IsEmpty();
    bool otherEmpty = !other || !*other;
    if (textEmpty && otherEmpty)
        return 0;
    if (textEmpty || otherEmpty)
        return 1;
    return wcscmp(text.Text(), other) != 0 ? 1 : 0;
}

} // namespace tw
