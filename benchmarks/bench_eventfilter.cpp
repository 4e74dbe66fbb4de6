// SPDX-License-Identifier: MIT
// What automatic capture adds on the application thread: to an event of a type it does not
// track (every event of the application pays this), to a tracked mouse move, which is held
// and reported when the next move arrives, and to a whole click on a widget button and on a
// Qt Quick Button named by its QML id. Each is measured beside the same delivery with no
// filter installed, and the difference is printed at the end. Then what consent changes: the
// untracked event with consent required, and the wait of the application thread on withdrawal.
#include "qsentreleventfilter_p.h"
#include "qsentrelreporter_p.h"
#include "sentreltrackerimpl_p.h"

#include <SentrelTracker/qsentreltracker.h>

#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#ifdef SENTREL_WITH_QUICK
#  include <QQmlComponent>
#  include <QQmlContext>
#  include <QQmlEngine>
#  include <QQuickItem>
#  include <QQuickWindow>
#endif

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const QStringList trackedTypes {QStringLiteral("MouseButtonPress"),
                                QStringLiteral("MouseButtonRelease"),
                                QStringLiteral("MouseMove"),
                                QStringLiteral("KeyPress"),
                                QStringLiteral("FocusIn"),
                                QStringLiteral("Resize"),
                                QStringLiteral("Wheel"),
                                QStringLiteral("ContextMenu")};

// Keeps each benchmark's CPU time of the application thread per iteration (ns) over its
// repetitions: the machine is shared, and wall time also counts the time others took.
class Recorder : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double fastest(const std::string &name) const
    {
        auto found = times.find(name);
        return found == times.end() ? 0
                                    : *std::min_element(found->second.begin(), found->second.end());
    }

private:
    std::map<std::string, std::vector<double>> times;
};

// The event of an untracked type goes to a plain object, as most of an application's do.
void deliverUntracked(benchmark::State &state)
{
    QObject receiver;
    QEvent event(QEvent::User);
    for (auto _ : state)
        benchmark::DoNotOptimize(QCoreApplication::sendEvent(&receiver, &event));
}

void BM_UntrackedNoFilter(benchmark::State &state)
{
    deliverUntracked(state);
}
BENCHMARK(BM_UntrackedNoFilter)->Repetitions(5);

// What Qt itself spends on calling an application event filter that does nothing.
class NullFilter : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *) override { return false; }
};

void BM_UntrackedNullFilter(benchmark::State &state)
{
    NullFilter filter;
    qApp->installEventFilter(&filter);
    deliverUntracked(state);
    qApp->removeEventFilter(&filter);
}
BENCHMARK(BM_UntrackedNullFilter)->Repetitions(5);

void BM_UntrackedFiltered(benchmark::State &state)
{
    QSentrelEventFilter filter(SentrelTrackerImpl::instance());
    deliverUntracked(state);
}
BENCHMARK(BM_UntrackedFiltered)->Repetitions(5);

// The same with commands and freezes captured too: the filter then also looks at the type for
// inputs that may trigger an action, and whether the thread was just in its event loop.
void BM_UntrackedFilteredActions(benchmark::State &state)
{
    QSentrelConfiguration *config = SentrelTrackerImpl::instance()->configuration();
    config->setCaptureActions(true);
    config->setCaptureStallMs(500);
    {
        QSentrelEventFilter filter(SentrelTrackerImpl::instance());
        deliverUntracked(state);
    }
    config->setCaptureActions(false);
    config->setCaptureStallMs(0);
}
BENCHMARK(BM_UntrackedFilteredActions)->Repetitions(5);

// The same with screens captured: the filter also looks at the type for a widget shown or
// hidden and a change of the application's state.
void BM_UntrackedFilteredScreens(benchmark::State &state)
{
    QSentrelConfiguration *config = SentrelTrackerImpl::instance()->configuration();
    config->setCaptureScreens(true);
    {
        QSentrelEventFilter filter(SentrelTrackerImpl::instance());
        deliverUntracked(state);
    }
    config->setCaptureScreens(false);
}
BENCHMARK(BM_UntrackedFilteredScreens)->Repetitions(5);

