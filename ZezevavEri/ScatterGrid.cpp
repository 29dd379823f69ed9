#include "ScatterGrid.h"

#include <QCoreApplication>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace zezevaveri {

ScatterGridView *ScatterGrid::makeView(QWidget *parent) const
{
    auto *view = new ScatterGridView(parent);
    ScatterConfig initial = view->config();
    initial.background = config.background.isValid() ? config.background : QColor(Qt::black);
    view->setConfig(initial);
    return view;
}

void ScatterGrid::update(ScatterGridView &view, Coordinator &coordinator) const
{
    view.setContent(content);
    view.onOpen = onOpen;
    view.onActivate = onActivate;
    // The selection reaches the application after the grid's own event
    // handling has finished.
    QPointer<ScatterGridView> guard(&view);
    view.onSelect = [select = onSelect, guard](const QStringList &ids) {
        if (!select)
            return;
        QTimer::singleShot(0, guard ? static_cast<QObject *>(guard.data()) : QCoreApplication::instance(), [select, ids] { select(ids); });
    };
    view.onDelete = onDelete;
    view.onDropURLs = onDropURLs;
    view.onPaste = onPaste;
    view.onKey = onKey;
    view.tileMenu = tileMenu;
    view.dragURL = dragURL;
    view.dragData = dragData;
    view.setStageOverlay(stageOverlay);
    view.setTileIcon(tileIcon);
    view.hoverOverlay = hoverOverlay;

    // A living grid takes a new configuration only when its geometry changed.
    if (config.rowHeight != view.config().rowHeight || config.gap != view.config().gap) {
        view.setConfig(config);
        view.setNeedsLayout();
    }

    if (glideKey != coordinator.glideKey) {
        coordinator.glideKey = glideKey;
        view.glideFor(kGlideSeconds);
    }

    if (!view.showsItems(items))
        view.setItems(items);

    if (controller && controller->grid() != &view)
        controller->attach(&view);

    if (header) {
        if (!coordinator.headerHost) {
            coordinator.headerHost = new QWidget;
            auto *layout = new QVBoxLayout(coordinator.headerHost);
            layout->setContentsMargins(0, 0, 0, 0);
        }
        QWidget *host = coordinator.headerHost;
        if (header->parentWidget() != host) {
            auto *layout = host->layout();
            while (QLayoutItem *old = layout->takeAt(0)) {
                if (QWidget *w = old->widget(); w && w != header)
                    w->hide();
                delete old;
            }
            layout->addWidget(header);
            header->show();
        }
        if (view.headerView() != host)
            view.setHeaderView(host);
        const double fitting = host->hasHeightForWidth() ? host->heightForWidth(view.viewport()->width())
                                                         : host->sizeHint().height();
        if (std::abs(fitting - host->height()) > 0.5)
            view.setNeedsLayout();
    } else if (view.headerView()) {
        view.setHeaderView(nullptr);
    }
}

} // namespace zezevaveri
