#pragma once
// The real main window over a real store on a temporary library whose texts
// came from outside and hold markup: a link whose page sent a heading and a
// local picture as its title, a picture whose file name is a tag, a
// collection named by another person's shared record, a smart folder whose
// rule the model wrote. The library folder's own name holds markup too, and
// the sharing service refuses every call in words that hold markup.

#include "LoopbackHttpServer.h"

#include "app/AppState.h"
#include "app/MainWindow.h"
#include "library/LibraryStore.h"
#include "sharing/CollectionSharing.h"
#include "sharing/HttpCloud.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "views/Inspector.h"

#include "ZezevavEri/ScatterGridController.h"
#include "ZezevavEri/ScatterGridView.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace markup {

inline const QString kPageTitle = QStringLiteral(
    "<h1 style=\"font-size:60px\">Big</h1><img src=\"file:///usr/share/backgrounds/mate/nature/Garden.jpg\">");
inline const QString kSiteName = QStringLiteral("<b>Shop</b> & <i>Co</i>");
inline const QString kSummary = QStringLiteral("<h2>Summary</h2> of <u>the page</u>");
inline const QString kPoint = QStringLiteral("<font color=red>point</font>");
inline const QString kCategory = QStringLiteral("<b>store</b>");
inline const QString kAuthor = QStringLiteral("<a href=\"https://evil.example\">me</a>");
inline const QString kPageText = QStringLiteral("<p>What to Include</p> in a <b>brief</b>");
inline const QString kSnapshotText = QStringLiteral("Whatto Include");
inline const QString kFileName = QStringLiteral("<img src=x onerror=1>.png");
inline const QString kRecognised = QStringLiteral("<h3>SALE</h3> 50% &amp; more");
inline const QString kBoardName = QStringLiteral("<h1>Mood</h1> & <i>friends</i>");
inline const QString kSmartName = QStringLiteral("<u>Deals</u>");
inline const QString kRuleText = QStringLiteral("<b>sale</b>");
inline const QString kServerWords = QStringLiteral("<h2>Refused</h2> by <a href=\"https://evil.example\">us</a>");

inline vellora::Item withThumbnail(vellora::Item item, const QString &root, const QColor &colour)
{
    item.thumbnailFilename = item.id + QStringLiteral(".jpg");
    item.pixelWidth = 400;
    item.pixelHeight = 300;
    QImage thumb(400, 300, QImage::Format_RGB32);
    thumb.fill(colour);
    QDir().mkpath(root + QStringLiteral("/thumbnails"));
    thumb.save(root + QStringLiteral("/thumbnails/") + item.thumbnailFilename, "JPEG", 85);
    return item;
}

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<vellora::Defaults> settings;
    std::unique_ptr<vellora::LibraryStore> store;
    LoopbackHttpServer service;
    std::unique_ptr<vellora::CollectionSharing> sharing;
    zezevaveri::ScatterGridController grid;
    std::unique_ptr<vellora::AppState> state;
    std::unique_ptr<vellora::MainWindow> window;

    Fixture()
    {
        using namespace vellora;
        settings = std::make_unique<Defaults>(dir.filePath(QStringLiteral("settings.conf")));
        store = std::make_unique<LibraryStore>(dir.filePath(QStringLiteral("<b>Library</b>")), false, *settings);
        store->replaceCollections({{"B1", "Inbox", 1.0, {}, {}, {}}, {"B2", kBoardName, 2.0, {}, {}, {}}});
        store->replaceSmartFolders({{"S1", kSmartName, "all", {Rule::textContains(kRuleText)}}});
        const QString root = store->root();

        Item link;
        link.id = QStringLiteral("L");
        link.kind = QStringLiteral("link");
        link.originalFilename = QStringLiteral("L.jpg");
        link.storedFilename = QStringLiteral("L.jpg");
        link.contentHash = QStringLiteral("L");
        link.dateAdded = link.dateCreated = 2;
        link.collectionIds = {QStringLiteral("B2")};
        link.sourceURL = QStringLiteral("https://shop.example/brief");
        link.title = kPageTitle;
        link.siteName = kSiteName;
        link.snapshotDate = 1;
        link.pageText = kPageText;
        link.ocrText = kSnapshotText;
        LinkInsight insight;
        insight.summary = kSummary;
        insight.keyPoints = {kPoint};
        insight.category = kCategory;
        insight.entities.author = kAuthor;
        link.insight = insight;

        Item picture;
        picture.id = QStringLiteral("P");
        picture.kind = QStringLiteral("image");
        picture.originalFilename = kFileName;
        picture.storedFilename = QStringLiteral("P.png");
        picture.contentHash = QStringLiteral("P");
        picture.dateAdded = picture.dateCreated = 1;
        picture.collectionIds = {QStringLiteral("B1")};
        picture.ocrText = kRecognised;

        store->appendItems({withThumbnail(link, root, QColor(40, 90, 200)), withThumbnail(picture, root, QColor(200, 120, 60))});

        // A shared collection's share loads (a share record with nobody in
        // it, which also stands for its root record); changing it and
        // looking up an invitation are refused.
        const QJsonObject share{{QStringLiteral("type"), QStringLiteral("cloudkit.share")},
                                {QStringLiteral("name"), QStringLiteral("S")},
                                {QStringLiteral("fields"), QJsonObject{{QStringLiteral("share"), QStringLiteral("S")}}}};
        service.set("/v1/private/records/lookup",
                    {.contentType = "application/json", .body = QJsonDocument(share).toJson(QJsonDocument::Compact)});
        const QByteArray refusal =
            QJsonDocument(QJsonObject{{QStringLiteral("error"), int(CloudNotAuthenticated)},
                                      {QStringLiteral("message"), kServerWords}})
                .toJson(QJsonDocument::Compact);
        for (const QByteArray path : {QByteArrayLiteral("/v1/private/records/modify"), QByteArrayLiteral("/v1/shares/metadata")})
            service.set(path, {.status = 401, .contentType = "application/json", .body = refusal});
        const QUrl address(service.url(QString()));
        sharing = std::make_unique<CollectionSharing>(*store, *settings, [address](QObject *parent) -> CloudContainer * {
            return new HttpCloudContainer(address, QStringLiteral("token"), parent);
        });
        state = std::make_unique<AppState>(*store, *settings, grid);
        state->setHooks(windowHooks(nullptr));
        state->setSelection(QStringLiteral("all"));
        state->setInspectorVisible(true);
        window = std::make_unique<MainWindow>(*state);
        window->resize(1100, 700);
    }

    void show()
    {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
    }

    zezevaveri::ScatterGridView *gridView() const { return window->grid(); }

    QPoint centreOf(const QString &id) const
    {
        const int index = gridView()->engine().indexOf(id);
        if (index < 0)
            return {};
        const QRectF frame = gridView()->engine().frames().at(size_t(index));
        return frame.center().toPoint() - QPoint(0, gridView()->verticalScrollBar()->value());
    }

    // Ctrl-click, as a person picks a tile without opening it.
    void pick(const QString &id)
    {
        QTRY_VERIFY(gridView()->engine().indexOf(id) >= 0 && !gridView()->engine().frames().empty());
        QTest::mouseClick(gridView()->viewport(), Qt::LeftButton, Qt::ControlModifier, centreOf(id));
        QTRY_VERIFY(state->selectedIds().contains(id));
    }
};

} // namespace markup
