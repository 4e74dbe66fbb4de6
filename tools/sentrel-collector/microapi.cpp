// SPDX-License-Identifier: MIT
#include "microapi.h"

#include "schemaregistry.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
constexpr qsizetype payloadKept = 64 * 1024; // of a body without events, per entry
constexpr qint64 chartSeconds = 300; // the page's chart of events per second
constexpr int pageBatch = 500; // newest entries per answer to the page

QString isoTime(qint64 milliseconds)
{
    return QDateTime::fromMSecsSinceEpoch(milliseconds, Qt::UTC).toString(Qt::ISODateWithMs);
}

// The protocol's event type as the enriched "event" field names it.
QString enrichedType(const QString &e)
{
    static const QHash<QString, QString> names {
            {QStringLiteral("ue"), QStringLiteral("unstruct")},
            {QStringLiteral("se"), QStringLiteral("struct")},
            {QStringLiteral("pv"), QStringLiteral("page_view")},
            {QStringLiteral("pp"), QStringLiteral("page_ping")},
            {QStringLiteral("tr"), QStringLiteral("transaction")},
            {QStringLiteral("ti"), QStringLiteral("transaction_item")},
    };
    return names.value(e, e);
}

QJsonArray contextUris(const CheckedEvent &event)
{
    QJsonArray uris;
    for (const QJsonValue &context : event.contexts)
        uris.append(context.toObject().value(QStringLiteral("schema")));
    return uris;
}

// The event under the field names of an enriched event.
QJsonObject enriched(const CheckedEvent &event, qint64 received)
{
    static const std::pair<const char *, const char *> renamed[] = {
            {"eid", "event_id"},
            {"aid", "app_id"},
            {"p", "platform"},
            {"tna", "name_tracker"},
            {"tv", "v_tracker"},
            {"sid", "domain_sessionid"},
            {"duid", "domain_userid"},
            {"uid", "user_id"},
            {"lang", "br_lang"},
    };
    QJsonObject result;
    for (const auto &[field, name] : renamed) {
        const QJsonValue value = event.event.value(QLatin1String(field));
        if (!value.isUndefined())
            result.insert(QLatin1String(name), value);
    }
    if (event.time >= 0)
        result.insert(QStringLiteral("dvce_created_tstamp"), isoTime(event.time));
    result.insert(QStringLiteral("collector_tstamp"), isoTime(received));
    result.insert(QStringLiteral("event"),
                  enrichedType(event.event.value(QStringLiteral("e")).toString()));
    if (event.event.contains(QStringLiteral("co")) || event.event.contains(QStringLiteral("cx")))
        result.insert(QStringLiteral("contexts"),
                      QJsonObject {{QStringLiteral("schema"), EventChecker::contextsSchema},
                                   {QStringLiteral("data"), event.contexts}});
    return result;
}

QByteArray json(const QJsonValue &value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                           : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
}

void answerJson(HttpsServer::Responder &responder, const QJsonValue &value)
{
    responder.answer(200, "application/json", json(value));
}

void answerError(HttpsServer::Responder &responder, int status, const QString &error)
{
    responder.answer(status,
                     "application/json",
                     json(QJsonObject {{QStringLiteral("error"), error}}));
}
} // namespace

MicroApi::MicroApi(const SchemaRegistry *schemas, int keep)
    : schemas(schemas)
    , keep(std::max(keep, 1))
{ }

void MicroApi::record(const QJsonValue &raw,
                      const CheckedEvent &event,
                      const QStringList &problems,
                      qint64 received)
{
    Entry entry;
    entry.received = received;
    entry.raw = raw;
    entry.event = event;
    entry.problems = problems;
    ++kinds[event.kind];
    const qint64 second = (event.time >= 0 ? event.time : received) / 1000;
    if (second > received / 1000 - chartSeconds && second <= received / 1000 + 60) {
        ++perSecond[second];
        // The chart looks back a few minutes only.
        while (!perSecond.isEmpty() && perSecond.firstKey() <= received / 1000 - chartSeconds)
            perSecond.erase(perSecond.begin());
    }
    if (problems.isEmpty()) {
        ++goodTotal;
        keepEntry(&goodEntries, std::move(entry));
    } else {
        ++badTotal;
        keepEntry(&badEntries, std::move(entry));
    }
}

