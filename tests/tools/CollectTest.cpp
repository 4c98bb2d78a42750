// The problem report: what is gathered and what is said of what is not, names replaced the
// same way across the collection, and the log folder left exactly as it was.
#include "Collect.h"
#include "FilterPicture.h"
#include "ImagePath.h"
#include "NetworkReport.h"
#include "Redaction.h"
#include "ServiceIdentity.h"
#include "dns/DnsRules.h"
#include "platform/Utf8.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// A client line as the service writes it.
std::string clientLine(const std::string& program, const std::string& account) {
    return "[2026-12-09 04:05:06] [INFO] PipeServer - Client: process 12, program " + program +
           ", account " + account + "\r\n";
}

TEST(RedactionTest, NamesLearnedFromTheServicesClientLinesAreReplacedAlikeEverywhere) {
    const std::string log =
        clientLine("C:\\Users\\Alice Smith\\App\\c.exe", "DESK-7\\alice") +
        clientLine("C:\\Program Files\\x.exe", "NT AUTHORITY\\SYSTEM") +
        clientLine("C:\\users\\Public\\p.exe", "unknown (error 5)") +
        clientLine("C:\\Users\\j\xc3\xbcrgen\\x.exe", "DESK-7\\Ann Lee Smith") +
        clientLine("D:\\Users\\Lee Smith\\x, account y.exe", "DESK-7\\a") +
        clientLine("C:\\Users\\Alice.Smith\\x.exe", "DESK-7\\(ann)") +
        clientLine("C:\\Users\\O'Brien Jones\\x.exe", "DESK-7\\'kim") +
        clientLine("D:\\x.exe", "DESK-7\\<user-1") +
        // What clients write into the log, through their requests, teaches nothing: no client
        // can begin a line, and a line of the service's holds it only after its beginning.
        "[2026-12-09 04:05:07] [INFO] PipeServer::processCommand - Command type: x, account "
        "ERROR\r\n"
        "[2026-12-09 04:05:07] [INFO] PipeServer - Request: C:\\Users\\Unhandled\\x\r\n"
        "[2026-12-09 04:05:07] [INFO] x " +
        clientLine("C:\\Users\\Evil\\x.exe", "EVIL\\evil");
    Redaction redaction;
    // The collector's own, from its token, before the log.
    redaction.learnAccount("CORP\\adm-jsmith");
    redaction.learnProfile("C:\\Users\\adm-jsmith");
    // Two copies of each client line: each name and short form is learnt once.
    redaction.learn(log + log);
    const struct {
        std::string text;
        std::string redacted;
    } cases[] = {
        {"C:\\Users\\adm-jsmith\\Downloads\\orvanetctl.exe, CORP\\ADM-JSMITH",
         "C:\\Users\\<user-1>\\Downloads\\orvanetctl.exe, <domain-1>\\<user-1>"},
        {"account DESK-7\\alice", "account <domain-2>\\<user-2>"},
        // Names ignore case; only whole words are names, whatever the script around them.
        {"ALICE alicewonder malice alice.", "<user-2> alicewonder malice <user-2>."},
        {"\xc2\xab"
         "alice\xc2\xbb alice\xe2\x80\x99s \xc3\xa9"
         "alice alice\xc3\xa9",
         "\xc2\xab<user-2>\xc2\xbb <user-2>\xe2\x80\x99s \xc3\xa9"
         "alice alice\xc3\xa9"},
        {"C:\\Users\\Alice Smith\\Documents", "C:\\Users\\<user-3>\\Documents"},
        {"desk-7 asked", "<domain-2> asked"},
        // The platform's own accounts and profiles, and unknown ones, are no one's.
        {"NT AUTHORITY\\SYSTEM C:\\users\\Public unknown (error 5)",
         "NT AUTHORITY\\SYSTEM C:\\users\\Public unknown (error 5)"},
        {"process 12 at 12:00", "process 12 at 12:00"},
        // Planted text taught nothing.
        {"[ERROR] Unhandled exception; evil", "[ERROR] Unhandled exception; evil"},
        // A name too short to be told from a word is not learnt.
        {"a link", "a link"},
        // A user principal name, and a profile folder's short name.
        {"alice@example.org", "<user-2>@example.org"},
        {"C:\\Users\\ALICES~1\\AppData and alices~12", "C:\\Users\\<user-3>\\AppData and <user-3>"},
        // A short form whole, with its extension, and with a character the platform keeps.
        {"C:\\Users\\ALICE~1.SMI\\x ALICE~2.SMITH", "C:\\Users\\<user-7>\\x <user-7>.SMITH"},
        {"C:\\Users\\O'BRIE~1\\x", "C:\\Users\\<user-9>\\x"},
        // Names that begin with what a name may hold but a word may not.
        {"(ann) and 'kim, x(ANN)", "<user-6> and <user-8>, x<user-6>"},
        // Folded as the platform folds, beyond ASCII.
        {"J\xc3\x9cRGEN and j\xc3\xbcrgen", "<user-5> and <user-5>"},
        // An account whole, up to the line's end; the longest name first.
        {"Ann Lee Smith, Ann Lee", "<user-4>, Ann Lee"},
        // A folder named like a profile outside the profiles folder is anyone's.
        {"Lee Smith", "Lee Smith"},
        // A placeholder is never taken for a name.
        {"<user-1> <domain-1>", "<user-1> <domain-1>"},
        // Nor a name that a placeholder would hold.
        {"<user-1 and (<user-1)", "<user-1 and (<user-1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(redaction.apply(c.text), c.redacted) << c.text;
    }
    EXPECT_EQ(redaction.names(), 11u);
    EXPECT_EQ(redaction.notReplaced(), 2u);
    EXPECT_EQ(redaction.leftOut(), 0u);
}

// Whether `name` stands in `text` as a whole word, in any case the platform folds.
bool standsIn(const std::string& text, const std::string& name) {
    const auto upper = [](const std::string& utf8) {
        std::wstring wide = toUtf16(utf8);
        CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
        return wide;
    };
    const auto word = [](wchar_t c) {
        return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
               c == L'_' || c == L'-' || c == L'$' || (c >= 0x80 && IsCharAlphaNumericW(c));
    };
    const std::wstring folded = upper(text);
    const std::wstring sought = upper(name);
    for (std::size_t at = folded.find(sought); at != std::wstring::npos;
         at = folded.find(sought, at + 1)) {
        const std::size_t after = at + sought.size();
        if ((at == 0 || !word(folded[at - 1])) &&
            (after == folded.size() || !word(folded[after]))) {
            return true;
        }
    }
    return false;
}

// The one property redaction holds: after it, no learnt name stands in the text, whatever
// the names' cases, neighbours and overlaps.
TEST(RedactionTest, NoLearntNameSurvivesInGeneratedLines) {
    const std::vector<std::pair<std::string, std::string>> clients = {
        {"C:\\Users\\Ann\\a.exe", "HOST-1\\Ann"},
        {"C:\\Users\\Ann Lee\\a.exe", "HOST-1\\Ann Lee"},
        {"C:\\Users\\Lee Smith\\b.exe", "HOST-1\\Lee Smith"},
        {"C:\\Users\\j\xc3\xbcrgen\\c.exe", "CORP\\j\xc3\xbcrgen"},
        {"C:\\Users\\bob\\d.exe", "CORP\\bob"},
        {"C:\\Users\\bobby.tables\\e.exe", "CORP\\user-1x"},
    };
    std::string log;
    for (const auto& [program, account] : clients) {
        log += clientLine(program, account);
    }
    Redaction redaction;
    redaction.learn(log);
    const std::vector<std::string> names = redaction.learntNames();
    ASSERT_EQ(names.size(), 9u);
    const std::vector<std::string> glue = {" ",
                                           "\\",
                                           "@",
                                           ".",
                                           ",",
                                           "<",
                                           ">",
                                           "~1",
                                           "",
                                           "-",
                                           "\xc3\xa9",
                                           "  ",
                                           "\t",
                                           "\xc2\xab",
                                           "\xc2\xbb",
                                           "\xe2\x80\x99",
                                           "\xe2\x80\x94",
                                           "(",
                                           "'"};
    std::mt19937 random(4242);
    const auto pick = [&](std::size_t count) {
        return std::uniform_int_distribution<std::size_t>(0, count - 1)(random);
    };
    for (int line = 0; line < 3000; ++line) {
        std::string text;
        for (std::size_t parts = 1 + pick(5); parts > 0; --parts) {
            std::string name = names[pick(names.size())];
            // In another case, as the platform folds it (not only ASCII).
            if (const std::size_t change = pick(3); change < 2) {
                std::wstring wide = toUtf16(name);
                if (change == 0) {
                    CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
                } else {
                    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
                }
                name = toUtf8(wide, InvalidText::Replace).value_or(name);
            }
            text += glue[pick(glue.size())] + name + glue[pick(glue.size())];
        }
        const std::string redacted = redaction.apply(text);
        for (const std::string& name : names) {
            EXPECT_FALSE(standsIn(redacted, name))
                << name << " in '" << redacted << "' from '" << text << "'";
        }
        if (HasFailure()) {
            break;
        }
    }
}

// The network picture from a fixed table: kept and replaced addresses (the same value, the
// same placeholder), the tunnel marked, the routes and the registry's lines.
TEST(NetworkReportTest, KeepsSharedAddressesReplacesTheRestAndReadsLikeTheTable) {
    AddressRedaction redaction({"203.0.113.9"});
    const struct {
        std::string address;
        std::string shown;
    } addresses[] = {
        {"192.168.1.20/24", "192.168.1.20/24"},
        {"10.0.0.1", "10.0.0.1"},
        {"172.31.255.1", "172.31.255.1"},
        {"172.32.0.1", "<ipv4-1>"},
        {"100.64.0.1", "100.64.0.1"},
        {"169.254.3.4/16", "169.254.3.4/16"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"8.8.8.8", "<ipv4-2>"},
        {"8.8.8.8/32", "<ipv4-2>/32"},
        {"203.0.113.9/24", "203.0.113.9/24"},
        {"fe80::1c2:3/64", "fe80::1c2:3/64"},
        {"fd77:1::1", "fd77:1::1"},
        {"::1", "::1"},
        {"::/0", "::/0"},
        {"2001:db8::1/64", "<ipv6-1>/64"},
        {"::ffff:8.8.4.4", "<ipv6-2>"},
        {"2001:db8::1", "<ipv6-1>"},
    };
    for (const auto& a : addresses) {
        EXPECT_EQ(redaction.address(a.address), a.shown) << a.address;
    }
    NetworkFacts facts;
    facts.adapters = {
        {"orvantun", 12, 0x6000000001, "up", "", {"10.77.1.1/24"}, {}, {"10.0.0.1"}},
        {"Wi-Fi",
         3,
         0x47000000,
         "up",
         "00-15-5D-01-02-03",
         {"192.168.1.20/24", "81.2.69.142/32"},
         {"192.168.1.1"},
         {"1.1.1.1", "192.168.1.1"}},
    };
    facts.routes = {{"0.0.0.0/0", "192.168.1.1", 3, 25}, {"81.2.69.0/24", "0.0.0.0", 3, 1}};
    facts.nameResolution = {
        "Dnscache\\DnsPolicyConfig\\{r1}\\GenericDNSServers = 1.1.1.1; 10.0.0.1"};
    facts.failures = {"routes: error 5"};
    EXPECT_EQ(networkText(facts, "orvantun", &redaction),
              "Adapters\n"
              "  orvantun [the tunnel]: index 12, LUID 0x6000000001, up\n"
              "    addresses: 10.77.1.1/24\n"
              "    gateways: none\n"
              "    DNS servers: 10.0.0.1\n"
              "  Wi-Fi: index 3, LUID 0x47000000, up\n"
              "    addresses: 192.168.1.20/24, <ipv4-3>/32\n"
              "    gateways: 192.168.1.1\n"
              "    DNS servers: <ipv4-4>, 192.168.1.1\n"
              "    hardware address: <mac-1>\n"
              "\nRoutes (IPv4, then IPv6)\n"
              "  0.0.0.0/0 via 192.168.1.1, interface 3, metric 25\n"
              "  <ipv4-5>/24 via 0.0.0.0, interface 3, metric 1\n"
              "\nName resolution policy (NRPT)\n"
              "  Dnscache\\DnsPolicyConfig\\{r1}\\GenericDNSServers = <ipv4-4>; 10.0.0.1\n"
              "\nDNS over HTTPS\n"
              "  none\n"
              "\nNot read\n"
              "  routes: error 5\n");
    EXPECT_EQ(redaction.hardware("00-15-5D-01-02-03"), "<mac-1>");
}

// A filter as filters.txt shows it: the service's and another provider's, every part named.
TEST(FilterReportTest, EachFilterIsOneLineWithItsSublayerWeightActionAndConditions) {
    UINT64 effective = 15;
    FWPM_FILTER_CONDITION0 ours[3] = {};
    ours[0] = {FWPM_CONDITION_IP_PROTOCOL, FWP_MATCH_EQUAL, {FWP_UINT8, {.uint8 = 17}}};
    ours[1] = {FWPM_CONDITION_IP_REMOTE_PORT, FWP_MATCH_EQUAL, {FWP_UINT16, {.uint16 = 53}}};
    ours[2] = {FWPM_CONDITION_INTERFACE_INDEX, FWP_MATCH_EQUAL, {FWP_UINT32, {.uint32 = 9}}};
    FWPM_FILTER0 allow{};
    allow.filterId = 42;
    allow.layerKey = FWPM_LAYER_OUTBOUND_TRANSPORT_V4;
    allow.subLayerKey = dnsrules::sublayerKey;
    allow.displayData.name = const_cast<wchar_t*>(L"Orvanet DNS allow (UDP/53)");
    allow.weight = {FWP_UINT8, {.uint8 = 15}};
    allow.effectiveWeight = {FWP_UINT64, {.uint64 = &effective}};
    allow.action.type = FWP_ACTION_PERMIT;
    allow.numFilterConditions = 3;
    allow.filterCondition = ours;

    GUID provider = {0x11223344, 0x5566, 0x7788, {0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00}};
    FWPM_FILTER_CONDITION0 theirs = {provider, FWP_MATCH_NOT_EQUAL, {FWP_BYTE_BLOB_TYPE, {}}};
    FWPM_FILTER0 other{};
    other.filterId = 7;
    other.layerKey = FWPM_LAYER_OUTBOUND_TRANSPORT_V6;
    other.subLayerKey = provider;
    other.weight = {FWP_UINT8, {.uint8 = 3}};
    other.action.type = FWP_ACTION_CALLOUT_TERMINATING;
    other.providerKey = &provider;
    other.numFilterConditions = 1;
    other.filterCondition = &theirs;

    EXPECT_EQ(filterLine(allow),
              "#42 outbound transport v4, sublayer {8F6A0F7D-2ED2-4D79-A21F-7B2D11417398} (the "
              "service's), weight 15, permit, provider none: Orvanet DNS allow (UDP/53); "
              "protocol = 17, remote port = 53, interface index = 9");
    EXPECT_EQ(filterLine(other),
              "#7 outbound transport v6, sublayer {11223344-5566-7788-99AA-BBCCDDEEFF00}, weight "
              "3, callout (terminating), provider {11223344-5566-7788-99AA-BBCCDDEEFF00}: (no "
              "name); {11223344-5566-7788-99AA-BBCCDDEEFF00} != (type 12)");
}

// The service's image path as administrators and packages store it: quoted or not, with
// arguments or not; unquoted, the service manager runs the first cut that names a file.
TEST(ServiceProgramTest, IsReadAsTheServiceManagerReadsIt) {
    const std::wstring packaged = L"C:\\Program Files\\Orvanet\\Orvanet.exe";
    const struct {
        std::wstring command;
        std::set<std::wstring> files;
        std::wstring program;
    } cases[] = {
        {L"\"" + packaged + L"\"", {packaged}, packaged},
        {L"\"" + packaged + L"\" -x", {packaged}, packaged},
        {packaged, {packaged}, packaged},
        {packaged + L" --flag value", {packaged}, packaged},
        {L"  C:\\Orvanet\\Orvanet.exe -x",
         {L"C:\\Orvanet\\Orvanet.exe"},
         L"C:\\Orvanet\\Orvanet.exe"},
        {L"C:\\Tools\\svc -k", {L"C:\\Tools\\svc.exe"}, L"C:\\Tools\\svc.exe"},
        // What the service manager would run instead: the hazard of an unquoted path.
        {packaged, {L"C:\\Program.exe", packaged}, L"C:\\Program.exe"},
        {L"C:\\Program Files\\Gone\\x.exe -a", {}, L"C:\\Program Files\\Gone\\x.exe -a"},
        {L"", {}, L""},
        // White space is a tab as well; a file name has an extension where a full stop stands
        // in it, first or last too, and a folder's does not count; quoted, the same.
        {L"C:\\Tools\\svc.exe\t-k", {L"C:\\Tools\\svc.exe"}, L"C:\\Tools\\svc.exe"},
        {L"C:\\Tools\\.svc -k", {L"C:\\Tools\\.svc"}, L"C:\\Tools\\.svc"},
        {L"C:\\Tools\\svc. -k", {L"C:\\Tools\\svc."}, L"C:\\Tools\\svc."},
        {L"C:\\dir.d\\svc -k", {L"C:\\dir.d\\svc.exe"}, L"C:\\dir.d\\svc.exe"},
        {L"\"C:\\Orvanet\\Orvanet\" -x", {}, L"C:\\Orvanet\\Orvanet.exe"},
    };
    for (const auto& c : cases) {
        const auto isFile = [&](const std::wstring& path) { return c.files.count(path) > 0; };
        EXPECT_EQ(serviceProgram(c.command, isFile), c.program) << fs::path(c.command).string();
    }
}

class CollectTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.logFolder = logs.path();
        settings.platformDumpFolder = logs.path() / "CrashDumps";
        settings.client.serviceName = L"OrvanetCollectTestNoSuchService";
        settings.client.pipeName = L"\\\\.\\pipe\\OrvanetCollectTestNoSuchPipe";
        settings.client.busyWait = std::chrono::milliseconds(100);
        settings.client.notServedWait = std::chrono::milliseconds(100);
        settings.names = LocalNames{"C:\\Users", "", ""};
    }

    void plant(const std::string& name, const std::string& bytes) {
        std::ofstream(logs.path() / name, std::ios::binary) << bytes;
    }

    // Every file of a folder with its bytes, to see that nothing was changed.
    static std::map<std::string, std::string> contents(const fs::path& folder) {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(folder)) {
            files[entry.path().filename().string()] = readFile(entry.path());
        }
        return files;
    }

    static bool has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    TempFolder logs{"collect-logs"};
    TempFolder out{"collect-out"};
    CollectSettings settings;
};

