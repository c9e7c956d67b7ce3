// The message channel: the record, the simulated driver's relay, the server and client
// classes, and round trips with the test server program in a second process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "SimControl.h"
#include "SimMessages.h"
#include "TarvoClient.h"
#include "TarvoServer.h"
#include "WnThread.h"
#include "message_server/MessageTestProtocol.h"

namespace {

constexpr const wchar_t* kName = TARVO_DEVICE_OBJECT_NAME;

// ---- the record ----

TEST(TarvoMessageTest, InitSetsTheHeaderAndZeroesEverythingElse)
{
    TarvoMessage m;
    memset(&m, 0xCD, sizeof m);
    m.Init(TARVO_MSG_REQUEST, TARVO_REQ_SET_SAMPLE_RATE);
    EXPECT_EQ(32u, m.headerSize);
    EXPECT_EQ(0u, m.payloadSize);
    EXPECT_EQ(TARVO_MSG_REQUEST, m.type);
    EXPECT_EQ(1001u, m.code);
    EXPECT_EQ(0u, m.sequence);
    EXPECT_EQ(0u, m.echo0);
    EXPECT_EQ(0u, m.echo1);
    EXPECT_EQ(0u, m.status);
    for (uint8_t byte : m.payload)
        ASSERT_EQ(0, byte);
}

TEST(TarvoMessageTest, InitReplyCopiesSequenceAndEchoWordsAndSetsTheStatus)
{
    TarvoMessage request;
    request.Init(TARVO_MSG_REQUEST, 11002);
    request.sequence = 0x11223344;
    request.echo0 = 7;
    request.echo1 = 0xABCDEF01;
    const uint32_t words[4] = {1, 2, 3, 4};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, request.SetPayload(words, sizeof words));
    TarvoMessage reply;
    memset(&reply, 0xCD, sizeof reply);
    reply.InitReply(request, TARVO_STATUS_INVALID_COMMAND);
    EXPECT_EQ(32u, reply.headerSize);
    EXPECT_EQ(0u, reply.payloadSize);
    EXPECT_EQ(TARVO_MSG_REPLY, reply.type);
    EXPECT_EQ(TARVO_REPLY_STATUS, reply.code);
    EXPECT_EQ(0x11223344u, reply.sequence);
    EXPECT_EQ(7u, reply.echo0);
    EXPECT_EQ(0xABCDEF01u, reply.echo1);
    EXPECT_EQ(TARVO_STATUS_INVALID_COMMAND, reply.status);
    EXPECT_EQ(0, reply.payload[0]);

    request.InitReply(request, TARVO_STATUS_SUCCESS);  // in place
    EXPECT_EQ(0x11223344u, request.sequence);
    EXPECT_EQ(0xABCDEF01u, request.echo1);
    EXPECT_EQ(TARVO_MSG_REPLY, request.type);
}

TEST(TarvoMessageTest, SetPayloadAboveTheLimitIsRefusedAndLeavesTheRecord)
{
    uint8_t data[600];
    for (uint32_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 1);
    TarvoMessage m;
    m.Init(TARVO_MSG_NOTIFICATION, 3040);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(data, 8));
    TarvoMessage before = m;
    EXPECT_EQ(TARVO_STATUS_INVALID_LENGTH, m.SetPayload(data, 513));
    EXPECT_EQ(0, memcmp(&before, &m, sizeof m));
    EXPECT_EQ(8u, m.payloadSize);

    ASSERT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(data, 512));
    EXPECT_EQ(512u, m.payloadSize);
    EXPECT_EQ(0, memcmp(data, m.payload, 512));
    EXPECT_EQ(544u, m.PostedSize());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(nullptr, 0));
    EXPECT_EQ(0u, m.payloadSize);
    EXPECT_EQ(32u, m.PostedSize());
}

TEST(TarvoMessageTest, GetPayloadNeedsRoomForTheWholePayload)
{
    TarvoMessage m;
    m.Init(TARVO_MSG_REPLY, 12001);
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(data, sizeof data));
    uint8_t buffer[16];
    memset(buffer, 0xCD, sizeof buffer);
    uint32_t size = 9;
    EXPECT_EQ(TARVO_STATUS_INVALID_LENGTH, m.GetPayload(buffer, size));
    EXPECT_EQ(9u, size);
    EXPECT_EQ(0xCD, buffer[0]);
    size = sizeof buffer;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, m.GetPayload(buffer, size));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(0, memcmp(data, buffer, 10));
    EXPECT_EQ(0xCD, buffer[10]);

    m.payloadSize = 600;  // as a broken record could arrive
    size = 1000;
    EXPECT_EQ(TARVO_STATUS_INVALID_LENGTH, m.GetPayload(buffer, size));
}

// Each reader takes exactly its size: one byte less is a wrong message size, one byte
// more does not fit the reader's buffer.
TEST(TarvoMessageTest, FixedSizeReadersTakeExactlyTheirSize)
{
    const uint32_t sizes[] = {1, 4, 8, 12, 16};
    uint8_t data[17];
    for (uint32_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<uint8_t>(0x10 + i);
    for (uint32_t n : sizes) {
        for (uint32_t payload : {n - 1, n, n + 1}) {
            SCOPED_TRACE(testing::Message() << "reader " << n << ", payload " << payload);
            TarvoMessage m;
            m.Init(TARVO_MSG_NOTIFICATION, 3060);
            ASSERT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(data, payload));
            const TarvoStatus expected = payload == n ? TARVO_STATUS_SUCCESS
                                         : payload < n ? TARVO_STATUS_INVALID_MSG_SIZE
                                                       : TARVO_STATUS_INVALID_LENGTH;
            uint8_t out[16];
            memset(out, 0xCD, sizeof out);
            uint8_t byte = 0xCD;
            uint32_t word = 0xCDCDCDCD;
            uint32_t w2[2] = {0xCDCDCDCD, 0xCDCDCDCD};
            uint32_t w3[3] = {0xCDCDCDCD, 0xCDCDCDCD, 0xCDCDCDCD};
            uint32_t w4[4] = {0xCDCDCDCD, 0xCDCDCDCD, 0xCDCDCDCD, 0xCDCDCDCD};
            TarvoStatus status = TARVO_STATUS_FAILED;
            switch (n) {
            case 1: status = m.Read1(byte); memcpy(out, &byte, 1); break;
            case 4: status = m.Read4(word); memcpy(out, &word, 4); break;
            case 8: status = m.Read8(w2); memcpy(out, w2, 8); break;
            case 12: status = m.Read12(w3); memcpy(out, w3, 12); break;
            case 16: status = m.Read16(w4); memcpy(out, w4, 16); break;
            }
            EXPECT_EQ(expected, status);
            if (expected == TARVO_STATUS_SUCCESS)
                EXPECT_EQ(0, memcmp(data, out, n));
            else
                EXPECT_EQ(0xCD, out[0]) << "written although refused";
        }
    }
}

// ---- helpers for the driver tests ----

uint32_t IdOf(TarvoApiContext& context)
{
    uint32_t id = 0;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, SimControl::WhoAmI(context, id));
    return id;
}

TarvoMessage Request(uint32_t code, uint32_t sequence, const void* payload = nullptr, uint32_t size = 0)
{
    TarvoMessage m;
    m.Init(TARVO_MSG_REQUEST, code);
    m.sequence = sequence;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(payload, size));
    return m;
}

TarvoMessage Notification(uint32_t code, const void* payload = nullptr, uint32_t size = 0)
{
    TarvoMessage m;
    m.Init(TARVO_MSG_NOTIFICATION, code);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, m.SetPayload(payload, size));
    return m;
}

TarvoStatus RawPost(TarvoApiContext& context, const void* bytes, uint32_t size)
{
    return context.DeviceControl(TARVO_IOCTL_POST_MESSAGE, bytes, size, nullptr, 0);
}

bool Signalled(HANDLE event, uint32_t timeoutMs = 0)
{
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}

// Fetches every waiting message; fails the test on anything but records and the final
// NO_MORE_ITEMS.
std::vector<TarvoMessage> DrainMessages(TarvoDriver& connection)
{
    std::vector<TarvoMessage> records;
    TarvoMessage m;
    m.Init(TARVO_MSG_NONE, 0);
    TarvoStatus status;
    while ((status = connection.GetMessage(m)) == TARVO_STATUS_SUCCESS)
        records.push_back(m);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, status);
    return records;
}

std::vector<TarvoMessage> DrainNotifications(TarvoDriver& connection)
{
    std::vector<TarvoMessage> records;
    TarvoMessage m;
    m.Init(TARVO_MSG_NONE, 0);
    TarvoStatus status;
    while ((status = connection.GetNotification(m)) == TARVO_STATUS_SUCCESS)
        records.push_back(m);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, status);
    return records;
}

class MessageTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0u, sim.Open());
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
    }
    void TearDown() override { (void)sim.Reset(); }

    SimControl sim;
};

// ---- the relay ----

