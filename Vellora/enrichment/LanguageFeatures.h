#pragma once
// The language-model features: a link's insight, tags for an image, and
// smart-folder rules from a sentence. Each call tests that the model is
// available, opens a fresh session with fixed instructions, sends one prompt
// with the answer's schema (as the response format and in the prompt), and
// decodes the answer strictly into its type: an answer that lacks a required
// key or has a value of the wrong type is a failure, and a failure gives
// the feature's fallback, silently. Nothing is kept between calls.
//
// Main thread only: `done` is called there exactly once, at once when the
// model is unavailable (or no request is needed), otherwise when the answer
// arrives. When `context` is given and destroyed before that, `done` is
// never called.

#include "RuleDraft.h"
#include "library/LinkInsight.h"
#include "platform/LanguageModel.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace vellora {

// --- The fixed parts of each request ---
extern const char *const kLinkInsightInstructions;
extern const char *const kTagSuggestionInstructions;
extern const char *const kRuleGenerationInstructions;
// Characters (as the user sees them) of page text and image text a prompt carries at most.
inline constexpr int kPageTextLimit = 6000;
inline constexpr int kImageTextLimit = 600;

GenerationSchema linkInsightSchema();
GenerationSchema tagSuggestionSchema();
GenerationSchema generatedRulesSchema();

QString linkInsightPrompt(const QString &title, const QString &url, const QString &pageText);
QString tagSuggestionPrompt(const QString &filename, const QStringList &labels, const QString &text);

// The first `count` user-perceived characters (grapheme clusters) of `text`.
QString leadingCharacters(const QString &text, int count);

// --- Strict decoding of the answers; none for anything malformed ---
std::optional<LinkInsight> decodeLinkInsightAnswer(const nlohmann::json &answer);
std::optional<QStringList> decodeTagSuggestionAnswer(const nlohmann::json &answer);
struct GeneratedRules {
    QString match;
    QList<RuleDraft> rules;
};
std::optional<GeneratedRules> decodeGeneratedRulesAnswer(const nlohmann::json &answer);

// The insight with its author rule applied: the author, with every blank
// removed, is dropped when the address holds it (ignoring case); otherwise
// it stays exactly as generated.
LinkInsight applyAuthorRule(LinkInsight insight, const QString &url);

// --- The features ---
using InsightDone = std::function<void(std::optional<LinkInsight>)>;
using TagsDone = std::function<void(QStringList)>;
using RulesDone = std::function<void(std::optional<GeneratedRules>)>;

// A page's insight; none for an empty page text (no request is made), when
// the model is unavailable or fails.
void describeLink(const QString &title, const QString &url, const QString &pageText, InsightDone done,
                  QObject *context = nullptr);

// Tags for an image, lower-cased, in the generated order; without the model,
// or when it fails, the first five labels unchanged.
void suggestTags(const QString &filename, const QStringList &labels, const QString &text, TagsDone done,
                 QObject *context = nullptr);

// The same, telling apart a model that did not answer: none when a model is
// set up but rests after a failure, cannot be reached, times out or fails
// on the server; the caller then leaves the item's tags unset and asks
// again later instead of storing the fallback as if it were an answer.
// Without a model set up at all the fallback is the answer.
void suggestTagsIfAnswered(const QString &filename, const QStringList &labels, const QString &text,
                           std::function<void(std::optional<QStringList>)> done, QObject *context = nullptr);

// Rules for a described smart folder: the generated match word and one row
// per generated rule whose type is exactly a rule kind's name (others are
// dropped). None when the model is unavailable or fails.
void generateRules(const QString &description, RulesDone done, QObject *context = nullptr);

// Whether the features can ask the model at all (the smart-folder editor
// shows its "Describe it" row only then).
bool languageModelAvailable();

// One line for the places whose features wait while the named model rests
// after a failure (search, "Describe it…", the settings); empty when no
// model is named or it does not rest. LanguageModel::restSignals() tells
// when it changes.
QString languageModelRestNote();

} // namespace vellora
