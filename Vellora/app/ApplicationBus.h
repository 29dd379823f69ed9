#pragma once
// One running Vellora per user: the first process owns the name
// "com.quendle.vellora" on the session bus and serves
// org.freedesktop.Application (Activate, Open, ActivateAction) there, so the
// desktop's URL handler and a second start both reach it; the second process
// hands its vellora: addresses over and ends. Beside it, the program's own
// interface "com.quendle.vellora.Shell" takes handed-over activities (the
// handoff stand-in), and "com.quendle.vellora.Capture" takes "Add to
// Vellora" (a path holds one object, so every interface is served here).
//
// Without a session bus the program simply runs on its own.

#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace vellora {

inline constexpr const char *kBusName = "com.quendle.vellora";
inline constexpr const char *kBusPath = "/com/quendle/vellora";
inline constexpr const char *kShellInterface = "com.quendle.vellora.Shell";

class ApplicationBus : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        Primary,        // this process owns the name and serves the interfaces
        AlreadyRunning, // another process owns it
        NoBus,          // no session bus: run alone
    };

    explicit ApplicationBus(QObject *parent = nullptr);
    ~ApplicationBus() override;

    // Serves the interfaces and asks for the name, without queueing. A copy
    // that an update relaunched first waits for the process it replaces.
    Claim claim();
    // Whether this process owns the name.
    bool isPrimary() const { return m_registered; }

    // From a second process: hands `uris` to the running one (Open, or
    // Activate when there are none). False when it could not be reached.
    static bool handOver(const QStringList &uris);

signals:
    void activateRequested();
    void openRequested(const QStringList &uris);
    void continueActivityRequested(const QString &type, const QVariantMap &userInfo);
    // "Add to Vellora" (interface "com.quendle.vellora.Capture").
    void addToVelloraRequested(const QStringList &uris, const QString &text);

private:
    Claim claimOnce();

    bool m_registered = false;
};

} // namespace vellora
