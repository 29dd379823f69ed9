#pragma once
// The road of a link: an address becomes a link item (addLink), and the item
// is enriched with the page's metadata, favicon, snapshot or cover, thumbnail
// and the language model's insight (fetchLinkMetadata). These are operations
// of the store in spirit; they live here because they need the enrichment
// services, and take the store as their first argument.
//
// Main thread only. Every asynchronous operation calls its `done` exactly
// once, later, also when it ended early.

#include "library/Records.h"

#include <QObject>
#include <QTimer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <optional>

namespace vellora {

class LibraryStore;

// What the pipeline calls of the services around it. By default the insight
// comes from the language model (nothing when none is set up), addresses open
// in the desktop's browser, and no analyzer is told anything; the program
// wires its analyzer in, tests install fakes.
struct LinkPipelineServices {
    using InsightDone = std::function<void(std::optional<LinkInsight>)>;
    // The language model's insight for a page; nothing when the model is
    // unavailable or fails.
    std::function<void(const QString &title, const QString &url, const QString &pageText, InsightDone)> describeLink;
    // Forget the item's feature print, so the analyzer of the store computes
    // it anew.
    std::function<void(LibraryStore &, const QString &itemId)> dropFeaturePrint;
    // Run the store's analyzer over whatever is missing.
    std::function<void(LibraryStore &)> scheduleAnalysis;
    // Open an address in the default browser.
    std::function<void(const QUrl &)> openURL;
    // True for an item that came from someone else's share (the sharing
    // engine answers; nobody else's items when unset).
    std::function<bool(const LibraryStore &, const QString &itemId)> cameFromOthers;

    static LinkPipelineServices &installed();
};

// For the application: the pipeline tells Analyzer::shared() about the
// links of LibraryStore::shared() (runs on other stores tell nobody). Call
// once the shared store exists.
void installLinkPipelineServices();

// The id of the item that now stands for `url` (an address accepted by
// normalizedLinkURL): the first link item with exactly that sourceURL, trash
// included, else a new link item appended to the store (and a save scheduled).
QString addLink(LibraryStore &store, const QString &url, const QString &collectionId);

// Enriches the item from its own sourceURL. For an item that came from
// someone else every request of the run (the page and its redirects, icons,
// preview image and what the snapshot loads) goes through
// AddressPolicy::publicOnly(): a host on this machine or on a local network
// (loopback, link-local, private ranges) is never asked, and when the page
// cannot be had the item keeps what came with it. A run that fails part-way never
// overwrites what an earlier run stored: absent texts, an absent insight or
// a host-only title keep the item's earlier values, a rendered cover never
// replaces a stored picture, and snapshotDate is restored unless this run
// stored a page picture or the item had never been enriched. The user's
// tags are kept. Files written for an item that was deleted meanwhile are
// removed again.
void fetchLinkMetadata(LibraryStore &store, const QString &id, std::function<void()> done = {});

// The link items to enrich again after a load: those without page text, and
// those whose last run was cut off (snapshotDate cleared, never set again).
// Items from someone else's share keep the facts that came with them.
QStringList linksToRefresh(const LibraryStore &store);
// fetchLinkMetadata for each of linksToRefresh(), one after another.
void refreshLinkMetadata(LibraryStore &store, std::function<void()> done = {});

// What the main window starts once, when it is first shown: waits until the
// store has loaded, then refreshLinkMetadata(). Nothing when the library
// could not be loaded.
void refreshLinksWhenLoaded(LibraryStore &store, std::function<void()> done = {});

// Opens the item's address and counts the open; an address that does not
// parse does nothing.
void openLink(LibraryStore &store, const Item &item);

// Asks the model for a new insight and merges its suggested tags into the
// item's tags. Nothing changes when the model gives nothing.
void generateLinkInsight(LibraryStore &store, const QString &id, std::function<void()> done = {});

// The link items outside the trash that have page text but no insight, in
// the store's order: those the model can describe and has not.
QStringList linksWithoutInsight(const LibraryStore &store);

// Gives the link items without an insight one, in the background, one at a
// time, whenever a language model is available: once the library has
// loaded, again when the model's settings change, and when its rest after
// a failure ends. A pass stops when the model stops answering and goes on
// once it answers again; an item that the model answered without an
// insight is not asked again until the model's settings change. Owned by
// (and living no longer than) the store.
class InsightBackfill : public QObject {
    Q_OBJECT
public:
    explicit InsightBackfill(LibraryStore &store);
    // Begins once the store has loaded; nothing when it could not load.
    void start();
    // Whether a pass is asking the model now.
    bool running() const { return m_running; }

private:
    void runPass();
    void next();
    void wakeAfterRest();

    LibraryStore &m_store;
    bool m_started = false;
    bool m_running = false;
    QSet<QString> m_asked;
    QTimer *m_wake;
};

// What the main window starts once it is shown.
void describeLinksWhenModelAvailable(LibraryStore &store);

} // namespace vellora
