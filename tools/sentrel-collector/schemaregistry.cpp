// SPDX-License-Identifier: MIT
#include "schemaregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cmath>

namespace {
// Keywords that check nothing, or that this validator checks.
const QSet<QString> &knownKeywords()
{
    static const QSet<QString> keywords {
            QStringLiteral("$schema"),
            QStringLiteral("self"),
            QStringLiteral("description"),
            QStringLiteral("title"),
            QStringLiteral("type"),
            QStringLiteral("enum"),
            QStringLiteral("properties"),
            QStringLiteral("required"),
            QStringLiteral("additionalProperties"),
            QStringLiteral("dependencies"),
            QStringLiteral("dependentRequired"),
            QStringLiteral("items"),
            QStringLiteral("minimum"),
            QStringLiteral("maximum"),
            QStringLiteral("minLength"),
            QStringLiteral("maxLength"),
            QStringLiteral("pattern"),
            QStringLiteral("minItems"),
            QStringLiteral("maxItems"),
    };
    return keywords;
}

QString typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("boolean");
    case QJsonValue::Double: {
        const double number = value.toDouble();
        return std::floor(number) == number && std::isfinite(number) ? QStringLiteral("integer")
                                                                     : QStringLiteral("number");
    }
    case QJsonValue::String:
        return QStringLiteral("string");
    case QJsonValue::Array:
        return QStringLiteral("array");
    case QJsonValue::Object:
        return QStringLiteral("object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("undefined");
}

bool hasType(const QJsonValue &value, const QString &type)
{
    const QString actual = typeName(value);
    return actual == type
            || (type == QLatin1String("number") && actual == QLatin1String("integer"));
}

QString shown(const QJsonValue &value)
{
    if (value.isString())
        return QLatin1Char('"') + value.toString() + QLatin1Char('"');
    if (value.isArray())
        return QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    if (value.isObject())
        return QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    return QString::fromUtf8(
            QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact).mid(1).chopped(1));
}

QStringList names(const QJsonValue &list)
{
    QStringList result;
    for (const QJsonValue &each : list.toArray())
        result.append(each.toString());
    return result;
}
} // namespace

int SchemaRegistry::load(const QString &directory)
{
    int loaded = 0;
    const QDir root(directory);
    QDirIterator files(directory, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        const QString relative = root.relativeFilePath(file);
        QFile input(file);
        if (!input.open(QIODevice::ReadOnly)) {
            problems.append(QStringLiteral("%1: cannot be read").arg(relative));
            continue;
        }
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(input.readAll(), &error);
        if (!document.isObject()) {
            problems.append(QStringLiteral("%1: not a JSON object (%2)")
                                    .arg(relative, error.errorString()));
            continue;
        }
        const QJsonObject schema = document.object();
        // The schema names itself; a schema without that is named by where it lies.
        const QJsonObject self = schema.value(QStringLiteral("self")).toObject();
        QString uri;
        if (!self.isEmpty()) {
            uri = QStringLiteral("iglu:%1/%2/%3/%4")
                          .arg(self.value(QStringLiteral("vendor")).toString(),
                               self.value(QStringLiteral("name")).toString(),
                               self.value(QStringLiteral("format")).toString(),
                               self.value(QStringLiteral("version")).toString());
        } else {
            QString path = relative;
            if (path.endsWith(QLatin1String(".json")))
                path.chop(5);
            if (path.count(QLatin1Char('/')) != 3) {
                problems.append(
                        QStringLiteral(
                                "%1: names no \"self\" and is not at vendor/name/format/version")
                                .arg(relative));
                continue;
            }
            uri = QStringLiteral("iglu:") + path;
        }
        schemas.insert(uri, schema);
        noteKeywords(schema);
        ++loaded;
    }
    return loaded;
}

QStringList SchemaRegistry::uris() const
{
    QStringList result = schemas.keys();
    result.sort();
    return result;
}

QStringList SchemaRegistry::unsupportedKeywords() const
{
    QStringList result(unsupported.cbegin(), unsupported.cend());
    result.sort();
    return result;
}

void SchemaRegistry::noteKeywords(const QJsonObject &schema)
{
    for (auto it = schema.begin(); it != schema.end(); ++it) {
        if (!knownKeywords().contains(it.key()))
            unsupported.insert(it.key());
    }
    const QJsonObject properties = schema.value(QStringLiteral("properties")).toObject();
    for (const QJsonValue &property : properties)
        noteKeywords(property.toObject());
    for (const char *nested : {"items", "additionalProperties"}) {
        const QJsonValue value = schema.value(QLatin1String(nested));
        if (value.isObject())
            noteKeywords(value.toObject());
    }
    const QJsonObject dependencies = schema.value(QStringLiteral("dependencies")).toObject();
    for (const QJsonValue &dependency : dependencies) {
        if (dependency.isObject())
            noteKeywords(dependency.toObject());
    }
}

QStringList
SchemaRegistry::validate(const QString &uri, const QJsonValue &value, const QString &where) const
{
    const auto found = schemas.constFind(uri);
    if (found == schemas.cend())
        return {QStringLiteral("%1: unknown schema %2").arg(where, uri)};
    QStringList result;
    check(*found, value, where, &result);
    return result;
}

