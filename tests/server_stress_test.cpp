// Random requests against the service's real server loop while devices come and go and
// the stream's users change: every request is answered exactly once, the server thread
// survives whatever it is sent, and the stream ends in a state the requests explain.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "CustomServer.h"
#include "ServiceTestSupport.h"

namespace {

const wchar_t* const kName = TARVO_DEVICE_OBJECT_NAME;

TEST(ServerStressTest, RandomRequestsAreEachAnsweredOnceWhileDevicesComeAndGo)
{
    SimControl sim;
    ASSERT_EQ(0u, sim.Open());
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Reset());
    DeleteDeviceKey(L"SR1");
    DeleteDeviceKey(L"SR2");
    TarvoDeviceKey kept = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"SR1"), &kept));

    CustomServer server;
    ServerThread thread(server);
    ListeningClient client;
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.OpenAsClient(kName));
    ASSERT_EQ(0u, thread.Start());
    ASSERT_TRUE(client.WaitFor(TARVO_NOTIFY_DEVICE_LIST_CHANGED));

    std::mt19937 random(20261211);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    const uint32_t rates[] = {44100, 48000, 88200, 96000, 192000, 2822400, 12345, 0};
    const uint32_t codes[] = {TARVO_REQ_SET_SAMPLE_RATE,         TARVO_REQ_SET_BUFFER_SIZES,
                              TARVO_REQ_SELECT_STREAMING_DEVICE, TARVO_REQ_DEVICE_BYTE,
                              TARVO_REQ_SET_POLICY,              TARVO_REQ_SET_SOUND_DEVICE_CONFIG,
                              TARVO_REQ_GET_SOUND_DEVICE_CONFIG, 5000};
    const uint32_t sizes[] = {4, 12, 12, 1, 4, 16, 16, 0};
    TarvoDeviceKey second = {};
    bool secondPlugged = false;
    uint32_t answered = 0;
    uint32_t succeeded = 0;
    const uint32_t kRequests = 2000;

    for (uint32_t n = 0; n < kRequests; ++n) {
        if (n % 25 == 24) {  // the second device comes or goes; an arrival now and then
            if (secondPlugged)
                ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Unplug(L"SR2"));
            else
                ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.Plug(SimControl::PlugRecord(L"SR2"), &second));
            secondPlugged = !secondPlugged;
            if (below(2) == 0)
                thread.Arrive();
        }
        if (n % 40 == 39) {  // applications start and stop using the stream
            SimUsersRecord users = {};
            users.counts[below(3)] = below(2);
            ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(users));
        }

        const uint32_t pick = below(9);
        const uint32_t code = pick < 8 ? codes[pick] : static_cast<uint32_t>(random());
        uint32_t words[8] = {};
        for (uint32_t& word : words)
            word = static_cast<uint32_t>(random());
        const TarvoDeviceKey& key = below(2) == 0 ? kept : second;
        switch (code) {
        case TARVO_REQ_SET_SAMPLE_RATE:
            words[0] = rates[below(8)];
            break;
        case TARVO_REQ_SET_BUFFER_SIZES:
            words[0] = below(7);
            words[1] = below(5);
            words[2] = below(3);
            break;
        case TARVO_REQ_SELECT_STREAMING_DEVICE:
            words[0] = below(3);
            words[1] = below(4) == 0 ? 0 : key.key0;
            words[2] = below(4) == 0 ? 0 : key.key1;
            break;
        case TARVO_REQ_SET_POLICY:
            words[0] = below(3);
            break;
        case TARVO_REQ_SET_SOUND_DEVICE_CONFIG:
        case TARVO_REQ_GET_SOUND_DEVICE_CONFIG:
            words[0] = key.key0;
            words[1] = below(8) == 0 ? words[1] : key.key1;
            words[2] = below(4) == 0 ? words[2] : 0;
            words[3] = below(4) == 0 ? words[3] : 0;
            break;
        default:
            break;
        }
        // Mostly the right size; now and then any size up to 32 bytes.
        const uint32_t size = pick < 8 && below(4) != 0 ? sizes[pick] : below(33);

        TarvoMessage request;
        request.Init(TARVO_MSG_REQUEST, code);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, request.SetPayload(words, size));
        TarvoMessage reply;
        const TarvoStatus status = client.Transact(request, reply, 20000);
        ASSERT_EQ(TARVO_STATUS_SUCCESS, status) << "request " << n << " code " << code << ": " << TarvoStatusName(status);
        ++answered;
        if (reply.status == TARVO_STATUS_SUCCESS)
            ++succeeded;
        (void)client.TakeCodes();  // the notification queue holds 64 records
    }
    EXPECT_EQ(kRequests, answered);
    std::printf("%u random requests answered, %u of them with success\n", answered, succeeded);

    // Nothing was answered twice: no reply is left over.
    TarvoMessage leftover;
    EXPECT_EQ(TARVO_STATUS_NO_MORE_ITEMS, client.GetMessage(leftover));

    // Back to a known configuration through the server: no users, every device streams.
    const SimUsersRecord none = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.SetUsers(none));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.RequestPolicy(TarvoPolicy{0}));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.RequestStreamingDevice(0, 0, true));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(44100));
    ASSERT_EQ(TARVO_STATUS_SUCCESS, client.RequestSampleRate(48000));
    SimStateRecord state = {};
    ASSERT_EQ(TARVO_STATUS_SUCCESS, sim.GetState(state));
    EXPECT_EQ(48000u, state.status.sampleRate);
    EXPECT_EQ(TARVO_STREAM_READY, state.status.state);  // powered, not prepared: nobody uses it
    const uint32_t devices = secondPlugged ? 2 : 1;
    EXPECT_TRUE(Eventually([&] { return server.GetDeviceCount() == devices; }));

    EXPECT_EQ(TARVO_STATUS_SUCCESS, thread.Stop());
    client.Detach();
    (void)sim.Reset();
    DeleteDeviceKey(L"SR1");
    DeleteDeviceKey(L"SR2");
}

}  // namespace