TEST_F(MessageTest, RequestReachesTheServerStampedWithThePosterAndSignalsIt)
{
    TarvoDriver server, client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    EXPECT_FALSE(Signalled(server.GetMessageEvent()));

    const uint32_t rate = 48000;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, 7, &rate, 4)));
    EXPECT_TRUE(Signalled(server.GetMessageEvent(), 2000));
    EXPECT_FALSE(Signalled(client.GetMessageEvent()));

    TarvoMessage got;
    memset(&got, 0xCD, sizeof got);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.GetMessage(got));
    EXPECT_EQ(32u, got.headerSize);
    EXPECT_EQ(4u, got.payloadSize);
    EXPECT_EQ(TARVO_MSG_REQUEST, got.type);
    EXPECT_EQ(1001u, got.code);
    EXPECT_EQ(7u, got.sequence);
    EXPECT_EQ(IdOf(client), got.echo0);
    EXPECT_NE(0u, got.echo1);
    EXPECT_EQ(0u, got.status);
    uint32_t value = 0;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, got.Read4(value));
    EXPECT_EQ(48000u, value);
    for (uint32_t i = 4; i < TARVO_MSG_MAX_PAYLOAD; ++i)
        ASSERT_EQ(0, got.payload[i]) << "byte " << i << " beyond the payload";

    // Empty now: type and code are zeroed by the fetch, the rest stays.
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, server.GetMessage(got));
    EXPECT_EQ(0u, got.type);
    EXPECT_EQ(0u, got.code);
    EXPECT_EQ(7u, got.sequence);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, server.GetNotification(got));
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetMessage(got));
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetNotification(got));
}

// Two clients use the same sequence number: each reply still reaches only the client
// whose request it answers, exactly once.
TEST_F(MessageTest, ReplyReachesOnlyTheClientThatAskedAndOnlyOnce)
{
    TarvoDriver server, first, second;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, first.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, second.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, first.PostMessage(Request(1005, 1)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, second.PostMessage(Request(1005, 1)));
    std::vector<TarvoMessage> requests = DrainMessages(server);
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(IdOf(first), requests[0].echo0);
    EXPECT_EQ(IdOf(second), requests[1].echo0);

    TarvoMessage reply;
    reply.InitReply(requests[1], TARVO_STATUS_IN_USE);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(reply));
    EXPECT_EQ(TARVO_STATUS_INITIATOR_NOT_FOUND, server.PostMessage(reply)) << "answered twice";
    reply.InitReply(requests[0], TARVO_STATUS_REJECTED);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(reply));

    EXPECT_TRUE(Signalled(first.GetMessageEvent(), 2000));
    EXPECT_TRUE(Signalled(second.GetMessageEvent(), 2000));
    const std::vector<TarvoMessage> toFirst = DrainMessages(first);
    const std::vector<TarvoMessage> toSecond = DrainMessages(second);
    ASSERT_EQ(1u, toFirst.size());
    ASSERT_EQ(1u, toSecond.size());
    EXPECT_EQ(TARVO_STATUS_REJECTED, toFirst[0].status);
    EXPECT_EQ(TARVO_STATUS_IN_USE, toSecond[0].status);
    EXPECT_EQ(TARVO_MSG_REPLY, toFirst[0].type);
    EXPECT_EQ(1u, toFirst[0].sequence);
    EXPECT_EQ(0u, DrainMessages(server).size());
}

TEST_F(MessageTest, RepliesWithoutAMatchingRequestFindNoInitiator)
{
    TarvoDriver server, client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, 5)));
    std::vector<TarvoMessage> requests = DrainMessages(server);
    ASSERT_EQ(1u, requests.size());

    struct Case {
        const char* what;
        uint32_t sequenceDelta;
        uint32_t echo0Delta;
        uint32_t echo1Delta;
    };
    const Case cases[] = {
        {"other sequence", 1, 0, 0},
        {"other connection", 0, 1000, 0},
        {"other ticket", 0, 0, 1},
    };
    for (const Case& c : cases) {
        TarvoMessage reply;
        reply.InitReply(requests[0], TARVO_STATUS_SUCCESS);
        reply.sequence += c.sequenceDelta;
        reply.echo0 += c.echo0Delta;
        reply.echo1 += c.echo1Delta;
        EXPECT_EQ(TARVO_STATUS_INITIATOR_NOT_FOUND, server.PostMessage(reply)) << c.what;
    }
    EXPECT_EQ(0u, DrainMessages(client).size());

    // The client closes before the answer: the reply has nobody to go to.
    client.Detach();
    TarvoMessage reply;
    reply.InitReply(requests[0], TARVO_STATUS_SUCCESS);
    EXPECT_EQ(TARVO_STATUS_INITIATOR_NOT_FOUND, server.PostMessage(reply));
}

TEST_F(MessageTest, RequestWithoutServerIsRefused)
{
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    EXPECT_EQ(TARVO_STATUS_NO_SERVER, client.PostMessage(Request(1001, 1)));
    TarvoDriver closed;
    EXPECT_EQ(TARVO_STATUS_NOT_OPENED, closed.PostMessage(Request(1001, 1)));
}

TEST_F(MessageTest, NotificationsReachEveryConnectionWithANotificationEvent)
{
    TarvoDriver server, poster, other, viewer;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, poster.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, other.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, viewer.OpenAsViewer(kName));  // no events
    const uint32_t key[2] = {0x1234, 0x5678};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, poster.PostMessage(Notification(3040, key, sizeof key)));
    for (TarvoDriver* receiver : {&server, &poster, &other}) {
        EXPECT_TRUE(Signalled(receiver->GetNotificationEvent(), 2000));
        EXPECT_FALSE(Signalled(receiver->GetMessageEvent()));
        const std::vector<TarvoMessage> got = DrainNotifications(*receiver);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(TARVO_MSG_NOTIFICATION, got[0].type);
        EXPECT_EQ(3040u, got[0].code);
        uint32_t words[2] = {};
        EXPECT_EQ(TARVO_STATUS_SUCCESS, got[0].Read8(words));
        EXPECT_EQ(0x1234u, words[0]);
        EXPECT_EQ(0x5678u, words[1]);
        EXPECT_EQ(0u, DrainMessages(*receiver).size());
    }
    EXPECT_EQ(0u, DrainNotifications(viewer).size());
}

// Every way a post can disagree with its own header; nothing refused is queued anywhere.
TEST_F(MessageTest, MalformedPostsAreRefusedWithAStatus)
{
    TarvoDriver server, client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    struct Case {
        const char* what;
        uint32_t length;       // bytes posted
        uint32_t headerSize;
        uint32_t payloadSize;
        uint32_t type;
        bool fromServer;
        TarvoStatus expected;
    };
    const Case cases[] = {
        {"no bytes", 0, 32, 0, 1, false, TARVO_STATUS_INVALID_INBUFFER_SIZE},
        {"4 bytes", 4, 32, 0, 1, false, TARVO_STATUS_INVALID_HD_SIZE},
        {"31 bytes", 31, 32, 0, 1, false, TARVO_STATUS_INVALID_HD_SIZE},
        {"header size 16", 32, 16, 0, 1, false, TARVO_STATUS_INVALID_HD_SIZE},
        {"header size 0", 48, 0, 16, 3, false, TARVO_STATUS_INVALID_HD_SIZE},
        {"payload size 4 in 32 bytes", 32, 32, 4, 1, false, TARVO_STATUS_INVALID_MSG_SIZE},
        {"payload size 0 in 36 bytes", 36, 32, 0, 3, false, TARVO_STATUS_INVALID_MSG_SIZE},
        {"payload size 3 in 36 bytes", 36, 32, 3, 1, false, TARVO_STATUS_INVALID_MSG_SIZE},
        {"payload size 513 in 544 bytes", 544, 32, 513, 1, false, TARVO_STATUS_INVALID_MSG_SIZE},
        {"payload size 0xFFFFFFE0", 32, 32, 0xFFFFFFE0, 1, false, TARVO_STATUS_INVALID_MSG_SIZE},
        {"545 bytes", 545, 32, 513, 1, false, TARVO_STATUS_INVALID_INBUFFER_SIZE},
        {"type 0", 32, 32, 0, 0, false, TARVO_STATUS_INVALID_MSG_TYPE},
        {"type 4", 32, 32, 0, 4, false, TARVO_STATUS_INVALID_MSG_TYPE},
        {"type 0xFFFFFFFF", 40, 32, 8, 0xFFFFFFFF, true, TARVO_STATUS_INVALID_MSG_TYPE},
        {"reply from a client", 32, 32, 0, 2, false, TARVO_STATUS_NOT_ALLOWED},
    };
    uint8_t bytes[600] = {};
    for (const Case& c : cases) {
        TarvoMessage m;
        m.Init(c.type, 1001);
        m.headerSize = c.headerSize;
        m.payloadSize = c.payloadSize;
        m.sequence = 1;
        memcpy(bytes, &m, 32);
        EXPECT_EQ(c.expected, RawPost(c.fromServer ? server : client, bytes, c.length)) << c.what;
    }
    EXPECT_EQ(0u, DrainMessages(server).size());
    EXPECT_EQ(0u, DrainNotifications(server).size());
    EXPECT_EQ(0u, DrainMessages(client).size());
    EXPECT_EQ(0u, DrainNotifications(client).size());

    // The library does not read beyond its record for a payload size it cannot hold.
    const uint32_t postsBefore = sim.CountOf(IdOf(client), TARVO_IOCTL_POST_MESSAGE);
    TarvoMessage tooLong = Request(1001, 2);
    tooLong.payloadSize = 513;
    EXPECT_EQ(TARVO_STATUS_INVALID_MSG_SIZE, client.PostMessage(tooLong));
    EXPECT_EQ(postsBefore, sim.CountOf(IdOf(client), TARVO_IOCTL_POST_MESSAGE));
}

