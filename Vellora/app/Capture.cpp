#include "Capture.h"

#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/Media.h"
#include "platform/Defaults.h"
#include "platform/FolderWatcher.h"
#include "platform/ImageIO.h"
#include "platform/IntakeFile.h"
#include "platform/Scheduler.h"
#include "platform/ScreenshotFolder.h"
#include "views/CollectionContents.h"

#include <QAction>
#include <QApplication>
#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QMainWindow>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPolygonF>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QThreadPool>

#include <algorithm>

namespace vellora {

Q_LOGGING_CATEGORY(lcCapture, "com.quendle.vellora.capture", QtInfoMsg)

namespace {

// Events closer together than this are one look at the folder: a burst of
// screenshots is one import, and a tool that writes a temporary name and
// renames it at once is seen only under the final name.
constexpr int kSettleMs = 100;

// A picture written in several passes is closed before it is whole, and a
// cut-off JPEG still decodes: a new file is taken once it ends as its format
// ends and decodes. The folder is not ours: no link is followed, and no more
// is read than the import would take.
bool isWholePicture(const QString &path)
{
    const std::optional<QByteArray> bytes = readIntakeFile(path, LinkPolicy::Refuse, kMaxPictureBytes);
    return bytes && endsWhole(*bytes) && !downsampledImage(*bytes, 64).isNull();
}

// The folder itself when it is there, else the nearest folder above it that is.
QString nearestFolder(const QString &folder)
{
    QString present = folder;
    while (!QFileInfo(present).isDir()) {
        const QString up = QFileInfo(present).absolutePath();
        if (up == present)
            break;
        present = up;
    }
    return present;
}

// Asked for each time: the words follow the translation in use.
QString inboxTitle()
{
    return QCoreApplication::translate("vellora::Capture", "Vellora Inbox");
}

} // namespace

void importIntoDefaultCollection(LibraryStore &store, const QList<QUrl> &urls)
{
    // Before the load there is no first collection to put anything into; once
    // loaded, this runs at once.
    QPointer<LibraryStore> guard(&store);
    store.waitUntilLoaded([guard, urls](bool loaded) {
        if (guard && loaded)
            importURLs(urls, *guard, guard->defaultBoardId());
    });
}

// --- Drop shelf -----------------------------------------------------------

DropShelf::DropShelf(LibraryStore &store, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), m_store(store)
{
    setWindowTitle(inboxTitle());
    setAcceptDrops(true);
    setAttribute(Qt::WA_ShowWithoutActivating);
    // The shelf never keeps the program running on its own.
    setAttribute(Qt::WA_QuitOnClose, false);
    // Only the rounded card is drawn; the corners show what lies behind.
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(168, 96);
    setToolTip(inboxTitle());
}

bool DropShelf::handleDrop(const QMimeData *mime)
{
    QList<QUrl> urls;
    if (mime && mime->hasUrls()) {
        const QList<QUrl> dropped = mime->urls();
        for (const QUrl &url : dropped) {
            if (url.isValid() && !url.scheme().isEmpty())
                urls.append(url);
        }
    }
    importIntoDefaultCollection(m_store, urls);
    return !urls.isEmpty();
}

void DropShelf::dragEnterEvent(QDragEnterEvent *event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropShelf::dragMoveEvent(QDragMoveEvent *event)
{
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void DropShelf::dropEvent(QDropEvent *event)
{
    event->setDropAction(Qt::CopyAction);
    if (handleDrop(event->mimeData()))
        event->accept();
    else
        event->ignore();
}

void DropShelf::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.5, Qt::DashLine));
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRoundedRect(box, 12, 12);
    const QIcon icon = Capture::inboxIcon();
    const QRect iconRect(width() / 2 - 12, 18, 24, 24);
    icon.paint(&painter, iconRect);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRect(0, 50, width(), 30), Qt::AlignCenter, tr("Drop into Inbox"));
}

// --- Capture --------------------------------------------------------------

Capture &Capture::shared()
{
    static Capture *capture = new Capture(LibraryStore::shared(), Defaults::standard(), qApp);
    return *capture;
}

Capture::Capture(LibraryStore &store, Defaults &defaults, QObject *parent)
    : QObject(parent), m_store(store), m_defaults(defaults)
{
    m_lookTimer.setSingleShot(true);
    m_lookTimer.setInterval(kSettleMs);
    connect(&m_lookTimer, &QTimer::timeout, this, &Capture::look);
}

Capture::~Capture()
{
    ++m_generation;
    delete m_shelf.data();
}

