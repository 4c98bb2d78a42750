#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Personal names out of a problem report's text copies. The service names each client in a
// line of its own making, "[TIME] [INFO] PipeServer - Client: process PID, program PATH,
// account DOMAIN\name", and its log escapes control characters, so no client can begin a
// line: names are learnt from those lines only (the account, its domain or machine, and the
// profile folder of the program's path, C:\Users\NAME\...), never from text a client may
// have put into the log. Each learnt name is then replaced, in one pass over the text,
// wherever it stands as a whole word (in a user principal name, name@domain, too), in any
// case the platform folds, and a profile folder also in its 8.3 short form (ALICES~1), by a
// placeholder that stays the same for the same name across the collection. The longest name
// that fits is replaced first; text that is already a placeholder is never taken for a name.
// The platform's own accounts and profiles are no one's and stay.
class Redaction {
public:
    // Shorter names cannot be told from ordinary words ("a link"): they are not learnt.
    static constexpr std::size_t kShortestName = 3;
    // So that a log of many clients cannot make the report's cost grow without bound.
    static constexpr std::size_t kMostNames = 256;

    void learn(std::string_view text);
    std::string apply(std::string_view text) const;

    std::size_t names() const { return learnt.size(); }
    // Names that were not learnt, and so are not replaced: too short to tell from words, or
    // met once kMostNames had been learnt.
    std::size_t tooShort() const { return shortNames.size(); }
    bool boundMet() const { return reachedBound; }
    // What was learnt, as it first stood (for tests that check nothing of it survives).
    std::vector<std::string> learntNames() const;

private:
    struct Name {
        std::wstring folded; // upper case, as the platform folds
        std::string shown;
        std::string placeholder;
    };
    // One way a name may stand in the text: whole, or as an 8.3 short form's first letters
    // (followed by "~" and digits).
    struct Form {
        std::wstring folded;
        std::size_t name;
        bool shortForm;
    };

    void learnClient(std::string_view program, std::string_view account);
    // The index of the name in `learnt`, or none when it is not learnt.
    bool learnName(std::string_view name, const char* kind, std::size_t& index);
    void addForm(std::wstring folded, std::size_t name, bool shortForm);

    std::vector<Name> learnt;
    // By the first word of the form, each list longest first.
    std::map<std::wstring, std::vector<Form>> forms;
    std::size_t users = 0;
    std::size_t domains = 0;
    std::set<std::wstring> shortNames;
    bool reachedBound = false;
};
