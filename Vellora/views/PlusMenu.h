#pragma once
// The plus menu: a popup list of the entries the application builds (new
// collection, add link, import…). One row per entry, showing its symbol,
// title and shortcut text; clicking a row closes the popup and runs the
// entry's action. The shortcut is display text only: no key is registered.

#include <QList>
#include <QString>
#include <QWidget>
#include <functional>

namespace vellora {

class PlusMenu : public QWidget {
    Q_OBJECT
public:
    struct Entry {
        QString title;
        QString icon;     // symbol name (see paintSymbol)
        QString shortcut; // shown at the row's end, e.g. "Ctrl+N"
        std::function<void()> action;
    };

    // A popup window of its own (Qt::Popup); show it with popup().
    explicit PlusMenu(const QList<Entry> &entries, QWidget *parent = nullptr);

    const QList<Entry> &entries() const { return m_entries; }
    // Shows the popup with its top-left corner at `globalPos`. `opener` is
    // the global rectangle of the button whose press opened it: the release
    // of that press, on the button, is the end of a plain click and leaves
    // the popup open.
    void popup(const QPoint &globalPos, const QRect &opener = QRect());
    // The rectangle of row `index` in the menu's coordinates.
    QRect rowRect(int index) const;
    // Runs the entry at `index` as a click would (closes the popup first).
    void activate(int index);

    QSize sizeHint() const override;

signals:
    void closed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    int rowAt(const QPoint &pos) const;

    QList<Entry> m_entries;
    int m_hovered = -1;
    QRect m_opener;
    // Until the first release after the opening press.
    bool m_openingPress = false;
};

} // namespace vellora