TEST_F(MessageTest, FetchesReturnExactly544Bytes)
{
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    uint8_t buffer[600];
    for (uint32_t code : {TARVO_IOCTL_GET_MESSAGE, TARVO_IOCTL_GET_NOTIFICATION}) {
        EXPECT_EQ(TARVO_STATUS_INVALID_OUTBUFFER_SIZE, client.DeviceControl(code, nullptr, 0, buffer, 543));
        EXPECT_EQ(TARVO_STATUS_INVALID_OUTBUFFER_SIZE, client.DeviceControl(code, nullptr, 0, buffer, 545));
        EXPECT_EQ(TARVO_STATUS_INVALID_INBUFFER_SIZE, client.DeviceControl(code, buffer, 4, buffer, 544));
    }
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Notification(3001)));
    uint32_t bytes = 0;
    memset(buffer, 0xCD, sizeof buffer);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.DeviceControl(TARVO_IOCTL_GET_NOTIFICATION, nullptr, 0, buffer, 544, &bytes));
    EXPECT_EQ(544u, bytes);
    for (uint32_t i = 32; i < 544; ++i)
        ASSERT_EQ(0, buffer[i]) << i;
    EXPECT_EQ(0xCD, buffer[544]);
}

// A queue holds 64 records; the 65th post is refused and nothing accepted is lost.
TEST_F(MessageTest, TheServersQueueIsBoundedAndRefusesTheOverflow)
{
    TarvoDriver server, client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    for (uint32_t s = 1; s <= 64; ++s)
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, s, &s, 4))) << s;
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, client.PostMessage(Request(1001, 65)));
    const std::vector<TarvoMessage> got = DrainMessages(server);
    ASSERT_EQ(64u, got.size());
    for (uint32_t i = 0; i < 64; ++i) {
        EXPECT_EQ(i + 1, got[i].sequence);
        uint32_t value = 0;
        EXPECT_EQ(TARVO_STATUS_SUCCESS, got[i].Read4(value));
        EXPECT_EQ(i + 1, value);
    }
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, 66)));
    EXPECT_EQ(1u, DrainMessages(server).size());
}

// A full client queue refuses a reply; the request stays answerable, so the same reply
// goes through once the client has fetched.
TEST_F(MessageTest, AReplyToAFullQueueIsRefusedAndCanBePostedAgain)
{
    TarvoDriver server, client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    for (uint32_t s = 1; s <= 64; ++s)
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1005, s)));
    std::vector<TarvoMessage> requests = DrainMessages(server);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1005, 65)));
    std::vector<TarvoMessage> last = DrainMessages(server);
    ASSERT_EQ(64u, requests.size());
    ASSERT_EQ(1u, last.size());
    requests.push_back(last[0]);
    TarvoMessage reply;
    for (uint32_t i = 0; i < 64; ++i) {
        reply.InitReply(requests[i], TARVO_STATUS_SUCCESS);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(reply)) << i;
    }
    reply.InitReply(requests[64], TARVO_STATUS_SUCCESS);
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, server.PostMessage(reply));
    TarvoMessage fetched;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetMessage(fetched));
    EXPECT_EQ(1u, fetched.sequence);
    EXPECT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(reply));
    const std::vector<TarvoMessage> rest = DrainMessages(client);
    ASSERT_EQ(64u, rest.size());
    for (uint32_t i = 0; i < 64; ++i)
        EXPECT_EQ(i + 2, rest[i].sequence);
}

// A full notification queue holds back nobody else: the others get the record, and the
// poster learns that someone missed it.
TEST_F(MessageTest, ANotificationReachesEveryQueueWithRoomAndReportsAFullOne)
{
    TarvoDriver stalled, poster;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, stalled.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, poster.OpenAsClient(kName));
    for (uint32_t n = 0; n < 64; ++n) {
        ASSERT_EQ(TARVO_STATUS_SUCCESS, poster.PostMessage(Notification(3051, &n, 4))) << n;
        ASSERT_EQ(1u, DrainNotifications(poster).size());
    }
    const uint32_t n = 64;
    EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, poster.PostMessage(Notification(3051, &n, 4)));
    const std::vector<TarvoMessage> posterGot = DrainNotifications(poster);
    ASSERT_EQ(1u, posterGot.size());
    uint32_t value = 0;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, posterGot[0].Read4(value));
    EXPECT_EQ(64u, value);
    const std::vector<TarvoMessage> stalledGot = DrainNotifications(stalled);
    ASSERT_EQ(64u, stalledGot.size());
    for (uint32_t i = 0; i < 64; ++i) {
        EXPECT_EQ(TARVO_STATUS_SUCCESS, stalledGot[i].Read4(value));
        EXPECT_EQ(i, value);
    }
    EXPECT_EQ(TARVO_STATUS_SUCCESS, poster.PostMessage(Notification(3051, &n, 4)));
}

TEST_F(MessageTest, AClosedConnectionsQueuedRecordsGoWithIt)
{
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    {
        TarvoDriver server;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
        for (uint32_t s = 1; s <= 3; ++s)
            ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, s)));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(Notification(3030)));
    }
    TarvoDriver next;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, next.OpenAsServer(kName));
    EXPECT_EQ(0u, DrainMessages(next).size());
    EXPECT_EQ(0u, DrainNotifications(next).size());

    client.Detach();
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    EXPECT_EQ(0u, DrainNotifications(client).size());
}

// ---- the server class ----

class ScriptedServer : public TarvoServer {
public:
    std::function<TarvoStatus(const TarvoMessage&, TarvoMessage&)> onRequest;
    std::vector<TarvoMessage> requests;
    std::vector<TarvoMessage> notifications;

protected:
    TarvoStatus HandleRequest(const TarvoMessage& request, TarvoMessage& reply) override
    {
        requests.push_back(request);
        return onRequest ? onRequest(request, reply) : TarvoServer::HandleRequest(request, reply);
    }
    void HandleNotification(const TarvoMessage& notification) override { notifications.push_back(notification); }
};

TEST_F(MessageTest, ProcessMessagesAnswersEveryQueuedRequestInOrder)
{
    ScriptedServer server;
    server.onRequest = [](const TarvoMessage& request, TarvoMessage&) -> TarvoStatus {
        if (request.code != 1001)
            return TARVO_STATUS_INVALID_COMMAND;
        uint32_t rate = 0;
        return request.Read4(rate);
    };
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t rate = 44100;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, 1, &rate, 4)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1999, 2)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1001, 3, &rate, 3)));
    server.ProcessMessages();
    EXPECT_EQ(3u, server.requests.size());
    const std::vector<TarvoMessage> replies = DrainMessages(client);
    ASSERT_EQ(3u, replies.size());
    const TarvoStatus expected[3] = {TARVO_STATUS_SUCCESS, TARVO_STATUS_INVALID_COMMAND, TARVO_STATUS_INVALID_MSG_SIZE};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(TARVO_MSG_REPLY, replies[i].type);
        EXPECT_EQ(TARVO_REPLY_STATUS, replies[i].code);
        EXPECT_EQ(i + 1, replies[i].sequence);
        EXPECT_EQ(expected[i], replies[i].status) << i;
        EXPECT_EQ(0u, replies[i].payloadSize);
    }
}

TEST_F(MessageTest, ThePlainServerAnswersAnUnknownCodeAsUnhandled)
{
    TarvoServer server;
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t rate = 48000;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(5000, 9, &rate, 4)));
    server.ProcessMessages();
    const std::vector<TarvoMessage> replies = DrainMessages(client);
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(TARVO_REPLY_STATUS, replies[0].code);
    EXPECT_EQ(TARVO_STATUS_INVALID_COMMAND, replies[0].status);
    EXPECT_EQ(9u, replies[0].sequence);
    EXPECT_FALSE(server.closePending);
}

// The server asks itself and answers: the reply lands in its own message queue, where
// ProcessMessages must drop it without handling or answering it.
TEST_F(MessageTest, ARecordOfAnotherTypeInTheServersQueueIsDroppedWithoutReply)
{
    ScriptedServer server;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(Request(1001, 5)));
    TarvoMessage request;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.GetMessage(request));
    TarvoMessage reply;
    reply.InitReply(request, TARVO_STATUS_SUCCESS);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(reply));
    const uint32_t id = IdOf(server);
    const uint32_t postsBefore = sim.CountOf(id, TARVO_IOCTL_POST_MESSAGE);
    const uint32_t fetchesBefore = sim.CountOf(id, TARVO_IOCTL_GET_MESSAGE);
    server.ProcessMessages();
    EXPECT_EQ(0u, server.requests.size());
    EXPECT_EQ(postsBefore, sim.CountOf(id, TARVO_IOCTL_POST_MESSAGE));
    EXPECT_EQ(fetchesBefore + 2, sim.CountOf(id, TARVO_IOCTL_GET_MESSAGE));  // the reply, then empty
    EXPECT_EQ(0u, DrainMessages(server).size());
}

