#include "Capture.h"

#include "enrichment/LinkParser.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "platform/Defaults.h"
#include "platform/FolderWatcher.h"
#include "platform/Logging.h"
#include "views/CollectionContents.h"

#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <QTimer>

namespace vellora {

namespace {

const QString kImportScreenshots = QStringLiteral("importScreenshots");
const QString kScreenshotFolder = QStringLiteral("screenshotFolder");

// The tray's mark: a tray with a "V" over it, in the panel's light grey.
QIcon trayMark()
{
    QIcon icon;
    for (int scale : {1, 2}) {
        QPixmap pixmap(18 * scale, 18 * scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(scale, scale);
        painter.setPen(QPen(QColor(230, 230, 234), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath tray;
        tray.moveTo(2.5, 10);
        tray.lineTo(6, 10);
        tray.lineTo(7, 12.5);
        tray.lineTo(11, 12.5);
        tray.lineTo(12, 10);
        tray.lineTo(15.5, 10);
        tray.lineTo(15.5, 15.5);
        tray.lineTo(2.5, 15.5);
        tray.closeSubpath();
        painter.drawPath(tray);
        QPainterPath vee;
        vee.moveTo(5.5, 2.5);
        vee.lineTo(9, 8.5);
        vee.lineTo(12.5, 2.5);
        painter.drawPath(vee);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// The folder's listing, made on a worker thread and handed back on the
// object's thread while it exists.
template <typename Done> void listInBackground(QObject *context, const QString &folder, Done done)
{
    QPointer<QObject> guard(context);
    QThreadPool::globalInstance()->start([guard, folder, done] {
        QSet<QString> listing = imageFiles(folder);
        QMetaObject::invokeMethod(
            guard.data() ? guard.data() : QCoreApplication::instance(),
            [guard, listing = std::move(listing), done] {
                if (guard)
                    done(listing);
            },
            Qt::QueuedConnection);
    });
}

} // namespace

QString screenshotFolder(const Defaults &settings)
{
    const QString chosen = settings.string(kScreenshotFolder).trimmed();
    if (!chosen.isEmpty())
        return QDir::cleanPath(chosen.startsWith(QLatin1String("~/")) ? QDir::homePath() + chosen.mid(1) : chosen);
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    const QString screenshots = pictures + QStringLiteral("/Screenshots");
    if (!pictures.isEmpty() && QFileInfo(screenshots).isDir())
        return screenshots;
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return desktop.isEmpty() ? QDir::homePath() + QStringLiteral("/Desktop") : desktop;
}

QSet<QString> imageFiles(const QString &folder)
{
    QSet<QString> files;
    const QDir dir(folder);
    if (!dir.exists())
        return files;
    static const QMimeDatabase mimes;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName().startsWith(u'.'))
            continue;
        const QMimeType type = mimes.mimeTypeForFile(entry.fileName(), QMimeDatabase::MatchExtension);
        if (type.isDefault() || !type.name().startsWith(QLatin1String("image/")))
            continue;
        files.insert(entry.absoluteFilePath());
    }
    return files;
}

QList<QUrl> addToVelloraURLs(const QStringList &uris, const QString &text)
{
    QList<QUrl> urls;
    for (const QString &uri : uris) {
        if (uri.isEmpty())
            continue;
        const QUrl url(uri);
        // A plain path (no scheme) is a file.
        if (url.scheme().isEmpty() || QDir::isAbsolutePath(uri))
            urls << QUrl::fromLocalFile(QFileInfo(uri).absoluteFilePath());
        else if (url.isValid())
            urls << url;
    }
    if (!urls.isEmpty())
        return urls;
    static const QRegularExpression lineBreaks(
        QStringLiteral("\\r\\n|[\\n\\x{000B}\\x{000C}\\r\\x{0085}\\x{2028}\\x{2029}]"));
    for (const QString &line : text.split(lineBreaks, Qt::SkipEmptyParts))
        if (const auto link = normalizedLinkURL(line))
            urls << QUrl(*link);
    return urls;
}

QList<QUrl> droppedURLs(const QMimeData &data)
{
    return data.hasUrls() ? data.urls() : QList<QUrl>();
}

// --- DropShelf ---

DropShelf::DropShelf(QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
{
    setWindowTitle(QStringLiteral("Vellora Inbox"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAcceptDrops(true);
    resize(160, 96);
    setToolTip(QStringLiteral("Drop files or links into the Vellora Inbox"));
}

bool DropShelf::acceptDrop(const QMimeData &data)
{
    const QList<QUrl> urls = droppedURLs(data);
    if (importURLs)
        importURLs(urls);
    return !urls.isEmpty();
}

void DropShelf::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath shape;
    shape.addRoundedRect(r, 14, 14);
    painter.fillPath(shape, m_hovering ? QColor(70, 70, 78, 240) : QColor(40, 40, 44, 230));
    QPen dash(QColor(230, 230, 234, m_hovering ? 220 : 120), 1.5, Qt::DashLine);
    painter.setPen(dash);
    painter.drawRoundedRect(r.adjusted(6, 6, -6, -6), 10, 10);
    painter.setPen(QColor(230, 230, 234));
    painter.drawText(r, Qt::AlignCenter, QStringLiteral("Drop into\nVellora Inbox"));
}

void DropShelf::dragEnterEvent(QDragEnterEvent *event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
    m_hovering = true;
    update();
}

void DropShelf::dragMoveEvent(QDragMoveEvent *event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropShelf::dragLeaveEvent(QDragLeaveEvent *)
{
    m_hovering = false;
    update();
}

void DropShelf::dropEvent(QDropEvent *event)
{
    m_hovering = false;
    update();
    event->setDropAction(Qt::CopyAction);
    if (event->mimeData() && acceptDrop(*event->mimeData()))
        event->accept();
    else
        event->ignore();
}

// --- Capture ---

Capture::Capture(LibraryStore &store, Defaults &settings, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_settings(settings)
    , m_settle(new QTimer(this))
{
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &Capture::importNewScreenshots);
}

Capture::~Capture()
{
    delete m_shelf.data();
}

void Capture::start(QWidget *window)
{
    if (m_started)
        return;
    m_started = true;
    m_window = window;
    m_tray = new QSystemTrayIcon(trayMark(), this);
    m_tray->setToolTip(QStringLiteral("Vellora Inbox"));
    auto *menu = new QMenu;
    connect(this, &QObject::destroyed, menu, &QObject::deleteLater);
    menu->addAction(QStringLiteral("Show Drop Shelf"), this, &Capture::showDropShelf);
    menu->addAction(QStringLiteral("Open Vellora"), this, [this] {
        if (m_window) {
            m_window->show();
            m_window->raise();
            m_window->activateWindow();
        }
    });
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
            return;
        if (m_window) {
            m_window->show();
            m_window->raise();
            m_window->activateWindow();
        }
    });
    m_tray->show();
    m_shelf = new DropShelf;
    m_shelf->importURLs = [this](const QList<QUrl> &urls) { importURLs(urls); };
    // While the window is hidden the shelf is the way in.
    if (m_window)
        m_window->installEventFilter(this);
    setWatching(m_settings.boolean(kImportScreenshots, false));
}

void Capture::showDropShelf()
{
    if (!m_shelf)
        return;
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        m_shelf->move(area.right() - m_shelf->width() - 24, area.top() + 24);
    }
    m_shelf->show();
    m_shelf->raise();
}

bool Capture::isWatching() const { return m_watcher && m_watcher->isWatching(); }

void Capture::setWatching(bool on)
{
    const quint64 generation = ++m_generation;
    const bool was = isWatching();
    m_settle->stop();
    m_watcher.reset();
    if (was && !on)
        emit watchingChanged(false);
    if (!on)
        return;
    const QString folder = screenshotFolder(m_settings);
    listInBackground(this, folder, [this, generation, folder](const QSet<QString> &listing) {
        // A later call (off, or another folder) has taken over.
        if (generation != m_generation)
            return;
        auto watcher = std::make_unique<FolderWatcher>();
        if (!watcher->watch(folder, FolderWatcher::Events(FolderWatcher::ClosedWrite | FolderWatcher::MovedIn))) {
            qCInfo(lcVellora) << "screenshots: cannot watch" << folder;
            return;
        }
        m_folder = folder;
        m_seen = listing;
        m_pending.clear();
        m_pendingAll = false;
        connect(watcher.get(), &FolderWatcher::changed, this,
                [this](const QString &name, FolderWatcher::Events) { folderChanged(name); });
        m_watcher = std::move(watcher);
        emit watchingChanged(true);
    });
}

void Capture::folderChanged(const QString &name)
{
    // Only names that were closed after writing, or renamed in, can be new
    // pictures (a file still being written is not); the listing after the
    // pause decides which of them are still there and are pictures. An
    // empty name means events were lost: every new file counts.
    if (name.isEmpty())
        m_pendingAll = true;
    else
        m_pending.insert(QDir(m_folder).absoluteFilePath(name));
    m_settle->start();
}

bool Capture::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_window && event->type() == QEvent::Hide && m_shelf)
        showDropShelf();
    else if (watched == m_window && event->type() == QEvent::Show && m_shelf)
        m_shelf->hide();
    return QObject::eventFilter(watched, event);
}

void Capture::importNewScreenshots()
{
    const quint64 generation = m_generation;
    const QSet<QString> eligible = m_pending;
    const bool all = m_pendingAll;
    m_pending.clear();
    m_pendingAll = false;
    listInBackground(this, m_folder, [this, generation, eligible, all](const QSet<QString> &listing) {
        if (generation != m_generation || !isWatching())
            return;
        QStringList fresh;
        for (const QString &file : listing)
            if (!m_seen.contains(file) && (all || eligible.contains(file)))
                fresh << file;
        // Files that left the folder leave the set, so one written again
        // later counts as new; files not yet closed stay out until they are.
        QSet<QString> seen;
        for (const QString &file : listing)
            if (m_seen.contains(file))
                seen.insert(file);
        for (const QString &file : fresh)
            seen.insert(file);
        m_seen = seen;
        if (fresh.isEmpty())
            return;
        fresh.sort();
        importFiles(m_store, fresh, m_store.defaultBoardId());
        emit screenshotsImported(fresh);
    });
}

void Capture::addToVellora(const QStringList &uris, const QString &text)
{
    importURLs(addToVelloraURLs(uris, text));
}

void Capture::importURLs(const QList<QUrl> &urls)
{
    vellora::importURLs(urls, m_store, m_store.defaultBoardId());
}

} // namespace vellora
