#include "Cli.h"
#include "ImpostorPipe.h"
#include "PipeClient.h"
#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

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
    EXPECT_EQ(impostor.connectionsAtLeast(1), 1);
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
    EXPECT_EQ(impostor.connectionsAtLeast(1), 1);
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
    EXPECT_EQ(impostor.connectionsAtLeast(2), 2);
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

TEST(BusyTest, NameGoneAfterALongBusyWaitIsRetried) {
    // Busy for longer than the not-served grace, then the name is gone for a moment while the
    // server makes its next instance: the grace runs from the gap, not from the first attempt.
    // The gap is far shorter than the grace, so that a slow machine cannot stretch it past.
    ImpostorPipe impostor(servicePipe, 2500, 150);
    HANDLE holder = CreateFileW(servicePipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    ClientSettings settings = quick();
    settings.busyWait = 10000ms;
    settings.notServedWait = 2000ms;
    const CliOutput output = runCli({"active"}, settings);
    CloseHandle(holder);
    EXPECT_TRUE(contains(output.err, "refusing to send")) << output.err;
    EXPECT_EQ(impostor.connectionsAtLeast(2), 2);
}

// Refused: a command-line argument is sent as typed or not at all. Replaced: a name for the
// client line is written all the same.
TEST(TextTest, Utf16BecomesItsExactUtf8OrIsRefusedOrReplaced) {
    struct Case {
        std::wstring typed;
        std::optional<std::string> refused;
        std::string replaced;
    };
    const std::string fffd = "\xef\xbf\xbd";
    const Case cases[] = {
        {L"active", "active", "active"},
        // Full-width quote marks stay what they are: not JSON, never best-fitted to '"'.
        {L"{\uff02command\uff02:\uff02stop\uff02}",
         "{\xef\xbc\x82"
         "command\xef\xbc\x82:\xef\xbc\x82"
         "stop\xef\xbc\x82}",
         "{\xef\xbc\x82"
         "command\xef\xbc\x82:\xef\xbc\x82"
         "stop\xef\xbc\x82}"},
        {L"st\u00e4rt", "st\xc3\xa4rt", "st\xc3\xa4rt"},
        {L"\u65e5\u672c", "\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"},
        {L"\U0001F600", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
        {L"", "", ""},
        {std::wstring(L"a") + wchar_t(0xD800) + L"b", std::nullopt, "a" + fffd + "b"},
        {std::wstring(1, wchar_t(0xDC00)), std::nullopt, fffd},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toUtf8(c.typed, InvalidText::Refuse), c.refused) << c.replaced;
        EXPECT_EQ(toUtf8(c.typed, InvalidText::Replace), c.replaced);
    }
}

TEST(TextTest, PipeClientSendsTheBytesAndBoundsTheResponse) {
    const std::string typed =
        *toUtf8(L"{\uff02command\uff02:\uff02st\u00e4rt\uff02}", InvalidText::Refuse);
    const std::string big(300, 'x');
    struct Case {
        std::string reply;
        std::size_t limit;
        bool answered;
    };
    for (const Case& c : {Case{big, 300, true}, Case{big, 299, false}}) {
        ImpostorPipe impostor(servicePipe, -1, 0, c.reply);
        PipeClient client;
        ASSERT_EQ(client.open(servicePipe, 1000ms, 300ms), PipeClient::Opened::Connected);
        const PipeClient::Exchange exchange = client.exchange(typed, 5000ms, c.limit);
        EXPECT_EQ(impostor.received(), typed);
        EXPECT_EQ(exchange.answered, c.answered) << c.limit;
        EXPECT_EQ(exchange.response, c.answered ? c.reply : "");
        if (!c.answered) {
            EXPECT_EQ(exchange.error, "the response exceeds 299 bytes");
        }
    }
}

TEST(OutputTest, AFailedWriteOrArgumentIsAnExitTwoWithAMessage) {
    // Standard output whose reader is gone: the write fails as it would on a closed pipe.
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
    CloseHandle(read);
    std::FILE* out = _fdopen(_open_osfhandle(reinterpret_cast<intptr_t>(write), _O_WRONLY), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(writeResponse(out, ImpostorPipe::defaultAnswer));
    std::fclose(out);

    std::FILE* err = std::tmpfile();
    ASSERT_NE(err, nullptr);
    ImpostorPipe impostor(servicePipe);
    std::wstring lone = std::wstring(L"{\"command\":\"") + wchar_t(0xD83D) + L"\"}";
    wchar_t* argv[] = {const_cast<wchar_t*>(L"orvanetctl"), const_cast<wchar_t*>(L"send"),
                       lone.data()};
    EXPECT_EQ(runProgram(3, argv, stdout, err), 2);
    std::rewind(err);
    char message[256] = {};
    std::fgets(message, sizeof message, err);
    std::fclose(err);
    EXPECT_STREQ(message, "orvanetctl: argument 2 is not valid Unicode text; nothing was sent\n");
    EXPECT_EQ(impostor.connections(), 0);
}

} // namespace
