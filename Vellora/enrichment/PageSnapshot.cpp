#include "PageSnapshot.h"

#include "PageUserAgent.h"
#include "platform/Logging.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace vellora {

const char *const PageSnapshot::kExtractionScript =
    "[document.title,\n"
    " (document.querySelector('meta[property=\"og:description\"],meta[name=\"description\"]') || {}).content || '',\n"
    " (document.querySelector('meta[property=\"og:site_name\"]') || {}).content || '',\n"
    " (document.body.innerText || '').slice(0, 6000)]";

const char *const PageSnapshot::kFreezeScript =
    "const s = document.createElement('style');\n"
    "s.textContent = '*,*::before,*::after{animation-duration:0s!important;animation-delay:0s!important;"
    "transition:none!important}';\n"
    "document.head.appendChild(s); document.getAnimations().forEach(a => { try { a.finish() } catch (e) {} }); true";

namespace {

// The page of an off-screen view. Whatever the page asks of a person is
// answered at once, as if they had dismissed it: nobody is there to see a
// dialog, and the engine's own dialogs need a view on screen.
class SnapshotPage final : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    void javaScriptAlert(const QUrl &, const QString &) override {}
    bool javaScriptConfirm(const QUrl &, const QString &) override { return false; }
    bool javaScriptPrompt(const QUrl &, const QString &, const QString &, QString *) override { return false; }
    QStringList chooseFiles(FileSelectionMode, const QStringList &, const QStringList &) override { return {}; }
    QWebEnginePage *createWindow(WebWindowType) override { return nullptr; }
    // The page's console is the page's business, not our standard error.
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString &, int, const QString &) override {}
    // The picture, the title and the text are all of the page we were given:
    // a script, a refresh or a form that would take the view elsewhere is
    // refused, so the run ends on the page it started with. Frames inside
    // the page load as usual.
    bool acceptNavigationRequest(const QUrl &url, NavigationType, bool isMainFrame) override
    {
        if (!isMainFrame || !std::exchange(m_navigated, true))
            return true;
        m_refused.append(url);
        return false;
    }

public:
    bool refused(const QUrl &url) const { return m_refused.contains(url); }
    // Our own second load of the same page is let through.
    void allowNextNavigation() { m_navigated = false; }

private:
    bool m_navigated = false;
    QList<QUrl> m_refused;
};

// What the page may fetch beside itself. The page's own icon is never
// wanted (the link's favicon is read from our download of the page) and a
// huge one would be decoded whole; nor is anything outside the web: the
// page is shown from memory, which would let it reach local files.
//
// Under a restricted address policy (a page someone else chose) a request
// over the network goes out only to an address literal the policy lets us
// reach. A name is refused: the engine looks names up itself, so a name
// judged here could answer the engine with an address of this machine or
// its network; such a page is shown with what it carries inline.
class SnapshotRequests final : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    // Set before the page loads, never while it does.
    void setAddressPolicy(const AddressPolicy &policy) { m_policy = policy; }

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        const QString scheme = info.requestUrl().scheme().toLower();
        const bool network = scheme == QLatin1String("http") || scheme == QLatin1String("https");
        const bool web = network || scheme == QLatin1String("data") || scheme == QLatin1String("blob");
        if (!web || info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeFavicon) {
            info.block(true);
            return;
        }
        if (network && m_policy.restricted()) {
            const QHostAddress literal(info.requestUrl().host());
            if (literal.isNull() || !m_policy.mayConnectTo(literal))
                info.block(true);
        }
    }

private:
    AddressPolicy m_policy = AddressPolicy::anyHost();
};

// A page shown from memory travels as a percent-encoded data address, which
// the engine takes up to 2 MiB long. Half of that is shown: some hundreds of
// kilobytes of HTML hold the top of any page and far more than its first
// 6000 characters of text, and a renderer laying out (and our script
// reading) twice as much of a huge page takes too long on a busy machine.
constexpr qsizetype kMaxDataAddress = 1024 * 1024;

// A small file of /proc, whole; empty when the process is gone.
std::string readProcFile(const std::string &path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
    ::close(fd);
    return text;
}

