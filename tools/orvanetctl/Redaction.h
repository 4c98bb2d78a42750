#pragma once

#include <map>
#include <string>
#include <string_view>

// Personal names out of a problem report's text copies. The log names each client's account
// ("account DOMAIN\name") and program, whose path often runs through the user's profile
// ("C:\Users\name\..."): those names, learned from every text of one collection first, are
// then replaced wherever they stand, by placeholders that stay the same for the same name
// across the collection. The platform's own accounts (NT AUTHORITY, BUILTIN, NT SERVICE) and
// profiles (Public, Default) are no one's and stay.
class Redaction {
public:
    void learn(std::string_view text);
    std::string apply(std::string_view text) const;

    std::size_t names() const { return users.size() + domains.size(); }

private:
    void learnAccount(std::string_view account);
    void learnUser(std::string_view name);

    // Lower-cased name to placeholder: Windows names ignore case.
    std::map<std::string, std::string> users;
    std::map<std::string, std::string> domains;
};
