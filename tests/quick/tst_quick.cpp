// SPDX-License-Identifier: MIT
// A QML document drives the tracker only through the SentrelTracker module; what it records
// is read at the test collector, and the accepted batches are written out for the schema check.
#include "fixedcategory.h"
#include "logcapture.h"
#include "pipelinetestsupport.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentrelcategoryfilter.h>
#include <SentrelTracker/qsentreleventinterceptor.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QKeySequence>
#include <QMetaProperty>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int wait = 20000;

QString field(const QJsonObject &context, const char *key)
{
    return context.value(QLatin1String(key)).toString();
}

// Drops the screen views named "secret", as an application's C++ type would for QML.
class Scrubber : public QObject, public QSentrelEventInterceptor
{
    Q_OBJECT
    Q_INTERFACES(QSentrelEventInterceptor)

public:
    bool intercept(QJsonArray &contexts) override
    {
        for (const QJsonValue &context : std::as_const(contexts)) {
            if (context[u"data"][u"object_id"].toString() == QLatin1String("secret"))
                return false;
        }
        return true;
    }
};

} // namespace

class tst_Quick : public QObject
{
    Q_OBJECT

private:
    TestCollector collector;
    QTemporaryDir cacheDir;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;
    QSentrelTracker tracker; // only to install an application category provider
    QObject flushTarget;
    QList<QByteArray> accepted;

    // Evaluates code as a binding of the document's root would, where Tracker is attached.
    QVariant run(const QString &code)
    {
        QQmlExpression expression(qmlContext(window), window, code);
        const QVariant result = expression.evaluate();
        if (expression.hasError())
            qWarning() << "expression failed:" << expression.error().toString();
        return result;
    }

    void enable()
    {
        run(QStringLiteral("Tracker.enabled = true"));
        QVERIFY(tracker.isEnabled());
        QCOMPARE(run(QStringLiteral("status.text")).toString(),
                 QStringLiteral("tracking")); // another item's Tracker
        // The start-up event first: everything after it comes from the test.
        QTRY_COMPARE_WITH_TIMEOUT(
                eventsStartingWith(collector.receivedEvents(), Schema::device).size(),
                1,
                wait);
        accepted += collector.acceptedBatches();
        collector.clear();
    }

    // Waits for count events beside the start-up event, then switches tracking off.
    QList<QJsonObject> received(int count)
    {
        QEvent next(QEvent::User); // lets the capture report what it still holds
        QCoreApplication::sendEvent(&flushTarget, &next);
        QTest::qWait(0);
        // A shortfall shows in the caller's comparisons.
        (void)QTest::qWaitFor(
                [&] {
                    return collector.receivedEvents().size() >= count;
                },
                wait);
        run(QStringLiteral("Tracker.enabled = false"));
        accepted += collector.acceptedBatches();
        return collector.receivedEvents();
    }

    QQuickItem *item(const char *id)
    {
        auto *found = qvariant_cast<QQuickItem *>(run(QString::fromLatin1(id)));
        if (!found)
            qWarning() << "no item" << id;
        return found;
    }

    void click(QQuickItem *target)
    {
        const QPointF centre =
                target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    static QList<QJsonObject> captured(const QList<QJsonObject> &events, const QString &type)
    {
        QList<QJsonObject> result;
        for (const QJsonObject &event : events) {
            for (const QJsonObject &context : contextsWith(event, Schema::qevent)) {
                if (field(context, "type") == type)
                    result.append(context);
            }
        }
        return result;
    }

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
            qputenv("QT_QUICK_BACKEND", "software");
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("tst_quick"));
        QFile::remove(QStringLiteral(RECEIVED_EVENTS));
        QVERIFY(cacheDir.isValid());
        QVERIFY2(collector.start(), qPrintable(collector.errorString()));

