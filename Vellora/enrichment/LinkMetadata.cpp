#include "LinkMetadata.h"

#include "PageUserAgent.h"

#include <QBuffer>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

#include <gumbo.h>

#include <QSet>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <vector>

namespace vellora {

namespace {

bool isWebScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString attribute(const GumboElement &element, const char *name)
{
    const GumboAttribute *a = gumbo_get_attribute(&element.attributes, name);
    return a ? QString::fromUtf8(a->value) : QString();
}

// The text of a node's subtree, walked with a stack of our own: a page
// decides how deep its tree is, and a deep one must not exhaust ours.
QString textOf(const GumboNode *root)
{
    QString text;
    std::vector<const GumboNode *> pending{root};
    while (!pending.empty()) {
        const GumboNode *node = pending.back();
        pending.pop_back();
        if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_CDATA) {
            text += QString::fromUtf8(node->v.text.text);
            continue;
        }
        if (node->type != GUMBO_NODE_ELEMENT)
            continue;
        const GumboVector &children = node->v.element.children;
        for (unsigned i = children.length; i > 0; --i)
            pending.push_back(static_cast<const GumboNode *>(children.data[i - 1]));
    }
    return text;
}

// The larger side of the largest "WxH" in a sizes attribute; "any" (a
// scalable icon) counts as very large, nothing given as 0.
int declaredSize(const QString &sizes)
{
    int best = 0;
    for (const QString &token : sizes.toLower().split(u' ', Qt::SkipEmptyParts)) {
        if (token == QLatin1String("any"))
            return 1 << 20;
        const QStringList wh = token.split(u'x');
        if (wh.size() == 2)
            best = std::max({best, wh[0].toInt(), wh[1].toInt()});
    }
    return best;
}

struct Icon {
    QUrl url;
    int size;
    int order;
};

struct HeadReader {
    std::map<QString, QString> meta; // first content per lower-cased property or name
    std::optional<QString> title;
    std::optional<QString> baseHref;
    QList<std::pair<QString, int>> icons; // href, declared size

    // Every element in document order, with a stack of our own, to the
    // depth the bounded document can have.
    void visitAll(const GumboNode *root)
    {
        std::vector<std::pair<const GumboNode *, int>> pending{{root, 0}};
        while (!pending.empty()) {
            const auto [node, depth] = pending.back();
            pending.pop_back();
            if (node->type != GUMBO_NODE_ELEMENT || depth > kMaxTreeDepth)
                continue;
            if (!visit(node))
                continue;
            const GumboVector &children = node->v.element.children;
            for (unsigned i = children.length; i > 0; --i)
                pending.emplace_back(static_cast<const GumboNode *>(children.data[i - 1]), depth + 1);
        }
    }

    // Reads one element; false when its children are not to be walked.
    bool visit(const GumboNode *node)
    {
        const GumboElement &e = node->v.element;
        switch (e.tag) {
        case GUMBO_TAG_META: {
            QString key = attribute(e, "property");
            if (key.isEmpty())
                key = attribute(e, "name");
            const GumboAttribute *content = gumbo_get_attribute(&e.attributes, "content");
            if (!key.isEmpty() && content)
                meta.emplace(key.toLower(), QString::fromUtf8(content->value));
            break;
        }
        case GUMBO_TAG_TITLE:
            if (!title)
                title = textOf(node);
            break;
        case GUMBO_TAG_BASE:
            if (!baseHref && gumbo_get_attribute(&e.attributes, "href"))
                baseHref = attribute(e, "href");
            break;
        case GUMBO_TAG_LINK: {
            const QStringList rel = attribute(e, "rel").toLower().split(u' ', Qt::SkipEmptyParts);
            const bool icon = rel.contains(QLatin1String("icon")) || rel.contains(QLatin1String("apple-touch-icon"))
                || rel.contains(QLatin1String("apple-touch-icon-precomposed"));
            const QString href = attribute(e, "href").trimmed();
            if (icon && !href.isEmpty() && icons.size() < kMaxDeclaredIcons)
                icons.append({href, declaredSize(attribute(e, "sizes"))});
            break;
        }
        default:
            break;
        }
        // An <svg> inside the body can carry its own <title>; only the
        // document's counts, so the walk does not descend into foreign content.
        return e.tag != GUMBO_TAG_SVG && e.tag != GUMBO_TAG_MATH;
    }

