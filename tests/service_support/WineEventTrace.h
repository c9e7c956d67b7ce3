// Wine's event log stores nothing, but its ReportEventW traces every call: type and id on
// the advapi channel (fixme class), the one string on the eventlog channel (trace class
// for information events, err for errors). This reads those calls back from a file that
// holds a program's standard error written with WINEDEBUG=-all,+eventlog,fixme+advapi.
#pragma once

#include <fstream>
#include <string>
#include <vector>

struct TracedEvent {
    unsigned type = 0;
    unsigned id = 0;
    std::string channelClass;  // "trace", "err", ...
    std::wstring text;
    bool cut = false;          // Wine's trace ended the text with "..."
};

// Undoes the escapes of Wine's debug strings: \n \r \t \" \\ and \hhhh.
bool Unescape(const std::string& quoted, std::wstring& text, bool& cut);
// The ReportEventW calls in the file from the byte offset on, each from its advapi line
// and the eventlog line after it; problem tells of a file or line that cannot be read.
std::vector<TracedEvent> ReadTrace(const char* fileName, std::streamoff offset, std::string& problem);
