#include "Board.h"
#include "Item.h"
#include "LibraryFile.h"
#include "SmartFolder.h"

#include "CodingSupport.h"
#include "JsonWriter.h"
#include "LibraryCodec.h"
#include "Parallel.h"
#include "platform/WebAddress.h"

#include "platform/Text.h"
#include "platform/Uuid.h"

#include <QHash>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace vellora {

using coding::ObjectReader;
using coding::Path;

// ---- Item ----

QString Item::host() const
{
    if (!sourceURL)
        return {};
    QString h = WebAddress::hostOf(*sourceURL);
    if (h.startsWith(QLatin1String("www.")))
        h.remove(0, 4);
    return h;
}

nlohmann::ordered_json Item::toJSON() const
{
    using coding::stringArray;
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["id"] = id.toStdString();
    out["kind"] = kind.toStdString();
    out["originalFilename"] = originalFilename.toStdString();
    out["storedFilename"] = storedFilename.toStdString();
    out["thumbnailFilename"] = thumbnailFilename.toStdString();
    out["pixelWidth"] = std::int64_t(pixelWidth);
    out["pixelHeight"] = std::int64_t(pixelHeight);
    out["contentHash"] = contentHash.toStdString();
    out["dateAdded"] = dateAdded;
    out["dateCreated"] = dateCreated;
    out["collectionIds"] = stringArray(collectionIds);
    if (sourceURL) out["sourceURL"] = sourceURL->toStdString();
    if (labels) out["labels"] = stringArray(*labels);
    if (ocrText) out["ocrText"] = ocrText->toStdString();
    if (tags) out["tags"] = stringArray(*tags);
    if (palette) out["palette"] = stringArray(*palette);
    if (fileSize) out["fileSize"] = std::int64_t(*fileSize);
    if (title) out["title"] = title->toStdString();
    if (siteName) out["siteName"] = siteName->toStdString();
    if (summary) out["summary"] = summary->toStdString();
    if (faviconFilename) out["faviconFilename"] = faviconFilename->toStdString();
    if (snapshotDate) out["snapshotDate"] = *snapshotDate;
    if (pageText) out["pageText"] = pageText->toStdString();
    if (insight) out["insight"] = insight->toJSON();
    if (openCount) out["openCount"] = std::int64_t(*openCount);
    if (lastOpenedAt) out["lastOpenedAt"] = *lastOpenedAt;
    if (trashedAt) out["trashedAt"] = *trashedAt;
    if (trashedFrom) out["trashedFrom"] = stringArray(*trashedFrom);
    return out;
}

namespace coding {

Item readItem(const nlohmann::json &value, const Path &path)
{
    const ObjectReader r(value, path);
    Item item;
    item.id = r.string("id");
    item.kind = r.string("kind");
    item.originalFilename = r.string("originalFilename");
    item.storedFilename = r.string("storedFilename");
    item.thumbnailFilename = r.string("thumbnailFilename");
    item.pixelWidth = r.integer("pixelWidth");
    item.pixelHeight = r.integer("pixelHeight");
    item.contentHash = r.string("contentHash");
    item.dateAdded = r.number("dateAdded");
    item.dateCreated = r.number("dateCreated");
    item.collectionIds = r.strings("collectionIds");
    item.sourceURL = r.optString("sourceURL");
    item.labels = r.optStrings("labels");
    item.ocrText = r.optText("ocrText");
    item.tags = r.optStrings("tags");
    item.palette = r.optStrings("palette");
    item.fileSize = r.optInteger("fileSize");
    item.title = r.optString("title");
    item.siteName = r.optString("siteName");
    item.summary = r.optString("summary");
    item.faviconFilename = r.optString("faviconFilename");
    item.snapshotDate = r.optNumber("snapshotDate");
    item.pageText = r.optText("pageText");
    if (const nlohmann::json *v = r.optional("insight")) {
        const Path p = path.member("insight");
        item.insight = readLinkInsight(*v, p);
    }
    item.openCount = r.optInteger("openCount");
    item.lastOpenedAt = r.optNumber("lastOpenedAt");
    item.trashedAt = r.optNumber("trashedAt");
    item.trashedFrom = r.optStrings("trashedFrom");
    return item;
}

Board readBoard(const nlohmann::json &value, const Path &path)
{
    const ObjectReader r(value, path);
    Board b;
    b.id = r.string("id");
    b.name = r.string("name");
    b.dateCreated = r.number("dateCreated");
    b.groups = r.strings("groups");
    b.zone = r.optString("zone");
    b.zoneOwner = r.optString("zoneOwner");
    return b;
}

SmartFolder readSmartFolder(const nlohmann::json &value, const Path &path)
{
    const ObjectReader r(value, path);
    SmartFolder f;
    f.id = r.string("id");
    f.name = r.string("name");
    f.match = r.string("match");
    const Path p = path.member("rules");
    f.rules = toRecords<Rule>(r.required("rules"), p, &readRule);
    return f;
}

} // namespace coding

