#pragma once
// The off-screen web view that renders a link's page into a picture and reads
// its title, description, site name and visible text. QtWebEngine, so it
// needs a QApplication; a program calls preparePageSnapshots() before making
// it and installPageSnapshots() after.

#include "enrichment/PageSnapshotter.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class QTimer;
class QByteArray;
class QWebEngineLoadingInfo;
class QWebEngineProfile;
class QWebEngineUrlRequestInterceptor;
class QWebEngineView;

namespace vellora {

// Settings the web engine reads once, before it starts: no GPU, no
// background traffic of Chromium's own, and no sandbox when running as root
// (Chromium refuses to start sandboxed as root). Call before QApplication
// exists; calling later still fixes the environment for the engine.
void preparePageSnapshots();

// The page's text as UTF-8, cut at a character so that its percent-encoded
// form stays within 1 MiB (the engine takes a page from memory as an
// address of at most 2 MiB). Everything fits in that but pages of
// megabytes, whose top is what a snapshot shows anyway.
QByteArray renderableCopy(const QString &text);

// Makes the pipeline use PageSnapshot for its snapshots (while a
// QApplication exists; otherwise its snapshots stay empty).
void installPageSnapshots();

class PageSnapshot final : public QObject, public PageSnapshotRun {
    Q_OBJECT
public:
    using Result = PageSnapshotResult;

    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 800;
    static constexpr int kWatchdogMs = 10000;
    static constexpr int kSettleMs = 2500;
    static constexpr int kFreezeSettleMs = 300;
    // A grab is taken only after the view painted a frame of this page; when
    // none comes within this long, the grab is taken anyway.
    static constexpr int kFrameWaitMs = 2000;
    // A page whose own scripts never yield (a busy loop, a hung renderer)
    // never answers ours either: after this long the run goes on without
    // the answer instead of waiting forever.
    static constexpr int kScriptWaitMs = 5000;
    // The renderers of the pages being pictured hold at most this much
    // between them (the rest of the process tree, this program and the
    // engine's own helpers, takes some 350 MiB more), checked this often.
    // A page whose renderer ends before its picture is taken (ended for
    // its memory or crashed) is shown once more without pictures, media,
    // frames or scripts, with a load time of its own; should that renderer
    // end too, the run ends without a result.
    static constexpr qint64 kRendererMemoryBytes = qint64(512) << 20;
    static constexpr int kMemoryCheckMs = 20;
    // How often the page is asked for its renderer, which the engine
    // starts without a word.
    static constexpr int kRendererPollMs = 20;

    static const char *const kExtractionScript;
    static const char *const kFreezeScript;

    PageSnapshot();
    ~PageSnapshot() override;

    // Downloads the page (within the ten seconds of the load) and shows it.
    void run(const QString &url, std::function<void(Result)> done) override;
    // Shows a page already downloaded; nothing else is loaded in its place.
    void render(const FetchedPage &page, std::function<void(Result)> done) override;

    // Stores the run's continuation and starts the 10 s watchdog.
    void armWatchdog(std::function<void(bool)> continuation);
    // Resumes a waiting run once; later calls do nothing.
    void finish(bool loaded);

private:
    void applyAddressPolicy();
    void show(const FetchedPage &page);
    void onLoadingChanged(const QWebEngineLoadingInfo &info);
    void onRendererGone();
    void showWithoutPictures();
    void newStage();
    void afterLoad(bool loaded);
    void extract();
    void freeze(QStringList values);
    void waitForFrame(QStringList values);
    void grabAndReturn(const QStringList &values);
    void complete(Result result);

    QWebEngineProfile *m_profile = nullptr;
    QWebEngineUrlRequestInterceptor *m_requests = nullptr;
    QWebEngineView *m_web = nullptr;
    LinkMetadataFetcher *m_fetcher = nullptr;
    std::function<void(bool)> m_finished;
    std::function<void(Result)> m_done;
    QTimer *m_watchdog = nullptr;
    QTimer *m_rendererPoll = nullptr;
    qint64 m_renderer = 0;
    bool m_awaitingFrame = false;
    bool m_destroying = false;
    QStringList m_pendingValues;
    // What is shown, kept for a second showing without scripts.
    QByteArray m_content;
    QByteArray m_contentType;
    QUrl m_contentURL;
    bool m_withoutScripts = false;
    // The renderer was ended once: the page is shown again, and what the
    // ended load still reports is not of that showing.
    bool m_withoutPictures = false;
    bool m_awaitingRestart = false;
    // The timers and answers of the current showing hang off this object:
    // a showing started anew drops them all with it.
    QObject *m_stage = nullptr;
    bool eventFilter(QObject *watched, QEvent *event) override;
};

} // namespace vellora
