// SPDX-License-Identifier: MIT
#include "eventlog.h"
#include "fixedcategory.h"
#include "logcapture.h"
#include "qsentreleventfilter_p.h"
#include "sentreltrackerimpl_p.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentrelcategoryfilter.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QApplication>
#include <QDialog>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageAuthenticationCode>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <limits>
#include <memory>
#include <thread>

namespace {

const QString filterCategory = QStringLiteral("sentrel.eventfilter");

// Accepts every mouse and key event, so that none propagates past it.
class Sink : public QWidget
{
public:
    explicit Sink(const QString &name, QWidget *parent = nullptr) : QWidget(parent)
    {
        setObjectName(name);
        setFocusPolicy(Qt::StrongFocus);
    }

protected:
    void mousePressEvent(QMouseEvent *event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent *event) override { event->accept(); }
    void keyPressEvent(QKeyEvent *event) override { event->accept(); }
    void keyReleaseEvent(QKeyEvent *event) override { event->accept(); }
};

// An input event of a pointer type that is not of the pointer classes.
class OddInputEvent : public QInputEvent
{
public:
    OddInputEvent() : QInputEvent(QEvent::MouseButtonRelease, QInputDevice::primaryKeyboard()) { }
};

// A dialog with a button named okButton, a line edit and a free-standing canvas.
struct Window
{
    Window()
    {
        auto *layout = new QVBoxLayout(&dialog);
        button = new QPushButton(QStringLiteral("OK"), &dialog);
        button->setObjectName(QStringLiteral("okButton"));
        edit = new QLineEdit(&dialog);
        edit->setObjectName(QStringLiteral("edit"));
        layout->addWidget(button);
        layout->addWidget(edit);
        canvas = new QWidget(&dialog); // outside the layout: its resizes are its own
        canvas->setObjectName(QStringLiteral("canvas"));
        canvas->setGeometry(0, 0, 20, 20);
        dialog.resize(300, 200);
        dialog.show();
    }

    QDialog dialog;
    QPushButton *button;
    QLineEdit *edit;
    QWidget *canvas;
};

std::unique_ptr<QMouseEvent> release(const QPointF &global, quint64 timestamp)
{
    auto event = std::make_unique<QMouseEvent>(QEvent::MouseButtonRelease,
                                               QPointF(1, 1),
                                               QPointF(1, 1),
                                               global,
                                               Qt::LeftButton,
                                               Qt::NoButton,
                                               Qt::NoModifier);
    event->setTimestamp(timestamp);
    return event;
}

QJsonObject position(int x, int y)
{
    return QJsonObject {{QStringLiteral("x"), x}, {QStringLiteral("y"), y}};
}

// The offscreen platform says so whenever a window with a layout is shown: a notice of the test
// platform, not a warning of the library, so it never reaches QTest::failOnWarning().
QtMessageHandler passOn = nullptr;
void dropPlatformNotice(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text != QLatin1String("This plugin does not support propagateSizeHints()"))
        passOn(type, context, text);
}

} // namespace

class tst_EventFilter : public QObject
{
    Q_OBJECT

private:
    QSentrelTracker tracker;
    RecordedEvents recorded;
    QObject flushTarget;

    void start(const QStringList &events)
    {
        tracker.configuration()->setEvents(events);
        tracker.setEnabled(true);
        QVERIFY(tracker.isEnabled());
    }

    // An event that continues no input event lets the filter report what it holds; disabling
    // then runs every queued report before the worker stops.
    QList<QJsonObject> stop()
    {
        QEvent next(QEvent::User);
        QCoreApplication::sendEvent(&flushTarget, &next);
        tracker.setEnabled(false);
        return recorded.contexts(QStringLiteral("/qevent/"));
    }