TEST_F(CollectTest, GathersTheLogCrashesAndStateAndSaysWhatItCouldNot) {
    const std::string client = clientLine("C:\\Users\\bob\\c.exe", "HOST\\bob");
    plant("Orvanet_service.log", client + "[t] [ERROR] FwpmEngineOpen0 failed: 5\r\n");
    plant("Orvanet_crash.log", "[t] [ERROR] Unhandled exception 0xC0000005\r\n");
    for (int day = 1; day <= 7; ++day) {
        plant("Orvanet_crash_2026120" + std::to_string(day) + "_000000_1.dmp",
              "dump " + std::to_string(day));
    }
    plant("unrelated.txt", "not support's business");
    const auto before = contents(logs.path());

    const fs::path target = out.path() / "report";
    const CliOutput output = runCollect(target, settings);

    EXPECT_EQ(contents(logs.path()), before);
    const auto gathered = contents(target);
    const std::string summary = gathered.count("summary.txt") ? gathered.at("summary.txt") : "";
    EXPECT_EQ(output.out, summary);
    // The service is not installed here: said, and the exit status says so too.
    EXPECT_EQ(output.status, exitError) << output.err;
    // In the order the items were met.
    const char* expectedLines[] = {
        "2 names replaced",
        "gathered: Orvanet_service.log (",
        "not gathered: Orvanet_service.log.old: there is none",
        "gathered: Orvanet_crash.log (",
        "gathered: Orvanet_crash_20261207_000000_1.dmp (6 bytes)",
        "gathered: Orvanet_crash_20261203_000000_1.dmp (6 bytes)",
        "not gathered: service.txt: the service is not installed",
        "gathered: versions.txt (",
        "gathered: network.txt (",
        "gathered: active.txt (",
    };
    std::size_t from = 0;
    for (const char* line : expectedLines) {
        const std::size_t at = summary.find(line, from);
        EXPECT_NE(at, std::string::npos) << line << " after " << from << " in:\n" << summary;
        from = at == std::string::npos ? from : at;
    }
    // The newest five dumps, nothing else of the folder.
    EXPECT_EQ(gathered.count("Orvanet_crash_20261202_000000_1.dmp"), 0u);
    EXPECT_EQ(gathered.count("unrelated.txt"), 0u);
    EXPECT_EQ(gathered.size(),
              1u + 2 + 5 + 3); // summary, log and crash log, dumps, versions, network, active
    const std::string log =
        gathered.count("Orvanet_service.log") ? gathered.at("Orvanet_service.log") : "";
    EXPECT_FALSE(has(log, "bob")) << log;
    EXPECT_FALSE(has(log, "HOST")) << log;
    EXPECT_TRUE(has(log, "account <domain-1>\\<user-1>")) << log;
    EXPECT_TRUE(has(log, "FwpmEngineOpen0 failed: 5")) << log;
    EXPECT_TRUE(
        has(gathered.count("active.txt") ? gathered.at("active.txt") : "", "(exit status 2)"));

    // A second collection into the same folder is refused and writes nothing.
    const CliOutput again = runCollect(target, settings);
    EXPECT_EQ(again.status, exitNoAnswer);
    EXPECT_TRUE(has(again.err, "exists")) << again.err;
    EXPECT_EQ(contents(target), gathered);
}

