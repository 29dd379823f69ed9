#include "BundleManifest.h"

#include "platform/IntakeFile.h"

#include <QByteArray>
#include <plist/plist.h>

namespace vellora {

namespace {

constexpr qint64 kManifestCap = 1 << 20;

QString stringItem(plist_t dict, const char *key)
{
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return {};
    char *value = nullptr;
    plist_get_string_val(node, &value);
    const QString text = value ? QString::fromUtf8(value) : QString();
    free(value);
    return text;
}

std::optional<qint64> strictInteger(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

std::optional<BundleManifest> readBundleManifest(const QString &bundlePath)
{
    const auto data = readIntakeFile(bundlePath + QStringLiteral("/Info.plist"), LinkPolicy::Refuse, kManifestCap);
    if (!data || data->isEmpty())
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(data->constData(), uint32_t(data->size()), &root);
    if (!root)
        return std::nullopt;
    std::optional<BundleManifest> manifest;
    if (plist_get_node_type(root) == PLIST_DICT) {
        manifest = BundleManifest{};
        manifest->identifier = stringItem(root, "CFBundleIdentifier");
        manifest->version = stringItem(root, "CFBundleShortVersionString");
        manifest->build = strictInteger(stringItem(root, "CFBundleVersion"));
    }
    plist_free(root);
    return manifest;
}

QByteArray bundleManifestXml(const QString &version, qint64 build)
{
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CFBundleIdentifier", plist_new_string(kUpdateBundleIdentifier));
    plist_dict_set_item(root, "CFBundleName", plist_new_string("Vellora"));
    plist_dict_set_item(root, "CFBundleShortVersionString", plist_new_string(version.toUtf8().constData()));
    plist_dict_set_item(root, "CFBundleVersion", plist_new_string(QByteArray::number(build).constData()));
    plist_dict_set_item(root, "CFBundleExecutable", plist_new_string("bin/vellora"));
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    const QByteArray out(xml, qsizetype(length));
    free(xml);
    plist_free(root);
    return out;
}

} // namespace vellora