    static QList<QJsonObject> ofType(const QList<QJsonObject> &reports, const QString &type)
    {
        QList<QJsonObject> result;
        for (const QJsonObject &report : reports) {
            if (report.value(QLatin1String("type")).toString() == type)
                result.append(report);
        }
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(QStringLiteral("tst_eventfilter"));
        passOn = qInstallMessageHandler(dropPlatformNotice);
        QSentrelConfiguration *config = tracker.configuration();
        config->setToken(QStringLiteral("t"));
        config->setServer(QStringLiteral("localhost:1")); // never contacted: offline
        config->setSyncInterval(0);
        config->setStorageType(QString()); // built, seen by the interceptor and dropped
        config->setCategories({QStringLiteral("buttons")});
        tracker.setEventInterceptor(&recorded);
    }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        recorded.clear();
    }

    void cleanup() { tracker.setEnabled(false); }

    void names_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<QString>("leafName");
        QTest::addColumn<QString>("objectName");
        QTest::addColumn<QString>("path");
        QTest::newRow("unnamed, grandparent named") << 2 << QString() << "root"
                                                    << "root/QTimer/QObject";
        QTest::newRow("named leaf") << 2 << "leaf"
                                    << "leaf"
                                    << "root/QTimer/leaf";
        QTest::newRow("unnamed without parent") << 0 << QString() << QString() << "QObject";
        QTest::newRow("named without parent") << 0 << "alone"
                                              << "alone"
                                              << "alone";
    }

    void names()
    {
        QFETCH(int, depth);
        QFETCH(QString, leafName);
        QObject root;
        root.setObjectName(QStringLiteral("root"));
        QTimer middle(&root);
        QObject child(&middle);
        QObject orphan;
        QObject *leaf = depth ? &child : &orphan;
        leaf->setObjectName(leafName);
        QFETCH(QString, objectName);
        QCOMPARE(QSentrelEventFilter::objectName(leaf), objectName);
        QCOMPARE(QSentrelEventFilter::objectName(leaf).isNull(), objectName.isNull());
        QTEST(QSentrelEventFilter::generateName(leaf), "path");
    }

    void trackedEvents_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QList<int>>("tracked");
        const QList<int> none;
        QTest::newRow("two, out of type order")
                << QStringList {"MouseButtonRelease", "MouseButtonPress"}
                << QStringList {R"(tracking events QList("MouseButtonPress", "MouseButtonRelease"))"}
                << QList<int> {QEvent::MouseButtonPress, QEvent::MouseButtonRelease};
        QTest::newRow("misspelt beside valid")
                << QStringList {"MouseButtonRelese", "KeyPress"}
                << QStringList {R"(unknown event enabled: "MouseButtonRelese")",
                                R"(tracking events QList("KeyPress"))"}
                << QList<int> {QEvent::KeyPress};
        QTest::newRow("later name of the same type wins")
                << QStringList {"MouseMove", "QEvent::MouseMove"}
                << QStringList {R"(tracking events QList("QEvent::MouseMove"))"}
                << QList<int> {QEvent::MouseMove};
        QTest::newRow("case matters")
                << QStringList {"keypress"}
                << QStringList {R"(unknown event enabled: "keypress")", "no events to track"}
                << none;
        QTest::newRow("NUL inside a name")
                << QStringList {QStringLiteral("KeyPress") + QChar(0) + QStringLiteral("x")}
                << QStringList {R"(unknown event enabled: "KeyPress\u0000x")", "no events to track"}
                << none;
        QTest::newRow("empty list") << QStringList() << QStringList {"no events to track"} << none;
    }

    void trackedEvents()
    {
        QFETCH(QStringList, names);
        QFETCH(QList<int>, tracked);
        tracker.configuration()->setEvents({QStringLiteral("Show")});
        QSentrelEventFilter filter(SentrelTrackerImpl::instance());
        QFETCH(QStringList, messages);
        for (const QString &message : std::as_const(messages)) {
            if (message.startsWith(QLatin1String("unknown event enabled")))
                QTest::ignoreMessage(QtWarningMsg, qPrintable(message));
        }
        LogCapture log;
        filter.updateTrackedEvents(names);
        QCOMPARE(log.texts(filterCategory), messages);
        const QList<int> probes {QEvent::MouseButtonPress,
                                 QEvent::MouseButtonRelease,
                                 QEvent::MouseMove,
                                 QEvent::KeyPress,
                                 QEvent::Show};
        for (int type : probes) {
            QEvent event {QEvent::Type(type)};
            QCOMPARE(filter.isTracked(&event), tracked.contains(type));
        }
    }

    void configurationChangeRebuildsOnFilterThread()
    {
        QSentrelConfiguration *config = tracker.configuration();
        config->setEvents({});
        QSentrelEventFilter filter(SentrelTrackerImpl::instance());
        QEvent press(QEvent::KeyPress);
        config->setEvents({QStringLiteral("KeyPress")});
        QVERIFY(filter.isTracked(&press));

        // A change made on another thread (remote configuration) is applied on the filter's.
        // Joined, so that the thread sanitizer sees the writer end before this thread goes on.
        std::thread writer([config] {
            config->setEvents({QStringLiteral("Show")});
        });
        writer.join();
        QVERIFY(filter.isTracked(&press));
        QEvent show(QEvent::Show);
        QTRY_VERIFY(filter.isTracked(&show));
        QVERIFY(!filter.isTracked(&press));
    }

    void noApplicationObject()
    {
        QProcess probe;
        // Text: on Windows the probe's lines end in CR LF.
        probe.start(QStringLiteral(NOAPP_PROBE),
                    QStringList(),
                    QIODevice::ReadOnly | QIODevice::Text);
        QVERIFY(probe.waitForFinished(60000));
        QCOMPARE(probe.exitCode(), 0);
        const QStringList lines =
                QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n'));
        QVERIFY(lines.contains(QStringLiteral(
                R"(sentrel.eventfilter|4|tracking events QList("MouseButtonPress"))")));
        QVERIFY2(lines.contains(QStringLiteral(
                         "sentrel.eventfilter|2|QGuiApplication needs to be created before "
                         "the Sentrel Tracker can be initialized")),
                 qPrintable(lines.join(QLatin1Char('\n'))));
    }

    void clickIsReportedOnceNamingTheButton()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowExposed(&window.dialog));
        start({QStringLiteral("MouseButtonRelease")});
        QTest::mouseClick(window.button, Qt::LeftButton);
        const QPoint global = window.button->mapToGlobal(window.button->rect().center());
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().value(QLatin1String("type")).toString(),
                 QStringLiteral("MouseButtonRelease"));
        QCOMPARE(reports.first().value(QLatin1String("object")).toString(),
                 QStringLiteral("QDialog/okButton"));
        QCOMPARE(reports.first().value(QLatin1String("object_name")).toString(),
                 QStringLiteral("okButton"));
        QCOMPARE(reports.first().value(QLatin1String("data")).toString(),
                 QStringLiteral("LeftButton"));
        QCOMPARE(reports.first().value(QLatin1String("position")).toObject(),
                 position(global.x(), global.y()));
    }

    void misspeltNameWarnsAndValidOneIsTracked()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowExposed(&window.dialog));
        QTest::ignoreMessage(QtWarningMsg, R"(unknown event enabled: "MouseButtonRelese")");
        start({QStringLiteral("MouseButtonRelese"), QStringLiteral("MouseButtonRelease")});
        QTest::mouseClick(window.button, Qt::LeftButton);
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().value(QLatin1String("object")).toString(),
                 QStringLiteral("QDialog/okButton"));
    }

    void runtimeEventChangeRebuildsTrackedSet()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowExposed(&window.dialog));
        LogCapture log;
        start({});
        QCOMPARE(log.texts(filterCategory), QStringList {QStringLiteral("no events to track")});
        QTest::mouseClick(window.button, Qt::LeftButton);
        tracker.configuration()->setEvents({QStringLiteral("MouseButtonRelease")});
        QTest::mouseClick(window.button, Qt::LeftButton);
        tracker.configuration()->setEvents({QStringLiteral("MouseButtonPress")});
        QTest::mouseClick(window.button, Qt::RightButton);
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports.at(0).value(QLatin1String("type")).toString(),
                 QStringLiteral("MouseButtonRelease"));
        QCOMPARE(reports.at(1).value(QLatin1String("type")).toString(),
                 QStringLiteral("MouseButtonPress"));
        QCOMPARE(reports.at(1).value(QLatin1String("data")).toString(),
                 QStringLiteral("RightButton"));
    }

    // The modifiers Qt reports for each platform's way of typing a character or a shortcut,
    // whatever platform this runs on.
    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<QString>("details");
        const Qt::KeyboardModifiers none;
        const Qt::KeyboardModifiers ctrlAlt = Qt::ControlModifier | Qt::AltModifier;
        QTest::newRow("letter") << int(Qt::Key_A) << "a" << none << "[text]";
        QTest::newRow("shift letter")
                << int(Qt::Key_A) << "A" << Qt::KeyboardModifiers(Qt::ShiftModifier) << "[text]";
        QTest::newRow("keypad digit")
                << int(Qt::Key_5) << "5" << Qt::KeyboardModifiers(Qt::KeypadModifier) << "[text]";
        QTest::newRow("shift keypad")
                << int(Qt::Key_5) << "5" << (Qt::ShiftModifier | Qt::KeypadModifier) << "[text]";
        QTest::newRow("return") << int(Qt::Key_Return) << "\r" << none << "[text]";
        QTest::newRow("no text") << int(Qt::Key_F5) << "" << none << "F5";
        QTest::newRow("x11 altgr") << int(Qt::Key_Q) << "@"
                                   << Qt::KeyboardModifiers(Qt::GroupSwitchModifier) << "[text]";
        QTest::newRow("x11 shift altgr")
                << int(Qt::Key_Q) << "Ω" << (Qt::ShiftModifier | Qt::GroupSwitchModifier)
                << "[text]";
        QTest::newRow("windows altgr at") << int(Qt::Key_Q) << "@" << ctrlAlt << "[text]";
        QTest::newRow("windows altgr euro") << int(Qt::Key_E) << "€" << ctrlAlt << "[text]";
        QTest::newRow("windows altgr brace") << int(Qt::Key_7) << "{" << ctrlAlt << "[text]";
        QTest::newRow("windows ctrl shortcut")
                << int(Qt::Key_S) << "\x13" << Qt::KeyboardModifiers(Qt::ControlModifier)
                << "Ctrl+S";
        QTest::newRow("linux ctrl shortcut")
                << int(Qt::Key_S) << "s" << Qt::KeyboardModifiers(Qt::ControlModifier) << "Ctrl+S";
        QTest::newRow("ctrl keypad") << int(Qt::Key_5) << "5"
                                     << (Qt::ControlModifier | Qt::KeypadModifier) << "Ctrl+Num+5";
        QTest::newRow("ctrl alt without text")
                << int(Qt::Key_Delete) << "" << ctrlAlt << "Ctrl+Alt+Del";
        QTest::newRow("alt letter")
                << int(Qt::Key_F) << "f" << Qt::KeyboardModifiers(Qt::AltModifier) << "[text]";
        QTest::newRow("alt return") << int(Qt::Key_Return) << "\r"
                                    << Qt::KeyboardModifiers(Qt::AltModifier) << "Alt+Return";
        QTest::newRow("macos option")
                << int(Qt::Key_G) << "©" << Qt::KeyboardModifiers(Qt::AltModifier) << "[text]";
        QTest::newRow("macos shift option")
                << int(Qt::Key_O) << "Ø" << (Qt::ShiftModifier | Qt::AltModifier) << "[text]";
        QTest::newRow("macos option emoji") << int(Qt::Key_unknown) << "😀"
                                            << Qt::KeyboardModifiers(Qt::AltModifier) << "[text]";
        QTest::newRow("macos command")
                << int(Qt::Key_C) << "c" << Qt::KeyboardModifiers(Qt::ControlModifier) << "Ctrl+C";
        QTest::newRow("macos command option") << int(Qt::Key_C) << "ç" << ctrlAlt << "[text]";
        QTest::newRow("macos control")
                << int(Qt::Key_C) << "\x03" << Qt::KeyboardModifiers(Qt::MetaModifier) << "Meta+C";
        QTest::newRow("meta letter")
                << int(Qt::Key_E) << "e" << Qt::KeyboardModifiers(Qt::MetaModifier) << "Meta+E";
        QTest::newRow("meta alt letter")
                << int(Qt::Key_E) << "€" << (Qt::MetaModifier | Qt::AltModifier) << "[text]";
    }

    void keys()
    {
        QFETCH(int, key);
        QFETCH(QString, text);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(QString, details);
        QDialog dialog;
        Sink sink(QStringLiteral("sink"), &dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        start({QStringLiteral("KeyPress")});
        // With the text the platform would give, not the one QTest derives from the key.
        QTest::sendKeyEvent(QTest::Click, &sink, Qt::Key(key), text, modifiers);
        const QList<QJsonObject> reports = stop();
        // Modifier keys come first as presses of their own.
        QVERIFY(!reports.isEmpty());
        const QJsonObject last = reports.constLast();
        QCOMPARE(last.value(QLatin1String("data")).toString(), details);
        QCOMPARE(last.value(QLatin1String("object")).toString(), QStringLiteral("QDialog/sink"));
        QVERIFY(!last.contains(QLatin1String("position")));
        if (details != QLatin1String("[text]"))
            return;
        for (const QJsonObject &report : reports) // never the typed character
            QVERIFY(!report.value(QLatin1String("data")).toString().contains(text));
    }

    void focus_data()
    {
        QTest::addColumn<bool>("tab");
        QTest::addColumn<QString>("reason");
        QTest::newRow("set") << false << "OtherFocusReason";
        QTest::newRow("tab") << true << "TabFocusReason";
    }

    void focus()
    {
        QFETCH(bool, tab);
        QDialog dialog;
        auto *layout = new QVBoxLayout(&dialog);
        auto *first = new QLineEdit(&dialog);
        first->setObjectName(QStringLiteral("first"));
        auto *second = new QLineEdit(&dialog);
        second->setObjectName(QStringLiteral("second"));
        layout->addWidget(first);
        layout->addWidget(second);
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        first->setFocus(Qt::OtherFocusReason);
        QTRY_VERIFY(first->hasFocus());

        start({QStringLiteral("FocusIn")});
        if (tab)
            QTest::keyClick(first, Qt::Key_Tab);
        else
            second->setFocus(Qt::OtherFocusReason);
        QVERIFY(second->hasFocus());
        // Qt hands the same focus event to the widget's style after the widget; only the
        // widget's is recorded.
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().value(QLatin1String("object")).toString(),
                 QStringLiteral("QDialog/second"));
        for (const QJsonObject &report : reports) {
            QCOMPARE(report.value(QLatin1String("type")).toString(), QStringLiteral("FocusIn"));
            QTEST(report.value(QLatin1String("data")).toString(), "reason");
            QVERIFY(!report.contains(QLatin1String("position")));
        }
    }

    void resizeBurstThenClick()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowExposed(&window.dialog));
        start({QStringLiteral("Resize"), QStringLiteral("MouseButtonRelease")});
        QTest::mouseClick(window.button,
                          Qt::LeftButton); // held names that a resize must not take over
        window.canvas->resize(100, 50);
        window.canvas->resize(120, 60);
        window.canvas->resize(140, 70);
        QTest::mouseClick(window.button, Qt::LeftButton);
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 3);
        const QJsonObject resize = reports.at(1);
        QCOMPARE(resize.value(QLatin1String("type")).toString(), QStringLiteral("Resize"));
        QCOMPARE(resize.value(QLatin1String("object")).toString(),
                 QStringLiteral("QDialog/canvas"));
        QCOMPARE(resize.value(QLatin1String("object_name")).toString(), QStringLiteral("canvas"));
        QCOMPARE(resize.value(QLatin1String("position")).toObject(), position(140, 70));
        QVERIFY(!resize.contains(QLatin1String("data")));
        QCOMPARE(reports.at(2).value(QLatin1String("type")).toString(),
                 QStringLiteral("MouseButtonRelease"));
        QCOMPARE(reports.at(2).value(QLatin1String("object")).toString(),
                 QStringLiteral("QDialog/okButton"));
    }

    void categories_data()
    {
        QTest::addColumn<QString>("category");
        QTest::addColumn<bool>("reported");
        QTest::newRow("not configured") << "secret" << false;
        QTest::newRow("configured") << "buttons" << true;
        QTest::newRow("other case") << "Buttons" << false;
        QTest::newRow("empty") << QString() << true;
    }

    void categories()
    {
        QFETCH(QString, category);
        QFETCH(bool, reported);
        Window window;
        QVERIFY(QTest::qWaitForWindowExposed(&window.dialog));
        FixedCategory provider(category);
        LogCapture log;
        start({QStringLiteral("MouseButtonRelease")});
        tracker.setCategoryFilter(&provider);
        QTest::mouseClick(window.button, Qt::LeftButton);
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), reported ? 1 : 0);
        const QString filtered = QStringLiteral("category filtered: \"%1\"").arg(category);
        QCOMPARE(log.texts(filterCategory, QtDebugMsg).contains(filtered), !reported);
    }

    void timestamps_data()
    {
        QTest::addColumn<quint64>("first");
        QTest::addColumn<quint64>("second");
        QTest::addColumn<QStringList>("objects");
        QTest::newRow("different")
                << quint64(100) << quint64(200) << QStringList {"QWidget/first", "QWidget/second"};
        QTest::newRow("same") << quint64(100) << quint64(100) << QStringList {"QWidget/second"};
        QTest::newRow("both zero, synthesized")
                << quint64(0) << quint64(0) << QStringList {"QWidget/second"};
    }

    void timestamps()
    {
        QFETCH(quint64, first);
        QFETCH(quint64, second);
        QWidget parent;
        Sink one(QStringLiteral("first"), &parent);
        Sink two(QStringLiteral("second"), &parent);
        start({QStringLiteral("MouseButtonRelease")});
        QCoreApplication::sendEvent(&one, release(QPointF(5, 5), first).get());
        QCoreApplication::sendEvent(&two, release(QPointF(6, 6), second).get());
        QStringList objects;
        for (const QJsonObject &report : stop())
            objects.append(report.value(QLatin1String("object")).toString());
        QTEST(objects, "objects");
    }

    void positions_data()
    {
        constexpr qreal huge = 1e12;
        constexpr int most = std::numeric_limits<int>::max();
        constexpr int least = std::numeric_limits<int>::min();
        QTest::addColumn<QPointF>("global");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("fractions truncate toward zero") << QPointF(10.9, -3.7) << position(10, -3);
        QTest::newRow("beyond int range") << QPointF(huge, -huge) << position(most, least);
        QTest::newRow("not a number") << QPointF(std::nan(""), 7) << position(0, 7);
    }

    void positions()
    {
        QFETCH(QPointF, global);
        // Not a widget: QApplication would convert the global position itself.
        QObject sink;
        sink.setObjectName(QStringLiteral("sink"));
        start({QStringLiteral("MouseButtonRelease")});
        QCoreApplication::sendEvent(&sink, release(global, 1).get());
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 1);
        QTEST(reports.first().value(QLatin1String("position")).toObject(), "expected");
    }

    void eventsOfOtherClassesAreNeverCast_data()
    {
        QTest::addColumn<int>("type");
        // KeyPress is left out: QApplication reads a KeyPress as a key event itself.
        for (QEvent::Type type : {QEvent::MouseButtonPress,
                                  QEvent::MouseButtonRelease,
                                  QEvent::MouseButtonDblClick,
                                  QEvent::MouseMove,
                                  QEvent::Enter,
                                  QEvent::Wheel,
                                  QEvent::HoverEnter,
                                  QEvent::HoverMove,
                                  QEvent::NonClientAreaMouseMove,
                                  QEvent::KeyRelease,
                                  QEvent::Resize,
                                  QEvent::FocusIn,
                                  QEvent::FocusOut,
                                  QEvent::Shortcut,
                                  QEvent::TouchBegin,
                                  QEvent::TouchEnd,
                                  QEvent::DragEnter,
                                  QEvent::DragMove,
                                  QEvent::Drop,
                                  QEvent::ContextMenu,
                                  QEvent::NativeGesture,
                                  QEvent::Leave}) {
            QTest::newRow(QMetaEnum::fromType<QEvent::Type>().valueToKey(type)) << int(type);
        }
        QTest::newRow("input event of another class") << -1;
    }

    void eventsOfOtherClassesAreNeverCast()
    {
        QFETCH(int, type);
        QObject parent;
        QObject receiver(&parent);
        receiver.setObjectName(QStringLiteral("plain"));
        OddInputEvent odd;
        QEvent plain(type < 0 ? QEvent::None : QEvent::Type(type));
        QEvent *event = type < 0 ? static_cast<QEvent *>(&odd) : &plain;
        const QString key =
                QString::fromLatin1(QMetaEnum::fromType<QEvent::Type>().valueToKey(event->type()));
        start({key});
        QCoreApplication::sendEvent(&receiver, event);
        const QList<QJsonObject> reports = stop();
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().value(QLatin1String("type")).toString(), key);
        QCOMPARE(reports.first().value(QLatin1String("object")).toString(),
                 QStringLiteral("QObject/plain"));
        QVERIFY(!reports.first().contains(QLatin1String("position")));
        QVERIFY(!reports.first().contains(QLatin1String("data")));
    }

    // Qt delivers one input to a window, then to the widget and up its parents, and sends other
    // events (focus changes) in between: each input is reported once, naming its last receiver.
    void oneReportPerInput_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("data");
        QTest::newRow("press across a focus change") << "MouseButtonPress"
                                                     << "LeftButton";
        QTest::newRow("shortcut override up the parents") << "ShortcutOverride"
                                                          << "Ctrl+S";
        QTest::newRow("drop across a focus change") << "Drop" << QString();
    }

    void oneReportPerInput()
    {
        QFETCH(QString, type);
        QWidget window;
        window.setObjectName(QStringLiteral("window"));
        Sink target(QStringLiteral("target"), &window);
        // QApplication hands a drop to hidden widgets' filters not at all: plain objects here.
        QObject windowObject;
        windowObject.setObjectName(QStringLiteral("window"));
        QObject targetObject(&windowObject);
        QWidget other;
        QMimeData mime;
        const auto deliver = [&](QObject *receiver) {
            if (type == QLatin1String("MouseButtonPress")) {
                QMouseEvent press(QEvent::MouseButtonPress,
                                  QPointF(1, 1),
                                  QPointF(1, 1),
                                  QPointF(3, 4),
                                  Qt::LeftButton,
                                  Qt::LeftButton,
                                  Qt::NoModifier);
                press.setTimestamp(42);
                QCoreApplication::sendEvent(receiver, &press);
            } else if (type == QLatin1String("ShortcutOverride")) {
                QKeyEvent key(QEvent::ShortcutOverride,
                              Qt::Key_S,
                              Qt::ControlModifier,
                              QStringLiteral("\x13"));
                key.setTimestamp(42);
                QCoreApplication::sendEvent(receiver, &key);
            } else {
                QDropEvent drop(QPointF(3, 4),
                                Qt::CopyAction,
                                &mime,
                                Qt::LeftButton,
                                Qt::NoModifier);
                QCoreApplication::sendEvent(receiver == &window ? &windowObject : &targetObject,
                                            &drop);
            }
        };
        start({type, QStringLiteral("FocusIn")});
        deliver(&window);
        QFocusEvent focus(QEvent::FocusIn, Qt::MouseFocusReason);
        QCoreApplication::sendEvent(&other, &focus);
        deliver(&target);
        deliver(&window);
        SentrelTrackerImpl::instance()->waitForRequests();
        QCOMPARE(ofType(recorded.contexts(QStringLiteral("/qevent/")), type).size(), 0);
        // Reported once the thread is back in its event loop, not only when tracking stops.
        QCoreApplication::processEvents();
        SentrelTrackerImpl::instance()->waitForRequests();
        const QList<QJsonObject> reports =
                ofType(recorded.contexts(QStringLiteral("/qevent/")), type);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().value(QLatin1String("object")).toString(),
                 QStringLiteral("window"));
        QTEST(reports.first().value(QLatin1String("data")).toString(), "data");
        // A second input of the type is a report of its own.
        deliver(&target);
        QCOMPARE(ofType(stop(), type).size(), 2);
    }

    // Through Qt's own key delivery: one ShortcutOverride per key press, whatever the depth.
    void shortcutOverrideOncePerKey()
    {
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        auto *frame = new QWidget(&window);
        layout->addWidget(frame);
        auto *inner = new QVBoxLayout(frame);
        auto *edit = new QLineEdit(frame);
        inner->addWidget(edit);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        edit->setFocus();
        QTRY_VERIFY(edit->hasFocus());
        start({QStringLiteral("ShortcutOverride")});
        QTest::keyClick(edit, Qt::Key_F5);
        QTest::keyClick(edit, Qt::Key_F6);
        QCOMPARE(ofType(stop(), QStringLiteral("ShortcutOverride")).size(), 2);
    }

    void naming_data()
    {
        QTest::addColumn<QString>("policy");
        QTest::addColumn<QString>("receiver");
        QTest::addColumn<QString>("object");
        QTest::addColumn<QString>("objectPath"); // empty: absent
        QTest::addColumn<QString>("objectName"); // empty: absent
        QTest::newRow("plain, second unnamed button") << "plain"
                                                      << "second"
                                                      << "form/QWidget/QPushButton"
                                                      << "form/QWidget[1]/QPushButton[2]"
                                                      << "form";
        QTest::newRow("plain, named button") << "plain"
                                             << "ok"
                                             << "form/QWidget/okButton"
                                             << "form/QWidget[1]/okButton"
                                             << "okButton";
        QTest::newRow("plain, lone unnamed child") << "plain"
                                                   << "label"
                                                   << "form/QLabel" << QString() << "form";
        QTest::newRow("plain, marked subtree") << "plain"
                                               << "secret"
                                               << "form/QWidget/QLineEdit"
                                               << "form/QWidget[2]/QLineEdit"
                                               << "form";
        QTest::newRow("classes, named button") << "classes"
                                               << "ok"
                                               << "QWidget/QWidget/QPushButton"
                                               << "QWidget/QWidget[1]/QPushButton[3]" << QString();
        QTest::newRow("hashed, named button") << "hashed"
                                              << "ok"
                                              << "#/QWidget/#"
                                              << "#/QWidget[1]/#"
                                              << "#";
        QTest::newRow("hashed, marked subtree") << "hashed"
                                                << "secret"
                                                << "#/QWidget/QLineEdit"
                                                << "#/QWidget[2]/QLineEdit"
                                                << "#";
    }

    // What an event says of its receiver under each policy, and of objects marked unnamed; "#"
    // stands for a hash.
    void naming()
    {
        QFETCH(QString, policy);
        QFETCH(QString, receiver);
        QWidget form;
        form.setObjectName(QStringLiteral("form"));
        auto *page = new QWidget(&form);
        new QPushButton(QStringLiteral("Exit early"), page);
        auto *second = new QPushButton(QStringLiteral("Help"), page);
        auto *ok = new QPushButton(QStringLiteral("OK"), page);
        ok->setObjectName(QStringLiteral("okButton"));
        new QPushButton(QStringLiteral("Pause"), page);
        auto *label = new QLabel(&form);
        auto *marked = new QWidget(&form);
        marked->setObjectName(QStringLiteral("Zq7secretWORD"));
        marked->setProperty(QSentrelEventFilter::unnamedProperty, true);
        auto *secret = new QLineEdit(marked);
        secret->setObjectName(QStringLiteral("menuKx9Quartz"));
        QWidget *const receivers[] = {second, ok, label, secret};
        const QStringList receiverNames {"second", "ok", "label", "secret"};
        QWidget *target = receivers[receiverNames.indexOf(receiver)];

        tracker.configuration()->setCaptureNames(policy);
        start({QStringLiteral("FocusIn")});
        QFocusEvent focus(QEvent::FocusIn, Qt::TabFocusReason);
        QCoreApplication::sendEvent(target, &focus);
        const QList<QJsonObject> reports = stop();
        tracker.configuration()->setCaptureNames(QStringLiteral("plain"));
        QCOMPARE(reports.size(), 1);

        const QRegularExpression hash(QStringLiteral("#[0-9a-f]{12}"));
        const auto masked = [&](const QJsonObject &report, const char *field) {
            return report.value(QLatin1String(field)).toString().replace(hash, QStringLiteral("#"));
        };
        const QJsonObject report = reports.first();
        QTEST(masked(report, "object"), "object");
        QTEST(masked(report, "object_path"), "objectPath");
        QTEST(masked(report, "object_name"), "objectName");
        QFETCH(QString, objectPath);
        QStringList schemas;
        for (const QJsonArray &event : recorded.events()) {
            const QString schema = event.first()[u"schema"].toString();
            if (schema.contains(QLatin1String("/qevent/")))
                schemas.append(schema.section(QLatin1Char('/'), -1));
        }
        QCOMPARE(schemas,
                 QStringList {objectPath.isEmpty() ? QStringLiteral("1-0-1")
                                                   : QStringLiteral("1-1-0")});
        // The names set from what a person typed never leave, nor does the marked object's.
        const QByteArray text = QJsonDocument(report).toJson();
        QVERIFY2(!text.contains("Zq7secretWORD") && !text.contains("menuKx9Quartz"), text);
        if (policy != QLatin1String("plain")) {
            QVERIFY2(!text.contains("form") && !text.contains("okButton"), text);
        }
        if (policy == QLatin1String("hashed")) {
            // The same name hashes alike for as long as the installation keeps its key.
            const QString formHash = report.value(QLatin1String("object"))
                                             .toString()
                                             .section(QLatin1Char('/'), 0, 0);
            QCOMPARE(formHash,
                     QLatin1Char('#')
                             + QString::fromLatin1(QMessageAuthenticationCode::hash(
                                                           "form",
                                                           SentrelTrackerImpl::instance()
                                                                   ->configurationPrivate()
                                                                   ->nameKey(),
                                                           QCryptographicHash::Sha256)
                                                           .first(6)
                                                           .toHex()));
        }
    }
};

SENTREL_TEST_MAIN(tst_EventFilter, QApplication)
#include "tst_eventfilter.moc"
