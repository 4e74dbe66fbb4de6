// SPDX-License-Identifier: MIT
#include "sentrelproperties_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

namespace {

std::optional<QJsonValue>
toJson(const QVariant &value, int depth, const QString &path, QString *refusal);

std::optional<QJsonValue>
listToJson(const QVariantList &list, int depth, const QString &path, QString *refusal)
{
    QJsonArray array;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const auto element = toJson(list.at(i),
                                    depth,
                                    path + QLatin1Char('[') + QString::number(i) + QLatin1Char(']'),
                                    refusal);
        if (!element)
            return std::nullopt;
        array.append(*element);
    }
    return array;
}

std::optional<QJsonObject>
mapToJson(const QVariantMap &map, int depth, const QString &path, QString *refusal)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const QString inner = path.isEmpty() ? it.key() : path + QLatin1Char('.') + it.key();
        const auto element = toJson(it.value(), depth, inner, refusal);
        if (!element)
            return std::nullopt;
        object.insert(it.key(), *element);
    }
    return object;
}

std::optional<QJsonValue>
toJson(const QVariant &value, int depth, const QString &path, QString *refusal)
{
    const auto refuse = [&](const QString &why) -> std::optional<QJsonValue> {
        *refusal = QStringLiteral("property \"%1\" %2").arg(path, why);
        return std::nullopt;
    };
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::ULong:
        return QJsonValue(value.toLongLong());
    case QMetaType::ULongLong: {
        const qulonglong whole = value.toULongLong();
        if (whole > qulonglong(std::numeric_limits<qint64>::max()))
            return refuse(QStringLiteral("is a whole number above 2^63 - 1"));
        return QJsonValue(qint64(whole));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return refuse(QStringLiteral("is not a finite number"));
        return QJsonValue(number);
    }
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::QStringList:
    case QMetaType::QVariantList:
        if (depth >= SentrelProperties::maximumDepth)
            return refuse(QStringLiteral("is nested deeper than %1 levels")
                                  .arg(SentrelProperties::maximumDepth));
        return listToJson(value.toList(), depth + 1, path, refusal);
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        if (depth >= SentrelProperties::maximumDepth)
            return refuse(QStringLiteral("is nested deeper than %1 levels")
                                  .arg(SentrelProperties::maximumDepth));
        const auto object = mapToJson(value.toMap(), depth + 1, path, refusal);
        if (!object)
            return std::nullopt;
        return QJsonValue(*object);
    }
    default:
        return refuse(value.isValid() ? QStringLiteral("is of the unsupported type %1")
                                                .arg(QLatin1String(value.metaType().name()))
                                      : QStringLiteral("has no value"));
    }
}

} // namespace

bool SentrelProperties::isValidName(QStringView name)
{
    if (name.isEmpty() || name.size() > maximumNameLength)
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')
                || (u >= '0' && u <= '9') || u == '_' || u == '.' || u == '-';
        if (!allowed)
            return false;
    }
    return true;
}

SentrelProperties::Written SentrelProperties::write(const QVariantMap &properties)
{
    Written written;
    const auto object = mapToJson(properties, 0, QString(), &written.refusal);
    if (!object)
        return written;
    QByteArray json = QJsonDocument(*object).toJson(QJsonDocument::Compact);
    if (json.size() > maximumBytes) {
        written.refusal = QStringLiteral("the properties take %1 bytes, above the limit of %2")
                                  .arg(json.size())
                                  .arg(maximumBytes);
        return written;
    }
    written.json = std::move(json);
    return written;
}
