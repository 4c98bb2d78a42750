#include "log/LogFileSecurity.h"
#include "log/Logger.h"
#include "platform/ModuleFolder.h"
#include "platform/Owners.h"
#include "platform/ProgramData.h"
#include "support/ChildProcess.h"
#include "support/DebugCapture.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <optional>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

namespace {

constexpr std::uintmax_t kLimit = 10485760;

const std::regex
    kLineShape(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] \[(DEBUG|INFO|WARN|ERROR|UNKNOWN)\] .*)");

void setProgramData(const wchar_t* value) {
    SetEnvironmentVariableW(L"ProgramData", value);
}

class LoggerTest : public ::testing::Test {
protected:
    void TearDown() override {
        Logger::instance().close();
        setProgramData(nullptr);
    }
    TempFolder folder{"log"};
};

// Runs first in this executable: nothing has opened the log yet.
TEST_F(LoggerTest, LinesBeforeInitializeReachOnlyTheDebugger) {
    DebugCapture capture;
    Logger::instance().log(LogLevel::Info, "before {}", "initialize");
    const auto texts = capture.texts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_TRUE(texts[0].starts_with("[Orvanet] ["));
    EXPECT_TRUE(texts[0].ends_with("] [INFO] before initialize\n"));

    const auto path = folder.path() / "a.log";
    ASSERT_TRUE(Logger::instance().initialize(path));
    Logger::instance().close();
    for (const auto& line : readLines(path)) {
        EXPECT_EQ(std::string::npos, line.find("before initialize"));
    }
}

TEST_F(LoggerTest, FileHoldsStartLineLinesAndClosingLineInOrder) {
    const auto path = folder.path() / "sub" / "dir" / "b.log";
    DebugCapture capture;
    ASSERT_TRUE(Logger::instance().initialize(path));
    Logger::instance().log(LogLevel::Debug, "d {}", 1);
    Logger::instance().log(LogLevel::Info, "braces {{}}");
    Logger::instance().log(LogLevel::Warn, "w");
    Logger::instance().log(LogLevel::Error, "e");
    Logger::instance().log(static_cast<LogLevel>(7), "seven");
    Logger::instance().log(LogLevel::Info, std::string_view("raw {}"));
    logInfo("info {}", "helper");
    logError("error {}", 3);
    Logger::instance().close();

    const auto lines = readLines(path);
    ASSERT_EQ(11u, lines.size());
    EXPECT_EQ("", lines[0]);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"INFO", "=== Service logging initialized ==="},
        {"DEBUG", "d 1"},
        {"INFO", "braces {}"},
        {"WARN", "w"},
        {"ERROR", "e"},
        {"UNKNOWN", "seven"},
        {"INFO", "raw {}"},
        {"INFO", "info helper"},
        {"ERROR", "error 3"},
        {"INFO", "=== Service logging closing ==="},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i + 1], kLineShape)) << lines[i + 1];
        EXPECT_EQ(expected[i].first, levelOf(lines[i + 1]));
        EXPECT_EQ(expected[i].second, messageOf(lines[i + 1]));
    }
    // Every line ends in CR LF, as text files do on Windows, and only once.
    const std::string raw = readFile(path);
    EXPECT_TRUE(raw.starts_with("\r\n["));
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), std::count(raw.begin(), raw.end(), '\r'));
    EXPECT_EQ(std::string::npos, raw.find("\r\r"));
    EXPECT_TRUE(raw.ends_with("===\r\n"));

    // The debugger saw the ordinary lines, prefixed, and the path notice; never the
    // three lines the log writes about itself.
    const auto texts = capture.texts();
    ASSERT_EQ(9u, texts.size());
    EXPECT_EQ("[Orvanet] Logging initialized to: " + path.string() + "\n", texts[0]);
    EXPECT_EQ("[Orvanet] " + lines[2] + "\n", texts[1]);
    EXPECT_EQ("[Orvanet] " + lines[9] + "\n", texts[8]);
}