void SchemaRegistry::check(const QJsonObject &schema,
                           const QJsonValue &value,
                           const QString &where,
                           QStringList *problems)
{
    const QJsonValue type = schema.value(QStringLiteral("type"));
    if (!type.isUndefined()) {
        const QStringList types = type.isArray() ? names(type) : QStringList {type.toString()};
        bool matches = false;
        for (const QString &each : types)
            matches = matches || hasType(value, each);
        if (!matches) {
            problems->append(
                    QStringLiteral("%1: %2 where %3 is expected")
                            .arg(where, typeName(value), types.join(QStringLiteral(" or "))));
            return; // the other keywords would only repeat it
        }
    }

    const QJsonValue allowed = schema.value(QStringLiteral("enum"));
    if (allowed.isArray() && !allowed.toArray().contains(value))
        problems->append(
                QStringLiteral("%1: %2 is not one of %3").arg(where, shown(value), shown(allowed)));

    if (value.isString()) {
        const QString text = value.toString();
        const QJsonValue minLength = schema.value(QStringLiteral("minLength"));
        if (minLength.isDouble() && text.size() < minLength.toInt())
            problems->append(QStringLiteral("%1: shorter than %2 characters")
                                     .arg(where)
                                     .arg(minLength.toInt()));
        const QJsonValue maxLength = schema.value(QStringLiteral("maxLength"));
        if (maxLength.isDouble() && text.size() > maxLength.toInt())
            problems->append(QStringLiteral("%1: %2 characters, longer than %3")
                                     .arg(where)
                                     .arg(text.size())
                                     .arg(maxLength.toInt()));
        const QJsonValue pattern = schema.value(QStringLiteral("pattern"));
        if (pattern.isString()) {
            const QRegularExpression expression(pattern.toString());
            if (!expression.isValid())
                problems->append(QStringLiteral("%1: the schema's pattern %2 is not valid")
                                         .arg(where, shown(pattern)));
            else if (!expression.match(text).hasMatch())
                problems->append(QStringLiteral("%1: %2 does not match %3")
                                         .arg(where, shown(value), shown(pattern)));
        }
    }

    if (value.isDouble()) {
        const double number = value.toDouble();
        const QJsonValue minimum = schema.value(QStringLiteral("minimum"));
        if (minimum.isDouble() && number < minimum.toDouble())
            problems->append(
                    QStringLiteral("%1: %2 is below %3").arg(where, shown(value), shown(minimum)));
        const QJsonValue maximum = schema.value(QStringLiteral("maximum"));
        if (maximum.isDouble() && number > maximum.toDouble())
            problems->append(
                    QStringLiteral("%1: %2 is above %3").arg(where, shown(value), shown(maximum)));
    }

    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        const QJsonValue minItems = schema.value(QStringLiteral("minItems"));
        if (minItems.isDouble() && array.size() < minItems.toInt())
            problems->append(
                    QStringLiteral("%1: fewer than %2 items").arg(where).arg(minItems.toInt()));
        const QJsonValue maxItems = schema.value(QStringLiteral("maxItems"));
        if (maxItems.isDouble() && array.size() > maxItems.toInt())
            problems->append(
                    QStringLiteral("%1: more than %2 items").arg(where).arg(maxItems.toInt()));
        const QJsonValue items = schema.value(QStringLiteral("items"));
        if (items.isObject()) {
            for (qsizetype i = 0; i < array.size(); ++i)
                check(items.toObject(),
                      array.at(i),
                      QStringLiteral("%1[%2]").arg(where).arg(i),
                      problems);
        }
    }

    if (!value.isObject())
        return;
    const QJsonObject object = value.toObject();
    const QJsonObject properties = schema.value(QStringLiteral("properties")).toObject();

    for (const QString &key : names(schema.value(QStringLiteral("required")))) {
        if (!object.contains(key))
            problems->append(QStringLiteral("%1: \"%2\" is missing").arg(where, key));
    }

    const QJsonValue additional = schema.value(QStringLiteral("additionalProperties"));
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString path = where + QLatin1Char('.') + it.key();
        if (properties.contains(it.key()))
            check(properties.value(it.key()).toObject(), it.value(), path, problems);
        else if (additional.isBool() && !additional.toBool())
            problems->append(QStringLiteral("%1: \"%2\" is not allowed").arg(where, it.key()));
        else if (additional.isObject())
            check(additional.toObject(), it.value(), path, problems);
    }

    // Both spellings: the older "dependencies" (lists or schemas) and "dependentRequired".
    for (const char *keyword : {"dependencies", "dependentRequired"}) {
        const QJsonObject dependencies = schema.value(QLatin1String(keyword)).toObject();
        for (auto it = dependencies.begin(); it != dependencies.end(); ++it) {
            if (!object.contains(it.key()))
                continue;
            if (it.value().isArray()) {
                for (const QString &needed : names(it.value())) {
                    if (!object.contains(needed))
                        problems->append(QStringLiteral("%1: \"%2\" needs \"%3\"")
                                                 .arg(where, it.key(), needed));
                }
            } else if (it.value().isObject()) {
                check(it.value().toObject(), value, where, problems);
            }
        }
    }
}

QStringList SchemaRegistry::defaultDirectories()
{
    QStringList directories;
#ifdef SENTREL_SCHEMAS_FROM_BINDIR
    directories.append(QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                       + QLatin1String(SENTREL_SCHEMAS_FROM_BINDIR)));
#endif
#ifdef SENTREL_SCHEMAS_INSTALLED
    directories.append(QStringLiteral(SENTREL_SCHEMAS_INSTALLED));
#endif
#ifdef SENTREL_SCHEMAS_SOURCE
    directories.append(QStringLiteral(SENTREL_SCHEMAS_SOURCE));
#endif
    directories.removeDuplicates();
    return directories;
}
