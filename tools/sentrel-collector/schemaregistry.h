// SPDX-License-Identifier: MIT
#ifndef SCHEMAREGISTRY_H
#define SCHEMAREGISTRY_H

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>
#include <QStringList>

// The self-describing JSON schemas of a directory, by their "iglu:" URI, and a validator for
// the part of JSON Schema that they use: type, enum, properties, required,
// additionalProperties, dependencies (and dependentRequired), items, minimum, maximum,
// minLength, maxLength, pattern, minItems and maxItems. Other keywords are not checked;
// unsupportedKeywords() names those that a loaded schema uses.
class SchemaRegistry
{
public:
    // Loads every schema below directory, laid out as vendor/name/format/version (files
    // named after the version, with or without ".json"). Returns the number loaded; files
    // that are not schemas are reported in loadProblems().
    int load(const QString &directory);

    bool contains(const QString &uri) const { return schemas.contains(uri); }
    // The schema document named uri; empty when it is not loaded.
    QJsonObject schema(const QString &uri) const { return schemas.value(uri); }
    QStringList uris() const;
    QStringList loadProblems() const { return problems; }
    QStringList unsupportedKeywords() const;

    // Problems of value against the schema named uri, each starting with where it was found
    // (where, then ".key" or "[index]" for nested values); an unknown uri is one problem.
    QStringList validate(const QString &uri, const QJsonValue &value, const QString &where) const;

    // The same against a schema object.
    static void check(const QJsonObject &schema,
                      const QJsonValue &value,
                      const QString &where,
                      QStringList *problems);

    // The directories where a program finds the shipped schemas, most specific first.
    static QStringList defaultDirectories();

private:
    void noteKeywords(const QJsonObject &schema);

    QHash<QString, QJsonObject> schemas;
    QStringList problems;
    QSet<QString> unsupported;
};

#endif // SCHEMAREGISTRY_H