QIcon Capture::inboxIcon()
{
    // An open tray seen from the front: a rim with a dip in the middle.
    const auto draw = [](int side) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(side / 18.0, side / 18.0);
        painter.setPen(QPen(QColor(0x44, 0x47, 0x52), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(QColor(0xf4, 0xf5, 0xf7));
        painter.drawPolygon(QPolygonF({{2.5, 10}, {5, 3.5}, {13, 3.5}, {15.5, 10}, {15.5, 14.5}, {2.5, 14.5}}));
        painter.drawPolyline(QPolygonF({{2.5, 10}, {6.5, 10}, {7.5, 12}, {10.5, 12}, {11.5, 10}, {15.5, 10}}));
        return pixmap;
    };
    QIcon icon;
    icon.addPixmap(draw(18));
    icon.addPixmap(draw(36));
    return icon;
}

void Capture::raiseMainWindow(QWidget *window)
{
    QWidget *chosen = window;
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *candidate : windows) {
        if (!chosen && qobject_cast<QMainWindow *>(candidate))
            chosen = candidate;
    }
    if (!chosen) {
        for (QWidget *candidate : windows) {
            if (candidate->windowType() == Qt::Window && !qobject_cast<DropShelf *>(candidate)) {
                chosen = candidate;
                break;
            }
        }
    }
    if (!chosen)
        return;
    if (chosen->isMinimized())
        chosen->showNormal();
    else
        chosen->show();
    chosen->raise();
    chosen->activateWindow();
}

void Capture::start() { start(nullptr); }

void Capture::showDropShelf()
{
    if (QAction *shelf = m_menu ? m_menu->actions().value(1) : nullptr)
        shelf->setChecked(true);
}

void Capture::start(QWidget *window)
{
    if (m_tray)
        return;
    m_shelf = new DropShelf(m_store);

    m_tray = new QSystemTrayIcon(inboxIcon(), this);
    m_tray->setToolTip(inboxTitle());
    m_menu = new QMenu;
    connect(this, &QObject::destroyed, m_menu, &QObject::deleteLater);
    QAction *open = m_menu->addAction(tr("Open Vellora"));
    open->setObjectName(QStringLiteral("openVellora"));
    connect(open, &QAction::triggered, this, [this] { raiseMainWindow(m_mainWindow); });
    QAction *shelf = m_menu->addAction(tr("Show Drop Shelf"));
    shelf->setObjectName(QStringLiteral("showDropShelf"));
    shelf->setCheckable(true);
    connect(shelf, &QAction::toggled, this, [this](bool on) {
        if (!m_shelf)
            return;
        if (on) {
            // Bottom right of the screen, out of the way of most windows.
            if (QScreen *screen = QGuiApplication::primaryScreen()) {
                const QRect area = screen->availableGeometry();
                m_shelf->move(area.right() - m_shelf->width() - 24, area.bottom() - m_shelf->height() - 24);
            }
            m_shelf->show();
            m_shelf->raise();
        } else {
            m_shelf->hide();
        }
    });
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            raiseMainWindow(m_mainWindow);
    });
    m_tray->show();
    followMainWindow(window);

    // The settings view writes the setting; the watch follows it.
    connect(&m_defaults, &Defaults::changed, this, [this](const QString &key) {
        if (key == QLatin1String(kImportScreenshotsKey))
            setWatching(m_defaults.boolean(QString::fromLatin1(kImportScreenshotsKey), false));
    });
    setWatching(m_defaults.boolean(QString::fromLatin1(kImportScreenshotsKey), false));
}

void Capture::followMainWindow(QWidget *window)
{
    if (window) {
        m_mainWindow = window;
        window->installEventFilter(this);
        return;
    }
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget *candidate : windows) {
        if (qobject_cast<QMainWindow *>(candidate)) {
            m_mainWindow = candidate;
            candidate->installEventFilter(this);
            return;
        }
    }
}

bool Capture::eventFilter(QObject *watched, QEvent *event)
{
    // While the main window is hidden the shelf is the way in.
    if (watched == m_mainWindow && m_shelf && m_menu) {
        QAction *shelf = m_menu->actions().value(1);
        if (event->type() == QEvent::Hide && shelf && !shelf->isChecked())
            shelf->setChecked(true);
        else if (event->type() == QEvent::Show && shelf && shelf->isChecked())
            shelf->setChecked(false);
    }
    return QObject::eventFilter(watched, event);
}

// --- Screenshot folder ----------------------------------------------------

bool Capture::isWatching() const { return m_watcher && m_watcher->isWatching(); }

