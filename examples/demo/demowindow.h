// SPDX-License-Identifier: MIT
#ifndef DEMOWINDOW_H
#define DEMOWINDOW_H

#include <SentrelTracker/qsentrelcategoryfilter.h>

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSentrelTracker;
class QStackedWidget;
class PrivacyDialog;

// Gives captured objects the category set on them as the "trackingCategory" property. Events
// of objects whose category is not configured (the demo's "debug" button) are not recorded.
class DemoCategories : public QSentrelCategoryFilter
{
public:
    QString category(QObject *object) const override;
};

// The demo's one window: a home page, a form and a settings page on a stack. Every page
// change and button reports to the tracker; the configured user-interface events are captured
// without any code here. What the demo tells at start waits for the person's consent.
class DemoWindow : public QWidget
{
    Q_OBJECT

public:
    // tracker is not owned and must outlive the window; mode is recorded as a dimension.
    DemoWindow(QSentrelTracker *tracker, const QString &mode, QWidget *parent = nullptr);

    enum Page {
        Home,
        Form,
        Settings
    };
    void showPage(Page page);
    // The privacy dialog, over the window.
    void showPrivacy();

private:
    bool tracks() const;
    void recordStart();
    void recordScreen();
    void createMenus();
    QWidget *createHome();
    QWidget *createForm();
    QWidget *createSettings();
    void submitForm();

    QSentrelTracker *tracker;
    QString mode;
    PrivacyDialog *privacy = nullptr;
    bool tracking = false;
    QStackedWidget *pages = nullptr;
    QLabel *status = nullptr;
    QLineEdit *nameEdit = nullptr;
    QComboBox *colourBox = nullptr;
    QComboBox *editionBox = nullptr;
    QCheckBox *darkMode = nullptr;
    int settingsVisits = 0;
};

#endif // DEMOWINDOW_H
