// SPDX-License-Identifier: MIT
// The application thread's cost of a recording call, beside the bare cost of posting an empty
// functor to an object on another thread, and the cost of a call while tracking is off.
#include "sentreltrackerimpl_p.h"

#include <SentrelTracker/qsentreltracker.h>

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QTemporaryDir>
#include <QThread>

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

void BM_InteractionEnabled(benchmark::State &state)
{
    tracker->setEnabled(true);
    const QString name = QStringLiteral("okButton");
    const QString category = QStringLiteral("buttons");
    for (auto _ : state)
        tracker->interaction(name, category);
    tracker->setEnabled(false);
}
BENCHMARK(BM_InteractionEnabled);

void BM_InteractionDisabled(benchmark::State &state)
{
    const QString name = QStringLiteral("okButton");
    const QString category = QStringLiteral("buttons");
    for (auto _ : state)
        tracker->interaction(name, category);
}
BENCHMARK(BM_InteractionDisabled);

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

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
