#include "LinkMetadata.h"

#include <QBuffer>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

#include <gumbo.h>

#include <algorithm>
#include <map>

namespace vellora {

namespace {

const char *const kUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/26.0 Safari/605.1.15";

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

QString textOf(const GumboNode *node)
{
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_WHITESPACE || node->type == GUMBO_NODE_CDATA)
        return QString::fromUtf8(node->v.text.text);
    if (node->type != GUMBO_NODE_ELEMENT)
        return {};
    QString text;
    const GumboVector &children = node->v.element.children;
    for (unsigned i = 0; i < children.length; ++i)
        text += textOf(static_cast<const GumboNode *>(children.data[i]));
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

    void visit(const GumboNode *node)
    {
        if (node->type != GUMBO_NODE_ELEMENT)
            return;
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
            if (icon && !href.isEmpty())
                icons.append({href, declaredSize(attribute(e, "sizes"))});
            break;
        }
        default:
            break;
        }
        // An <svg> inside the body can carry its own <title>; only the
        // document's counts, so the walk does not descend into foreign content.
        if (e.tag == GUMBO_TAG_SVG || e.tag == GUMBO_TAG_MATH)
            return;
        for (unsigned i = 0; i < e.children.length; ++i)
            visit(static_cast<const GumboNode *>(e.children.data[i]));
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

QString charsetOf(const QByteArray &contentType)
{
    for (const QByteArray &part : contentType.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.toLower().startsWith("charset="))
            return QString::fromLatin1(p.mid(8).trimmed()).remove(u'"').remove(u'\'');
    }
    return {};
}

QByteArray toUtf8(const QByteArray &bytes, const QByteArray &contentType)
{
    const QString charset = charsetOf(contentType);
    QStringDecoder decoder = charset.isEmpty() ? QStringDecoder::decoderForHtml(bytes)
                                               : QStringDecoder(charset.toLatin1().constData());
    if (!decoder.isValid())
        decoder = QStringDecoder::decoderForHtml(bytes);
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    return text.toUtf8();
}

} // namespace

LinkMetadata parseLinkMetadata(const QByteArray &utf8Html, const QUrl &base)
{
    LinkMetadata metadata;
    GumboOutput *output = gumbo_parse_with_options(&kGumboDefaultOptions, utf8Html.constData(),
                                                   size_t(utf8Html.size()));
    if (!output)
        return metadata;
    HeadReader reader;
    reader.visit(output->root);
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
    for (const Icon &icon : icons)
        if (!metadata.iconCandidates.contains(icon.url))
            metadata.iconCandidates.append(icon.url);
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

void LinkMetadataFetcher::get(const QUrl &url, qint64 maxBytes, int timeoutMs,
                              std::function<void(std::optional<Body>)> done)
{
    if (!url.isValid() || !isWebScheme(url)) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    QNetworkRequest request(url);
    request.setMaximumRedirectsAllowed(m_limits.maxRedirects);
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kUserAgent));
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QNetworkReply *reply = m_network->get(request);

    auto tooLarge = std::make_shared<bool>(false);
    auto check = [reply, maxBytes, tooLarge](qint64 received) {
        if (received > maxBytes && !*tooLarge) {
            *tooLarge = true;
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, check] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            check(length.toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [check](qint64 received, qint64) { check(received); });
    // A redirect to anything but http or https is refused.
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &to) {
        if (!isWebScheme(to))
            reply->abort();
    });
    // The transfer time-out counts only silence; this caps the whole request.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(timeoutMs);

    connect(reply, &QNetworkReply::finished, this, [reply, tooLarge, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || *tooLarge || status < 200 || status >= 300
            || !isWebScheme(reply->url())) {
            done(std::nullopt);
            return;
        }
        Body body;
        body.bytes = reply->readAll();
        body.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        body.finalURL = reply->url();
        done(std::move(body));
    });
}

void LinkMetadataFetcher::fetch(const QString &url, std::function<void(std::optional<LinkMetadata>)> done)
{
    get(QUrl(url), m_limits.maxPageBytes, m_limits.pageTimeoutMs,
        [done = std::move(done)](std::optional<Body> body) {
            if (!body) {
                done(std::nullopt);
                return;
            }
            const QByteArray type = body->contentType.toLower();
            if (type.startsWith("image/")) {
                LinkMetadata metadata;
                metadata.imageURL = body->finalURL;
                done(metadata);
                return;
            }
            if (!type.isEmpty() && !type.contains("html") && !type.contains("xml")) {
                done(LinkMetadata{});
                return;
            }
            done(parseLinkMetadata(toUtf8(body->bytes, body->contentType), body->finalURL));
        });
}

void LinkMetadataFetcher::loadImage(QList<QUrl> candidates, std::function<void(std::optional<QImage>)> done)
{
    if (candidates.isEmpty()) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(std::nullopt); });
        return;
    }
    const QUrl first = candidates.takeFirst();
    get(first, m_limits.maxImageBytes, m_limits.imageTimeoutMs,
        [this, rest = std::move(candidates), done = std::move(done)](std::optional<Body> body) mutable {
            if (body) {
                const QImage image = decodeLargestImage(body->bytes);
                if (!image.isNull()) {
                    done(image);
                    return;
                }
            }
            loadImage(std::move(rest), std::move(done));
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
