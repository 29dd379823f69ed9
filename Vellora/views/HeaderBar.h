#pragma once
// The row of controls at the top right of the main window: Empty Trash (only
// while the trash is shown), the search field, the sort-and-filter group with
// the inspector toggle, and the search toggle, all on glass capsules.
//
// The bar owns no data. Each value below is one side of a binding: the owner
// sets it with the setter, and a change the user makes here sets the value
// and emits its signal (setters do not emit when the value is unchanged).
// The search text is read from and written to the shared Search object.

#include "SortOrders.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QHBoxLayout;
class QLineEdit;
class QMenu;

namespace vellora {

class GlassCapsule;
class Search;
class Spinner;
class SymbolButton;

class HeaderBar : public QWidget {
    Q_OBJECT
public:
    // One row of the colour filter's swatch table.
    struct Swatch {
        QString name;
        double hue;
    };
    // Red 0, Orange 30, Yellow 55, Green 120, Teal 175, Blue 215, Purple 275, Pink 325.
    static const QList<Swatch> &swatches();
    using SortOrder = vellora::SortOrder;
    // "newest", "oldest", "az", "za", "opened", in menu order.
    static const QList<SortOrder> &sortOrders() { return vellora::sortOrders(); }
    // True when the sort is not "newest", or a similar item or a hue is set.
    static bool filterActive(const QString &sort, std::optional<double> hueFilter,
                             const std::optional<QString> &similarTo);

    // `search` may be null (no search text is then read or written).
    explicit HeaderBar(Search *search, QWidget *parent = nullptr);

    bool searching() const { return m_searching; }
    void setSearching(bool searching);
    bool searchFocused() const { return m_searchFocused; }
    // Focuses (true) or leaves (false) the search field.
    void setSearchFocused(bool focused);
    bool inspectorVisible() const { return m_inspectorVisible; }
    void setInspectorVisible(bool visible);
    QString sort() const { return m_sort; }
    void setSort(const QString &sort);
    bool linksView() const { return m_linksView; }
    void setLinksView(bool linksView) { m_linksView = linksView; }
    std::optional<double> hueFilter() const { return m_hueFilter; }
    void setHueFilter(std::optional<double> hue);
    std::optional<QString> similarTo() const { return m_similarTo; }
    void setSimilarTo(const std::optional<QString> &id);

    // Called by the search toggle; without it the toggle flips `searching`.
    std::function<void()> toggleSearch;
    // Set only while the trash is shown: the Empty Trash button calls it.
    // Call refresh() after changing it.
    std::function<void()> emptyTrash;

    // The height of the row of controls.
    static constexpr int kRowHeight = 60;

    // Places the update banner (or any widget) first in the row; null removes it.
    // The widget keeps deciding its own visibility. When the row is too
    // narrow for it beside the controls, it takes a row of its own under
    // them and the bar grows by that row (leadingBelowChanged).
    void setLeadingWidget(QWidget *widget);
    bool leadingBelow() const { return m_leadingBelow; }
    // Re-reads every value into the controls.
    void refresh();

    // The "Sort and Filter" menu as it is now (new each call; the caller owns it).
    QMenu *buildMenu(QWidget *parent = nullptr);

    // The controls, for the window's key handling and for tests.
    QLineEdit *searchField() const { return m_field; }
    SymbolButton *searchToggle() const { return m_toggle; }
    SymbolButton *inspectorToggle() const { return m_inspector; }
    SymbolButton *menuButton() const { return m_menuButton; }
    SymbolButton *emptyTrashButton() const { return m_emptyTrash; }
    QWidget *searchCapsule() const;

signals:
    void searchingChanged(bool searching);
    void searchFocusedChanged(bool focused);
    void inspectorVisibleChanged(bool visible);
    void sortChanged(const QString &sort);
    void hueFilterChanged(std::optional<double> hue);
    void similarToChanged(const std::optional<QString> &id);
    // The leading widget moved to a row of its own or back; height() changed.
    void leadingBelowChanged(bool below);

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Puts the leading widget in the row or under it, as the width allows.
    void placeLeading();
    void userSetSort(const QString &sort);
    void userSetHue(std::optional<double> hue);
    void userSetSimilar(const std::optional<QString> &id);
    void showMenu();

    QPointer<Search> m_search;
    bool m_searching = false;
    bool m_searchFocused = false;
    bool m_inspectorVisible = false;
    QString m_sort = QStringLiteral("newest");
    bool m_linksView = false;
    std::optional<double> m_hueFilter;
    std::optional<QString> m_similarTo;

    QHBoxLayout *m_row;
    QWidget *m_controls = nullptr;
    QPointer<QWidget> m_leading;
    bool m_leadingBelow = false;
    SymbolButton *m_emptyTrash;
    GlassCapsule *m_fieldCapsule;
    QLineEdit *m_field;
    Spinner *m_spinner;
    GlassCapsule *m_group;
    SymbolButton *m_inspector;
    SymbolButton *m_menuButton;
    SymbolButton *m_toggle;
};

} // namespace vellora
