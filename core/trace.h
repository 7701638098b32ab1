// Diagnostic traces on the debugger output: "[tag] message", cut at 259
// characters like every formatted text.
#pragma once

namespace tw {

void Trace(const wchar_t* tag, const wchar_t* message);
void TraceFormat(const wchar_t* tag, const wchar_t* pattern, ...);

} // namespace tw
