#ifndef QSENTRELCATEGORYFILTER_H
#define QSENTRELCATEGORYFILTER_H

#include <SentrelTracker/sentreltracker_export.h>

class QObject;
class QString;

// Implemented by the application to give objects a category. Events captured on an
// object whose non-empty category is not among the configured categories are dropped.
//
// The tracker never owns the provider: it must outlive the period of tracking in which
// it was installed with QSentrelTracker::setCategoryFilter(). It is called on the
// application's thread only.
class SENTRELTRACKER_EXPORT QSentrelCategoryFilter
{
public:
    virtual ~QSentrelCategoryFilter();

    // The category of object, or an empty string when it has none.
    virtual QString category(QObject *object) const = 0;
};

#endif // QSENTRELCATEGORYFILTER_H
