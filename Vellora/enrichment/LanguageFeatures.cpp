#include "LanguageFeatures.h"

#include <QTime>

#include "platform/Text.h"

#include <QTextBoundaryFinder>

namespace vellora {

using nlohmann::json;
using ojson = nlohmann::ordered_json;

const char *const kLinkInsightInstructions =
    "You describe web pages saved to a personal bookmark library. Use only facts stated in the page text; leave a "
    "field empty rather than guessing.";
const char *const kTagSuggestionInstructions =
    "You tag images in a personal design-inspiration library. Use plain, common words.";
const char *const kRuleGenerationInstructions =
    "Turn a description of a smart folder in a personal image and link library into filter conditions. Items have "
    "a kind (image or link), tags, Vision labels, text, a site domain, an added date, colours and an open count.";

namespace {

ojson text(const char *description)
{
    ojson property = {{"type", "string"}};
    if (description)
        property["description"] = description;
    return property;
}

// A text the model may leave out: under strict structured output every
// property is required, so "left out" is written as null.
ojson optionalText(const char *description)
{
    ojson property = text(description);
    property["type"] = {"string", "null"};
    return property;
}

ojson list(const char *description, std::optional<int> minimum, std::optional<int> maximum)
{
    ojson property = {{"type", "array"}, {"items", {{"type", "string"}}}};
    if (description)
        property["description"] = description;
    if (minimum)
        property["minItems"] = *minimum;
    if (maximum)
        property["maxItems"] = *maximum;
    return property;
}

// An object that requires every one of its properties, in their order.
ojson object(ojson properties)
{
    ojson required = ojson::array();
    for (auto it = properties.begin(); it != properties.end(); ++it)
        required.push_back(it.key());
    return {{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)},
            {"additionalProperties", false}};
}

// The answer's strings are already sound UTF-8 (the response parser rejects
// anything else); here only their types are checked.
std::optional<QString> stringAt(const json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return QString::fromStdString(it->get<std::string>());
}

std::optional<QStringList> stringsAt(const json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array())
        return std::nullopt;
    QStringList out;
    for (const json &element : *it) {
        if (!element.is_string())
            return std::nullopt;
        out << QString::fromStdString(element.get<std::string>());
    }
    return out;
}

// An optional entity: absent or null reads as absent, any other non-string fails.
bool optionalStringAt(const json &object, const char *key, std::optional<QString> &out)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        out.reset();
        return true;
    }
    if (!it->is_string())
        return false;
    out = QString::fromStdString(it->get<std::string>());
    return true;
}

// Runs one request of a feature; `decode` turns the answer into the result
// or none, and `fallback` stands in for a failure.
template <typename Result, typename Decode, typename Fallback>
void ask(const char *instructions, const QString &prompt, const GenerationSchema &schema, Decode decode,
         Fallback fallback, std::function<void(Result)> done, QObject *context)
{
    const LanguageModel model = LanguageModel::systemDefault();
    if (!model.isAvailable()) {
        done(fallback());
        return;
    }
    LanguageModelSession(model, QString::fromUtf8(instructions))
        .respond(
            prompt, schema, true,
            [decode = std::move(decode), fallback = std::move(fallback), done = std::move(done)](
                LanguageModelResult result) {
                if (!result.ok()) {
                    done(fallback());
                    return;
                }
                std::optional<Result> decoded = decode(*result.content);
                done(decoded ? std::move(*decoded) : fallback());
            },
            context);
}

} // namespace

GenerationSchema linkInsightSchema()
{
    const ojson entities = object(
        {{"productName", optionalText("Name of the product for sale, only if the page sells one")},
         {"price", optionalText("Price exactly as written on the page, with currency")},
         {"author",
          optionalText("Person who wrote an article or post, only if a byline names them; never a brand or shop")},
         {"publishDate",
          optionalText("Date an article or post was published, as written; never a copyright notice")}});
    ojson category = text("What kind of page this is");
    category["enum"] = {"article", "product", "tool", "video", "social", "docs", "other"};
    return {QStringLiteral("LinkInsight"),
            object({{"summary", text("What the page is, in at most two sentences")},
                    {"keyPoints", list("The most useful facts on the page, each a short phrase", std::nullopt, 4)},
                    {"category", category},
                    {"entities", entities},
                    {"suggestedTags", list("Short lowercase tags for the page", std::nullopt, 5)}})};
}

