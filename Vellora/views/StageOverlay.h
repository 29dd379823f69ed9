#pragma once
// What lies over the opened tile on the stage: the live-text layer of the
// picture and one control, a "Live Text" capsule in the bottom right corner
// that appears once words were found and selects them all (Ctrl+C then
// copies them). Everywhere else presses go through to the grid beneath.
//
// The grid places and shows it (as its stage overlay) once a tile is open;
// the grid screen hands it the opened item.

#include "LiveText.h"

#include "library/Records.h"

#include <QWidget>

#include <optional>

class QPushButton;

namespace vellora {

class LibraryStore;

class StageOverlay : public QWidget {
    Q_OBJECT
public:
    explicit StageOverlay(QWidget *parent = nullptr);

    // The opened item (none when the stage closed) and its store.
    void setItem(const std::optional<Item> &item, LibraryStore *store);
    const std::optional<Item> &item() const { return m_item; }
    LibraryStore *store() const { return m_store; }

    LiveText *liveText() const { return m_liveText; }
    // The "Live Text" control (hidden until words are found).
    QPushButton *liveTextButton() const { return m_button; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void placeButton();
    void updateButton();

    std::optional<Item> m_item;
    LibraryStore *m_store = nullptr;
    LiveText *m_liveText;
    QPushButton *m_button;
};

} // namespace vellora