    std::optional<QString> firstMeta(std::initializer_list<const char *> keys) const
    {
        for (const char *key : keys) {
            auto it = meta.find(QString::fromLatin1(key));
            if (it != meta.end() && !it->second.trimmed().isEmpty())
                return it->second.trimmed();
        }
        return std::nullopt;
    }
};

bool isNameByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == ':' || c == '_'; }

// Elements that close themselves or that a later sibling closes: they add no
// depth to the tree, however many of them stay open in the text.
bool addsNoDepth(const QByteArray &name)
{
    static const std::set<QByteArray> names{
        "area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param", "source", "track", "wbr",
        "p", "li", "dt", "dd", "option", "optgroup", "tr", "td", "th", "tbody", "thead", "tfoot", "colgroup",
        "caption", "rb", "rt", "rp", "html", "head", "body", "!doctype"};
    return names.count(name) > 0;
}

// Elements whose content is text up to their own end tag.
bool holdsRawText(const QByteArray &name)
{
    return name == "script" || name == "style" || name == "title" || name == "textarea" || name == "xmp"
        || name == "noembed" || name == "noframes" || name == "plaintext";
}

qsizetype indexOfInsensitive(const QByteArray &haystack, const QByteArray &needle, qsizetype from)
{
    const qsizetype last = haystack.size() - needle.size();
    for (qsizetype i = std::max<qsizetype>(from, 0); i <= last; ++i) {
        i = haystack.indexOf(needle.front(), i);
        if (i < 0 || i > last)
            return -1;
        if (qstrnicmp(haystack.constData() + i, needle.constData(), needle.size()) == 0)
            return i;
    }
    return -1;
}

} // namespace

QByteArray boundedDocument(const QByteArray &html, int maxDepth)
{
    // A light scan of the tags, not a parse: it counts how many elements stand
    // open and cuts the text before the tag that would open one too many.
    // The parser needs time that grows with the square of the depth, and
    // nothing a page says about itself lies that deep.
    const qsizetype size = html.size();
    int depth = 0;
    qsizetype i = 0;
    while (i < size) {
        i = html.indexOf('<', i);
        if (i < 0 || i + 1 >= size)
            break;
        const char next = html.at(i + 1);
        if (html.mid(i, 4) == "<!--") {
            const qsizetype end = html.indexOf("-->", i + 4);
            if (end < 0)
                break;
            i = end + 3;
            continue;
        }
        const bool closing = next == '/';
        qsizetype nameStart = closing ? i + 2 : i + 1;
        if (next == '!' || next == '?')
            nameStart = i + 1;
        else if (nameStart >= size || !std::isalpha(static_cast<unsigned char>(html.at(nameStart)))) {
            ++i;
            continue;
        }
        qsizetype nameEnd = nameStart + (next == '!' || next == '?' ? 1 : 0);
        while (nameEnd < size && isNameByte(html.at(nameEnd)))
            ++nameEnd;
        const QByteArray name = html.mid(nameStart, nameEnd - nameStart).toLower();
        // The end of the tag, past quoted attribute values.
        qsizetype end = nameEnd;
        char quote = 0;
        for (; end < size; ++end) {
            const char c = html.at(end);
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
        if (end >= size)
            break;
        if (next == '!' || next == '?') {
            i = end + 1;
            continue;
        }
        if (closing) {
            if (!addsNoDepth(name) && !holdsRawText(name))
                depth = std::max(0, depth - 1);
            i = end + 1;
            continue;
        }
        const bool selfClosed = html.at(end - 1) == '/';
        if (holdsRawText(name)) {
            const qsizetype close = indexOfInsensitive(html, "</" + name, end + 1);
            if (close < 0)
                break;
            i = close;
            continue;
        }
        if (!selfClosed && !addsNoDepth(name)) {
            if (++depth > maxDepth)
                return html.left(i);
        }
        i = end + 1;
    }
    return html;
}

namespace {

QByteArray charsetLabel(const QByteArray &contentType)
{
    for (const QByteArray &part : contentType.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.toLower().startsWith("charset="))
            return p.mid(8).trimmed().replace('"', "").replace('\'', "").trimmed();
    }
    return {};
}

bool knownCharset(const QByteArray &label)
{
    return !label.isEmpty() && QStringDecoder(label.constData()).isValid();
}

// The charset a <meta> element in the first 1024 bytes declares, as a
// browser's prescan finds it: <meta charset=...> or the charset inside
// <meta http-equiv content="text/html; charset=...">.
QByteArray metaCharsetLabel(const QByteArray &bytes)
{
    const QByteArray start = bytes.left(1024).toLower();
    qsizetype at = 0;
    while ((at = start.indexOf("<meta", at)) >= 0) {
        const qsizetype end = start.indexOf('>', at);
        const QByteArray tag = start.mid(at, end < 0 ? -1 : end - at);
        at += 5;
        const qsizetype key = tag.indexOf("charset");
        if (key < 0)
            continue;
        qsizetype i = key + 7;
        while (i < tag.size() && (tag[i] == ' ' || tag[i] == '\t' || tag[i] == '\n' || tag[i] == '\r'))
            ++i;
        if (i >= tag.size() || tag[i] != '=')
            continue;
        ++i;
        while (i < tag.size() && (tag[i] == ' ' || tag[i] == '"' || tag[i] == '\''))
            ++i;
        qsizetype j = i;
        while (j < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[j])) || tag[j] == '-' || tag[j] == '_'
                                  || tag[j] == '.' || tag[j] == ':'))
            ++j;
        if (j > i)
            return tag.mid(i, j - i);
    }
    return {};
}

