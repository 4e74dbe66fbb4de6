// SPDX-License-Identifier: MIT
#ifndef QSENTRELCATEGORYFILTER_H
#define QSENTRELCATEGORYFILTER_H

#include <SentrelTracker/sentreltracker_export.h>

class QObject;
class QString;

/*!
    \class QSentrelCategoryFilter
    \brief Gives the objects of an application a category, which decides whether their events
    are tracked.

    The application implements it and installs it with QSentrelTracker::setCategoryFilter().
    Events captured on an object whose non-empty category is not among the configured
    categories (QSentrelConfiguration::categories) are dropped; an object without a category is
    always tracked.

    The tracker never owns the provider: it must outlive the period of tracking in which it was
    installed. It is called on the application's thread only.
*/
class SENTRELTRACKER_EXPORT QSentrelCategoryFilter
{
public:
    /*! Destroys the provider. Uninstall it first by disabling tracking. */
    virtual ~QSentrelCategoryFilter();

    /*!
        Returns the category of \a object, or an empty string when it has none.

        Called on the application's thread for each captured event, so it must be quick and must
        not delete \a object.
    */
    virtual QString category(QObject *object) const = 0;
};

#endif // QSENTRELCATEGORYFILTER_H
