// Placeholder bodies until automatic capture lands.
#include "qsentreleventfilter_p.h"

QSentrelEventFilter::QSentrelEventFilter(SentrelTrackerImpl *tracker) : tracker(tracker) {}
QSentrelEventFilter::~QSentrelEventFilter() = default;
void QSentrelEventFilter::setCategoryFilter(QSentrelCategoryFilter *filter) { categoryFilter = filter; }
bool QSentrelEventFilter::eventFilter(QObject *, QEvent *) { return false; }
