// SPDX-License-Identifier: MIT
// Commands as a person gives them in a small main window (menu, tool bar, shortcut, context menu,
// a tool button, the application's code), freezes of the application's thread, and screens as
// pages, tabs and dialogs change, read at the test collector; the freeze rule and the time on a
// screen also against the tests' clock.
#include "eventlog.h"
#include "logcapture.h"
#include "testclock.h"
#include "testcollector.h"
#include "testenvironment.h"

#include <SentrelTracker/qsentreltracker.h>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDockWidget>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <functional>
#include <memory>

namespace {

constexpr int wait = 20000;
const QString actionSchema = QStringLiteral("/action/jsonschema/1-0-0");
const QString stallSchema = QStringLiteral("/ui_stall/jsonschema/1-0-0");
const QString screenViewSchema = QStringLiteral("/screen_view/jsonschema/");
const QString screenEndSchema = QStringLiteral("/screen_end/jsonschema/1-0-0");

// What the person sees of the actions and what must never leave the device.
// Every text of the actions begins with the marker.
const QByteArrayList privateTexts {QByteArrayLiteral("Quartz"), QByteArrayLiteral("Ctrl+Shift+K")};

// A main window whose named "save" action is in its File menu, its tool bar, a tool button and
// its page's context menu, with two unnamed actions beside it (one checkable).
struct Window
{
    Window()
    {
        window.setObjectName(QStringLiteral("main"));
        save = new QAction(QStringLiteral("Quartz&Save"), &window);
        save->setObjectName(QStringLiteral("save"));
        save->setToolTip(QStringLiteral("QuartzTip"));
        save->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+K")));
        layout = new QAction(QStringLiteral("QuartzLayout"), &window);
        grid = new QAction(QStringLiteral("QuartzGrid"), &window);
        grid->setCheckable(true);
        file = window.menuBar()->addMenu(QStringLiteral("File"));
        file->addActions({save, layout, grid});
        toolBar = window.addToolBar(QStringLiteral("Tools"));
        toolBar->addActions({save, grid});
        page = new QWidget(&window);
        page->setObjectName(QStringLiteral("page"));
        page->setContextMenuPolicy(Qt::ActionsContextMenu);
        page->addActions({save, layout});
        auto *pageLayout = new QVBoxLayout(page);
        button = new QToolButton(page);
        button->setDefaultAction(layout);
        pageLayout->addWidget(button);
        window.setCentralWidget(page);
        window.resize(400, 300);
        window.show();
    }

    QMainWindow window;
    QAction *save;
    QAction *layout;
    QAction *grid;
    QMenu *file;
    QToolBar *toolBar;
    QWidget *page;
    QToolButton *button;
};

// Tabs, the first holding a stack of two steps, the third unnamed; and a dialog.
struct Screens
{
    static QWidget *named(const char *name)
    {
        auto *page = new QWidget;
        page->setObjectName(QLatin1String(name));
        return page;
    }

    Screens()
    {
        QWidget *editor = named("editor");
        steps = new QStackedWidget(editor);
        steps->addWidget(named("stepOne"));
        steps->addWidget(named("stepTwo"));
        tabs.addTab(editor, QStringLiteral("Editor"));
        tabs.addTab(named("settings"), QStringLiteral("Settings"));
        tabs.addTab(new QWidget, QStringLiteral("Unnamed"));
        dialog.setObjectName(QStringLiteral("about"));
        tabs.setObjectName(QStringLiteral("main"));
    }

    QTabWidget tabs;
    QStackedWidget *steps;
    QDialog dialog {&tabs};
};

// What the screen views and screen ends of events say, in order: "NAME <- PREVIOUS" and
// "end NAME MILLISECONDS".
QString screenChain(const QList<QJsonObject> &events)
{
    QStringList chain;
    for (const QJsonObject &event : events) {
        const QJsonObject view = contextData(event, screenViewSchema);
        const QJsonObject end = contextData(event, screenEndSchema);
        if (!view.isEmpty())
            chain.append(view.value(QLatin1String("object_id")).toString() + QStringLiteral(" <- ")
                         + view.value(QLatin1String("previous_id")).toString());
        else if (!end.isEmpty())
            chain.append(
                    QStringLiteral("end %1 %2")
                            .arg(end.value(QLatin1String("screen_id")).toString(),
                                 QString::number(
                                         end.value(QLatin1String("foreground_ms")).toInteger())));
    }
    return chain.join(QStringLiteral(", "));
}

void clickAction(QMenu *menu, QAction *action)
{
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
}

} // namespace

class tst_Capture : public QObject
{
    Q_OBJECT

private:
    TestCollector collector;
    QSentrelTracker tracker;

