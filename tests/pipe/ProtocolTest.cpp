#include "PipeFixture.h"

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

using pipeclient::exchange;

namespace {

std::string parseErrorOf(const std::string& text) {
    try {
        const auto parsed = nlohmann::json::parse(text);
        return "<parsed: " + parsed.dump() + ">";
    } catch (const nlohmann::json::exception& e) {
        return e.what();
    }
    return "<unreachable>";
}

} // namespace

TEST_F(ServedPipe, StartAnswersOkAndLogsTheExchangeInOrder) {
    const auto before = static_cast<int>(messages().size());
    EXPECT_EQ(R"({"message":"VPN started successfully","status":"ok"})",
              exchange(R"({"command":"start"})"));
    stopServer();
    EXPECT_EQ(1, vpndouble::startCalls());
    // Its clean-up after a failure is bounded as a client's stop is.
    EXPECT_EQ(std::chrono::milliseconds(10000), vpndouble::lastStartBound());

    const auto all = lines();
    const int first = find("PipeServer - Client connected", before);
    ASSERT_GE(first, 0);
    const std::vector<LogLine> expected = {
        {"INFO", "PipeServer - Client connected"},
        {"INFO", ownClientLine()},
        {"INFO", "PipeServer - Received command, length: 19"},
        {"DEBUG", R"(PipeServer - Command: {"command":"start"})"},
        {"INFO", "PipeServer::processCommand - Command type: start"},
        {"INFO", "PipeServer::handleStart - Starting tun2proxy"},
        {"INFO", "PipeServer - Response sent, length: 52"},
    };
    ASSERT_GE(all.size(), first + expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i].level, all[first + i].level) << i;
        EXPECT_EQ(expected[i].message, all[first + i].message) << i;
    }
}

// Every error answer is also in the log, as the line just before "Response sent", since
// support gets the log and not the answer; the session's text reaches both unchanged.
TEST_F(ServedPipe, EveryErrorAnswerIsLoggedJustBeforeItIsSent) {
    const struct {
        OperationResult start;
        const char* request;
        std::string message; // empty: an ok answer, and no such line
    } cases[] = {
        {OperationResult::failure("FwpmEngineOpen0 failed: 1764"), R"({"command":"start"})",
         "FwpmEngineOpen0 failed: 1764"},
        {OperationResult::failure("VPN already running"), R"({"command":"start"})",
         "VPN already running"},
        {OperationResult::ok(), R"({"command":"bogus"})", "Unknown command: bogus"},
        {OperationResult::ok(),
         "{\"command\":", "JSON parse error: " + parseErrorOf("{\"command\":")},
        {OperationResult::ok(), R"({"command":"start"})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        vpndouble::startAnswers(c.start);
        const int before = static_cast<int>(messages().size());
        const std::string response = exchange(c.request);
        ASSERT_TRUE(
            waitForLine("PipeServer - Response sent, length: " + std::to_string(response.size())));
        const auto all = lines();
        const int sent =
            find("PipeServer - Response sent, length: " + std::to_string(response.size()), before);
        ASSERT_GT(sent, before);
        if (c.message.empty()) {
            EXPECT_EQ(R"({"message":"VPN started successfully","status":"ok"})", response);
            EXPECT_NE("WARN", all[sent - 1].level) << all[sent - 1].message;
            continue;
        }
        EXPECT_EQ(nlohmann::json({{"status", "error"}, {"message", c.message}}).dump(), response);
        EXPECT_EQ("WARN", all[sent - 1].level);
        EXPECT_EQ("PipeServer - Answered with an error: " + c.message, all[sent - 1].message);
    }
}

TEST_F(ServedPipe, StopAnswersOkOrTheFailureText) {
    vpndouble::setRunning(true);
    EXPECT_EQ(R"({"message":"VPN stopped successfully","status":"ok"})",
              exchange(R"({"command":"stop"})"));
    EXPECT_EQ(R"({"message":"inactive","running":false,"status":"ok"})",
              exchange(R"({"command":"active"})"));
    // Stopped already: still ok.
    EXPECT_EQ(R"({"message":"VPN stopped successfully","status":"ok"})",
              exchange(R"({"command":"stop"})"));
    vpndouble::stopAnswers(OperationResult::failure("Engine did not stop"));
    EXPECT_EQ(R"({"message":"Engine did not stop","status":"error"})",
              exchange(R"({"command":"stop"})"));
    EXPECT_EQ(3, vpndouble::stopCalls());
    // A client's stop is bounded, so that a hung engine cannot hold the pipe.
    EXPECT_EQ(std::chrono::milliseconds(10000), vpndouble::lastStopBound());
    stopServer();
    // The stop handler writes no line of its own.
    for (const auto& text : messages()) {
        EXPECT_FALSE(text.starts_with("PipeServer::handleStop")) << text;
    }
}

TEST_F(ServedPipe, StatusFollowsTheRunningFlag) {
    EXPECT_EQ(R"({"message":"inactive","running":false,"status":"ok"})",
              exchange(R"({"command":"active"})"));
    EXPECT_EQ(R"({"message":"VPN started successfully","status":"ok"})",
              exchange(R"({"command":"start"})"));
    EXPECT_EQ(R"({"message":"active","running":true,"status":"ok"})",
              exchange(R"({"command":"active"})"));
    EXPECT_EQ(R"({"message":"VPN started successfully","status":"ok"})",
              exchange(R"({"command":"start","extra":1})"));
    EXPECT_EQ(2, vpndouble::startCalls());
    stopServer();
    EXPECT_EQ(1, count("PipeServer - Response sent, length: 49"));
}

TEST_F(ServedPipe, UnknownNamesAreQuotedExactly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"command":"status"})", R"({"message":"Unknown command: status","status":"error"})"},
        {R"({"command":"Start"})", R"({"message":"Unknown command: Start","status":"error"})"},
        {R"({"command":" start"})", R"({"message":"Unknown command:  start","status":"error"})"},
        {R"({"command":""})", R"({"message":"Unknown command: ","status":"error"})"},
    };
    for (const auto& [request, response] : cases) {
        EXPECT_EQ(response, exchange(request)) << request;
    }
    stopServer();
    EXPECT_EQ(0, vpndouble::startCalls());
    // Only the fixture's own status query reached the session.
    EXPECT_EQ(1, vpndouble::statusCalls());
    EXPECT_EQ(1, count("PipeServer::processCommand - Command type: status"));
    EXPECT_EQ(1, count("PipeServer::processCommand - Command type:  start"));
    EXPECT_EQ(1, count("PipeServer::processCommand - Command type: "));
}

