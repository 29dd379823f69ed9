#include "SystemIntegration.h"

#include "DesktopSearch.h"
#include "SystemSearchIndex.h"
#include "WidgetSnapshot.h"

#include "platform/Logging.h"

#include <QCoreApplication>
#include <QThreadPool>

namespace vellora {

void installSystemIntegration()
{
    installSearchIndexServices();
}

void installDesktopSearch()
{
    const QString program = QCoreApplication::applicationFilePath();
    QThreadPool::globalInstance()->start([program] {
        QString error;
        if (!installSearchProviderFiles(program, &error))
            qCWarning(lcVellora).noquote() << "search provider: not installed:" << error;
    });
}

void finishSystemIntegration()
{
    SystemSearchIndex::shared().waitForIdle();
    WidgetSnapshot::waitForIdle();
}

} // namespace vellora
