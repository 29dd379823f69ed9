#pragma once
// The application's handle on a grid view: opens, pages, scrolls and selects
// on whatever view is attached, and keeps an id to open until one is.

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <optional>

namespace zezevaveri {

class ScatterGridView;

class ScatterGridController : public QObject {
    Q_OBJECT
public:
    explicit ScatterGridController(QObject *parent = nullptr) : QObject(parent) {}

    ScatterGridView *grid() const { return m_grid; }
    const std::optional<QString> &pending() const { return m_pending; }

    // Keeps the view weakly and opens the pending id on it.
    void attach(ScatterGridView *grid);
    void open(const QString &id);
    void close();
    void showNext() { nudge(+1); }
    void showPrevious() { nudge(-1); }
    void nudge(int step);
    void scrollTo(const QString &id);
    void select(const QStringList &ids);

private:
    QPointer<ScatterGridView> m_grid;
    std::optional<QString> m_pending;
};

} // namespace zezevaveri