QString Capture::watchedFolder() const { return isWatching() ? m_watcher->folder() : QString(); }

void Capture::setWatching(bool on)
{
    ++m_generation;
    const bool wasWatching = isWatching();
    delete m_watcher;
    m_watcher = nullptr;
    delete m_awaiting;
    m_awaiting = nullptr;
    if (wasWatching)
        emit watchingChanged(false);
    m_lookTimer.stop();
    m_looking = false;
    m_lookAgain = false;
    m_writing.clear();
    m_renames.clear();
    if (!on)
        return;

    const quint64 generation = m_generation;
    const QString setting = m_defaults.string(QString::fromLatin1(kScreenshotFolderKey));
    QPointer<Capture> self(this);
    QThreadPool::globalInstance()->start([self, generation, setting] {
        const QString folder = screenshotFolder(setting);
        const QSet<QString> listing = imageFiles(folder);
        Scheduler::main().post([self, generation, folder, listing] {
            if (self)
                self->installWatch(generation, folder, listing);
        });
    });
}

void Capture::installWatch(quint64 generation, const QString &folder, const QSet<QString> &listing)
{
    // A later setWatching() has spoken: this start is abandoned.
    if (generation != m_generation)
        return;
    auto *watcher = new FolderWatcher(this);
    const FolderWatcher::Events events(FolderWatcher::Created | FolderWatcher::ClosedWrite | FolderWatcher::MovedIn
                                       | FolderWatcher::Deleted | FolderWatcher::MovedOut);
    if (!watcher->watch(folder, events)) {
        delete watcher;
        return;
    }
    m_watcher = watcher;
    connect(watcher, &FolderWatcher::changed, this,
            [this](const QString &name, FolderWatcher::Events events) { folderChanged(name, int(events)); });
    connect(watcher, &FolderWatcher::renamed, this, &Capture::folderRenamed);
    connect(watcher, &FolderWatcher::folderGone, this, [this, folder = watcher->folder()] { folderGone(folder); });
    m_seen = listing;
    emit watchingStarted(watcher->folder());
    emit watchingChanged(true);
}

void Capture::folderGone(const QString &folder)
{
    qCWarning(lcCapture, "screenshot folder %s is gone; it is watched again once it is back", qUtf8Printable(folder));
    // A look under way is of the folder that went: dropped. Files that left
    // it before it went leave `seen`; those that went with it are known again
    // if they come back with it.
    ++m_generation;
    m_lookTimer.stop();
    m_looking = false;
    m_lookAgain = false;
    m_writing.clear();
    for (const Rename &change : std::as_const(m_renames)) {
        if (m_seen.remove(change.from) && !change.to.isEmpty())
            m_seen.insert(change.to);
    }
    m_renames.clear();
    emit watchingChanged(false);
    awaitFolder(m_generation, folder);
}

void Capture::awaitFolder(quint64 generation, const QString &folder)
{
    QPointer<Capture> self(this);
    QThreadPool::globalInstance()->start([self, generation, folder] {
        const QString present = nearestFolder(folder);
        const QSet<QString> listing = present == folder ? imageFiles(folder) : QSet<QString>();
        Scheduler::main().post([self, generation, folder, present, listing] {
            if (self)
                self->folderFound(generation, folder, present, listing);
        });
    });
}

void Capture::folderFound(quint64 generation, const QString &folder, const QString &present,
                          const QSet<QString> &listing)
{
    if (generation != m_generation)
        return;
    if (present != folder) {
        // Already waiting there since before this look: its next event says more.
        if (m_awaiting && m_awaiting->folder() == present)
            return;
        delete m_awaiting;
        m_awaiting = new FolderWatcher(this);
        m_awaiting->setNameFilter(QDir(present).relativeFilePath(folder).section(QLatin1Char('/'), 0, 0));
        if (!m_awaiting->watch(present, FolderWatcher::Events(FolderWatcher::Created | FolderWatcher::MovedIn))) {
            qCWarning(lcCapture, "screenshot folder %s: cannot wait for it in %s", qUtf8Printable(folder),
                      qUtf8Printable(present));
            delete m_awaiting;
            m_awaiting = nullptr;
            return;
        }
        const auto again = [this, generation, folder] { awaitFolder(generation, folder); };
        connect(m_awaiting, &FolderWatcher::changed, this, again);
        connect(m_awaiting, &FolderWatcher::folderGone, this, again);
        // What was made between that look and this watch is seen by one more.
        awaitFolder(generation, folder);
        return;
    }
    delete m_awaiting;
    m_awaiting = nullptr;
    delete m_watcher;
    m_watcher = nullptr;
    // What came back with the folder is known; anything else in it is new,
    // such as the screenshot of a tool that made the folder again to save it.
    installWatch(generation, folder, listing & m_seen);
    if (!isWatching()) {
        qCWarning(lcCapture, "screenshot folder %s is back but cannot be watched", qUtf8Printable(folder));
        return;
    }
    qCInfo(lcCapture, "screenshot folder %s is back", qUtf8Printable(folder));
    scheduleLook();
}