    // What arrived at the collector once everything recorded so far was sent.
    QList<QJsonObject> delivered()
    {
        QSignalSpy finished(&tracker, &QSentrelTracker::flushFinished);
        tracker.flush();
        if (!finished.wait(wait))
            qWarning() << "flush did not finish";
        return collector.receivedEvents();
    }

    static QList<QJsonObject> contextsOf(const QList<QJsonObject> &events, const QString &schema)
    {
        QList<QJsonObject> result;
        for (const QJsonObject &event : events) {
            const QJsonObject context = contextData(event, schema);
            if (!context.isEmpty())
                result.append(context);
        }
        return result;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(collector.start(), qPrintable(collector.errorString()));
        QSentrelConfiguration *config = tracker.configuration();
        config->setToken(QStringLiteral("t"));
        config->setServer(collector.server());
        config->setSyncInterval(3600); // online; only flush() sends
    }

    void cleanup()
    {
        tracker.setEnabled(false);
        tracker.configuration()->setCaptureActions(false);
        tracker.configuration()->setCaptureStallMs(0);
        tracker.configuration()->setCaptureScreens(false);
        collector.clear();
    }

    // One event per trigger, named and routed as it came, checked state for checkable actions.
    void routes_data()
    {
        using Trigger = std::function<void(Window &)>;
        QTest::addColumn<Trigger>("trigger");
        QTest::addColumn<bool>("capture");
        QTest::addColumn<QJsonObject>("expected"); // empty: no action event at all
        const auto event = [](const char *action, const char *via) {
            return QJsonObject {{"action", action}, {"via", via}, {"screen_id", "home"}};
        };
        QTest::newRow("menu") << Trigger([](Window &w) {
            QTest::mouseClick(w.window.menuBar(),
                              Qt::LeftButton,
                              {},
                              w.window.menuBar()->actionGeometry(w.file->menuAction()).center());
            QVERIFY(QTest::qWaitForWindowExposed(w.file));
            clickAction(w.file, w.save);
        }) << true << event("save", "menu");
        QTest::newRow("tool bar") << Trigger([](Window &w) {
            QTest::mouseClick(w.toolBar->widgetForAction(w.save), Qt::LeftButton);
        }) << true << event("save", "toolbar");
        QTest::newRow("shortcut") << Trigger([](Window &w) {
            QTest::keyClick(&w.window, Qt::Key_K, Qt::ControlModifier | Qt::ShiftModifier);
        }) << true << event("save", "shortcut");
        // The page's context menu runs a loop of its own until an item is chosen.
        QTest::newRow("context menu") << Trigger([](Window &w) {
            QTimer::singleShot(0, [&w] {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                QVERIFY(menu);
                clickAction(menu, w.layout);
            });
            QContextMenuEvent open(QContextMenuEvent::Mouse,
                                   QPoint(5, 5),
                                   w.page->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(w.page, &open);
        }) << true << event("main/QAction[1]", "context_menu");
        QTest::newRow("button") << Trigger([](Window &w) {
            QTest::mouseClick(w.button, Qt::LeftButton);
        }) << true << event("main/QAction[1]", "button");
        // The action's own handler runs a dialog, whose inputs are delivered in its loop before
        // the capture hears of the trigger.
        QTest::newRow("tool bar, handler runs a dialog") << Trigger([](Window &w) {
            QObject::connect(w.save, &QAction::triggered, &w.window, [] {
                QDialog dialog;
                auto *close = new QPushButton(QStringLiteral("QuartzClose"), &dialog);
                QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
                QTimer::singleShot(0, close, [close] {
                    QTest::mouseClick(close, Qt::LeftButton);
                });
                dialog.exec();
            });
            QTest::mouseClick(w.toolBar->widgetForAction(w.save), Qt::LeftButton);
        }) << true << event("save", "toolbar");
        QTest::newRow("code") << Trigger([](Window &w) {
            w.save->trigger();
        }) << true << event("save", "code");
        // A button's own handler that triggers an action is the application's code.
        QTest::newRow("code in a handler") << Trigger([](Window &w) {
            QObject::connect(w.button, &QToolButton::clicked, w.save, &QAction::trigger);
            w.button->setDefaultAction(nullptr);
            QTest::mouseClick(w.button, Qt::LeftButton);
        }) << true << event("save", "code");
        // An application may trigger what was chosen from a call it posts.
        QTest::newRow("button, triggered later") << Trigger([](Window &w) {
            w.button->setDefaultAction(nullptr);
            w.button->addAction(w.save);
            QObject::connect(w.button, &QToolButton::clicked, w.save, [&w] {
                QMetaObject::invokeMethod(w.save, &QAction::trigger, Qt::QueuedConnection);
            });
            QTest::mouseClick(w.button, Qt::LeftButton);
            QTest::qWait(0);
        }) << true << event("save", "button");
        QJsonObject checked = event("main/QAction[2]", "toolbar");
        checked.insert(QStringLiteral("checked"), true);
        QTest::newRow("checkable") << Trigger([](Window &w) {
            QTest::mouseClick(w.toolBar->widgetForAction(w.grid), Qt::LeftButton);
        }) << true << checked;
        QTest::newRow("off") << Trigger([](Window &w) {
            QTest::mouseClick(w.toolBar->widgetForAction(w.save), Qt::LeftButton);
        }) << false << QJsonObject();
    }

    void routes()
    {
        QFETCH(std::function<void(Window &)>, trigger);
        QFETCH(bool, capture);
        QFETCH(QJsonObject, expected);
        // Actions made before tracking starts are found as well as those made later.
        auto window = std::make_unique<Window>();
        QVERIFY(QTest::qWaitForWindowActive(&window->window));
        tracker.configuration()->setCaptureActions(capture);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("home"));
        trigger(*window);
        QVERIFY(!QTest::currentTestFailed());

        const QList<QJsonObject> events = delivered();
        QVERIFY(!events.isEmpty()); // the start-up event at least
        const QList<QJsonObject> actions = contextsOf(events, actionSchema);
        QCOMPARE(actions, expected.isEmpty() ? QList<QJsonObject>() : QList {expected});
        for (const QByteArray &batch : collector.acceptedBatches()) {
            for (const QByteArray &text : privateTexts)
                QVERIFY2(!batch.contains(text), text.constData());
        }
    }

