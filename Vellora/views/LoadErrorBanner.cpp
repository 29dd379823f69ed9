#include "LoadErrorBanner.h"

#include "Glass.h"
#include "PlainText.h"
#include "WindowBackground.h"
#include "library/LibraryFile.h"
#include "library/LibraryStore.h"
#include "platform/FileCoordination.h"
#include "platform/IntakeFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QThreadPool>

namespace vellora {

namespace {
// The largest backup a restore reads: a library file is far smaller.
constexpr qint64 kBackupSizeCap = qint64(512) * 1024 * 1024;

template <typename Fn>
void onMain(QPointer<LoadErrorBanner> self, Fn fn)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, fn = std::move(fn)]() mutable {
            if (self)
                fn(*self);
        },
        Qt::QueuedConnection);
}
} // namespace

LoadErrorBanner::LoadErrorBanner(LibraryStore &store, QWidget *parent)
    : QWidget(parent), m_store(store), m_text(plainLabel(QString(), this)), m_restore(new QPushButton(this))
{
    setAttribute(Qt::WA_StyledBackground, false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(18, 10, 12, 10);
    row->setSpacing(12);
    m_text->setWordWrap(true);
    m_text->setStyleSheet(QStringLiteral("color: rgb(240,220,210); font-size: 13px;"));
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_text, 1);
    m_restore->setText(tr("Restore Backup…"));
    m_restore->setStyleSheet(QStringLiteral(
        "QPushButton { color: rgb(240,240,240); background: rgba(255,255,255,28); border: 1px solid rgba(255,255,255,60);"
        " border-radius: 13px; padding: 4px 14px; font-size: 13px; }"
        "QPushButton:disabled { color: rgba(255,255,255,100); }"));
    row->addWidget(m_restore, 0, Qt::AlignVCenter);
    connect(m_restore, &QPushButton::clicked, this, [this] {
        QMenu *menu = buildMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(m_restore->mapToGlobal(QPoint(0, m_restore->height() + 2)));
    });
    connect(&m_store, &LibraryStore::loadErrorChanged, this, &LoadErrorBanner::refresh);
    connect(&m_store, &LibraryStore::rootChanged, this, &LoadErrorBanner::refresh);
    refresh();
}

QString LoadErrorBanner::message() const { return m_text->text(); }

void LoadErrorBanner::paintEvent(QPaintEvent *)
{
    // Opaque all over: nothing of the page may show through the warning,
    // not even at its rounded corners.
    QPainter p(this);
    p.fillRect(rect(), windowBackground());
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(6.5, 4.5, -6.5, -4.5), 12, 12);
    p.fillPath(shape, QColor(113, 35, 28));
    p.setPen(QPen(QColor(255, 255, 255, 50), 1));
    p.drawPath(shape);
}

void LoadErrorBanner::refresh()
{
    const QString error = m_store.loadError();
    setVisible(!error.isEmpty());
    if (error.isEmpty()) {
        m_backups.clear();
        return;
    }
    QString reason = error.trimmed();
    if (!reason.endsWith(QLatin1Char('.')))
        reason += QLatin1Char('.');
    m_text->setText(tr("Vellora could not open its library: %1 Nothing is saved until a backup is restored or the"
                       " file is repaired; what you change meanwhile is saved then. If you quit first, it is kept"
                       " in the backups folder and saved the next time the library opens.")
                        .arg(reason));
    m_restore->setEnabled(!m_restoring);
    const QString folder = m_store.root() + QStringLiteral("/backups");
    QPointer<LoadErrorBanner> self(this);
    QThreadPool::globalInstance()->start([self, folder] {
        const QStringList found = listBackups(folder, kMenuSize);
        onMain(self, [found](LoadErrorBanner &banner) {
            banner.m_backups = found;
            emit banner.backupsListed();
        });
    });
}

QStringList LoadErrorBanner::listBackups(const QString &backupsFolder, int limit)
{
    QStringList names = QDir(backupsFolder).entryList({QStringLiteral("library-*.json")}, QDir::Files, QDir::Name);
    // The names carry their time stamp and a counter, so name order is time order.
    std::reverse(names.begin(), names.end());
    QStringList paths;
    for (const QString &name : names.mid(0, limit))
        paths << backupsFolder + QLatin1Char('/') + name;
    return paths;
}

QString LoadErrorBanner::backupTitle(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    const qsizetype end = name.indexOf(QLatin1Char('Z'));
    if (name.startsWith(QLatin1String("library-")) && end > 8) {
        QDateTime moment = QDateTime::fromString(name.mid(8, end - 8), QStringLiteral("yyyy-MM-dd'T'HH-mm-ss.zzz"));
        if (moment.isValid()) {
            moment.setTimeSpec(Qt::UTC);
            return QLocale().toString(moment.toLocalTime(), QStringLiteral("d MMM yyyy, HH:mm:ss"));
        }
    }
    return name;
}

QMenu *LoadErrorBanner::buildMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    if (m_backups.isEmpty()) {
        QAction *none = menu->addAction(tr("No backups"));
        none->setObjectName(QStringLiteral("noBackups"));
        none->setEnabled(false);
        return menu;
    }
    for (const QString &path : std::as_const(m_backups))
        menu->addAction(actionText(backupTitle(path)), this, [this, path] { restoreBackup(path); })
            ->setObjectName(QStringLiteral("restore:") + QFileInfo(path).fileName());
    return menu;
}

void LoadErrorBanner::restoreBackup(const QString &path)
{
    if (m_restoring || m_store.loadError().isEmpty())
        return;
    m_restoring = true;
    m_restore->setEnabled(false);
    const QString target = m_store.root() + QStringLiteral("/library.json");
    QPointer<LoadErrorBanner> self(this);
    QThreadPool::globalInstance()->start([self, path, target] {
        QString failure;
        const QFileInfo info(path);
        std::optional<QByteArray> bytes;
        if (!info.isFile() || info.isSymLink() || info.size() > kBackupSizeCap)
            failure = tr("The backup is not a library file.");
        // Read on the descriptor itself: a link or a larger file put there
        // since the look above is refused too.
        else if (!(bytes = readIntakeFile(path, LinkPolicy::Refuse, kBackupSizeCap)))
            failure = tr("The backup could not be read.");
        if (failure.isEmpty()) {
            try {
                const LibraryFile file = LibraryFile::decode(*bytes);
                if (file.collections.isEmpty())
                    failure = tr("The backup holds no collection.");
            } catch (const std::exception &) {
                failure = tr("The backup is damaged too.");
            }
        }
        if (failure.isEmpty()) {
            try {
                coordinatedWrite(target, *bytes);
            } catch (const FileError &error) {
                failure = error.description();
            }
        }
        onMain(self, [failure](LoadErrorBanner &banner) {
            banner.m_restoring = false;
            if (!failure.isEmpty()) {
                banner.m_restore->setEnabled(true);
                banner.refresh();
                banner.m_text->setText(banner.m_text->text() + tr(" The restore failed: %1").arg(failure));
                emit banner.restoreFinished(false, failure);
                return;
            }
            banner.m_store.loadAgain();
            emit banner.restoreFinished(true, QString());
        });
    });
}

} // namespace vellora
