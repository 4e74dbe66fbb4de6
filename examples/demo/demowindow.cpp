// SPDX-License-Identifier: MIT
#include "demowindow.h"

#include "privacydialog.h"

#include <SentrelTracker/qsentrelconfiguration.h>
#include <SentrelTracker/qsentreltracker.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>
#include <QVariant>

#include <utility>

namespace {
const char *const categoryProperty = "trackingCategory";

QPushButton *button(const QString &text, const char *name, const char *category, QWidget *parent)
{
    auto *result = new QPushButton(text, parent);
    result->setObjectName(QLatin1String(name));
    result->setProperty(categoryProperty, QLatin1String(category));
    return result;
}
} // namespace

QString DemoCategories::category(QObject *object) const
{
    return object->property(categoryProperty).toString();
}

DemoWindow::DemoWindow(QSentrelTracker *tracker, const QString &mode, QWidget *parent)
    : QWidget(parent)
    , tracker(tracker)
    , mode(mode)
{
    setObjectName(QStringLiteral("demoWindow"));
    setWindowTitle(QStringLiteral("Sentrel Tracker demo"));

    pages = new QStackedWidget(this);
    pages->setObjectName(QStringLiteral("pages"));
    pages->addWidget(createHome());
    pages->addWidget(createForm());
    pages->addWidget(createSettings());

    status = new QLabel(this);
    status->setObjectName(QStringLiteral("status"));
    privacy = new PrivacyDialog(tracker, this);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(pages);
    layout->addWidget(status);
    createMenus();
    resize(480, 360);

    tracking = tracks();
    if (tracking)
        recordStart();
    status->setText(PrivacyDialog::describe(tracker->consent()));
    // Also after "Forget me" and a new choice: the new identity gets the start-up data too.
    connect(tracker, &QSentrelTracker::consentChanged, this, [this](QSentrelTracker::Consent now) {
        status->setText(PrivacyDialog::describe(now));
        const bool before = std::exchange(tracking, tracks());
        if (tracking && !before)
            recordStart();
    });
}

bool DemoWindow::tracks() const
{
    return !tracker->consentRequired() || tracker->consent() >= QSentrelTracker::ConsentAnonymous;
}

// The application's own dimension and context data, and the screen shown.
void DemoWindow::recordStart()
{
    tracker->dimensionData(QStringLiteral("mode"), mode);
    QString edition = editionBox->currentText();
    tracker->dimensionData(QStringLiteral("edition"), edition);
    tracker->contextData(QStringLiteral("demo_started"), QStringLiteral("home"));
    recordScreen();
}

void DemoWindow::showPrivacy()
{
    privacy->open();
}

void DemoWindow::showPage(Page page)
{
    pages->setCurrentIndex(page);
    if (page == Form)
        nameEdit->setFocus(Qt::OtherFocusReason);
    else if (page == Settings)
        ++settingsVisits;
    recordScreen();
}

void DemoWindow::recordScreen()
{
    // Captured without code when the configuration asks for screens: the pages of the stack
    // by their object names, the dialogs too, each with its time on screen.
    if (tracker->configuration()->captureScreens())
        return;
    switch (Page(pages->currentIndex())) {
    case Home:
        tracker->transition(QStringLiteral("Home"));
        break;
    case Form:
        tracker->transition(QStringLiteral("Form"));
        break;
    case Settings:
        // A screen view with a numeric context.
        tracker->transition(QStringLiteral("Settings"), QStringLiteral("visits"), settingsVisits);
        break;
    }
}

