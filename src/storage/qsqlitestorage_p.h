#ifndef QSQLITESTORAGE_P_H
#define QSQLITESTORAGE_P_H

//
//  W A R N I N G
//  -------------
//
// This file is not part of the Sentrel Tracker API. It exists for the implementation's
// convenience and may change from version to version without notice.
//

#include "qsentrelstorage_p.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// The event cache in an SQLite file, events kept as they are added. Base of the compressing
// stores, which override open(), add() and get().
//
// Uses the process-wide SQL connection "storage", so at most one store may be open at a time:
// destroy the old store before opening a new one. Created, used and destroyed on one thread
// (the reporter's worker thread); owned by whoever created it (the reporter).
class SENTREL_AUTOTEST_EXPORT QSQLiteStorage : public QSentrelStorage
{
    Q_OBJECT
public:
    QSQLiteStorage(const QString &path, int size);
    ~QSQLiteStorage() override;

    bool open() override;
    bool add(const QByteArray &data) override;
    bool remove(quint64 id) override;
    bool remove(const QSet<quint64> &ids) override;
    bool removeAll() override;
    QList<QPair<quint64, QByteArray>> get(qint64 limit, qint64 offset) override;
    quint64 size() override;

protected:
    QString path;
    int sizeLimit; // events kept at most; 0 or less: no limit
    QSqlDatabase database;
    QSqlQuery query; // reused by every statement; operations must not interleave

private:
    void restrictFilePermissions() const;

    bool registeredConnection = false;
};

#endif // QSQLITESTORAGE_P_H