// Valid UTF-8, but for a character that a cut of the page left unfinished
// at its end.
bool validUtf8(const QByteArray &bytes)
{
    qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((c & 0xC0) == 0x80)
            continue;
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (length > back)
            size = bytes.size() - back;
        break;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(QByteArrayView(bytes.constData(), size));
    Q_UNUSED(text);
    return !decoder.hasError();
}

} // namespace

QByteArray pageCharset(const QByteArray &bytes, const QByteArray &contentType)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return "UTF-8";
    if (bytes.startsWith("\xFE\xFF"))
        return "UTF-16BE";
    if (bytes.startsWith("\xFF\xFE"))
        return "UTF-16LE";
    const QByteArray declared = charsetLabel(contentType);
    if (knownCharset(declared))
        return declared;
    const QByteArray fromMeta = metaCharsetLabel(bytes);
    if (knownCharset(fromMeta))
        return fromMeta;
    if (validUtf8(bytes))
        return "UTF-8";
    // What browsers read an undeclared page in; Latin-1 where it is unknown.
    return knownCharset("windows-1252") ? QByteArray("windows-1252") : QByteArray("ISO-8859-1");
}

QString decodePage(const QByteArray &bytes, const QByteArray &contentType)
{
    QStringDecoder decoder(pageCharset(bytes, contentType).constData());
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    // A page cut by its size may end inside a character: that one goes.
    return decoder(bytes);
}

bool FetchedPage::isHTML() const
{
    const QByteArray type = contentType.toLower();
    return type.isEmpty() || type.contains("html") || type.contains("xml");
}

bool FetchedPage::isImage() const { return contentType.toLower().trimmed().startsWith("image/"); }

