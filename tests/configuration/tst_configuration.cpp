// SPDX-License-Identifier: MIT
#include "logcapture.h"
#include "qsentrelconfiguration_p.h"
#include "testenvironment.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QMetaProperty>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

using Config = QSentrelConfigurationPrivate;

class tst_Configuration : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir workDir;
    int fileCounter = 0;

    // A configuration loaded from a file holding contents.
    std::unique_ptr<Config> loadFrom(const QByteArray &contents)
    {
        const QString path = workDir.filePath(QStringLiteral("config-%1.conf").arg(++fileCounter));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return nullptr;
        file.write(contents);
        file.close();
        qputenv("SENTREL_CONFIG", path.toUtf8());
        return std::make_unique<Config>(nullptr);
    }

    // Where the library keeps the user-wide settings in test mode, on every platform.
    static QString userWideSettingsFile()
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                + QStringLiteral("/Tamlor/SentrelTrackerGlobal.conf");
    }

    static QString userWideIdentifier()
    {
        return QSettings(userWideSettingsFile(), QSettings::IniFormat)
                .value(QStringLiteral("userId"))
                .toString();
    }

    static void forgetRemoteConfiguration(Config &config)
    {
        QFile::remove(config.remoteConfigFileName());
        QSettings settings(config.settingsPath(), QSettings::IniFormat);
        settings.remove(QStringLiteral("remoteConfigHash"));
        settings.remove(QStringLiteral("applicationVersion"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(workDir.isValid());
        QCoreApplication::setApplicationName(QStringLiteral("tst_configuration"));
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    }

    void init()
    {
        auto config = loadFrom("{}");
        forgetRemoteConfiguration(*config);
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    }

    void defaults()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.config.debug=true"));
        LogCapture log;
        auto config = loadFrom(QByteArray());
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(log.contains(QStringLiteral("sentrel.config"),
                             QStringLiteral("Empty configuration data")));
        QCOMPARE(config->storageType(), QStringLiteral("SQLITE"));
        QCOMPARE(config->batchSize(), 100);
        QCOMPARE(config->platform(), QStringLiteral("app"));
        QCOMPARE(config->syncInterval(), 0);
        QCOMPARE(config->storageSize(), 0);
        QVERIFY(!config->remoteConfig());
        QVERIFY(config->server().isEmpty());
        QVERIFY(config->events().isEmpty());
        QCOMPARE(config->captureNames(), QStringLiteral("plain"));
        QVERIFY(!config->captureActions());
        QCOMPARE(config->captureStallMs(), 0);
        QVERIFY(!config->captureScreens());
        // Made when first read, so read before the settings are.
        const QString identifier = config->userId();
        QCOMPARE(identifier, userWideIdentifier());
        QCOMPARE(identifier.size(), 36);
    }

    void validation_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("warning");

        const QString server = QStringLiteral("Invalid server address \"%1\"");
        QTest::newRow("server url") << "server"
                                    << "http://collector.example"
                                    << server.arg(QStringLiteral("http://collector.example"));
        QTest::newRow("server https url")
                << "server"
                << "https://collector.example"
                << server.arg(QStringLiteral("https://collector.example"));
        QTest::newRow("server host starting with http") << "server"
                                                        << "httpbin.org" << QString();
        QTest::newRow("server empty") << "server"
                                      << "" << QString();
        QTest::newRow("server with port") << "server"
                                          << "localhost:9443" << QString();
        for (const char *disguised : {"HTTP://collector.example",
                                      "Https:collector",
                                      "https:/collector",
                                      "http:collector",
                                      "ftp://x",
                                      "collector/tp2",
                                      "collector?x=1",
                                      "collector#top",
                                      "user@collector",
                                      "collector example"})
            QTest::newRow(disguised)
                    << "server" << disguised << server.arg(QLatin1String(disguised));

        const QString least = QStringLiteral("Invalid %1 %2, the least accepted value is %3");
        QTest::newRow("batch size 1") << "batchSize"
                                      << "1" << QString();
        QTest::newRow("batch size 0") << "batchSize"
                                      << "0" << least.arg("batchSize").arg(0).arg(1);
        QTest::newRow("batch size negative") << "batchSize"
                                             << "-5" << least.arg("batchSize").arg(-5).arg(1);
        QTest::newRow("sync interval 0") << "syncInterval"
                                         << "0" << QString();
        QTest::newRow("sync interval negative") << "syncInterval"
                                                << "-1" << least.arg("syncInterval").arg(-1).arg(0);
        QTest::newRow("remote interval 0") << "remoteConfigInterval"
                                           << "0" << QString();
        QTest::newRow("remote interval negative")
                << "remoteConfigInterval"
                << "-60" << least.arg("remoteConfigInterval").arg(-60).arg(0);
        QTest::newRow("stall threshold negative")
                << "captureStallMs"
                << "-1" << least.arg("captureStallMs").arg(-1).arg(0);

        const QString screen = QStringLiteral(
                "Invalid screen type is specified, possible values are: TOUCH, NON_TOUCH");
        QTest::newRow("screen TOUCH") << "deviceScreenType"
                                      << "TOUCH" << QString();
        QTest::newRow("screen NON_TOUCH") << "deviceScreenType"
                                          << "NON_TOUCH" << QString();
        QTest::newRow("screen lower case") << "deviceScreenType"
                                           << "touch" << screen;
        QTest::newRow("screen empty") << "deviceScreenType"
                                      << "" << screen;

        const QString platform =
                QStringLiteral("^Invalid platform is specified, possible values are: QSet\\(");
        for (const char *code : {"web", "mob", "pc", "srv", "app", "tv", "cnsl", "iot"})
            QTest::newRow(code) << "platform" << code << QString();
        QTest::newRow("platform capital") << "platform"
                                          << "Web" << platform;
        QTest::newRow("platform empty") << "platform"
                                        << "" << platform;

        const QString names = QStringLiteral("Invalid capture names policy \"%1\" is specified, "
                                             "possible values are: plain, hashed, classes");
        for (const char *policy : {"plain", "hashed", "classes"})
            QTest::newRow(policy) << "captureNames" << policy << QString();
        QTest::newRow("names capital") << "captureNames"
                                       << "Hashed" << names.arg(QStringLiteral("Hashed"));
        QTest::newRow("names empty") << "captureNames"
                                     << "" << names.arg(QString());
    }

    void headersRule_data()
    {
        QTest::addColumn<QVariantMap>("headers");
        QTest::addColumn<QString>("warning");
        const QString owned =
                QStringLiteral("Invalid headers: the header \"%1\" is set by the tracker");
        const QString malformed =
                QStringLiteral("Invalid headers: the header \"%1\" needs a token for a name and a "
                               "string without control characters for a value");
        QTest::newRow("an API key")
                << QVariantMap {{"X-Api-Key", "k1"}, {"X-Tenant", "t"}} << QString();
        QTest::newRow("the anonymous header, any case")
                << QVariantMap {{"sp-anonymous", "*"}} << owned.arg("sp-anonymous");
        QTest::newRow("cookie") << QVariantMap {{"Cookie", "a=b"}} << owned.arg("Cookie");
        QTest::newRow("content length")
                << QVariantMap {{"Content-Length", "1"}} << owned.arg("Content-Length");
        QTest::newRow("a line break in a value")
                << QVariantMap {{"X-Key", "a\r\nHost: evil"}} << malformed.arg("X-Key");
        QTest::newRow("a space in a name")
                << QVariantMap {{"X Key", "a"}} << malformed.arg("X Key");
        QTest::newRow("a number for a value")
                << QVariantMap {{"X-Key", 5}} << malformed.arg("X-Key");
    }

    // A refused map leaves the headers as they were, whole.
    void headersRule()
    {
        QFETCH(QVariantMap, headers);
        QFETCH(QString, warning);
        auto config = loadFrom(R"({"headers":{"X-Old":"o"}})");
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        config->setHeaders(headers);
        const QVariantMap expected = warning.isEmpty() ? headers : QVariantMap {{"X-Old", "o"}};
        QCOMPARE(config->headers(), expected);
    }

    void validation()
    {
        QFETCH(QString, property);
        QFETCH(QString, value);
        QFETCH(QString, warning);

        auto config = loadFrom("{}");
        const QMetaProperty meta = config->metaObject()->property(
                config->metaObject()->indexOfProperty(property.toLatin1().constData()));
        const QVariant before = meta.read(config.get());
        QSignalSpy changed(config.get(), meta.notifySignal());

        if (warning.startsWith(QLatin1Char('^')))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        else if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        QVERIFY(meta.write(config.get(), value));

        if (warning.isEmpty()) {
            QCOMPARE(changed.size(), 1);
            QCOMPARE(changed.first().first().toString(), value);
            QCOMPARE(meta.read(config.get()).toString(), value);
        } else {
            QCOMPARE(changed.size(), 0);
            QCOMPARE(meta.read(config.get()), before);
        }
    }

    void platformWarningListsEveryCode()
    {
        auto config = loadFrom("{}");
        QString pattern =
                QStringLiteral("^Invalid platform is specified, possible values are: QSet\\(");
        for (const char *code : {"web", "mob", "pc", "srv", "app", "tv", "cnsl", "iot"})
            pattern += QStringLiteral("(?=.*\"%1\")").arg(QLatin1String(code));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(pattern));
        config->setPlatform(QStringLiteral("desktop"));
    }

    void sameValueSignalsAgain()
    {
        auto config = loadFrom("{}");
        QSignalSpy changed(config.get(), &QSentrelConfiguration::tokenChanged);
        config->setToken(QStringLiteral("abc"));
        config->setToken(QStringLiteral("abc"));
        QCOMPARE(changed.size(), 2);
    }

    void remoteValueOverridesLocal()
    {
        auto config = loadFrom("{}");
        QVERIFY(config->applyConfig(R"({"sync":{"max_batch_size":50}})"));
        QCOMPARE(config->batchSize(), 50);

        QSignalSpy changed(config.get(), &QSentrelConfiguration::batchSizeChanged);
        config->setBatchSize(10);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(changed.first().first().toInt(), 50);
        QCOMPARE(config->batchSize(), 50);

        // Withdrawing the document shows the local value again.
        QVERIFY(config->applyConfig(QByteArray()));
        QCOMPARE(config->batchSize(), 10);
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed.last().first().toInt(), 10);
    }

    void isValid_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("syncInterval");
        QTest::addColumn<QString>("storageType");
        QTest::addColumn<QString>("warning");

        QTest::newRow("offline with cache, no server") << ""
                                                       << "t" << 0 << "SQLITE" << QString();
        QTest::newRow("offline without cache") << ""
                                               << "t" << 0 << ""
                                               << "Missing server address";
        QTest::newRow("online without server") << ""
                                               << "t" << 60 << "SQLITE"
                                               << "Missing server address";
        QTest::newRow("online complete") << "collector.example"
                                         << "t" << 60 << "SQLITE" << QString();
        QTest::newRow("no token") << "collector.example"
                                  << "" << 60 << "SQLITE"
                                  << "missing token";
        QTest::newRow("nothing: only the server is named") << ""
                                                           << "" << 60 << "SQLITE"
                                                           << "Missing server address";
        QTest::newRow("negative interval is refused: offline")
                << ""
                << "t" << -5 << "SQLITE" << QString();
    }

    void isValid()
    {
        QFETCH(QString, server);
        QFETCH(QString, token);
        QFETCH(int, syncInterval);
        QFETCH(QString, storageType);
        QFETCH(QString, warning);

        auto config = loadFrom("{}");
        config->setServer(server);
        config->setToken(token);
        if (syncInterval < 0)
            QTest::ignoreMessage(QtWarningMsg,
                                 "Invalid syncInterval -5, the least accepted value is 0");
        config->setSyncInterval(syncInterval);
        config->setStorageType(storageType);

        // Exactly one warning per call: any other fails the test.
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        QCOMPARE(config->isValid(), warning.isEmpty());
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        QCOMPARE(config->property("valid").toBool(), warning.isEmpty());
    }

    void userIdentifier()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.config.debug=true"));
        auto config = loadFrom("{}");
        const QString shared = config->userId();

        LogCapture log;
        config->setUserId(QString());
        config->setUserId(QString());
        QCOMPARE(config->userId(), shared);
        QVERIFY(!log.contains(QStringLiteral("sentrel.config"),
                              QStringLiteral("Generating new user id.")));

        // An application's own identifier does not touch the user-wide one.
        config->setUserId(QStringLiteral("own-user"));
        QCOMPARE(config->userId(), QStringLiteral("own-user"));
        QCOMPARE(userWideIdentifier(), shared);

        QSettings(userWideSettingsFile(), QSettings::IniFormat).remove(QStringLiteral("userId"));
        config->setUserId(QString());
        QVERIFY(log.contains(QStringLiteral("sentrel.config"),
                             QStringLiteral("Generating new user id.")));
        const QString generated = config->userId();
        QVERIFY(generated != shared);
        QVERIFY(QRegularExpression(
                        QStringLiteral(
                                "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                        .match(generated)
                        .hasMatch());
        QCOMPARE(userWideIdentifier(), generated);
        QLoggingCategory::setFilterRules(QString());
    }

    // The key of hashed names: the same in every run of the installation, another once the
    // person has the application forget its settings.
    void nameKey()
    {
        const QByteArray key = loadFrom("{}")->nameKey();
        QCOMPARE(key.size(), 32);
        auto next = loadFrom("{}");
        QCOMPARE(next->nameKey(), key);
        QVERIFY(next->forgetSettings());
        QVERIFY(next->nameKey() != key);
    }

    void properties()
    {
        const QMetaObject &meta = QSentrelConfiguration::staticMetaObject;
        const QStringList expected = {"valid",           "server",
                                      "token",           "deviceModel",
                                      "deviceVariant",   "deviceScreenType",
                                      "appBuild",        "platform",
                                      "storageType",     "storagePath",
                                      "storageSize",     "storageMaxAge",
                                      "storageMaxBytes", "headers",
                                      "syncInterval",    "batchSize",
                                      "categories",      "event",
                                      "userId",          "remoteConfigInterval",
                                      "remoteConfig",    "captureNames",
                                      "captureActions",  "captureStallMs",
                                      "sessionTimeout",  "captureScreens"};
        QStringList names;
        for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i) {
            const QMetaProperty property = meta.property(i);
            names.append(QString::fromLatin1(property.name()));
            QVERIFY(property.isFinal());
            QCOMPARE(property.isWritable(), i != meta.propertyOffset());
        }
        QCOMPARE(names, expected);

        const QStringList signalNames = {"serverChanged",           "tokenChanged",
                                         "deviceModelChanged",      "deviceVariantChanged",
                                         "deviceScreenTypeChanged", "appBuildChanged",
                                         "platformChanged",         "storageTypeChanged",
                                         "storagePathChanged",      "storageSizeChanged",
                                         "storageMaxAgeChanged",    "storageMaxBytesChanged",
                                         "headersChanged",          "syncIntervalChanged",
                                         "batchSizeChanged",        "categoriesChanged",
                                         "eventsChanged",           "userIdChanged",
                                         "remoteConfigChanged",     "remoteConfigIntervalChanged",
                                         "captureNamesChanged",     "captureActionsChanged",
                                         "captureStallMsChanged",   "sessionTimeoutChanged",
                                         "captureScreensChanged"};
        QStringList declared;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
            if (meta.method(i).methodType() == QMetaMethod::Signal)
                declared.append(QString::fromLatin1(meta.method(i).name()));
        }
        QCOMPARE(declared, signalNames);

        auto config = loadFrom("{}");
        QSignalSpy changed(config.get(), &QSentrelConfiguration::eventsChanged);
        QVERIFY(config->setProperty("event", QStringList {QStringLiteral("KeyPress")}));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(config->events(), QStringList {QStringLiteral("KeyPress")});
    }

    void fileValues_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("expected");

        QTest::newRow("strings") << QByteArray(R"({"server":"c.example","token":"tk"})") << "server"
                                 << QVariant(QStringLiteral("c.example"));
        QTest::newRow("non-string gives empty")
                << QByteArray(R"({"token":42})") << "token" << QVariant(QString());
        QTest::newRow("null is absent") << QByteArray(R"({"storage":null})") << "storageType"
                                        << QVariant(QStringLiteral("SQLITE"));
        QTest::newRow("capture names") << QByteArray(R"({"capture":{"names":"hashed"}})")
                                       << "captureNames" << QVariant(QStringLiteral("hashed"));
        QTest::newRow("capture actions")
                << QByteArray(R"({"capture":{"names":"classes","actions":true}})")
                << "captureActions" << QVariant(true);
        QTest::newRow("capture screens") << QByteArray(R"({"capture":{"screens":true}})")
                                         << "captureScreens" << QVariant(true);
        QTest::newRow("empty storage disables cache")
                << QByteArray(R"({"storage":""})") << "storageType" << QVariant(QString());
        QTest::newRow("storage size")
                << QByteArray(R"({"storage_size":500})") << "storageSize" << QVariant(500);
        QTest::newRow("storage age") << QByteArray(R"({"storage_max_age":{"days":7}})")
                                     << "storageMaxAge" << QVariant(7 * 86400);
        QTest::newRow("storage bytes") << QByteArray(R"({"storage_max_bytes":1048576})")
                                       << "storageMaxBytes" << QVariant(1048576);
        QTest::newRow("headers") << QByteArray(R"({"headers":{"X-Api-Key":"k1"}})") << "headers"
                                 << QVariant(QVariantMap {
                                            {QStringLiteral("X-Api-Key"), QStringLiteral("k1")}});
        QTest::newRow("fractional storage size")
                << QByteArray(R"({"storage_size":2.5})") << "storageSize" << QVariant(0);
        QTest::newRow("string storage size")
                << QByteArray(R"({"storage_size":"500"})") << "storageSize" << QVariant(0);
        QTest::newRow("storage size beyond int")
                << QByteArray(R"({"storage_size":3000000000})") << "storageSize" << QVariant(0);
        QTest::newRow("batch size")
                << QByteArray(R"({"sync":{"max_batch_size":25}})") << "batchSize" << QVariant(25);
        QTest::newRow("minutes and seconds")
                << QByteArray(R"({"sync":{"interval":{"minutes":1,"seconds":30}}})")
                << "syncInterval" << QVariant(90);
        QTest::newRow("one month") << QByteArray(R"({"sync":{"interval":{"months":1}}})")
                                   << "syncInterval" << QVariant(2592000);
        QTest::newRow("hours and days")
                << QByteArray(R"({"sync":{"interval":{"hours":2,"days":1}}})") << "syncInterval"
                << QVariant(93600);
        QTest::newRow("negative counts with its sign")
                << QByteArray(R"({"sync":{"interval":{"minutes":1,"seconds":-10}}})")
                << "syncInterval" << QVariant(50);
        QTest::newRow("empty sync changes nothing")
                << QByteArray(R"({"sync":{}})") << "batchSize" << QVariant(100);
        QTest::newRow("empty interval changes nothing")
                << QByteArray(R"({"sync":{"max_batch_size":5,"interval":{}}})") << "syncInterval"
                << QVariant(0);
        QTest::newRow("unknown duration key gives 0")
                << QByteArray(R"({"sync":{"interval":{"weeks":2}}})") << "syncInterval"
                << QVariant(0);
        QTest::newRow("duration beyond int is clamped")
                << QByteArray(R"({"sync":{"interval":{"months":2000}}})") << "syncInterval"
                << QVariant(2147483647);
        QTest::newRow("remote enabled as string")
                << QByteArray(R"({"sync_config":{"enabled":"no"}})") << "remoteConfig"
                << QVariant(true);
        QTest::newRow("remote enabled as number") << QByteArray(R"({"sync_config":{"enabled":0}})")
                                                  << "remoteConfig" << QVariant(true);
        QTest::newRow("remote disabled") << QByteArray(R"({"sync_config":{"enabled":false}})")
                                         << "remoteConfig" << QVariant(false);
        QTest::newRow("remote interval")
                << QByteArray(R"({"sync_config":{"interval":{"hours":1}}})")
                << "remoteConfigInterval" << QVariant(3600);
        QTest::newRow("categories") << QByteArray(R"({"categories":["a","b"]})") << "categories"
                                    << QVariant(QStringList {"a", "b"});
        QTest::newRow("categories as string")
                << QByteArray(R"({"categories":"a"})") << "categories" << QVariant(QStringList());
        QTest::newRow("non-string element") << QByteArray(R"({"events":["KeyPress",3]})") << "event"
                                            << QVariant(QStringList {"KeyPress", ""});
        QTest::newRow("own user id")
                << QByteArray(R"({"userId":"u-1"})") << "userId" << QVariant(QStringLiteral("u-1"));
        QTest::newRow("keys are case-sensitive")
                << QByteArray(R"({"Storage":"X"})") << "storageType"
                << QVariant(QStringLiteral("SQLITE"));
    }

    void fileValues()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, property);
        QFETCH(QVariant, expected);

        auto config = loadFrom(document);
        const QVariant actual = config->property(property.toLatin1().constData());
        if (expected.typeId() == QMetaType::QStringList)
            QCOMPARE(actual.toStringList(), expected.toStringList());
        else
            QCOMPARE(actual, expected);
    }

    void rejectedValueKeepsTheRest()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Invalid platform is specified")));
        auto config = loadFrom(
                R"({"server":"c.example","platform":"desktop","token":"tk","storage_size":7})");
        QCOMPARE(config->platform(), QStringLiteral("app"));
        QCOMPARE(config->server(), QStringLiteral("c.example"));
        QCOMPARE(config->token(), QStringLiteral("tk"));
        QCOMPARE(config->storageSize(), 7);
    }

    // Refused from a file and from a remote document alike, keeping the value in force.
    void refusedValues_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariant>("kept");
        QTest::addColumn<QString>("warning");

        const QString least = QStringLiteral("Invalid %1 %2, the least accepted value is %3");
        QTest::newRow("batch size 0")
                << QByteArray(R"({"sync":{"max_batch_size":0}})") << "batchSize" << QVariant(100)
                << least.arg("batchSize").arg(0).arg(1);
        QTest::newRow("batch size as string")
                << QByteArray(R"({"sync":{"max_batch_size":"10"}})") << "batchSize" << QVariant(100)
                << least.arg("batchSize").arg(0).arg(1);
        QTest::newRow("fractional batch size")
                << QByteArray(R"({"sync":{"max_batch_size":2.5}})") << "batchSize" << QVariant(100)
                << least.arg("batchSize").arg(0).arg(1);
        QTest::newRow("negative batch size")
                << QByteArray(R"({"sync":{"max_batch_size":-1}})") << "batchSize" << QVariant(100)
                << least.arg("batchSize").arg(-1).arg(1);
        QTest::newRow("negative sync interval")
                << QByteArray(R"({"sync":{"interval":{"minutes":-1}}})") << "syncInterval"
                << QVariant(0) << least.arg("syncInterval").arg(-60).arg(0);
        QTest::newRow("negative duration beyond int")
                << QByteArray(R"({"sync":{"interval":{"months":-2000}}})") << "syncInterval"
                << QVariant(0) << least.arg("syncInterval").arg(-2147483647 - 1).arg(0);
        QTest::newRow("negative remote interval")
                << QByteArray(R"({"sync_config":{"interval":{"seconds":-1}}})")
                << "remoteConfigInterval" << QVariant(0)
                << least.arg("remoteConfigInterval").arg(-1).arg(0);
        QTest::newRow("server with scheme")
                << QByteArray("{\"server\":\"HTTPS://collector\"}") << "server"
                << QVariant(QString()) << "Invalid server address \"HTTPS://collector\"";
        QTest::newRow("server with path")
                << QByteArray(R"({"server":"collector/x"})") << "server" << QVariant(QString())
                << "Invalid server address \"collector/x\"";
    }

    void refusedValues()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, property);
        QFETCH(QVariant, kept);
        QFETCH(QString, warning);
        const QByteArray name = property.toLatin1();

        QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        auto config = loadFrom(document);
        QCOMPARE(config->property(name), kept);

        QSignalSpy changed(config.get(),
                           config->metaObject()
                                   ->property(config->metaObject()->indexOfProperty(name))
                                   .notifySignal());
        QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        QVERIFY(config->applyConfig(document));
        QCOMPARE(config->property(name), kept);
        QCOMPARE(changed.size(), 0);
        QVERIFY(config->applyConfig(QByteArray()));
    }

    // A document that cannot be written stays in force for the run and is stored by the next
    // fetch of it; withdrawing it works meanwhile.
    void storeRefused_data()
    {
        QTest::addColumn<bool>("directoryIsAFile");
        QTest::newRow("settings directory is a file") << true;
        QTest::newRow("document path is a directory") << false;
    }

    void storeRefused()
    {
        QFETCH(bool, directoryIsAFile);
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.config.debug=true"));
        auto config = loadFrom(R"({"token":"local"})");
        const QString directory = QFileInfo(config->settingsPath()).path();
        const QString moved = directory + QStringLiteral(".moved");
        auto refuse = [&] {
            if (directoryIsAFile) {
                QVERIFY(QDir().rename(directory, moved));
                QFile file(directory);
                QVERIFY(file.open(QIODevice::WriteOnly));
            } else {
                QVERIFY(QDir().mkpath(config->remoteConfigFileName()));
            }
        };
        auto allow = [&] {
            if (directoryIsAFile) {
                QVERIFY(QFile::remove(directory));
                QVERIFY(QDir().rename(moved, directory));
            } else {
                QVERIFY(QDir(config->remoteConfigFileName()).removeRecursively());
            }
        };
        const QByteArray document = R"({"token":"remote"})";
        QSignalSpy tokens(config.get(), &QSentrelConfiguration::tokenChanged);

        refuse();
        LogCapture log;
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QStringLiteral("^Could not store remote configuration: ")));
        QVERIFY(config->applyConfig(document));
        QCOMPARE(config->token(), QStringLiteral("remote"));
        QVERIFY(log.contains(QStringLiteral("sentrel.config"),
                             QStringLiteral("Storing remote configuration to \"%1\"")
                                     .arg(config->remoteConfigFileName())));
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(QStringLiteral("^Could not store remote configuration: ")));
        QVERIFY(config->applyConfig(document)); // not remembered
        QVERIFY(config->applyConfig(QByteArray()));
        QCOMPARE(config->token(), QStringLiteral("local"));
        QCOMPARE(tokens.last().first().toString(), QStringLiteral("local"));
        allow();

        QVERIFY(!QSettings(config->settingsPath(), QSettings::IniFormat)
                         .contains(QStringLiteral("remoteConfigHash")));
        QVERIFY(config->applyConfig(document));
        QFile stored(config->remoteConfigFileName());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), document);
        QCOMPARE(QSettings(config->settingsPath(), QSettings::IniFormat)
                         .value(QStringLiteral("remoteConfigHash"))
                         .toByteArray(),
                 QCryptographicHash::hash(document, QCryptographicHash::Md5));
        QVERIFY(!config->applyConfig(document));
        QLoggingCategory::setFilterRules(QString());
        forgetRemoteConfiguration(*config);
    }

    void invalidDocuments_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("warning");
        QTest::newRow("array") << QByteArray("[1,2]")
                               << "Invalid JSON configuration: \"no error occurred\"";
        QTest::newRow("syntax error")
                << QByteArray(R"({"token":"x",})") << "^Invalid JSON configuration: ";
        QTest::newRow("deep nesting") << QByteArray(100000, '[') << "^Invalid JSON configuration: ";
    }

    void invalidDocuments()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, warning);
        if (warning.startsWith(QLatin1Char('^')))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        else
            QTest::ignoreMessage(QtWarningMsg, warning.toUtf8().constData());
        auto config = loadFrom(document);
        QCOMPARE(config->storageType(), QStringLiteral("SQLITE"));
        QVERIFY(config->token().isEmpty());
        Config::ItemMap map;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Invalid JSON configuration: ")));
        QVERIFY(!config->parseConfig(document, map));
        QVERIFY(map.isEmpty());
    }

    void parseSignalsInTableOrder()
    {
        auto config = loadFrom("{}");
        QStringList order;
        connect(config.get(), &QSentrelConfiguration::serverChanged, this, [&order] {
            order << "server";
        });
        connect(config.get(), &QSentrelConfiguration::tokenChanged, this, [&order] {
            order << "token";
        });
        connect(config.get(), &QSentrelConfiguration::platformChanged, this, [&order] {
            order << "platform";
        });
        connect(config.get(), &QSentrelConfiguration::batchSizeChanged, this, [&order] {
            order << "batch";
        });
        connect(config.get(), &QSentrelConfiguration::syncIntervalChanged, this, [&order] {
            order << "interval";
        });
        connect(config.get(), &QSentrelConfiguration::eventsChanged, this, [&order] {
            order << "events";
        });
        Config::ItemMap map;
        QVERIFY(config->parseConfig(
                R"({"events":[],"sync":{"interval":{"seconds":5},"max_batch_size":3},"platform":"pc","token":"t","server":"s"})",
                map));
        QCOMPARE(order,
                 (QStringList {"server", "token", "platform", "batch", "interval", "events"}));
        QCOMPARE(map.value(Config::BatchSize).toInt(), 3);
    }

    void missingFiles()
    {
        const QString absent = workDir.filePath(QStringLiteral("absent.conf"));
        qputenv("SENTREL_CONFIG", absent.toUtf8());
        QTest::ignoreMessage(QtWarningMsg,
                             QStringLiteral("Could no open configuration file \"%1\"")
                                     .arg(absent)
                                     .toUtf8()
                                     .constData());
        Config fromEnvironment(nullptr);
        QCOMPARE(fromEnvironment.storageType(), QStringLiteral("SQLITE"));

        qunsetenv("SENTREL_CONFIG");
        QTemporaryDir emptyDir;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(emptyDir.path());
        QTest::ignoreMessage(QtWarningMsg, "Could not find configuration file: \"sentrel.conf\"");
        Config nowhere(nullptr);
        QDir::setCurrent(previous);
        QCOMPARE(nowhere.batchSize(), 100);
    }

    void searchOrder()
    {
        qunsetenv("SENTREL_CONFIG");
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.config.info=true"));
        const QString genericDir =
                QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                + QStringLiteral("/Tamlor");
        QVERIFY(QDir().mkpath(genericDir));
        QTemporaryDir cwd;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        const QString appDirFile = QDir(QCoreApplication::applicationDirPath())
                                           .absoluteFilePath(QStringLiteral("sentrel.conf"));
        // Also when a check fails: a file left beside the binary would be found by later runs.
        const auto cleanUp = qScopeGuard([&] {
            QFile::remove(appDirFile);
            QFile::remove(genericDir + QStringLiteral("/sentrel.conf"));
            QDir::setCurrent(previous);
            QLoggingCategory::setFilterRules(QString());
        });

        auto write = [](const QString &path, const QByteArray &token) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(R"({"token":")" + token + R"("})");
        };
        write(genericDir + QStringLiteral("/sentrel.conf"), "generic");
        QCOMPARE(Config(nullptr).token(), QStringLiteral("generic"));
        write(cwd.filePath(QStringLiteral("sentrel.conf")), "cwd");
        QCOMPARE(Config(nullptr).token(), QStringLiteral("cwd"));
        write(appDirFile, "appdir");
        {
            LogCapture log;
            Config config(nullptr);
            QCOMPARE(config.token(), QStringLiteral("appdir"));
            QCOMPARE(log.texts(QStringLiteral("sentrel.config"), QtInfoMsg),
                     QStringList {
                             QStringLiteral("Using configurations from: \"%1\"").arg(appDirFile)});
        }
    }

    void remoteDocument()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("sentrel.config.debug=true"));
        auto config = loadFrom(R"({"server":"local.example"})");
        LogCapture log;

        // Nothing stored: an empty document has nothing to remove.
        QVERIFY(!config->applyConfig(QByteArray()));
        QVERIFY(log.messages().isEmpty());

        QSignalSpy servers(config.get(), &QSentrelConfiguration::serverChanged);
        QSignalSpy batches(config.get(), &QSentrelConfiguration::batchSizeChanged);
        const QByteArray document = R"({"server":"remote.example","sync":{"max_batch_size":10}})";
        QVERIFY(config->applyConfig(document));
        QCOMPARE(config->server(), QStringLiteral("remote.example"));
        QCOMPARE(batches.size(), 1);
        QCOMPARE(batches.first().first().toInt(), 10);
        const QString digest = QString::fromLatin1(
                QCryptographicHash::hash(document, QCryptographicHash::Md5).toHex());
        QVERIFY(log.texts(QStringLiteral("sentrel.config"))
                        .contains(QStringLiteral("New remote configuration with checksum: \"%1\"")
                                          .arg(digest)));
        QCOMPARE(digest.size(), 32);

        QFile stored(config->remoteConfigFileName());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), document);
        stored.close();
        QSettings settings(config->settingsPath(), QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("applicationVersion")).toString(),
                 QStringLiteral("1.0"));

        log.clear();
        QVERIFY(!config->applyConfig(document));
        QCOMPARE(log.texts(QStringLiteral("sentrel.config")),
                 QStringList {QStringLiteral("No changes to the remote configurations")});
        QCOMPARE(batches.size(), 1);

        // A new document without "sync" signals the batch size with the local value after parsing.
        QVERIFY(config->applyConfig(R"({"server":"remote.example"})"));
        QCOMPARE(batches.size(), 2);
        QCOMPARE(batches.last().first().toInt(), 100);

        // Withdrawal restores every item the document had set, even an unchanged one.
        servers.clear();
        QVERIFY(config->applyConfig(QByteArray()));
        QCOMPARE(servers.size(), 1);
        QCOMPARE(servers.first().first().toString(), QStringLiteral("local.example"));
        QVERIFY(!QFile::exists(config->remoteConfigFileName()));
        settings.sync();
        QVERIFY(!settings.contains(QStringLiteral("remoteConfigHash")));
        QVERIFY(settings.contains(QStringLiteral("applicationVersion")));
        QLoggingCategory::setFilterRules(QString());
    }

    void brokenRemoteDocumentIsRemembered()
    {
        auto config = loadFrom("{}");
        QVERIFY(config->applyConfig(R"({"token":"remote"})"));
        QSignalSpy tokens(config.get(), &QSentrelConfiguration::tokenChanged);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^Invalid JSON configuration: ")));
        QTest::ignoreMessage(QtWarningMsg, "Could not apply remote configuration");
        QVERIFY(config->applyConfig(R"({"token": )"));
        QCOMPARE(tokens.size(), 1);
        QVERIFY(config->token().isEmpty());
        QVERIFY(!config->applyConfig(R"({"token": )"));
        forgetRemoteConfiguration(*config);
    }

    void remoteDocumentAcrossRuns()
    {
        auto first = loadFrom(R"({"token":"local"})");
        QVERIFY(first->applyConfig(R"({"token":"remote"})"));

        QLoggingCategory::setFilterRules(
                QStringLiteral("sentrel.config.debug=true\nsentrel.config.info=true"));
        LogCapture log;
        auto second = loadFrom(R"({"token":"local"})");
        QCOMPARE(second->token(), QStringLiteral("remote"));
        QVERIFY(log.contains(QStringLiteral("sentrel.config"),
                             QStringLiteral("Using remote configurations from: \"%1\"")
                                     .arg(second->remoteConfigFileName())));

        // An application configured in code, with no file at all, starts with it too.
        const QString absent = workDir.filePath(QStringLiteral("absent.conf"));
        qputenv("SENTREL_CONFIG", absent.toUtf8());
        QTest::ignoreMessage(QtWarningMsg,
                             QStringLiteral("Could no open configuration file \"%1\"")
                                     .arg(absent)
                                     .toUtf8()
                                     .constData());
        QCOMPARE(Config(nullptr).token(), QStringLiteral("remote"));

        // After an update of the application the stored document is dormant.
        QCoreApplication::setApplicationVersion(QStringLiteral("2.0"));
        log.clear();
        auto updated = loadFrom(R"({"token":"local"})");
        QCOMPARE(updated->token(), QStringLiteral("local"));
        QVERIFY(log.contains(
                QStringLiteral("sentrel.config"),
                QStringLiteral("Skip remote configuration from previous application version")));
        QVERIFY(!log.contains(QStringLiteral("sentrel.config"),
                              QStringLiteral("Using remote configurations from:")));
        QLoggingCategory::setFilterRules(QString());
        // The collector sending the same document again confirms it for the new version.
        QVERIFY(updated->applyConfig(R"({"token":"remote"})"));
        QCOMPARE(updated->token(), QStringLiteral("remote"));
        QVERIFY(!updated->applyConfig(R"({"token":"remote"})"));
        QCOMPARE(loadFrom(R"({"token":"local"})")->token(), QStringLiteral("remote"));
        QVERIFY(updated->applyConfig(R"({"token":"remote2"})"));
        QCOMPARE(updated->token(), QStringLiteral("remote2"));
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    }

    // The document sets server, events and both sync_config items; each refused one keeps its
    // local value and is logged once, however many documents set it.
    void remoteScope_data()
    {
        QTest::addColumn<bool>("restricted");
        QTest::addColumn<QStringList>("scope");
        QTest::addColumn<bool>("whileInForce"); // the scope is set after the document
        QTest::addColumn<QStringList>("refused");

        const auto without = [](const QString &key) {
            QStringList keys = Config::documentKeys();
            keys.removeOne(key);
            return keys;
        };
        QTest::newRow("default") << false << QStringList() << false << QStringList();
        QTest::newRow("without server")
                << true << without(QStringLiteral("server")) << false << QStringList {"server"};
        QTest::newRow("without events")
                << true << without(QStringLiteral("events")) << false << QStringList {"events"};
        QTest::newRow("sync_config interval only")
                << true << (without(QStringLiteral("sync_config")) << "sync_config/interval")
                << false << QStringList {"sync_config/enabled"};
        QTest::newRow("none") << true << QStringList() << false
                              << QStringList {"server",
                                              "events",
                                              "sync_config/enabled",
                                              "sync_config/interval"};
        QTest::newRow("narrowed while in force")
                << true << without(QStringLiteral("server")) << true << QStringList {"server"};
    }

    void remoteScope()
    {
        QFETCH(bool, restricted);
        QFETCH(QStringList, scope);
        QFETCH(bool, whileInForce);
        QFETCH(QStringList, refused);

        auto config = loadFrom(R"({"server":"local.example","events":["MouseButtonRelease"],
                                   "sync_config":{"enabled":true,"interval":{"hours":1}}})");
        if (restricted && !whileInForce)
            config->setRemoteScope(scope);
        QSignalSpy servers(config.get(), &QSentrelConfiguration::serverChanged);
        for (const QString &key : std::as_const(refused))
            QTest::ignoreMessage(QtWarningMsg,
                                 QStringLiteral("Remote configuration may not change \"%1\"")
                                         .arg(key)
                                         .toUtf8()
                                         .constData());
        QVERIFY(config->applyConfig(R"({"server":"remote.example","events":["KeyPress"],
                                        "sync_config":{"enabled":false,"interval":{"minutes":1}}})"));
        if (restricted && whileInForce) {
            QCOMPARE(config->server(), QStringLiteral("remote.example"));
            config->setRemoteScope(scope);
        }
        QCOMPARE(config->remoteScope(), restricted ? scope : Config::documentKeys());

        QCOMPARE(config->server(),
                 refused.contains("server") ? QStringLiteral("local.example")
                                            : QStringLiteral("remote.example"));
        QCOMPARE(config->events(),
                 QStringList {refused.contains("events") ? "MouseButtonRelease" : "KeyPress"});
        QCOMPARE(config->remoteConfig(), refused.contains("sync_config/enabled"));
        QCOMPARE(config->remoteConfigInterval(),
                 refused.contains("sync_config/interval") ? 3600 : 60);
        if (!servers.isEmpty())
            QCOMPARE(servers.last().first().toString(), config->server());

        // Refused again without a word: init() makes any further warning a failure.
        QVERIFY(config->applyConfig(R"({"server":"again.example","events":["KeyRelease"],
                                        "sync_config":{"enabled":false,"interval":{"minutes":2}}})"));
        QCOMPARE(config->server(),
                 refused.contains("server") ? QStringLiteral("local.example")
                                            : QStringLiteral("again.example"));

        // Refused items were kept: allowing every key puts the document's values in force.
        config->setRemoteScope(Config::documentKeys());
        QCOMPARE(config->server(), QStringLiteral("again.example"));
        QVERIFY(!config->remoteConfig());
        QCOMPARE(servers.last().first().toString(), QStringLiteral("again.example"));
        forgetRemoteConfiguration(*config);
    }

    void lastSync()
    {
        auto config = loadFrom("{}");
        QSettings(config->settingsPath(), QSettings::IniFormat)
                .remove(QStringLiteral("lastSyncTime"));
        QVERIFY(config->lastSync().isNull());
        const QDateTime when = QDateTime::currentDateTime().addSecs(-100);
        config->setLastSync(when);
        QCOMPARE(loadFrom("{}")->lastSync().toSecsSinceEpoch(), when.toSecsSinceEpoch());
    }

    void lastShutdownAcrossRuns()
    {
        QTemporaryDir home;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("SENTREL_CONFIG"),
                           home.filePath(QStringLiteral("none.conf")));
        auto run = [&](const QString &mode) {
            QProcess probe;
            probe.setProcessEnvironment(environment);
            probe.start(QStringLiteral(SHUTDOWN_PROBE), {mode});
            probe.waitForFinished();
            return QString::fromLatin1(probe.readAllStandardOutput()).trimmed();
        };
        QCOMPARE(run(QStringLiteral("quit")), QStringLiteral("orderly")); // first run ever
        QCOMPARE(run(QStringLiteral("kill")), QStringLiteral("orderly"));
        QCOMPARE(run(QStringLiteral("quit")), QStringLiteral("unclean"));
        QCOMPARE(run(QStringLiteral("quit")), QStringLiteral("orderly"));
    }

    // Reads on one thread while another writes both maps; run under ThreadSanitizer by `make tsan`.
    void concurrentReadsAndWrites()
    {
        auto config = loadFrom("{}");
        std::atomic<bool> stop {false};
        std::atomic<int> reads {0};
        QThread *reader = QThread::create([&] {
            while (!stop) {
                (void)config->batchSize();
                (void)config->server();
                (void)config->categories();
                ++reads;
            }
        });
        reader->start();
        for (int i = 0; i < 300; ++i) {
            config->setBatchSize(i + 1);
            config->setServer(QStringLiteral("host%1").arg(i));
            config->setCategories({QString::number(i)});
            if (i % 50 == 0)
                config->applyConfig(QByteArray(R"({"sync":{"max_batch_size":)")
                                    + QByteArray::number(i + 1) + "}}");
        }
        QTRY_VERIFY(reads > 0);
        stop = true;
        reader->wait();
        delete reader;
        QCOMPARE(config->server(), QStringLiteral("host299"));
    }
};

SENTREL_TEST_MAIN(tst_Configuration, QCoreApplication)
#include "tst_configuration.moc"