// Commands, captured with no code of the demo's own: each trigger names the action and how it
// came (menu, tool bar or shortcut), never its text.
void DemoWindow::createMenus()
{
    auto *menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    QMenu *file = menuBar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    QAction *exportAction = file->addAction(QStringLiteral("&Export as PDF…"));
    exportAction->setObjectName(QStringLiteral("exportAction"));
    QAction *refresh = file->addAction(QStringLiteral("&Refresh"));
    refresh->setObjectName(QStringLiteral("refreshAction"));
    refresh->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    auto *tools = new QToolBar(this);
    tools->setObjectName(QStringLiteral("toolBar"));
    tools->addAction(refresh);
    QAction *compute = tools->addAction(QStringLiteral("Compute"));
    compute->setObjectName(QStringLiteral("computeAction"));

    connect(exportAction, &QAction::triggered, this, [this] {
        // The application's own event with typed values.
        tracker->track(
                QStringLiteral("export"),
                {{QStringLiteral("format"), QStringLiteral("pdf")}, {QStringLiteral("pages"), 12}});
        status->setText(QStringLiteral("Exported (not really)."));
    });
    connect(refresh, &QAction::triggered, this, [this] {
        status->setText(QStringLiteral("Refreshed."));
    });
    connect(compute, &QAction::triggered, this, [this] {
        // Work on the application's thread that holds it for a while: a freeze.
        const QDeadlineTimer busy(400);
        quint64 spins = 0;
        while (!busy.hasExpired())
            ++spins;
        status->setText(QStringLiteral("Computed %1.").arg(spins % 97));
    });

    auto *layout = qobject_cast<QVBoxLayout *>(this->layout());
    layout->setMenuBar(menuBar);
    layout->insertWidget(0, tools);
}

QWidget *DemoWindow::createHome()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("homePage"));
    auto *title = new QLabel(QStringLiteral("<h2>Welcome</h2>"), page);
    QPushButton *hello = button(QStringLiteral("Say hello"), "helloButton", "buttons", page);
    QPushButton *form = button(QStringLiteral("Fill in the form"), "formButton", "buttons", page);
    QPushButton *settings = button(QStringLiteral("Settings"), "settingsButton", "buttons", page);
    QPushButton *about = button(QStringLiteral("About"), "aboutButton", "", page);
    // Its category is not configured: its clicks are not captured (the explicit call is).
    QPushButton *debug = button(QStringLiteral("Debug"), "debugButton", "debug", page);
    QPushButton *privacyButton =
            button(QStringLiteral("Privacy…"), "privacyButton", "buttons", page);
    QPushButton *quit = button(QStringLiteral("Quit"), "quitButton", "buttons", page);

    connect(hello, &QPushButton::clicked, this, [this] {
        tracker->interaction(QStringLiteral("helloButton"), QStringLiteral("buttons"));
        status->setText(QStringLiteral("Hello!"));
    });
    connect(form, &QPushButton::clicked, this, [this] {
        showPage(Form);
    });
    connect(settings, &QPushButton::clicked, this, [this] {
        showPage(Settings);
    });
    connect(about, &QPushButton::clicked, this, [this] {
        // No category: always recorded.
        tracker->interaction(QStringLiteral("aboutButton"), QString());
        status->setText(QStringLiteral("A Qt application instrumented with Sentrel Tracker."));
    });
    connect(debug, &QPushButton::clicked, this, [this] {
        // A category outside the configured ones: the tracker drops this call.
        tracker->interaction(QStringLiteral("debugButton"), QStringLiteral("debug"));
    });
    connect(privacyButton, &QPushButton::clicked, this, &DemoWindow::showPrivacy);
    connect(quit, &QPushButton::clicked, this, [this] {
        tracker->interaction(QStringLiteral("quitButton"), QStringLiteral("buttons"));
        QApplication::quit();
    });

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(title);
    for (QPushButton *each : {hello, form, settings, about, debug, privacyButton, quit})
        layout->addWidget(each);
    layout->addStretch();
    return page;
}