// The parent of `pid`, 0 when it is gone. "pid (name) state ppid ...": the
// name may hold spaces and brackets, so the fields are read after its end.
pid_t parentOf(pid_t pid)
{
    const std::string stat = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size())
        return 0;
    return pid_t(std::strtol(stat.c_str() + close + 4, nullptr, 10));
}

// The processes `parent` started, as every one of its threads saw them.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return children;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string list = readProcFile(tasks + '/' + entry->d_name + "/children");
        const char *at = list.c_str();
        char *end = nullptr;
        for (long pid = std::strtol(at, &end, 10); end != at; pid = std::strtol(at, &end, 10)) {
            children.push_back(pid_t(pid));
            at = end;
        }
    }
    ::closedir(dir);
    return children;
}

qint64 residentBytes(pid_t pid)
{
    static const long pageSize = ::sysconf(_SC_PAGESIZE);
    const std::string statm = readProcFile("/proc/" + std::to_string(pid) + "/statm");
    const char *size = statm.c_str();
    char *end = nullptr;
    std::strtoll(size, &end, 10);
    if (end == size)
        return 0;
    return std::strtoll(end, nullptr, 10) * pageSize;
}

// Keeps the renderers of the pages being pictured within a budget of
// memory, together. A page's pictures are decoded whole in its renderer
// (a 15000 x 15000 PNG of some tens of kilobytes takes 900 MB) and
// nothing in the engine caps that for every kind of picture, so the
// renderers are watched from a thread of their own, and the largest is
// ended the moment they pass the budget; its page sees its renderer gone
// and is shown again without pictures. Every sibling of a watched
// renderer (the engine starts them all from one process) counts too and
// may be ended: a renderer not yet learnt of, one still going, or one the
// engine gives a frame of the page. Only snapshots use the engine in this
// program, so every such renderer serves one of them.
class RendererMemoryGuard {
public:
    static RendererMemoryGuard &shared()
    {
        static RendererMemoryGuard guard;
        return guard;
    }

    ~RendererMemoryGuard()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    // The renderer of `owner`'s page is `pid`; 0 forgets it.
    void watch(const void *owner, qint64 pid)
    {
        {
            const std::lock_guard lock(m_mutex);
            if (pid > 0)
                m_watched[owner] = pid_t(pid);
            else
                m_watched.erase(owner);
            if (!m_thread.joinable() && !m_watched.empty())
                m_thread = std::thread([this] { loop(); });
        }
        m_wake.notify_all();
    }

    void forget(const void *owner) { watch(owner, 0); }

private:
    RendererMemoryGuard() = default;

    void loop()
    {
        std::unique_lock lock(m_mutex);
        std::set<pid_t> ended;
        std::set<pid_t> parents;
        while (!m_stop) {
            if (m_watched.empty()) {
                ended.clear();
                m_wake.wait(lock, [this] { return m_stop || !m_watched.empty(); });
                continue;
            }
            std::set<pid_t> renderers;
            for (const auto &[owner, pid] : m_watched)
                renderers.insert(pid);
            lock.unlock();
            check(renderers, parents, ended);
            lock.lock();
            // A renderer at 300 MB a second passes the budget by a few
            // megabytes at most before it is seen.
            m_wake.wait_for(lock, std::chrono::milliseconds(PageSnapshot::kMemoryCheckMs), [this] { return m_stop; });
        }
    }

