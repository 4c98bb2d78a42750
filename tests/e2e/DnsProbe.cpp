// Asks as a Windows program asks: real DNS queries through Winsock, every path at once on a
// thread of its own (a blocked TCP connect costs its whole bound), each bounded by about 1.5 s.
// Usage: dns_probe TAG NAME KIND ADDRESS PORT [NAME KIND ADDRESS PORT]...
//   KIND: udp or tcp, a query for TAG.probe.test whose answer is awaited; or send, one
//   datagram of the same query (to a group or a broadcast address) for a listener on the far
//   side to see, since nothing answers those.
// Prints, in the order given, "NAME answered", "NAME no answer: WHY", "NAME sent" or
// "NAME not sent: WHY". A path is judged by its answer only: a blocked send fails at once
// under Wine, where Windows drops the packet silently.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto bound = std::chrono::milliseconds(1500);

struct Path {
    std::string name, kind, address, port;
    std::string result;
};

std::string wsaError(const char* what) {
    return std::string(what) + " failed, error " + std::to_string(WSAGetLastError());
}

std::vector<char> query(const std::string& tag, std::uint16_t id) {
    std::vector<char> q = {char(id >> 8), char(id & 0xff), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    for (const std::string& label : {tag, std::string("probe"), std::string("test")}) {
        q.push_back(char(label.size()));
        q.insert(q.end(), label.begin(), label.end());
    }
    q.insert(q.end(), {0, 0, 1, 0, 1}); // root, type A, class IN
    return q;
}

// A response to our id with at least one answer and no error.
bool answers(const char* r, int size, std::uint16_t id) {
    const auto byte = [&](int i) { return unsigned(static_cast<unsigned char>(r[i])); };
    return size >= 12 && (byte(0) << 8 | byte(1)) == id && (byte(2) & 0x80) != 0 &&
           (byte(3) & 0x0f) == 0 && (byte(6) << 8 | byte(7)) > 0;
}

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 1;
}

bool receiveWithin(SOCKET s, Clock::time_point deadline) {
    const DWORD timeout = DWORD(millisecondsLeft(deadline));
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                      sizeof timeout) == 0;
}

bool connectWithin(SOCKET s, const addrinfo* to, Clock::time_point deadline, std::string& why) {
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, to->ai_addr, int(to->ai_addrlen)) != 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
        why = wsaError("connect");
        return false;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const int left = millisecondsLeft(deadline);
    timeval wait = {left / 1000, (left % 1000) * 1000};
    if (select(0, nullptr, &writable, &failed, &wait) != 1 || !FD_ISSET(s, &writable)) {
        why = "not connected within the bound";
        return false;
    }
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    return true;
}

std::string ask(const Path& path, const std::string& tag, std::uint16_t id) {
    const auto deadline = Clock::now() + bound;
    const bool tcp = path.kind == "tcp";
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* to = nullptr;
    if (getaddrinfo(path.address.c_str(), path.port.c_str(), &hints, &to) != 0) {
        return "not sent: bad address";
    }
    const SOCKET s = socket(to->ai_family, to->ai_socktype, 0);
    std::string result;
    std::vector<char> q = query(tag, id);
    char reply[1500];
    int got = 0;
    if (s == INVALID_SOCKET) {
        result = "not sent: " + wsaError("socket");
    } else if (path.kind == "send") {
        const BOOL yes = TRUE;
        setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&yes), sizeof yes);
        result =
            sendto(s, q.data(), int(q.size()), 0, to->ai_addr, int(to->ai_addrlen)) == int(q.size())
                ? "sent"
                : "not sent: " + wsaError("sendto");
    } else if (!tcp) {
        if (sendto(s, q.data(), int(q.size()), 0, to->ai_addr, int(to->ai_addrlen)) !=
            int(q.size())) {
            result = "no answer: " + wsaError("sendto");
        }
        while (result.empty() && Clock::now() < deadline && receiveWithin(s, deadline)) {
            got = recv(s, reply, sizeof reply, 0);
            if (got <= 0) {
                result = "no answer: " + wsaError("recv");
            } else if (answers(reply, got, id)) {
                result = "answered";
            }
        }
        if (result.empty()) {
            result = "no answer: none within the bound";
        }
    } else if (connectWithin(s, to, deadline, result)) {
        const std::uint16_t size = std::uint16_t(q.size());
        q.insert(q.begin(), {char(size >> 8), char(size & 0xff)});
        int have = 0;
        if (send(s, q.data(), int(q.size()), 0) != int(q.size())) {
            result = wsaError("send");
        } else if (receiveWithin(s, deadline)) {
            // The two-byte length first, then the message; both within the bound.
            while ((got = recv(s, reply + have, int(sizeof reply) - have, 0)) > 0) {
                have += got;
                const int length = have >= 2 ? (static_cast<unsigned char>(reply[0]) << 8 |
                                                static_cast<unsigned char>(reply[1]))
                                             : -1;
                if (length >= 0 && have >= length + 2) {
                    break;
                }
            }
        }
        if (have > 2 && answers(reply + 2, have - 2, id)) {
            result = "answered";
        } else {
            result = "no answer: " + (result.empty() ? wsaError("recv") : result);
        }
    } else {
        result = "no answer: " + result;
    }
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
    freeaddrinfo(to);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 6 || (argc - 2) % 4 != 0) {
        std::fprintf(stderr, "usage: dns_probe TAG NAME KIND ADDRESS PORT...\n");
        return 2;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        std::fprintf(stderr, "WSAStartup failed\n");
        return 1;
    }
    const std::string tag = argv[1];
    std::vector<Path> paths;
    for (int i = 2; i + 3 < argc; i += 4) {
        paths.push_back({argv[i], argv[i + 1], argv[i + 2], argv[i + 3], {}});
    }
    std::vector<std::thread> askers;
    const auto seed = std::uint16_t(GetTickCount() * 40503u);
    for (std::size_t i = 0; i < paths.size(); ++i) {
        askers.emplace_back([&, i] { paths[i].result = ask(paths[i], tag, seed + i); });
    }
    for (auto& asker : askers) {
        asker.join();
    }
    for (const auto& path : paths) {
        std::printf("%s %s\n", path.name.c_str(), path.result.c_str());
    }
    WSACleanup();
    return 0;
}
