// The boundary of every window, dialog and timer procedure: no exception
// leaves one. An element access outside an array is a programming error; it
// is traced with the procedure's tag and the message is taken as handled.
#pragma once

#include "core/array.h"
#include "core/trace.h"

namespace tw {

template <typename Body> void Guarded(const wchar_t* tag, Body body)
{
    try {
        body();
    } catch (const IndexOutOfRange& e) {
        TraceFormat(tag, L"程序表下标越界: %llu", static_cast<unsigned long long>(e.index));
    }
}

// The same for a procedure with a result: fallback when the body threw.
template <typename Result, typename Body> Result Guarded(const wchar_t* tag, Result fallback, Body body)
{
    try {
        return body();
    } catch (const IndexOutOfRange& e) {
        TraceFormat(tag, L"程序表下标越界: %llu", static_cast<unsigned long long>(e.index));
        return fallback;
    }
}

} // namespace tw
