#include "library/Records.h"

#include <QTest>

#include <nlohmann/json.hpp>

using namespace vellora;

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void minimalItemRoundTrips();
};

void TestRecords::minimalItemRoundTrips()
{
    const QByteArray doc = R"({"collections":[{"id":"B","name":"Inbox","dateCreated":1,"groups":[]}],
        "items":[{"id":"I","kind":"link","originalFilename":"a/b","storedFilename":"I.png","thumbnailFilename":"I.jpg",
        "pixelWidth":2,"pixelHeight":3,"contentHash":"link:https://x.org/","dateAdded":0.5,"dateCreated":7,
        "collectionIds":["B"],"tags":null}],"topLevelOrder":["B"]})";
    const LibraryFile file = LibraryFile::decode(doc);
    QCOMPARE(file.items.size(), 1);
    QVERIFY(!file.items[0].tags);
    QVERIFY(!file.smartFolders);
    const QByteArray out = file.encode();
    qDebug().noquote() << out;
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