    // `parents` are the processes the engine starts renderers from, kept
    // from one check to the next: a page's renderer is learnt of late, its
    // siblings are watched from their start.
    static void check(std::set<pid_t> renderers, std::set<pid_t> &parents, std::set<pid_t> &ended)
    {
        const pid_t self = ::getpid();
        for (pid_t pid : renderers) {
            // A renderer started by this process itself has no siblings
            // of its kind: this process's other children are not counted.
            const pid_t parent = parentOf(pid);
            if (parent > 0 && parent != self)
                parents.insert(parent);
        }
        for (auto it = parents.begin(); it != parents.end();) {
            if (::kill(*it, 0) != 0) {
                it = parents.erase(it);
                continue;
            }
            for (pid_t child : childrenOf(*it))
                renderers.insert(child);
            ++it;
        }
        std::vector<std::pair<qint64, pid_t>> sizes;
        qint64 total = 0;
        for (pid_t pid : renderers) {
            if (ended.count(pid))
                continue; // going; its memory is already given back
            const qint64 bytes = residentBytes(pid);
            if (bytes > 0)
                sizes.emplace_back(bytes, pid);
            total += bytes;
        }
        std::sort(sizes.begin(), sizes.end(), std::greater<>());
        for (const auto &[bytes, pid] : sizes) {
            if (total <= PageSnapshot::kRendererMemoryBytes)
                break;
            if (::kill(pid, SIGKILL) == 0) {
                ended.insert(pid);
                qCInfo(lcLinks, "snapshot: page renderers held %lld MiB, over the %lld MiB they may use; "
                       "ended the largest, of %lld MiB", qint64(total >> 20),
                       qint64(PageSnapshot::kRendererMemoryBytes >> 20), qint64(bytes >> 20));
            }
            total -= bytes;
        }
        // Forget those that are gone, so that a number used again is watched.
        for (auto it = ended.begin(); it != ended.end();)
            it = ::kill(*it, 0) == 0 ? std::next(it) : ended.erase(it);
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<const void *, pid_t> m_watched;
    bool m_stop = false;
    std::thread m_thread;
};

// The page as shown once its renderer had to be ended: a policy at its very
// top keeps every picture, medium and frame out, those written into the
// page itself as data too, which turning the loading of pictures off does
// not reach. After a doctype, so that the page keeps its layout mode.
QByteArray withoutPictures(const QByteArray &html)
{
    static const QByteArray policy = "<meta http-equiv=\"Content-Security-Policy\" content=\"img-src 'none'; "
                                     "media-src 'none'; object-src 'none'; frame-src 'none'\">";
    qsizetype at = 0;
    while (at < html.size() && QChar::isSpace(uchar(html[at])))
        ++at;
    if (html.mid(at, 9).toLower() == "<!doctype") {
        const qsizetype close = html.indexOf('>', at);
        at = close < 0 ? html.size() : close + 1;
    } else {
        at = 0;
    }
    QByteArray shown = html;
    shown.insert(at, policy);
    return shown;
}

} // namespace

QByteArray renderableCopy(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    auto unreserved = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
            || c == '_' || c == '~';
    };
    qsizetype encoded = 0;
    qsizetype boundary = 0;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char c = utf8[i];
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            boundary = i; // a character starts here
        encoded += unreserved(c) ? 1 : 3;
        if (encoded > kMaxDataAddress) {
            utf8.truncate(boundary);
            break;
        }
    }
    return utf8;
}