// Text from outside may carry line ends and other control characters; each record stays
// one line in the file and in the debugger's copy, with those characters escaped.
TEST_F(LoggerTest, ControlCharactersInTextAreEscapedSoEveryRecordIsOneLine) {
    const struct {
        std::string text;
        std::string written;
    } cases[] = {
        {"x\n[2026-01-01 00:00:00] [INFO] VPN started successfully",
         "x\\n[2026-01-01 00:00:00] [INFO] VPN started successfully"},
        {"a\r\nb", "a\\r\\nb"},
        {std::string("nul\0after", 9), "nul\\x00after"},
        {"\x1b[2Jclear", "\\x1b[2Jclear"},
        {"tab\there\x01\x1f\x7f", "tab\\there\\x01\\x1f\\x7f"},
        // UTF-8 stays; a byte that is no part of a character is escaped, so that the file is
        // valid UTF-8 whatever a client sent.
        {"st\xc3\xa4rt \xe6\x97\xa5 \xf0\x9f\x98\x80 \x80\xff \\n",
         "st\xc3\xa4rt \xe6\x97\xa5 \xf0\x9f\x98\x80 \\x80\\xff \\n"},
        // The 8-bit CSI as a raw byte, an overlong slash, a surrogate, past U+10FFFF.
        {"\x9b"
         "2J \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
         "\\x9b2J \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
        // C1 controls (U+009B is the 8-bit CSI, U+0085 a line end to some viewers) and the
        // line and paragraph separators; their neighbours stay, a lone lead byte is escaped.
        {"\xc2\x9b"
         "2J \xc2\x85 \xc2\x80\xc2\x9f \xc2\xa0 \xc2",
         "\\u009b2J \\u0085 \\u0080\\u009f \xc2\xa0 \\xc2"},
        {"a\xe2\x80\xa8"
         "b\xe2\x80\xa9 \xe2\x80\xa7 \xe2\x80",
         "a\\u2028b\\u2029 \xe2\x80\xa7 \\xe2\\x80"},
    };
    const auto path = folder.path() / "escaped.log";
    DebugCapture capture;
    ASSERT_TRUE(Logger::instance().initialize(path));
    capture.clear();
    for (const auto& c : cases) {
        Logger::instance().log(LogLevel::Info, "engine: {}", c.text);
    }
    Logger::instance().close();

    const auto lines = readLines(path);
    ASSERT_EQ(std::size(cases) + 3, lines.size());
    const auto texts = capture.texts();
    ASSERT_EQ(std::size(cases), texts.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ("engine: " + cases[i].written, messageOf(lines[i + 2]));
        EXPECT_EQ("[Orvanet] " + lines[i + 2] + "\n", texts[i]);
    }
    EXPECT_EQ(std::string::npos, readFile(path).find('\0'));
    const std::string file = readFile(path);
    EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, file.data(),
                                  static_cast<int>(file.size()), nullptr, 0),
              0);
}

std::string localStampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Lines of one second may share the stamp's text, but a line of a later second carries
// the time of that second.
TEST_F(LoggerTest, EachLineCarriesTheTimeItWasWritten) {
    const auto path = folder.path() / "time.log";
    ASSERT_TRUE(Logger::instance().initialize(path));
    std::vector<std::pair<std::string, std::string>> bounds;
    for (int i = 0; i < 3; ++i) {
        const std::string before = localStampNow();
        Logger::instance().log(LogLevel::Info, "timed {}", i);
        bounds.emplace_back(before, localStampNow());
        Sleep(600);
    }
    Logger::instance().close();

    std::vector<std::string> stamps;
    for (const auto& line : readLines(path)) {
        if (messageOf(line).starts_with("timed ")) {
            stamps.push_back(line.substr(1, 19));
        }
    }
    ASSERT_EQ(3u, stamps.size());
    for (size_t i = 0; i < stamps.size(); ++i) {
        // The fixed-width text orders as the times do.
        EXPECT_LE(bounds[i].first, stamps[i]) << i;
        EXPECT_LE(stamps[i], bounds[i].second) << i;
    }
    EXPECT_NE(stamps[0], stamps[2]);
}

TEST_F(LoggerTest, SecondInitializeWritesNoSecondStartLine) {
    const auto path = folder.path() / "c.log";
    ASSERT_TRUE(Logger::instance().initialize(path));
    EXPECT_TRUE(Logger::instance().initialize(folder.path() / "other.log"));
    Logger::instance().close();
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "other.log"));
    size_t startLines = 0;
    for (const auto& line : readLines(path)) {
        startLines += messageOf(line) == "=== Service logging initialized ===" ? 1 : 0;
    }
    EXPECT_EQ(1u, startLines);
}

TEST_F(LoggerTest, AfterCloseLinesReachOnlyTheDebuggerAndEachStartAddsAnEmptyLine) {
    const auto path = folder.path() / "d.log";
    ASSERT_TRUE(Logger::instance().initialize(path));
    Logger::instance().close();
    DebugCapture capture;
    Logger::instance().log(LogLevel::Info, "after close");
    EXPECT_EQ(1u, capture.texts().size());
    auto lines = readLines(path);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("=== Service logging closing ===", messageOf(lines.back()));

    ASSERT_TRUE(Logger::instance().initialize(path));
    Logger::instance().close();
    lines = readLines(path);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("", lines[3]);
    EXPECT_EQ("=== Service logging initialized ===", messageOf(lines[4]));
}

TEST_F(LoggerTest, DefaultPathIsBelowProgramData) {
    setProgramData(folder.path().c_str());
    ASSERT_TRUE(Logger::instance().initialize());
    Logger::instance().close();
    const auto expected = folder.path() / "Pellmarrow" / "Orvanet" / "logs" / "Orvanet_service.log";
    ASSERT_TRUE(std::filesystem::exists(expected));
    EXPECT_EQ("=== Service logging closing ===", messageOf(readLines(expected).back()));
}

TEST_F(LoggerTest, MissingOrEmptyProgramDataMeansCProgramData) {
    const std::filesystem::path expected =
        L"C:\\ProgramData\\Pellmarrow\\Orvanet\\logs\\Orvanet_service.log";
    for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L""}) {
        setProgramData(value);
        DebugCapture capture;
        ASSERT_TRUE(Logger::instance().initialize());
        Logger::instance().close();
        ASSERT_FALSE(capture.texts().empty());
        EXPECT_EQ("[Orvanet] Logging initialized to: " + expected.string() + "\n",
                  capture.texts()[0]);
    }
}

