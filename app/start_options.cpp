#include "app/start_options.h"

#include <shellapi.h>

#include <wchar.h>

namespace tw {

namespace {

// A decimal number of at most 10 digits that fits 32 bits; handles and
// waits alike stay below that.
bool ParseDecimal(const wchar_t* text, unsigned long long* value)
{
    size_t length = wcslen(text);
    if (length == 0 || length > 10)
        return false;
    unsigned long long result = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c < L'0' || *c > L'9')
            return false;
        result = result * 10 + static_cast<unsigned>(*c - L'0');
    }
    if (result > 0xFFFFFFFFULL)
        return false;
    *value = result;
    return true;
}

// Handle values are multiples of four and never zero; anything else cannot
// be a handle this process inherited.
bool ParseHandle(const wchar_t* text, HANDLE* handle)
{
    unsigned long long value = 0;
    if (!ParseDecimal(text, &value) || value == 0)
        return false;
    *handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
    return true;
}

bool Is(const wchar_t* argument, const wchar_t* word)
{
    return _wcsicmp(argument, word) == 0;
}

StartOptions FromArguments(int count, wchar_t** arguments)
{
    StartOptions options;
    if (count < 2)
        return options;
    const wchar_t* word = arguments[1];
    StartOptions parsed;
    if (count == 2 && Is(word, L"/autostart")) {
        parsed.kind = StartKind::Autostart;
    } else if (count == 2 && Is(word, L"/backstop")) {
        parsed.kind = StartKind::Backstop;
    } else if (count == 2 && Is(word, L"/unregister")) {
        parsed.kind = StartKind::Unregister;
    } else if (count == 3 && Is(word, L"/guard")) {
        if (!ParseHandle(arguments[2], &parsed.otherProcess))
            return options;
        parsed.kind = StartKind::GuardRole;
    } else if (count == 5 && Is(word, L"/restarted")) {
        unsigned long long seconds = 0;
        bool hung = Is(arguments[2], L"hung");
        if ((!hung && !Is(arguments[2], L"crash")) || !ParseDecimal(arguments[3], &seconds) ||
            !ParseHandle(arguments[4], &parsed.otherProcess))
            return options;
        parsed.kind = StartKind::ByGuardian;
        parsed.afterHang = hung;
        parsed.restartSeconds = static_cast<DWORD>(seconds);
    } else {
        return options;
    }
    return parsed;
}

} // namespace

StartOptions ParseStartOptions(const wchar_t* commandLine)
{
    // CommandLineToArgvW takes an empty line as the executable's own path:
    // there are no switches then.
    if (!commandLine || !*commandLine)
        return StartOptions();
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(commandLine, &count);
    if (!arguments)
        return StartOptions();
    StartOptions options = FromArguments(count, arguments);
    LocalFree(arguments);
    return options;
}

} // namespace tw
