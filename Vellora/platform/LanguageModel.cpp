#include "LanguageModel.h"

#include "Defaults.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <QHash>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <memory>

namespace vellora {

namespace {
// An answer larger than this is no answer to our small schemas; stop reading.
constexpr qint64 kMaxResponseBytes = 4 * 1024 * 1024;

QString fromStd(const std::string &s) { return QString::fromUtf8(s.data(), qsizetype(s.size())); }
std::string toStd(const QString &s) { return s.toStdString(); }

// The end of each endpoint's rest. Any thread may ask.
QMutex restLock;
// When each endpoint last gave a good answer (under restLock).
QHash<QString, std::chrono::steady_clock::time_point> &lastAnswers()
{
    static QHash<QString, std::chrono::steady_clock::time_point> answers;
    return answers;
}

QHash<QString, QDeadlineTimer> &rests()
{
    static QHash<QString, QDeadlineTimer> table;
    return table;
}
} // namespace

LanguageModel LanguageModel::systemDefault()
{
    Defaults &defaults = Defaults::standard();
    LanguageModelConfig config;
    config.endpoint = endpointFromSetting(defaults.string(kLanguageModelURLKey));
    config.model = defaults.string(kLanguageModelNameKey);
    const double timeout = defaults.number(kLanguageModelTimeoutKey, 60.0);
    config.timeoutSeconds = timeout > 0 ? timeout : 60.0;
    return LanguageModel(std::move(config));
}

LanguageModel::LanguageModel(LanguageModelConfig config) : m_config(std::move(config)) {}

bool LanguageModel::isAvailable() const { return isConfigured() && !isResting(); }

qint64 LanguageModel::restRemainingMs() const
{
    QMutexLocker locker(&restLock);
    const auto it = rests().constFind(m_config.endpoint.toString());
    if (it == rests().constEnd())
        return 0;
    return std::max<qint64>(0, it->remainingTime());
}

QObject &LanguageModel::restSignals()
{
    static LanguageModelRests carrier;
    // A rest speaks of the server and model that failed: once the user names
    // another address or another model, nothing is known of them yet. Every
    // rest begins with a call here, so the hook is in place before any rest.
    static const bool hooked = [] {
        QObject::connect(&Defaults::standard(), &Defaults::changed, &carrier, [](const QString &key) {
            if (key == QLatin1String(kLanguageModelURLKey) || key == QLatin1String(kLanguageModelNameKey))
                LanguageModel::endAllRests();
        });
        return true;
    }();
    Q_UNUSED(hooked);
    return carrier;
}

namespace {
// Tells now, and once more when a rest that began runs out by itself.
void announceRests(qint64 restMs = 0)
{
    auto *carrier = static_cast<LanguageModelRests *>(&LanguageModel::restSignals());
    QMetaObject::invokeMethod(carrier, &LanguageModelRests::changed, Qt::QueuedConnection);
    if (restMs > 0)
        QMetaObject::invokeMethod(carrier, [carrier, restMs] {
            QTimer::singleShot(std::chrono::milliseconds(restMs + 50), carrier, &LanguageModelRests::changed);
        }, Qt::QueuedConnection);
}
} // namespace

void LanguageModel::rest(qint64 milliseconds) const
{
    bool changed = false;
    {
        QMutexLocker locker(&restLock);
        if (milliseconds <= 0) {
            changed = rests().remove(m_config.endpoint.toString()) > 0;
        } else {
            rests().insert(m_config.endpoint.toString(), QDeadlineTimer(milliseconds));
            changed = true;
        }
    }
    if (changed)
        announceRests(milliseconds);
}

void LanguageModel::endAllRests()
{
    {
        QMutexLocker locker(&restLock);
        rests().clear();
    }
    announceRests();
}

bool LanguageModel::isConfigured() const
{
    const QString scheme = m_config.endpoint.scheme();
    return m_config.endpoint.isValid() && !m_config.endpoint.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

QUrl LanguageModel::endpointFromSetting(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return {};
    QUrl url(trimmed, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};
    QString path = url.path();
    if (!path.endsWith(QLatin1String("/chat/completions"))) {
        while (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        if (!path.endsWith(QLatin1String("/v1")))
            path += QLatin1String("/v1");
        path += QLatin1String("/chat/completions");
        url.setPath(path);
    }
    return url;
}

QString LanguageModel::schemaNote(const GenerationSchema &schema)
{
    return QStringLiteral("\n\nRespond with one JSON object that conforms to this JSON schema:\n")
        + fromStd(schema.schema.dump());
}

LanguageModelSession::LanguageModelSession(LanguageModel model, QString instructions)
    : m_model(std::move(model)), m_instructions(std::move(instructions))
{
}

nlohmann::ordered_json LanguageModelSession::requestBody(const QString &prompt, const GenerationSchema &schema,
                                                 bool includeSchemaInPrompt) const
{
    QString user = prompt;
    if (includeSchemaInPrompt)
        user += LanguageModel::schemaNote(schema);
    // Every schema we send is valid under strict structured output: each
    // object lists all its properties as required and allows no others, and
    // a value that may be missing is typed as also allowing null.
    nlohmann::ordered_json body = {
        {"messages",
         nlohmann::ordered_json::array({
             {{"role", "system"}, {"content", toStd(m_instructions)}},
             {{"role", "user"}, {"content", toStd(user)}},
         })},
        {"response_format",
         {{"type", "json_schema"},
          {"json_schema", {{"name", toStd(schema.name)}, {"strict", true}, {"schema", schema.schema}}}}},
        {"stream", false},
    };
    if (!m_model.config().model.isEmpty())
        body["model"] = toStd(m_model.config().model);
    return body;
}

void LanguageModelSession::respond(const QString &prompt, const GenerationSchema &schema,
                                   bool includeSchemaInPrompt,
                                   std::function<void(LanguageModelResult)> done, QObject *context) const
{
    if (!m_model.isAvailable()) {
        done(LanguageModelResult{std::nullopt,
                                 m_model.isConfigured() ? QStringLiteral("language model resting after a failure")
                                                        : QStringLiteral("language model unavailable"),
                                 true});
        return;
    }
    const QByteArray payload = QByteArray::fromStdString(requestBody(prompt, schema, includeSchemaInPrompt).dump());
    const auto sentAt = std::chrono::steady_clock::now();

    auto *manager = new QNetworkAccessManager;
    QNetworkRequest request(m_model.config().endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->post(request, payload);

    auto timer = new QTimer(manager);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply] { reply->abort(); });
    timer->start(int(std::min(m_model.config().timeoutSeconds * 1000.0, 2.0e9)));
    // A server that is not there must not hold the request for the whole
    // time-out: the connection has to stand within a few seconds.
    auto connectTimer = new QTimer(manager);
    connectTimer->setSingleShot(true);
    QObject::connect(connectTimer, &QTimer::timeout, reply, [reply] { reply->abort(); });
    QObject::connect(reply, &QNetworkReply::requestSent, connectTimer, &QTimer::stop);
    QObject::connect(reply, &QNetworkReply::uploadProgress, connectTimer, [connectTimer](qint64 sent, qint64) {
        if (sent > 0)
            connectTimer->stop();
    });
    connectTimer->start(int(std::min(m_model.config().timeoutSeconds, double(LanguageModel::kConnectSeconds)) * 1000.0));

    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxResponseBytes)
            reply->abort();
    });

    const bool bounded = context != nullptr;
    QPointer<QObject> guard(context);
    QObject::connect(reply, &QNetworkReply::finished, manager,
                     [model = m_model, manager, reply, done = std::move(done), bounded, guard, timer, connectTimer,
                      sentAt] {
        timer->stop();
        connectTimer->stop();
        LanguageModelResult result;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status < 200 || status >= 300) {
            result.error = status != 0 ? QStringLiteral("http status %1").arg(status) : reply->errorString();
            result.unanswered = true;
        } else {
            result = decodeChatCompletion(reply->readAll());
        }
        // The server answered: whatever made it rest has passed. A failure
        // of a request sent before a later good answer is old news and
        // starts no rest.
        const QString endpoint = model.config().endpoint.toString();
        if (result.unanswered) {
            bool answeredSince = false;
            {
                QMutexLocker locker(&restLock);
                const auto it = lastAnswers().constFind(endpoint);
                answeredSince = it != lastAnswers().constEnd() && *it > sentAt;
            }
            if (!answeredSince)
                model.rest();
        } else {
            {
                QMutexLocker locker(&restLock);
                lastAnswers().insert(endpoint, std::chrono::steady_clock::now());
            }
            model.rest(0);
        }
        reply->deleteLater();
        manager->deleteLater();
        if (bounded && guard.isNull())
            return;
        done(std::move(result));
    });
}