    // Time away from the event loop, from the first event handled to the loop's next pass.
    void stallThreshold_data()
    {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("away");
        QTest::addColumn<bool>("woken"); // the loop comes back by waking rather than waiting
        QTest::addColumn<QList<qint64>>("recorded");
        QTest::newRow("longer") << 500 << 750 << false << QList<qint64> {750};
        QTest::newRow("longer, the loop wakes") << 500 << 501 << true << QList<qint64> {501};
        QTest::newRow("as long as the threshold") << 500 << 500 << false << QList<qint64>();
        QTest::newRow("off") << 0 << 60000 << false << QList<qint64>();
    }

    void stallThreshold()
    {
        QFETCH(int, threshold);
        QFETCH(int, away);
        QFETCH(bool, woken);
        TestClock clock(TestClock::Manual);
        clock.install();
        RecordedEvents events;
        tracker.setEventInterceptor(&events);
        tracker.configuration()->setCaptureStallMs(threshold);
        tracker.setEnabled(true);
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        Q_EMIT dispatcher->aboutToBlock();
        clock.advance(5000); // waiting in the loop is no freeze
        QEvent event(QEvent::User);
        QCoreApplication::sendEvent(&collector, &event);
        clock.advance(away);
        QCoreApplication::sendEvent(&collector, &event); // more work of the same pass
        if (woken)
            Q_EMIT dispatcher->awake();
        else
            Q_EMIT dispatcher->aboutToBlock();
        Q_EMIT dispatcher->aboutToBlock(); // a second return records nothing more
        tracker.setEnabled(false);
        tracker.setEventInterceptor(nullptr); // the worker has stopped

        QList<qint64> recorded;
        for (const QJsonObject &stall : events.contexts(stallSchema))
            recorded.append(stall.value(QLatin1String("duration_ms")).toInteger());
        QTEST(recorded, "recorded");
    }

