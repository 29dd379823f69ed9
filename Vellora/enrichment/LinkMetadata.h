#pragma once
// What a page says about itself in its HTML head: a title, icons and a
// preview image. Fetched over Qt Network and read with gumbo; every request
// has a cap on redirects (http and https only), on body size and on time.

#include "enrichment/AddressPolicy.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace vellora {

struct LinkMetadata {
    // og:title, else twitter:title, else <title>; absent when all are empty.
    std::optional<QString> title;
    // Where the icon may be had, the largest declared first, "/favicon.ico"
    // of the page's site last. Loaded on demand with LinkMetadataFetcher::loadImage.
    QList<QUrl> iconCandidates;
    // og:image, else twitter:image, resolved against the page; a page that is
    // itself a picture is its own preview image.
    std::optional<QUrl> imageURL;
};

// How deep the parsed tree of a page may be, and how many declared icons are
// read of it: a page decides both, and the work spent on it must not.
inline constexpr int kMaxTreeDepth = 256;
inline constexpr int kMaxDeclaredIcons = 64;

// The document cut before the tag that would open more than `maxDepth`
// elements at once (elements that close themselves or are closed by their
// next sibling do not count). Unchanged when it never nests that deep.
QByteArray boundedDocument(const QByteArray &html, int maxDepth = kMaxTreeDepth);

// The head of an HTML document, read without a network. `base` is the
// address the document came from (after redirects); relative addresses are
// resolved against it or against the document's <base href>.
LinkMetadata parseLinkMetadata(const QByteArray &utf8Html, const QUrl &base);

// A page as one download of it gave it: the bytes decoded once, so that
// everything read of the page (its head here, its rendering and text in
// the snapshot) reads the same characters.
struct FetchedPage {
    QUrl url;                // where it came from, after redirects
    int status = 0;          // the HTTP status; an error page is still a page
    QByteArray contentType;  // as the server sent it
    QString text;            // the body decoded with pageCharset()
    bool complete = true;    // false: cut by size or time, only its start
    bool isHTML() const;     // HTML or XML, or no type given
    bool isImage() const;
};

// The encoding a page's bytes are read in, as a browser settles it: a byte
// order mark, else the Content-Type charset when it names one we know, else
// a <meta> charset near the top, else UTF-8 when the bytes are valid UTF-8,
// else windows-1252. A made-up label therefore falls through to the rest.
QByteArray pageCharset(const QByteArray &bytes, const QByteArray &contentType);
QString decodePage(const QByteArray &bytes, const QByteArray &contentType);

// A page larger than maxPageBytes, or one that is still arriving when its
// time is up, is read as far as it came: its head holds what we look for.
// Pictures must arrive whole. Of the icon candidates only the first
// maxIconCandidates are tried, all within iconDeadlineMs.
struct FetchLimits {
    int maxRedirects = 5;
    qint64 maxPageBytes = 4 * 1024 * 1024;
    qint64 maxImageBytes = 16 * 1024 * 1024;
    int pageTimeoutMs = 15000;
    int imageTimeoutMs = 15000;
    int maxIconCandidates = 4;
    int iconDeadlineMs = 10000;
};

// Main thread. Callbacks come later, on the main thread, exactly once; they
// are dropped when the fetcher is destroyed first.
class LinkMetadataFetcher : public QObject {
    Q_OBJECT
public:
    explicit LinkMetadataFetcher(FetchLimits limits = {}, QObject *parent = nullptr);
    ~LinkMetadataFetcher() override;

    // Which machines the requests started from now on may reach; any by
    // default. Under a restricted policy each step of a request (the first
    // address and every redirect) is looked up once, judged, and connected
    // to at exactly that address, so a name cannot answer one address to
    // the judgement and another to the connection.
    void setAddressPolicy(AddressPolicy policy) { m_policy = policy; }
    const AddressPolicy &addressPolicy() const { return m_policy; }

    // Nothing when the page cannot be had: not http(s), a network error, an
    // HTTP error status, too many redirects, too large or too slow.
    void fetch(const QString &url, std::function<void(std::optional<LinkMetadata>)> done);

    // The page itself, whatever its HTTP status (an error page has a body
    // to show too). Nothing when no answer came: not http(s), no
    // connection, too many redirects, or silence until its time was up.
    void fetchPage(const QString &url, std::function<void(std::optional<FetchedPage>)> done);
    // What fetch() reads of a page: nothing for an HTTP error status.
    static std::optional<LinkMetadata> metadataOf(const FetchedPage &page);

    // The first candidate that downloads and decodes, at the size it was
    // delivered in (the largest picture of an icon file that holds several).
    void loadImage(QList<QUrl> candidates, std::function<void(std::optional<QImage>)> done);

    // loadImage for a page's icons: the first few candidates, and when there
    // are more, the site's "/favicon.ico" (the last candidate) after them,
    // all within one deadline.
    void loadIcon(const QList<QUrl> &candidates, std::function<void(std::optional<QImage>)> done);

    // The metadata's preview image, or nothing without metadata or image.
    void loadPreviewImage(const std::optional<LinkMetadata> &metadata,
                          std::function<void(std::optional<QImage>)> done);

private:
    struct Body {
        QByteArray bytes;
        QByteArray contentType;
        QUrl finalURL;
        int status = 0;
        bool complete = true; // false: only the head, cut by size or time
    };
    enum class Overflow { Fail, KeepHead };
    enum class Statuses { Success, Any };
    void get(const QUrl &url, qint64 maxBytes, int timeoutMs, Overflow overflow,
             std::function<void(std::optional<Body>)> done, Statuses statuses = Statuses::Success);
    struct Hop {
        QUrl url;          // where this step goes, as the page named it
        int redirectsLeft;
        QDeadlineTimer deadline;
    };
    void getPinned(Hop hop, qint64 maxBytes, Overflow overflow, Statuses statuses,
                   std::function<void(std::optional<Body>)> done);
    // Sends one request and reads its answer within the caps. `redirect`
    // (when given) may take over a finished reply; `shownURL` (when valid)
    // is the address the body is said to come from.
    void send(const QNetworkRequest &request, const QUrl &shownURL, qint64 maxBytes, int timeoutMs,
              Overflow overflow, Statuses statuses, std::function<bool(QNetworkReply *)> redirect,
              std::function<void(std::optional<Body>)> done);
    void loadImageUntil(QList<QUrl> candidates, QDeadlineTimer deadline,
                        std::function<void(std::optional<QImage>)> done);

    FetchLimits m_limits;
    AddressPolicy m_policy;
    QNetworkAccessManager *m_network = nullptr;
};

// Decodes picture bytes; of a file with several pictures (an .ico) the one
// with the most pixels. A null image when the bytes are no picture.
QImage decodeLargestImage(const QByteArray &bytes);

} // namespace vellora
