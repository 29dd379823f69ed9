#pragma once
// The seam between the link pipeline and the off-screen web view. The core
// library only knows this interface; the web view itself (PageSnapshot.h,
// library vellora_snapshot) needs QtWebEngine and a QApplication, so the
// program installs its factory at start-up and tests install fakes.

#include "enrichment/LinkMetadata.h"

#include <QImage>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace vellora {

// What one page yields. Every text is absent rather than empty.
struct PageSnapshotResult {
    std::optional<QImage> image; // the top 1280 x 800 of the page
    std::optional<QString> title;
    std::optional<QString> summary;
    std::optional<QString> siteName;
    std::optional<QString> text; // visible body text, at most 6000 UTF-16 units
};

// One run of one page; an instance serves one run only.
class PageSnapshotRun {
public:
    virtual ~PageSnapshotRun() = default;
    // Loads `url` and calls `done` exactly once, on the main thread, later
    // (never from inside run()). A failed or timed-out load gives a result
    // with every field absent.
    virtual void run(const QString &url, std::function<void(PageSnapshotResult)> done) = 0;
    // The same for a page that was already downloaded: it is shown as it
    // came, and the view never loads another page in its place. By default
    // the page's address is loaded anew.
    virtual void render(const FetchedPage &page, std::function<void(PageSnapshotResult)> done)
    {
        run(page.url.toString(), std::move(done));
    }

    // Which machines the page may make this one ask for what it loads
    // besides itself (and for the page, when run() downloads it); any by
    // default. Set before run() or render().
    void setAddressPolicy(const AddressPolicy &policy) { m_policy = policy; }
    const AddressPolicy &addressPolicy() const { return m_policy; }

private:
    AddressPolicy m_policy = AddressPolicy::anyHost();
};

using PageSnapshotFactory = std::function<std::unique_ptr<PageSnapshotRun>()>;

// How many pages are rendered at the same time. Each web view costs a
// renderer process of its own; further runs wait their turn (their web view
// is made only when it comes), in the order they were started.
inline constexpr int kSnapshotsAtOnce = 1;

// The factory the pipeline takes a fresh run from; none installed means
// every snapshot is empty (a program without the web view still gets covers).
void setPageSnapshotFactory(PageSnapshotFactory factory);
// The factory installed (empty for none), so that whoever replaced it can put it back.
PageSnapshotFactory currentPageSnapshotFactory();
// A run that waits for its turn among all runs made here, then asks the
// installed factory for the real one. Destroying it while it waits gives up
// its place; while it runs, ends that run.
std::unique_ptr<PageSnapshotRun> makePageSnapshotRun();

} // namespace vellora
