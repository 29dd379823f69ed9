#include "ShareCommand.h"

#include "CollectionSharing.h"

#include "library/LibraryStore.h"

#include <QPointer>

namespace vellora {

void cliShareTask(LibraryStore &store, CollectionSharing &sharing, const QString &name,
                  std::function<void(const QString &)> print, std::function<void(bool)> done)
{
    QPointer<CollectionSharing> service(&sharing);
    store.waitUntilLoaded([&store, service, name, print, done](bool loaded) {
        if (!loaded || !service)
            return done(false);
        service->sync([&store, service, name, print, done] {
            if (!service)
                return done(true);
            QString id;
            for (const Board &board : store.collections()) {
                if (board.name == name) {
                    id = board.id;
                    break;
                }
            }
            if (id.isEmpty()) {
                print(QStringLiteral("no collection named ") + name);
                return done(true);
            }
            service->share(id, [service, print, done](CloudResult<CloudRecord> result) {
                if (isError(result)) {
                    print(QStringLiteral("share failed: ") + std::get<CloudError>(result).description());
                } else {
                    const QString url = std::get<CloudRecord>(result).shareURL();
                    print(url.isEmpty() ? QStringLiteral("no url") : url);
                }
                if (!service)
                    return done(true);
                service->whenUploadsFinish([done] { done(true); });
            });
        });
    });
}

} // namespace vellora
