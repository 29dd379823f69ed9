#pragma once
// Small helpers shared by the store's tests: files in temporary folders.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

namespace storetest {

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline QStringList entries(const QString &folder, const QStringList &filters = {})
{
    return QDir(folder).entryList(filters, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

} // namespace storetest

#include "library/LibraryFile.h"

namespace storetest {

inline vellora::Board board(const QString &id, const QString &name = QStringLiteral("Board"))
{
    vellora::Board b;
    b.id = id;
    b.name = name;
    b.dateCreated = 800000000.0;
    return b;
}

// An item of `kind` whose files are named after its id the way the store
// names them (original and stored "<id>.png", thumbnail "<id>.jpg"); sizes,
// dates, hash and collections are left to the caller.
inline vellora::Item namedItem(const QString &id, const QString &kind = QStringLiteral("image"))
{
    vellora::Item i;
    i.id = id;
    i.kind = kind;
    i.originalFilename = id + QStringLiteral(".png");
    i.storedFilename = id + QStringLiteral(".png");
    i.thumbnailFilename = id + QStringLiteral(".jpg");
    return i;
}

inline vellora::Item item(const QString &id, const QStringList &collections)
{
    vellora::Item i;
    i.id = id;
    i.kind = QStringLiteral("image");
    i.originalFilename = id + QStringLiteral(".png");
    i.storedFilename = id + QStringLiteral(".png");
    i.thumbnailFilename = id + QStringLiteral(".jpg");
    i.pixelWidth = 10;
    i.pixelHeight = 10;
    i.contentHash = QStringLiteral("00");
    i.dateAdded = 800000000.0;
    i.dateCreated = 800000000.0;
    i.collectionIds = collections;
    i.fileSize = 1;
    return i;
}

// A document with the given boards and items, as the store would write it.
inline QByteArray document(const QList<vellora::Board> &boards, const QList<vellora::Item> &items = {})
{
    vellora::LibraryFile file;
    file.collections = boards;
    file.items = items;
    for (const auto &b : boards)
        file.topLevelOrder.append(b.id);
    return file.encode();
}

// A library of several MB whose items span many pages, so that its read
// gives bytes back in every part before a fault late in the list is met.
inline vellora::LibraryFile largeLibrary(bool withCollections = true)
{
    vellora::LibraryFile file;
    if (withCollections) {
        file.collections << board("B1");
        file.topLevelOrder << "B1";
    }
    for (int i = 0; i < 6000; ++i) {
        vellora::Item it = item(QStringLiteral("I%1").arg(i), {"B1"});
        it.ocrText = QStringLiteral("Recognised text %1, caf\u00e9 \"quoted\". ").arg(i).repeated(20);
        it.tags = QStringList{i % 2 ? "ui" : "web", "type"};
        file.items << it;
    }
    return file;
}

// `bytes` with `from`, first met after item `id` begins, turned into `to`.
inline QByteArray changedAfter(QByteArray bytes, const QString &id, const QByteArray &from, const QByteArray &to)
{
    const qsizetype start = bytes.indexOf("\"id\" : \"" + id.toUtf8() + '"');
    const qsizetype at = start < 0 ? -1 : bytes.indexOf(from, start);
    return at < 0 ? QByteArray() : bytes.replace(at, from.size(), to);
}

} // namespace storetest