// A security descriptor written in SDDL, with its owner and DACL (null where it has none).
struct Sddl {
    explicit Sddl(const wchar_t* text) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &raw,
                                                                 nullptr)) {
            memory.reset(raw);
            BOOL present = FALSE;
            BOOL defaulted = FALSE;
            GetSecurityDescriptorOwner(raw, &owner, &defaulted);
            GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted);
            dacl = present ? dacl : nullptr;
        }
    }
    LocalMemory memory;
    PSID owner = nullptr;
    PACL dacl = nullptr;
};

// Whether the folder's DACL, as the platform reports it now, lets an untrusted account write.
bool folderGrantsUntrustedWrite(const std::filesystem::path& folder, PSID self) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS) {
        ADD_FAILURE() << "no DACL for " << folder;
        return true;
    }
    const LocalMemory owned(raw);
    return grantsUntrustedWrite(dacl, self);
}

// What decides whether a folder of the log's path is kept (else moved aside, or refused),
// and whether a file found in the log's place is used, given what the platform reports.
TEST(LogFileSecurityTest, OnlyTrustedOwnersAndNoOtherWritersAreRelied) {
    constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;
    constexpr const char* kChangeable = "a folder that others may change";
    const struct {
        const wchar_t* sddl;
        DWORD attributes;
        const char* distrust; // null: kept
    } cases[] = {
        {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)", kDir, nullptr},
        {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)", kDir, nullptr},
        {L"O:SYD:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)", kDir, nullptr},
        {L"O:SYD:(A;;FA;;;SY)(D;;FA;;;BU)", kDir, nullptr},
        // A folder an ordinary user made, or one they may change: moved aside.
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", kDir,
         "a folder of another account"},
        {L"O:SYD:(A;OICI;FA;;;SY)(A;;0x2;;;BU)", kDir, kChangeable},      // add a file
        {L"O:SYD:(A;OICI;FA;;;SY)(A;;0x4;;;AU)", kDir, kChangeable},      // add a folder
        {L"O:SYD:(A;OICI;FA;;;SY)(A;;0x40;;;WD)", kDir, kChangeable},     // delete a child
        {L"O:SYD:(A;OICI;FA;;;SY)(A;;WD;;;BU)", kDir, kChangeable},       // change the DACL
        {L"O:SYD:(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)", kDir, kChangeable}, // creators own it
        {L"O:SYD:(A;OICI;0x1301ff;;;WD)", kDir, kChangeable},             // mode 0777 under Wine
        // Not a folder at all, or a link to one: refused as a place for the log.
        {L"O:SYD:P(A;;FA;;;SY)", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, "a link"},
        {L"O:SYD:P(A;;FA;;;SY)", FILE_ATTRIBUTE_ARCHIVE, "not a folder"},
    };
    for (const auto& c : cases) {
        const Sddl descriptor(c.sddl);
        ASSERT_TRUE(descriptor.memory) << std::filesystem::path(c.sddl).string();
        const char* distrust =
            distrustOfLogFolder(c.attributes, descriptor.owner, descriptor.dacl, nullptr);
        EXPECT_EQ(std::string(c.distrust != nullptr ? c.distrust : "kept"),
                  std::string(distrust != nullptr ? distrust : "kept"))
            << std::filesystem::path(c.sddl).string();
    }

    PSID system = nullptr;
    PSID user = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-18", &system));
    ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-21-1-2-3-1001", &user));
    // No DACL at all gives everyone everything.
    EXPECT_STREQ("a folder that others may change",
                 distrustOfLogFolder(FILE_ATTRIBUTE_DIRECTORY, system, nullptr, nullptr));
    const struct {
        DWORD attributes;
        DWORD links;
        PSID owner;
        PSID self;
        const char* distrust; // null: usable
    } files[] = {
        {FILE_ATTRIBUTE_ARCHIVE, 1, system, nullptr, nullptr},
        {FILE_ATTRIBUTE_ARCHIVE, 1, user, user, nullptr}, // the service's own account
        {FILE_ATTRIBUTE_ARCHIVE, 1, user, nullptr, "a file of another account"},
        {FILE_ATTRIBUTE_ARCHIVE, 2, system, nullptr, "a file with more than one name"},
        {FILE_ATTRIBUTE_REPARSE_POINT, 1, system, nullptr, "a link"},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 1, system, nullptr, "a link"},
        {FILE_ATTRIBUTE_DIRECTORY, 1, system, nullptr, "a folder"},
    };
    for (const auto& f : files) {
        const char* distrust = distrustOfLogFile(f.attributes, f.links, f.owner, f.self);
        EXPECT_EQ(std::string(f.distrust != nullptr ? f.distrust : "usable"),
                  std::string(distrust != nullptr ? distrust : "usable"))
            << f.attributes << " " << f.links;
    }
    LocalFree(system);
    LocalFree(user);
}

// A folder open to everyone, as one a user made before the service first ran would be.
void plantOpenFolder(const std::filesystem::path& planted) {
    std::filesystem::create_directories(planted);
    std::ofstream(planted / "planted.txt") << "theirs";
    const Sddl everyone(L"D:(A;OICI;FA;;;WD)");
    ASSERT_EQ(ERROR_SUCCESS, SetNamedSecurityInfoW(const_cast<wchar_t*>(planted.c_str()),
                                                   SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                   nullptr, nullptr, everyone.dacl, nullptr));
    PSID self = const_cast<BYTE*>(ownAccountSid().data());
    ASSERT_TRUE(folderGrantsUntrustedWrite(planted, self)) << "the plant did not take";
}

