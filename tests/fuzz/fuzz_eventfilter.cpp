// SPDX-License-Identifier: MIT
// A random sequence of input events, of the classes Qt uses and of plain QEvents carrying a
// tracked type, delivered to real widgets while automatic capture runs.
#include "qsentreleventfilter_p.h"
#include "sentreltrackerimpl_p.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPushButton>
#include <QResizeEvent>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cstdint>

namespace {

QList<QWidget *> targets;
int inputs = 0;

class Reader
{
public:
    Reader(const uint8_t *data, size_t size) : data(data), size(size) { }
    bool atEnd() const { return position >= size; }
    uint8_t byte() { return atEnd() ? 0 : data[position++]; }
    int number(int bound) { return bound > 0 ? int((byte() << 8 | byte()) % bound) : 0; }
    qreal coordinate() { return qreal(int16_t(byte() << 8 | byte())) / 4.0; }

private:
    const uint8_t *data;
    size_t size;
    size_t position = 0;
};

void enableCapture()
{
    QSentrelConfiguration *config = SentrelTrackerImpl::instance()->configuration();
    config->setToken(QStringLiteral("token"));
    config->setServer(QStringLiteral("localhost:1"));
    config->setSyncInterval(0);
    config->setStorageType(QString()); // events are built and dropped
    config->setEvents({QStringLiteral("MouseButtonPress"),
                       QStringLiteral("MouseButtonRelease"),
                       QStringLiteral("MouseButtonDblClick"),
                       QStringLiteral("MouseMove"),
                       QStringLiteral("KeyPress"),
                       QStringLiteral("KeyRelease"),
                       QStringLiteral("FocusIn"),
                       QStringLiteral("FocusOut"),
                       QStringLiteral("Resize"),
                       QStringLiteral("Wheel"),
                       QStringLiteral("Enter"),
                       QStringLiteral("Leave"),
                       QStringLiteral("ContextMenu"),
                       QStringLiteral("Shortcut"),
                       QStringLiteral("DragEnter"),
                       QStringLiteral("Drop"),
                       QStringLiteral("TouchBegin"),
                       QStringLiteral("NativeGesture"),
                       QStringLiteral("HoverMove")});
    SentrelTrackerImpl::instance()->setEnabled(true);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("SENTREL_CONFIG", "/nonexistent/sentrel.conf");
    new QApplication(*argc, *argv); // left to the end of the process, like the widgets
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));

    auto *dialog = new QDialog;
    auto *layout = new QVBoxLayout(dialog);
    auto *button = new QPushButton(QStringLiteral("OK"), dialog);
    button->setObjectName(QStringLiteral("okButton"));
    auto *edit = new QLineEdit(dialog);
    layout->addWidget(button);
    layout->addWidget(edit);
    dialog->show();
    targets = {dialog, button, edit};
    enableCapture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QEvent::Type mouseTypes[] = {QEvent::MouseButtonPress,
                                              QEvent::MouseButtonRelease,
                                              QEvent::MouseButtonDblClick,
                                              QEvent::MouseMove};
    static const QEvent::Type plainTypes[] = {QEvent::MouseButtonRelease,
                                              QEvent::KeyPress,
                                              QEvent::FocusIn,
                                              QEvent::Resize,
                                              QEvent::Wheel,
                                              QEvent::ContextMenu,
                                              QEvent::Shortcut,
                                              QEvent::Drop,
                                              QEvent::TouchBegin,
                                              QEvent::NativeGesture,
                                              QEvent::Enter};
    Reader in(data, size);
    while (!in.atEnd()) {
        QWidget *target = targets.at(in.number(targets.size()));
        const ulong timestamp = in.byte();
        switch (in.byte() % 6) {
        case 0: {
            const QPointF local(in.coordinate(), in.coordinate());
            QMouseEvent event(mouseTypes[in.byte() % 4],
                              local,
                              local,
                              target->mapToGlobal(local),
                              Qt::MouseButton(1 << (in.byte() % 5)),
                              Qt::MouseButtons(in.byte()),
                              Qt::KeyboardModifiers(in.byte() << 24));
            event.setTimestamp(timestamp);
            QCoreApplication::sendEvent(target, &event);
            break;
        }
        case 1: {
            const int key = in.number(0x01001000 + 1);
            const QString text = in.byte() % 2 ? QString(QChar(0x20 + in.byte())) : QString();
            QKeyEvent event(in.byte() % 2 ? QEvent::KeyPress : QEvent::KeyRelease,
                            key,
                            Qt::KeyboardModifiers(uint(in.byte()) << 24),
                            text);
            event.setTimestamp(timestamp);
            QCoreApplication::sendEvent(target, &event);
            break;
        }
        case 2: {
            QFocusEvent event(in.byte() % 2 ? QEvent::FocusIn : QEvent::FocusOut,
                              Qt::FocusReason(in.byte() % 10));
            QCoreApplication::sendEvent(target, &event);
            break;
        }
        case 3: {
            QResizeEvent event(QSize(in.number(5000), in.number(5000)), target->size());
            QCoreApplication::sendEvent(target, &event);
            break;
        }
        case 4: {
            const QPointF local(in.coordinate(), in.coordinate());
            QWheelEvent event(local,
                              target->mapToGlobal(local),
                              QPoint(),
                              QPoint(0, in.number(240) - 120),
                              Qt::NoButton,
                              Qt::NoModifier,
                              Qt::NoScrollPhase,
                              false);
            QCoreApplication::sendEvent(target, &event);
            break;
        }
        default: {
            // An event of a tracked type that is not of Qt's class for it. QApplication::notify
            // itself reads most such events as their class, so it goes to the filter directly.
            QEvent event(plainTypes[in.byte() % (sizeof(plainTypes) / sizeof(plainTypes[0]))]);
            SentrelTrackerImpl::instance()->currentEventFilter()->eventFilter(target, &event);
            break;
        }
        }
    }
    // Let the worker catch up now and then, so that the queue stays bounded.
    if (++inputs % 500 == 0) {
        SentrelTrackerImpl::instance()->setEnabled(false);
        enableCapture();
    }
    return 0;
}