GenerationSchema tagSuggestionSchema()
{
    return {QStringLiteral("TagSuggestion"),
            object({{"tags", list("Short lowercase tags describing the image's subject, style and use", 3, 5)}})};
}

GenerationSchema generatedRulesSchema()
{
    ojson type = text("Condition type");
    ojson names = ojson::array();
    for (RuleDraft::Kind kind : RuleDraft::allKinds())
        names.push_back(RuleDraft::rawValue(kind).toStdString());
    type["enum"] = names;
    const ojson rule = object({{"type", type},
                               {"value", text("kind: image or link; tags: comma-separated words; days and counts: a "
                                              "whole number; colour: #rrggbb; otherwise a single word or domain")}});
    ojson match = text("all when every condition must hold, any when one is enough");
    match["enum"] = {"all", "any"};
    return {QStringLiteral("GeneratedRules"),
            object({{"match", match}, {"rules", {{"type", "array"}, {"items", rule}, {"maxItems", 5}}}})};
}

QString leadingCharacters(const QString &text, int count)
{
    if (count <= 0)
        return {};
    if (text.size() <= count)
        return text; // fewer code units than asked: fewer characters too
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int seen = 0;
    while (finder.toNextBoundary() >= 0) {
        if (++seen == count)
            return text.left(finder.position());
    }
    return text;
}

QString linkInsightPrompt(const QString &title, const QString &url, const QString &pageText)
{
    return QStringLiteral("Title: ") + title + QStringLiteral("\nURL: ") + url + QStringLiteral("\nPage text:\n")
        + leadingCharacters(pageText, kPageTextLimit);
}

QString tagSuggestionPrompt(const QString &filename, const QStringList &labels, const QString &text)
{
    return QStringLiteral("Filename: ") + filename + QStringLiteral("\nDetected: ") + labels.join(QStringLiteral(", "))
        + QStringLiteral("\nText in the image: ") + leadingCharacters(text, kImageTextLimit);
}

std::optional<LinkInsight> decodeLinkInsightAnswer(const json &answer)
{
    if (!answer.is_object())
        return std::nullopt;
    LinkInsight insight;
    const auto summary = stringAt(answer, "summary");
    const auto keyPoints = stringsAt(answer, "keyPoints");
    const auto category = stringAt(answer, "category");
    const auto tags = stringsAt(answer, "suggestedTags");
    const auto entities = answer.find("entities");
    if (!summary || !keyPoints || !category || !tags || entities == answer.end() || !entities->is_object())
        return std::nullopt;
    insight.summary = *summary;
    insight.keyPoints = *keyPoints;
    insight.category = *category;
    insight.suggestedTags = *tags;
    if (!optionalStringAt(*entities, "productName", insight.entities.productName)
        || !optionalStringAt(*entities, "price", insight.entities.price)
        || !optionalStringAt(*entities, "author", insight.entities.author)
        || !optionalStringAt(*entities, "publishDate", insight.entities.publishDate))
        return std::nullopt;
    return insight;
}

std::optional<QStringList> decodeTagSuggestionAnswer(const json &answer)
{
    if (!answer.is_object())
        return std::nullopt;
    return stringsAt(answer, "tags");
}

std::optional<GeneratedRules> decodeGeneratedRulesAnswer(const json &answer)
{
    if (!answer.is_object())
        return std::nullopt;
    const auto match = stringAt(answer, "match");
    const auto rules = answer.find("rules");
    if (!match || rules == answer.end() || !rules->is_array())
        return std::nullopt;
    GeneratedRules result{*match, {}};
    for (const json &rule : *rules) {
        if (!rule.is_object())
            return std::nullopt;
        const auto type = stringAt(rule, "type");
        const auto value = stringAt(rule, "value");
        if (!type || !value)
            return std::nullopt;
        if (const auto kind = RuleDraft::kindFromRawValue(*type))
            result.rules << RuleDraft{QUuid::createUuid(), *kind, *value};
    }
    return result;
}

