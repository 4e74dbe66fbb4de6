// SPDX-License-Identifier: MIT
#include "qsentrelconfiguration_p.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <variant>

namespace {

using Config = QSentrelConfigurationPrivate;

// How an item is written in a file or document.
enum class Form {
    Text, // a string; any other type gives the empty string
    WholeNumber, // a whole number in int range, anything else 0
    Duration, // a non-empty object of seconds, minutes, hours, days and months
    Flag, // a boolean; any other type gives true
    List, // an array of strings; a non-array gives an empty list
    Map, // an object; a non-object gives an empty map
};

template <typename T>
using Signal = void (QSentrelConfiguration::*)(T);
using ChangeSignal = std::variant<Signal<const QString &>,
                                  Signal<int>,
                                  Signal<bool>,
                                  Signal<const QStringList &>,
                                  Signal<const QVariantMap &>>;

template <typename>
struct SignalValue;
template <typename T>
struct SignalValue<Signal<T>>
{
    using type = std::decay_t<T>;
};

struct Item;
// Refuses a value with a warning, or accepts it, possibly completed.
using Rule = bool (*)(const Item &item, QVariant &value);

struct Item
{
    Config::ConfigItem item;
    const char *property; // of QSentrelConfiguration
    const char *key; // in files and documents; "object/key" inside an object
    Form form;
    QVariant initial; // written by the constructor; invalid for an item absent until set
    Rule rule; // null: every value is accepted
    ChangeSignal changed;
};

// A host with an optional port, never a URL nor part of one; host names that merely begin
// with "http" (httpbin.org) are hosts.
bool hostRule(const Item &, QVariant &value)
{
    const QString server = value.toString();
    const bool scheme = server.startsWith(QLatin1String("http:"), Qt::CaseInsensitive)
            || server.startsWith(QLatin1String("https:"), Qt::CaseInsensitive);
    const bool urlPart = std::any_of(server.cbegin(), server.cend(), [](QChar c) {
        return c.isSpace() || QStringView(u"/?#@").contains(c);
    });
    if (!scheme && !urlPart)
        return true;
    qCWarning(lcConfig) << "Invalid server address" << server;
    return false;
}

// Below least the tracker would look enabled while it sends nothing, or everything at once.
template <int least>
bool atLeast(const Item &item, QVariant &value)
{
    if (value.toInt() >= least)
        return true;
    qCWarning(lcConfig).nospace() << "Invalid " << item.property << " " << value.toInt()
                                  << ", the least accepted value is " << least;
    return false;
}

bool screenTypeRule(const Item &, QVariant &value)
{
    const QString type = value.toString();
    if (type == QLatin1String("TOUCH") || type == QLatin1String("NON_TOUCH"))
        return true;
    qCWarning(lcConfig)
            << "Invalid screen type is specified, possible values are: TOUCH, NON_TOUCH";
    return false;
}

bool platformRule(const Item &, QVariant &value)
{
    if (Config::validPlatforms().contains(value.toString()))
        return true;
    qCWarning(lcConfig) << "Invalid platform is specified, possible values are:"
                        << Config::validPlatforms();
    return false;
}

// How captured objects are named (README, "Names of captured objects").
bool namingRule(const Item &, QVariant &value)
{
    const QString policy = value.toString();
    if (policy == QLatin1String("plain") || policy == QLatin1String("hashed")
        || policy == QLatin1String("classes"))
        return true;
    qCWarning(lcConfig) << "Invalid capture names policy" << policy
                        << "is specified, possible values are: plain, hashed, classes";
    return false;
}

// Names that the protocol or the tracker itself sets: an application's value would break the
// request or undo a privacy rule.
bool headersRule(const Item &, QVariant &value)
{
    static const QStringList owned {QStringLiteral("Host"),
                                    QStringLiteral("Content-Length"),
                                    QStringLiteral("Content-Type"),
                                    QStringLiteral("Transfer-Encoding"),
                                    QStringLiteral("Connection"),
                                    QStringLiteral("Cookie"),
                                    QStringLiteral("SP-Anonymous")};
    static const QRegularExpression token(QStringLiteral("^[!#$%&'*+.^_`|~0-9A-Za-z-]+$"));
    const QVariantMap headers = value.toMap();
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        const QString text = it.value().toString();
        const bool control = std::any_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.unicode() < 0x20 || c.unicode() == 0x7f;
        });
        if (owned.contains(it.key(), Qt::CaseInsensitive)) {
            qCWarning(lcConfig) << "Invalid headers: the header" << it.key()
                                << "is set by the tracker";
            return false;
        }
        if (!token.match(it.key()).hasMatch() || it.value().typeId() != QMetaType::QString
            || control) {
            qCWarning(lcConfig) << "Invalid headers: the header" << it.key()
                                << "needs a token for a name and a string without control "
                                   "characters for a value";
            return false;
        }
    }
    return true;
}

