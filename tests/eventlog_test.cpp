// The event log writer, its message table and the registration of event sources.
//
// Wine's ReportEventW stores nothing; it traces each call (type and id on the advapi
// channel, the string on the eventlog channel). CTest runs the writer program with those
// channels on and its stderr in eventlog_trace.txt before this program; the first tests
// read that trace back. Wine cuts a traced string after about 290 characters, so the tests
// of the length bound watch the strings in this process instead, on their way to the real
// ReportEventW.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "TestRegistry.h"
#include "WnEventLog.h"
#include "WnRegistryKey.h"
#include "WnText.h"
#include "WineEventTrace.h"
#include "eventlog_writer/EventLogCases.h"

namespace {

// ---- what Wine traced of the writer program's events ----

TEST(EventLogTraceTest, EveryEventReachesReportEventWWithItsTypeIdAndText)
{
    using namespace EventLogCases;
    std::string problem;
    const std::vector<TracedEvent> events = ReadTrace("eventlog_trace.txt", 0, problem);
    ASSERT_EQ("", problem);
    ASSERT_EQ(kCaseCount, events.size());
    for (unsigned i = 0; i < kCaseCount; ++i) {
        const Case expected = Cases(i);
        const TracedEvent& event = events[i];
        SCOPED_TRACE("event " + std::to_string(i));
        if (expected.kind == kInfo) {
            EXPECT_EQ(static_cast<unsigned>(EVENTLOG_INFORMATION_TYPE), event.type);
            EXPECT_EQ(WN_EVENT_MSG_INFO, event.id);
            EXPECT_EQ("trace", event.channelClass);
        } else {
            EXPECT_EQ(static_cast<unsigned>(EVENTLOG_ERROR_TYPE), event.type);
            EXPECT_EQ(WN_EVENT_MSG_ERROR, event.id);
            EXPECT_EQ("err", event.channelClass);
        }
        if (!event.cut) {
            EXPECT_TRUE(event.text == expected.expected);
        } else {
            // Wine traced only the start of a long text.
            EXPECT_GT(event.text.size(), 200u);
            EXPECT_LT(event.text.size(), expected.expected.size());
            EXPECT_EQ(0, expected.expected.compare(0, event.text.size(), event.text));
        }
    }
    EXPECT_FALSE(events[0].cut);
    EXPECT_TRUE(events[3].cut);  // the long texts are longer than Wine traces
}

TEST(EventLogTraceTest, OpenWritesAndBothClosesSucceeded)
{
    std::ifstream file("eventlog_results.txt");
    ASSERT_TRUE(file) << "eventlog_results.txt is missing: CTest writes it before this program runs";
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    std::vector<std::string> expected = {"open 0"};
    for (unsigned i = 0; i < EventLogCases::kCaseCount; ++i)
        expected.push_back("write 0");
    expected.push_back("close 0");
    expected.push_back("close 0");  // closing a closed writer
    EXPECT_EQ(expected, lines);
}

// ---- the strings on their way to ReportEventW ----

// Watches the writer's calls through this program's import of ReportEventW and passes
// each on to the real function.
extern "C" decltype(&ReportEventW) __imp_ReportEventW;

struct ReportedEvent {
    WORD type;
    WORD category;
    DWORD id;
    bool noSid;
    WORD stringCount;
    DWORD dataSize;
    std::wstring text;
};

class ReportEventSpy {
public:
    ReportEventSpy()
    {
        reported.clear();
        original = Swap(&Report);
    }
    ~ReportEventSpy() { Swap(original); }
    ReportEventSpy(const ReportEventSpy&) = delete;
    ReportEventSpy& operator=(const ReportEventSpy&) = delete;