QWidget *DemoWindow::createForm()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("formPage"));
    nameEdit = new QLineEdit(page);
    nameEdit->setObjectName(QStringLiteral("nameEdit"));
    nameEdit->setProperty(categoryProperty, QStringLiteral("dialogs"));
    nameEdit->setPlaceholderText(QStringLiteral("Your name (what you type is never recorded)"));
    colourBox = new QComboBox(page);
    colourBox->setObjectName(QStringLiteral("colourBox"));
    colourBox->setProperty(categoryProperty, QStringLiteral("dialogs"));
    colourBox->addItems(
            {QStringLiteral("blue"), QStringLiteral("green"), QStringLiteral("orange")});
    QPushButton *submit = button(QStringLiteral("Submit"), "submitButton", "dialogs", page);
    QPushButton *back = button(QStringLiteral("Back"), "formBackButton", "buttons", page);

    connect(submit, &QPushButton::clicked, this, &DemoWindow::submitForm);
    connect(nameEdit, &QLineEdit::returnPressed, this, &DemoWindow::submitForm);
    connect(back, &QPushButton::clicked, this, [this] {
        showPage(Home);
    });

    auto *fields = new QFormLayout;
    fields->addRow(QStringLiteral("Name"), nameEdit);
    fields->addRow(QStringLiteral("Favourite colour"), colourBox);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(back);
    buttons->addStretch();
    buttons->addWidget(submit);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<h2>A form</h2>"), page));
    layout->addLayout(fields);
    layout->addStretch();
    layout->addLayout(buttons);
    return page;
}

void DemoWindow::submitForm()
{
    const int filled = (nameEdit->text().isEmpty() ? 0 : 1) + 1;
    // An interaction with a numeric context and a category.
    tracker->interaction(QStringLiteral("submitButton"),
                         QStringLiteral("fields"),
                         filled,
                         QStringLiteral("dialogs"));
    // Context data: what was chosen, never what was typed.
    tracker->contextData(QStringLiteral("favourite_colour"), colourBox->currentText());
    // The application's own event, its properties' types kept.
    tracker->track(QStringLiteral("form.submitted"),
                   {{QStringLiteral("fields"), filled},
                    {QStringLiteral("name_given"), !nameEdit->text().isEmpty()}});
    status->setText(QStringLiteral("Thank you."));
    nameEdit->clear();
    showPage(Home);
}

QWidget *DemoWindow::createSettings()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("settingsPage"));
    darkMode = new QCheckBox(QStringLiteral("Dark mode"), page);
    darkMode->setObjectName(QStringLiteral("darkModeBox"));
    darkMode->setProperty(categoryProperty, QStringLiteral("buttons"));
    editionBox = new QComboBox(page);
    editionBox->setObjectName(QStringLiteral("editionBox"));
    editionBox->setProperty(categoryProperty, QStringLiteral("dialogs"));
    editionBox->addItems({QStringLiteral("community"),
                          QStringLiteral("professional"),
                          QStringLiteral("enterprise")});
    QPushButton *newSession =
            button(QStringLiteral("Start a new session"), "newSessionButton", "buttons", page);
    QPushButton *clearCache =
            button(QStringLiteral("Clear the cache"), "clearCacheButton", "buttons", page);
    QPushButton *back = button(QStringLiteral("Back"), "settingsBackButton", "buttons", page);

    connect(darkMode, &QCheckBox::toggled, this, [this](bool on) {
        tracker->interaction(QStringLiteral("darkModeBox"),
                             QStringLiteral("enabled"),
                             on ? 1.0 : 0.0,
                             QStringLiteral("buttons"));
    });
    connect(editionBox, &QComboBox::currentTextChanged, this, [this](const QString &text) {
        QString edition = text;
        tracker->dimensionData(QStringLiteral("edition"), edition);
    });
    connect(newSession, &QPushButton::clicked, this, [this] {
        tracker->startNewSession();
        tracker->interaction(QStringLiteral("newSessionButton"), QStringLiteral("buttons"));
        status->setText(QStringLiteral("A new session has started."));
    });
    connect(clearCache, &QPushButton::clicked, this, [this] {
        tracker->clearCache();
        status->setText(QStringLiteral("The events not yet delivered have been dropped."));
    });
    connect(back, &QPushButton::clicked, this, [this] {
        showPage(Home);
    });

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(new QLabel(QStringLiteral("<h2>Settings</h2>"), page));
    layout->addWidget(darkMode);
    auto *edition = new QFormLayout;
    edition->addRow(QStringLiteral("Edition"), editionBox);
    layout->addLayout(edition);
    layout->addWidget(newSession);
    layout->addWidget(clearCache);
    layout->addStretch();
    layout->addWidget(back);
    return page;
}