void preparePageSnapshots()
{
    if (!QCoreApplication::instance())
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    auto add = [&flags](const char *flag) {
        if (!flags.contains(flag)) {
            if (!flags.isEmpty())
                flags += ' ';
            flags += flag;
        }
    };
    add("--disable-gpu");
    add("--disable-background-networking");
    add("--disable-component-update");
    add("--disable-domain-reliability");
    add("--disable-sync");
    add("--no-pings");
    add("--metrics-recording-only");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

void installPageSnapshots()
{
    setPageSnapshotFactory([]() -> std::unique_ptr<PageSnapshotRun> {
        // The web view is a widget: without a QApplication (a headless mode
        // on QGuiApplication) the pipeline goes on without a snapshot.
        if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
            return nullptr;
        return std::make_unique<PageSnapshot>();
    });
}

PageSnapshot::PageSnapshot()
{
    static const bool prepared = (preparePageSnapshots(), true);
    Q_UNUSED(prepared);

    // No storage name: off the record, nothing of the page stays on disk.
    m_profile = new QWebEngineProfile(this);
    m_profile->setHttpUserAgent(QString::fromLatin1(kPageUserAgent));
    m_profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);

    m_requests = new SnapshotRequests(m_profile);
    m_profile->setUrlRequestInterceptor(m_requests);

    // Nobody ever sees this view: it is never put on the screen, never takes
    // the focus from the window a person types into, and does not count as
    // a window that keeps the program running. Should the window system map
    // it all the same, it lies far off screen, outside the window manager's
    // reach.
    m_web = new QWebEngineView;
    m_web->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint
                          | Qt::WindowDoesNotAcceptFocus);
    m_web->setAttribute(Qt::WA_DontShowOnScreen);
    m_web->setAttribute(Qt::WA_ShowWithoutActivating);
    m_web->setAttribute(Qt::WA_QuitOnClose, false);
    m_web->setFocusPolicy(Qt::NoFocus);
    m_web->move(-20000, -20000);
    m_web->setPage(new SnapshotPage(m_profile, m_web));
    m_web->page()->settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
    m_web->page()->settings()->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, true);
    m_web->resize(kWidth, kHeight);
    connect(m_web->page(), &QWebEnginePage::loadingChanged, this, &PageSnapshot::onLoadingChanged);
    // The engine does not tell when the page's renderer starts; asking is
    // cheap, and a renderer is seen this soon after it starts.
    m_rendererPoll = new QTimer(this);
    m_rendererPoll->setInterval(kRendererPollMs);
    connect(m_rendererPoll, &QTimer::timeout, this, [this] {
        const qint64 pid = m_web->page()->renderProcessPid();
        if (pid != m_renderer)
            RendererMemoryGuard::shared().watch(this, m_renderer = pid);
    });
    connect(m_web->page(), &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int) {
                if (status != QWebEnginePage::NormalTerminationStatus)
                    onRendererGone();
            });
    m_stage = new QObject(this);

    m_watchdog = new QTimer(this);
    m_watchdog->setSingleShot(true);
    // A coarse timer may fire up to 5 % early, which would cut a slow page
    // off before its ten seconds.
    m_watchdog->setTimerType(Qt::PreciseTimer);
    connect(m_watchdog, &QTimer::timeout, this, [this] { finish(false); });

    FetchLimits limits;
    // The watchdog keeps the load's time; the download's own timers are
    // coarse and may end it up to 5 % early, so they are set past it.
    limits.pageTimeoutMs = kWatchdogMs + kWatchdogMs / 10;
    m_fetcher = new LinkMetadataFetcher(limits, this);
}

PageSnapshot::~PageSnapshot()
{
    // The page must go before its profile. Script callbacks still pending
    // may be called while the page goes; they find the flag and do nothing.
    m_destroying = true;
    RendererMemoryGuard::shared().forget(this);
    delete m_web;
}

void PageSnapshot::run(const QString &url, std::function<void(Result)> done)
{
    m_done = std::move(done);
    m_rendererPoll->start();
    applyAddressPolicy();
    // The download of the page counts towards the load's ten seconds.
    armWatchdog([this](bool loaded) { afterLoad(loaded); });
    m_fetcher->fetchPage(url, [this](std::optional<FetchedPage> page) {
        if (!m_finished)
            return; // the watchdog ended the run first
        if (!page) {
            finish(false);
            return;
        }
        show(*page);
    });
}

void PageSnapshot::render(const FetchedPage &page, std::function<void(Result)> done)
{
    m_done = std::move(done);
    m_rendererPoll->start();
    applyAddressPolicy();
    armWatchdog([this](bool loaded) { afterLoad(loaded); });
    // Never from inside render(): its caller expects `done` later.
    QTimer::singleShot(0, this, [this, page] { show(page); });
}

void PageSnapshot::applyAddressPolicy()
{
    const AddressPolicy &policy = addressPolicy();
    static_cast<SnapshotRequests *>(m_requests)->setAddressPolicy(policy);
    m_fetcher->setAddressPolicy(policy);
    // Nor may the page's scripts learn of or reach this machine's local
    // interfaces over WebRTC.
    m_web->page()->settings()->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, policy.restricted());
}

