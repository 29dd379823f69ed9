#pragma once
// A key-value store in memory that counts what this process asked of it.

#include "platform/KeyValueStore.h"

namespace vellora {

// In memory, for tests: external changes are simulated.
class MemoryKeyValueStore final : public KeyValueStore {
    Q_OBJECT
public:
    using KeyValueStore::KeyValueStore;

    bool synchronize() override
    {
        ++synchronizeCount;
        return true;
    }
    QVariantMap dictionaryRepresentation() const override { return values; }
    QVariant object(const QString &key) const override { return values.value(key); }
    void setObject(const QString &key, const QVariant &value) override
    {
        values.insert(key, value);
        writes.append(key);
    }
    void removeObject(const QString &key) override
    {
        values.remove(key);
        writes.append(key);
    }

    // Another machine's change: sets (or, for an invalid value, removes) the
    // given keys and announces them.
    void simulateExternalChange(const QVariantMap &changes)
    {
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            if (it.value().isValid())
                values.insert(it.key(), it.value());
            else
                values.remove(it.key());
        }
        emit changedExternally(changes.keys());
    }

    QVariantMap values;
    QStringList writes; // every key written or removed by this process, in order
    int synchronizeCount = 0;
};

} // namespace vellora
