// SPDX-License-Identifier: MIT
// A configuration document from the network or a file: parsing must never crash, and a
// rejected document must leave the local configuration in force.
#include "qsentrelconfiguration_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <cstdint>
#include <cstdlib>

namespace {
QSentrelConfigurationPrivate *configuration = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv); // lives as long as the process
    QStandardPaths::setTestModeEnabled(true);
    QLoggingCategory::setFilterRules(QStringLiteral("sentrel*=false"));
    qputenv("SENTREL_CONFIG", "/nonexistent/sentrel.conf");
    configuration = new QSentrelConfigurationPrivate(nullptr);
    configuration->setServer(QStringLiteral("local.example"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray document(reinterpret_cast<const char *>(data), qsizetype(size));
    QSentrelConfigurationPrivate::ItemMap map;
    configuration->parseConfig(document, map);

    configuration->applyConfig(document);
    // Withdrawing whatever was applied must restore the local value.
    configuration->applyConfig(QByteArray());
    if (configuration->server() != QLatin1String("local.example"))
        std::abort();
    return 0;
}
