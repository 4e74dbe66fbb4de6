// SPDX-License-Identifier: MIT
#pragma once

#include <SentrelTracker/qsentrelcategoryfilter.h>

#include <QString>

// A category provider that gives every object the same category.
class FixedCategory : public QSentrelCategoryFilter
{
public:
    explicit FixedCategory(const QString &category) : fixed(category) { }
    QString category(QObject *) const override { return fixed; }

private:
    QString fixed;
};
