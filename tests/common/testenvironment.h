// SPDX-License-Identifier: MIT
#ifndef TESTENVIRONMENT_H
#define TESTENVIRONMENT_H

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QtGlobal>

#include <cstdlib>

// Points HOME and the XDG directories at a private directory before the application object
// exists, so that a test binary run by hand never touches the user's files either. Under CTest
// the directory is already private; the call then keeps it.
inline void sentrelUsePrivateHome()
{
    if (qEnvironmentVariableIsEmpty("SENTREL_TEST_HOME_SET")) {
        const QByteArray home = QDir::tempPath().toUtf8() + "/sentrel-test-home-"
                + QByteArray::number(QCoreApplication::applicationPid());
        QDir().mkpath(QString::fromUtf8(home));
        qputenv("HOME", home);
        qputenv("XDG_CONFIG_HOME", home + "/.config");
        qputenv("XDG_DATA_HOME", home + "/.local/share");
        qputenv("XDG_CACHE_HOME", home + "/.cache");
        qputenv("XDG_CONFIG_DIRS", home + "/etc/xdg");
        qputenv("XDG_DATA_DIRS", home + "/usr/share");
        qputenv("SENTREL_TEST_HOME_SET", "1");
    }
    // Only the tests of install and update events see them (the test-only build reads this).
    qputenv("SENTREL_NO_VERSION_EVENTS", "1");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// A QtTest main that sets up the private environment before the application object.
#define SENTREL_TEST_MAIN(TestObject, Application) \
  int main(int argc, char *argv[])                 \
  {                                                \
    sentrelUsePrivateHome();                       \
    QStandardPaths::setTestModeEnabled(true);      \
    Application app(argc, argv);                   \
    TestObject test;                               \
    return QTest::qExec(&test, argc, argv);        \
  }

#endif // TESTENVIRONMENT_H