TEST_F(MessageTest, APendingRequestIsAnsweredOnlyWhenTheHandlerPostsLater)
{
    ScriptedServer server;
    TarvoMessage held;
    server.onRequest = [&held](const TarvoMessage&, TarvoMessage& reply) -> TarvoStatus {
        held = reply;
        return TARVO_STATUS_PENDING;
    };
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Request(1003, 21)));
    server.ProcessMessages();
    EXPECT_EQ(0u, DrainMessages(client).size());
    held.status = TARVO_STATUS_SUCCESS;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(held));
    const std::vector<TarvoMessage> replies = DrainMessages(client);
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(21u, replies[0].sequence);
}

TEST_F(MessageTest, ProcessNotificationsHandsOverEveryNotificationInOrder)
{
    ScriptedServer server;
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t key[2] = {3, 4};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Notification(3040, key, 8)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.PostMessage(Notification(3040, key, 4)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostNotification(3030));
    server.ProcessNotifications();
    ASSERT_EQ(3u, server.notifications.size());
    EXPECT_EQ(3040u, server.notifications[0].code);
    EXPECT_EQ(8u, server.notifications[0].payloadSize);
    EXPECT_EQ(4u, server.notifications[1].payloadSize);
    EXPECT_EQ(3030u, server.notifications[2].code);
    EXPECT_EQ(0u, server.notifications[2].payloadSize);
    EXPECT_EQ(0u, DrainNotifications(server).size());

    // The client sees the server's notification as a 32-byte record.
    const std::vector<TarvoMessage> got = DrainNotifications(client);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(TARVO_MSG_NOTIFICATION, got[2].type);
    EXPECT_EQ(3030u, got[2].code);
    EXPECT_EQ(0u, got[2].sequence);
}

// ---- the client class ----

// Runs a server's message loop on its own thread, as the service does.
class ServerThread {
public:
    explicit ServerThread(ScriptedServer& s) : server(s)
    {
        forwarder.object = this;
        forwarder.function = &ServerThread::Run;
    }
    ~ServerThread() { Stop(); }
    uint32_t Start()
    {
        const uint32_t error = stop.Create(true, false);
        return error != 0 ? error : thread.Start(&forwarder);
    }
    void Stop()
    {
        if (stop.Get() != nullptr)
            stop.Set();
        EXPECT_EQ(0u, thread.Wait(10000));
    }

private:
    uint32_t Run()
    {
        const HANDLE waits[3] = {stop.Get(), server.GetMessageEvent(), server.GetNotificationEvent()};
        for (;;) {
            const DWORD waited = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
            if (waited == WAIT_OBJECT_0 + 1)
                server.ProcessMessages();
            else if (waited == WAIT_OBJECT_0 + 2)
                server.ProcessNotifications();
            else
                return 0;
        }
    }

    ScriptedServer& server;
    WnEvent stop;
    WnThread thread;
    WnThreadCallbackForwarderT<ServerThread> forwarder;
};

// Lets a test start from any sequence number.
class TestClient : public TarvoCplClient {
public:
    void SetLastSequence(uint32_t value) { lastSequence = value; }
};

TEST_F(MessageTest, RequestOperationsSendTheirPayloadsAndReturnTheRepliedStatus)
{
    ScriptedServer server;
    TarvoStatus answer = TARVO_STATUS_SUCCESS;
    server.onRequest = [&answer](const TarvoMessage&, TarvoMessage&) { return answer; };
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ServerThread loop(server);
    ASSERT_EQ(0u, loop.Start());
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));

    struct Case {
        const char* what;
        std::function<TarvoStatus()> call;
        uint32_t code;
        std::vector<uint32_t> words;
        TarvoStatus answer;
    };
    const TarvoBufferSizeSettings sizes = {2, 1, 77};
    const TarvoPolicy policy = {1};
    const std::vector<Case> cases = {
        {"sample rate", [&] { return client.RequestSampleRate(96000); }, 1001, {96000},
         TARVO_STATUS_SOUND_DEVICE_IN_USE},
        {"buffer sizes", [&] { return client.RequestBufferSizes(sizes); }, 1002, {2, 1, 77}, TARVO_STATUS_SUCCESS},
        {"one streaming device", [&] { return client.RequestStreamingDevice(0xA, 0xB, false); }, 1003, {0, 0xA, 0xB},
         TARVO_STATUS_NO_DEVICE},
        {"all devices", [&] { return client.RequestStreamingDevice(0xA, 0xB, true); }, 1003, {1, 0xA, 0xB},
         TARVO_STATUS_SUCCESS},
        {"policy", [&] { return client.RequestPolicy(policy); }, 1005, {1}, TARVO_STATUS_NOT_ALLOWED},
        {"set sound device configuration", [&] { return client.SetSoundDeviceConfiguration(5, 6, 7, 8); }, 11001,
         {5, 6, 7, 8}, TARVO_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        answer = c.answer;
        const uint32_t before = client.GetLastSequence();
        EXPECT_EQ(c.answer, c.call());
        EXPECT_EQ(before + 1, client.GetLastSequence());
    }
    loop.Stop();
    ASSERT_EQ(cases.size(), server.requests.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        const TarvoMessage& sent = server.requests[i];
        EXPECT_EQ(TARVO_MSG_REQUEST, sent.type);
        EXPECT_EQ(cases[i].code, sent.code);
        EXPECT_EQ(i + 1, sent.sequence);
        ASSERT_EQ(cases[i].words.size() * 4, sent.payloadSize);
        EXPECT_EQ(0, memcmp(cases[i].words.data(), sent.payload, sent.payloadSize));
    }
}

TEST_F(MessageTest, TheSequenceNumberWrapsFromFFFFFFFFToOne)
{
    ScriptedServer server;
    server.onRequest = [](const TarvoMessage&, TarvoMessage&) { return TARVO_STATUS_SUCCESS; };
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ServerThread loop(server);
    ASSERT_EQ(0u, loop.Start());
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    client.SetLastSequence(0xFFFFFFFE);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000, 5000));
    EXPECT_EQ(2u, client.GetLastSequence());
    loop.Stop();
    ASSERT_EQ(3u, server.requests.size());
    EXPECT_EQ(0xFFFFFFFFu, server.requests[0].sequence);
    EXPECT_EQ(1u, server.requests[1].sequence);
    EXPECT_EQ(2u, server.requests[2].sequence);
}

TEST_F(MessageTest, TimeoutWhenNoServerAnswersAndTheServersStatusWhenNoneIsThere)
{
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_NOT_OPENED, client.RequestSampleRate(48000, 100));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    EXPECT_EQ(TARVO_STATUS_NO_SERVER, client.RequestSampleRate(48000, 100));

    TarvoDriver silent;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, silent.OpenAsServer(kName));
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(TARVO_STATUS_TIMEOUT, client.RequestSampleRate(48000, 150));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, 140u);
    EXPECT_LT(elapsed, 5000u);
    EXPECT_EQ(1u, DrainMessages(silent).size()) << "the request did reach the server";
}

// The server holds back the answer to a request whose caller gives up, then answers it
// just before the next one: the late reply is dropped and the current one returned,
// both when the two arrive apart and together.
TEST_F(MessageTest, ALateReplyIsDroppedAndTheWaitGoesOn)
{
    for (const uint32_t gapMs : {200u, 0u}) {
        SCOPED_TRACE(testing::Message() << "gap " << gapMs << " ms");
        ScriptedServer server;
        TarvoMessage late;
        bool holding = false;
        server.onRequest = [&](const TarvoMessage&, TarvoMessage& reply) -> TarvoStatus {
            if (!holding) {
                late = reply;
                holding = true;
                return TARVO_STATUS_PENDING;
            }
            late.status = TARVO_STATUS_SUCCESS;
            EXPECT_EQ(TARVO_STATUS_SUCCESS, server.PostMessage(late));
            Sleep(gapMs);
            return TARVO_STATUS_SOUND_DEVICE_IN_USE;
        };
        ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
        ServerThread loop(server);
        ASSERT_EQ(0u, loop.Start());
        TestClient client;
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
        EXPECT_EQ(TARVO_STATUS_TIMEOUT, client.RequestSampleRate(48000, 300));
        EXPECT_EQ(TARVO_STATUS_SOUND_DEVICE_IN_USE, client.RequestSampleRate(44100, 5000));
        EXPECT_EQ(2u, client.GetLastSequence());
        loop.Stop();
        EXPECT_EQ(0u, DrainMessages(client).size());
    }
}

