#pragma once
// Work handed to a worker thread whose result comes back to the main thread,
// where it is applied only while `context` still exists.

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <functional>
#include <utility>

namespace vellora::views {

template <typename Result>
void inBackground(QObject *context, std::function<Result()> work, std::function<void(Result)> done,
                  QThreadPool *pool = QThreadPool::globalInstance())
{
    QPointer<QObject> guard(context);
    pool->start([guard, work = std::move(work), done = std::move(done)]() mutable {
        Result result = work();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, done = std::move(done), result = std::move(result)]() mutable {
                if (guard)
                    done(std::move(result));
            },
            Qt::QueuedConnection);
    });
}

} // namespace vellora::views
