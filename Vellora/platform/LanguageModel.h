#pragma once
// The on-device language model: an OpenAI-compatible chat-completions server
// on the user's own machine (a llama.cpp server, Ollama, ...), named in the
// user defaults. Nothing is named by default, and then the model is
// unavailable and no request is ever made.
//
// Settings (Defaults::standard()):
//   "languageModelURL"     base address of the server, e.g. "http://127.0.0.1:8080"
//                          (requests go to <base>/v1/chat/completions; an address
//                          whose path already ends in "/chat/completions" is used as is)
//   "languageModelName"    the model name sent with each request (empty: the server's own)
//   "languageModelTimeout" seconds one request may take in all (default 60)
//
// A server that cannot be reached within kConnectSeconds fails the request.
// After a request failed (no connection, a time-out, a server error) the
// model counts as resting for kRestSeconds: isAvailable() is false and no
// request goes out, so a server that is down does not hold every item of a
// pass for a whole time-out, one after the other. A good answer from the
// server (to a request still in flight, or to the settings' test) ends the
// rest, and so does a change of "languageModelURL" or "languageModelName".
//
// A session asks for one structured answer: the schema travels both as the
// request's JSON-schema response format and, when asked, as a note after the
// prompt. The answer comes back as parsed JSON; checking it against the
// caller's own type is the caller's job (see the decoders in enrichment).

#include <QString>
#include <QUrl>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

#include <QObject>

namespace vellora {

inline constexpr const char *kLanguageModelURLKey = "languageModelURL";
inline constexpr const char *kLanguageModelNameKey = "languageModelName";
inline constexpr const char *kLanguageModelTimeoutKey = "languageModelTimeout";

// A named JSON schema of one answer type. Ordered: a guided model writes the
// properties in the order the schema declares them, so a summary can be
// written before the category it leads to.
struct GenerationSchema {
    QString name;
    nlohmann::ordered_json schema;
};

struct LanguageModelConfig {
    QUrl endpoint;           // the full chat-completions address; empty: unavailable
    QString model;           // may be empty
    double timeoutSeconds = 60.0;
};

// The carrier of LanguageModel::restSignals().
class LanguageModelRests : public QObject {
    Q_OBJECT
signals:
    void changed();
};

class LanguageModel {
public:
    // The model the user named in the settings, read anew on every call.
    static LanguageModel systemDefault();

    explicit LanguageModel(LanguageModelConfig config);

    static constexpr int kConnectSeconds = 3;
    static constexpr int kRestSeconds = 180;

    // True when an http(s) endpoint is named.
    bool isConfigured() const;
    // Configured and not resting after a failure. Cheap and synchronous: it
    // does not ask the server.
    bool isAvailable() const;
    // Whether the named endpoint rests after a failure, and how many
    // milliseconds of its rest are left (0 when it does not rest).
    bool isResting() const { return restRemainingMs() > 0; }
    qint64 restRemainingMs() const;
    // Starts (or ends, with 0) the rest of this model's endpoint.
    void rest(qint64 milliseconds = qint64(kRestSeconds) * 1000) const;
    // Ends every endpoint's rest (the user named another server, or tests).
    static void endAllRests();
    // Tells when any endpoint starts or ends a rest (main thread).
    static QObject &restSignals();
    const LanguageModelConfig &config() const { return m_config; }

    // "<base>/v1/chat/completions" from the setting's text; empty when the text
    // is empty or not an http(s) address.
    static QUrl endpointFromSetting(const QString &text);

    // The text appended to a prompt when the schema is included in it.
    static QString schemaNote(const GenerationSchema &schema);

private:
    LanguageModelConfig m_config;
};

// The outcome of one request: the parsed JSON answer, or an error text.
struct LanguageModelResult {
    std::optional<nlohmann::json> content;
    QString error;
    // The model could not be asked or gave no answer at all (not set up,
    // resting, unreachable, a time-out, a server error), as opposed to an
    // answer that does not decode.
    bool unanswered = false;
    bool ok() const { return content.has_value(); }
};

// One conversation with fixed instructions. Each feature makes a fresh
// session per call, so nothing carries over between calls. Main thread only:
// the request runs on the main event loop and `done` is called there exactly
// once (also when the model is unavailable, then at once with an error).
class LanguageModelSession {
public:
    LanguageModelSession(LanguageModel model, QString instructions);

    // `context`, when given, bounds the callback's life: once it is destroyed
    // the answer is dropped and `done` is not called.
    void respond(const QString &prompt, const GenerationSchema &schema, bool includeSchemaInPrompt,
                 std::function<void(LanguageModelResult)> done, QObject *context = nullptr) const;

    // The request body respond() sends; public so its form can be checked.
    nlohmann::ordered_json requestBody(const QString &prompt, const GenerationSchema &schema,
                               bool includeSchemaInPrompt) const;

private:
    LanguageModel m_model;
    QString m_instructions;
};

// Extracts the answer JSON from a chat-completions response body: the first
// choice's message content, itself a JSON text (a surrounding Markdown code
// fence is tolerated). Public for tests.
LanguageModelResult decodeChatCompletion(const QByteArray &body);

} // namespace vellora
