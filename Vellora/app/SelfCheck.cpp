#include "SelfCheck.h"

#include "DesktopPictures.h"

#include "ZezevavEri/ScatterGridView.h"
#include "enrichment/RuleDraft.h"
#include "library/LibraryFileAccess.h"
#include "library/LibraryLocation.h"
#include "library/LibraryStore.h"
#include "library/LibraryStoreMedia.h"
#include "library/SmartFolder.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"
#include "platform/ImageIO.h"
#include "platform/Uuid.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>

#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>

namespace vellora {

namespace {

Q_LOGGING_CATEGORY(lcSelfCheck, "com.quendle.vellora.selfcheck")

constexpr int kScaleCount = 2000;
constexpr double kThirtyOneDays = 2678400.0;

// Throws when the check does not hold, or when the test switch names its step.
void require(bool holds, const char *step, const QString &what)
{
    static const QString injected = qEnvironmentVariable("VELLORA_SELFCHECK_FAIL");
    const QString name = QString::fromLatin1(step);
    if (!holds)
        throw SelfCheckFailure(name, what);
    if (name == injected)
        throw SelfCheckFailure(name, what + QStringLiteral(" (failure requested by VELLORA_SELFCHECK_FAIL)"));
}

QString tempPath(const QString &name)
{
    return QDir(QDir::tempPath()).filePath(name);
}

// The items of a section as the browser shows them: "trash" holds the
// trashed items, a collection id its members outside the trash.
QList<Item> sectionItems(const LibraryStore &store, const QString &section)
{
    QList<Item> result;
    for (const Item &item : store.items()) {
        const bool inSection = section == QLatin1String("trash")
                                   ? bool(item.trashedAt)
                                   : !item.trashedAt && item.collectionIds.contains(section);
        if (inSection)
            result.append(item);
    }
    return result;
}

QStringList ids(const QList<Item> &items)
{
    QStringList result;
    for (const Item &item : items)
        result.append(item.id);
    return result;
}

int matchCount(const LibraryStore &store, const SmartFolder &folder)
{
    int count = 0;
    for (const Item &item : store.items())
        if (folder.matches(item))
            ++count;
    return count;
}

SmartFolder folderWith(const QString &match, const QList<Rule> &rules)
{
    return SmartFolder{newUUIDString(), QStringLiteral("check"), match, rules};
}

// The way a date reads in the program's plain text output.
QString dateText(double referenceSeconds)
{
    return dateFromReferenceSeconds(referenceSeconds).toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
           + QStringLiteral(" +0000");
}

QString firstId(const LibraryStore &store)
{
    require(!store.items().isEmpty(), "trash", QStringLiteral("the store has no items"));
    return store.items().first().id;
}

// The scratch settings scope of every throw-away store of one run.
struct ScratchSettings {
    QTemporaryDir folder{tempPath(QStringLiteral("vellora-selfcheck-settings-XXXXXX"))};
    std::unique_ptr<Defaults> defaults;

