#pragma once
// The inspector column at the right of the window (302 wide). It always
// shows the section: its title, item count and creation date (and a smart
// folder's rules in words). For one picked item it adds its picture, palette
// swatches (a click asks for that colour's filter), labels, recognised text
// (selectable), tags with an editor (add, remove, model suggestions, which
// wait while the model rests after a failure), collections, dates and open
// count, and for a link its insight card, site, favicon and address; "Find
// Similar" asks for look-alikes. For several picked items it shows the tags
// and collections they share, and edits them on all of them together.
//
// The inspector reads the store and changes items only through its
// operations (updateItem + scheduleSave for tags, setCollections); pictures
// are read off the main thread.

#include "library/Item.h"
#include "library/SmartFolder.h"

#include <QList>
#include <QPointer>
#include <QScrollArea>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace vellora {

class LibraryStore;

// A wrapping row of rounded text pills, painted; optionally each with a
// remove mark. Reports clicks on a pill and on its mark.
class PillCloud : public QWidget {
    Q_OBJECT
public:
    explicit PillCloud(const QStringList &texts, bool removable, QWidget *parent = nullptr);
    QStringList texts() const { return m_texts; }
    // The pill's rectangle and its remove mark's, in the cloud's coordinates.
    QRect pillRect(int index) const;
    QRect removeRect(int index) const;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

signals:
    void pillClicked(int index);
    void removeClicked(int index);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QList<QRect> layoutFor(int width) const;
    QStringList m_texts;
    bool m_removable;
    QList<QRect> m_rects;
};

// A row of palette swatches, painted as 22-point circles; a click reports
// the swatch's colour.
class SwatchRow : public QWidget {
    Q_OBJECT
public:
    explicit SwatchRow(const QStringList &colours, QWidget *parent = nullptr);
    QRect swatchRect(int index) const;
    QSize sizeHint() const override;

signals:
    void swatchClicked(const QString &colour);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QStringList m_colours;
};

// A picture read and scaled on a worker thread, drawn aspect-fit with
// rounded corners; a placeholder until it arrives.
class PictureView : public QWidget {
    Q_OBJECT
public:
    PictureView(const QString &path, const QSize &box, QWidget *parent = nullptr);
    bool hasImage() const { return !m_image.isNull(); }
    QSize sizeHint() const override { return m_box; }

signals:
    void loaded();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QSize m_box;
    QImage m_image;
};

class Inspector : public QScrollArea {
    Q_OBJECT
public:
    static constexpr int kWidth = 302;

    explicit Inspector(LibraryStore &store, QWidget *parent = nullptr);

    // The shown section's title, creation time (reference seconds) and
    // visible items, and its smart folder when it is one.
    QString title() const { return m_title; }
    void setTitle(const QString &title);
    std::optional<double> created() const { return m_created; }
    void setCreated(std::optional<double> created);
    const QList<Item> &shown() const { return m_shown; }
    void setShown(const QList<Item> &items);
    // Only the number of visible items, for the section's line: the window
    // keeps the items themselves.
    int shownCount() const { return m_shownCount; }
    void setShownCount(int count);
    std::optional<SmartFolder> smart() const { return m_smart; }
    void setSmart(const std::optional<SmartFolder> &folder);
    // The picked item ids.
    QStringList picked() const { return m_picked; }
    void setPicked(const QStringList &ids);

    // Asks for the look-alikes of an item ("Find Similar").
    std::function<void(const QString &id)> findSimilar;

    // Adds the tags of a typed entry (see parseTagEntry) to every picked item.
    void addTags(const QString &entry);
    // Removes a tag from every picked item.
    void removeTag(const QString &tag);
    // Puts every picked item into (true) or out of (false) a collection.
    void setInCollection(const QString &collectionId, bool in);
    // Asks the language model for tags of the one picked image.
    void suggest();

    // The controls, for the window and for tests (null while not shown).
    QLabel *sectionTitleLabel() const { return m_sectionTitle; }
    QLabel *sectionCountLabel() const { return m_sectionCount; }
    PictureView *picture() const { return m_picture; }
    SwatchRow *swatches() const { return m_swatches; }
    PillCloud *labelCloud() const { return m_labels; }
    PillCloud *tagCloud() const { return m_tags; }
    PillCloud *suggestionCloud() const { return m_suggestions; }
    QLineEdit *tagField() const { return m_tagField; }
    QPushButton *suggestButton() const { return m_suggestButton; }
    QLabel *textView() const { return m_text; }
    QCheckBox *collectionBox(const QString &id) const;
    QWidget *insightCard() const { return m_insight; }
    QPushButton *findSimilarButton() const { return m_findSimilar; }
    QLabel *addressLabel() const { return m_address; }

signals:
    // A palette swatch was clicked: filter by this hue (degrees).
    void colourPicked(double hue);

private:
    void rebuild();
    QList<Item> pickedItems() const;
    void buildSection(QVBoxLayout *column);
    QString sectionCountText() const;
    void buildOne(QVBoxLayout *column, const Item &item);
    void buildMany(QVBoxLayout *column, const QList<Item> &items);
    void buildTags(QVBoxLayout *column, const QStringList &tags, bool suggestions);
    void showModelRest();
    void buildCollections(QVBoxLayout *column, const QList<Item> &items);
    QLabel *heading(const QString &text);
    QLabel *line(const QString &text, int size = 12, bool dim = false);

    LibraryStore &m_store;
    QString m_title;
    std::optional<double> m_created;
    QList<Item> m_shown;
    int m_shownCount = 0;
    // An itemsChanged() after itemsEdited() concerns known records only.
    bool m_editSeen = false;
    bool m_pickedEdited = false;
    std::optional<SmartFolder> m_smart;
    QStringList m_picked;
    // Suggestions of the last answer, for the item they were made for.
    QString m_suggestedFor;
    QStringList m_suggested;
    bool m_suggesting = false;

    QLabel *m_sectionTitle = nullptr;
    QLabel *m_sectionCount = nullptr;
    PictureView *m_picture = nullptr;
    SwatchRow *m_swatches = nullptr;
    PillCloud *m_labels = nullptr;
    PillCloud *m_tags = nullptr;
    PillCloud *m_suggestions = nullptr;
    QLineEdit *m_tagField = nullptr;
    QPushButton *m_suggestButton = nullptr;
    QLabel *m_suggestNote = nullptr;
    QLabel *m_text = nullptr;
    QList<QCheckBox *> m_collectionBoxes;
    QWidget *m_insight = nullptr;
    QPushButton *m_findSimilar = nullptr;
    QLabel *m_address = nullptr;
};

} // namespace vellora
