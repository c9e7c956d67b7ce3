// What the message test server (velkano_test_server.exe) answers, shared by the server and
// the tests that talk to it.
//   1001: 4 bytes; rate 0 -> TARVO_STATUS_INVALID_SAMPLE_RATE, 96000 ->
//         TARVO_STATUS_SOUND_DEVICE_IN_USE, else success and a 3011 notification.
//   1002, 1003: 12 bytes; 1005: 4 bytes -> success.
//   11001: 16 bytes -> remembers render and capture for the key (up to 8 keys).
//   11002: 16 bytes -> 12001 with the remembered words, or 2001 with
//          TARVO_STATUS_OBJECT_NOT_FOUND for an unknown key.
//   MESSAGE_TEST_ECHO: 2001, success, the request's payload copied into the reply.
//   MESSAGE_TEST_STOP: 2001, success; the server then closes and exits with 0.
//   Anything else: 2001 with TARVO_STATUS_INVALID_COMMAND (the library's default).
// A payload of the wrong size gets the fixed-size reader's status.
#pragma once

#include <cstdint>

constexpr uint32_t MESSAGE_TEST_ECHO = 9001;
constexpr uint32_t MESSAGE_TEST_STOP = 9999;
constexpr uint32_t MESSAGE_TEST_BUSY_RATE = 96000;
constexpr uint32_t MESSAGE_TEST_MAX_KEYS = 8;
#define MESSAGE_TEST_SERVER_FILE L"velkano_test_server.exe"
