#include "WineEventTrace.h"

#include <cstdio>

// Undoes the escapes of Wine's debug strings: \n \r \t \" \\ and \hhhh.
bool Unescape(const std::string& quoted, std::wstring& text, bool& cut)
{
    if (quoted.size() < 3 || quoted[0] != 'L' || quoted[1] != '"')
        return false;
    size_t i = 2;
    text.clear();
    while (i < quoted.size() && quoted[i] != '"') {
        char c = quoted[i++];
        if (c != '\\') {
            text += static_cast<wchar_t>(c);
            continue;
        }
        if (i >= quoted.size())
            return false;
        c = quoted[i++];
        switch (c) {
        case 'n': text += L'\n'; break;
        case 'r': text += L'\r'; break;
        case 't': text += L'\t'; break;
        case '"': text += L'"'; break;
        case '\\': text += L'\\'; break;
        default:
            if (i + 3 > quoted.size())
                return false;
            text += static_cast<wchar_t>(std::stoul(quoted.substr(i - 1, 4), nullptr, 16));
            i += 3;
        }
    }
    if (i >= quoted.size())
        return false;
    cut = quoted.compare(i + 1, std::string::npos, "...") == 0;
    return true;
}

// The ReportEventW calls in the trace, each from its advapi line and the eventlog line
// after it.
std::vector<TracedEvent> ReadTrace(const char* fileName, std::streamoff offset, std::string& problem)
{
    std::vector<TracedEvent> events;
    std::ifstream file(fileName, std::ios::binary);
    if (!file) {
        problem = std::string(fileName) + " is missing: it is written before this program runs";
        return events;
    }
    file.seekg(offset);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t call = line.find(":advapi:ReportEventW (");
        if (call != std::string::npos) {
            TracedEvent event;
            void* handle = nullptr;
            if (std::sscanf(line.c_str() + call + 22, "%p,0x%x,0x%*x,0x%x", &handle, &event.type, &event.id) != 3)
                problem = "unreadable call line: " + line;
            events.push_back(event);
            continue;
        }
        const size_t text = line.find(":eventlog:ReportEventW ");
        if (text == std::string::npos)
            continue;
        const size_t classStart = line.find(':') + 1;
        if (events.empty() || !events.back().channelClass.empty()) {
            problem = "a text without its call: " + line;
            continue;
        }
        TracedEvent& event = events.back();
        event.channelClass = line.substr(classStart, line.find(':', classStart) - classStart);
        if (!Unescape(line.substr(text + 23), event.text, event.cut))
            problem = "unreadable text line: " + line;
    }
    return events;
}

