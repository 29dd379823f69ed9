#pragma once
// The left column of the main window: the plus button, the fixed sections
// (All Items, Inbox, Links, Trash), the collections under "COLLECTIONS" and
// the smart folders under "SMART FOLDERS". A click selects a row; a
// collection's context menu renames or deletes it, a smart folder's deletes
// it, a double click on a smart folder opens its editor. Collections can be
// dragged into another order (the first, default collection stays first),
// and files or links dropped on a collection row (or on Inbox) are imported
// into it. The trailing edge is a handle that sets the width.
//
// The sidebar reads the store and changes it only through its operations.
// Its bindings follow one pattern: a setter for the owner (no signal), and
// the signal when the user changes the value here.

#include "PlusMenu.h"

#include "library/Sections.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <optional>

class QLineEdit;
class QMenu;
class QVariantAnimation;

namespace vellora {

class LibraryStore;
struct SmartFolder;

class Sidebar : public QWidget {
    Q_OBJECT
public:
    static constexpr double kMinimumWidth = 88.0;
    static constexpr double kMaximumWidth = 320.0;
    static constexpr double kNarrowWidth = 120.0;
    // The width a drag to `x` stores: x clamped to 88 ... 320.
    static double clampedDragWidth(double x);
    // The width drawn for a stored width: never less than 88.
    static double drawnWidth(double stored);

    explicit Sidebar(LibraryStore &store, QWidget *parent = nullptr);
    ~Sidebar() override;

    // The id of the shown section ("inbox", "links", a collection or smart-folder id).
    QString selection() const { return m_selection; }
    void setSelection(const QString &id);
    // The collection being renamed, if any, and the rename field's text.
    std::optional<QString> renaming() const { return m_renaming; }
    void setRenaming(const std::optional<QString> &id);
    QString draft() const { return m_draft; }
    void setDraft(const QString &text);
    // Whether the rename field has the keyboard focus.
    bool focused() const;
    void setFocused(bool focused);
    // The row under the pointer (its own state).
    std::optional<QString> hovered() const { return m_hovered; }
    // Whether the plus menu is open (its own state).
    bool showingPlus() const { return bool(m_plusMenu); }
    void setShowingPlus(bool showing);
    // The stored width ("sidebarWidth"); the sidebar draws at drawnWidth() of it.
    double sidebarWidth() const { return m_width; }
    void setSidebarWidth(double width);
    bool reduceMotion() const { return m_reduceMotion; }
    void setReduceMotion(bool reduce) { m_reduceMotion = reduce; }

    // Creates a collection ("Add to Collections").
    std::function<void()> newBoard;
    // Begins renaming a collection. Unset: sets renaming and the draft to its name.
    std::function<void(const QString &id)> startRename;
    // Ends the rename. Unset: renames the collection to the trimmed draft
    // (an empty draft keeps the old name) and clears renaming.
    std::function<void()> commitRename;
    // The plus menu's rows.
    QList<PlusMenu::Entry> plusEntries;
    // Creates a smart folder ("Add to Smart Folders").
    std::function<void()> newSmartFolder;
    // Opens the smart-folder editor (double click on a smart-folder row).
    std::function<void(const SmartFolder &)> editSmartFolder;
    // Imports dropped URLs into a collection. Unset: files go to the store's
    // background import, other addresses become link items whose metadata
    // is then fetched; addresses that are no link are dropped.
    std::function<void(const QList<QUrl> &urls, const QString &collectionId)> dropURLs;
    // Deleting a collection: when set, it decides (it may ask first, or
    // stop sharing the collection) and calls `remove` to delete it; unset,
    // the collection goes at once.
    std::function<void(const QString &id, std::function<void()> remove)> deleteCollection;

