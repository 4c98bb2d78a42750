#pragma once

#include "PipeClient.h"
#include "VpnDouble.h"
#include "log/Logger.h"
#include "pipe/PipeServer.h"
#include "support/DebugCapture.h"
#include "support/TestFiles.h"
#include "vpn/VpnService.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// The line that names this test process as the pipe's client: its id, its program and its
// account, found here independently of the server's way.
std::string ownClientLine();
// This test program's full path, in UTF-8.
std::string ownProgram();

// A log file of its own and a fresh VpnService double for every test; the server is
// started by the test.
class PipeFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The lines written since the log was opened, without the log's own opening line.
    std::vector<LogLine> lines() const;
    std::vector<std::string> messages() const;
    int count(const std::string& message) const;
    // Index of the first line with this message at or after `from`, or -1.
    int find(const std::string& message, int from = 0) const;
    // Waits (bounded) until a line with this message has been written.
    bool waitForLine(const std::string& message) const;
    bool waitForLineStartingWith(const std::string& prefix) const;
    bool waitForCount(const std::string& message, int n) const;

    TempFolder folder{"pipe"};
    VpnService vpn{nullptr};
    std::unique_ptr<PipeServer> server = std::make_unique<PipeServer>(&vpn);
};

// A server started by the fixture, and one clean exchange done with it, so that every
// client of the test finds the instance already waiting in its connect.
class ServedPipe : public PipeFixture {
protected:
    void SetUp() override;
    // Stops the server, so that every line of the exchanges is in the log.
    void stopServer() { server->stop(); }
};