// A reply of the wrong code or shape never counts as the answer the operation expects.
TEST_F(MessageTest, ReplyCodesAndShapesAreChecked)
{
    struct Case {
        const char* what;
        bool getConfiguration;  // else RequestSampleRate
        uint32_t replyCode;
        TarvoStatus replyStatus;
        uint32_t payloadWords;
        TarvoStatus expected;
    };
    const Case cases[] = {
        {"11002 refused with 2001", true, 2001, TARVO_STATUS_OBJECT_NOT_FOUND, 0, TARVO_STATUS_UNEXPECTED_MSG_CODE},
        {"11002 answered 2001 success", true, 2001, TARVO_STATUS_SUCCESS, 0, TARVO_STATUS_UNEXPECTED_MSG_CODE},
        {"11002 with a failure status", true, 12001, TARVO_STATUS_INVALID_STATE, 4, TARVO_STATUS_INVALID_STATE},
        {"11002 with 12 bytes", true, 12001, TARVO_STATUS_SUCCESS, 3, TARVO_STATUS_INVALID_MSG_SIZE},
        {"11002 with 20 bytes", true, 12001, TARVO_STATUS_SUCCESS, 5, TARVO_STATUS_INVALID_LENGTH},
        {"11002 answered", true, 12001, TARVO_STATUS_SUCCESS, 4, TARVO_STATUS_SUCCESS},
        {"1001 answered with 12001", false, 12001, TARVO_STATUS_SUCCESS, 4, TARVO_STATUS_UNEXPECTED_MSG_CODE},
        {"1001 answered with 3001", false, 3001, TARVO_STATUS_SUCCESS, 0, TARVO_STATUS_UNEXPECTED_MSG_CODE},
        {"1001 answered 2001 in use", false, 2001, TARVO_STATUS_SOUND_DEVICE_IN_USE, 0,
         TARVO_STATUS_SOUND_DEVICE_IN_USE},
    };
    ScriptedServer server;
    const Case* current = nullptr;
    server.onRequest = [&current](const TarvoMessage&, TarvoMessage& reply) -> TarvoStatus {
        const uint32_t words[5] = {0x21, 0x22, 0x700, 0x800, 0x900};
        reply.code = current->replyCode;
        EXPECT_EQ(TARVO_STATUS_SUCCESS, reply.SetPayload(words, current->payloadWords * 4));
        return current->replyStatus;
    };
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ServerThread loop(server);
    ASSERT_EQ(0u, loop.Start());
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    for (const Case& c : cases) {
        current = &c;
        uint32_t render = 0xDEAD, capture = 0xBEEF;
        const TarvoStatus status = c.getConfiguration ? client.GetSoundDeviceConfiguration(0x21, 0x22, render, capture)
                                                      : client.RequestSampleRate(48000, 5000);
        EXPECT_EQ(c.expected, status) << c.what;
        if (c.getConfiguration && c.expected == TARVO_STATUS_SUCCESS) {
            EXPECT_EQ(0x700u, render);
            EXPECT_EQ(0x800u, capture);
        } else {
            EXPECT_EQ(0xDEADu, render) << c.what;
            EXPECT_EQ(0xBEEFu, capture) << c.what;
        }
    }
    loop.Stop();
    ASSERT_EQ(sizeof cases / sizeof cases[0], server.requests.size());
    const TarvoMessage& get = server.requests[0];
    EXPECT_EQ(11002u, get.code);
    uint32_t words[4] = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, get.Read16(words));
    EXPECT_EQ(0x21u, words[0]);
    EXPECT_EQ(0x22u, words[1]);
    EXPECT_EQ(0u, words[2]);
    EXPECT_EQ(0u, words[3]);
}

// Another request on the same connection waits while a transaction waits for its reply.
class LockProbe {
public:
    LockProbe(TarvoClient& c, HANDLE start) : client(c), startEvent(start)
    {
        forwarder.object = this;
        forwarder.function = &LockProbe::Run;
    }
    WnThread thread;
    WnThreadCallbackForwarderT<LockProbe> forwarder;
    ULONGLONG doneAt = 0;  // read after the thread ended
    TarvoStatus status = TARVO_STATUS_FAILED;

private:
    uint32_t Run()
    {
        WaitForSingleObject(startEvent, 10000);
        TarvoDriverInfo info;
        status = client.GetDriverInfo(info);
        doneAt = GetTickCount64();
        return 0;
    }
    TarvoClient& client;
    HANDLE startEvent;
};

TEST_F(MessageTest, TransactHoldsTheConnectionLockWhileItWaits)
{
    WnEvent handlerEntered;
    ASSERT_EQ(0u, handlerEntered.Create(true, false));
    ScriptedServer server;
    server.onRequest = [&handlerEntered](const TarvoMessage&, TarvoMessage&) -> TarvoStatus {
        handlerEntered.Set();
        Sleep(400);
        return TARVO_STATUS_SUCCESS;
    };
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    ServerThread loop(server);
    ASSERT_EQ(0u, loop.Start());
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    LockProbe probe(client, handlerEntered.Get());
    ASSERT_EQ(0u, probe.thread.Start(&probe.forwarder));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000, 5000));
    const ULONGLONG transactEnded = GetTickCount64();
    ASSERT_EQ(0u, probe.thread.Wait(10000));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, probe.status);
    EXPECT_GE(probe.doneAt, transactEnded);
}

TEST_F(MessageTest, ClientGetNotificationReturnsNotificationsUntilTheQueueIsEmpty)
{
    TarvoServer server;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    TarvoMessage record;
    record.Init(TARVO_MSG_NONE, 0);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetNotification(record));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostNotification(3011));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.PostNotification(3030));
    EXPECT_TRUE(Signalled(client.GetNotificationEvent(), 2000));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetNotification(record));
    EXPECT_EQ(3011u, record.code);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetNotification(record));
    EXPECT_EQ(3030u, record.code);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetNotification(record));
    TestClient closed;
    EXPECT_EQ(TARVO_STATUS_NOT_OPENED, closed.GetNotification(record));
}

// ---- records the relay never queues (placed by the test interface) ----

// A record with every header field as given and payloadSize bytes of a pattern (as many
// as the record holds).
TarvoMessage RawRecord(uint32_t type, uint32_t code, uint32_t sequence, uint32_t status, uint32_t payloadSize)
{
    TarvoMessage m;
    m.Init(type, code);
    m.sequence = sequence;
    m.status = status;
    m.payloadSize = payloadSize;
    for (uint32_t i = 0; i < payloadSize && i < TARVO_MSG_MAX_PAYLOAD; ++i)
        m.payload[i] = static_cast<uint8_t>(0x40 + i);
    return m;
}

TEST_F(MessageTest, AnInjectedRecordArrivesByteForByteAndSignalsItsQueuesEvent)
{
    TarvoDriver target;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, target.OpenAsClient(kName));
    const uint32_t id = IdOf(target);
    for (const uint32_t queue : {SIM_QUEUE_MESSAGE, SIM_QUEUE_NOTIFICATION}) {
        for (const uint32_t length : {544u, 40u, 32u}) {
            SCOPED_TRACE(testing::Message() << "queue " << queue << ", length " << length);
            // Nothing of it would pass a post: header size, type and payload size are all off.
            TarvoMessage given;
            memset(&given, 0, sizeof given);
            for (uint32_t i = 0; i < sizeof given; ++i)
                reinterpret_cast<uint8_t*>(&given)[i] = static_cast<uint8_t>(i * 13 + 5);
            given.headerSize = 40;
            given.type = 7;
            given.payloadSize = 600;
            HANDLE event = queue == SIM_QUEUE_MESSAGE ? target.GetMessageEvent() : target.GetNotificationEvent();
            HANDLE other = queue == SIM_QUEUE_MESSAGE ? target.GetNotificationEvent() : target.GetMessageEvent();
            EXPECT_FALSE(Signalled(event));
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(id, queue, given, length));
            EXPECT_TRUE(Signalled(event, 2000));
            EXPECT_FALSE(Signalled(other));

            TarvoMessage expected;
            memset(&expected, 0, sizeof expected);
            memcpy(&expected, &given, length);
            const std::vector<TarvoMessage> got =
                queue == SIM_QUEUE_MESSAGE ? DrainMessages(target) : DrainNotifications(target);
            ASSERT_EQ(1u, got.size());
            EXPECT_EQ(0, memcmp(&expected, &got[0], sizeof expected));
            EXPECT_EQ(0u, (queue == SIM_QUEUE_MESSAGE ? DrainNotifications(target) : DrainMessages(target)).size());
        }
    }
    // A test-interface request: it is counted nowhere.
    EXPECT_EQ(0u, sim.CountOf(SIM_TOTAL_CONNECTION_ID, SIM_IOCTL_INJECT_RECORD));
    EXPECT_EQ(0u, sim.CountOf(id, TARVO_IOCTL_POST_MESSAGE));
}