Item Item::fromJSON(const nlohmann::json &json) { return coding::readItem(json, Path{}); }

// ---- Board ----

nlohmann::ordered_json Board::toJSON() const
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["id"] = id.toStdString();
    out["name"] = name.toStdString();
    out["dateCreated"] = dateCreated;
    out["groups"] = coding::stringArray(groups);
    if (zone) out["zone"] = zone->toStdString();
    if (zoneOwner) out["zoneOwner"] = zoneOwner->toStdString();
    return out;
}

Board Board::fromJSON(const nlohmann::json &json) { return coding::readBoard(json, Path{}); }

size_t qHash(const Board &board, size_t seed) noexcept
{
    return qHashMulti(seed, board.id, board.name, board.dateCreated == 0.0 ? 0.0 : board.dateCreated, board.groups,
                      board.zone.has_value(), board.zone.value_or(QString()), board.zoneOwner.has_value(),
                      board.zoneOwner.value_or(QString()));
}

// ---- SmartFolder ----

bool SmartFolder::matches(const Item &item) const
{
    if (rules.isEmpty())
        return false;
    if (match == QLatin1String("any")) {
        for (const Rule &rule : rules)
            if (rule.matches(item))
                return true;
        return false;
    }
    for (const Rule &rule : rules)
        if (!rule.matches(item))
            return false;
    return true;
}

QString SmartFolder::summary() const
{
    if (rules.isEmpty())
        return QStringLiteral("No rules yet");
    QStringList phrases;
    phrases.reserve(rules.size());
    for (const Rule &rule : rules)
        phrases.push_back(rule.summary());
    return QStringLiteral("Items ")
        + formatList(phrases, match == QLatin1String("any") ? ListJoin::Or : ListJoin::And);
}

const QList<SmartFolder> &SmartFolder::defaults()
{
    static const QList<SmartFolder> folders = [] {
        SmartFolder recent;
        recent.id = newUUIDString();
        recent.name = QStringLiteral("Recent");
        recent.match = QStringLiteral("all");
        recent.rules = {Rule::addedWithinDays(7)};
        SmartFolder warm;
        warm.id = newUUIDString();
        warm.name = QStringLiteral("Warm tones");
        warm.match = QStringLiteral("all");
        warm.rules = {Rule::colourNear(QStringLiteral("#C8A070"), 30.0)};
        return QList<SmartFolder>{recent, warm};
    }();
    return folders;
}

nlohmann::ordered_json SmartFolder::toJSON() const
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["id"] = id.toStdString();
    out["name"] = name.toStdString();
    out["match"] = match.toStdString();
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Rule &rule : rules)
        list.push_back(rule.toJSON());
    out["rules"] = std::move(list);
    return out;
}

SmartFolder SmartFolder::fromJSON(const nlohmann::json &json) { return coding::readSmartFolder(json, Path{}); }

// ---- LibraryFile ----

LibraryFile LibraryFile::fromJSON(const nlohmann::json &json)
{
    const Path root;
    const ObjectReader r(json, root);
    LibraryFile file;
    {
        const Path p = root.member("collections");
        file.collections = coding::toRecords<Board>(r.required("collections"), p, &coding::readBoard);
    }
    {
        const Path p = root.member("items");
        file.items = coding::toRecords<Item>(r.required("items"), p, &coding::readItem);
    }
    file.topLevelOrder = r.strings("topLevelOrder");
    if (const nlohmann::json *v = r.optional("smartFolders")) {
        const Path p = root.member("smartFolders");
        file.smartFolders = coding::toRecords<SmartFolder>(*v, p, &coding::readSmartFolder);
    }
    return file;
}

LibraryFile LibraryFile::decode(const QByteArray &json)
{
    if (auto fast = coding::decodeLibraryFast(json))
        return std::move(*fast);
    // The general road decides what the fast one was not sure of, with the
    // exact error when the document is faulty.
    return fromJSON(coding::parse(json));
}

nlohmann::ordered_json LibraryFile::toJSON() const
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    nlohmann::ordered_json boards = nlohmann::ordered_json::array();
    for (const Board &b : collections)
        boards.push_back(b.toJSON());
    out["collections"] = std::move(boards);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Item &item : items)
        list.push_back(item.toJSON());
    out["items"] = std::move(list);
    out["topLevelOrder"] = coding::stringArray(topLevelOrder);
    if (smartFolders) {
        nlohmann::ordered_json folders = nlohmann::ordered_json::array();
        for (const SmartFolder &f : *smartFolders)
            folders.push_back(f.toJSON());
        out["smartFolders"] = std::move(folders);
    }
    return out;
}

