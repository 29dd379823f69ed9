#pragma once
// The bridge the application's grid screen keeps: a value describing the
// grid it wants. `makeView` builds the view once; `update` brings a living
// view in line with the value, touching only what changed.

#include "ScatterGridController.h"
#include "ScatterGridView.h"

#include <QList>
#include <QPointer>
#include <QVariant>

namespace zezevaveri {

struct ScatterGrid {
    QList<ScatterItem> items;
    ScatterConfig config;
    ContentSource content;
    // A change of this key makes the layouts of the next 0.35 s glide.
    QVariant glideKey;
    std::function<void(const QString &)> onActivate;
    std::function<void(const std::optional<QString> &)> onOpen;
    std::function<void(const QStringList &)> onSelect;
    std::function<void(const QString &)> onDelete;
    std::function<void(const QList<QUrl> &)> onDropURLs;
    std::function<void()> onPaste;
    std::function<bool(QKeyEvent *, const std::optional<QString> &)> onKey;
    std::function<QMenu *(const QString &)> tileMenu;
    std::function<QUrl(const QString &)> dragURL;
    std::function<QMimeData *(const QString &)> dragData;
    QWidget *stageOverlay = nullptr;
    std::function<QImage(const QString &)> tileIcon;
    std::function<QWidget *(const ScatterItem &, std::function<void()> open)> hoverOverlay;
    ScatterGridController *controller = nullptr;
    QWidget *header = nullptr;

    // What the bridge keeps between updates.
    struct Coordinator {
        QVariant glideKey;
        // Holds the header content; becomes the view's header view.
        QPointer<QWidget> headerHost;
    };

    static constexpr double kGlideSeconds = 0.35;

    Coordinator makeCoordinator() const { return Coordinator{glideKey, nullptr}; }
    ScatterGridView *makeView(QWidget *parent = nullptr) const;
    void update(ScatterGridView &view, Coordinator &coordinator) const;
};

} // namespace zezevaveri