void MicroApi::recordPayload(const QByteArray &body, const QStringList &problems, qint64 received)
{
    Entry entry;
    entry.received = received;
    entry.payload = true;
    entry.raw = QString::fromUtf8(body.left(payloadKept));
    entry.event.kind = QStringLiteral("batch");
    entry.problems = problems;
    if (body.size() > payloadKept)
        entry.problems.append(QStringLiteral("the body of %1 bytes is kept up to %2 bytes here")
                                      .arg(body.size())
                                      .arg(payloadKept));
    ++kinds[entry.event.kind];
    ++badTotal;
    keepEntry(&badEntries, std::move(entry));
}

void MicroApi::keepEntry(std::deque<Entry> *list, Entry entry)
{
    entry.serial = nextSerial++;
    list->push_back(std::move(entry));
    while (qsizetype(list->size()) > keep)
        list->pop_front();
}

void MicroApi::reset()
{
    forgotten = goodTotal + badTotal;
    goodEntries.clear();
    badEntries.clear();
    goodTotal = badTotal = 0;
    kinds.clear();
    perSecond.clear();
    ++resets;
}

QJsonObject MicroApi::counts() const
{
    return {
            {QStringLiteral("total"), goodTotal + badTotal},
            {QStringLiteral("good"), goodTotal},
            {QStringLiteral("bad"), badTotal},
            {QStringLiteral("dropped"),
             QJsonObject {{QStringLiteral("good"), goodTotal - qint64(goodEntries.size())},
                          {QStringLiteral("bad"), badTotal - qint64(badEntries.size())}}},
    };
}

bool MicroApi::parseFilter(const QByteArray &body, Filter *filter, QString *error)
{
    if (body.trimmed().isEmpty())
        return true;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("the filter is not a JSON object");
        return false;
    }
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        if (it.key() == QLatin1String("contexts")) {
            const QJsonArray uris = value.toArray();
            if (!value.isArray()
                || !std::all_of(uris.begin(), uris.end(), [](const QJsonValue &uri) {
                       return uri.isString();
                   })) {
                *error = QStringLiteral("\"contexts\" is not an array of schema URIs");
                return false;
            }
            for (const QJsonValue &uri : uris)
                filter->contexts.append(uri.toString());
        } else if (it.key() == QLatin1String("event_type")) {
            if (!value.isString()) {
                *error = QStringLiteral("\"event_type\" is not a string");
                return false;
            }
            filter->eventType = value.toString();
        } else if (it.key() == QLatin1String("limit")) {
            const double limit = value.toDouble(-1);
            if (!value.isDouble() || limit < 0 || limit != std::floor(limit)) {
                *error = QStringLiteral("\"limit\" is not a whole number of 0 or more");
                return false;
            }
            // Clamped before converting: qsizetype may be 32 bits.
            filter->limit = qsizetype(std::min<qint64>(qint64(std::min(limit, 1e15)),
                                                       std::numeric_limits<qsizetype>::max()));
        } else {
            *error = QStringLiteral(
                             "\"%1\" is not a filter; filters are contexts, event_type and limit")
                             .arg(it.key());
            return false;
        }
    }
    return true;
}

QJsonArray MicroApi::good(const Filter &filter) const
{
    // Newest first while choosing, so that the limit keeps the newest.
    std::vector<const Entry *> chosen;
    for (auto it = goodEntries.crbegin(); it != goodEntries.crend(); ++it) {
        if (filter.limit >= 0 && qsizetype(chosen.size()) >= filter.limit)
            break;
        const QJsonArray uris = contextUris(it->event);
        const bool hasContexts = std::all_of(filter.contexts.cbegin(),
                                             filter.contexts.cend(),
                                             [&uris](const QString &uri) {
                                                 return uris.contains(uri);
                                             });
        const QString type = enrichedType(it->event.event.value(QStringLiteral("e")).toString());
        if (hasContexts && (filter.eventType.isEmpty() || filter.eventType == type))
            chosen.push_back(&*it);
    }
    QJsonArray result;
    for (auto it = chosen.crbegin(); it != chosen.crend(); ++it) {
        const Entry &entry = **it;
        const QJsonObject event = enriched(entry.event, entry.received);
        result.append(QJsonObject {
                {QStringLiteral("event"), event},
                {QStringLiteral("eventType"), event.value(QStringLiteral("event"))},
                {QStringLiteral("contexts"), contextUris(entry.event)},
                {QStringLiteral("rawEvent"), entry.raw},
                {QStringLiteral("received"), isoTime(entry.received)},
        });
    }
    return result;
}

