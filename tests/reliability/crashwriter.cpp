// SPDX-License-Identifier: MIT
// Adds numbered events to a cache until it is killed, or COUNT events when a count is given.
// After each add() that returned true, it prints the event's number, so that whoever runs it
// knows which inserts had completed. With SENTREL_WRITER_BATCH=N in the environment it adds N
// events per batch and prints a batch's numbers once its commit() has returned true. With
// SENTREL_WRITER_ROOM_AFTER=N it lifts its file-size limit (a full disk) after N failed adds and
// writes the store's warnings to standard error.
#include "qsentrelstorage_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <cstdio>
#include <memory>

#ifdef Q_OS_UNIX
#  include <sys/resource.h>
#endif

int main(int argc, char *argv[])
{
    // The locations of the test that starts it, on every platform.
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);
    const int roomAfter = qEnvironmentVariableIntValue("SENTREL_WRITER_ROOM_AFTER");
    QLoggingCategory::setFilterRules(roomAfter > 0 ? QStringLiteral("sentrel*=false\n"
                                                                    "sentrel.storage.warning=true")
                                                   : QStringLiteral("sentrel*=false"));
    const QStringList arguments = app.arguments();
    if (arguments.size() < 4)
        return 2;
    auto store = QSentrelStorage::create(arguments.at(1), arguments.at(2), 0);
    if (!store->open())
        return 3;
    const qint64 first = arguments.at(3).toLongLong();
    const qint64 last = arguments.size() > 4 ? first + arguments.at(4).toLongLong() : -1;
    const int batch = qEnvironmentVariableIntValue("SENTREL_WRITER_BATCH");
    const QByteArray padding(300, 'x');
    QList<qint64> added;
    // Counts failed adds and commits; the disk has room again after roomAfter of them.
    int failures = 0;
    const auto failed = [&failures, roomAfter] {
        if (++failures != roomAfter)
            return;
#ifdef Q_OS_UNIX
        struct rlimit limit;
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_FSIZE, &limit);
#endif
    };
    for (qint64 number = first; number != last; ++number) {
        if (batch > 0 && added.isEmpty())
            store->transaction();
        const QByteArray event =
                "{\"n\":" + QByteArray::number(number) + ",\"pad\":\"" + padding + "\"}";
        if (store->add(event)) {
            added.append(number);
        } else {
            added.append(-1); // a failed add spoils the certainty of its whole batch
            failed();
        }
        if (batch > 0 && added.size() < batch && number + 1 != last)
            continue;
        const bool committed = batch <= 0 || store->commit();
        if (!committed)
            failed();
        if (committed && !added.contains(-1)) {
            for (const qint64 stored : std::as_const(added))
                std::printf("%lld\n", static_cast<long long>(stored));
            std::fflush(stdout);
        }
        added.clear();
    }
    return 0;
}