void Capture::folderChanged(const QString &name, int eventBits)
{
    const FolderWatcher::Events events{QFlag(eventBits)};
    ++m_eventCount;
    if (name.isEmpty()) {
        // Events were lost: nothing is known about files in the making.
        m_writing.clear();
        scheduleLook();
        return;
    }
    const QString path = m_watcher->folder() + QLatin1Char('/') + name;
    if (events & FolderWatcher::Created)
        m_writing.insert(path);
    if (events & (FolderWatcher::Deleted | FolderWatcher::MovedOut)) {
        m_writing.remove(path);
        // Gone from the folder: when it comes back it is new again.
        m_renames.append({m_eventCount, path, QString()});
    }
    if (events & (FolderWatcher::ClosedWrite | FolderWatcher::MovedIn)) {
        m_writing.remove(path);
        scheduleLook();
    }
}

void Capture::folderRenamed(const QString &from, const QString &to)
{
    const QString folder = m_watcher->folder() + QLatin1Char('/');
    // The MovedOut just recorded is the first half of this rename.
    if (!m_renames.isEmpty() && m_renames.last().from == folder + from && m_renames.last().to.isEmpty())
        m_renames.last().to = folder + to;
    else
        m_renames.append({m_eventCount, folder + from, folder + to});
    m_writing.remove(folder + from);
}

void Capture::scheduleLook()
{
    if (m_looking) {
        m_lookAgain = true;
        return;
    }
    if (!m_lookTimer.isActive())
        m_lookTimer.start();
}

void Capture::look()
{
    if (!isWatching())
        return;
    m_looking = true;
    m_lookAgain = false;
    const quint64 generation = m_generation;
    const quint64 startedAt = m_eventCount;
    const QString folder = m_watcher->folder();
    const QSet<QString> known = m_seen;
    QPointer<Capture> self(this);
    QThreadPool::globalInstance()->start([self, generation, startedAt, folder, known] {
        QSet<QString> listing = imageFiles(folder);
        // A new file that is not whole yet is left for its next close.
        for (auto it = listing.begin(); it != listing.end();) {
            if (!known.contains(*it) && !isWholePicture(*it))
                it = listing.erase(it);
            else
                ++it;
        }
        Scheduler::main().post([self, generation, startedAt, listing] {
            if (self)
                self->lookFinished(generation, startedAt, listing);
        });
    });
}

void Capture::lookFinished(quint64 generation, quint64 startedAt, const QSet<QString> &listing)
{
    // Watching was switched off (or restarted) meanwhile: nothing is imported.
    if (generation != m_generation)
        return;
    m_looking = false;

    // A name change moves the file's place in `seen`; a file that left the
    // folder leaves it. Changes the listing already shows are applied before
    // it is compared, later ones after.
    const auto apply = [this](const Rename &change) {
        if (m_seen.remove(change.from) && !change.to.isEmpty())
            m_seen.insert(change.to);
    };
    for (const Rename &change : std::as_const(m_renames)) {
        if (change.at <= startedAt)
            apply(change);
    }

    QStringList fresh;
    QSet<QString> nowSeen;
    for (const QString &path : listing) {
        // A file still being written is neither taken nor remembered: it is
        // new when its writer closes it.
        if (m_writing.contains(path))
            continue;
        nowSeen.insert(path);
        if (!m_seen.contains(path))
            fresh.append(path);
    }
    m_seen = nowSeen;
    for (const Rename &change : std::as_const(m_renames)) {
        if (change.at > startedAt)
            apply(change);
    }
    m_renames.clear();

    if (!fresh.isEmpty()) {
        std::sort(fresh.begin(), fresh.end());
        // At once when loaded; before, there is no first collection yet.
        QPointer<LibraryStore> store(&m_store);
        m_store.waitUntilLoaded([store, fresh](bool loaded) {
            if (store && loaded)
                importFiles(*store, fresh, store->defaultBoardId());
        });
        emit screenshotsImported(fresh);
    }
    if (m_lookAgain) {
        m_lookAgain = false;
        scheduleLook();
    }
}

} // namespace vellora