TEST_F(MessageTest, InjectionRequestsAreCheckedAndARefusedOneQueuesNothing)
{
    TarvoDriver target;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, target.OpenAsClient(kName));
    const uint32_t id = IdOf(target);
    const TarvoMessage record = RawRecord(TARVO_MSG_NOTIFICATION, 3030, 0, 0, 0);
    struct Case {
        const char* what;
        uint32_t connectionId;
        uint32_t queue;
        uint32_t length;
        TarvoStatus expected;
    };
    const Case cases[] = {
        {"queue 2", id, 2, 32, TARVO_STATUS_INVALID_PARAMETER},
        {"queue FFFFFFFF", id, 0xFFFFFFFF, 32, TARVO_STATUS_INVALID_PARAMETER},
        {"length 31", id, SIM_QUEUE_NOTIFICATION, 31, TARVO_STATUS_INVALID_PARAMETER},
        {"length 545", id, SIM_QUEUE_MESSAGE, 545, TARVO_STATUS_INVALID_PARAMETER},
        {"length FFFFFFFF", id, SIM_QUEUE_NOTIFICATION, 0xFFFFFFFF, TARVO_STATUS_INVALID_PARAMETER},
        {"unknown connection", id + 1000, SIM_QUEUE_NOTIFICATION, 32, TARVO_STATUS_OBJECT_NOT_FOUND},
        {"the totals' id", SIM_TOTAL_CONNECTION_ID, SIM_QUEUE_MESSAGE, 32, TARVO_STATUS_OBJECT_NOT_FOUND},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, sim.InjectRecord(c.connectionId, c.queue, record, c.length)) << c.what;

    SimInjectRecord inject;
    memset(&inject, 0, sizeof inject);
    inject.connectionId = id;
    inject.queue = SIM_QUEUE_NOTIFICATION;
    inject.length = 32;
    inject.record = record;
    uint8_t bytes[sizeof inject + 1] = {};
    memcpy(bytes, &inject, sizeof inject);
    uint8_t out[4];
    EXPECT_EQ(TARVO_STATUS_INVALID_INBUFFER_SIZE,
              sim.Request(SIM_IOCTL_INJECT_RECORD, bytes, sizeof inject - 1, nullptr, 0));
    EXPECT_EQ(TARVO_STATUS_INVALID_INBUFFER_SIZE,
              sim.Request(SIM_IOCTL_INJECT_RECORD, bytes, sizeof inject + 1, nullptr, 0));
    EXPECT_EQ(TARVO_STATUS_INVALID_OUTBUFFER_SIZE,
              sim.Request(SIM_IOCTL_INJECT_RECORD, bytes, sizeof inject, out, sizeof out));

    EXPECT_FALSE(Signalled(target.GetMessageEvent()));
    EXPECT_FALSE(Signalled(target.GetNotificationEvent()));
    EXPECT_EQ(0u, DrainMessages(target).size());
    EXPECT_EQ(0u, DrainNotifications(target).size());
    // The exact request is admitted.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Request(SIM_IOCTL_INJECT_RECORD, bytes, sizeof inject, nullptr, 0));
    EXPECT_EQ(1u, DrainNotifications(target).size());
}

// Injection respects the queue bound like any record, and shares it with the relay.
TEST_F(MessageTest, InjectionIntoAFullQueueIsRefusedAndKeepsTheQueuedRecords)
{
    TarvoDriver target;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, target.OpenAsServer(kName));
    TarvoDriver client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t id = IdOf(target);
    for (const uint32_t queue : {SIM_QUEUE_MESSAGE, SIM_QUEUE_NOTIFICATION}) {
        SCOPED_TRACE(testing::Message() << "queue " << queue);
        for (uint32_t i = 0; i < SIM_MESSAGE_QUEUE_RECORDS; ++i)
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(id, queue, RawRecord(TARVO_MSG_REPLY, 2001, i, 0, 4)))
                << i;
        EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, sim.InjectRecord(id, queue, RawRecord(TARVO_MSG_REPLY, 2001, 999, 0, 4)));
        // The relay sees the same full queue.
        if (queue == SIM_QUEUE_MESSAGE)
            EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, client.PostMessage(Request(1001, 1)));
        else
            EXPECT_EQ(TARVO_STATUS_NO_RESOURCES, client.PostMessage(Notification(3030)));
        const std::vector<TarvoMessage> got =
            queue == SIM_QUEUE_MESSAGE ? DrainMessages(target) : DrainNotifications(target);
        ASSERT_EQ(SIM_MESSAGE_QUEUE_RECORDS, got.size());
        for (uint32_t i = 0; i < SIM_MESSAGE_QUEUE_RECORDS; ++i)
            EXPECT_EQ(i, got[i].sequence);
        // Room again once fetched.
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(id, queue, RawRecord(TARVO_MSG_REPLY, 2001, 1000, 0, 4)));
        EXPECT_EQ(1u, (queue == SIM_QUEUE_MESSAGE ? DrainMessages(target) : DrainNotifications(target)).size());
    }
    (void)DrainNotifications(client);
}

// While the client waits, the server first puts a record into the client's message queue
// that is not the awaited reply, then answers with a status the impostor does not carry:
// Transact must drop the impostor, both when it arrives alone (and the wait starts again)
// and together with the reply under one signal.
TEST_F(MessageTest, TransactDropsEveryRecordThatIsNotTheAwaitedReply)
{
    struct Case {
        const char* what;
        uint32_t type;
        int32_t sequenceOffset;  // from the awaited sequence
    };
    const Case cases[] = {
        {"a notification with the current sequence", TARVO_MSG_NOTIFICATION, 0},
        {"a request with the current sequence", TARVO_MSG_REQUEST, 0},
        {"a record of type 0", TARVO_MSG_NONE, 0},
        {"a late reply to the previous request", TARVO_MSG_REPLY, -1},
        {"a late reply to a much older request", TARVO_MSG_REPLY, -40},
    };
    ScriptedServer server;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t clientId = IdOf(client);
    client.SetLastSequence(100);
    const Case* current = nullptr;
    uint32_t gapMs = 0;
    server.onRequest = [&](const TarvoMessage& request, TarvoMessage&) -> TarvoStatus {
        const TarvoMessage impostor = RawRecord(current->type, TARVO_REPLY_STATUS,
                                                request.sequence + current->sequenceOffset, TARVO_STATUS_SUCCESS, 0);
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(clientId, SIM_QUEUE_MESSAGE, impostor));
        Sleep(gapMs);
        return TARVO_STATUS_SOUND_DEVICE_IN_USE;
    };
    ServerThread loop(server);
    ASSERT_EQ(0u, loop.Start());
    uint32_t sent = 0;
    for (const uint32_t gap : {0u, 200u}) {
        gapMs = gap;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << ", gap " << gap << " ms");
            current = &c;
            const uint32_t fetchesBefore = sim.CountOf(clientId, TARVO_IOCTL_GET_MESSAGE);
            EXPECT_EQ(TARVO_STATUS_SOUND_DEVICE_IN_USE, client.RequestSampleRate(48000, 5000));
            ++sent;
            EXPECT_EQ(100 + sent, client.GetLastSequence());
            // The impostor and the reply were both fetched; nothing is left behind.
            EXPECT_LE(fetchesBefore + 2, sim.CountOf(clientId, TARVO_IOCTL_GET_MESSAGE));
            EXPECT_EQ(0u, DrainMessages(client).size());
        }
    }
    loop.Stop();
    EXPECT_EQ(sent, server.requests.size());
}

// The injected record is the only answer: Transact takes a type-2 record with the current
// sequence whatever it carries, and the operation judges its shape, also a payload size
// beyond what a record can hold.
TEST_F(MessageTest, AReplyWhosePayloadDoesNotFitIsRefusedByTheReader)
{
    ScriptedServer server;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t clientId = IdOf(client);
    uint32_t payloadSize = 0;
    server.onRequest = [&](const TarvoMessage& request, TarvoMessage&) -> TarvoStatus {
        TarvoMessage answer = RawRecord(TARVO_MSG_REPLY, TARVO_REPLY_SOUND_DEVICE_CONFIG, request.sequence,
                                        TARVO_STATUS_SUCCESS, payloadSize);
        EXPECT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(clientId, SIM_QUEUE_MESSAGE, answer));
        return TARVO_STATUS_PENDING;  // the injected record stands in for the reply
    };
    ServerThread loop(server);
    ASSERT_EQ(0u, loop.Start());
    const struct {
        uint32_t payloadSize;
        TarvoStatus expected;
    } cases[] = {{600, TARVO_STATUS_INVALID_LENGTH},
                 {0xFFFFFFFF, TARVO_STATUS_INVALID_LENGTH},
                 {8, TARVO_STATUS_INVALID_MSG_SIZE},
                 {16, TARVO_STATUS_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "payload size " << c.payloadSize);
        payloadSize = c.payloadSize;
        uint32_t render = 0xDEAD, capture = 0xBEEF;
        EXPECT_EQ(c.expected, client.GetSoundDeviceConfiguration(1, 2, render, capture));
        if (c.expected == TARVO_STATUS_SUCCESS) {
            EXPECT_EQ(0x4B4A4948u, render);  // pattern bytes 8..11
            EXPECT_EQ(0x4F4E4D4Cu, capture);
        } else {
            EXPECT_EQ(0xDEADu, render);
            EXPECT_EQ(0xBEEFu, capture);
        }
    }
    loop.Stop();
    EXPECT_EQ(0u, DrainMessages(client).size());
}