// A planted folder open to everyone, held by its planter without delete sharing, so that it
// cannot be moved aside (with an access that counts for sharing: attribute access alone
// refuses no one).
UniqueHandle plantHeldFolder(const std::filesystem::path& planted) {
    plantOpenFolder(planted);
    return UniqueHandle(CreateFileW(planted.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The one entry of `folder` whose name begins with `prefix`.
std::filesystem::path onlyEntry(const std::filesystem::path& folder, const std::string& prefix) {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            found.push_back(entry.path());
        }
    }
    EXPECT_EQ(1u, found.size()) << prefix;
    return found.empty() ? std::filesystem::path() : found[0];
}

bool logHas(const std::filesystem::path& log, const std::string& level, const std::string& text) {
    const auto lines = readLines(log);
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return levelOf(line) == level && messageOf(line) == text;
    });
}

TEST_F(LoggerTest, ALinkPlantedInPlaceOfAFolderIsNotFollowed) {
    const auto target = folder.path() / "elsewhere";
    std::filesystem::create_directories(target);
    std::filesystem::create_directories(folder.path() / "Pellmarrow");
    const auto link = folder.path() / "Pellmarrow" / "Orvanet";
    WIN32_FIND_DATAW data{};
    HANDLE find = INVALID_HANDLE_VALUE;
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        find = FindFirstFileW(link.c_str(), &data);
    }
    if (find == INVALID_HANDLE_VALUE ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
        }
        GTEST_SKIP() << "this platform does not present a directory link as a reparse point";
    }
    FindClose(find);
    setProgramData(folder.path().c_str());
    ASSERT_TRUE(Logger::instance().initialize());
    const auto log = folder.path() / "Pellmarrow" / "Orvanet" / "logs" / "Orvanet_service.log";
    EXPECT_EQ(log, Logger::instance().filePath());
    Logger::instance().close();
    // The link itself is moved aside, never followed.
    const auto aside = onlyEntry(folder.path() / "Pellmarrow", "Orvanet.untrusted-");
    EXPECT_TRUE(
        logHas(log, "WARN", "Orvanet was a link; moved aside to " + aside.filename().string()));
    EXPECT_TRUE(std::filesystem::is_empty(target));
}

// A folder at any level of the log's path that others may change is never adopted: whoever
// made it may hold a handle that keeps the right to change it. It is moved aside whole and
// made anew, and the log says so; so is a file in a folder's place (users may create files
// in ProgramData), which would otherwise leave the service without its log folder.
TEST_F(LoggerTest, APlantedFolderThatOthersMayChangeIsMovedAsideAndMadeAnew) {
    PSID self = const_cast<BYTE*>(ownAccountSid().data());
    for (const char* level : {"Pellmarrow", "Pellmarrow/Orvanet", "Pellmarrow/Orvanet/logs"}) {
        for (const bool file : {false, true}) {
            SCOPED_TRACE(std::string(level) + (file ? ", a file" : ", a folder"));
            TempFolder base("planted-folder");
            const auto planted = (base.path() / level).lexically_normal();
            if (file) {
                std::filesystem::create_directories(planted.parent_path());
                std::ofstream(planted) << "theirs";
            } else {
                plantOpenFolder(planted);
            }
            setProgramData(base.path().c_str());
            const auto log =
                base.path() / "Pellmarrow" / "Orvanet" / "logs" / "Orvanet_service.log";
            ASSERT_TRUE(Logger::instance().initialize());
            EXPECT_EQ(log, Logger::instance().filePath());
            Logger::instance().close();
            EXPECT_FALSE(folderGrantsUntrustedWrite(planted, self));
            EXPECT_FALSE(std::filesystem::exists(planted / "planted.txt"));
            const auto aside =
                onlyEntry(planted.parent_path(), planted.filename().string() + ".untrusted-");
            EXPECT_EQ("theirs", readFile(file ? aside : aside / "planted.txt"));
            EXPECT_TRUE(logHas(log, "WARN",
                               planted.filename().string() +
                                   (file ? " was a file" : " was a folder that others may change") +
                                   "; moved aside to " + aside.filename().string()));
        }
    }
}

// While the log lives its folders are held: nobody can move one away and put another in its
// place, while readers may still look inside. Once the log is closed they are free again.
TEST_F(LoggerTest, TheLogsFoldersCannotBeMovedWhileTheLogLives) {
    const auto pellmarrow = folder.path() / "Pellmarrow";
    const std::filesystem::path levels[] = {pellmarrow, pellmarrow / "Orvanet",
                                            pellmarrow / "Orvanet" / "logs"};
    setProgramData(folder.path().c_str());
    ASSERT_TRUE(Logger::instance().initialize());
    for (const auto& level : levels) {
        const auto away = level.native() + L".moved";
        EXPECT_FALSE(MoveFileExW(level.c_str(), away.c_str(), 0)) << level;
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError()) << level;
        EXPECT_NE(std::filesystem::directory_iterator(level), std::filesystem::directory_iterator())
            << level;
    }
    Logger::instance().close();
    const auto away = pellmarrow.native() + L".moved";
    EXPECT_TRUE(MoveFileExW(pellmarrow.c_str(), away.c_str(), 0)) << GetLastError();
}