LinkMetadata parseLinkMetadata(const QByteArray &utf8Html, const QUrl &base)
{
    LinkMetadata metadata;
    const QByteArray bounded = boundedDocument(utf8Html, kMaxTreeDepth);
    GumboOutput *output = gumbo_parse_with_options(&kGumboDefaultOptions, bounded.constData(),
                                                   size_t(bounded.size()));
    if (!output)
        return metadata;
    HeadReader reader;
    reader.visitAll(output->root);
    gumbo_destroy_output(&kGumboDefaultOptions, output);

    QUrl documentBase = base;
    if (reader.baseHref) {
        const QUrl href = base.resolved(QUrl(*reader.baseHref));
        if (href.isValid() && isWebScheme(href))
            documentBase = href;
    }
    auto resolve = [&documentBase](const QString &href) -> std::optional<QUrl> {
        const QUrl url = documentBase.resolved(QUrl(href.trimmed()));
        if (!url.isValid() || !isWebScheme(url) || url.host().isEmpty())
            return std::nullopt;
        return url;
    };

    if (auto title = reader.firstMeta({"og:title", "twitter:title"}))
        metadata.title = title;
    else if (reader.title && !reader.title->simplified().isEmpty())
        metadata.title = reader.title->simplified();

    if (auto image = reader.firstMeta({"og:image", "og:image:url", "og:image:secure_url", "twitter:image",
                                       "twitter:image:src"}))
        metadata.imageURL = resolve(*image);

    QList<Icon> icons;
    for (qsizetype i = 0; i < reader.icons.size(); ++i)
        if (auto url = resolve(reader.icons[i].first))
            icons.append({*url, reader.icons[i].second, int(i)});
    std::stable_sort(icons.begin(), icons.end(), [](const Icon &a, const Icon &b) { return a.size > b.size; });
    QSet<QUrl> seen;
    for (const Icon &icon : icons)
        if (!seen.contains(icon.url)) {
            seen.insert(icon.url);
            metadata.iconCandidates.append(icon.url);
        }
    if (isWebScheme(base) && !base.host().isEmpty()) {
        QUrl favicon = base;
        favicon.setPath(QStringLiteral("/favicon.ico"));
        favicon.setQuery(QString());
        favicon.setFragment(QString());
        favicon.setUserInfo(QString());
        if (!metadata.iconCandidates.contains(favicon))
            metadata.iconCandidates.append(favicon);
    }
    return metadata;
}

QImage decodeLargestImage(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    QImage best;
    const int count = std::max(1, reader.imageCount());
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !reader.jumpToNextImage())
            break;
        const QImage image = reader.read();
        if (!image.isNull() && qint64(image.width()) * image.height() > qint64(best.width()) * best.height())
            best = image;
        if (count == 1)
            break;
    }
    return best;
}

LinkMetadataFetcher::LinkMetadataFetcher(FetchLimits limits, QObject *parent)
    : QObject(parent), m_limits(limits), m_network(new QNetworkAccessManager(this))
{
    m_network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

LinkMetadataFetcher::~LinkMetadataFetcher() = default;

void LinkMetadataFetcher::get(const QUrl &url, qint64 maxBytes, int timeoutMs, Overflow overflow,
                              std::function<void(std::optional<Body>)> done, Statuses statuses)
{
    if (!url.isValid() || !isWebScheme(url) || timeoutMs <= 0) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    if (m_policy.restricted()) {
        getPinned({url, m_limits.maxRedirects, QDeadlineTimer(timeoutMs)}, maxBytes, overflow, statuses,
                  std::move(done));
        return;
    }
    QNetworkRequest request(url);
    request.setMaximumRedirectsAllowed(m_limits.maxRedirects);
    send(request, QUrl(), maxBytes, timeoutMs, overflow, statuses, {}, std::move(done));
}

void LinkMetadataFetcher::getPinned(Hop hop, qint64 maxBytes, Overflow overflow, Statuses statuses,
                                    std::function<void(std::optional<Body>)> done)
{
    const QString host = hop.url.host(QUrl::FullyEncoded);
    m_policy.resolve(host, this, hop.deadline,
                     [this, hop, host, maxBytes, overflow, statuses, done = std::move(done)](std::optional<QHostAddress> address) {
        if (!address || hop.deadline.hasExpired()) {
            done(std::nullopt);
            return;
        }
        // The request goes to the address that was judged; the server still
        // hears the name it was asked for, and TLS still checks it.
        QUrl connectURL = hop.url;
        connectURL.setHost(address->toString());
        QNetworkRequest request(connectURL);
        QByteArray authority = host.toLatin1();
        if (authority.contains(':'))
            authority = '[' + authority + ']';
        if (hop.url.port() != -1)
            authority += ':' + QByteArray::number(hop.url.port());
        request.setRawHeader("Host", authority);
        if (hop.url.scheme().toLower() == QLatin1String("https"))
            request.setPeerVerifyName(host);
        // HTTP/2 names the server from the address connected to, not from
        // the Host header.
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        // Redirects are followed here, each one judged like the first step.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        auto redirect = [this, hop, maxBytes, overflow, statuses, done](QNetworkReply *reply) {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            if (status < 300 || status >= 400 || !location.isValid())
                return false;
            const QUrl to = hop.url.resolved(location);
            // What a browser refuses too: leaving the web, or going from
            // https to plain http.
            const bool lessSafe = hop.url.scheme().toLower() == QLatin1String("https")
                && to.scheme().toLower() != QLatin1String("https");
            if (hop.redirectsLeft <= 0 || !to.isValid() || !isWebScheme(to) || to.host().isEmpty() || lessSafe)
                done(std::nullopt);
            else
                getPinned({to, hop.redirectsLeft - 1, hop.deadline}, maxBytes, overflow, statuses, done);
            return true;
        };
        send(request, hop.url, maxBytes, int(std::max<qint64>(1, hop.deadline.remainingTime())), overflow, statuses,
             std::move(redirect), done);
    });
}