        engine = std::make_unique<QQmlApplicationEngine>();
        engine->addImportPath(QStringLiteral(QML_IMPORT_DIRECTORY));
        engine->setInitialProperties({{QStringLiteral("server"), collector.server()},
                                      {QStringLiteral("cacheDirectory"), cacheDir.path()}});
        engine->load(QStringLiteral(QML_DIRECTORY "/tracked.qml"));
        QCOMPARE(engine->rootObjects().size(), 1);
        window = qobject_cast<QQuickWindow *>(engine->rootObjects().constFirst());
        QVERIFY(window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(tracker.configuration()->server(), collector.server());
    }

    void cleanup()
    {
        run(QStringLiteral("Tracker.enabled = false; Tracker.consentRequired = false; "
                           "Tracker.consentVersion = 0"));
        QCOMPARE(run(QStringLiteral("status.text")).toString(), QStringLiteral("off"));
        collector.clear();
    }

    void calls_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("schema");
        QTest::addColumn<QJsonObject>("data");
        QTest::addColumn<QJsonObject>("context"); // the numeric context, empty for none
        const QJsonObject none;
        QTest::newRow("transition") << "Tracker.transition('Main')" << Schema::screenView
                                    << QJsonObject {{"object_id", "Main"}} << none;
        QTest::newRow("transition with context")
                << "Tracker.transition('Settings', 'depth', 2.5)" << Schema::screenView
                << QJsonObject {{"object_id", "Settings"}}
                << QJsonObject {{"key", "depth"}, {"val", 2.5}};
        QTest::newRow("interaction")
                << "Tracker.interaction('ok', 'buttons')" << Schema::click
                << QJsonObject {{"object_id", "ok"}, {"category", "buttons"}} << none;
        QTest::newRow("interaction with context")
                << "Tracker.interaction('apply', 'count', 7, 'buttons')" << Schema::click
                << QJsonObject {{"object_id", "apply"}, {"category", "buttons"}}
                << QJsonObject {{"key", "count"}, {"val", 7}};
        QTest::newRow("context data, string")
                << "Tracker.contextData('document', 'report')" << Schema::contextData
                << QJsonObject {{"key", "document"}, {"val", "report"}} << none;
        QTest::newRow("context data, number")
                << "Tracker.contextData('items', 3.5)" << Schema::contextData
                << QJsonObject {{"key", "items"}, {"val", "3.5"}} << none;
        QTest::newRow("dimension data")
                << "Tracker.dimensionData('edition', 'pro')" << Schema::dimension
                << QJsonObject {{"key", "edition"}, {"val", "pro"}} << none;
        QTest::newRow("typed event")
                << "Tracker.track('export', {format: 'pdf', pages: 12, tags: ['a'], color: false})"
                << Schema::typedEvent
                << QJsonObject {{"name", "export"},
                                {"properties",
                                 QJsonObject {{"format", "pdf"},
                                              {"pages", 12},
                                              {"tags", QJsonArray {"a"}},
                                              {"color", false}}}}
                << none;
        QTest::newRow("global property")
                << "Tracker.setGlobalProperty('edition', 'pro'); Tracker.transition('Main'); "
                   "Tracker.removeGlobalProperty('edition')"
                << Schema::global << QJsonObject {{"edition", "pro"}} << none;
    }

    void calls()
    {
        QFETCH(QString, code);
        QFETCH(QString, schema);
        QFETCH(QJsonObject, data);
        QFETCH(QJsonObject, context);
        enable();
        run(code);
        const QList<QJsonObject> events = received(1);
        QCOMPARE(events.size(), 1);
        const QStringList schemas = contextSchemas(events.first());
        QCOMPARE(schema == Schema::global ? schemas.last() : schemas.first(), schema);
        const QJsonObject recorded = contextsWith(events.first(), schema).first();
        for (auto it = data.constBegin(); it != data.constEnd(); ++it)
            QCOMPARE(recorded.value(it.key()), it.value());
        const QList<QJsonObject> numeric = contextsWith(events.first(), Schema::contextData);
        if (schema != Schema::contextData)
            QCOMPARE(numeric.isEmpty() ? QJsonObject() : numeric.first(), context);
    }

    void newSession()
    {
        enable();
        run(QStringLiteral("Tracker.transition('Before')"));
        QTRY_COMPARE_WITH_TIMEOUT(collector.receivedEvents().size(), 1, wait);
        run(QStringLiteral("Tracker.startNewSession(); Tracker.transition('After')"));
        const QList<QJsonObject> events = received(2);
        QCOMPARE(screenNames(events), (QStringList {"Before", "After"}));
        QVERIFY(!events.at(0).value(QLatin1String("sid")).toString().isEmpty());
        QVERIFY(events.at(0).value(QLatin1String("sid"))
                != events.at(1).value(QLatin1String("sid")));
    }

    // Each side sees the other's changes once per change: the label's bindings are another
    // item's Tracker, the C++ side is the handle's property, and a write of the current value
    // changes nothing.
    void stateReachesBothSides_data()
    {
        QTest::addColumn<QString>("property");
        QTest::addColumn<bool>("fromQml");
        QTest::addColumn<QString>("value"); // as QML writes it
        QTest::newRow("enabled from C++") << "enabled" << false << "true";
        QTest::newRow("enabled from QML") << "enabled" << true << "true";
        QTest::newRow("anonymous from C++") << "consent" << false << "Tracker.ConsentAnonymous";
        QTest::newRow("granted from QML") << "consent" << true << "Tracker.ConsentGranted";
        QTest::newRow("denied from C++") << "consent" << false << "Tracker.ConsentDenied";
        QTest::newRow("undecided from QML") << "consent" << true << "Tracker.ConsentUndecided";
        QTest::newRow("required from C++") << "consentRequired" << false << "true";
        QTest::newRow("required from QML") << "consentRequired" << true << "true";
        QTest::newRow("version from C++") << "consentVersion" << false << "3";
        QTest::newRow("version from QML") << "consentVersion" << true << "3";
    }

    void stateReachesBothSides()
    {
        QFETCH(QString, property);
        QFETCH(bool, fromQml);
        QFETCH(QString, value);
        const QMetaObject *meta = tracker.metaObject();
        const QMetaProperty cpp = meta->property(meta->indexOfProperty(property.toLatin1()));
        QVERIFY(cpp.hasNotifySignal());
        const int target = run(value).toInt();
        if (property == QLatin1String("consent")) {
            // From another decision, so that every row makes a change.
            tracker.setConsent(target == QSentrelTracker::ConsentGranted
                                       ? QSentrelTracker::ConsentDenied
                                       : QSentrelTracker::ConsentGranted);
        }
        QVERIFY(cpp.read(&tracker).toInt() != target);

        QSignalSpy spy(&tracker, cpp.notifySignal());
        for (int write = 0; write < 2; ++write) {
            if (fromQml)
                run(QStringLiteral("Tracker.%1 = %2").arg(property, value));
            else
                QVERIFY(cpp.write(&tracker, target));
            QCOMPARE(cpp.read(&tracker).toInt(), target);
            QCOMPARE(spy.size(), 1);
            QCOMPARE(spy.first().first().toInt(), target);
            QCOMPARE(run(property == QLatin1String("enabled")
                                 ? QStringLiteral("status.text === 'tracking'")
                                 : QStringLiteral("status.") + property)
                             .toInt(),
                     target);
        }
        if (property == QLatin1String("enabled")) {
            // So that the next test's start-up event is the only one.
            QTRY_COMPARE_WITH_TIMEOUT(
                    eventsStartingWith(collector.receivedEvents(), Schema::device).size(),
                    1,
                    wait);
        }
    }

    void remoteConfigurationScopeReachesBothSides()
    {
        const QStringList every = tracker.remoteConfigurationScope();
        QSignalSpy spy(&tracker, &QSentrelTracker::remoteConfigurationScopeChanged);
        run(QStringLiteral("Tracker.remoteConfigurationScope = ['sync', 'token']"));
        QCOMPARE(tracker.remoteConfigurationScope(), (QStringList {"sync", "token"}));
        QCOMPARE(spy.size(), 1);
        tracker.setRemoteConfigurationScope({QStringLiteral("server")});
        QCOMPARE(run(QStringLiteral("Tracker.remoteConfigurationScope")).toStringList(),
                 QStringList {"server"});
        QCOMPARE(spy.size(), 2);
        tracker.setRemoteConfigurationScope(every);
    }

    void clearCacheEmptiesTheCache()
    {
        // Offline with a cache, so that what clearCache() drops can be counted in the file.
        run(QStringLiteral("Tracker.configuration.syncInterval = 0; "
                           "Tracker.configuration.storageType = 'SQLITE'"));
        run(QStringLiteral("Tracker.enabled = true"));
        run(QStringLiteral("Tracker.transition('One'); Tracker.transition('Two')"));
        const QString cache = cacheDir.filePath(QStringLiteral("SentrelTracker.db"));
        QTRY_COMPARE_WITH_TIMEOUT(cachedRecords(cache), qint64(3), wait);
        run(QStringLiteral("Tracker.clearCache()"));
        QTRY_COMPARE_WITH_TIMEOUT(cachedRecords(cache), qint64(0), wait);
        run(QStringLiteral("Tracker.enabled = false; Tracker.configuration.syncInterval = 1;"
                           "Tracker.configuration.storageType = ''"));
        QVERIFY(collector.receivedEvents().isEmpty());
    }

    void wrongArgumentTypes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("warning"); // the end of the message
        const QString transition =
                QStringLiteral("Tracker.transition(%1) was ignored: it takes "
                               "(string screen) or (string screen, string key, number value)");
        const QString interaction =
                QStringLiteral("Tracker.interaction(%1) was ignored: it takes (string name, "
                               "string category) or (string name, string key, number value, "
                               "string category)");
        QTest::newRow("screen a number") << "Tracker.transition(42)" << transition.arg("number");
        QTest::newRow("context without value")
                << "Tracker.transition('Main', 'depth')" << transition.arg("string, string");
        QTest::newRow("context value a string") << "Tracker.transition('Main', 'depth', 'deep')"
                                                << transition.arg("string, string, string");
        QTest::newRow("context value infinite") << "Tracker.transition('Main', 'depth', Infinity)"
                                                << transition.arg("string, string, number");
        QTest::newRow("interaction without category")
                << "Tracker.interaction('ok')" << interaction.arg("string");
        QTest::newRow("interaction, object name")
                << "Tracker.interaction({}, 'buttons')" << interaction.arg("object, string");
        QTest::newRow("interaction, three") << "Tracker.interaction('ok', 'count', 7)"
                                            << interaction.arg("string, string, number");
        QTest::newRow("context data, bool") << "Tracker.contextData('items', true)"
                                            << "Tracker.contextData(string, bool) was ignored: it "
                                               "takes (string key, string or number value)";
        QTest::newRow("context data, NaN") << "Tracker.contextData('items', NaN)"
                                           << "Tracker.contextData(string, number) was ignored: it "
                                              "takes (string key, string or number value)";
        QTest::newRow("dimension, number") << "Tracker.dimensionData('edition', 3)"
                                           << "Tracker.dimensionData(string, number) was ignored: "
                                              "it takes (string key, string value)";
        QTest::newRow("dimension, null key") << "Tracker.dimensionData(null, 'pro')"
                                             << "Tracker.dimensionData(null, string) was ignored: "
                                                "it takes (string key, string value)";
        QTest::newRow("global property without a value")
                << "Tracker.setGlobalProperty('edition')"
                << "Tracker.setGlobalProperty(string) was ignored: it takes (string "
                   "key, value)";
        QTest::newRow("typed event, a list of properties")
                << "Tracker.track('export', [1])"
                << "Tracker.track(string, array) was ignored: it takes (string name) or (string "
                   "name, object properties)";
    }

    void wrongArgumentTypes()
    {
        QFETCH(QString, code);
        QFETCH(QString, warning);
        enable();
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QRegularExpression::escape(warning) + "$"));
        run(code);
        run(QStringLiteral("Tracker.transition('Marker')"));
        const QList<QJsonObject> events = received(1);
        QCOMPARE(screenNames(events), QStringList {"Marker"});
        QCOMPARE(events.size(), 1);
    }

    // Too few arguments for any form: the QML engine refuses the call itself, naming it.
    void tooFewArguments()
    {
        enable();
        QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(
                        R"(Unable to determine callable overload\..*transition\(QJSValue\))",
                        QRegularExpression::DotMatchesEverythingOption));
        run(QStringLiteral("Tracker.transition()"));
        run(QStringLiteral("Tracker.transition('Marker')"));
        QCOMPARE(screenNames(received(1)), QStringList {"Marker"});
    }

    void clickNames_data()
    {
        QTest::addColumn<QString>("target"); // an expression giving the button
        QTest::addColumn<QString>("leaf"); // the end of the path
        QTest::addColumn<QString>("objectName");
        QTest::newRow("id only") << "okButton"
                                 << "okButton" << QString();
        QTest::newRow("objectName") << "okButton.parent.children[1]"
                                    << "namedButton"
                                    << "namedButton";
        QTest::newRow("neither: the type") << "okButton.parent.children[2]"
                                           << "Button" << QString();
        QTest::newRow("in an item with properties of its own")
                << "deepButton"
                << "QQuickItem/deepButton" << QString();
    }

    void clickNames()
    {
        QFETCH(QString, target);
        auto *button = qvariant_cast<QQuickItem *>(run(target));
        QVERIFY(button);
        enable();
        click(button);
        const QList<QJsonObject> clicks =
                captured(received(1), QStringLiteral("MouseButtonRelease"));
        QCOMPARE(clicks.size(), 1);
        const QString path = field(clicks.first(), "object");
        QFETCH(QString, leaf);
        QVERIFY2(path.endsWith(QLatin1Char('/') + leaf), qPrintable(path));
        QVERIFY2(!path.contains(QLatin1String("_QML")), qPrintable(path));
        QVERIFY2(path.count(QLatin1Char('/')) >= 2, qPrintable(path));
        QTEST(field(clicks.first(), "object_name"), "objectName");
        QCOMPARE(field(clicks.first(), "data"), QStringLiteral("LeftButton"));
    }

    void actions_data()
    {
        QTest::addColumn<QString>("trigger"); // an item to click, a key sequence, or code
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("button") << "click:saveButton"
                                << QJsonObject {{"action", "saveAction"}, {"via", "button"}};
        QTest::newRow("tool bar, checkable, unnamed")
                << "click:boldTool"
                << QJsonObject {{"action", "/boldAction"}, {"via", "toolbar"}, {"checked", true}};
        QTest::newRow("shortcut") << "keys:Ctrl+S"
                                  << QJsonObject {{"action", "saveAction"}, {"via", "shortcut"}};
        QTest::newRow("code") << "saveAction.trigger()"
                              << QJsonObject {{"action", "saveAction"}, {"via", "code"}};
    }

    // Qt Quick's actions are commands like QAction's, named without their text.
    void actions()
    {
        QFETCH(QString, trigger);
        QFETCH(QJsonObject, expected);
        // Commands alone: the inputs that trigger them are not waited for.
        run(QStringLiteral("Tracker.configuration.captureActions = true; "
                           "Tracker.configuration.event = []"));
        enable();
        if (trigger.startsWith(QLatin1String("click:"))) {
            click(item(trigger.mid(6).toLatin1()));
        } else if (trigger.startsWith(QLatin1String("keys:"))) {
            window->requestActivate();
            QVERIFY(QTest::qWaitForWindowActive(window));
            QTest::keySequence(window, QKeySequence(trigger.mid(5)));
        } else {
            run(trigger);
        }
        const QList<QJsonObject> events = received(1);
        run(QStringLiteral("Tracker.configuration.captureActions = false; "
                           "Tracker.configuration.event = ['MouseButtonRelease', 'KeyPress']"));
        const QString schema = Schema::own("/action/jsonschema/1-0-0");
        QList<QJsonObject> actions;
        for (const QJsonObject &event : events)
            actions += contextsWith(event, schema);
        QCOMPARE(actions.size(), 1);
        QJsonObject action = actions.first();
        QVERIFY2(action.value(u"action").toString().endsWith(expected.value(u"action").toString()),
                 qPrintable(action.value(u"action").toString()));
        action.remove(u"action");
        action.remove(u"screen_id");
        expected.remove(u"action");
        QCOMPARE(action, expected);
        QVERIFY(!QJsonDocument(events.first()).toJson().contains("Zq7"));
    }

    void eventInterceptor_data()
    {
        QTest::addColumn<QString>("interceptor");
        QTest::addColumn<QStringList>("screens");
        QTest::newRow("a C++ interceptor") << "scrubber" << QStringList {"open"};
        QTest::newRow("an object of another type") << "okButton" << QStringList {"secret", "open"};
    }

    // Tracker.eventInterceptor installs the application's C++ interceptor for the whole tracker.
    void eventInterceptor()
    {
        QFETCH(QString, interceptor);
        QFETCH(QStringList, screens);
        Scrubber scrubber;
        engine->rootContext()->setContextProperty(QStringLiteral("scrubber"), &scrubber);
        const bool installs = interceptor == QLatin1String("scrubber");
        if (!installs)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral(
                                         "Tracker.eventInterceptor = Button\\w* was ignored: its "
                                         "type does not implement QSentrelEventInterceptor")));
        run(QStringLiteral("Tracker.eventInterceptor = ") + interceptor);
        QCOMPARE(run(QStringLiteral("status.Tracker.eventInterceptor === scrubber")).toBool(),
                 installs);
        enable();
        run(QStringLiteral("Tracker.transition('secret'); Tracker.transition('open')"));
        QCOMPARE(screenNames(received(int(screens.size()))), screens);
        run(QStringLiteral("Tracker.eventInterceptor = null"));
        engine->rootContext()->setContextProperty(QStringLiteral("scrubber"), nullptr);
    }

    void categories_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("provided"); // the application's provider, none when null
        QTest::addColumn<QString>("filtered"); // the category filtered, none when empty
        QTest::newRow("attached, not configured") << "secretButton" << QString() << "secret";
        QTest::newRow("attached, configured") << "listedButton" << QString() << QString();
        QTest::newRow("none: provider not configured") << "okButton"
                                                       << "secret"
                                                       << "secret";
        QTest::newRow("none: provider configured") << "okButton"
                                                   << "buttons" << QString();
        QTest::newRow("attached before provider") << "listedButton"
                                                  << "secret" << QString();
        QTest::newRow("attached empty: no category") << "clearedButton"
                                                     << "secret" << QString();
    }

    void categories()
    {
        QFETCH(QString, target);
        QFETCH(QString, provided);
        QFETCH(QString, filtered);
        auto *button = qvariant_cast<QQuickItem *>(run(target));
        QVERIFY(button);
        FixedCategory provider(provided);
        enable();
        if (!provided.isNull())
            tracker.setCategoryFilter(&provider);
        LogCapture log;
        click(button);
        run(QStringLiteral("Tracker.transition('Marker')"));
        const QList<QJsonObject> events = received(filtered.isEmpty() ? 2 : 1);
        QCOMPARE(screenNames(events), QStringList {"Marker"});
        const QList<QJsonObject> clicks = captured(events, QStringLiteral("MouseButtonRelease"));
        QCOMPARE(clicks.size(), filtered.isEmpty() ? 1 : 0);
        if (!clicks.isEmpty())
            QCOMPARE(field(clicks.first(), "object").section(QLatin1Char('/'), -1), target);
        const QString message = QStringLiteral("category filtered: \"%1\"").arg(filtered);
        QCOMPARE(log.texts(QStringLiteral("sentrel.eventfilter"), QtDebugMsg).contains(message),
                 !filtered.isEmpty());
    }

    void typing_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("TextField") << "nameField";
        QTest::newRow("TextInput") << "nameInput";
        QTest::newRow("TextEdit") << "notesEdit";
    }

    void typing()
    {
        QFETCH(QString, target);
        QQuickItem *input = qvariant_cast<QQuickItem *>(run(target));
        QVERIFY(input);
        window->requestActivate();
        input->forceActiveFocus();
        QTRY_VERIFY(input->hasActiveFocus());
        enable();
        QTest::keyClick(window, Qt::Key_A);
        QTest::keyClick(window, Qt::Key_B, Qt::ShiftModifier);
        QCOMPARE(run(target + QStringLiteral(".text")).toString(), QStringLiteral("ab"));
        // Shift comes as a press of its own, which the input leaves to its parents.
        const QList<QJsonObject> presses = captured(received(3), QStringLiteral("KeyPress"));
        QStringList typed;
        for (const QJsonObject &press : presses) {
            QVERIFY(field(press, "data").size() > 1); // never the character
            if (field(press, "object").section(QLatin1Char('/'), -1) == target)
                typed.append(field(press, "data"));
        }
        QCOMPARE(typed, (QStringList {"[text]", "[text]"}));
        run(target + QStringLiteral(".text = ''"));
    }

    // A StackView's pages and a popup are screens with no code of the application's.
    void screens()
    {
        enable();
        run(QStringLiteral("Tracker.configuration.captureScreens = true")); // on the home page
        QTest::qWait(0);
        run(QStringLiteral("stack.push(detailsPage)"));
        QTest::qWait(0);
        run(QStringLiteral("confirm.open()"));
        QTRY_VERIFY(run(QStringLiteral("confirm.opened")).toBool());
        QTest::qWait(0);
        run(QStringLiteral("confirm.close()"));
        QTRY_VERIFY(!run(QStringLiteral("confirm.visible")).toBool());
        QTest::qWait(0);
        QStringList chain;
        for (const QJsonObject &event : received(7)) {
            for (const QJsonObject &view : contextsWith(event, Schema::screenView))
                chain.append(field(view, "object_id") + QStringLiteral(" <- ")
                             + field(view, "previous_id"));
            for (const QJsonObject &end : contextsWith(event, Schema::screenEnd))
                chain.append(QStringLiteral("end ") + field(end, "screen_id"));
        }
        run(QStringLiteral("Tracker.configuration.captureScreens = false"));
        chain.sort(); // sent one by one without a cache, they may arrive in any order
        QCOMPARE(chain,
                 QStringList({"confirm <- details",
                              "details <- confirm",
                              "details <- homePage",
                              "end confirm",
                              "end details",
                              "end homePage",
                              "homePage <- "}));
    }

    void cleanupTestCase()
    {
        QFile out(QStringLiteral(RECEIVED_EVENTS));
        QVERIFY2(out.open(QIODevice::WriteOnly | QIODevice::Truncate),
                 qPrintable(out.errorString()));
        for (const QByteArray &body : accepted)
            out.write(body + '\n');
    }
};

SENTREL_TEST_MAIN(tst_Quick, QGuiApplication)

#include "tst_quick.moc"