// One that cannot be moved, because its maker holds it open without delete sharing, is not
// used either: the log goes where only administrators may make folders, and says why.
TEST_F(LoggerTest, APlantedFolderThatIsHeldIsNotUsed) {
    const auto planted = folder.path() / "Pellmarrow";
    const UniqueHandle held = plantHeldFolder(planted);
    ASSERT_TRUE(held);
    ASSERT_FALSE(systemLogFolder().empty());
    const auto other = systemLogFolder() / "Orvanet_service.log";
    std::error_code ignored;
    std::filesystem::remove(other, ignored);
    setProgramData(folder.path().c_str());
    DebugCapture capture;
    ASSERT_TRUE(Logger::instance().initialize());
    EXPECT_EQ(other, Logger::instance().filePath());
    Logger::instance().close();

    EXPECT_TRUE(std::filesystem::exists(planted / "planted.txt"));
    EXPECT_FALSE(std::filesystem::exists(planted / "Orvanet"));
    const std::string notice =
        "Log folder " + planted.string() + " is not trusted and cannot be moved aside (" +
        formatWindowsError(ERROR_SHARING_VIOLATION) + "); logging here instead";
    EXPECT_TRUE(logHas(other, "WARN", notice)) << notice;
    const auto debugged = capturedLines(capture);
    EXPECT_EQ(1, std::count(debugged.begin(), debugged.end(), LogLine{"WARN", notice}));
    std::filesystem::remove(other, ignored);
}

// Runs `body` with the log falling back to `temp` as its temporary folder: no log folder can
// be made below `base`.
template <typename Body>
void withTemporaryFallback(const std::filesystem::path& base, const std::filesystem::path& temp,
                           Body body) {
    // ProgramData below a file: not even its own folders can be made.
    std::ofstream(base / "blocker") << "x";
    std::filesystem::create_directories(temp);
    wchar_t savedTmp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    SetEnvironmentVariableW(L"TMP", (temp.native() + L"\\").c_str());
    setProgramData((base / "blocker" / "data").c_str());
    body();
    SetEnvironmentVariableW(L"TMP", savedTmp[0] != L'\0' ? savedTmp : nullptr);
}

// A file of a user's choosing, victim.txt in `folder`, given a second name `planted`.
std::filesystem::path plantSecondName(const std::filesystem::path& folder,
                                      const std::filesystem::path& planted) {
    const auto victim = folder / "victim.txt";
    std::ofstream(victim) << "precious";
    std::filesystem::create_directories(planted.parent_path());
    EXPECT_TRUE(CreateHardLinkW(planted.c_str(), victim.c_str(), nullptr)) << planted;
    return victim;
}

// Where no log folder can be made the log falls back to a folder of its own in the temporary
// folder, made and checked as its own folders are, and says why, once, in the log and the
// debugger. What users planted in the temporary folder under the log's names (a second name
// of a file of theirs, a folder) is left alone and keeps the service from nothing.
TEST_F(LoggerTest, WithoutALogFolderTheLogGoesToAFolderOfItsOwnInTheTemporaryFolder) {
    const auto temp = folder.path() / "temp";
    const auto victim = plantSecondName(folder.path(), temp / "Orvanet_service.log");
    std::filesystem::create_directories(temp / "Orvanet_crash.log");
    const auto own = temp / "Orvanet";
    const std::string missed =
        (folder.path() / "blocker" / "data" / "Pellmarrow" / "Orvanet" / "logs").string();
    DebugCapture capture;
    withTemporaryFallback(folder.path(), temp, [&] {
        ASSERT_TRUE(Logger::instance().initialize());
        EXPECT_EQ(own / "Orvanet_service.log", Logger::instance().filePath());
        EXPECT_TRUE(Logger::instance().openCompanionFile(L"Orvanet_crash.log"));
        Logger::instance().close();
    });
    EXPECT_EQ("precious", readFile(victim));
    EXPECT_TRUE(std::filesystem::is_directory(temp / "Orvanet_crash.log"));
    EXPECT_TRUE(std::filesystem::exists(own / "Orvanet_crash.log"));
    const auto why = [&](const LogLine& line) {
        return line.level == "WARN" &&
               line.message.starts_with("Log folder " + missed + " could not be used (") &&
               line.message.ends_with("); logging here instead");
    };
    const auto debugged = capturedLines(capture);
    EXPECT_EQ(1, std::count_if(debugged.begin(), debugged.end(), why));
    const auto logged = readLines(own / "Orvanet_service.log");
    EXPECT_EQ(1, std::count_if(logged.begin(), logged.end(), [&](const std::string& line) {
                  return why(LogLine{levelOf(line), messageOf(line)});
              }));
}

