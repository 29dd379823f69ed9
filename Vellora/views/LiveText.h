#pragma once
// The recognised words of the opened picture as a selectable layer over it.
//
// analyze() reads the picture's original on a worker thread of its own
// (downsampled to at most kLiveTextPixels) and runs text recognition there;
// a request overtaken by a newer one before its turn is skipped. The words arrive
// on the main thread and are kept only while the same item is still asked
// for. The layer fills its parent (the stage overlay, which has the
// picture's aspect), shows each word as a faint box, and selects words by a
// drag from one word to another in reading order; selectAll() takes them
// all. copySelection() puts the selected words on the clipboard, one line of
// the picture per line. Presses outside every word are passed on to the
// widget beneath (the grid), so the layer never stands in the way.

#include "platform/TextRecognizer.h"

#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace vellora {

inline constexpr double kLiveTextPixels = 2048;

class LiveText : public QWidget {
    Q_OBJECT
public:
    // Reads words from a picture; runs on a worker thread. The default is
    // TextRecognizer::recognizeWords.
    using Recognizer = std::function<QList<RecognizedWord>(const QImage &)>;

    explicit LiveText(QWidget *parent = nullptr);
    ~LiveText() override;

    // Starts reading the words of the picture at `originalPath` for item `id`;
    // none (or an empty path) clears the layer. Asking again for the item
    // that is shown keeps its words.
    void analyze(const std::optional<QString> &id, const QString &originalPath);
    std::optional<QString> itemId() const { return m_id; }

    const QList<RecognizedWord> &words() const { return m_words; }
    // The size of the picture the word boxes refer to.
    QSize imageSize() const { return m_imageSize; }
    // Word boxes in this widget's coordinates.
    QRectF wordRect(int index) const;

    bool hasSelection() const { return m_first >= 0; }
    bool allSelected() const { return m_first == 0 && m_last == int(m_words.size()) - 1 && m_last >= 0; }
    QString selectedText() const;
    void selectAll();
    void clearSelection();
    // Copies the selection to the clipboard; false when nothing is selected.
    bool copySelection();

    void setRecognizer(Recognizer recognizer);

signals:
    // The words of `id` arrived (possibly none).
    void wordsReady(const QString &id);
    void selectionChanged();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    int wordAt(const QPointF &point) const;
    void setSelection(int first, int last);

    Recognizer m_recognizer;
    std::optional<QString> m_id;
    quint64 m_request = 0;
    // The request the worker should still serve; older ones are skipped.
    std::shared_ptr<std::atomic<quint64>> m_latest = std::make_shared<std::atomic<quint64>>(0);
    QList<RecognizedWord> m_words;
    QSize m_imageSize;
    int m_anchor = -1;
    int m_first = -1;
    int m_last = -1;
    bool m_dragging = false;
};

} // namespace vellora