TEST_F(ServedPipe, RequestsWithoutACommandMember) {
    for (const char* request : {R"({"Command":"start"})", "{}", R"(["start"])", R"("start")"}) {
        EXPECT_EQ(R"({"message":"Missing 'command' field","status":"error"})", exchange(request))
            << request;
    }
    stopServer();
    EXPECT_EQ(0, vpndouble::startCalls());
    // Nothing was dispatched: the only command line is the fixture's own status query.
    int dispatched = 0;
    for (const auto& text : messages()) {
        dispatched += text.starts_with("PipeServer::processCommand") ? 1 : 0;
    }
    EXPECT_EQ(1, dispatched);
    EXPECT_EQ(5, count("PipeServer - Response sent, length: 54") +
                     count("PipeServer - Response sent, length: 52"));
}

TEST_F(ServedPipe, ACommandThatIsNoStringIsAParseError) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"command":5})", "number"},        {R"({"command":true})", "boolean"},
        {R"({"command":null})", "null"},       {R"({"command":{}})", "object"},
        {R"({"command":["start"]})", "array"},
    };
    for (const auto& [request, type] : cases) {
        const std::string text =
            "[json.exception.type_error.302] type must be string, but is " + type;
        EXPECT_EQ(
            nlohmann::json({{"status", "error"}, {"message", "JSON parse error: " + text}}).dump(),
            exchange(request))
            << request;
        EXPECT_TRUE(waitForLine("PipeServer - JSON parse error: " + text));
    }
    EXPECT_EQ(
        R"({"message":"JSON parse error: [json.exception.type_error.302] type must be string, but is number","status":"error"})",
        exchange(R"({"command":5})"));
    stopServer();
    for (const auto& line : lines()) {
        if (line.message.starts_with("PipeServer - JSON parse error: ")) {
            EXPECT_EQ("ERROR", line.level);
        }
    }
}

TEST_F(ServedPipe, TextAfterTheObjectIsAParseErrorAndNothingIsDispatched) {
    vpndouble::setRunning(true);
    const std::string request = R"({"command":"stop"}x)";
    const std::string response = exchange(request);
    EXPECT_EQ(nlohmann::json(
                  {{"status", "error"}, {"message", "JSON parse error: " + parseErrorOf(request)}})
                  .dump(),
              response);
    EXPECT_TRUE(
        response.starts_with(R"({"message":"JSON parse error: [json.exception.parse_error.101])"))
        << response;
    EXPECT_EQ(R"({"message":"active","running":true,"status":"ok"})",
              exchange(R"({"command":"active"})"));
    EXPECT_EQ(0, vpndouble::stopCalls());
}

TEST_F(ServedPipe, NotJsonAtAll) {
    for (const char* request : {"start", "{", R"({"command":"start",})", "/*c*/{}"}) {
        EXPECT_EQ(nlohmann::json({{"status", "error"},
                                  {"message", "JSON parse error: " + parseErrorOf(request)}})
                      .dump(),
                  exchange(request))
            << request;
    }
    EXPECT_EQ(0, vpndouble::startCalls());
}