// Where even that folder cannot be made the service's own (someone holds a folder of theirs
// by its name), the log goes to the temporary folder itself, where whatever fails the log's
// checks is others' and is not used.
TEST_F(LoggerTest, APlantedCrashLogInTheTemporaryFolderIsNotUsed) {
    const auto temp = folder.path() / "temp";
    const auto victim = plantSecondName(folder.path(), temp / "Orvanet_crash.log");
    const UniqueHandle held = plantHeldFolder(temp / "Orvanet");
    ASSERT_TRUE(held);
    withTemporaryFallback(folder.path(), temp, [&] {
        ASSERT_TRUE(Logger::instance().initialize());
        EXPECT_EQ(temp / "Orvanet_service.log", Logger::instance().filePath());
        EXPECT_FALSE(Logger::instance().openCompanionFile(L"Orvanet_crash.log"));
        // Others' files there are left where they are.
        EXPECT_TRUE(std::filesystem::exists(temp / "Orvanet_crash.log"));
        Logger::instance().close();
    });
    EXPECT_EQ("precious", readFile(victim));
}

// Before the service first ran, a user put something in the place of one of its files in
// its own folder: a folder, or a second name of a file of the user's choosing. Nothing of it
// is used or changed: it is moved aside under a name that says so, the file is made anew,
// and a line in the log and the debugger says so.
TEST_F(LoggerTest, WhatIsPlantedInPlaceOfTheLogsOwnFilesIsMovedAsideAndNotUsed) {
    const struct {
        const char* name;
        bool folder; // else a second name of the victim
        const char* distrust;
    } cases[] = {
        {"Orvanet_service.log", true, "a folder"},
        {"Orvanet_service.log", false, "a file with more than one name"},
        {"Orvanet_service.log.old", true, "a folder"},
        {"Orvanet_crash.log", true, "a folder"},
        {"Orvanet_crash.log", false, "a file with more than one name"},
    };
    const std::regex asideName(R"(.*\.untrusted-\d{8}-\d{6})");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.folder ? ", a folder" : ", a link"));
        TempFolder logs("planted");
        const auto planted = logs.path() / c.name;
        std::filesystem::path victim = logs.path() / "victim.txt";
        if (c.folder) {
            std::ofstream(victim) << "precious";
            std::filesystem::create_directories(planted / "inside");
        } else {
            victim = plantSecondName(logs.path(), planted);
        }
        DebugCapture capture;
        ASSERT_TRUE(Logger::instance().initialize(logs.path() / "Orvanet_service.log"));
        const bool crashLog = std::string(c.name) == "Orvanet_crash.log";
        if (crashLog) {
            const UniqueHandle companion =
                Logger::instance().openCompanionFile(L"Orvanet_crash.log");
            ASSERT_TRUE(companion);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(companion.get(), "crash", 5, &written, nullptr));
        }
        Logger::instance().log(LogLevel::Info, "a line");
        Logger::instance().close();

        EXPECT_EQ("precious", readFile(victim));
        const auto aside = onlyEntry(logs.path(), std::string(c.name) + ".untrusted-");
        ASSERT_FALSE(aside.empty());
        const std::string asideFile = aside.filename().string();
        EXPECT_TRUE(std::regex_match(asideFile, asideName)) << asideFile;
        EXPECT_EQ(c.folder, std::filesystem::exists(aside / "inside"));
        if (crashLog) {
            EXPECT_EQ("crash", readFile(planted));
        } else if (std::string(c.name) == "Orvanet_service.log") {
            EXPECT_TRUE(std::filesystem::is_regular_file(planted));
        } else {
            EXPECT_FALSE(std::filesystem::exists(planted));
        }
        const std::string notice =
            std::string(c.name) + " was " + c.distrust + "; moved aside to " + asideFile;
        EXPECT_TRUE(logHas(logs.path() / "Orvanet_service.log", "WARN", notice)) << notice;
        const auto debugged = capturedLines(capture);
        EXPECT_NE(debugged.end(),
                  std::find(debugged.begin(), debugged.end(), LogLine{"WARN", notice}))
            << notice;
    }
}

TEST(LogFileSecurityTest, RenameAndDeleteByHandleActOnTheFileThatWasOpened) {
    TempFolder folder("handles");
    const auto log = folder.path() / "a.log";
    const auto old = folder.path() / "a.log.old";
    std::ofstream(log) << "opened";
    std::ofstream(old) << "older";
    UniqueHandle opened = openWithoutFollowing(log, DELETE | FILE_READ_ATTRIBUTES);
    ASSERT_TRUE(opened);
    // The name is given to another file after the open.
    const auto away = folder.path() / "away.log";
    ASSERT_TRUE(MoveFileExW(log.c_str(), away.c_str(), 0));
    std::ofstream(log) << "swapped in";
    ASSERT_TRUE(renameByHandle(opened.get(), old));
    opened.reset();
    if (readFile(old) == "swapped in") {
        GTEST_SKIP() << "this platform renames a handle's file by the path it was opened with";
    }
    EXPECT_EQ("opened", readFile(old));
    EXPECT_EQ("swapped in", readFile(log));
    EXPECT_FALSE(std::filesystem::exists(away));

    UniqueHandle doomed = openWithoutFollowing(old, DELETE);
    ASSERT_TRUE(doomed);
    EXPECT_TRUE(deleteByHandle(doomed.get()));
    doomed.reset();
    EXPECT_FALSE(std::filesystem::exists(old));
}

std::uintmax_t sizeOf(const std::filesystem::path& path) {
    return std::filesystem::file_size(path);
}