    static std::vector<ReportedEvent> reported;

private:
    static decltype(&ReportEventW) Swap(decltype(&ReportEventW) function)
    {
        DWORD protection = 0;
        VirtualProtect(&__imp_ReportEventW, sizeof(void*), PAGE_READWRITE, &protection);
        const auto previous = __imp_ReportEventW;
        __imp_ReportEventW = function;
        VirtualProtect(&__imp_ReportEventW, sizeof(void*), protection, &protection);
        return previous;
    }
    static BOOL WINAPI Report(HANDLE log, WORD type, WORD category, DWORD id, PSID sid, WORD stringCount,
                              DWORD dataSize, LPCWSTR* strings, LPVOID data)
    {
        reported.push_back({type, category, id, sid == nullptr, stringCount, dataSize,
                            stringCount > 0 && strings[0] != nullptr ? strings[0] : L""});
        return original(log, type, category, id, sid, stringCount, dataSize, strings, data);
    }

    static decltype(&ReportEventW) original;
};
std::vector<ReportedEvent> ReportEventSpy::reported;
decltype(&ReportEventW) ReportEventSpy::original;

TEST(EventLogWriterTest, InformationTextsAreCutTo4095CharactersAndStillWritten)
{
    WnEventLogWriter writer;
    ASSERT_EQ(0u, writer.Open(EventLogCases::ServiceName()));
    const std::wstring half = EventLogCases::NumberedText(3000);
    const struct {
        std::wstring argument;
        const wchar_t* format;
        size_t expectedLength;
    } cases[] = {
        {EventLogCases::NumberedText(4094), L"%s", 4094},
        {EventLogCases::NumberedText(4095), L"%s", 4095},
        {EventLogCases::NumberedText(4096), L"%s", 4095},
        {EventLogCases::NumberedText(5000), L"%s", 4095},
        {half, L"%s%s", 4095},  // the formatted text counts, not an argument
    };
    ReportEventSpy spy;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument.size());
        ReportEventSpy::reported.clear();
        EXPECT_EQ(0u, writer.WriteInfo(c.format, c.argument.c_str(), c.argument.c_str()));
        ASSERT_EQ(1u, ReportEventSpy::reported.size());
        const ReportedEvent& event = ReportEventSpy::reported[0];
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, event.type);
        EXPECT_EQ(0, event.category);
        EXPECT_EQ(WN_EVENT_MSG_INFO, event.id);
        EXPECT_TRUE(event.noSid);
        EXPECT_EQ(1, event.stringCount);
        EXPECT_EQ(0u, event.dataSize);
        const std::wstring whole = c.format[2] == L'\0' ? c.argument : c.argument + c.argument;
        ASSERT_EQ(c.expectedLength, event.text.size());
        EXPECT_TRUE(event.text == whole.substr(0, c.expectedLength));
    }
}

TEST(EventLogWriterTest, ErrorTextsAreWrittenWholeAsTheyAre)
{
    WnEventLogWriter writer;
    ASSERT_EQ(0u, writer.Open(EventLogCases::ServiceName()));
    const std::wstring text = EventLogCases::NumberedText(5000) + L" 100%s";  // not a format
    ReportEventSpy spy;
    EXPECT_EQ(0u, writer.WriteError(text.c_str()));
    ASSERT_EQ(1u, ReportEventSpy::reported.size());
    const ReportedEvent& event = ReportEventSpy::reported[0];
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, event.type);
    EXPECT_EQ(WN_EVENT_MSG_ERROR, event.id);
    EXPECT_TRUE(event.noSid);
    EXPECT_EQ(1, event.stringCount);
    EXPECT_TRUE(event.text == text);
}

TEST(EventLogWriterTest, CloseEmptiesTheWriterAndAClosedWriterClosesWithZero)
{
    WnEventLogWriter writer;
    EXPECT_EQ(nullptr, writer.Get());
    EXPECT_EQ(0u, writer.Close());
    ASSERT_EQ(0u, writer.Open(EventLogCases::ServiceName()));
    EXPECT_NE(nullptr, writer.Get());
    ASSERT_EQ(0u, writer.Open(EventLogCases::ServiceName()));  // reopening replaces the source
    EXPECT_NE(nullptr, writer.Get());
    EXPECT_EQ(0u, writer.Close());
    EXPECT_EQ(nullptr, writer.Get());
    EXPECT_EQ(0u, writer.Close());
}

// ---- the message table linked into this program ----