void PageSnapshot::show(const FetchedPage &page)
{
    if (!m_finished || m_destroying)
        return;
    // A picture or a file is no page to show; the pipeline has other
    // sources for its image.
    const bool text = page.contentType.toLower().trimmed().startsWith("text/");
    if (!page.isHTML() && !text) {
        finish(false);
        return;
    }
    // The page is shown from the very characters the rest of the link was
    // read from, at its own address so that what it refers to resolves.
    const QByteArray type = page.isHTML() ? QByteArrayLiteral("text/html;charset=utf-8")
                                          : QByteArrayLiteral("text/plain;charset=utf-8");
    m_content = renderableCopy(page.text);
    m_contentType = type;
    m_contentURL = page.url;
    m_web->page()->setContent(m_content, QString::fromLatin1(m_contentType), m_contentURL);
    // Shown only after the page has its view: a view shown first is mapped
    // on screen by the window system when the page's view joins it.
    m_web->show();
}

void PageSnapshot::armWatchdog(std::function<void(bool)> continuation)
{
    m_finished = std::move(continuation);
    m_watchdog->start(kWatchdogMs);
}

void PageSnapshot::finish(bool loaded)
{
    auto continuation = std::move(m_finished);
    m_finished = nullptr;
    if (continuation)
        continuation(loaded);
}

void PageSnapshot::onLoadingChanged(const QWebEngineLoadingInfo &info)
{
    // What the ended renderer's load reports until the page is shown again
    // (and what showing it again ends) is not of the new showing, which
    // the engine may report without a start of its own.
    if (m_awaitingRestart)
        return;
    auto *page = static_cast<SnapshotPage *>(m_web->page());
    if (info.status() != QWebEngineLoadingInfo::LoadStartedStatus && page->refused(info.url())) {
        // A navigation away was refused. When the page asked for it while
        // it was still being read, the engine stopped reading it there:
        // the same page is shown once more, without its scripts, so that
        // all of it is there. Later the page simply stays as it is.
        if (m_finished && !m_withoutScripts) {
            m_withoutScripts = true;
            page->settings()->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
            page->allowNextNavigation();
            page->setContent(m_content, QString::fromLatin1(m_contentType), m_contentURL);
        }
        return;
    }
    switch (info.status()) {
    case QWebEngineLoadingInfo::LoadStartedStatus:
        return;
    case QWebEngineLoadingInfo::LoadSucceededStatus:
        finish(true);
        return;
    case QWebEngineLoadingInfo::LoadFailedStatus:
        // A page that answered with an HTTP error still rendered its body.
        finish(info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain);
        return;
    case QWebEngineLoadingInfo::LoadStoppedStatus:
        finish(false);
        return;
    }
}

void PageSnapshot::onRendererGone()
{
    if (m_destroying || !m_done || (m_content.isEmpty() && m_contentURL.isEmpty()))
        return;
    newStage();
    if (m_withoutPictures) {
        // Even the page without its pictures was too much for a renderer:
        // nothing of it can be shown.
        qCWarning(lcLinks, "snapshot: page renderer ended again, no snapshot of %s",
                  qPrintable(m_contentURL.toDisplayString()));
        m_finished = nullptr;
        m_web->hide();
        complete({});
        return;
    }
    qCInfo(lcLinks, "snapshot: page renderer ended, showing %s again without pictures or scripts",
           qPrintable(m_contentURL.toDisplayString()));
    m_withoutPictures = true;
    m_withoutScripts = true;
    m_awaitingRestart = true;
    armWatchdog([this](bool loaded) { afterLoad(loaded); });
    // Not from inside the engine's report of its renderer's end.
    QTimer::singleShot(0, m_stage, [this] { showWithoutPictures(); });
}

void PageSnapshot::showWithoutPictures()
{
    auto *page = static_cast<SnapshotPage *>(m_web->page());
    page->settings()->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    page->settings()->setAttribute(QWebEngineSettings::AutoLoadImages, false);
    page->allowNextNavigation();
    const bool html = m_contentType.startsWith("text/html");
    page->setContent(html ? withoutPictures(m_content) : m_content, QString::fromLatin1(m_contentType), m_contentURL);
    m_awaitingRestart = false;
}

void PageSnapshot::newStage()
{
    delete m_stage;
    m_stage = new QObject(this);
    m_awaitingFrame = false;
}

void PageSnapshot::afterLoad(bool loaded)
{
    if (!loaded) {
        m_web->hide();
        m_web->page()->triggerAction(QWebEnginePage::Stop);
        complete({});
        return;
    }
    // Without scripts or pictures, nothing is left to settle but what the
    // freeze ends anyway.
    QTimer::singleShot(m_withoutPictures ? kFreezeSettleMs : kSettleMs, m_stage, [this] { extract(); });
}

