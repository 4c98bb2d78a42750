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

// A client's text never makes a line of its own, in the file or in the debugger's copy: its
// line ends and other control characters are written escaped; lengths stay the raw counts.
TEST_F(ServedPipe, ClientTextCannotWriteALineOfItsOwn) {
    const struct {
        std::string request;
        std::string logged; // the line that quotes the client
    } cases[] = {
        {R"({"command":"x\n[2026-01-01 00:00:00] [INFO] VPN started successfully"})",
         R"(PipeServer::processCommand - Command type: x\n[2026-01-01 00:00:00] [INFO] VPN started successfully)"},
        {"{\"command\":\r\n\"x\"}", R"(PipeServer - Command: {"command":\r\n"x"})"},
        {R"({"command":"a\u0000b"})", R"(PipeServer::processCommand - Command type: a\x00b)"},
        {R"({"command":"\u001b[2J"})", R"(PipeServer::processCommand - Command type: \x1b[2J)"},
    };
    DebugCapture capture;
    for (const auto& c : cases) {
        exchange(c.request);
    }
    stopServer();
    for (const auto& c : cases) {
        EXPECT_EQ(1, count(c.logged)) << c.logged;
    }
    EXPECT_EQ(1, count("PipeServer - Received command, length: 17"));
    for (const auto& line : lines()) {
        EXPECT_NE("VPN started successfully", line.message);
    }
    const std::string raw = readFile(folder.path() / "pipe.log");
    EXPECT_EQ(std::string::npos, raw.find('\0'));
    EXPECT_EQ(std::string::npos, raw.find('\x1b'));
    for (const std::string& text : capture.texts()) {
        EXPECT_EQ(text.size() - 1, text.find_first_of(std::string("\r\n\0\x1b", 4))) << text;
    }
}

// Client text in a line is whole up to 200 bytes as written (escapes counted), else its
// first bytes, ended before a character or an escape the cut would split, and "...":
// whatever a request holds, each of its lines stays within 300 bytes and valid UTF-8, and no
// client can push the history out of the log.
TEST_F(ServedPipe, LongClientTextIsLoggedAsAnExcerpt) {
    const std::string exact = statusRequestOfSize(200);
    const std::string longer = statusRequestOfSize(201);
    // "\u00eb" takes bytes 199 and 200: the cut would split it.
    const std::string split = R"({"command":")" + std::string(187, 'a') + "\xc3\xab\"}";
    const std::string longName = R"({"command":")" + std::string(65000, 'b') + "\"}";
    // A string that never ends: the parse error quotes all of it.
    const std::string longToken = R"({"command":")" + std::string(65000, 'c');
    // Each control byte is written as four ("\x01"), and so is each byte that is no UTF-8
    // (0x9B, the 8-bit CSI): the first 47 after the 12 bytes before them fill the 200.
    const std::string controls = R"({"command":")" + std::string(300, '\x01') + "\"}";
    const std::string raw = R"({"command":")" + std::string(300, '\x9b') + "\"}";
    for (const std::string* request :
         {&exact, &longer, &split, &longName, &longToken, &controls, &raw}) {
        exchange(*request);
    }
    std::string controlsWritten;
    std::string rawWritten;
    for (int i = 0; i < 47; ++i) {
        controlsWritten += "\\x01";
        rawWritten += "\\x9b";
    }
    stopServer();
    const struct {
        std::string message;
    } logged[] = {
        {"PipeServer - Command: " + exact},
        {"PipeServer - Command: " + longer.substr(0, 200) + "..."},
        {"PipeServer - Command: " + split.substr(0, 199) + "..."},
        {"PipeServer::processCommand - Command type: " + std::string(187, 'a') + "\xc3\xab"},
        {"PipeServer - Answered with an error: Unknown command: " + std::string(183, 'a') + "..."},
        {"PipeServer - Command: " + longName.substr(0, 200) + "..."},
        {"PipeServer::processCommand - Command type: " + std::string(200, 'b') + "..."},
        {"PipeServer - Answered with an error: Unknown command: " + std::string(183, 'b') + "..."},
        {"PipeServer - Command: " + longToken.substr(0, 200) + "..."},
        {R"(PipeServer - Command: {"command":")" + controlsWritten + "..."},
        {R"(PipeServer - Command: {"command":")" + rawWritten + "..."},
    };
    for (const auto& line : logged) {
        EXPECT_EQ(1, count(line.message)) << line.message.substr(0, 80);
    }
    int parseErrors = 0;
    int quotingTheToken = 0;
    for (const auto& line : lines()) {
        // The whole line: "[YYYY-MM-DD HH:MM:SS] [LEVEL] " and the message.
        EXPECT_LE(22 + line.level.size() + 3 + line.message.size(), 300u)
            << line.message.substr(0, 80);
        EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.message.data(),
                                      static_cast<int>(line.message.size()), nullptr, 0),
                  0)
            << line.message.substr(0, 80);
        if (line.message.starts_with("PipeServer - JSON parse error: [json.exception")) {
            quotingTheToken += line.message.ends_with("ccc...") ? 1 : 0;
            ++parseErrors;
        }
    }
    EXPECT_EQ(3, parseErrors);
    EXPECT_EQ(1, quotingTheToken);
}

TEST_F(ServedPipe, OnlyOneReadOfAtMost65535Bytes) {
    const std::string request = statusRequestOfSize(70000);
    const std::string response = exchange(request);
    const auto parsed = nlohmann::json::parse(response);
    EXPECT_EQ("error", parsed.at("status"));
    EXPECT_TRUE(parsed.at("message").get<std::string>().starts_with("JSON parse error: "));
    // The buffer serves every client: the next request is read on its own, nothing of the
    // long one's bytes after it.
    EXPECT_EQ(inactive, exchange(R"({"command":"active"})"));
    stopServer();
    EXPECT_EQ(1, count("PipeServer - Received command, length: 65535"));
    EXPECT_EQ(2, count("PipeServer - Received command, length: 20")); // the fixture's and this
    EXPECT_EQ(2, count(R"(PipeServer - Command: {"command":"active"})"));
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