// Names beyond the bound are not replaced: the report says so plainly, names the files that
// hold them, and the exit status says it too.
TEST_F(CollectTest, NamesBeyondTheBoundAreAnnounced) {
    std::string log;
    for (int i = 0; i < 300; ++i) {
        log += clientLine("C:\\Program Files\\x.exe", "HOST\\person" + std::to_string(i));
    }
    plant("Orvanet_service.log", log);
    const CliOutput output = runCollect(out.path() / "report", settings);
    EXPECT_EQ(output.status, exitError);
    EXPECT_TRUE(has(output.out, "THIS REPORT MAY HOLD NAMES: more than 256 names were found, and "
                                "45 more are not replaced. Files that hold them: "
                                "Orvanet_service.log.\n"))
        << output.out;
    EXPECT_TRUE(has(output.err, "may hold names that were not replaced")) << output.err;
}

TEST_F(CollectTest, WithoutRedactionAndWithAFileOfSeveralNames) {
    plant("Orvanet_service.log", "[t] [INFO] x, account HOST\\bob\r\n");
    // A crash log with a second name elsewhere: it could be anyone's file.
    plant("Orvanet_crash.log", "crash");
    ASSERT_TRUE(CreateHardLinkW((out.path() / "crash-elsewhere.log").c_str(),
                                (logs.path() / "Orvanet_crash.log").c_str(), nullptr));
    settings.redact = false;

    const CliOutput output = runCollect(out.path() / "plain", settings);

    const auto gathered = contents(out.path() / "plain");
    EXPECT_TRUE(has(gathered.at("Orvanet_service.log"), "account HOST\\bob"));
    EXPECT_EQ(gathered.count("Orvanet_crash.log"), 0u);
    EXPECT_TRUE(
        has(output.out,
            "not gathered: Orvanet_crash.log: not the service's own (a file with more than one "
            "name): left alone"))
        << output.out;
    EXPECT_TRUE(has(output.out, "Not redacted (--no-redact)")) << output.out;
    EXPECT_EQ(output.status, exitError);
}