    // The screen views of pages, tabs and dialogs in one chain with transition(), and the time
    // on each screen while the application was active, on the tests' clock.
    void screens_data()
    {
        using Steps = std::function<void(Screens &, TestClock &)>;
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>(
                "setup"); // "off", "open first", "dialog open first", "no window", or none
        QTest::addColumn<QString>("chain");
        QTest::newRow("tabs, the innermost page, transition()")
                << Steps([](Screens &s, TestClock &clock) {
                       clock.advance(300);
                       s.tabs.setCurrentIndex(1);
                       QTest::qWait(0); // recorded once the thread is back in its loop
                       clock.advance(200);
                       s.tabs.setCurrentIndex(1); // no change
                       QTest::qWait(0);
                       clock.advance(100);
                   })
                << ""
                << "stepOne <- , end stepOne 300, settings <- stepOne, end settings 300";
        QTest::newRow("nested stack and unnamed tab")
                << Steps([](Screens &s, TestClock &clock) {
                       clock.advance(100);
                       s.steps->setCurrentIndex(1);
                       QTest::qWait(0);
                       clock.advance(20);
                       s.tabs.setCurrentIndex(2);
                   })
                << ""
                << "stepOne <- , end stepOne 100, stepTwo <- stepOne, end stepTwo 20, "
                   "QWidget <- stepTwo, end QWidget 0";
        QTest::newRow("a dialog, and back")
                << Steps([](Screens &s, TestClock &clock) {
                       clock.advance(100);
                       s.dialog.show();
                       QTest::qWait(0);
                       clock.advance(40);
                       s.dialog.hide();
                   })
                << ""
                << "stepOne <- , end stepOne 100, about <- stepOne, end about 40, "
                   "stepOne <- about, end stepOne 0";
        QTest::newRow("a dialog first, then its window")
                << Steps([](Screens &s, TestClock &clock) {
                       s.dialog.show();
                       QTest::qWait(0);
                       clock.advance(40);
                       s.dialog.hide();
                   })
                << "no window"
                << "about <- , end about 40, main <- about, end main 0";
        QTest::newRow("inactive time left out")
                << Steps([](Screens &s, TestClock &clock) {
                       clock.advance(100);
                       Q_EMIT qGuiApp->applicationStateChanged(Qt::ApplicationInactive);
                       clock.advance(5000);
                       Q_EMIT qGuiApp->applicationStateChanged(Qt::ApplicationActive);
                       clock.advance(30);
                       s.tabs.setCurrentIndex(1);
                   })
                << ""
                << "stepOne <- , end stepOne 130, settings <- stepOne, end settings 0";
        QTest::newRow("a dock's pages are no screens") << Steps([](Screens &s, TestClock &) {
            auto *dock = new QDockWidget(&s.tabs);
            auto *panel = new QStackedWidget;
            panel->addWidget(Screens::named("properties"));
            dock->setWidget(panel);
            dock->setFloating(true);
            dock->show();
        }) << ""
                                                       << "stepOne <- , end stepOne 0";
        // Tracking starts with the window open: its current page is the first screen.
        QTest::newRow("already open")
                << Steps([](Screens &s, TestClock &) {
                       s.steps->setCurrentIndex(1);
                   })
                << "open first"
                << "stepOne <- , end stepOne 0, stepTwo <- stepOne, end stepTwo 0";
        // Consent given in a dialog that closes as tracking starts: the window's page is first.
        QTest::newRow("a dialog open first, gone at once")
                << Steps([](Screens &, TestClock &) {}) << "dialog open first"
                << "stepOne <- , end stepOne 0";
        QTest::newRow("off") << Steps([](Screens &s, TestClock &) {
            s.tabs.setCurrentIndex(1);
            s.dialog.show();
        }) << "off"
                             << "";
    }

    void screens()
    {
        QFETCH(std::function<void(Screens &, TestClock &)>, steps);
        QFETCH(QString, setup);
        QFETCH(QString, chain);
        tracker.configuration()->setCaptureScreens(setup != u"off");
        {
            TestClock clock(TestClock::Manual);
            clock.install();
            Screens screens;
            const bool openFirst = setup == u"open first" || setup == u"dialog open first";
            tracker.setEnabled(!openFirst);
            if (setup != u"no window") {
                screens.tabs.show();
                QVERIFY(QTest::qWaitForWindowActive(&screens.tabs));
            }
            if (setup == u"dialog open first") {
                screens.dialog.show();
                QTest::qWait(0);
            }
            tracker.setEnabled(true);
            if (setup == u"dialog open first")
                screens.dialog.hide();
            QTest::qWait(0);
            steps(screens, clock);
            QTest::qWait(0);
            tracker.transition(QStringLiteral("home")); // ends the last automatic screen
            clock.advance(50);
            tracker.setEnabled(false); // ends the screen
        }
        tracker.setEnabled(true); // on the system's clock again, to send what was cached
        const QString previous = chain.section(QLatin1Char(' '), -2, -2); // the last screen ended
        chain = setup == u"off" ? QStringLiteral("home <- ")
                                : chain + QStringLiteral(", home <- %1, end home 50").arg(previous);
        QCOMPARE(screenChain(delivered()), chain);
    }

    // A real freeze, on the system's clock: at least as long as the thread was blocked.
    void blockedThread()
    {
        tracker.configuration()->setCaptureStallMs(100);
        tracker.setEnabled(true);
        tracker.transition(QStringLiteral("editor"));
        constexpr int blocked = 300;
        bool done = false;
        QTimer::singleShot(0, &collector, [&done] {
            QThread::msleep(blocked);
            done = true;
        });
        QVERIFY(QTest::qWaitFor(
                [&done] {
                    return done;
                },
                wait));
        QTest::qWait(0); // the loop's next pass ends the freeze
        // Enabling may itself keep a loaded machine away from the loop past the threshold, and
        // the cache still holds the freezes of the rules above, on no screen.
        int freezes = 0;
        for (const QJsonObject &stall : contextsOf(delivered(), stallSchema)) {
            freezes += stall.value(QLatin1String("screen_id")).toString() == u"editor"
                    && stall.value(QLatin1String("duration_ms")).toInteger() >= blocked;
        }
        QCOMPARE(freezes, 1);
    }
};

SENTREL_TEST_MAIN(tst_Capture, QApplication)
#include "tst_capture.moc"
