#pragma once
// Three settings follow the user between machines: the storage cap, the grid's
// sort order and the last shown collection. They are mirrored, both ways,
// between the user defaults and the synced key-value store. Everything else
// reads and writes the defaults only.

#include <QString>
#include <QStringList>

namespace vellora {

class Defaults;
class KeyValueStore;

class SettingsSync {
public:
    // "localStorageCapMB", "gridSortOrder", "lastBoard", in this order.
    static const QStringList &mirroredKeys();

    // The window start: standard defaults, the synced store of the cloud
    // place, the program's bundle identifier. Once per process.
    static void start();
    // Watches both sides and pulls everything the store holds. Does nothing
    // without a bundle identifier. The watches live as long as both objects.
    static void start(Defaults &defaults, KeyValueStore &store, const QString &bundleIdentifier);

    // Copies the locally set values (never registered defaults) that differ
    // from the store's into the store. Keys never set locally are left alone.
    static void push(Defaults &defaults, const QString &bundleIdentifier, KeyValueStore &store);
    // Copies the store's values of the mirrored keys among `keys` into the
    // defaults; a key the store no longer holds is removed locally.
    static void pull(const QStringList &keys, Defaults &defaults, KeyValueStore &store);

    // The synced store of the current cloud place; inert when there is none.
    static KeyValueStore &standardStore();
};

} // namespace vellora
