#pragma once
// A small library for the panel tests, written to a temporary folder and
// opened by a store, plus the screenshot helpers: every picture a test takes
// is kept under the build folder (screenshots/) to be looked at.

#include "../library/StoreFixtures.h"

#include "library/LibraryFile.h"
#include "library/LibraryStore.h"
#include "platform/Clock.h"
#include "platform/Defaults.h"
#include "platform/FileCoordination.h"

#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QWidget>
#include <memory>

namespace paneltest {

inline vellora::Item image(const QString &id, const QStringList &collections)
{
    vellora::Item i = storetest::item(id, collections);
    i.pixelWidth = 400;
    i.pixelHeight = 300;
    i.contentHash = id;
    i.dateAdded = i.dateCreated = vellora::now() - 3600;
    return i;
}

inline vellora::Item link(const QString &id, const QString &url, const QStringList &collections)
{
    vellora::Item i = image(id, collections);
    i.kind = QStringLiteral("link");
    i.sourceURL = url;
    return i;
}

inline vellora::Board board(const QString &id, const QString &name)
{
    vellora::Board b = storetest::board(id, name);
    b.dateCreated = vellora::now() - 86400;
    return b;
}

// A library folder with library.json written from `file`.
struct Library {
    QTemporaryDir dir;
    std::unique_ptr<vellora::Defaults> settings;
    std::unique_ptr<vellora::LibraryStore> store;

    explicit Library(const vellora::LibraryFile &file)
    {
        const QString root = dir.path() + QStringLiteral("/Library");
        QDir().mkpath(root);
        vellora::writeFileAtomically(root + QStringLiteral("/library.json"), file.encode());
        settings = std::make_unique<vellora::Defaults>(dir.path() + QStringLiteral("/settings.conf"));
        store = std::make_unique<vellora::LibraryStore>(root, false, *settings);
    }
    QString root() const { return store->root(); }
};

inline vellora::LibraryFile document(const QList<vellora::Board> &boards, const QList<vellora::Item> &items,
                                     const QList<vellora::SmartFolder> &folders = {})
{
    vellora::LibraryFile file;
    file.collections = boards;
    file.items = items;
    file.smartFolders = folders;
    for (const auto &b : boards)
        file.topLevelOrder.append(b.id);
    return file;
}

// Grabs the widget, keeps the picture as screenshots/<name>.png, returns it.
inline QImage shoot(QWidget &widget, const QString &name)
{
    widget.ensurePolished();
    const QImage picture = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    picture.save(QStringLiteral(SCREENSHOT_DIR "/%1.png").arg(name));
    return picture;
}

// The mean brightness (0-255) of a rectangle of the picture.
inline double brightness(const QImage &picture, const QRect &area)
{
    const QRect r = area.intersected(picture.rect());
    if (r.isEmpty())
        return -1;
    double sum = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            sum += qGray(picture.pixel(x, y));
    return sum / double(r.width() * r.height());
}

// How many pixels of the area are brighter than `level` (text, symbols).
inline int brightPixels(const QImage &picture, const QRect &area, int level = 150)
{
    const QRect r = area.intersected(picture.rect());
    int count = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            count += qGray(picture.pixel(x, y)) > level ? 1 : 0;
    return count;
}

// Whether some pixel of the area is within `tolerance` of `colour` on every channel.
inline bool hasColour(const QImage &picture, const QRect &area, const QColor &colour, int tolerance = 40)
{
    const QRect r = area.intersected(picture.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = picture.pixel(x, y);
            if (qAbs(qRed(p) - colour.red()) <= tolerance && qAbs(qGreen(p) - colour.green()) <= tolerance
                && qAbs(qBlue(p) - colour.blue()) <= tolerance)
                return true;
        }
    return false;
}

} // namespace paneltest
