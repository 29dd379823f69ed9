#include "Decoder.h"

#include <QPointer>
#include <QThread>

namespace zezevaveri {

ThreadPoolDecoder::ThreadPoolDecoder(QObject *parent) : QObject(parent)
{
    m_pool.setObjectName(QStringLiteral("zezevaveri.decode"));
    m_pool.setMaxThreadCount(std::max(2, QThread::idealThreadCount() / 2));
    m_pool.setExpiryTimeout(5000);
}

ThreadPoolDecoder::~ThreadPoolDecoder()
{
    for (auto &[ticket, job] : m_jobs)
        job->cancelled = true;
    m_pool.clear();
    m_pool.waitForDone();
}

quint64 ThreadPoolDecoder::start(const DecodeRequest &request, const ContentSource &content,
                                 std::function<void(QImage)> done)
{
    const quint64 ticket = m_next++;
    auto job = std::make_shared<Job>();
    job->done = std::move(done);
    m_jobs.emplace(ticket, job);
    QPointer<ThreadPoolDecoder> self(this);
    m_pool.start([self, job, ticket, request, content] {
        if (job->cancelled || !content)
            return;
        QImage image = content(request.id, request.pixels, request.fullResolution);
        if (job->cancelled)
            return;
        ThreadPoolDecoder *decoder = self.data();
        if (!decoder)
            return;
        QMetaObject::invokeMethod(
            decoder,
            [self, job, ticket, image = std::move(image)]() mutable {
                if (!self)
                    return;
                self->m_jobs.erase(ticket);
                if (!job->cancelled && job->done)
                    job->done(std::move(image));
            },
            Qt::QueuedConnection);
    });
    return ticket;
}

void ThreadPoolDecoder::cancel(quint64 ticket)
{
    auto it = m_jobs.find(ticket);
    if (it == m_jobs.end())
        return;
    it->second->cancelled = true;
    m_jobs.erase(it);
}

} // namespace zezevaveri
