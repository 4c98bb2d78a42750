#include "PipeFixture.h"

#include <nlohmann/json.hpp>

#include <string>
#include <thread>

using pipeclient::exchange;

namespace {

const std::string inactive = R"({"message":"inactive","running":false,"status":"ok"})";

// A status request of exactly `size` bytes, padded inside an ignored member.
std::string statusRequestOfSize(size_t size) {
    const std::string head = R"({"command":"active","pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

} // namespace

TEST_F(ServedPipe, TrailingLineEndsAreTrimmedAndNotCounted) {
    EXPECT_EQ(inactive, exchange("{\"command\":\"active\"}\r\n"));
    EXPECT_EQ(inactive, exchange("{\"command\":\"active\"}\n\r\n\r\r"));
    stopServer();
    // The fixture's own request has the same length.
    EXPECT_EQ(3, count("PipeServer - Received command, length: 20"));
    EXPECT_EQ(3, count(R"(PipeServer - Command: {"command":"active"})"));
}

TEST_F(ServedPipe, OnlyLineEndsLeaveAnEmptyRequest) {
    const std::string response = exchange("\r\n\n\r");
    const auto parsed = nlohmann::json::parse(response);
    EXPECT_EQ("error", parsed.at("status"));
    EXPECT_TRUE(parsed.at("message").get<std::string>().starts_with(
        "JSON parse error: [json.exception.parse_error.101]"))
        << response;
    stopServer();
    EXPECT_EQ(1, count("PipeServer - Received command, length: 0"));
    EXPECT_EQ(1, count("PipeServer - Command: "));
}

TEST_F(ServedPipe, BytesAfterANulAreIgnoredButCounted) {
    const std::string request = std::string(R"({"command":"active"})") + '\0' + "garbage";
    EXPECT_EQ(inactive, exchange(request));
    stopServer();
    EXPECT_EQ(1, count("PipeServer - Received command, length: 28"));
}

TEST_F(ServedPipe, LongRequestsAreLoggedAsAnExcerpt) {
    const std::string exact = statusRequestOfSize(200);
    const std::string longer = statusRequestOfSize(201);
    EXPECT_EQ(inactive, exchange(exact));
    EXPECT_EQ(inactive, exchange(longer));
    stopServer();
    EXPECT_EQ(1, count("PipeServer - Received command, length: 200"));
    EXPECT_EQ(1, count("PipeServer - Command: " + exact));
    EXPECT_EQ(1, count("PipeServer - Received command, length: 201"));
    EXPECT_EQ(1, count("PipeServer - Command: " + longer.substr(0, 200) + "..."));
}

TEST_F(ServedPipe, OnlyOneReadOfAtMost65535Bytes) {
    const std::string request = statusRequestOfSize(70000);
    const std::string response = exchange(request);
    const auto parsed = nlohmann::json::parse(response);
    EXPECT_EQ("error", parsed.at("status"));
    EXPECT_TRUE(parsed.at("message").get<std::string>().starts_with("JSON parse error: "));
    EXPECT_EQ(inactive, exchange(R"({"command":"active"})"));
    stopServer();
    EXPECT_EQ(1, count("PipeServer - Received command, length: 65535"));
}

TEST_F(ServedPipe, ARequestInTwoWritesUsesOnlyTheFirst) {
    UniqueHandle pipe = pipeclient::open();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(pipeclient::write(pipe.get(), R"({"command":)"));
    ASSERT_TRUE(waitForLine("PipeServer - Received command, length: 11"));
    pipeclient::write(pipe.get(), R"("active"})");
    const std::string response = pipeclient::readToEnd(pipe.get());
    const auto parsed = nlohmann::json::parse(response);
    EXPECT_EQ("error", parsed.at("status"));
    EXPECT_TRUE(parsed.at("message").get<std::string>().starts_with("JSON parse error: "));
    pipe.reset();
    EXPECT_EQ(inactive, exchange(R"({"command":"active"})"));
}

TEST_F(ServedPipe, InvalidUtf8InTheRequestStillGetsValidJson) {
    for (const std::string& request :
         {std::string("{\"command\":\"\xFF\xFE\"}"), std::string("\xC3\x28"),
          std::string("{\"command\":\"st\xE4rt\"}")}) {
        const std::string response = exchange(request);
        nlohmann::json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::json::parse(response)) << response;
        EXPECT_EQ("error", parsed.at("status"));
        EXPECT_TRUE(parsed.at("message").get<std::string>().starts_with("JSON parse error: "))
            << response;
    }
    EXPECT_EQ(inactive, exchange(R"({"command":"active"})"));
}

TEST_F(ServedPipe, CodePageTextFromTheSessionStillGetsValidJson) {
    // "Zugriff verweigert für Adapter" in code page 1252: 0xFC is no UTF-8.
    vpndouble::startAnswers(OperationResult::failure("Zugriff verweigert f\xFCr Adapter"));
    const std::string response = exchange(R"({"command":"start"})");
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(response)) << response;
    EXPECT_EQ("error", parsed.at("status"));
    EXPECT_EQ("Zugriff verweigert f\xEF\xBF\xBDr Adapter", parsed.at("message"));

    // Valid UTF-8 passes byte for byte, unescaped.
    vpndouble::startAnswers(OperationResult::failure("\xC3\x89"
                                                     "chec \xE2\x80\x93 r\xC3\xA9seau"));
    EXPECT_EQ("{\"message\":\"\xC3\x89"
              "chec \xE2\x80\x93 r\xC3\xA9seau\",\"status\":\"error\"}",
              exchange(R"({"command":"start"})"));
    EXPECT_EQ(inactive, exchange(R"({"command":"active"})"));
}