    ScratchSettings()
    {
        if (!folder.isValid())
            throw SelfCheckFailure(QStringLiteral("settings"), QStringLiteral("cannot make a scratch settings folder"));
        defaults = std::make_unique<Defaults>(folder.filePath(QStringLiteral("Vellora.conf")));
    }
};

ScratchSettings *g_settings = nullptr;

Defaults &scratchSettings()
{
    Q_ASSERT(g_settings);
    return *g_settings->defaults;
}

std::unique_ptr<LibraryStore> throwAwayStore(const QString &root)
{
    return std::make_unique<LibraryStore>(root, false, scratchSettings());
}

void checkMedia(const LibraryStore &store, const QString &root)
{
    const QDir thumbnails(QDir(root).filePath(QStringLiteral("thumbnails")));
    const QDir covers(QDir(root).filePath(QStringLiteral("covers")));
    for (const Item &item : store.items())
        require(QFileInfo::exists(thumbnails.filePath(item.thumbnailFilename)), "thumbnails",
                QStringLiteral("no thumbnail for %1").arg(item.originalFilename));
    for (const Item &item : store.items()) {
        const QString cover = covers.filePath(item.thumbnailFilename);
        const QString chosen = QFileInfo::exists(cover) ? cover : thumbnails.filePath(item.thumbnailFilename);
        require(QFileInfo(chosen).dir().dirName() == QLatin1String("covers"), "covers",
                QStringLiteral("no cover for %1").arg(item.originalFilename));
    }
}

void checkTrashAndCollections(LibraryStore &store, const QString &root)
{
    const QDir originals(QDir(root).filePath(QStringLiteral("originals")));

    const QString t = store.createCollection(QStringLiteral("Trash test"));
    const QString id = firstId(store);
    store.setCollections({t}, id);
    store.trash({id});
    require(ids(sectionItems(store, QStringLiteral("trash"))) == QStringList{id}, "trash",
            QStringLiteral("the trash does not hold exactly the trashed item"));
    require(!ids(store.activeItems()).contains(id), "trash", QStringLiteral("a trashed item is still active"));
    require(sectionItems(store, t).isEmpty(), "trash", QStringLiteral("a trashed item is still in its collection"));
    require(QFileInfo::exists(originals.filePath(store.items().first().storedFilename)), "trash",
            QStringLiteral("trashing removed the original"));
    store.restore({id});
    require(store.items().first().collectionIds == QStringList{t}, "trash",
            QStringLiteral("a restored item is not back in its collection"));
    require(!store.items().first().trashedAt, "trash", QStringLiteral("a restored item still has a trash date"));
    require(sectionItems(store, QStringLiteral("trash")).isEmpty(), "trash",
            QStringLiteral("the trash is not empty after the restore"));
    store.deleteCollection(t);

    const QString b = store.createCollection(QStringLiteral("Board"));
    store.setCollections({b}, firstId(store));
    store.deleteCollection(b);
    require(store.items().first().collectionIds == QStringList{store.defaultBoardId()}, "collections",
            QStringLiteral("the members of a deleted collection did not move to the default collection"));
}

void checkPurge(LibraryStore &store)
{
    const QString id = firstId(store);
    store.trash({id});
    store.purgeTrash(30);
    require(store.items().size() == 2, "purge", QStringLiteral("an item trashed just now was purged"));
    store.updateItem(id, [](Item &item) {
        if (item.trashedAt)
            *item.trashedAt -= kThirtyOneDays;
    });
    store.purgeTrash(30);
    require(store.items().size() == 1, "purge", QStringLiteral("an item trashed 31 days ago was not purged"));
}

void runChecks(const QString &root, const QStringList &pictures)
{
    auto store = throwAwayStore(root);
    const int added = addFiles(*store, pictures, store->defaultBoardId());
    require(added == 3 && store->items().size() == 3, "import",
            QStringLiteral("imported %1 of 3 pictures, the store holds %2 items").arg(added).arg(store->items().size()));
    checkMedia(*store, root);

    const int again = addFiles(*store, {pictures.first()}, store->defaultBoardId());
    require(again == 0 && store->items().size() == 3, "duplicate",
            QStringLiteral("a picture already in the library was imported again"));

    {
        auto second = throwAwayStore(root);
        require(second->items().size() == 3, "reopen",
                QStringLiteral("a second store reads %1 items").arg(second->items().size()));
        require(!second->collections().isEmpty() && second->collections().first().name == QLatin1String("Inbox"),
                "reopen", QStringLiteral("the first collection is not \"Inbox\""));
    }

    const Item first = store->items().first();
    store->deletePermanently(first.id);
    require(store->items().size() == 2, "delete", QStringLiteral("a deleted item is still in the store"));
    require(!QFileInfo::exists(QDir(root).filePath(QStringLiteral("originals/") + first.storedFilename)), "delete",
            QStringLiteral("a deleted item's original is still there"));
    require(!QFileInfo::exists(QDir(root).filePath(QStringLiteral("thumbnails/") + first.thumbnailFilename)),
            "delete", QStringLiteral("a deleted item's thumbnail is still there"));

    checkTrashAndCollections(*store, root);
    selfCheckRules(*store);
    checkPurge(*store);
    selfCheckMigration(pictures);
    selfCheckScale();
    require(QThread::currentThread() == QCoreApplication::instance()->thread(), "grid",
            QStringLiteral("the grid check runs off the main thread"));
    selfCheckGrid();

    const std::optional<double> synced = store->lastSyncedAt();
    require(bool(synced), "lastSyncedAt", QStringLiteral("the store never recorded a sync time"));
    printLine(QStringLiteral("lastSyncedAt: ") + dateText(*synced));
}

} // namespace

SelfCheckFailure::SelfCheckFailure(const QString &step, const QString &what)
    : std::runtime_error((step + QStringLiteral(": ") + what).toStdString()), m_step(step)
{
}

void removeIfPresent(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

bool makeTestImage(int index, const QStringList &urls)
{
    if (index < 0 || index >= urls.size())
        return false;
    auto *random = QRandomGenerator::global();
    const int width = 200 + int(random->bounded(1401));
    const int height = 200 + int(random->bounded(1401));
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return false;
    image.fill(QColor::fromRgbF(float(index % 256) / 255.0f, float(index / 256) * 0.125f, 0.5f, 1.0f));
    const QByteArray png = encodePNG(image);
    if (png.isEmpty())
        return false;
    QSaveFile file(urls.at(index));
    return file.open(QIODevice::WriteOnly) && file.write(png) == png.size() && file.commit();
}

void selfCheckRules(LibraryStore &store)
{
    require(store.items().size() == 2, "rules", QStringLiteral("the store holds %1 items, not 2").arg(store.items().size()));
    store.updateItem(store.items().at(0).id, [](Item &item) { item.tags = QStringList{QStringLiteral("sky")}; });
    store.updateItem(store.items().at(1).id, [](Item &item) { item.tags.reset(); });

    const QList<Rule> skyOrUntagged{Rule::tagsAny({QStringLiteral("sky")}), Rule::noTags()};
    require(matchCount(store, folderWith(QStringLiteral("all"),
                                         {Rule::kind(QStringLiteral("image")), Rule::tagsAny({QStringLiteral("Sky")})}))
                == 1,
            "rules", QStringLiteral("an image tagged \"Sky\", any case: not exactly one match"));
    require(matchCount(store, folderWith(QStringLiteral("any"), skyOrUntagged)) == 2, "rules",
            QStringLiteral("tagged \"sky\" or untagged: not two matches"));
    require(matchCount(store, folderWith(QStringLiteral("all"), {Rule::addedWithinDays(7)})) == 2, "rules",
            QStringLiteral("added within 7 days: not two matches"));

    const SmartFolder folder{newUUIDString(), QStringLiteral("b"), QStringLiteral("any"), skyOrUntagged};
    SmartFolder decoded;
    try {
        decoded = SmartFolder::fromJSON(nlohmann::json::parse(folder.toJSON().dump()));
    } catch (const std::exception &error) {
        throw SelfCheckFailure(QStringLiteral("rules"),
                               QStringLiteral("smart folder coding: ") + QString::fromUtf8(error.what()));
    }
    require(decoded.id == folder.id && decoded.name == folder.name && decoded.match == folder.match
                && decoded.rules == folder.rules,
            "rules", QStringLiteral("a smart folder changed through JSON"));

    const RuleDraft draft{QUuid::createUuid(), RuleDraft::Kind::ColourNear, QStringLiteral("#C8A070")};
    const std::optional<Rule> rule = draft.rule();
    require(rule && rule->ruleCase == Rule::Case::ColourNear && rule->text == QLatin1String("#C8A070")
                && rule->tolerance == 30.0,
            "rules", QStringLiteral("the editor row colour near #C8A070 does not make colourNear #C8A070 within 30"));
}

void selfCheckMigration(const QStringList &pictures)
{
    const QString base = tempPath(QStringLiteral("vellora-migrate-") + newUUIDString());
    const QString local = base + QStringLiteral("/Vellora");
    const QString cloud = base + QStringLiteral("/Vellora.library");
    const QString other = base + QStringLiteral("/Other");
    const int n = int(pictures.size());
    const auto ignore = [](const QString &) {};
    const auto move = [&](const QString &from, const QString &to, const QString &backup) {
        try {
            return LibraryLocation::moveContents(from, to, backup, ignore);
        } catch (const std::exception &error) {
            throw SelfCheckFailure(QStringLiteral("migration"),
                                   QStringLiteral("moving %1 to %2: %3").arg(from, to, QString::fromUtf8(error.what())));
        }
    };
    const auto itemsAt = [](const QString &root) { return throwAwayStore(root)->items().size(); };

    {
        auto store = throwAwayStore(local);
        require(addFiles(*store, pictures, store->defaultBoardId()) == n, "migration",
                QStringLiteral("the pictures did not all go into the library to move"));
    }

    const LibraryLocation::MigrationResult r1 = move(local, cloud, QStringLiteral("Vellora.local-backup"));
    require(r1.moved.value(QStringLiteral("originals")) == n && r1.moved.value(QStringLiteral("thumbnails")) == n
                && r1.moved.value(QStringLiteral("library.json")) == 1,
            "migration", QStringLiteral("the first move did not count every original, thumbnail and library.json"));
    require(!QFileInfo::exists(local) && QFileInfo::exists(base + QStringLiteral("/Vellora.local-backup")), "migration",
            QStringLiteral("the moved folder was not set aside as \"Vellora.local-backup\""));
    require(itemsAt(cloud) == n, "migration", QStringLiteral("the moved library lost items"));

    const LibraryLocation::MigrationResult r2 = move(cloud, local, QStringLiteral("Vellora.icloud-backup"));
    require(r2.moved.value(QStringLiteral("originals")) == n, "migration",
            QStringLiteral("the move back did not count every original"));
    require(itemsAt(local) == n, "migration", QStringLiteral("the library moved back lost items"));

    throwAwayStore(other);
    const LibraryLocation::MigrationResult r3 = move(local, other, QStringLiteral("x"));
    require(r3.reusedExisting, "migration", QStringLiteral("a move onto an existing library did not keep it"));

    for (int i = 0; i < 25; ++i)
        writeLibraryBackup(QByteArrayLiteral("{}"), local, QStringLiteral("library"));
    const QDir backups(local + QStringLiteral("/backups"));
    require(backups.exists(), "migration", QStringLiteral("cannot list %1").arg(backups.path()));
    const QStringList kept = backups.entryList({QStringLiteral("library-*")}, QDir::Files | QDir::Hidden);
    require(kept.size() == 20, "migration",
            QStringLiteral("%1 \"library-\" backups are kept, not 20").arg(kept.size()));

    removeIfPresent(base);
}

void selfCheckScale()
{
    const QString dir = tempPath(QStringLiteral("vellora-scale"));
    // A library left by an earlier run would hold the same pictures already.
    removeIfPresent(dir);
    QDir().mkpath(dir);
    const QString src = dir + QStringLiteral("/src");
    const QString lib = dir + QStringLiteral("/library");
    require(QDir().mkpath(src), "scale", QStringLiteral("cannot create %1").arg(src));

    QStringList urls;
    urls.reserve(kScaleCount);
    for (int i = 0; i < kScaleCount; ++i)
        urls.append(src + QStringLiteral("/img") + QString::number(i) + QStringLiteral(".png"));

    std::atomic<int> failed{-1};
    {
        QThreadPool pool;
        for (int i = 0; i < kScaleCount; ++i)
            pool.start([i, &urls, &failed] {
                if (!makeTestImage(i, urls)) {
                    int none = -1;
                    failed.compare_exchange_strong(none, i);
                }
            });
        pool.waitForDone();
    }
    require(failed.load() < 0, "scale", QStringLiteral("cannot write %1").arg(urls.value(failed.load())));

    auto store = throwAwayStore(lib);
    QElapsedTimer timer;
    timer.start();
    const int added = addFiles(*store, urls, store->defaultBoardId());
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    require(added == kScaleCount && store->items().size() == kScaleCount, "scale",
            QStringLiteral("imported %1 of %2 pictures, the store holds %3 items")
                .arg(added)
                .arg(kScaleCount)
                .arg(store->items().size()));
    printLine(QStringLiteral("scale: imported %1 in %2 s -> %3").arg(kScaleCount).arg(seconds, 0, 'f', 2).arg(lib));
}

void selfCheckGrid()
{
    using zezevaveri::ScatterGridView;
    using zezevaveri::ScatterItem;
    ScatterGridView view(QRect(0, 0, 800, 600));
    QList<ScatterItem> items;
    for (int i = 0; i < 4; ++i)
        items.append(ScatterItem{QString::number(i), 1.0, QString(), QString(), 0, false, i == 2});
    view.setItems(items);
    view.layout();
    view.open(QStringLiteral("1"));
    const auto focused = [&view] { return view.focusedID().value_or(QString()); };
    view.nudgeForward();
    require(focused() == QLatin1String("3"), "grid",
            QStringLiteral("one step forward from \"1\" focuses \"%1\", not \"3\"").arg(focused()));
    view.nudgeForward();
    require(focused() == QLatin1String("3"), "grid",
            QStringLiteral("a step past the last tile focuses \"%1\"").arg(focused()));
    view.nudgeBack();
    view.nudgeBack();
    view.nudgeBack();
    require(focused() == QLatin1String("0"), "grid",
            QStringLiteral("three steps back focus \"%1\", not \"0\"").arg(focused()));
    printLine(QStringLiteral("step ok"));
}

int runSelfCheck()
{
    return runSelfCheck(desktopPictureFolders());
}

int runSelfCheck(const QStringList &pictureFolders)
{
    const QString root = tempPath(QStringLiteral("vellora-selfcheck-") + newUUIDString());
    const QStringList pictures = desktopPictures(pictureFolders, 3);
    if (pictures.size() < 3) {
        printLine(QStringLiteral("selfcheck skipped: need 3 desktop pictures"));
        removeIfPresent(root);
        return 0;
    }
    try {
        ScratchSettings settings;
        g_settings = &settings;
        struct Reset {
            ~Reset() { g_settings = nullptr; }
        } reset;
        runChecks(root, pictures);
    } catch (const SelfCheckFailure &failure) {
        qCCritical(lcSelfCheck).noquote() << "selfcheck failed:" << failure.what();
        return 1;
    } catch (const std::exception &error) {
        // A step that throws on its own (a file error of the store, memory)
        // fails the run the same way.
        qCCritical(lcSelfCheck).noquote() << "selfcheck failed:" << error.what();
        return 1;
    }
    printLine(QStringLiteral("selfcheck ok"));
    removeIfPresent(root);
    return 0;
}

} // namespace vellora