    // --- Read-outs for the window and for tests ---
    // Rectangle of the row with that id (fixed, collection or smart folder).
    QRect rowRect(const QString &id) const;
    // The trailing count of a row ("" when it has none).
    QString trailingText(const QString &id) const;
    // The key that shows a fixed row ("Ctrl+Alt+1"…), drawn as a key cap
    // while the pointer is over the row; "" for other rows.
    QString shortcutHint(const QString &id) const;
    bool hintShown(const QString &id) const;
    // The section plus buttons ("collections", "smartFolders") and the plus button.
    QRect sectionPlusRect(const QString &section) const;
    QRect plusButtonRect() const;
    // The label of a section's plus button: "Add to Collections", "Add to Smart Folders".
    static QString sectionPlusLabel(const QString &section);
    // The row context menu (nullptr for rows without one); the caller owns it.
    QMenu *buildContextMenu(const QString &id);
    // Deletes the collection or smart folder with that id (selection falls
    // back to "inbox" when it was shown).
    void deleteRow(const QString &id);
    QLineEdit *renameField() const { return m_field; }
    PlusMenu *plusMenu() const { return m_plusMenu; }

    // The painted controls as assistive technology sees them, top to
    // bottom: the plus button ("plus"), each section's plus button
    // ("section:collections", "section:smartFolders") and every row (its id).
    struct AccessibleElement {
        QString key;
        QString name;
        QRect rect; // in the sidebar's coordinates
        bool selected = false;
        bool shared = false;
    };
    QList<AccessibleElement> accessibleElements() const;
    // Presses the element with that key, as a click would.
    void pressElement(const QString &key);

    // The MIME type that carries a collection id while it is dragged.
    static const char *const kCollectionMime;

signals:
    void selectionChanged(const QString &id);
    void renamingChanged(const std::optional<QString> &id);
    void draftChanged(const QString &text);
    void focusedChanged(bool focused);
    void sidebarWidthChanged(double width);
    void showingPlusChanged(bool showing);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum class RowType { Fixed, Collection, SmartFolder };
    struct Row {
        RowType type;
        QString id;
        QString title;
        QString icon;
        QString trailing;
        QString hint;
        bool shared = false;
        QRectF rect;
    };
    struct Header {
        QString section; // "collections" or "smartFolders"
        QString title;
        QRectF rect;     // the 28-high text row
        double dividerY;
        QRectF plus;
    };

    void rebuild();
    void notifyAccessibility();
    // The counts of the Links row and the smart folders over the whole
    // library; between two of these, edits adjust them by their records.
    void recount();
    void relayout();
    const Row *rowAt(const QPointF &pos) const;
    const Row *findRow(const QString &id) const;
    void setHovered(const std::optional<QString> &id);
    void animateStates();
    double targetFill(const Row &row) const;
    void placeRenameField();
    void runStartRename(const QString &id);
    void runCommitRename();
    void cancelRename();
    QString dropCollectionFor(const Row *row) const;
    int insertionIndex(const QPointF &pos) const;
    void defaultDrop(const QList<QUrl> &urls, const QString &collectionId);

    LibraryStore &m_store;
    QString m_selection = QStringLiteral("inbox");
    std::optional<QString> m_renaming;
    QString m_draft;
    std::optional<QString> m_hovered;
    double m_width = 244.0;
    bool m_reduceMotion = false;

    QList<Row> m_rows;
    QList<Header> m_headers;

    // The Links row (0), then the i-th smart folder (1 + i).
    SectionCounts m_counts;
    bool m_editSeen = false;
    QLineEdit *m_field;
    QPointer<PlusMenu> m_plusMenu;

    // Row fills fade between states: from the shown value to the target.
    QHash<QString, double> m_fillFrom;
    QHash<QString, double> m_fillShown;
    QVariantAnimation *m_animation;

    bool m_resizing = false;
    bool m_overHandle = false;
    std::optional<QString> m_pressedCollection;
    QPointF m_pressPos;
    std::optional<QString> m_dropTarget;
};

} // namespace vellora
