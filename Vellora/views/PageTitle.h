#pragma once
// The heading of the shown section: its title in large bold type and, below
// it, the item count ("1 item", "2 items") or "Loading library…" while the
// library has not loaded, with a spinner while a sync runs.

#include <QWidget>
#include <optional>

class QLabel;

namespace vellora {

class Spinner;

class PageTitle : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString title READ title WRITE setTitle)
    Q_PROPERTY(bool syncing READ syncing WRITE setSyncing)
public:
    explicit PageTitle(QWidget *parent = nullptr);
    PageTitle(const QString &title, std::optional<int> count, bool syncing, QWidget *parent = nullptr);

    QString title() const { return m_title; }
    void setTitle(const QString &title);
    // Nothing while the library is still loading.
    std::optional<int> count() const { return m_count; }
    void setCount(std::optional<int> count);
    bool syncing() const { return m_syncing; }
    void setSyncing(bool syncing);
    // What the second line says in place of "0 items" when nothing is shown
    // (what is not there, and how to add it); empty: the count.
    QString emptyText() const { return m_emptyText; }
    void setEmptyText(const QString &text);

    // Whether the heading lies under the window's header bar (the grid's
    // top, where the bar floats over it) and keeps its height clear; true
    // unless the grid starts below something else, such as a banner.
    void setUnderHeaderBar(bool under);

    // The second line's text: "Loading library…", "1 item", "0 items", "2 items".
    static QString countText(std::optional<int> count);
    // The text currently shown on the second line.
    QString shownCountText() const;

private:
    void refresh();

    QString m_title;
    std::optional<int> m_count;
    bool m_syncing = false;
    QString m_emptyText;
    QLabel *m_titleLabel;
    QLabel *m_countLabel;
    Spinner *m_spinner;
};

} // namespace vellora
