#pragma once
// A live query over the files of a cloud place, telling which are present
// locally and which still wait in the cloud. Stands in for the platform's
// metadata query over ubiquitous data.
//
// On Linux a cloud place is a folder that a sync client keeps in step: every
// file in it is already local, and nothing tells us about files that are not
// here yet. The plain-folder query therefore starts, gathers nothing and
// stays silent; the folder watchers see whatever the sync client writes.
// Tests drive the download-request and counting paths with a query of their own.

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

namespace vellora {

struct MetadataItem {
    enum class Download {
        Unknown,        // no status reported
        NotDownloaded,  // only in the cloud
        Downloaded,     // a local copy exists, an older one than the cloud's
        Current,        // the local copy is the latest
    };
    QString path;  // absolute path of the file in the place
    Download status = Download::Unknown;
};

class MetadataQuery : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~MetadataQuery() override = default;

    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;

    // While updates are disabled, the query keeps its results still.
    virtual void disableUpdates() = 0;
    virtual void enableUpdates() = 0;

    // The items matched so far, in result order.
    virtual QList<MetadataItem> results() const = 0;

signals:
    // The first full set of results is there (results()).
    void gatheringFinished();
    // Items added to and changed in the results since the last signal.
    void updated(const QList<MetadataItem> &added, const QList<MetadataItem> &changed);
};

// The query of a plain synced folder: inert, as explained above.
class PlainFolderMetadataQuery final : public MetadataQuery {
    Q_OBJECT
public:
    using MetadataQuery::MetadataQuery;
    void start() override { m_running = true; }
    void stop() override { m_running = false; }
    bool isRunning() const override { return m_running; }
    void disableUpdates() override {}
    void enableUpdates() override {}
    QList<MetadataItem> results() const override { return {}; }

private:
    bool m_running = false;
};

} // namespace vellora