QByteArray LibraryFile::encode() const
{
    QByteArray result;
    encodeInOrder([&result](std::string_view piece) { result.append(piece.data(), qsizetype(piece.size())); });
    return result;
}

namespace {

// The document's text before the items and after them.
std::string documentHead(const LibraryFile &file)
{
    const Path root;
    std::string head;
    nlohmann::ordered_json boards = nlohmann::ordered_json::array();
    for (const Board &b : file.collections)
        boards.push_back(b.toJSON());
    head += "{\n  \"collections\" : ";
    coding::appendPrettyJSON(head, boards, root.member("collections"), 1);
    head += ",\n  \"items\" : ";
    head += file.items.isEmpty() ? "[]" : "[";
    return head;
}

std::string documentTail(const LibraryFile &file)
{
    const Path root;
    std::string tail;
    if (!file.items.isEmpty())
        tail += "\n  ]";
    if (file.smartFolders) {
        nlohmann::ordered_json folders = nlohmann::ordered_json::array();
        for (const SmartFolder &f : *file.smartFolders)
            folders.push_back(f.toJSON());
        tail += ",\n  \"smartFolders\" : ";
        coding::appendPrettyJSON(tail, folders, root.member("smartFolders"), 1);
    }
    tail += ",\n  \"topLevelOrder\" : ";
    coding::appendPrettyJSON(tail, coding::stringArray(file.topLevelOrder), root.member("topLevelOrder"), 1);
    tail += "\n}";
    return tail;
}

// Items [first, last) as they follow the opening of the list.
void appendItems(std::string &out, const QList<Item> &items, std::size_t first, std::size_t last)
{
    // Room enough for nearly every item: pages reserved and never written
    // cost nothing, a buffer grown twice costs a copy.
    std::size_t room = out.size() + 64;
    for (std::size_t i = first; i < last; ++i) {
        const Item &item = items[qsizetype(i)];
        room += 3072 + (item.ocrText ? item.ocrText->utf8View().size() * 2 : 0)
            + (item.pageText ? item.pageText->utf8View().size() * 2 : 0);
    }
    out.reserve(room);
    const Path root;
    const Path itemsPath = root.member("items");
    for (std::size_t i = first; i < last; ++i) {
        out += i ? ",\n    " : "\n    ";
        coding::appendItemJSON(out, items[qsizetype(i)], itemsPath.element(qsizetype(i)), 2);
    }
}

} // namespace

std::vector<std::string> LibraryFile::encodePieces() const
{
    std::vector<std::string> pieces;
    encodeInOrder([&pieces](std::string_view piece) { pieces.emplace_back(piece); });
    return pieces;
}

void LibraryFile::encodeInOrder(const std::function<void(std::string_view)> &write) const
{
    write(documentHead(*this));
    const std::size_t count = std::size_t(items.size());
    // Blocks of items are encoded by the other threads, a few ahead of the
    // one that this thread writes, so that writing overlaps encoding and
    // only a few blocks are ever held.
    constexpr std::size_t kBlockItems = 1000;
    const std::size_t blockCount = (count + kBlockItems - 1) / kBlockItems;
    const int workers = blockCount > 1 ? partsFor(count, 2000) : 0;
    if (workers == 0) {
        std::string text;
        appendItems(text, items, 0, count);
        write(text);
        write(documentTail(*this));
        return;
    }
    struct Block {
        std::string text;
        bool done = false;
        std::exception_ptr error;
    };
    std::vector<Block> blocks(blockCount);
    const std::size_t ahead = std::size_t(workers) * 2;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t taken = 0;
    std::size_t written = 0;
    bool stop = false;

    std::vector<std::thread> threads;
    threads.reserve(std::size_t(workers));
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (;;) {
                std::size_t index;
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return stop || taken >= blockCount || taken < written + ahead; });
                    if (stop || taken >= blockCount)
                        return;
                    index = taken++;
                }
                Block &block = blocks[index];
                try {
                    appendItems(block.text, items, index * kBlockItems, std::min(count, (index + 1) * kBlockItems));
                } catch (...) {
                    block.error = std::current_exception();
                }
                std::lock_guard lock(mutex);
                block.done = true;
                changed.notify_all();
            }
        });
    auto finish = [&] {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        for (std::thread &thread : threads)
            thread.join();
    };
    try {
        for (std::size_t index = 0; index < blockCount; ++index) {
            Block &block = blocks[index];
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return block.done; });
            }
            if (block.error)
                std::rethrow_exception(block.error);
            write(block.text);
            std::string().swap(block.text);
            {
                std::lock_guard lock(mutex);
                written = index + 1;
            }
            changed.notify_all();
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    write(documentTail(*this));
}

} // namespace vellora
