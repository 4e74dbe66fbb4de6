// SPDX-License-Identifier: MIT
// The application thread's cost of a recording call, beside the bare cost of posting an empty
// functor to an object on another thread, and the cost of a call while tracking is off. Then
// the application thread's wait in setEnabled(false) with a full request queue, beside the
// same wait with an empty one, and the resident memory of a million calls in a loop. First of
// all, what setEnabled(true) costs the application thread, the first time in the process (when
// Qt's SQL and TLS back-ends are not loaded yet) and later, beside starting a bare thread. And
// the worker's cost of building one event, with and without an application's interceptor.
#include "sentrelpayload_p.h"
#include "sentreltrackerimpl_p.h"

#include <SentrelTracker/qsentreleventinterceptor.h>
#include <SentrelTracker/qsentreltracker.h>

#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QSentrelTracker *tracker = nullptr;

// Lets the worker drain what a benchmark posted, so runs do not pile up on each other.
void drain(QObject *receiver)
{
    QMetaObject::invokeMethod(
            receiver,
            [] {},
            Qt::BlockingQueuedConnection);
}

void BM_BarePost(benchmark::State &state)
{
    QThread worker;
    QObject receiver;
    receiver.moveToThread(&worker);
    worker.start();
    for (auto _ : state)
        QMetaObject::invokeMethod(
                &receiver,
                [] {},
                Qt::AutoConnection);
    drain(&receiver);
    worker.quit();
    worker.wait();
}
BENCHMARK(BM_BarePost);

// The application thread's cost of call, recording while tracking is enabled.
template <typename Call>
void recordEnabled(benchmark::State &state, Call call)
{
    tracker->setEnabled(true);
    // The worker catches up well within the queue's bound, or the calls would be dropped.
    int sinceCatchingUp = 0;
    for (auto _ : state) {
        call();
        if (++sinceCatchingUp == 50000) {
            state.PauseTiming();
            SentrelTrackerImpl::instance()->waitForRequests();
            sinceCatchingUp = 0;
            state.ResumeTiming();
        }
    }
    SentrelTrackerImpl::instance()->waitForRequests();
    tracker->setEnabled(false);
}

void BM_InteractionEnabled(benchmark::State &state)
{
    const QString name = QStringLiteral("okButton");
    const QString category = QStringLiteral("buttons");
    recordEnabled(state, [&] {
        tracker->interaction(name, category);
    });
}
BENCHMARK(BM_InteractionEnabled);

// Beside BM_InteractionEnabled: the properties are shared with the worker, not copied.
void BM_TrackEnabled(benchmark::State &state)
{
    const QString name = QStringLiteral("export.done");
    const QVariantMap properties {{QStringLiteral("format"), QStringLiteral("pdf")},
                                  {QStringLiteral("pages"), 12},
                                  {QStringLiteral("scale"), 1.5}};
    recordEnabled(state, [&] {
        tracker->track(name, properties);
    });
}
BENCHMARK(BM_TrackEnabled);

// The worker's cost of one click's bytes, and with an interceptor that keeps every event as
// it is: what an interceptor costs each event beyond its own work.
void buildClicks(benchmark::State &state, QSentrelEventInterceptor *interceptor)
{
    SentrelPayload payload;
    payload.setConfiguration(SentrelTrackerImpl::instance()->configurationPrivate());
    payload.setEventInterceptor(interceptor);
    const QString name = QStringLiteral("okButton");
    const QString category = QStringLiteral("buttons");
    for (auto _ : state)
        benchmark::DoNotOptimize(payload.click(name, category, std::nullopt));
}

void BM_WorkerBuildsClick(benchmark::State &state)
{
    buildClicks(state, nullptr);
}
BENCHMARK(BM_WorkerBuildsClick);

void BM_WorkerBuildsClickIntercepted(benchmark::State &state)
{
    struct KeepAll : QSentrelEventInterceptor
    {
        bool intercept(QJsonArray &) override { return true; }
    } keepAll;
    buildClicks(state, &keepAll);
}
BENCHMARK(BM_WorkerBuildsClickIntercepted);

void BM_InteractionDisabled(benchmark::State &state)
{
    const QString name = QStringLiteral("okButton");
    const QString category = QStringLiteral("buttons");
    for (auto _ : state)
        tracker->interaction(name, category);
}
BENCHMARK(BM_InteractionDisabled);