// With consent required the tracker installs its filter only once the person agreed.
void deliverUntrackedWithConsent(benchmark::State &state, QSentrelTracker::Consent consent)
{
    QSentrelTracker tracker;
    tracker.setConsentRequired(true);
    tracker.setConsent(consent);
    tracker.setEnabled(true);
    deliverUntracked(state);
    tracker.setEnabled(false);
    tracker.setConsent(QSentrelTracker::ConsentUndecided);
    tracker.setConsentRequired(false);
}

void BM_UntrackedConsentUndecided(benchmark::State &state)
{
    deliverUntrackedWithConsent(state, QSentrelTracker::ConsentUndecided);
}
BENCHMARK(BM_UntrackedConsentUndecided)->Repetitions(5);

void BM_UntrackedConsentGranted(benchmark::State &state)
{
    deliverUntrackedWithConsent(state, QSentrelTracker::ConsentGranted);
}
BENCHMARK(BM_UntrackedConsentGranted)->Repetitions(5);

// Moves with a new timestamp each, to a widget inside an unnamed dialog; every move flushes the
// one held before it.
struct MoveTarget
{
    MoveTarget()
    {
        canvas = new QWidget(&dialog);
        canvas->setObjectName(QStringLiteral("canvas"));
        canvas->setMouseTracking(true);
    }

    void move(quint64 timestamp)
    {
        event.setTimestamp(timestamp);
        QCoreApplication::sendEvent(canvas, &event);
    }

    QDialog dialog;
    QWidget *canvas;
    QMouseEvent event {QEvent::MouseMove,
                       QPointF(3.5, 4.5),
                       QPointF(13.5, 14.5),
                       QPointF(113.5, 114.5),
                       Qt::NoButton,
                       Qt::NoButton,
                       Qt::NoModifier};
};

void BM_MoveNoFilter(benchmark::State &state)
{
    MoveTarget target;
    quint64 timestamp = 0;
    for (auto _ : state)
        target.move(++timestamp);
}
BENCHMARK(BM_MoveNoFilter)->Repetitions(5);

// The filter's own work: names, details, holding and flushing (reports go nowhere while
// tracking is off).
void BM_MoveHeldTrackingOff(benchmark::State &state)
{
    QSentrelEventFilter filter(SentrelTrackerImpl::instance());
    MoveTarget target;
    quint64 timestamp = 0;
    for (auto _ : state)
        target.move(++timestamp);
}
BENCHMARK(BM_MoveHeldTrackingOff)->Repetitions(5);

// As the application sees it: every flushed move is also queued to the reporter.
void BM_MoveHeldTrackingOn(benchmark::State &state)
{
    SentrelTrackerImpl *tracker = SentrelTrackerImpl::instance();
    tracker->setEnabled(true);
    MoveTarget target;
    quint64 timestamp = 0;
    for (auto _ : state) {
        target.move(++timestamp);
        if ((timestamp & 1023) == 0) {
            // Lets the worker catch up, so that the queue does not grow without bound.
            state.PauseTiming();
            tracker->waitForRequests();
            state.ResumeTiming();
        }
    }
    tracker->setEnabled(false);
}
BENCHMARK(BM_MoveHeldTrackingOn)->Repetitions(5);

// Clicks as a person makes them, through the window system layer; the filter's reports go
// nowhere while tracking is off, so what differs from the bare click is capture's own work.
void clickRepeatedly(benchmark::State &state, QWindow *window, QWidget *widget, const QPoint &at)
{
    int clicks = 0;
    for (auto _ : state) {
        if (widget)
            QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, at);
        else
            QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, at);
        if ((++clicks & 255) == 0) {
            // Repaints and other posted work of the clicks, outside the measurement.
            state.PauseTiming();
            QCoreApplication::processEvents();
            state.ResumeTiming();
        }
    }
}

