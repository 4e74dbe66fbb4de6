// Adds numbered events to a cache until it is killed, or COUNT events when a count is given.
// After each add() that returned true, it prints the event's number, so that whoever runs it
// knows which inserts had completed.
#include "qsentrelstorage_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <memory>


int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    const QStringList arguments = app.arguments();
    if (arguments.size() < 4)
        return 2;
    auto store = QSentrelStorage::create(arguments.at(1), arguments.at(2), 0);
    if (!store->open())
        return 3;
    const qint64 first = arguments.at(3).toLongLong();
    const qint64 last = arguments.size() > 4 ? first + arguments.at(4).toLongLong() : -1;
    const QByteArray padding(300, 'x');
    for (qint64 number = first; number != last; ++number) {
        const QByteArray event = "{\"n\":" + QByteArray::number(number) + ",\"pad\":\"" + padding + "\"}";
        if (store->add(event)) {
            std::printf("%lld\n", static_cast<long long>(number));
            std::fflush(stdout);
        }
    }
    return 0;
}