// Records of other types in the notification queue are dropped on the way to the next
// notification, or to the status of the fetch that ends the queue.
TEST_F(MessageTest, ClientGetNotificationDropsRecordsOfOtherTypes)
{
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    const uint32_t id = IdOf(client);
    const uint32_t queued[][2] = {
        {TARVO_MSG_REPLY, 2001}, {TARVO_MSG_REQUEST, 1001}, {TARVO_MSG_NOTIFICATION, 3030},
        {TARVO_MSG_REPLY, 3011}, {TARVO_MSG_NONE, 3011},
    };
    for (const auto& q : queued)
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(id, SIM_QUEUE_NOTIFICATION, RawRecord(q[0], q[1], 5, 0, 0)));
    EXPECT_TRUE(Signalled(client.GetNotificationEvent(), 2000));

    TarvoMessage record;
    record.Init(TARVO_MSG_NONE, 0);
    uint32_t fetches = sim.CountOf(id, TARVO_IOCTL_GET_NOTIFICATION);
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetNotification(record));
    EXPECT_EQ(TARVO_MSG_NOTIFICATION, record.type);
    EXPECT_EQ(3030u, record.code);
    EXPECT_EQ(fetches + 3, sim.CountOf(id, TARVO_IOCTL_GET_NOTIFICATION));
    fetches += 3;
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetNotification(record));
    EXPECT_EQ(fetches + 3, sim.CountOf(id, TARVO_IOCTL_GET_NOTIFICATION));  // two dropped, then empty

    // A failing fetch ends the call with its status; what it did not fetch stays queued.
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(id, SIM_QUEUE_NOTIFICATION, RawRecord(TARVO_MSG_REPLY, 2001, 6, 0, 0)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS,
              sim.InjectRecord(id, SIM_QUEUE_NOTIFICATION, RawRecord(TARVO_MSG_NOTIFICATION, 3005, 7, 0, 0)));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetFault(TARVO_IOCTL_GET_NOTIFICATION, TARVO_STATUS_DEVICE_REMOVED, SIM_FAULT_ONCE));
    EXPECT_EQ(TARVO_STATUS_DEVICE_REMOVED, client.GetNotification(record));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetNotification(record));
    EXPECT_EQ(3005u, record.code);
    EXPECT_EQ(7u, record.sequence);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetNotification(record));
}

// The relay does not judge payloads against codes, and neither does the fetch: a record
// reaches the receiver exactly as queued, and the fixed-size reader of its code refuses it.
TEST_F(MessageTest, ANotificationWhosePayloadDoesNotFitItsCodeReachesTheReaderIntact)
{
    TestClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    ScriptedServer server;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, server.OpenAsServer(kName));
    const uint32_t clientId = IdOf(client);
    const uint32_t serverId = IdOf(server);
    struct Case {
        uint32_t code;
        uint32_t payloadSize;
        uint32_t readerSize;  // 8 or 16
        TarvoStatus expected;
    };
    const Case cases[] = {
        {3040, 4, 8, TARVO_STATUS_INVALID_MSG_SIZE},    {3040, 0, 8, TARVO_STATUS_INVALID_MSG_SIZE},
        {3050, 12, 8, TARVO_STATUS_INVALID_LENGTH},     {3060, 12, 16, TARVO_STATUS_INVALID_MSG_SIZE},
        {3060, 20, 16, TARVO_STATUS_INVALID_LENGTH},    {3015, 600, 8, TARVO_STATUS_INVALID_LENGTH},
        {3060, 16, 16, TARVO_STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << " with " << c.payloadSize << " bytes");
        const TarvoMessage given = RawRecord(TARVO_MSG_NOTIFICATION, c.code, 0, 0, c.payloadSize);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(clientId, SIM_QUEUE_NOTIFICATION, given));
        ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.InjectRecord(serverId, SIM_QUEUE_NOTIFICATION, given));

        TarvoMessage got;
        got.Init(TARVO_MSG_NONE, 0);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetNotification(got));
        EXPECT_EQ(0, memcmp(&given, &got, sizeof got));
        server.ProcessNotifications();
        ASSERT_EQ(1u, server.notifications.size());
        EXPECT_EQ(0, memcmp(&given, &server.notifications[0], sizeof given));
        server.notifications.clear();

        uint32_t words[4] = {0xCDCDCDCD, 0xCDCDCDCD, 0xCDCDCDCD, 0xCDCDCDCD};
        TarvoStatus status = TARVO_STATUS_FAILED;
        if (c.readerSize == 8) {
            uint32_t pair[2] = {0xCDCDCDCD, 0xCDCDCDCD};
            status = got.Read8(pair);
            words[0] = pair[0];
            words[1] = pair[1];
        } else {
            status = got.Read16(words);
        }
        EXPECT_EQ(c.expected, status);
        if (c.expected == TARVO_STATUS_SUCCESS)
            EXPECT_EQ(0, memcmp(given.payload, words, 16));
        else
            EXPECT_EQ(0xCDCDCDCDu, words[0]) << "written although refused";
    }
    EXPECT_EQ(0u, DrainNotifications(client).size());
}

// ---- with the test server program in its own process ----

class ProcessHandle : public WnHandle {
public:
    void Take(HANDLE h)
    {
        Close();
        Adopt(h);
    }
};

class ServerProcessTest : public MessageTest {
protected:
    void SetUp() override
    {
        MessageTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_NO_FATAL_FAILURE(StartServer());
    }
    void TearDown() override
    {
        if (process.Get() != nullptr && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(process.Get(), 99);  // a test failed before stopping it
            WaitForSingleObject(process.Get(), 10000);
        }
        MessageTest::TearDown();
    }

    void StartServer()
    {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        ASSERT_GT(length, 0u);
        wchar_t* slash = wcsrchr(path, L'\\');
        ASSERT_NE(nullptr, slash);
        slash[1] = 0;
        std::wstring file = std::wstring(path) + MESSAGE_TEST_SERVER_FILE;
        std::wstring commandLine = L"\"" + file + L"\" " + std::to_wstring(GetCurrentProcessId());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        ASSERT_TRUE(CreateProcessW(file.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &info))
            << "error " << GetLastError();
        CloseHandle(info.hThread);
        process.Take(info.hProcess);
        processId = info.dwProcessId;
        // Ready once the driver lists its connection with role 0.
        for (int attempt = 0; attempt < 200; ++attempt) {
            SimConnectionList list = {};
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetConnections(list));
            for (uint32_t i = 0; i < list.count && i < SIM_MAX_CONNECTIONS; ++i)
                if (list.connections[i].processId == processId && list.connections[i].role == TARVO_ROLE_SERVER)
                    return;
            ASSERT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(process.Get(), 50))
                << "the test server ended early";
        }
        FAIL() << "the test server did not take the server role";
    }

    // Asks the server to stop and returns its exit code.
    DWORD StopServer(TarvoClient& client)
    {
        TarvoMessage request;
        request.Init(TARVO_MSG_REQUEST, MESSAGE_TEST_STOP);
        TarvoMessage reply;
        reply.Init(TARVO_MSG_NONE, 0);
        EXPECT_EQ(TARVO_STATUS_SUCCESS, client.Transact(request, reply, 10000));
        EXPECT_EQ(TARVO_STATUS_SUCCESS, reply.status);
        EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(process.Get(), 10000));
        DWORD code = 0xFFFFFFFF;
        GetExitCodeProcess(process.Get(), &code);
        return code;
    }

    ProcessHandle process;
    DWORD processId = 0;
};

TEST_F(ServerProcessTest, RoundTripsWithAServerInAnotherProcess)
{
    TarvoCplClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000));
    // The server announces the change to everyone listening, this client included.
    ASSERT_TRUE(Signalled(client.GetNotificationEvent(), 5000));
    TarvoMessage notification;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.GetNotification(notification));
    EXPECT_EQ(TARVO_NOTIFY_SAMPLE_RATE_CHANGED, notification.code);
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetNotification(notification));

    EXPECT_EQ(TARVO_STATUS_SOUND_DEVICE_IN_USE, client.RequestSampleRate(MESSAGE_TEST_BUSY_RATE));
    EXPECT_EQ(TARVO_STATUS_INVALID_SAMPLE_RATE, client.RequestSampleRate(0));
    const TarvoBufferSizeSettings sizes = {1, 2, 3};
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestBufferSizes(sizes));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestStreamingDevice(1, 2, true));
    const TarvoPolicy policy = {1};
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.RequestPolicy(policy));
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.SetSoundDeviceConfiguration(0x10, 0x20, 3, 4));
    uint32_t render = 0, capture = 0;
    EXPECT_EQ(TARVO_STATUS_SUCCESS, client.GetSoundDeviceConfiguration(0x10, 0x20, render, capture));
    EXPECT_EQ(3u, render);
    EXPECT_EQ(4u, capture);
    EXPECT_EQ(TARVO_STATUS_UNEXPECTED_MSG_CODE, client.GetSoundDeviceConfiguration(0x10, 0x21, render, capture));

    // An unhandled code, and a sample rate request with a 3-byte payload.
    struct Case {
        uint32_t code;
        uint32_t size;
        TarvoStatus expected;
    };
    for (const Case& c : {Case{1999, 0, TARVO_STATUS_INVALID_COMMAND}, Case{1001, 3, TARVO_STATUS_INVALID_MSG_SIZE},
                          Case{1001, 8, TARVO_STATUS_INVALID_LENGTH}}) {
        const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        TarvoMessage request = Request(c.code, 0, bytes, c.size);
        TarvoMessage reply;
        reply.Init(TARVO_MSG_NONE, 0);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, client.Transact(request, reply, 10000));
        EXPECT_EQ(TARVO_REPLY_STATUS, reply.code) << c.code;
        EXPECT_EQ(c.expected, reply.status) << c.code << " with " << c.size << " bytes";
        EXPECT_EQ(client.GetLastSequence(), reply.sequence);
    }
    EXPECT_EQ(0u, StopServer(client));
}