// A dialog of nested layouts, as a form is built; the button has an objectName.
struct WidgetForm
{
    WidgetForm()
    {
        auto *outer = new QVBoxLayout(&dialog);
        auto *group = new QWidget(&dialog);
        auto *row = new QHBoxLayout(group);
        button = new QPushButton(QStringLiteral("OK"), group);
        button->setObjectName(QStringLiteral("okButton"));
        row->addWidget(new QPushButton(QStringLiteral("Cancel"), group));
        row->addWidget(button);
        outer->addWidget(group);
        dialog.resize(300, 200);
        dialog.show();
        (void)QTest::qWaitForWindowExposed(&dialog);
    }

    QDialog dialog;
    QPushButton *button;
};

void clickWidget(benchmark::State &state, bool filtered)
{
    WidgetForm form;
    std::unique_ptr<QSentrelEventFilter> filter;
    if (filtered)
        filter = std::make_unique<QSentrelEventFilter>(SentrelTrackerImpl::instance());
    clickRepeatedly(state, nullptr, form.button, form.button->rect().center());
}

void BM_WidgetClickNoFilter(benchmark::State &state)
{
    clickWidget(state, false);
}
BENCHMARK(BM_WidgetClickNoFilter)->Repetitions(5);

void BM_WidgetClickFiltered(benchmark::State &state)
{
    clickWidget(state, true);
}
BENCHMARK(BM_WidgetClickFiltered)->Repetitions(5);

// One trigger of a named action from code, bare and recorded (tracking on, so the cost of
// queuing the event is in).
void triggerAction(benchmark::State &state, bool captured)
{
    SentrelTrackerImpl *tracker = SentrelTrackerImpl::instance();
    QSentrelConfiguration *config = tracker->configuration();
    config->setCaptureActions(captured);
    tracker->setEnabled(captured);
    QObject owner;
    auto *action = new QAction(QStringLiteral("Save"), &owner);
    action->setObjectName(QStringLiteral("save"));
    // As when the action changes in a widget: the filter watches it from then on.
    QActionEvent changed(QEvent::ActionChanged, action);
    QCoreApplication::sendEvent(&owner, &changed);
    int triggers = 0;
    for (auto _ : state) {
        action->trigger();
        if ((++triggers & 1023) == 0) {
            // Lets the worker catch up, so that the queue does not grow without bound.
            state.PauseTiming();
            tracker->waitForRequests();
            state.ResumeTiming();
        }
    }
    tracker->setEnabled(false);
    config->setCaptureActions(false);
}

void BM_ActionTriggerBare(benchmark::State &state)
{
    triggerAction(state, false);
}
BENCHMARK(BM_ActionTriggerBare)->Repetitions(5);

void BM_ActionTriggerCaptured(benchmark::State &state)
{
    triggerAction(state, true);
}
BENCHMARK(BM_ActionTriggerCaptured)->Repetitions(5);

// One change of page in a stack whose pages hold a stack of two named pages each, until the
// thread is back in its event loop: bare, and recorded with tracking on (a screen_end and a
// screen view queued). A tab widget changes its page the same way, with its tab bar's work on
// top, which only adds noise.
void changePages(benchmark::State &state, bool captured)
{
    SentrelTrackerImpl *tracker = SentrelTrackerImpl::instance();
    QSentrelConfiguration *config = tracker->configuration();
    config->setCaptureScreens(captured);
    tracker->setEnabled(captured);
    QWidget window;
    auto *pages = new QStackedWidget(&window);
    for (const char *name : {"editor", "preview"}) {
        auto *page = new QWidget;
        page->setObjectName(QLatin1String(name));
        auto *steps = new QStackedWidget(page);
        for (const char *step : {"first", "second"}) {
            auto *inner = new QWidget;
            inner->setObjectName(QLatin1String(step));
            steps->addWidget(inner);
        }
        pages->addWidget(page);
    }
    pages->resize(300, 200);
    // Shown and laid out, never painted: painting is the same with and without capture, and its
    // noise would hide the difference.
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();
    QCoreApplication::processEvents();
    int changes = 0;
    for (auto _ : state) {
        pages->setCurrentIndex(++changes & 1);
        // The change is recorded once the thread is back in its event loop.
        QCoreApplication::sendPostedEvents();
        if ((changes & 1023) == 0) {
            // Lets the worker catch up, so that the queue does not grow without bound.
            state.PauseTiming();
            tracker->waitForRequests();
            state.ResumeTiming();
        }
    }
    tracker->setEnabled(false);
    config->setCaptureScreens(false);
}