// In the order of the keys in files and documents.
const std::array<Item, Config::itemCount> &items()
{
    using C = QSentrelConfiguration;
    // clang-format off
    static const std::array<Item, Config::itemCount> table = {{
        {Config::Server, "server", "server", Form::Text, {}, hostRule, &C::serverChanged},
        {Config::Token, "token", "token", Form::Text, {}, nullptr, &C::tokenChanged},
        {Config::DeviceScreenType, "deviceScreenType", "device_screen_type", Form::Text, {}, screenTypeRule, &C::deviceScreenTypeChanged},
        {Config::Platform, "platform", "platform", Form::Text, QStringLiteral("app"), platformRule, &C::platformChanged},
        {Config::DeviceModel, "deviceModel", "device_model", Form::Text, {}, nullptr, &C::deviceModelChanged},
        {Config::DeviceVariant, "deviceVariant", "device_variant", Form::Text, {}, nullptr, &C::deviceVariantChanged},
        {Config::AppBuild, "appBuild", "app_build", Form::Text, {}, nullptr, &C::appBuildChanged},
        {Config::StorageType, "storageType", "storage", Form::Text, QStringLiteral("SQLITE"), nullptr, &C::storageTypeChanged},
        {Config::StoragePath, "storagePath", "storage_path", Form::Text, {}, nullptr, &C::storagePathChanged},
        {Config::StorageSize, "storageSize", "storage_size", Form::WholeNumber, {}, nullptr, &C::storageSizeChanged},
        {Config::StorageMaxAge, "storageMaxAge", "storage_max_age", Form::Duration, {}, atLeast<0>, &C::storageMaxAgeChanged},
        {Config::StorageMaxBytes, "storageMaxBytes", "storage_max_bytes", Form::WholeNumber, {}, atLeast<0>, &C::storageMaxBytesChanged},
        {Config::Headers, "headers", "headers", Form::Map, {}, headersRule, &C::headersChanged},
        {Config::BatchSize, "batchSize", "sync/max_batch_size", Form::WholeNumber, 100, atLeast<1>, &C::batchSizeChanged},
        {Config::SyncInterval, "syncInterval", "sync/interval", Form::Duration, {}, atLeast<0>, &C::syncIntervalChanged},
        {Config::RemoteConfig, "remoteConfig", "sync_config/enabled", Form::Flag, {}, nullptr, &C::remoteConfigChanged},
        {Config::RemoteConfigInterval, "remoteConfigInterval", "sync_config/interval", Form::Duration, {}, atLeast<0>, &C::remoteConfigIntervalChanged},
        {Config::Categories, "categories", "categories", Form::List, {}, nullptr, &C::categoriesChanged},
        {Config::Events, "event", "events", Form::List, {}, nullptr, &C::eventsChanged},
        {Config::CaptureNames, "captureNames", "capture/names", Form::Text, QStringLiteral("plain"), namingRule, &C::captureNamesChanged},
        {Config::CaptureActions, "captureActions", "capture/actions", Form::Flag, false, nullptr, &C::captureActionsChanged},
        {Config::CaptureStallMs, "captureStallMs", "capture/stall_ms", Form::WholeNumber, 0, atLeast<0>, &C::captureStallMsChanged},
        {Config::SessionTimeout, "sessionTimeout", "session/timeout", Form::WholeNumber, 0, atLeast<0>, &C::sessionTimeoutChanged},
        {Config::CaptureScreens, "captureScreens", "capture/screens", Form::Flag, false, nullptr, &C::captureScreensChanged},
        {Config::UserId, "userId", "userId", Form::Text, {}, nullptr, &C::userIdChanged},
    }};
    // clang-format on
    return table;
}

const Item &itemOf(Config::ConfigItem item)
{
    static const auto byItem = [] {
        std::array<const Item *, Config::itemCount> index {};
        for (const Item &entry : items())
            index[entry.item] = &entry;
        return index;
    }();
    return *byItem[item];
}

bool passes(const Item &item, QVariant &value)
{
    return !item.rule || item.rule(item, value);
}

// A whole number in int range, anything else 0.
int wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(number);
}

// Totals beyond what an int can hold are clamped to its range.
int durationSeconds(const QJsonObject &duration)
{
    const qint64 seconds = qint64(wholeNumber(duration.value(QLatin1String("seconds"))))
            + 60 * qint64(wholeNumber(duration.value(QLatin1String("minutes"))))
            + 3600 * qint64(wholeNumber(duration.value(QLatin1String("hours"))))
            + 86400 * qint64(wholeNumber(duration.value(QLatin1String("days"))))
            + 2592000 * qint64(wholeNumber(duration.value(QLatin1String("months"))));
    return int(std::clamp<qint64>(seconds,
                                  std::numeric_limits<int>::min(),
                                  std::numeric_limits<int>::max()));
}

QStringList stringList(const QJsonValue &value)
{
    QStringList list;
    const QJsonArray array = value.toArray();
    list.reserve(array.size());
    for (const QJsonValue &element : array)
        list.append(element.toString());
    return list;
}

