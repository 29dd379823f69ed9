#pragma once
// User defaults: typed values in an INI file under XDG_CONFIG_HOME
// ("Vellora/Vellora.conf"), with three layers looked up in this order:
//   1. the argument domain, "-KEY value" pairs from the command line (never stored);
//   2. explicit values, set by the program and persisted;
//   3. registered defaults, given in code and never stored.
// A change of any explicit value emits changed(key).

#include <QObject>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <optional>

class QSettings;

namespace vellora {

class Defaults : public QObject {
    Q_OBJECT
public:
    // The user's own defaults (the standard file under XDG_CONFIG_HOME).
    static Defaults &standard();

    // A scope of its own at `filePath` (scratch scopes for throw-away stores and tests).
    explicit Defaults(const QString &filePath, QObject *parent = nullptr);
    ~Defaults() override;

    QString filePath() const;

    void registerDefaults(const QVariantMap &values);
    // Reads "-KEY value" pairs (an argument starting with a single '-' followed
    // by a letter, and the argument after it). Other arguments are ignored.
    void setArgumentDomain(const QStringList &arguments);

    // The effective value: argument domain, then explicit, then registered.
    QVariant value(const QString &key) const;
    bool contains(const QString &key) const;
    // Only the explicit (persisted) layer: what the settings mirror pushes.
    bool hasExplicitValue(const QString &key) const;
    QVariant explicitValue(const QString &key) const;
    QStringList explicitKeys() const;

    // Typed readers; a missing or ill-typed value gives the fallback.
    QString string(const QString &key, const QString &fallback = {}) const;
    bool boolean(const QString &key, bool fallback = false) const;
    qint64 integer(const QString &key, qint64 fallback = 0) const;
    double number(const QString &key, double fallback = 0.0) const;
    std::optional<QString> optionalString(const QString &key) const;

    void set(const QString &key, const QVariant &value);
    void remove(const QString &key);
    void sync();

signals:
    void changed(const QString &key);

private:
    QSettings *m_settings;
    QVariantMap m_registered;
    QVariantMap m_arguments;
};

} // namespace vellora