// One of the process's memory figures from /proc/self/status ("VmRSS", "VmHWM"), or -1.
double residentMiB(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return -1;
}

// Milliseconds the application thread spends in setEnabled(false) after calls interactions,
// with the cache on; the worker has finished starting, so only the stop is measured.
double disableWait(int calls)
{
    tracker->setEnabled(true);
    SentrelTrackerImpl::instance()->waitForRequests();
    const QString name = QStringLiteral("okButton");
    const QString category = QStringLiteral("buttons");
    for (int i = 0; i < calls; ++i)
        tracker->interaction(name, category);
    QElapsedTimer timer;
    timer.start();
    tracker->setEnabled(false);
    return timer.nsecsElapsed() / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double elapsedMs(const std::function<void()> &call)
{
    QElapsedTimer timer;
    timer.start();
    call();
    return timer.nsecsElapsed() / 1e6;
}

// Before anything else in the process has enabled tracking or loaded the back-ends.
void enablingCost(const QString &storage)
{
    QSentrelConfiguration *config = tracker->configuration();
    config->setStorageType(QStringLiteral("SQLITE"));
    config->setStoragePath(storage);
    constexpr double target = 5;
    const double first = elapsedMs([] {
        tracker->setEnabled(true);
    });
    SentrelTrackerImpl::instance()->waitForRequests();
    tracker->setEnabled(false);
    std::vector<double> later;
    std::vector<double> bareThread;
    for (int round = 0; round < 5; ++round) {
        later.push_back(elapsedMs([] {
            tracker->setEnabled(true);
        }));
        SentrelTrackerImpl::instance()->waitForRequests();
        tracker->setEnabled(false);
        QThread thread;
        bareThread.push_back(elapsedMs([&thread] {
            thread.start();
        }));
        thread.quit();
        thread.wait();
    }
    std::printf("setEnabled(true), SQLite cache, target %.0f ms:\n"
                "  starting a bare QThread (baseline, median of 5) %8.2f ms\n"
                "  first in the process                            %8.2f ms: %s\n"
                "  later (median of 5)                             %8.2f ms: %s\n",
                target,
                median(bareThread),
                first,
                first <= target ? "met" : "missed",
                median(later),
                median(later) <= target ? "met" : "missed");
    config->setStorageType(QString());
}

void disablingWithAFullQueue(const QString &storage)
{
    QSentrelConfiguration *config = tracker->configuration();
    config->setStorageType(QStringLiteral("SQLITE"));
    config->setStoragePath(storage);
    // The count of what is dropped follows each run; once is enough to know it works.
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel.warning=false"));

    constexpr double target = 16; // one frame at 60 Hz
    const int full = int(SentrelTrackerImpl::maximumQueuedRecordings);
    std::vector<double> empty;
    std::vector<double> filled;
    for (int round = 0; round < 5; ++round) { // interleaved, so that the load hits both alike
        empty.push_back(disableWait(0));
        filled.push_back(disableWait(full));
    }
    std::printf("setEnabled(false), median of 5, SQLite cache:\n"
                "  nothing queued (baseline)      %8.2f ms\n"
                "  %d calls queued (full)     %8.2f ms (worst %.2f), target %.0f ms: %s\n",
                median(empty),
                full,
                median(filled),
                *std::max_element(filled.begin(), filled.end()),
                target,
                median(filled) <= target ? "met" : "missed");

    const double before = residentMiB("VmRSS");
    const double wait = disableWait(1000000);
    std::printf("a million calls in a loop: resident %.1f MiB before, peak %.1f MiB (VmHWM); "
                "setEnabled(false) then %.2f ms\n",
                before,
                residentMiB("VmHWM"),
                wait);
    QLoggingCategory::setFilterRules(QString());
    config->setStorageType(QString());
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QTemporaryDir storage;
    QSentrelTracker sentrel;
    tracker = &sentrel;
    QSentrelConfiguration *config = sentrel.configuration();
    config->setToken(QStringLiteral("token"));
    config->setServer(QStringLiteral("localhost:1"));
    config->setSyncInterval(0);
    // Built and dropped on the worker: the application thread's side is what is measured.
    config->setStorageType(QString());
    config->setCategories({QStringLiteral("buttons")});
    enablingCost(storage.path());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    disablingWithAFullQueue(storage.path());
    return 0;
}
