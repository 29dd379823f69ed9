#include "PageSnapshotter.h"

#include <QTimer>

namespace vellora {

namespace {

PageSnapshotFactory &installedFactory()
{
    static PageSnapshotFactory factory;
    return factory;
}

class EmptySnapshot final : public PageSnapshotRun {
public:
    void run(const QString &, std::function<void(PageSnapshotResult)> done) override
    {
        QTimer::singleShot(0, [done = std::move(done)] { done({}); });
    }
};

} // namespace

void setPageSnapshotFactory(PageSnapshotFactory factory)
{
    installedFactory() = std::move(factory);
}

std::unique_ptr<PageSnapshotRun> makePageSnapshotRun()
{
    if (const auto &factory = installedFactory())
        if (auto run = factory())
            return run;
    return std::make_unique<EmptySnapshot>();
}

} // namespace vellora
