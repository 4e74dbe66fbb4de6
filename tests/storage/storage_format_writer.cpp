// SPDX-License-Identifier: MIT
// Writes a cache file with each compressing store, 50 events in one session and 100 more in a
// second (the dictionary is made at the 101st), and the events added as JSON lines, for
// check_storage_format.py to decode with decoders that are not the library's.
#include "qsqlitezlibstorage_p.h"
#include "qsqlitezstdstorage_p.h"
#include "sampleevents.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>

#include <cstdio>
#include <memory>

namespace {
QList<QByteArray> events()
{
    QList<QByteArray> list = SampleEvents(4242).take(150);
    QRandomGenerator random(17);
    QByteArray noise(3000, Qt::Uninitialized);
    for (char &byte : noise)
        byte = char(random.bounded(256));
    QByteArray large = list.at(139);
    large.chop(1);
    large.append(",\"padding\":\"" + QByteArray(200 * 1024, 'x') + "\"}");
    // Short, empty, incompressible and large events, before and after the dictionary exists.
    list[10] = QByteArray();
    list[20] = noise;
    list[30] = "{}";
    list[120] = QByteArray();
    list[130] = noise.left(1000);
    list[139] = large;
    return list;
}

template <typename Store>
bool write(const QString &directory, const char *name)
{
    const QString path = QDir(directory).filePath(QLatin1String(name) + QStringLiteral(".db"));
    QFile::remove(path);
    const QList<QByteArray> all = events();
    for (const auto &session : {all.mid(0, 50), all.mid(50)}) {
        Store store(path, 0);
        if (!store.open())
            return false;
        for (const QByteArray &event : session) {
            if (!store.add(event))
                return false;
        }
    }

    QFile expected(QDir(directory).filePath(QLatin1String(name) + QStringLiteral(".jsonl")));
    if (!expected.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QJsonObject line {
                {QStringLiteral("id"), i + 1},
                {QStringLiteral("dictionary"), i >= 100},
                {QStringLiteral("base64"), QString::fromLatin1(all.at(i).toBase64())}};
        expected.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    }
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(directory))
        return 1;
    if (!write<QSQLiteZlibStorage>(directory, "zlib")
        || !write<QSQLiteZstdStorage>(directory, "zstd"))
        return 1;
    return 0;
}