void LinkMetadataFetcher::send(const QNetworkRequest &given, const QUrl &shownURL, qint64 maxBytes, int timeoutMs,
                               Overflow overflow, Statuses statuses, std::function<bool(QNetworkReply *)> redirect,
                               std::function<void(std::optional<Body>)> done)
{
    QNetworkRequest request = given;
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kPageUserAgent));
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QNetworkReply *reply = m_network->get(request);

    // The body is taken as it arrives, never more than maxBytes of it.
    struct Transfer {
        QByteArray bytes;
        bool tooLarge = false; // more than maxBytes came or was announced
        bool cut = false;      // we ended the transfer ourselves: size or time
    };
    auto transfer = std::make_shared<Transfer>();
    const bool keepHead = overflow == Overflow::KeepHead;
    auto take = [reply, maxBytes, transfer] {
        while (!transfer->cut && reply->bytesAvailable() > 0) {
            transfer->bytes += reply->read(maxBytes - transfer->bytes.size() + 1);
            if (transfer->bytes.size() > maxBytes) {
                transfer->bytes.truncate(maxBytes);
                transfer->tooLarge = true;
                transfer->cut = true;
                reply->abort();
            }
        }
    };
    connect(reply, &QNetworkReply::readyRead, reply, take);
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBytes, transfer, keepHead] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!keepHead && length.isValid() && length.toLongLong() > maxBytes && !transfer->cut) {
            transfer->tooLarge = true;
            transfer->cut = true;
            reply->abort();
        }
    });
    // A redirect to anything but http or https is refused.
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &to) {
        if (!isWebScheme(to))
            reply->abort();
    });
    // The transfer time-out counts only silence; this caps the whole request.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply, transfer] {
        transfer->cut = true;
        reply->abort();
    });
    deadline->start(timeoutMs);

    const bool anyStatus = statuses == Statuses::Any;
    connect(reply, &QNetworkReply::finished, this,
            [reply, transfer, keepHead, anyStatus, take, shownURL, redirect = std::move(redirect), done = std::move(done)] {
        reply->deleteLater();
        if (!transfer->cut && redirect && redirect(reply))
            return;
        if (!transfer->cut)
            take();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const bool success = status >= 200 && status < 300;
        const bool answered = (success || (anyStatus && status >= 400)) && isWebScheme(reply->url());
        // Qt reports an HTTP error status as an error of the reply; the body
        // of such a page is still whole.
        const bool httpError = !success && reply->error() > QNetworkReply::UnknownProxyError
            && reply->error() != QNetworkReply::OperationCanceledError;
        // A page cut short by its size or its time still has its head.
        const bool complete = (reply->error() == QNetworkReply::NoError || (anyStatus && httpError))
            && !transfer->tooLarge;
        const bool headKept = keepHead && transfer->cut && !transfer->bytes.isEmpty();
        if (!answered || !(complete || headKept)) {
            done(std::nullopt);
            return;
        }
        Body body;
        body.bytes = std::move(transfer->bytes);
        body.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        body.finalURL = shownURL.isValid() ? shownURL : reply->url();
        body.status = status;
        body.complete = complete;
        done(std::move(body));
    });
}

