#ifndef QSENTRELTRACKER_H
#define QSENTRELTRACKER_H

#include <SentrelTracker/sentreltracker_export.h>
#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentrelcategoryfilter.h>
#include <SentrelTracker/sentreltrackertypes.h>

#include <QObject>
#include <QString>

// The application's handle on the tracker. It holds no state: every object drives the one
// process-wide tracker, so any number of them may exist. Call it from the application's
// thread; each recording call only copies its arguments and posts them to the tracker's
// worker thread.
class SENTRELTRACKER_EXPORT QSentrelTracker : public QObject
{
    Q_OBJECT
public:
    QSentrelTracker();

    // The configuration, owned by the tracker; never null. Adjust it before setEnabled(true).
    QSentrelConfiguration *configuration() const;

    void setEnabled(bool enabled);
    bool isEnabled() const;

    // Installs the application's category provider on the running event capture (not owned).
    // It is dropped when tracking is disabled; one set while tracking is off is ignored.
    void setCategoryFilter(QSentrelCategoryFilter *filter) const;

    void transition(const QString &screen) const;
    void transition(const QString &screen, const QString &contextKey, double contextValue) const;
    void interaction(const QString &name, const QString &category) const;
    void interaction(const QString &name,
                     const QString &contextKey,
                     double contextValue,
                     const QString &category) const;
    void contextData(const QString &key, const QString &value) const;
    // value is only read.
    void dimensionData(const QString &key, QString &value) const;

    void startNewSession();
    void clearCache();
};

#endif // QSENTRELTRACKER_H
