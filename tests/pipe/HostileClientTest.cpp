#include "PipeFixture.h"

#include "log/Logger.h"

#include <windows.h>

#include <future>
#include <string>

using pipeclient::exchange;

namespace {

const std::string inactive = R"({"message":"inactive","running":false,"status":"ok"})";
const std::string activeRequest = R"({"command":"active"})";

// A client that waits for its turn while another holds the instance.
std::future<std::string> exchangeLater(const std::string& request) {
    return std::async(std::launch::async, [request] { return exchange(request); });
}

} // namespace

TEST_F(ServedPipe, AClientThatClosesWithoutWritingIsLoggedAndTheNextIsServed) {
    {
        UniqueHandle pipe = pipeclient::open();
        ASSERT_TRUE(pipe);
    }
    EXPECT_EQ(inactive, exchange(activeRequest));
    stopServer();
    const std::string expected =
        "ERROR in ReadFile from pipe: Code 0x0000006D - " + formatWindowsError(ERROR_BROKEN_PIPE);
    EXPECT_EQ(1, count(expected));
    const int failed = find(expected);
    ASSERT_GE(failed, 0);
    ASSERT_GE(failed, 2);
    EXPECT_EQ("PipeServer - Client connected", messages()[failed - 2]);
    // Even a client that sent nothing is named, as far as it can be.
    EXPECT_TRUE(messages()[failed - 1].starts_with("PipeServer - Client: process " +
                                                   std::to_string(GetCurrentProcessId()) + ", "))
        << messages()[failed - 1];
    // No response was attempted for it.
    EXPECT_EQ(2, count("PipeServer - Response sent, length: 52"));
}

TEST_F(ServedPipe, AClientThatNeverWritesIsCutOffAndTheNextIsServed) {
    UniqueHandle silent = pipeclient::open();
    ASSERT_TRUE(silent);
    auto next = exchangeLater(activeRequest);
    EXPECT_EQ(inactive, next.get());
    // The silent client was disconnected: its read ends instead of waiting.
    EXPECT_EQ("", pipeclient::readToEnd(silent.get()));
    stopServer();
    EXPECT_EQ(1, count("PipeServer - ReadFile from pipe timed out after 2000 ms"));
    for (const auto& line : lines()) {
        if (line.message.find("timed out") != std::string::npos) {
            EXPECT_EQ("ERROR", line.level);
        }
    }
}

TEST_F(ServedPipe, AClientThatNeverReadsIsCutOffAndTheNextIsServed) {
    UniqueHandle deaf = pipeclient::open();
    ASSERT_TRUE(deaf);
    ASSERT_TRUE(pipeclient::write(deaf.get(), activeRequest));
    auto next = exchangeLater(activeRequest);
    EXPECT_EQ(inactive, next.get());
    stopServer();
    EXPECT_EQ(1, count("PipeServer - FlushFileBuffers timed out after 2000 ms"));
    // Only the fixture's and the second client's responses count as sent.
    EXPECT_EQ(2, count("PipeServer - Response sent, length: 52"));
}

TEST_F(ServedPipe, AClientThatKeepsItsHandleAfterTheResponseDoesNotHoldTheLoop) {
    UniqueHandle lingering = pipeclient::open();
    ASSERT_TRUE(lingering);
    ASSERT_TRUE(pipeclient::write(lingering.get(), activeRequest));
    char buffer[256];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(lingering.get(), buffer, sizeof(buffer), &got, nullptr));
    EXPECT_EQ(inactive, std::string(buffer, got));
    // The handle stays open; the next client is served all the same.
    EXPECT_EQ(inactive, exchange(activeRequest));
    EXPECT_FALSE(ReadFile(lingering.get(), buffer, sizeof(buffer), &got, nullptr));
}

TEST_F(ServedPipe, ASlowReaderStillGetsTheWholeResponse) {
    UniqueHandle slow = pipeclient::open();
    ASSERT_TRUE(slow);
    ASSERT_TRUE(pipeclient::write(slow.get(), R"({"command":"start"})"));
    // The server has written and waits for the client to read: a server that disconnected
    // without waiting would have dropped the unread response by now.
    Sleep(500);
    EXPECT_EQ(R"({"message":"VPN started successfully","status":"ok"})",
              pipeclient::readToEnd(slow.get()));
    stopServer();
    EXPECT_EQ(1, count("PipeServer::handleStart - Starting tun2proxy"));
    EXPECT_EQ(2, count("PipeServer - Response sent, length: 52"));
}

TEST_F(ServedPipe, StopReturnsWhileAClientHoldsTheInstanceSilently) {
    UniqueHandle silent = pipeclient::open();
    ASSERT_TRUE(silent);
    ASSERT_TRUE(waitForCount("PipeServer - Client connected", 2));
    stopServer();
    const int stopping = find("PipeServer stopping...");
    ASSERT_GE(stopping, 0);
    EXPECT_LT(stopping, find("PipeServer::serverLoop - Thread exiting"));
    EXPECT_LT(find("PipeServer::serverLoop - Thread exiting"), find("PipeServer stopped"));
    // Cut off by the stop, not by the read's bound.
    EXPECT_EQ(0, count("PipeServer - ReadFile from pipe timed out after 2000 ms"));
    EXPECT_EQ("", pipeclient::readToEnd(silent.get()));
}

TEST_F(ServedPipe, StopReturnsWhileAClientNeverReads) {
    UniqueHandle deaf = pipeclient::open();
    ASSERT_TRUE(deaf);
    ASSERT_TRUE(pipeclient::write(deaf.get(), activeRequest));
    ASSERT_TRUE(waitForCount("PipeServer - Received command, length: 20", 2));
    stopServer();
    EXPECT_GE(find("PipeServer stopped"), 0);
    EXPECT_EQ(0, count("PipeServer - FlushFileBuffers timed out after 2000 ms"));
}

TEST_F(ServedPipe, StopReturnsWhileTheSessionIsStillStarting) {
    vpndouble::blockStart();
    auto client = exchangeLater(R"({"command":"start"})");
    ASSERT_TRUE(vpndouble::waitStartEntered(20000));
    // The stop waits for the session call, which the session's own lock bounds; here the
    // test releases it from another thread while stop() waits.
    auto releaser = std::async(std::launch::async, [] {
        Sleep(200);
        vpndouble::release();
    });
    stopServer();
    releaser.get();
    EXPECT_GE(find("PipeServer stopped"), 0);
    // The response was still written, or the client was cut off by the stop: it never hangs.
    client.get();
}