// The value of an item's key, inside its object for "object/key"; undefined when absent.
QJsonValue lookUp(const QJsonObject &document, const char *key)
{
    const QLatin1String path(key);
    const qsizetype slash = path.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return document.value(path);
    const QJsonValue parent = document.value(path.left(slash));
    if (!parent.isObject())
        return QJsonValue(QJsonValue::Undefined);
    return parent.toObject().value(path.mid(slash + 1));
}

// The item's value as the document gives it; invalid when the document does not set it.
QVariant fromJson(Form form, const QJsonValue &value)
{
    if (form == Form::Duration) {
        if (!value.isObject() || value.toObject().isEmpty())
            return {};
        return durationSeconds(value.toObject());
    }
    if (value.isUndefined() || value.isNull())
        return {};
    switch (form) {
    case Form::Text:
        return value.toString();
    case Form::WholeNumber:
        return wholeNumber(value);
    case Form::Flag:
        return value.isBool() ? value.toBool() : true;
    case Form::List:
        return stringList(value);
    case Form::Map:
        return value.toObject().toVariantMap();
    case Form::Duration:
        break;
    }
    return {};
}

} // namespace

QSentrelConfiguration::QSentrelConfiguration(QObject *parent) : QObject(parent) { }

const QSet<QString> &QSentrelConfigurationPrivate::validPlatforms()
{
    static const QSet<QString> platforms = {
            QStringLiteral("web"),
            QStringLiteral("mob"),
            QStringLiteral("pc"),
            QStringLiteral("srv"),
            QStringLiteral("app"),
            QStringLiteral("tv"),
            QStringLiteral("cnsl"),
            QStringLiteral("iot"),
    };
    return platforms;
}

QString QSentrelConfigurationPrivate::newIdentifier()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QVariant QSentrelConfigurationPrivate::value(ConfigItem item) const
{
    std::shared_lock<std::shared_mutex> locker(m_mapLock);
    const auto remote = m_remoteConfig.constFind(item);
    if (remote != m_remoteConfig.cend())
        return *remote;
    return m_config.value(item);
}

void QSentrelConfigurationPrivate::store(ItemMap &map, ConfigItem item, const QVariant &value)
{
    {
        std::lock_guard<std::shared_mutex> locker(m_mapLock);
        map.insert(item, value);
    }
    if (item == UserId)
        forgetResolvedUserId();
}

// Those of the document held, in force or outside the scope.
QList<QSentrelConfigurationPrivate::ConfigItem> QSentrelConfigurationPrivate::remoteItems() const
{
    std::shared_lock<std::shared_mutex> locker(m_mapLock);
    return m_remoteDocument.keys();
}

QString QSentrelConfigurationPrivate::documentKey(ConfigItem item)
{
    return QString::fromLatin1(itemOf(item).key);
}

QStringList QSentrelConfigurationPrivate::documentKeys()
{
    QStringList keys;
    for (const Item &item : items())
        keys.append(QString::fromLatin1(item.key).section(QLatin1Char('/'), 0, 0));
    keys.removeDuplicates();
    return keys;
}

// Emits the change signal of item with its effective value.
void QSentrelConfigurationPrivate::emitChanged(ConfigItem item)
{
    if (item == UserId) { // the effective identifier, which an empty value only selects
        Q_EMIT userIdChanged(userId());
        return;
    }
    std::visit(
            [this, item](auto signal) {
                using Value = typename SignalValue<decltype(signal)>::type;
                Q_EMIT std::invoke(signal, this, get<Value>(item));
            },
            itemOf(item).changed);
}

void QSentrelConfigurationPrivate::set(ConfigItem item, const QVariant &value, ItemMap &map)
{
    QVariant checked = value;
    if (!passes(itemOf(item), checked))
        return;
    store(map, item, checked);
    emitChanged(item);
}

void QSentrelConfigurationPrivate::writeDefaults()
{
    for (const Item &item : items()) {
        if (item.initial.isValid())
            set(item.item, item.initial);
    }
}

bool QSentrelConfigurationPrivate::readDocument(const QByteArray &data, ItemList &accepted)
{
    if (data.isEmpty()) {
        qCDebug(lcConfig) << "Empty configuration data";
        return true;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(lcConfig) << "Invalid JSON configuration:" << error.errorString();
        return false;
    }
    const QJsonObject object = document.object();
    for (const Item &item : items()) {
        QVariant value = fromJson(item.form, lookUp(object, item.key));
        if (value.isValid() && passes(item, value))
            accepted.append({item.item, value});
    }
    return true;
}

bool QSentrelConfigurationPrivate::parseConfig(const QByteArray &data, ItemMap &map)
{
    ItemList accepted;
    if (!readDocument(data, accepted))
        return false;
    for (const auto &[item, value] : std::as_const(accepted)) {
        store(map, item, value);
        emitChanged(item);
    }
    return true;
}

bool QSentrelConfigurationPrivate::isValid()
{
    const bool offlineWithCache = syncInterval() <= 0 && !storageType().isEmpty();
    if (!offlineWithCache && server().isEmpty()) {
        qCWarning(lcConfig) << "Missing server address";
        return false;
    }
    if (token().isEmpty()) {
        qCWarning(lcConfig) << "missing token";
        return false;
    }
    return true;
}
