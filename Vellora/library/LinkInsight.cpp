#include "LinkInsight.h"

#include "CodingSupport.h"
#include "JsonWriter.h"

namespace vellora {

using coding::ObjectReader;
using coding::Path;

namespace coding {

LinkEntities readLinkEntities(const nlohmann::json &value, const Path &path)
{
    const ObjectReader r(value, path);
    LinkEntities e;
    e.productName = r.optString("productName");
    e.price = r.optString("price");
    e.author = r.optString("author");
    e.publishDate = r.optString("publishDate");
    return e;
}

LinkInsight readLinkInsight(const nlohmann::json &value, const Path &path)
{
    const ObjectReader r(value, path);
    LinkInsight i;
    i.summary = r.string("summary");
    i.keyPoints = r.strings("keyPoints");
    i.category = r.string("category");
    const Path p = path.member("entities");
    i.entities = readLinkEntities(r.required("entities"), p);
    i.suggestedTags = r.strings("suggestedTags");
    return i;
}

} // namespace coding

nlohmann::ordered_json LinkEntities::toJSON() const
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    if (productName)
        out["productName"] = productName->toStdString();
    if (price)
        out["price"] = price->toStdString();
    if (author)
        out["author"] = author->toStdString();
    if (publishDate)
        out["publishDate"] = publishDate->toStdString();
    return out;
}

LinkEntities LinkEntities::fromJSON(const nlohmann::json &json) { return coding::readLinkEntities(json, Path{}); }

nlohmann::ordered_json LinkInsight::toJSON() const
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["summary"] = summary.toStdString();
    out["keyPoints"] = coding::stringArray(keyPoints);
    out["category"] = category.toStdString();
    out["entities"] = entities.toJSON();
    out["suggestedTags"] = coding::stringArray(suggestedTags);
    return out;
}

LinkInsight LinkInsight::fromJSON(const nlohmann::json &json) { return coding::readLinkInsight(json, Path{}); }

QByteArray LinkInsight::compactJSON() const { return writeJSON(toJSON(), JsonStyle::Compact); }

LinkInsight LinkInsight::decode(const QByteArray &json) { return fromJSON(coding::parse(json)); }

} // namespace vellora