LinkInsight applyAuthorRule(LinkInsight insight, const QString &url)
{
    if (insight.entities.author) {
        QString squeezed = *insight.entities.author;
        squeezed.remove(QLatin1Char(' '));
        if (!squeezed.isEmpty() && lowercased(url).contains(lowercased(squeezed)))
            insight.entities.author.reset();
    }
    return insight;
}

void describeLink(const QString &title, const QString &url, const QString &pageText, InsightDone done,
                  QObject *context)
{
    if (pageText.isEmpty()) {
        done(std::nullopt);
        return;
    }
    ask<std::optional<LinkInsight>>(
        kLinkInsightInstructions, linkInsightPrompt(title, url, pageText), linkInsightSchema(),
        [url](const json &answer) -> std::optional<std::optional<LinkInsight>> {
            std::optional<LinkInsight> insight = decodeLinkInsightAnswer(answer);
            if (!insight)
                return std::nullopt;
            return std::optional<LinkInsight>(applyAuthorRule(std::move(*insight), url));
        },
        [] { return std::optional<LinkInsight>(); }, std::move(done), context);
}

void suggestTagsIfAnswered(const QString &filename, const QStringList &labels, const QString &text,
                           std::function<void(std::optional<QStringList>)> done, QObject *context)
{
    const LanguageModel model = LanguageModel::systemDefault();
    if (!model.isConfigured()) {
        done(labels.mid(0, 5));
        return;
    }
    if (!model.isAvailable()) {
        done(std::nullopt);
        return;
    }
    LanguageModelSession(model, QString::fromUtf8(kTagSuggestionInstructions))
        .respond(
            tagSuggestionPrompt(filename, labels, text), tagSuggestionSchema(), true,
            [labels, done = std::move(done)](LanguageModelResult result) {
                if (result.unanswered) {
                    done(std::nullopt);
                    return;
                }
                std::optional<QStringList> tags = result.ok() ? decodeTagSuggestionAnswer(*result.content)
                                                              : std::nullopt;
                if (!tags) {
                    // The model answered, but not in the asked form: the
                    // fallback stands as its answer.
                    done(labels.mid(0, 5));
                    return;
                }
                for (QString &tag : *tags)
                    tag = lowercased(tag);
                done(std::move(tags));
            },
            context);
}

void suggestTags(const QString &filename, const QStringList &labels, const QString &text, TagsDone done,
                 QObject *context)
{
    suggestTagsIfAnswered(
        filename, labels, text,
        [labels, done = std::move(done)](std::optional<QStringList> tags) {
            done(tags ? std::move(*tags) : labels.mid(0, 5));
        },
        context);
}

void generateRules(const QString &description, RulesDone done, QObject *context)
{
    ask<std::optional<GeneratedRules>>(
        kRuleGenerationInstructions, description, generatedRulesSchema(),
        [](const json &answer) -> std::optional<std::optional<GeneratedRules>> {
            std::optional<GeneratedRules> rules = decodeGeneratedRulesAnswer(answer);
            if (!rules)
                return std::nullopt;
            return rules;
        },
        [] { return std::optional<GeneratedRules>(); }, std::move(done), context);
}

bool languageModelAvailable() { return LanguageModel::systemDefault().isAvailable(); }

QString languageModelRestNote()
{
    const LanguageModel model = LanguageModel::systemDefault();
    if (!model.isConfigured() || !model.isResting())
        return {};
    const QTime until = QTime::currentTime().addMSecs(model.restRemainingMs());
    return QStringLiteral("The language model did not answer. It is asked again at %1, or as soon as Test in "
                          "Settings succeeds.")
        .arg(until.toString(QStringLiteral("HH:mm")));
}

} // namespace vellora