void LinkMetadataFetcher::fetchPage(const QString &url, std::function<void(std::optional<FetchedPage>)> done)
{
    get(
        QUrl(url), m_limits.maxPageBytes, m_limits.pageTimeoutMs, Overflow::KeepHead,
        [done = std::move(done)](std::optional<Body> body) {
            if (!body) {
                done(std::nullopt);
                return;
            }
            FetchedPage page;
            page.url = body->finalURL;
            page.status = body->status;
            page.contentType = body->contentType;
            page.complete = body->complete;
            // A picture is not read as text; its bytes are fetched again
            // when it becomes the preview image.
            if (!page.isImage())
                page.text = decodePage(body->bytes, body->contentType);
            done(std::move(page));
        },
        Statuses::Any);
}

std::optional<LinkMetadata> LinkMetadataFetcher::metadataOf(const FetchedPage &page)
{
    if (page.status < 200 || page.status >= 300)
        return std::nullopt;
    if (page.isImage()) {
        // A picture cut short is no picture to show.
        if (!page.complete)
            return LinkMetadata{};
        LinkMetadata metadata;
        metadata.imageURL = page.url;
        return metadata;
    }
    if (!page.isHTML())
        return LinkMetadata{};
    return parseLinkMetadata(page.text.toUtf8(), page.url);
}

void LinkMetadataFetcher::fetch(const QString &url, std::function<void(std::optional<LinkMetadata>)> done)
{
    fetchPage(url, [done = std::move(done)](std::optional<FetchedPage> page) {
        done(page ? metadataOf(*page) : std::nullopt);
    });
}

void LinkMetadataFetcher::loadImage(QList<QUrl> candidates, std::function<void(std::optional<QImage>)> done)
{
    loadImageUntil(std::move(candidates), QDeadlineTimer(QDeadlineTimer::Forever), std::move(done));
}

void LinkMetadataFetcher::loadIcon(const QList<QUrl> &candidates, std::function<void(std::optional<QImage>)> done)
{
    const int few = std::max(1, m_limits.maxIconCandidates);
    QList<QUrl> tried = candidates.mid(0, few);
    // The site's own favicon stays the last resort, however many icons the
    // page declares before it.
    if (candidates.size() > few && !candidates.isEmpty()) {
        const QUrl last = candidates.last();
        if (last.path() == QLatin1String("/favicon.ico")) {
            if (tried.size() == few)
                tried.removeLast();
            tried.append(last);
        }
    }
    loadImageUntil(std::move(tried), QDeadlineTimer(std::max(0, m_limits.iconDeadlineMs)), std::move(done));
}

void LinkMetadataFetcher::loadImageUntil(QList<QUrl> candidates, QDeadlineTimer deadline,
                                         std::function<void(std::optional<QImage>)> done)
{
    if (candidates.isEmpty() || deadline.hasExpired()) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    const QUrl first = candidates.takeFirst();
    const qint64 left = deadline.isForever() ? m_limits.imageTimeoutMs
                                             : std::min<qint64>(m_limits.imageTimeoutMs, deadline.remainingTime());
    get(first, m_limits.maxImageBytes, int(std::max<qint64>(1, left)), Overflow::Fail,
        [this, rest = std::move(candidates), deadline, done = std::move(done)](std::optional<Body> body) mutable {
            if (body) {
                const QImage image = decodeLargestImage(body->bytes);
                if (!image.isNull()) {
                    done(image);
                    return;
                }
            }
            loadImageUntil(std::move(rest), deadline, std::move(done));
        });
}

void LinkMetadataFetcher::loadPreviewImage(const std::optional<LinkMetadata> &metadata,
                                           std::function<void(std::optional<QImage>)> done)
{
    QList<QUrl> candidates;
    if (metadata && metadata->imageURL)
        candidates.append(*metadata->imageURL);
    loadImage(std::move(candidates), std::move(done));
}

} // namespace vellora
