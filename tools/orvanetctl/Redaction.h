#pragma once

#include "NameMatcher.h"

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Personal names out of a problem report's text copies. Names are learnt only from what the
// platform says is a person: the service's client lines, "[TIME] [INFO] PipeServer - Client:
// process PID, program PATH, account DOMAIN\name" (its log escapes control characters, so no
// client can begin a line), give the account, its domain or machine, and the profile folder
// of a program run from the machine's profiles folder (where ordinary users can make no
// folder); the collector's own token gives its account and profile. Text a client may have put
// into the log teaches nothing. Each learnt name is then replaced, in one pass over the text,
// wherever it stands as a whole word (in a user principal name, name@domain, too: no letter or
// digit, of any script, continues it on either side), in any case the platform folds, and a
// profile folder also in its 8.3 short form (ALICES~1, ALICE~1.SMI), by a placeholder that
// stays the same for the same name across the collection. The longest name that fits at the
// leftmost place is replaced first; text that is already a placeholder is never taken for a
// name. The platform's own accounts and profiles are no one's and stay.
class Redaction {
public:
    // Shorter names cannot be told from ordinary words ("a link"): they are not learnt.
    static constexpr std::size_t kShortestName = 3;
    // So that the placeholders stay readable; names met beyond it are counted, not replaced.
    static constexpr std::size_t kMostNames = 256;

    // `profiles`: the machine's profiles folder, as the platform's profile list names it.
    explicit Redaction(std::string_view profiles = "C:\\Users");

    // The client lines of a log.
    void learn(std::string_view text);
    // An account as the platform names it, "DOMAIN\name", and a profile folder's path.
    void learnAccount(std::string_view account);
    void learnProfile(std::string_view path);

    std::string apply(std::string_view text) const;
    // Whether a name met once kMostNames had been learnt stands in `text`.
    bool holdsLeftOut(std::string_view text) const;

    std::size_t names() const { return learnt.size(); }
    // Names not replaced because they are too short to tell from words, or written as a
    // placeholder is ("user-1"), or could be read into one ("<user-1").
    std::size_t notReplaced() const { return unusable.size(); }
    // Names not replaced because kMostNames had been learnt.
    std::size_t leftOut() const { return beyondBound.size(); }
    // What was learnt, as it first stood (for tests that check nothing of it survives).
    std::vector<std::string> learntNames() const;

private:
    struct Name {
        std::wstring folded; // upper case, as the platform folds
        std::string shown;
        std::string placeholder;
    };
    // One way a name may stand in the text: whole, or as an 8.3 short form's first letters
    // and "~" (then digits and perhaps an extension).
    struct Form {
        std::size_t name;
        bool shortForm;
    };
    enum class Learnt { New, Known, Refused };

    void learnClient(std::string_view program, std::string_view account);
    void learnAccountName(std::string_view account);
    void learnProfileName(std::string_view name);
    Learnt learnName(std::string_view name, bool domain, std::size_t& index);
    void addForm(const std::wstring& folded, std::size_t name, bool shortForm);
    void rebuild();

    std::wstring profilesFolded;
    std::vector<Name> learnt;
    std::map<std::wstring, std::size_t> byFolded;
    std::vector<Form> forms;
    std::set<std::pair<std::wstring, bool>> formsAdded;
    NameMatcher matcher;
    std::size_t users = 0;
    std::size_t domains = 0;
    std::set<std::wstring> unusable;
    std::set<std::wstring> beyondBound;
    NameMatcher beyondMatcher;
};
