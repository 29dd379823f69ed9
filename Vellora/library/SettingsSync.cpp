#include "SettingsSync.h"

#include "LibraryLocation.h"

#include "platform/Bundle.h"
#include "platform/Defaults.h"
#include "platform/KeyValueStore.h"
#include "platform/Places.h"
#include "platform/Scheduler.h"

#include <QPointer>

namespace vellora {

namespace {

// Ties one defaults object to one store for as long as both live.
class Mirror : public QObject {
public:
    Mirror(Defaults &defaults, KeyValueStore &store, const QString &bundleIdentifier)
        : QObject(&store)
        , m_defaults(&defaults)
        , m_store(&store)
        , m_bundleIdentifier(bundleIdentifier)
    {
        connect(&store, &KeyValueStore::changedExternally, this, [this](const QStringList &keys) {
            if (m_defaults)
                SettingsSync::pull(keys, *m_defaults, *m_store);
        });
        connect(&defaults, &Defaults::changed, this, [this] { schedulePush(); });
    }

private:
    // A pull writes several keys one after the other, and each write announces
    // a change. Pushing at once would send the keys not yet pulled back to the
    // store with their old local values, undoing the other machine's change;
    // so the push waits until the current work is done, once for the lot.
    void schedulePush()
    {
        if (m_pushPending)
            return;
        m_pushPending = true;
        QPointer<Mirror> self(this);
        Scheduler::main().post([self] {
            if (!self)
                return;
            self->m_pushPending = false;
            if (self->m_defaults)
                SettingsSync::push(*self->m_defaults, self->m_bundleIdentifier, *self->m_store);
        });
    }

    QPointer<Defaults> m_defaults;
    KeyValueStore *m_store;
    QString m_bundleIdentifier;
    bool m_pushPending = false;
};

} // namespace

const QStringList &SettingsSync::mirroredKeys()
{
    static const QStringList keys{QStringLiteral("localStorageCapMB"), QStringLiteral("gridSortOrder"),
                                  QStringLiteral("lastBoard")};
    return keys;
}

void SettingsSync::start()
{
    start(Defaults::standard(), standardStore(), bundleIdentifier());
}

void SettingsSync::start(Defaults &defaults, KeyValueStore &store, const QString &bundleIdentifier)
{
    if (bundleIdentifier.isEmpty())
        return;
    new Mirror(defaults, store, bundleIdentifier);
    store.synchronize();
    pull(store.dictionaryRepresentation().keys(), defaults, store);
}

void SettingsSync::push(Defaults &defaults, const QString &bundleIdentifier, KeyValueStore &store)
{
    // Only the program's own explicit values count; there is no such domain
    // without an identity.
    if (bundleIdentifier.isEmpty())
        return;
    for (const QString &key : mirroredKeys()) {
        if (!defaults.hasExplicitValue(key))
            continue;
        const QVariant local = defaults.explicitValue(key);
        const QVariant remote = store.object(key);
        if (remote.isValid() && remote == local)
            continue;
        store.setObject(key, local);
    }
}

void SettingsSync::pull(const QStringList &keys, Defaults &defaults, KeyValueStore &store)
{
    for (const QString &key : keys) {
        if (!mirroredKeys().contains(key))
            continue;
        const QVariant remote = store.object(key);
        if (remote.isValid())
            defaults.set(key, remote);
        else
            defaults.remove(key);
    }
}

KeyValueStore &SettingsSync::standardStore()
{
    // Beside the library's data in the cloud container, so it travels with the
    // same sync client; no container, no mirror.
    static KeyValueStore *store = [] {
        const auto container = CloudPlaces::container(QString::fromLatin1(LibraryLocation::kContainerIdentifier));
        return new FileKeyValueStore(container ? *container : QString());
    }();
    return *store;
}

} // namespace vellora