LanguageModelResult decodeChatCompletion(const QByteArray &body)
{
    LanguageModelResult result;
    try {
        // parse() rejects ill-formed UTF-8 and unpaired surrogate escapes, so
        // every string that comes out of here is sound text.
        const nlohmann::json response = nlohmann::json::parse(body.constData(), body.constData() + body.size());
        const auto &choices = response.at("choices");
        if (!choices.is_array() || choices.empty())
            throw std::runtime_error("no choices");
        const auto &content = choices.at(0).at("message").at("content");
        if (!content.is_string())
            throw std::runtime_error("content is not text");
        std::string text = content.get<std::string>();
        // Some servers wrap the JSON in a Markdown fence despite the response format.
        auto trim = [](std::string &s) {
            const auto first = s.find_first_not_of(" \t\r\n");
            const auto last = s.find_last_not_of(" \t\r\n");
            s = first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
        };
        trim(text);
        if (text.rfind("```", 0) == 0) {
            const auto newline = text.find('\n');
            const auto closing = text.rfind("```");
            if (newline != std::string::npos && closing != std::string::npos && closing > newline) {
                text = text.substr(newline + 1, closing - newline - 1);
                trim(text);
            }
        }
        result.content = nlohmann::json::parse(text);
    } catch (const std::exception &error) {
        result.content.reset();
        result.error = QStringLiteral("undecodable answer: ") + QString::fromUtf8(error.what());
    }
    return result;
}

} // namespace vellora
