// What automatic capture adds on the application thread: to an event of a type it does not
// track (every event of the application pays this), and to a tracked mouse move, which is
// held and reported when the next move arrives. Each is measured beside the same delivery
// with no filter installed, and the difference is printed at the end.
#include "qsentreleventfilter_p.h"
#include "qsentrelreporter_p.h"
#include "sentreltrackerimpl_p.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDialog>
#include <QMouseEvent>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const QStringList trackedTypes{QStringLiteral("MouseButtonPress"), QStringLiteral("MouseButtonRelease"),
                               QStringLiteral("MouseMove"),        QStringLiteral("KeyPress"),
                               QStringLiteral("FocusIn"),          QStringLiteral("Resize"),
                               QStringLiteral("Wheel"),            QStringLiteral("ContextMenu")};

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
        return found == times.end() ? 0 : *std::min_element(found->second.begin(), found->second.end());
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
    QMouseEvent event{QEvent::MouseMove, QPointF(3.5, 4.5), QPointF(13.5, 14.5), QPointF(113.5, 114.5),
                      Qt::NoButton, Qt::NoButton, Qt::NoModifier};
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

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    QSentrelConfiguration *config = SentrelTrackerImpl::instance()->configuration();
    config->setToken(QStringLiteral("token"));
    config->setServer(QStringLiteral("localhost:1"));
    config->setSyncInterval(0);
    config->setStorageType(QString()); // built and dropped on the worker
    config->setEvents(trackedTypes);

    benchmark::Initialize(&argc, argv);
    Recorder recorder;
    benchmark::RunSpecifiedBenchmarks(&recorder);
    benchmark::Shutdown();

    const double bare = recorder.fastest("BM_UntrackedNoFilter");
    const double called = recorder.fastest("BM_UntrackedNullFilter");
    const double filtered = recorder.fastest("BM_UntrackedFiltered");
    const double move = recorder.fastest("BM_MoveNoFilter");
    const double held = recorder.fastest("BM_MoveHeldTrackingOff");
    const double queued = recorder.fastest("BM_MoveHeldTrackingOn");
    if (bare > 0 && move > 0) {
        std::printf("\nFastest of the repetitions, CPU ns of the application thread per event:\n");
        std::printf("untracked event: %.1f bare, %.1f filtered: the filter adds %.1f (x%.2f; target at most 15), "
                    "of which Qt's call of any application filter %.1f\n",
                    bare, filtered, filtered - bare, filtered / bare, called - bare);
        std::printf("held mouse move: %.1f bare, %.1f filtered (tracking off), %.1f (tracking on): "
                    "the filter adds %.1f, with queuing %.1f (x%.2f)\n",
                    move, held, queued, held - move, queued - move, queued / move);
    }
    return 0;
}
