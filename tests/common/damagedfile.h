// SPDX-License-Identifier: MIT
#ifndef DAMAGEDFILE_H
#define DAMAGEDFILE_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QtEndian>

// What a cache file can become on a failing disk or at the hands of another program. The kinds:
// "zero-middle" and "zero-end" overwrite two pages with zeros (in the middle of the file, or
// the two before the last), "truncate" cuts the file in half, "random" puts 8 KiB of random
// bytes in its place, "foreign" another program's database with a table "events" of its own,
// "directory" a directory. The file must be closed. Returns false when the
// file is too small to hold the damage apart from its first pages.
inline bool damageFile(const QString &path, const QString &kind)
{
    if (kind == QLatin1String("directory"))
        return QFile::remove(path) && QDir().mkdir(path);
    QFile file(path);
    if (kind == QLatin1String("foreign")) {
        const QString name = QStringLiteral("another-program");
        bool made = false;
        {
            QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            database.setDatabaseName(path);
            QSqlQuery query(database);
            made = file.remove() && database.open()
                    && query.exec(QStringLiteral("CREATE TABLE events(name TEXT, at INTEGER)"))
                    && query.exec(QStringLiteral("INSERT INTO events VALUES('backup', 1)"));
            query = QSqlQuery();
            database.close();
        }
        QSqlDatabase::removeDatabase(name);
        return made;
    }
    if (kind == QLatin1String("random")) {
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        QByteArray bytes(8192, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                              bytes.size() / 4);
        return file.write(bytes) == bytes.size();
    }
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray header = file.read(100);
    const quint16 field = qFromBigEndian<quint16>(header.constData() + 16);
    const qint64 pageSize = field == 1 ? 65536 : field;
    const qint64 pages = pageSize > 0 ? file.size() / pageSize : 0;
    if (pages < 16)
        return false;
    if (kind == QLatin1String("truncate"))
        return file.resize(pages / 2 * pageSize);
    const qint64 first = kind == QLatin1String("zero-middle") ? pages / 2 : pages - 3;
    return file.seek(first * pageSize)
            && file.write(QByteArray(2 * pageSize, '\0')) == 2 * pageSize;
}

#endif // DAMAGEDFILE_H