QJsonArray MicroApi::bad() const
{
    QJsonArray result;
    for (const Entry &entry : badEntries) {
        result.append(QJsonObject {
                {entry.payload ? QStringLiteral("collectorPayload") : QStringLiteral("rawEvent"),
                 entry.raw},
                {QStringLiteral("errors"), QJsonArray::fromStringList(entry.problems)},
                {QStringLiteral("received"), isoTime(entry.received)},
        });
    }
    return result;
}

// What the live page shows: the counts, the chart and the entries after its latest one.
QJsonObject MicroApi::pageUpdate(qint64 after) const
{
    std::vector<const Entry *> newest;
    auto good = goodEntries.crbegin();
    auto bad = badEntries.crbegin();
    while (qsizetype(newest.size()) < pageBatch) {
        const bool goodLeft = good != goodEntries.crend() && good->serial > after;
        const bool badLeft = bad != badEntries.crend() && bad->serial > after;
        if (!goodLeft && !badLeft)
            break;
        if (goodLeft && (!badLeft || good->serial > bad->serial))
            newest.push_back(&*good++);
        else
            newest.push_back(&*bad++);
    }
    QJsonArray events;
    for (auto it = newest.crbegin(); it != newest.crend(); ++it) {
        const Entry &entry = **it;
        QJsonObject fields;
        for (const auto &[key, value] : entry.event.fields)
            fields.insert(key, value);
        events.append(QJsonObject {
                {QStringLiteral("serial"), entry.serial},
                {QStringLiteral("time"), entry.event.time >= 0 ? entry.event.time : entry.received},
                {QStringLiteral("kind"), entry.event.kind},
                {QStringLiteral("fields"), fields},
                {QStringLiteral("problems"), QJsonArray::fromStringList(entry.problems)},
        });
    }
    QJsonObject kindCounts;
    for (auto it = kinds.cbegin(); it != kinds.cend(); ++it)
        kindCounts.insert(it.key(), it.value());
    const qint64 now = QDateTime::currentMSecsSinceEpoch() / 1000;
    QJsonArray chart;
    for (qint64 second = now - chartSeconds + 1; second <= now; ++second)
        chart.append(perSecond.value(second));
    return {
            {QStringLiteral("resets"), resets},
            {QStringLiteral("counts"), counts()},
            {QStringLiteral("kinds"), kindCounts},
            {QStringLiteral("perSecond"), chart},
            {QStringLiteral("events"), events},
    };
}

void MicroApi::handle(const HttpsServer::Request &request, HttpsServer::Responder &responder)
{
    const QByteArray route = request.route();
    if (request.method != "GET" && request.method != "POST") {
        answerError(responder, 405, QStringLiteral("GET or POST only"));
        return;
    }
    if (route == "/micro/all") {
        answerJson(responder, counts());
    } else if (route == "/micro/good") {
        Filter filter;
        QString error;
        if (parseFilter(request.body, &filter, &error))
            answerJson(responder, good(filter));
        else
            answerError(responder, 400, error);
    } else if (route == "/micro/bad") {
        answerJson(responder, bad());
    } else if (route == "/micro/reset") {
        reset();
        answerJson(responder, counts());
    } else if (route.startsWith("/micro/iglu/")) {
        const QString path = QString::fromUtf8(route.mid(int(qstrlen("/micro/iglu/"))));
        const QStringList parts = path.split(QLatin1Char('/'));
        const QJsonObject schema = parts.size() == 4 && parts.at(2) == QLatin1String("jsonschema")
                ? schemas->schema(QStringLiteral("iglu:") + path)
                : QJsonObject();
        if (schema.isEmpty())
            answerError(responder, 404, QStringLiteral("no schema iglu:%1").arg(path));
        else
            answerJson(responder, schema);
    } else if (route == "/micro/ui" || route == "/micro/ui/") {
        QFile page(QStringLiteral(":/microui.html"));
        page.open(QIODevice::ReadOnly);
        responder.answer(200, "text/html; charset=utf-8", page.readAll());
    } else if (route == "/micro/ui/events") {
        const qint64 after = QUrlQuery(QUrl::fromEncoded(request.path).query())
                                     .queryItemValue(QStringLiteral("after"))
                                     .toLongLong();
        answerJson(responder, pageUpdate(after));
    } else {
        answerError(responder,
                    404,
                    QStringLiteral("not found; the API is /micro/all, /micro/good, /micro/bad, "
                                   "/micro/reset, /micro/iglu/... and the page /micro/ui"));
    }
}
