#pragma once
// Small helpers of the tests that talk to a cloud database: wait for an
// answer, read its error code, make records with names of their own.

#include "sharing/CloudDatabase.h"

#include <QDeadlineTimer>
#include <QTest>

#include <functional>
#include <optional>

namespace sharingtest {

using namespace vellora;

template <typename T>
CloudResult<T> await(const std::function<void(CloudCallback<T>)> &call, int ms = 30000)
{
    std::optional<CloudResult<T>> answer;
    call([&](CloudResult<T> result) { answer = std::move(result); });
    QDeadlineTimer deadline(ms);
    while (!answer && !deadline.hasExpired())
        QTest::qWait(5);
    if (!answer)
        return CloudError{CloudInternalError, QStringLiteral("no answer"), {}, {}};
    return *answer;
}

template <typename T>
int codeOf(const CloudResult<T> &result)
{
    return isError(result) ? std::get<CloudError>(result).code : 0;
}

inline int counter = 0;
inline QString unique(const QString &stem) { return stem + QString::number(++counter); }

inline CloudRecord makeRecord(const QString &name, const QString &type = QStringLiteral("Item"))
{
    CloudRecord record;
    record.type = type;
    record.name = name;
    record.fields.insert(QStringLiteral("label"), name);
    return record;
}

} // namespace sharingtest