void PageSnapshot::extract()
{
    auto answered = std::make_shared<bool>(false);
    QTimer::singleShot(kScriptWaitMs, m_stage, [this, answered] {
        if (std::exchange(*answered, true))
            return;
        // The page did not answer; a second script would not be answered
        // either, so the picture is taken as the page stands.
        waitForFrame({});
    });
    // Our scripts run in a world of their own: they read the page's document
    // as the page's own scripts cannot redefine it, and they still run when
    // the page is shown without its scripts.
    const quint32 world = QWebEngineScript::ApplicationWorld;
    QPointer<QObject> stage = m_stage;
    m_web->page()->runJavaScript(QString::fromLatin1(kExtractionScript), world, [this, answered, stage](const QVariant &value) {
        if (m_destroying || !stage || std::exchange(*answered, true))
            return;
        QStringList values;
        if (value.typeId() == QMetaType::QVariantList) {
            const QVariantList list = value.toList();
            for (const QVariant &v : list) {
                if (v.typeId() != QMetaType::QString) {
                    values.clear();
                    break;
                }
                values.append(v.toString());
            }
        }
        freeze(values);
    });
}

void PageSnapshot::freeze(QStringList values)
{
    auto answered = std::make_shared<bool>(false);
    auto settle = [this, answered, values] {
        if (std::exchange(*answered, true))
            return;
        QTimer::singleShot(kFreezeSettleMs, m_stage, [this, values] { waitForFrame(values); });
    };
    QTimer::singleShot(kScriptWaitMs, m_stage, settle);
    const quint32 world = QWebEngineScript::ApplicationWorld;
    QPointer<QObject> stage = m_stage;
    m_web->page()->runJavaScript(QString::fromLatin1(kFreezeScript), world, [this, settle, stage](const QVariant &) {
        if (m_destroying || !stage)
            return;
        settle();
    });
}

void PageSnapshot::waitForFrame(QStringList values)
{
    // A grab right after loading returns a blank picture (or the previous
    // page): wait until the view has painted a frame after the page settled.
    QWidget *surface = m_web->focusProxy();
    if (!surface) {
        grabAndReturn(values);
        return;
    }
    m_awaitingFrame = true;
    surface->installEventFilter(this);
    surface->update();
    auto *fallback = new QTimer(m_stage);
    fallback->setSingleShot(true);
    connect(fallback, &QTimer::timeout, this, [this, values, surface, fallback] {
        fallback->deleteLater();
        if (!m_awaitingFrame)
            return;
        m_awaitingFrame = false;
        surface->removeEventFilter(this);
        grabAndReturn(values);
    });
    fallback->start(kFrameWaitMs);
    m_pendingValues = values;
}

bool PageSnapshot::eventFilter(QObject *watched, QEvent *event)
{
    if (m_awaitingFrame && event->type() == QEvent::Paint) {
        // Let this paint finish, then grab.
        m_awaitingFrame = false;
        watched->removeEventFilter(this);
        QTimer::singleShot(0, m_stage, [this] { grabAndReturn(m_pendingValues); });
    }
    return QObject::eventFilter(watched, event);
}

void PageSnapshot::grabAndReturn(const QStringList &values)
{
    Result result;
    const QImage image = m_web->grab(QRect(0, 0, kWidth, kHeight)).toImage();
    if (!image.isNull())
        result.image = image;
    m_web->hide();
    auto field = [&values](qsizetype i) -> std::optional<QString> {
        if (i < values.size() && !values[i].isEmpty())
            return values[i];
        return std::nullopt;
    };
    result.title = field(0);
    result.summary = field(1);
    result.siteName = field(2);
    result.text = field(3);
    complete(std::move(result));
}

void PageSnapshot::complete(Result result)
{
    m_watchdog->stop();
    m_rendererPoll->stop();
    RendererMemoryGuard::shared().forget(this);
    if (auto done = std::move(m_done)) {
        m_done = nullptr;
        done(std::move(result));
    }
}

} // namespace vellora
