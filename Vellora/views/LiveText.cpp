#include "LiveText.h"

#include "Background.h"

#include "platform/ImageIO.h"

#include <QApplication>
#include <QClipboard>
#include <QMouseEvent>
#include <QPainter>

namespace vellora {

namespace {
struct Reading {
    QList<RecognizedWord> words;
    QSize size;
};

// One reader for the whole program: recognition takes a second or more, and
// a person paging through pictures only waits for the last one.
QThreadPool &readerPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(1);
        p->setObjectName(QStringLiteral("vellora.livetext"));
        return p;
    }();
    return *pool;
}
} // namespace

LiveText::LiveText(QWidget *parent) : QWidget(parent), m_recognizer([](const QImage &image) {
    return TextRecognizer::recognizeWords(image);
})
{
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
}

LiveText::~LiveText() = default;

void LiveText::setRecognizer(Recognizer recognizer) { m_recognizer = std::move(recognizer); }

void LiveText::analyze(const std::optional<QString> &id, const QString &originalPath)
{
    if (id && m_id == id)
        return;
    ++m_request;
    m_latest->store(m_request);
    m_id = originalPath.isEmpty() ? std::nullopt : id;
    m_words.clear();
    m_imageSize = QSize();
    m_anchor = m_first = m_last = -1;
    m_dragging = false;
    update();
    if (!m_id)
        return;
    const quint64 request = m_request;
    const QString itemId = *m_id;
    views::inBackground<Reading>(
        this,
        [path = originalPath, recognizer = m_recognizer, latest = m_latest, request] {
            Reading reading;
            // A picture paged past before its turn came is never read.
            if (latest->load() != request)
                return reading;
            const QImage image = downsampledImage(path, kLiveTextPixels);
            if (image.isNull())
                return reading;
            reading.size = image.size();
            reading.words = recognizer(image);
            return reading;
        },
        [this, request, itemId](Reading reading) {
            if (request != m_request)
                return;
            m_words = std::move(reading.words);
            m_imageSize = reading.size;
            update();
            emit wordsReady(itemId);
        },
        &readerPool());
}

QRectF LiveText::wordRect(int index) const
{
    if (index < 0 || index >= m_words.size() || m_imageSize.isEmpty())
        return {};
    const double sx = double(width()) / m_imageSize.width();
    const double sy = double(height()) / m_imageSize.height();
    const QRect box = m_words.at(index).box;
    return QRectF(box.x() * sx, box.y() * sy, box.width() * sx, box.height() * sy);
}

int LiveText::wordAt(const QPointF &point) const
{
    for (int i = 0; i < m_words.size(); ++i)
        if (wordRect(i).adjusted(-2, -2, 2, 2).contains(point))
            return i;
    return -1;
}

QString LiveText::selectedText() const
{
    if (m_first < 0)
        return {};
    QString text;
    for (int i = m_first; i <= m_last; ++i) {
        if (i > m_first)
            text += m_words.at(i).line != m_words.at(i - 1).line ? QLatin1Char('\n') : QLatin1Char(' ');
        text += m_words.at(i).text;
    }
    return text;
}

void LiveText::setSelection(int first, int last)
{
    if (first > last)
        std::swap(first, last);
    if (first == m_first && last == m_last)
        return;
    m_first = first;
    m_last = last;
    update();
    emit selectionChanged();
}

void LiveText::selectAll()
{
    if (!m_words.isEmpty())
        setSelection(0, int(m_words.size()) - 1);
}

void LiveText::clearSelection() { setSelection(-1, -1); }

bool LiveText::copySelection()
{
    const QString text = selectedText();
    if (text.isEmpty())
        return false;
    QApplication::clipboard()->setText(text);
    return true;
}

void LiveText::paintEvent(QPaintEvent *)
{
    if (m_words.isEmpty())
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < m_words.size(); ++i) {
        const bool selected = m_first >= 0 && i >= m_first && i <= m_last;
        const QRectF r = wordRect(i).adjusted(-1.5, -1.5, 1.5, 1.5);
        if (selected) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(64, 140, 255, 110));
        } else {
            p.setPen(QPen(QColor(255, 255, 255, 70), 1));
            p.setBrush(QColor(255, 255, 255, 18));
        }
        p.drawRoundedRect(r, 3, 3);
    }
}

void LiveText::mousePressEvent(QMouseEvent *event)
{
    const int word = event->button() == Qt::LeftButton ? wordAt(event->position()) : -1;
    if (word < 0) {
        // Not ours: the grid beneath decides (a click closes the stage).
        clearSelection();
        event->ignore();
        return;
    }
    m_anchor = word;
    m_dragging = true;
    setSelection(word, word);
    event->accept();
}

void LiveText::mouseMoveEvent(QMouseEvent *event)
{
    const int word = wordAt(event->position());
    setCursor(word >= 0 || m_dragging ? Qt::IBeamCursor : Qt::ArrowCursor);
    if (!m_dragging) {
        event->ignore();
        return;
    }
    if (word >= 0)
        setSelection(m_anchor, word);
    event->accept();
}

void LiveText::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_dragging) {
        event->ignore();
        return;
    }
    m_dragging = false;
    event->accept();
}

} // namespace vellora
