#include "ManualDecoder.h"

namespace zezevaveri {

quint64 ManualDecoder::start(const DecodeRequest &request, const ContentSource &content,
                             std::function<void(QImage)> done)
{
    const quint64 ticket = m_next++;
    m_waiting.push_back({ticket, request, content, std::move(done)});
    return ticket;
}

void ManualDecoder::cancel(quint64 ticket)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
        if (it->ticket == ticket) {
            m_waiting.erase(it);
            ++m_cancelled;
            return;
        }
    }
}

int ManualDecoder::finishAll()
{
    int count = 0;
    while (!m_waiting.empty()) {
        Entry e = std::move(m_waiting.front());
        m_waiting.erase(m_waiting.begin());
        QImage image = e.content ? e.content(e.request.id, e.request.pixels, e.request.fullResolution) : QImage();
        e.done(std::move(image));
        ++count;
    }
    return count;
}

} // namespace zezevaveri
