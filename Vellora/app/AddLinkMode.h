#pragma once
// "--add-link": adds each link to the shared store, fetches what the link
// road finds for it, and reports every item.

#include "HeadlessRunner.h"

#include <QStringList>

namespace vellora {

class LibraryStore;
struct Item;

// The mode's work on the main thread: waits for the load, adds and enriches
// the links one after the other, settles and saves the store, then sets the
// flag. `ok` tells whether the library loaded and saved.
void cliAddLinkTask(LibraryStore &store, const QStringList &urls, const CompletionFlag &flag,
                    const std::shared_ptr<bool> &ok);

// The lines printed for one link: the insight line when there is one, then
// the address, title, site / favicon / snapshot size, summary.
QStringList addLinkReport(const QString &url, const Item &item);

int runAddLink(const QStringList &arguments);

} // namespace vellora
