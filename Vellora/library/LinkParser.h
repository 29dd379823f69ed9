#pragma once
// Text typed, pasted, dropped or shared becomes a link address here. Every
// entry point (add-link sheet, drops, paste, Services, deep link, command line)
// goes through normalizedLinkURL(), so they all accept the same texts.

#include <QString>
#include <QStringList>
#include <optional>

namespace vellora {

// The address the text denotes, or nothing when it is no web link: trimmed,
// "https://" put in front when the text has no "://" anywhere, then accepted
// only with scheme http or https (any case) and a host containing a dot. A
// space anywhere inside rejects the text. The result is the text itself
// (after trimming and the prefix), never rewritten: the library compares
// addresses as strings.
std::optional<QString> normalizedLinkURL(const QString &text);

// The existing tags unchanged and in their order, then the new tags
// lower-cased; each string is kept only at its first occurrence.
QStringList mergeTags(const QStringList &existing, const QStringList &added);

} // namespace vellora