// Two clients fire random records at the server: random codes, types, payload sizes and
// malformed lengths, in bursts. Every post gets the status its shape calls for, every
// accepted request exactly one reply with its own sequence and payload, and no client
// ever sees a reply meant for the other (their sequence numbers overlap on purpose).
class StressClient {
public:
    explicit StressClient(uint32_t tagValue) : tag(tagValue) {}

    TarvoClient connection;
    uint32_t tag;
    uint32_t nextSequence = 1;
    uint32_t accepted = 0;
    uint32_t refused = 0;
    uint32_t replies = 0;
    uint32_t notificationsSeen = 0;

    struct Outstanding {
        uint32_t sequence;
        uint32_t code;
        uint32_t payloadSize;
        TarvoStatus expected;
        bool answered;
    };
    std::vector<Outstanding> outstanding;
};

uint8_t PayloadByte(uint32_t tag, uint32_t sequence, uint32_t index)
{
    return static_cast<uint8_t>((tag * 131) ^ (sequence * 31) ^ (index * 7) ^ (index >> 3));
}

// What the test server answers for a well-formed request (MessageTestProtocol.h).
TarvoStatus ExpectedAnswer(uint32_t code, const TarvoMessage& m)
{
    switch (code) {
    case MESSAGE_TEST_ECHO:
        return TARVO_STATUS_SUCCESS;
    case TARVO_REQ_SET_SAMPLE_RATE: {
        if (m.payloadSize != 4)
            return m.payloadSize < 4 ? TARVO_STATUS_INVALID_MSG_SIZE : TARVO_STATUS_INVALID_LENGTH;
        uint32_t rate;
        memcpy(&rate, m.payload, 4);
        return rate == 0 ? TARVO_STATUS_INVALID_SAMPLE_RATE
               : rate == MESSAGE_TEST_BUSY_RATE ? TARVO_STATUS_SOUND_DEVICE_IN_USE
                                                : TARVO_STATUS_SUCCESS;
    }
    default:
        return TARVO_STATUS_INVALID_COMMAND;
    }
}

TEST_F(ServerProcessTest, RandomRecordsFromTwoClientsAreEachAnsweredExactlyOnceAndOnlyToTheirSender)
{
    constexpr uint32_t kRecordsPerClient = 3000;
    std::mt19937 random(20261211);
    StressClient clients[2] = {StressClient(0xA1), StressClient(0xB2)};
    for (StressClient& c : clients)
        ASSERT_EQ(TARVO_STATUS_SUCCESS, c.connection.OpenAsClient(kName));

    uint32_t sent[2] = {0, 0};
    while (sent[0] < kRecordsPerClient || sent[1] < kRecordsPerClient) {
        // Both clients post a burst, in random order, before either collects: requests of
        // both with equal sequence numbers are outstanding at the same time.
        const uint32_t first = random() % 2;
        for (uint32_t turn = 0; turn < 2; ++turn) {
            const uint32_t who = turn ^ first;
            StressClient& c = clients[who];
            const uint32_t burst = 1 + random() % 8;
            for (uint32_t b = 0; b < burst && sent[who] < kRecordsPerClient; ++b, ++sent[who]) {
                TarvoMessage m;
                const uint32_t pick = random() % 100;
                const uint32_t type = pick < 80 ? TARVO_MSG_REQUEST
                                      : pick < 86 ? TARVO_MSG_NOTIFICATION
                                      : pick < 90 ? TARVO_MSG_REPLY
                                                  : (random() % 2 ? 0u : 4u + random() % 100);
                const uint32_t codePick = random() % 10;
                const uint32_t code = codePick < 6 ? MESSAGE_TEST_ECHO
                                      : codePick < 8 ? TARVO_REQ_SET_SAMPLE_RATE
                                      : codePick < 9 ? 1999u
                                                     : 20000u + random() % 10000;
                m.Init(type, code);
                m.sequence = c.nextSequence;
                const uint32_t size = random() % 8 == 0 ? random() % 9 : random() % 513;
                m.payloadSize = size;
                for (uint32_t i = 0; i < size; ++i)
                    m.payload[i] = PayloadByte(c.tag, c.nextSequence, i);
                if (code == TARVO_REQ_SET_SAMPLE_RATE && size == 4) {
                    const uint32_t rates[3] = {0, MESSAGE_TEST_BUSY_RATE, 44100};
                    memcpy(m.payload, &rates[random() % 3], 4);
                }
                // One in ten records is posted with a length or header that disagrees.
                uint32_t length = m.PostedSize();
                TarvoStatus expected = TARVO_STATUS_SUCCESS;
                const uint32_t malformed = random() % 10 == 0 ? 1 + random() % 4 : 0;
                if (malformed == 1) {
                    length = random() % 32;
                    expected = length == 0 ? TARVO_STATUS_INVALID_INBUFFER_SIZE : TARVO_STATUS_INVALID_HD_SIZE;
                } else if (malformed == 2) {
                    m.headerSize = random() % 2 ? 0 : 33 + random() % 100;
                    expected = TARVO_STATUS_INVALID_HD_SIZE;
                } else if (malformed == 3) {
                    length = length == 544 ? 543 : length + 1 + random() % (544 - length);
                    expected = TARVO_STATUS_INVALID_MSG_SIZE;
                } else if (malformed == 4) {
                    m.payloadSize = 513 + random() % 1000;
                    expected = TARVO_STATUS_INVALID_MSG_SIZE;
                } else if (type == 0 || type > 3) {
                    expected = TARVO_STATUS_INVALID_MSG_TYPE;
                } else if (type == TARVO_MSG_REPLY) {
                    expected = TARVO_STATUS_NOT_ALLOWED;
                }
                const TarvoStatus status = RawPost(c.connection, &m, length);
                if (expected == TARVO_STATUS_SUCCESS && type == TARVO_MSG_NOTIFICATION) {
                    // The clients read their notifications only between bursts.
                    ASSERT_TRUE(status == TARVO_STATUS_SUCCESS || status == TARVO_STATUS_NO_RESOURCES)
                        << TarvoStatusName(status);
                } else {
                    ASSERT_EQ(expected, status) << "client " << who << ", record " << sent[who] << ", type " << type
                                                << ", length " << length;
                }
                if (expected != TARVO_STATUS_SUCCESS) {
                    ++c.refused;
                    continue;
                }
                if (type == TARVO_MSG_REQUEST) {
                    c.outstanding.push_back({c.nextSequence, code, size, ExpectedAnswer(code, m), false});
                    ++c.accepted;
                    ++c.nextSequence;
                }
            }
        }
        for (uint32_t who = 0; who < 2; ++who) {
            StressClient& c = clients[who];
            // Collect every reply of the burst.
            for (;;) {
                bool open = false;
                for (const auto& o : c.outstanding)
                    open = open || !o.answered;
                if (!open)
                    break;
                ASSERT_TRUE(Signalled(c.connection.GetMessageEvent(), 10000))
                    << "client " << who << " waits for a reply in vain";
                TarvoMessage reply;
                reply.Init(TARVO_MSG_NONE, 0);
                TarvoStatus status;
                while ((status = c.connection.GetMessage(reply)) == TARVO_STATUS_SUCCESS) {
                    ASSERT_EQ(TARVO_MSG_REPLY, reply.type);
                    ASSERT_EQ(TARVO_REPLY_STATUS, reply.code);
                    StressClient::Outstanding* match = nullptr;
                    for (auto& o : c.outstanding)
                        if (o.sequence == reply.sequence)
                            match = &o;
                    ASSERT_NE(nullptr, match) << "client " << who << " got a reply for sequence " << reply.sequence
                                              << " it is not waiting for";
                    ASSERT_FALSE(match->answered) << "second reply for sequence " << reply.sequence;
                    match->answered = true;
                    ++c.replies;
                    EXPECT_EQ(match->expected, reply.status) << "code " << match->code << ", size " << match->payloadSize;
                    if (match->code == MESSAGE_TEST_ECHO) {
                        ASSERT_EQ(match->payloadSize, reply.payloadSize);
                        for (uint32_t i = 0; i < reply.payloadSize; ++i)
                            ASSERT_EQ(PayloadByte(c.tag, reply.sequence, i), reply.payload[i])
                                << "echo of client " << who << " sequence " << reply.sequence << " byte " << i;
                    }
                }
                ASSERT_EQ(TARVO_STATUS_NO_MORE_ITEMS, status);
            }
            c.outstanding.clear();
            TarvoMessage n;
            while (c.connection.GetNotification(n) == TARVO_STATUS_SUCCESS)
                ++c.notificationsSeen;
        }
    }

    // Nothing arrives late or twice once everything is answered.
    Sleep(200);
    for (StressClient& c : clients) {
        EXPECT_EQ(0u, DrainMessages(c.connection).size());
        EXPECT_EQ(c.accepted, c.replies);
        EXPECT_GT(c.accepted, kRecordsPerClient / 2);
        EXPECT_GT(c.refused, 0u);
        EXPECT_GT(c.notificationsSeen, 0u);
        std::printf("client %X: %u requests answered, %u posts refused, %u notifications read\n", c.tag, c.replies,
                    c.refused, c.notificationsSeen);
    }
    EXPECT_EQ(0u, StopServer(clients[0].connection));
}

}  // namespace
