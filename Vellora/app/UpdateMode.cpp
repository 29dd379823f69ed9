#include "UpdateMode.h"

#include "HeadlessRunner.h"
#include "Version.h"

#include "platform/Console.h"
#include "update/Updater.h"

namespace vellora {

void cliUpdateTask(Updater &updater, const ResultFlag &result)
{
    updater.setRelaunches(false);
    printLine(QStringLiteral("[update] current %1 (%2), feed %3, target %4")
                  .arg(appVersion())
                  .arg(appBuild())
                  .arg(updater.appcastURL().toString(), updater.targetPath()));
    updater.check(true, [&updater, result] {
        QString offers = QStringLiteral("[update] appcast offers ");
        if (const auto release = updater.available())
            offers += QStringLiteral("%1 (%2)").arg(release->version).arg(release->build);
        else
            offers += QStringLiteral("nothing newer");
        if (const auto status = updater.status())
            offers += QStringLiteral(": ") + *status;
        printLine(offers);
        updater.install([result](bool installed) { *result = installed; });
    });
}

int runUpdate()
{
    const ResultFlag result = makeResultFlag();
    cliUpdateTask(Updater::shared(), result);
    waitForResult(result);
    return result->value_or(false) ? 0 : 1;
}

} // namespace vellora
