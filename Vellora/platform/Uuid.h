#pragma once
#include <QString>

namespace vellora {
// A fresh random UUID in the form every record id takes:
// upper case, hyphenated, no braces ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
QString newUUIDString();
// True when the text is a UUID in any letter case (braces not allowed).
bool isUUIDString(const QString &text);
} // namespace vellora
