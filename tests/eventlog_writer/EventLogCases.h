// The events the writer program writes and the event log test expects, in order: shared so
// both sides build the very same texts.
#pragma once

#include <string>

namespace EventLogCases {

enum Kind { kInfo, kError };

struct Case {
    Kind kind;
    std::wstring expected;  // the text the event must carry
};

// A text of the given length whose every position is told apart by a repeating counter,
// so a cut at the wrong place shows.
inline std::wstring NumberedText(size_t length)
{
    std::wstring text;
    for (unsigned i = 0; text.size() < length; ++i)
        text += L"<" + std::to_wstring(i) + L">";
    text.resize(length);
    return text;
}

inline const wchar_t* ServiceName() { return L"velkanotest"; }
inline const wchar_t* ExePath() { return L"C:\\Program Files\\Velkano\\velkanosvc.exe"; }

// What the writer program writes, in this order (see EventLogWriterMain.cpp).
inline Case Cases(unsigned index)
{
    switch (index) {
    case 0:
        return {kInfo, std::wstring(ServiceName()) + L" started\r\nExePath: " + ExePath() +
                           L"\r\nVersion 1.37.10\r\nInterface Version 2.0"};
    case 1:
        return {kError, L"Unable to start because another instance is already running."};
    case 2:
        return {kInfo, L"Ger\u00e4t \"A\"\t\\ 100%"};
    case 3:
        return {kInfo, NumberedText(4095)};  // a longer text is cut to this
    case 4:
        return {kError, NumberedText(5000)};  // error texts are written as they are
    case 5:
        return {kInfo, std::wstring(ServiceName()) + L" terminating."};
    default:
        return {kInfo, L""};
    }
}
constexpr unsigned kCaseCount = 6;

}  // namespace EventLogCases