void BM_PageChangeBare(benchmark::State &state)
{
    changePages(state, false);
}
BENCHMARK(BM_PageChangeBare)->Repetitions(5);

void BM_PageChangeCaptured(benchmark::State &state)
{
    changePages(state, true);
}
BENCHMARK(BM_PageChangeCaptured)->Repetitions(5);

#ifdef SENTREL_WITH_QUICK
// The same form in QML: a Button with only an id inside a row inside a column.
const char quickForm[] = R"(
import QtQuick
import QtQuick.Controls
import SentrelTracker
ApplicationWindow {
    width: 300; height: 200; visible: true
    Column {
        Tracker.category: "buttons"
        Row {
            Button { id: cancelButton; text: "Cancel" }
            Button { id: okButton; text: "OK" }
        }
    }
}
)";

void clickQuick(benchmark::State &state, bool filtered)
{
    QQmlEngine engine;
    engine.addImportPath(QStringLiteral(SENTREL_QML_IMPORT_DIR));
    QQmlComponent component(&engine);
    component.setData(quickForm, QUrl(QStringLiteral("file:///bench/form.qml")));
    std::unique_ptr<QObject> root(component.create());
    auto *window = qobject_cast<QQuickWindow *>(root.get());
    if (!window) {
        state.SkipWithError(qPrintable(component.errorString()));
        return;
    }
    (void)QTest::qWaitForWindowExposed(window);
    auto *button = qobject_cast<QQuickItem *>(
            qmlContext(window)->objectForName(QStringLiteral("okButton")));
    const QPoint at =
            button->mapToScene(QPointF(button->width() / 2, button->height() / 2)).toPoint();
    std::unique_ptr<QSentrelEventFilter> filter;
    if (filtered)
        filter = std::make_unique<QSentrelEventFilter>(SentrelTrackerImpl::instance());
    clickRepeatedly(state, window, nullptr, at);
}

void BM_QuickClickNoFilter(benchmark::State &state)
{
    clickQuick(state, false);
}
BENCHMARK(BM_QuickClickNoFilter)->Repetitions(5);

void BM_QuickClickFiltered(benchmark::State &state)
{
    clickQuick(state, true);
}
BENCHMARK(BM_QuickClickFiltered)->Repetitions(5);
#endif

} // namespace

// The wall time the application thread waits in the calls that stop tracking, with 1000 events
// cached in a store of type, in ms, medians of 5: setConsent(ConsentDenied) and forgetMe(),
// which stop the worker and delete the cache, and setEnabled(false), which only stops it.
struct WithdrawalCost
{
    double denied = 0;
    double forgotten = 0;
    double disabled = 0;
};

WithdrawalCost withdrawalCost(QSentrelConfiguration *config, const QString &type, int cached)
{
    QTemporaryDir directory;
    config->setStorageType(type);
    config->setStoragePath(directory.path());
    QSentrelTracker tracker;
    tracker.setConsentRequired(true);
    std::vector<double> times[3];
    for (int run = 0; run < 15; ++run) {
        tracker.setConsent(QSentrelTracker::ConsentGranted);
        tracker.setEnabled(true);
        for (int i = 0; i < cached; ++i)
            tracker.transition(QStringLiteral("screen"));
        SentrelTrackerImpl::instance()->waitForRequests();
        QElapsedTimer timer;
        timer.start();
        switch (run % 3) {
        case 0:
            tracker.setConsent(QSentrelTracker::ConsentDenied);
            break;
        case 1:
            tracker.forgetMe();
            break;
        default:
            tracker.setEnabled(false);
        }
        times[run % 3].push_back(double(timer.nsecsElapsed()) / 1e6);
        tracker.setEnabled(false);
    }
    tracker.setConsentRequired(false);
    config->setStorageType(QString());
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    return {median(times[0]), median(times[1]), median(times[2])};
}

