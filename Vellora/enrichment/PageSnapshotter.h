#pragma once
// The seam between the link pipeline and the off-screen web view. The core
// library only knows this interface; the web view itself (PageSnapshot.h,
// library vellora_snapshot) needs QtWebEngine and a QApplication, so the
// program installs its factory at start-up and tests install fakes.

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
};

using PageSnapshotFactory = std::function<std::unique_ptr<PageSnapshotRun>()>;

// The factory the pipeline takes a fresh run from; none installed means
// every snapshot is empty (a program without the web view still gets covers).
void setPageSnapshotFactory(PageSnapshotFactory factory);
std::unique_ptr<PageSnapshotRun> makePageSnapshotRun();

} // namespace vellora
