// The bounded text helpers and the streaming state texts built on them.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TarvoTexts.h"
#include "WnText.h"

namespace {

TEST(CopyTextTest, CutsAtCapacityAndTerminates)
{
    const std::wstring source(120, L'a');
    wchar_t buffer[101];
    wmemset(buffer, L'#', 101);
    EXPECT_EQ(99u, CopyText(buffer, source.c_str(), 100));
    EXPECT_EQ(std::wstring(99, L'a'), std::wstring(buffer));
    EXPECT_EQ(L'#', buffer[100]);  // nothing written past the capacity

    EXPECT_EQ(0u, CopyText(buffer, L"", 100));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(0u, CopyText(buffer, nullptr, 100));
    EXPECT_EQ(3u, CopyText(buffer, L"abc", 100));
    EXPECT_STREQ(L"abc", buffer);
    EXPECT_EQ(0u, CopyText(buffer, L"abc", 1));
    EXPECT_EQ(L'\0', buffer[0]);
}

TEST(AppendTextTest, AppendsWithinCapacityOnly)
{
    wchar_t buffer[8] = L"abc";
    EXPECT_EQ(6u, AppendText(buffer, L"def", 8));
    EXPECT_STREQ(L"abcdef", buffer);
    EXPECT_EQ(7u, AppendText(buffer, L"ghij", 8));
    EXPECT_STREQ(L"abcdefg", buffer);
    EXPECT_EQ(7u, AppendText(buffer, L"xyz", 8));  // already at capacity - 1: nothing appended
    EXPECT_STREQ(L"abcdefg", buffer);
}

TEST(FormatTextTest, FitsCutsOrRefuses)
{
    wchar_t buffer[4096];
    EXPECT_EQ(0u, FormatText(buffer, 4096, L"VKN Out %u", 3u));
    EXPECT_STREQ(L"VKN Out 3", buffer);
    EXPECT_EQ(0u, FormatText(buffer, 4096, L"%s (Status=%hs).", L"Failed", "TARVO_STATUS_FAILED"));
    EXPECT_STREQ(L"Failed (Status=TARVO_STATUS_FAILED).", buffer);

    const std::wstring big(5000, L'z');
    EXPECT_EQ(static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW), FormatText(buffer, 4096, L"%s", big.c_str()));
    EXPECT_EQ(std::wstring(4095, L'z'), std::wstring(buffer));

    wchar_t exact[4];
    EXPECT_EQ(0u, FormatText(exact, 4, L"%u", 123u));  // exactly capacity - 1 characters fit
    EXPECT_STREQ(L"123", exact);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_BUFFER_OVERFLOW), FormatText(exact, 4, L"%u", 1234u));
    EXPECT_STREQ(L"123", exact);

    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), FormatText(buffer, 0, L"x"));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), FormatText(buffer, 10, nullptr));
}

TEST(StreamingTextsTest, StatesRatesAndLatencies)
{
    EXPECT_STREQ(L"Streaming state: Undefined", TarvoStreamingStateText(0));
    EXPECT_STREQ(L"Streaming state: Running", TarvoStreamingStateText(4));
    EXPECT_STREQ(L"Streaming not supported on USB 1.1 port.", TarvoStreamingStateText(6));
    EXPECT_EQ(nullptr, TarvoStreamingStateText(7));

    EXPECT_STREQ(L"ExtraSmall", TarvoStreamingBufferClassName(1));
    EXPECT_STREQ(L"Safe", TarvoStreamingBufferClassName(5));
    EXPECT_STREQ(L"unknown", TarvoStreamingBufferClassName(6));
    EXPECT_STREQ(L"Maximum", TarvoAsioBufferClassName(3));
    EXPECT_STREQ(L"unknown", TarvoAsioBufferClassName(4));

    EXPECT_TRUE(TarvoIsDsdRate(2822400));
    EXPECT_TRUE(TarvoIsDsdRate(5644800));
    EXPECT_FALSE(TarvoIsDsdRate(44100));

    struct {
        uint32_t rate;
        const wchar_t* text;
    } rates[] = {{44100, L"Current sampling rate: 44.100 kHz"},
                 {48000, L"Current sampling rate: 48.000 kHz"},
                 {2822400, L"Current sampling rate: 2822.400 kHz"},
                 {5, L"Current sampling rate: 0.005 kHz"}};
    wchar_t buffer[64];
    for (const auto& r : rates) {
        EXPECT_EQ(0u, FormatSampleRateText(buffer, 64, r.rate));
        EXPECT_STREQ(r.text, buffer);
    }

    struct {
        uint32_t latency;
        const wchar_t* text;
    } latencies[] = {{5333, L"5.3 millisecs\n"}, {999, L"0.9 millisecs\n"}, {1000, L"1.0 millisecs\n"},
                     {0, L"0.0 millisecs\n"}};
    for (const auto& l : latencies) {
        EXPECT_EQ(0u, FormatStreamingLatencyText(buffer, 64, l.latency));
        EXPECT_STREQ(l.text, buffer);
    }
    EXPECT_EQ(0u, FormatAsioLatencyText(buffer, 64, 2666, 128));
    EXPECT_STREQ(L"2.6 millisecs\n128 samples", buffer);
}

}  // namespace
