#pragma once

#include <string>

// How the platform compares names, for UTF-16 text held one unit to a wchar_t: its upper-case
// fold, one unit for one, and which units are letters or digits. On Windows these are the
// platform's own tables (CharUpperBuffW, IsCharAlphaNumericW), so that a name matches where
// the platform says it is the same name; elsewhere the C library's Unicode tables stand in,
// so that the redaction built for a Linux host (its fuzzing) runs the same code.
void foldUpper(std::wstring& text);
bool isLetterOrDigit(wchar_t unit);
