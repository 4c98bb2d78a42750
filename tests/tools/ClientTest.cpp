#include "Cli.h"
#include "ImpostorPipe.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

namespace {

const std::wstring servicePipe = L"\\\\.\\pipe\\Orvanet";

ClientSettings quick() {
    ClientSettings settings;
    settings.busyWait = 1000ms;
    settings.notServedWait = 300ms;
    settings.responseWait = 5000ms;
    return settings;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(RequestTest, CommandsBecomeOneJsonObjectEach) {
    EXPECT_EQ(requestFor({"start"}), "{\"command\":\"start\"}");
    EXPECT_EQ(requestFor({"start"}).size(), 19u);
    EXPECT_EQ(requestFor({"stop"}), "{\"command\":\"stop\"}");
    EXPECT_EQ(requestFor({"active"}), "{\"command\":\"active\"}");
}

TEST(RequestTest, SendPassesTheTextUnchanged) {
    EXPECT_EQ(requestFor({"send", "{\"command\":5}"}), "{\"command\":5}");
    EXPECT_EQ(requestFor({"send", "not json at all"}), "not json at all");
}

TEST(RequestTest, AnythingElseIsNoCommandLineOfOurs) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"status"},
                                               {"Start"},
                                               {"--help"},
                                               {"start", "now"},
                                               {"active", "-v"},
                                               {"send"},
                                               {"send", ""},
                                               {"send", "a", "b"}}) {
        EXPECT_EQ(requestFor(args), "") << (args.empty() ? "(none)" : args[0]);
    }
}

TEST(RequestTest, WrongCommandLinePrintsUsageAndExitsTwoWithoutConnecting) {
    ImpostorPipe impostor(servicePipe);
    const CliOutput output = runCli({"restart"}, quick());
    EXPECT_EQ(output.status, 2);
    EXPECT_TRUE(contains(output.err, "usage: orvanetctl start|stop|active")) << output.err;
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(impostor.connections(), 0);
}

TEST(ExitStatusTest, StatusMemberDecides) {
    EXPECT_EQ(exitStatusFor("{\"message\":\"VPN started successfully\",\"status\":\"ok\"}"), 0);
    EXPECT_EQ(exitStatusFor("{\"message\":\"VPN already running\",\"status\":\"error\"}"), 1);
    EXPECT_EQ(exitStatusFor("{\"message\":\"inactive\",\"running\":false,\"status\":\"ok\"}"), 0);
    EXPECT_EQ(exitStatusFor("{\"message\":\"x\",\"status\":\"OK\"}"), 2);
    EXPECT_EQ(exitStatusFor("{\"message\":\"x\",\"status\":true}"), 2);
    EXPECT_EQ(exitStatusFor("{\"message\":\"x\"}"), 2);
    EXPECT_EQ(exitStatusFor("[\"ok\"]"), 2);
    EXPECT_EQ(exitStatusFor("{\"status\":\"ok\"} trailing"), 2);
    EXPECT_EQ(exitStatusFor(""), 2);
}

TEST(NoServiceTest, NothingServingThePipeExitsTwoWithAClearMessage) {
    const CliOutput output = runCli({"active"}, quick());
    EXPECT_EQ(output.status, 2);
    EXPECT_EQ(output.out, "");
    EXPECT_TRUE(contains(output.err, "no service answers on \\\\.\\pipe\\Orvanet")) << output.err;
}

TEST(ImpostorTest, PipeNotServedByTheServiceGetsNoRequest) {
    ImpostorPipe impostor(servicePipe);
    const CliOutput output = runCli({"start"}, quick());
    EXPECT_EQ(output.status, 2);
    EXPECT_EQ(output.out, "");
    EXPECT_TRUE(contains(output.err, "refusing to send")) << output.err;
    // It did reach the impostor, and then wrote nothing.
    EXPECT_EQ(impostor.connections(), 1);
    EXPECT_EQ(impostor.received(), "");
}

TEST(ImpostorTest, RunningServiceInAnotherProcessIsNotEnough) {
    // A service that does run, but not in the process behind the pipe.
    ImpostorPipe impostor(servicePipe);
    ClientSettings settings = quick();
    settings.serviceName = L"PlugPlay";
    const CliOutput output = runCli({"send", "{\"command\":\"stop\"}"}, settings);
    EXPECT_EQ(output.status, 2);
    EXPECT_TRUE(contains(output.err, "the service runs as process")) << output.err;
    EXPECT_EQ(impostor.connections(), 1);
    EXPECT_EQ(impostor.received(), "");
}

TEST(BusyTest, WaitsWhileAnotherClientHoldsTheInstance) {
    ImpostorPipe impostor(servicePipe, 600);
    // Take the one instance, as another client in the middle of a start would.
    HANDLE holder = CreateFileW(servicePipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    ClientSettings settings = quick();
    settings.busyWait = 8000ms;
    const CliOutput output = runCli({"active"}, settings);
    CloseHandle(holder);
    // Once the holder is let go the client gets the next instance, and is then refused.
    EXPECT_TRUE(contains(output.err, "refusing to send")) << output.err;
    EXPECT_EQ(output.status, 2);
    EXPECT_EQ(impostor.connections(), 2);
    EXPECT_EQ(impostor.received(), "");
}

TEST(BusyTest, GivesUpAfterTheBound) {
    ImpostorPipe impostor(servicePipe, 20000);
    HANDLE holder = CreateFileW(servicePipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const CliOutput output = runCli({"active"}, quick());
    CloseHandle(holder);
    EXPECT_EQ(output.status, 2);
    EXPECT_TRUE(contains(output.err, "stayed busy")) << output.err;
    EXPECT_EQ(impostor.received(), "");
}

} // namespace
