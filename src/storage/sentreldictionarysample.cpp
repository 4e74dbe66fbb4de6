// SPDX-License-Identifier: MIT
#include "sentreldictionarysample_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1String>

namespace {
QJsonValue maskedValue(const QJsonValue &value)
{
    return value.isDouble() ? QJsonValue(0) : QJsonValue(QString());
}

// Letters and digits become zeros and the rest stays, so that a placeholder keeps the length
// and the hyphens of an identifier and the length of a time.
QJsonValue maskedIdentifier(const QJsonValue &value)
{
    if (!value.isString())
        return maskedValue(value);
    QString text = value.toString();
    for (QChar &character : text) {
        if (character.isLetterOrNumber())
            character = QLatin1Char('0');
    }
    return text;
}

bool carriesUserData(const QJsonObject &context)
{
    const QString schema = context.value(QLatin1String("schema")).toString();
    return schema.contains(QLatin1String("/context_data/"))
            || schema.contains(QLatin1String("/context_dimension/"));
}

// The contexts envelope of "co", escaped JSON in a string; what does not parse is dropped.
QString maskedContexts(const QString &text)
{
    QJsonObject envelope = QJsonDocument::fromJson(text.toUtf8()).object();
    if (envelope.isEmpty())
        return QString();
    QJsonArray contexts = envelope.value(QLatin1String("data")).toArray();
    for (qsizetype i = 0; i < contexts.size(); ++i) {
        QJsonObject context = contexts.at(i).toObject();
        if (!carriesUserData(context))
            continue;
        QJsonObject data = context.value(QLatin1String("data")).toObject();
        if (data.contains(QLatin1String("val")))
            data.insert(QLatin1String("val"), maskedValue(data.value(QLatin1String("val"))));
        context.insert(QLatin1String("data"), data);
        contexts.replace(i, context);
    }
    envelope.insert(QLatin1String("data"), contexts);
    return QString::fromUtf8(QJsonDocument(envelope).toJson(QJsonDocument::Compact));
}
} // namespace

QByteArray SentrelDictionarySample::mask(const QByteArray &event)
{
    const QJsonDocument document = QJsonDocument::fromJson(event);
    if (!document.isObject())
        return QByteArray();
    QJsonObject object = document.object();
    for (const char *key : {"eid", "duid", "sid", "dtm", "stm"}) {
        const QLatin1String name(key);
        if (object.contains(name))
            object.insert(name, maskedIdentifier(object.value(name)));
    }
    if (object.contains(QLatin1String("co")))
        object.insert(QLatin1String("co"),
                      maskedContexts(object.value(QLatin1String("co")).toString()));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
