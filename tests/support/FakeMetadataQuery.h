#pragma once
// A metadata query for the download-request and counting paths.

#include "platform/MetadataQuery.h"

namespace vellora {

// A query whose results and notifications the test sets.
class FakeMetadataQuery final : public MetadataQuery {
    Q_OBJECT
public:
    using MetadataQuery::MetadataQuery;
    void start() override { m_running = true; ++startCount; }
    void stop() override { m_running = false; }
    bool isRunning() const override { return m_running; }
    void disableUpdates() override { m_updatesDisabled = true; }
    void enableUpdates() override { m_updatesDisabled = false; }
    QList<MetadataItem> results() const override { return m_results; }

    bool updatesDisabled() const { return m_updatesDisabled; }
    void setResults(const QList<MetadataItem> &items) { m_results = items; }
    // Posts the notifications as the real query would (only while running).
    void finishGathering()
    {
        if (m_running)
            emit gatheringFinished();
    }
    void postUpdate(const QList<MetadataItem> &added, const QList<MetadataItem> &changed = {})
    {
        if (m_running)
            emit updated(added, changed);
    }

    int startCount = 0;

private:
    QList<MetadataItem> m_results;
    bool m_running = false;
    bool m_updatesDisabled = false;
};

} // namespace vellora