TEST(EventMessageTableTest, EachIdHoldsTheInsertionStringAndLineEnd)
{
    ASSERT_NE(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_MESSAGETABLE));
    for (uint32_t id : {WN_EVENT_MSG_INFO, WN_EVENT_MSG_WARNING, WN_EVENT_MSG_ERROR}) {
        SCOPED_TRACE(id);
        wchar_t raw[64] = {};
        ASSERT_NE(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id, 0,
                                     raw, 64, nullptr))
            << GetLastError();
        EXPECT_STREQ(L"%1\r\n", raw);
        const wchar_t* insert = L"velkanosvc started";
        DWORD_PTR arguments[1] = {reinterpret_cast<DWORD_PTR>(insert)};
        wchar_t formatted[64] = {};
        ASSERT_NE(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, id, 0,
                                     formatted, 64, reinterpret_cast<va_list*>(arguments)));
        EXPECT_STREQ(L"velkanosvc started\r\n", formatted);
    }
    wchar_t text[64];
    EXPECT_EQ(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x60070004, 0,
                                 text, 64, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
}

// ---- event sources in the real registry ----

class EventSourceTest : public testing::Test {
protected:
    void SetUp() override
    {
        FormatText(source, 64, L"VelkanoTest%u", GetCurrentProcessId());
        FormatText(keyPath, 260, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s", source);
    }
    void TearDown() override { RegDeleteKeyW(HKEY_LOCAL_MACHINE, keyPath); }

    bool SourceKeyExists()
    {
        WnRegistryKey key;
        return key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ) == 0;
    }
    void ExpectValues(const wchar_t* messageFile)
    {
        WnRegistryKey key;
        ASSERT_EQ(0u, key.Open(HKEY_LOCAL_MACHINE, keyPath, KEY_READ));
        RegistryValue stored;
        ASSERT_EQ(0u, ReadRegistryValue(key.Get(), L"EventMessageFile", stored));
        EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), stored.type);
        EXPECT_EQ(std::wstring(messageFile) + L'\0', stored.data);  // terminator included
        uint32_t types = 0;
        EXPECT_EQ(0u, key.ReadDword(L"TypesSupported", types));
        EXPECT_EQ(7u, types);
    }

    wchar_t source[64];
    wchar_t keyPath[260];
};

TEST_F(EventSourceTest, InstallWritesBothValuesAndInstallingAgainOverwritesThem)
{
    const wchar_t* first = L"C:\\Program Files\\Velkano Control\\velkanosvc.exe";
    const wchar_t* second = L"%SystemRoot%\\velkanosvc.exe";
    EXPECT_EQ(0u, InstallEventSource(L"Application", source, first));
    ExpectValues(first);
    EXPECT_EQ(0u, InstallEventSource(L"Application", source, second));
    ExpectValues(second);
}

TEST_F(EventSourceTest, RemoveDeletesTheSourceAndNeedsOnlyTheLogKey)
{
    ASSERT_EQ(0u, InstallEventSource(L"Application", source, L"C:\\velkanosvc.exe"));
    ASSERT_TRUE(SourceKeyExists());
    EXPECT_EQ(0u, RemoveEventSource(L"Application", source));
    EXPECT_FALSE(SourceKeyExists());
    WnRegistryKey log;
    EXPECT_EQ(0u, log.Open(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application", KEY_READ));
    EXPECT_EQ(0u, RemoveEventSource(L"Application", source));  // no such source: still 0
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), RemoveEventSource(L"VelkanoNoSuchLog", source));
}

TEST_F(EventSourceTest, KeyPathsLongerThan259CharactersAreRefusedNotCut)
{
    // A cut path would name another key: nothing is created or deleted then.
    const std::wstring longName(250, L'v');
    EXPECT_EQ(static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW),
              InstallEventSource(L"Application", longName.c_str(), L"C:\\velkanosvc.exe"));
    wchar_t cutPath[260];
    ASSERT_EQ(static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW),
              FormatText(cutPath, 260, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s",
                         longName.c_str()));
    WnRegistryKey key;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), key.Open(HKEY_LOCAL_MACHINE, cutPath, KEY_READ));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW), RemoveEventSource(longName.c_str(), source));
}

}  // namespace