TEST_F(LoggerTest, RotatesOnlyAboveTheLimitIntoOneOldCopy) {
    const auto path = folder.path() / "Orvanet_service.log";
    const auto old = folder.path() / "Orvanet_service.log.old";
    std::ofstream(old) << "an older copy";
    ASSERT_TRUE(Logger::instance().initialize(path));
    // Measure the size of one line of a known message, then pad the file (it is shared
    // for writing) so that the next such line ends exactly at the limit.
    const auto before = sizeOf(path);
    Logger::instance().log(LogLevel::Info, "probe");
    const auto probeLine = sizeOf(path) - before;
    {
        std::ofstream pad(path, std::ios::binary | std::ios::app);
        pad << std::string(kLimit - sizeOf(path) - probeLine, 'x');
    }
    Logger::instance().log(LogLevel::Info, "probe");
    ASSERT_EQ(kLimit, sizeOf(path));
    EXPECT_EQ("an older copy", readFile(old));

    Logger::instance().log(LogLevel::Info, "crosses the limit");
    Logger::instance().close();
    EXPECT_EQ(kLimit + probeLine + 12, sizeOf(old));
    EXPECT_EQ("crosses the limit", messageOf(readLines(old).back()));
    const auto lines = readLines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Log file rotated", messageOf(lines[0]));
    EXPECT_EQ("=== Service logging closing ===", messageOf(lines[1]));
}

TEST_F(LoggerTest, FileAlreadyOverTheLimitRotatesAfterTheFirstLine) {
    const auto path = folder.path() / "big.log";
    {
        std::ofstream big(path, std::ios::binary);
        big << std::string(kLimit + 1, 'y');
    }
    ASSERT_TRUE(Logger::instance().initialize(path));
    EXPECT_GT(sizeOf(path), kLimit + 1); // the start line went in without a size check
    Logger::instance().log(LogLevel::Info, "first line");
    Logger::instance().log(LogLevel::Info, "second line");
    Logger::instance().close();
    const auto oldLines = readLines(folder.path() / "big.log.old");
    EXPECT_EQ("first line", messageOf(oldLines.back()));
    const auto lines = readLines(path);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("Log file rotated", messageOf(lines[0]));
    EXPECT_EQ("second line", messageOf(lines[1]));
}

// A reader that shares reading and writing but not deletion (a backup, a viewer) keeps the
// log from being renamed: it is rotated by copy instead, and the reader reads on. A reader
// that will not share writing cannot open the log at all while the service holds it, so it
// can never shut the log out.
TEST_F(LoggerTest, AHeldLogIsRotatedByCopyAndItsReaderReadsOn) {
    const auto path = folder.path() / "held.log";
    const auto old = folder.path() / "held.log.old";
    {
        std::ofstream big(path, std::ios::binary);
        big << std::string(kLimit + 1, 'y');
    }
    std::ofstream(old) << "an older copy";
    const UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_TRUE(Logger::instance().initialize(path));
    Logger::instance().log(LogLevel::Info, "still here");
    Logger::instance().log(LogLevel::Info, "and here");

    const UniqueHandle shutOut(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(shutOut);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    char first = 0;
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(holder.get(), &first, 1, &read, nullptr));
    Logger::instance().close();

    const auto older = readLines(old);
    ASSERT_FALSE(older.empty());
    EXPECT_EQ(std::string(kLimit + 1, 'y'), older.front().substr(0, kLimit + 1));
    EXPECT_EQ("still here", messageOf(older.back()));
    const auto lines = readLines(path);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("Log file rotated", messageOf(lines[0]));
    EXPECT_EQ("and here", messageOf(lines[1]));
}

// Another program that reads files as it pleases: file_lock.exe holding `file` with the
// sharing `share` names ("rw": reading and writing), until this object goes.
class OtherReader {
public:
    OtherReader(const std::filesystem::path& file, const wchar_t* share) {
        process = startChild(moduleFolder(nullptr) / FILE_LOCK_FROM_TEST,
                             {file.native(), ready().native(), stop().native(), share});
        if (!process) {
            ADD_FAILURE() << "file_lock not started: " << GetLastError();
            return;
        }
        for (int i = 0; i < 200 && !std::filesystem::exists(ready()); ++i) {
            Sleep(50);
        }
        EXPECT_TRUE(std::filesystem::exists(ready())) << file << " not held";
    }
    ~OtherReader() {
        std::ofstream(stop()) << "stop";
        if (process) {
            WaitForSingleObject(process.get(), 10000);
        }
    }
    OtherReader(const OtherReader&) = delete;
    OtherReader& operator=(const OtherReader&) = delete;

private:
    std::filesystem::path ready() const { return signals.path() / "ready"; }
    std::filesystem::path stop() const { return signals.path() / "stop"; }
    TempFolder signals{"reader"};
    UniqueHandle process;
};

// The numbers of the "line N" lines, in file order.
std::vector<long> numberedLines(const std::filesystem::path& file) {
    std::vector<long> numbers;
    for (const auto& line : readLines(file)) {
        const std::string message = messageOf(line);
        if (message.starts_with("line ")) {
            numbers.push_back(std::stol(message.substr(5)));
        }
    }
    return numbers;
}

