#pragma once
// The library in the desktop's search: the headless mode
// "vellora --search-provider", which the session bus starts when GNOME Shell
// or KRunner first asks, answers both search interfaces
// (org.gnome.Shell.SearchProvider2 and org.kde.krunner1) from the search
// index and opens a chosen result as vellora://item/<id>. It reads the index
// only; it never loads the library.

#include "SearchIndex.h"

#include <QDBusArgument>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QDBusConnection;

namespace vellora {

// One KRunner result: (id, text, icon name, match type, relevance, properties).
struct KRunnerMatch {
    QString id;
    QString text;
    QString iconName;
    int type = 0;
    double relevance = 0.0;
    QVariantMap properties;
};
// One KRunner action: (id, text, icon name).
struct KRunnerAction {
    QString id;
    QString text;
    QString iconName;
};
using KRunnerMatches = QList<KRunnerMatch>;
using KRunnerActions = QList<KRunnerAction>;
using ResultMetas = QList<QVariantMap>;

QDBusArgument &operator<<(QDBusArgument &argument, const KRunnerMatch &match);
const QDBusArgument &operator>>(const QDBusArgument &argument, KRunnerMatch &match);
QDBusArgument &operator<<(QDBusArgument &argument, const KRunnerAction &action);
const QDBusArgument &operator>>(const QDBusArgument &argument, KRunnerAction &action);

class SearchProvider : public QObject {
    Q_OBJECT
public:
    // How many results one query returns at most.
    static constexpr int kMaxResults = 20;

    explicit SearchProvider(const QString &indexPath, QObject *parent = nullptr);
    ~SearchProvider() override;

    // Serves both interfaces at kSearchProviderPath on `bus` and takes the
    // name kSearchProviderService. False, with the reason, when that fails.
    bool registerOn(QDBusConnection bus, QString *error);

    // Opening "vellora://item/<id>", or the window alone for an empty URL.
    // By default the running window is asked over the bus
    // (org.freedesktop.Application), and the program is started with the URL
    // when no window answers.
    using Opener = std::function<void(const QString &url)>;
    void setOpener(Opener opener);
    // The program started when no window runs (default: this executable).
    void setProgram(const QString &program);

    // --- What both interfaces answer. ---
    QStringList search(const QStringList &terms);
    ResultMetas resultMetas(const QStringList &ids);
    KRunnerMatches match(const QString &query);
    // Ids that are not one plain name are ignored.
    void activate(const QString &id);
    // The window, with its search field holding the terms
    // (vellora://search?q=<terms>); no terms: only the window.
    void launchSearch(const QStringList &terms);

    // The address a result opens.
    static QString itemURL(const QString &id);

signals:
    // Each call from the bus; the headless mode ends after a quiet while.
    void used();

private:
    bool ensureOpen();
    void open(const QString &url);
    void startProgram(const QString &url);

    SearchIndex m_index;
    Opener m_opener;
    QString m_program;
};

// The headless mode: serves until nobody has asked for a minute. Returns the
// exit status (1, with the reason on standard error, without a session bus or
// when another provider runs).
int runSearchProvider(int argc, char **argv);

} // namespace vellora

Q_DECLARE_METATYPE(vellora::KRunnerMatch)
Q_DECLARE_METATYPE(vellora::KRunnerAction)
