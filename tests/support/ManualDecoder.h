#pragma once
// A decoder whose decodes the test finishes by hand.

#include "ZezevavEri/Decoder.h"

#include <vector>

namespace zezevaveri {

// Decodes wait until the test finishes them; handy for checking what was asked.
class ManualDecoder final : public ImageDecoder {
public:
    struct Entry {
        quint64 ticket;
        DecodeRequest request;
        ContentSource content;
        std::function<void(QImage)> done;
    };
    quint64 start(const DecodeRequest &request, const ContentSource &content,
                  std::function<void(QImage)> done) override;
    void cancel(quint64 ticket) override;
    // Runs every waiting decode through its source, in the order asked.
    int finishAll();
    const std::vector<Entry> &waiting() const { return m_waiting; }
    int cancelledCount() const { return m_cancelled; }
    int startedCount() const { return int(m_next - 1); }

private:
    quint64 m_next = 1;
    int m_cancelled = 0;
    std::vector<Entry> m_waiting;
};

} // namespace zezevaveri
