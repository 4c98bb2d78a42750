// Random and mutated requests against the serving components: every exchange ends with a
// valid JSON response, the server keeps serving, and the VPN state changes only on a
// well-formed "start" or "stop".
#include "ServiceUnderTest.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <random>

namespace {

// What the request asks for, judged independently of the server: the text it reads (at
// most one read's worth), without trailing line ends, up to a NUL, parsed as JSON.
std::optional<std::string> commandOf(const std::string& request) {
    std::string text = request.substr(0, 65535);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
    text = text.substr(0, text.find('\0'));
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return std::nullopt;
    }
    const auto found = parsed.find("command");
    if (found == parsed.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

class RequestMaker {
public:
    explicit RequestMaker(std::uint32_t seed) : random(seed) {}

    std::string next() {
        switch (pick(0, 9)) {
        case 0:
            return randomBytes(pick(1, 300));
        case 1:
            return deepNesting();
        case 2:
            return R"({"command":")" + std::string(pick(1000, 60000), 'A' + pick(0, 25)) + R"("})";
        case 3:
            return randomBytes(pick(65000, 70000));
        default:
            return mutate(seeds[pick(0, static_cast<int>(seeds.size()) - 1)]);
        }
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

    std::string randomBytes(int length) {
        std::string bytes(static_cast<std::size_t>(length), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(pick(0, 255));
        }
        return bytes;
    }

    std::string deepNesting() {
        const int depth = pick(100, 30000);
        const std::string open = pick(0, 1) != 0 ? "[" : R"({"a":)";
        std::string text;
        for (int i = 0; i < depth; ++i) {
            text += open;
        }
        if (pick(0, 1) != 0) {
            text += "1";
            for (int i = 0; i < depth; ++i) {
                text += open == "[" ? "]" : "}";
            }
        }
        return text.substr(0, 65000);
    }

    std::string mutate(std::string text) {
        static const std::vector<std::string> oddBytes = {std::string(1, '\0'),
                                                          "\xC3",
                                                          "\xFF",
                                                          "\xC0\xAF",
                                                          "\xED\xA0\x80",
                                                          "\xF4\x90\x80\x80",
                                                          "\r\n",
                                                          "\"",
                                                          "\\",
                                                          "\\u0000",
                                                          "\\ud800",
                                                          "{",
                                                          "}",
                                                          "[",
                                                          "]",
                                                          ",",
                                                          ":"};
        const int edits = pick(1, 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const auto at = static_cast<std::size_t>(pick(0, static_cast<int>(text.size()) - 1));
            switch (pick(0, 4)) {
            case 0:
                text[at] = static_cast<char>(pick(0, 255));
                break;
            case 1:
                text.insert(at, oddBytes[pick(0, static_cast<int>(oddBytes.size()) - 1)]);
                break;
            case 2:
                text.erase(at, static_cast<std::size_t>(pick(1, 5)));
                break;
            case 3:
                text.resize(at);
                break;
            default:
                text += text.substr(at);
                break;
            }
        }
        return text.empty() ? std::string("\xFF") : text;
    }

    std::mt19937 random;
    const std::vector<std::string> seeds = {
        R"({"command":"start"})",
        R"({"command":"stop"})",
        R"({"command":"active"})",
        R"({"command":"status"})",
        R"({"command":"active","port":1080})",
        R"({"command":["start"]})",
        R"({"command":null})",
        R"(["start"])",
        R"({"command":"st\u0061rt"})",
        R"({"command":"\u00e9"})",
        "{\"command\":\"active\"}\r\n",
    };
};

TEST_F(ServiceUnderTest, TenThousandRandomAndMutatedRequests) {
    RequestMaker maker(0x0a7e2026);
    // Real starts cost the grace period each: only this many go through, the rest of the
    // well-formed starts and stops are made again.
    int startsLeft = 12;
    int stopsLeft = 12;
    bool running = false;
    int disconnects = 0;

    for (int i = 0; i < 10000; ++i) {
        std::string request = maker.next();
        std::optional<std::string> command = commandOf(request);
        while ((command == "start" && (running || startsLeft == 0)) ||
               (command == "stop" && (!running || stopsLeft == 0))) {
            request = maker.next();
            command = commandOf(request);
        }

        const std::string response = exchange(request);
        SCOPED_TRACE("request " + std::to_string(i) + ": " + request.substr(0, 80));
        ASSERT_NE("<no pipe>", response) << "the server stopped serving";
        if (response.empty()) {
            ++disconnects;
        } else {
            const nlohmann::json parsed = nlohmann::json::parse(response, nullptr, false);
            ASSERT_FALSE(parsed.is_discarded()) << response;
            ASSERT_TRUE(parsed.is_object()) << response;
            ASSERT_TRUE(parsed.at("message").is_string()) << response;
            const std::string status = parsed.at("status").get<std::string>();
            ASSERT_TRUE(status == "ok" || status == "error") << response;
        }

        if (command == "start") {
            ASSERT_EQ(startedResponse, response);
            running = true;
            --startsLeft;
        } else if (command == "stop") {
            ASSERT_EQ(stoppedResponse, response);
            running = false;
            --stopsLeft;
        }
        ASSERT_EQ(running, vpn.isRunning()) << response;
        if (i % 1000 == 999) {
            ASSERT_EQ(running ? activeResponse : inactiveResponse, exchange(activeRequest));
        }
    }
    EXPECT_EQ(0, disconnects);
    EXPECT_EQ(running ? 12u : 0u, wfpdouble::liveFilters().size());
}

} // namespace