// 25 MiB of numbered lines while another program reads the log without letting it be
// renamed, and in the second case reads its older copy without letting it be written. The
// two files together never hold more than twice the limit and two lines, every numbered line
// from the first the older copy holds to the last written is there in order, and lines that
// had to go are announced with their size.
TEST_F(LoggerTest, LogsHeldByReadersStayBoundedAndUnbroken) {
    const std::string padding(1000, '.');
    const long count = 25L * 1024 * 1024 / 1040;
    for (const bool olderCopyHeld : {false, true}) {
        SCOPED_TRACE(olderCopyHeld ? "older copy held" : "log held");
        TempFolder logs("held");
        const auto path = logs.path() / "Orvanet_service.log";
        const auto old = logs.path() / "Orvanet_service.log.old";
        std::ofstream(old, std::ios::binary) << "an older copy\r\n";
        ASSERT_TRUE(Logger::instance().initialize(path));
        std::uintmax_t largest = 0;
        {
            OtherReader logReader(path, L"rw");
            std::optional<OtherReader> oldReader;
            if (olderCopyHeld) {
                oldReader.emplace(old, L"r");
            }
            for (long i = 0; i < count; ++i) {
                Logger::instance().log(LogLevel::Info, "line {} {}", i, padding);
                if (i % 256 == 0) {
                    largest = std::max(largest, sizeOf(path) + sizeOf(old));
                }
            }
        }
        Logger::instance().close();
        const std::uintmax_t lineSize = 1100;
        EXPECT_LE(largest, 2 * kLimit + 2 * lineSize);
        EXPECT_LE(sizeOf(path) + sizeOf(old), 2 * kLimit + 2 * lineSize);

        std::vector<long> numbers = olderCopyHeld ? std::vector<long>() : numberedLines(old);
        const auto inLog = numberedLines(path);
        numbers.insert(numbers.end(), inLog.begin(), inLog.end());
        ASSERT_FALSE(numbers.empty());
        EXPECT_EQ(count - 1, numbers.back());
        for (std::size_t i = 1; i < numbers.size(); ++i) {
            ASSERT_EQ(numbers[i - 1] + 1, numbers[i]) << "after line " << numbers[i - 1];
        }
        if (olderCopyHeld) {
            EXPECT_EQ("an older copy\r\n", readFile(old));
            const std::regex dropped(R"(Log file rotated without an older copy \(.+\): (\d+) )"
                                     R"(bytes of the oldest lines dropped)");
            std::smatch match;
            const auto lines = readLines(path);
            ASSERT_FALSE(lines.empty());
            const std::string first = messageOf(lines.front());
            ASSERT_TRUE(std::regex_match(first, match, dropped)) << first;
            EXPECT_GT(std::stoull(match[1].str()), kLimit);
            EXPECT_LE(std::stoull(match[1].str()), kLimit + lineSize);
        } else {
            EXPECT_LT(numbers.front(), count - static_cast<long>(kLimit / lineSize));
        }
    }
}

// Someone who empties the log while the service runs (it is shared for writing) leaves no
// gap: the next line goes at the end of the file as it is then, not where the last one
// ended.
TEST_F(LoggerTest, LinesGoToTheEndOfTheFileAsOthersLeftIt) {
    const auto path = folder.path() / "cut.log";
    ASSERT_TRUE(Logger::instance().initialize(path));
    Logger::instance().log(LogLevel::Info, "before the cut");
    {
        UniqueHandle cut(CreateFileW(path.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, TRUNCATE_EXISTING,
                                     0, nullptr));
        ASSERT_TRUE(cut);
    }
    Logger::instance().log(LogLevel::Info, "after the cut");
    Logger::instance().close();
    const std::string raw = readFile(path);
    EXPECT_EQ(std::string::npos, raw.find('\0'));
    const auto lines = readLines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("after the cut", messageOf(lines[0]));
    EXPECT_EQ("=== Service logging closing ===", messageOf(lines[1]));
}

TEST_F(LoggerTest, ConcurrentLinesStayWhole) {
    const auto path = folder.path() / "threads.log";
    ASSERT_TRUE(Logger::instance().initialize(path));
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Logger::instance().log(LogLevel::Info, "thread {} line {} {}", t, i,
                                       std::string(50, static_cast<char>('a' + t)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Logger::instance().close();
    const auto lines = readLines(path);
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines + 3), lines.size());
    std::set<std::string> seen;
    for (size_t i = 2; i + 1 < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], kLineShape)) << lines[i];
        const std::string message = messageOf(lines[i]);
        const int t = message[7] - '0';
        EXPECT_TRUE(message.ends_with(std::string(50, static_cast<char>('a' + t)))) << message;
        seen.insert(message);
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

TEST(WindowsErrorTest, TextsOfCodes) {
    EXPECT_EQ("No error", formatWindowsError(0));
    const std::string text = formatWindowsError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(text.empty());
    EXPECT_FALSE(text.ends_with("\n"));
    EXPECT_FALSE(text.ends_with("\r"));
    EXPECT_TRUE(text.ends_with(".")) << text;
    EXPECT_EQ("Unknown error (code: 3735928559)", formatWindowsError(0xDEADBEEF));
}

TEST(WindowsErrorTest, LogWindowsErrorPrintsEightHexDigits) {
    DebugCapture capture;
    Logger::instance().logWindowsError("CreateNamedPipe", 231);
    const auto texts = capture.texts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_NE(std::string::npos,
              texts[0].find("] [ERROR] ERROR in CreateNamedPipe: Code 0x000000E7 - " +
                            formatWindowsError(231) + "\n"))
        << texts[0];
}

} // namespace