// CPU of the whole process, in milliseconds, while tracking is on and the application waits
// in its event loop for a while with nothing to do: the baseline with freezes not recorded,
// then with them recorded. The fastest of three runs each.
std::pair<double, double> idleCpu(QSentrelConfiguration *config)
{
    constexpr int idleMilliseconds = 2000;
    const auto measure = [config](int threshold) {
        double fastest = -1;
        for (int run = 0; run < 3; ++run) {
            config->setCaptureStallMs(threshold);
            SentrelTrackerImpl::instance()->setEnabled(true);
            SentrelTrackerImpl::instance()->waitForRequests();
            const std::clock_t start = std::clock();
            QEventLoop idle;
            QTimer::singleShot(idleMilliseconds, &idle, &QEventLoop::quit);
            idle.exec();
            const double spent = 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC;
            SentrelTrackerImpl::instance()->setEnabled(false);
            fastest = fastest < 0 ? spent : std::min(fastest, spent);
        }
        return fastest;
    };
    const double baseline = measure(0);
    const double watched = measure(500);
    config->setCaptureStallMs(0);
    return {baseline, watched};
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    QSentrelConfiguration *config = SentrelTrackerImpl::instance()->configuration();
    config->setToken(QStringLiteral("token"));
    config->setServer(QStringLiteral("localhost:1"));
    config->setSyncInterval(0);
    config->setStorageType(QString()); // built and dropped on the worker
    config->setEvents(trackedTypes);
    config->setCategories({QStringLiteral("buttons")});

    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();
    // The baseline: the same calls with an empty cache, in the same run.
    const QStringList storeTypes = {QStringLiteral("SQLITE"),
                                    QStringLiteral("SQLITE-ZLIB"),
                                    QStringLiteral("SQLITE-ZSTD")};
    std::vector<std::pair<WithdrawalCost, WithdrawalCost>> withdrawals;
    for (const QString &type : storeTypes)
        withdrawals.emplace_back(withdrawalCost(config, type, 1000),
                                 withdrawalCost(config, type, 0));

    const auto [idleBaseline, idleWatched] = idleCpu(config);
    const double bare = recorder.fastest("BM_UntrackedNoFilter");
    const double called = recorder.fastest("BM_UntrackedNullFilter");
    const double filtered = recorder.fastest("BM_UntrackedFiltered");
    const double withActions = recorder.fastest("BM_UntrackedFilteredActions");
    const double withScreens = recorder.fastest("BM_UntrackedFilteredScreens");
    const double pageChange = recorder.fastest("BM_PageChangeBare");
    const double pageCaptured = recorder.fastest("BM_PageChangeCaptured");
    const double trigger = recorder.fastest("BM_ActionTriggerBare");
    const double triggerCaptured = recorder.fastest("BM_ActionTriggerCaptured");
    const double move = recorder.fastest("BM_MoveNoFilter");
    const double held = recorder.fastest("BM_MoveHeldTrackingOff");
    const double queued = recorder.fastest("BM_MoveHeldTrackingOn");
    const double widgetClick = recorder.fastest("BM_WidgetClickNoFilter");
    const double widgetCaptured = recorder.fastest("BM_WidgetClickFiltered");
    const double quickClick = recorder.fastest("BM_QuickClickNoFilter");
    const double quickCaptured = recorder.fastest("BM_QuickClickFiltered");
    const double undecided = recorder.fastest("BM_UntrackedConsentUndecided");
    const double granted = recorder.fastest("BM_UntrackedConsentGranted");
    if (bare > 0 && move > 0) {
        std::printf("\nFastest of the repetitions, CPU ns of the application thread per event:\n");
        std::printf("untracked event: %.1f bare, %.1f filtered: the filter adds %.1f (x%.2f; "
                    "target at most 15), "
                    "of which Qt's call of any application filter %.1f\n",
                    bare,
                    filtered,
                    filtered - bare,
                    filtered / bare,
                    called - bare);
        std::printf("held mouse move: %.1f bare, %.1f filtered (tracking off), %.1f (tracking on): "
                    "the filter adds %.1f, with queuing %.1f (x%.2f)\n",
                    move,
                    held,
                    queued,
                    held - move,
                    queued - move,
                    queued / move);
    }
    if (filtered > 0 && withActions > 0) {
        std::printf("untracked event with commands and freezes captured: %.1f beside %.1f "
                    "filtered: %+.1f "
                    "(target within 2): %s\n",
                    withActions,
                    filtered,
                    withActions - filtered,
                    withActions - filtered <= 2 ? "met" : "missed");
    }
    if (filtered > 0 && withScreens > 0) {
        std::printf("untracked event with screens captured: %.1f beside %.1f filtered: %+.1f "
                    "(target within 2): %s\n",
                    withScreens,
                    filtered,
                    withScreens - filtered,
                    withScreens - filtered <= 2 ? "met" : "missed");
    }
    std::printf("idle for 2 s with tracking on, CPU ms of the process: %.1f with freezes not "
                "recorded, %.1f with capture.stall_ms 500: the watchdog adds %+.1f\n",
                idleBaseline,
                idleWatched,
                idleWatched - idleBaseline);
    if (trigger > 0 && triggerCaptured > 0) {
        std::printf("action trigger from code: %.0f bare, %.0f recorded (tracking on): capture "
                    "adds %.0f\n",
                    trigger,
                    triggerCaptured,
                    triggerCaptured - trigger);
    }
    if (bare > 0 && undecided > 0 && granted > 0) {
        std::printf("untracked event with consent required: %.1f undecided (no filter), %.1f "
                    "granted: %+.1f and %+.1f beside %.1f bare and %.1f filtered (target "
                    "within 2): %s\n",
                    undecided,
                    granted,
                    undecided - bare,
                    granted - filtered,
                    bare,
                    filtered,
                    undecided - bare <= 2 && granted - filtered <= 2 ? "met" : "missed");
    }
    for (std::size_t i = 0; i < withdrawals.size(); ++i) {
        const auto &[full, empty] = withdrawals[i];
        const double worst = std::max({full.denied, full.forgotten, full.disabled});
        std::printf("withdrawal, %s with 1000 events cached (an empty cache): the application "
                    "thread waits %.2f (%.2f) ms in setConsent(ConsentDenied), %.2f (%.2f) in "
                    "forgetMe(), %.2f (%.2f) in setEnabled(false), medians of 5; target at most "
                    "16 ms: %s\n",
                    qPrintable(storeTypes.at(qsizetype(i))),
                    full.denied,
                    empty.denied,
                    full.forgotten,
                    empty.forgotten,
                    full.disabled,
                    empty.disabled,
                    worst <= 16 ? "met" : "missed");
    }
    if (widgetClick > 0) {
        std::printf("widget click (press and release): %.0f bare, %.0f filtered: capture adds %.0f "
                    "(x%.3f)\n",
                    widgetClick,
                    widgetCaptured,
                    widgetCaptured - widgetClick,
                    widgetCaptured / widgetClick);
    }
    if (pageChange > 0 && pageCaptured > 0 && widgetClick > 0) {
        // What capture adds to a change of screen, beside what it adds to a widget click.
        const double added = pageCaptured - pageChange;
        const double clickAdded = widgetCaptured - widgetClick;
        std::printf("page change (to a nested page): %.0f bare, %.0f recorded (tracking on): "
                    "capture adds %.0f; target: at most the %.0f it adds to a click: %s\n",
                    pageChange,
                    pageCaptured,
                    added,
                    clickAdded,
                    added <= clickAdded ? "met" : "missed");
    }
    if (quickClick > 0 && widgetClick > 0) {
        // Naming by QML ids and reading Tracker.category walk the item's ancestors.
        const double added = quickCaptured - quickClick;
        std::printf("Qt Quick click (press and release): %.0f bare, %.0f filtered: capture adds "
                    "%.0f (x%.3f); "
                    "target: at most 10%% of the click: %s\n",
                    quickClick,
                    quickCaptured,
                    added,
                    quickCaptured / quickClick,
                    added <= 0.10 * quickClick ? "met" : "missed");
    }
    return 0;
}
