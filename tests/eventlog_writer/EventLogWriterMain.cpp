// Writes the events of EventLogCases.h through WnEventLogWriter, so that the event log test
// can read what Wine's ReportEventW traced of them (run with the eventlog debug channel on
// and stderr in a file), and prints each operation's result on stdout.
#include <cstdio>

#include "EventLogCases.h"
#include "WnEventLog.h"

int wmain()
{
    using namespace EventLogCases;
    WnEventLogWriter writer;
    std::printf("open %u\n", writer.Open(ServiceName()));
    std::printf("write %u\n", writer.WriteInfo(L"%s started\r\nExePath: %s\r\nVersion %u.%u.%u\r\nInterface Version %u.%u",
                                               ServiceName(), ExePath(), 1u, 37u, 10u, 2u, 0u));
    std::printf("write %u\n", writer.WriteError(Cases(1).expected.c_str()));
    std::printf("write %u\n", writer.WriteInfo(L"Ger\u00e4t \"%s\"\t\\ %u%%", L"A", 100u));
    std::printf("write %u\n", writer.WriteInfo(L"%s", NumberedText(5000).c_str()));
    std::printf("write %u\n", writer.WriteError(NumberedText(5000).c_str()));
    std::printf("write %u\n", writer.WriteInfo(L"%s terminating.", ServiceName()));
    std::printf("close %u\n", writer.Close());
    std::printf("close %u\n", writer.Close());
    return 0;
}
