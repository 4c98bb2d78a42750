// The problem report: what is gathered and what is said of what is not, names replaced the
// same way across the collection, and the log folder left exactly as it was.
#include "Collect.h"
#include "Redaction.h"
#include "ServiceIdentity.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(RedactionTest, NamesLearnedFromTheLogAreReplacedAlikeEverywhere) {
    const std::string log =
        "[t] [INFO] PipeServer - Client: process 12, program C:\\Users\\Alice Smith\\App\\c.exe, "
        "account DESK-7\\alice\r\n"
        "[t] [INFO] PipeServer - Client: process 13, program C:\\Program Files\\x.exe, account "
        "NT AUTHORITY\\SYSTEM\r\n"
        "[t] [INFO] PipeServer - Client: process 14, program C:\\users\\Public\\p.exe, account "
        "unknown (error 5)\r\n";
    Redaction redaction;
    redaction.learn(log);
    const struct {
        std::string text;
        std::string redacted;
    } cases[] = {
        {"account DESK-7\\alice", "account <domain-1>\\<user-1>"},
        // Names ignore case; only whole words are names.
        {"ALICE alicewonder malice alice.", "<user-1> alicewonder malice <user-1>."},
        {"C:\\Users\\Alice Smith\\Documents", "C:\\Users\\<user-2>\\Documents"},
        {"desk-7 asked", "<domain-1> asked"},
        // The platform's own accounts and profiles, and unknown ones, are no one's.
        {"NT AUTHORITY\\SYSTEM C:\\users\\Public unknown (error 5)",
         "NT AUTHORITY\\SYSTEM C:\\users\\Public unknown (error 5)"},
        {"process 12 at 12:00", "process 12 at 12:00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(redaction.apply(c.text), c.redacted) << c.text;
    }
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
    };
    for (const auto& c : cases) {
        const auto isFile = [&](const fs::path& path) { return c.files.count(path.native()) > 0; };
        EXPECT_EQ(serviceProgram(c.command, isFile).native(), c.program)
            << fs::path(c.command).string();
    }
}

class CollectTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.logFolder = logs.path();
        settings.client.serviceName = L"OrvanetCollectTestNoSuchService";
        settings.client.pipeName = L"\\\\.\\pipe\\OrvanetCollectTestNoSuchPipe";
        settings.client.busyWait = std::chrono::milliseconds(100);
        settings.client.notServedWait = std::chrono::milliseconds(100);
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
    const std::string client = "[t] [INFO] PipeServer - Client: process 9, program "
                               "C:\\Users\\bob\\c.exe, account HOST\\bob\r\n";
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
              1u + 2 + 5 + 2); // summary, log and crash log, dumps, versions, active
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

} // namespace