// Made where other users may write, the report's folder is held from its making: another
// user cannot move it away and put a folder of theirs (or a link to one) in its place to
// receive the copies, and the copied dumps keep the dump's own protection.
TEST_F(CollectTest, TheReportCannotBeSteeredElsewhereAndItsDumpsStayProtected) {
    plant("Orvanet_service.log", "[t] [INFO] x\r\n");
    plant("Orvanet_crash_20261201_000000_1.dmp", "dump");
    const fs::path target = out.path() / "report";
    const fs::path theirs = out.path() / "theirs";
    fs::create_directories(theirs);
    DWORD swap = ERROR_SUCCESS;
    settings.afterFolderMade = [&](const fs::path& made) {
        if (!MoveFileExW(made.c_str(), (out.path() / "moved").c_str(), 0)) {
            swap = GetLastError();
        } else if (!CreateSymbolicLinkW(made.c_str(), theirs.c_str(),
                                        SYMBOLIC_LINK_FLAG_DIRECTORY)) {
            CreateDirectoryW(made.c_str(), nullptr);
        }
    };

    const CliOutput output = runCollect(target, settings);

    EXPECT_EQ(swap, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(fs::is_empty(theirs));
    const auto gathered = contents(target);
    EXPECT_EQ(gathered.count("summary.txt"), 1u) << output.err;
    EXPECT_EQ(gathered.count("Orvanet_crash_20261201_000000_1.dmp"), 1u) << output.out;
    expectNoAccessForOthers(target);
    expectNoAccessForOthers(target / "Orvanet_crash_20261201_000000_1.dmp");
}

// Without --log-folder every folder the service may have logged in is looked at: each copy
// says where it came from, copies from a second folder are named after it, and where none
// holds a log the summary names every folder looked in.
TEST_F(CollectTest, LooksInEachFolderTheServiceMayHaveLoggedIn) {
    TempFolder fallback{"collect-fallback"};
    std::ofstream(fallback.path() / "Orvanet_service.log", std::ios::binary) << "[t] [INFO] x\r\n";
    settings.logFolder.clear();
    settings.serviceFolders = {logs.path(), fallback.path()};

    const CliOutput onlyFallback = runCollect(out.path() / "fallback", settings);
    EXPECT_TRUE(has(onlyFallback.out,
                    "gathered: Orvanet_service.log (14 bytes) from " + fallback.path().string()))
        << onlyFallback.out;
    EXPECT_EQ(onlyFallback.status, exitError); // the service is not installed here

    plant("Orvanet_service.log", "[t] [INFO] y\r\n");
    const CliOutput both = runCollect(out.path() / "both", settings);
    EXPECT_TRUE(
        has(both.out, "gathered: Orvanet_service.log (14 bytes) from " + logs.path().string()))
        << both.out;
    EXPECT_TRUE(has(both.out, "gathered: " + fallback.path().parent_path().filename().string() +
                                  "." + fallback.path().filename().string() +
                                  "-Orvanet_service.log (14 bytes) from " +
                                  fallback.path().string()))
        << both.out;

    settings.serviceFolders = {out.path() / "nowhere", out.path() / "elsewhere"};
    const CliOutput none = runCollect(out.path() / "none", settings);
    EXPECT_TRUE(has(none.out, "not gathered: Orvanet_service.log: there is none in " +
                                  (out.path() / "nowhere").string() + ", " +
                                  (out.path() / "elsewhere").string()))
        << none.out;

    // The summary is redacted as the copies are: a folder named after a client is no
    // exception.
    const auto named = fallback.path() / "bob";
    fs::create_directories(named);
    std::ofstream(named / "Orvanet_service.log", std::ios::binary)
        << clientLine("C:\\Users\\bob\\c.exe", "HOST\\bob");
    settings.serviceFolders = {named};
    const CliOutput redacted = runCollect(out.path() / "named", settings);
    EXPECT_TRUE(has(redacted.out, " from " + (fallback.path() / "<user-1>").string()))
        << redacted.out;
    EXPECT_FALSE(has(redacted.out, "\\bob")) << redacted.out;
}

// The platform's own dumps of the service (LocalDumps, in its default folder for the
// service's account) are gathered too, the newest first, and keep a dump's protection.
TEST_F(CollectTest, GathersThePlatformsDumpsOfTheService) {
    const auto logFolder = logs.path() / "logs";
    const auto platform = settings.platformDumpFolder;
    fs::create_directories(logFolder);
    fs::create_directories(platform);
    std::ofstream(logFolder / "Orvanet_service.log", std::ios::binary) << "[t] [INFO] x\r\n";
    std::ofstream(platform / "Orvanet.exe.4242.dmp", std::ios::binary) << "fail-fast";
    std::ofstream(platform / "other.exe.1.dmp", std::ios::binary) << "not ours";
    settings.logFolder = logFolder;

    const CliOutput output = runCollect(out.path() / "platform", settings);

    EXPECT_TRUE(
        has(output.out, "gathered: Orvanet.exe.4242.dmp (9 bytes) from " + platform.string()))
        << output.out;
    const auto gathered = contents(out.path() / "platform");
    EXPECT_EQ(gathered.count("other.exe.1.dmp"), 0u);
    ASSERT_EQ(gathered.count("Orvanet.exe.4242.dmp"), 1u);
    expectNoAccessForOthers(out.path() / "platform" / "Orvanet.exe.4242.dmp");
}

} // namespace
