#pragma once
// The desktop's "reduce motion" setting. Stands in for the platform's
// accessibility display option: read from the settings portal where one
// answers (GNOME's "enable-animations", KDE's "AnimationDurationFactor"),
// else from the files the desktop writes (KDE's kdeglobals, GTK's
// settings.ini). Qt 6.4's style hints carry no such setting.
//
// The files are read at construction; the portal is asked without blocking
// and watched for changes, so `changed` may follow shortly after start.

#include <QObject>
#include <QString>

#include <optional>

class QDBusMessage;

namespace vellora {

class MotionPreference : public QObject {
    Q_OBJECT
public:
    // `configHome` is where the desktop's files are looked for (by default
    // $XDG_CONFIG_HOME, else ~/.config). `askPortal` false leaves the
    // session bus alone.
    explicit MotionPreference(QObject *parent = nullptr, const QString &configHome = {}, bool askPortal = true);

    bool reduceMotion() const { return m_reduce; }
    // Whether the portal has answered (tests and logs).
    bool portalAnswered() const { return m_portalGnome.has_value() || m_portalKde.has_value(); }

    // What one source says, when it says anything.
    static std::optional<bool> fromGtkSettings(const QString &settingsIni);
    static std::optional<bool> fromKdeGlobals(const QString &kdeglobals);
    static std::optional<bool> fromAnimationFactor(double factor) { return factor <= 0.0; }

signals:
    void changed(bool reduceMotion);

private slots:
    void onSettingChanged(const QDBusMessage &message);

private:
    void askPortal();
    void portalValue(const QString &group, const QString &key, const QVariant &value);
    void settle();

    QString m_configHome;
    std::optional<bool> m_files;
    std::optional<bool> m_portalGnome;
    std::optional<bool> m_portalKde;
    bool m_reduce = false;
};

} // namespace vellora
