// SPDX-License-Identifier: MIT
// sentrel-cache: shows what an event cache holds, without changing the file.
#include "cacheinspector.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>

#ifdef Q_OS_WIN
#  include <fcntl.h>
#  include <io.h>
#endif

namespace {
// The most of one row that --events prints: far above a real event (a few KiB to tens of KiB),
// yet a damaged or hostile row cannot flood the terminal or the pipe.
constexpr qsizetype rowLimit = 1024 * 1024;

void write(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sentrel-cache"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Shows the contents of a Sentrel Tracker event cache (SentrelTracker.db). The file is\n"
            "opened read-only and is never changed, also while the tracker is using it."));
    parser.addHelpOption();
    const QCommandLineOption events(
            QStringLiteral("events"),
            QStringLiteral("Print every event, decoded, as one JSON object per line, "
                           "instead of the summary. A row longer than 1 MiB (1048576 bytes) "
                           "is cut there, saying how much was left out."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the summary as one JSON object."));
    parser.addOption(events);
    parser.addOption(json);
    parser.addPositionalArgument(
            QStringLiteral("cache"),
            QStringLiteral("The cache file, or the storage directory that holds it."));
    parser.process(app);

    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 1) {
        std::fprintf(stderr, "sentrel-cache: give one cache file (see --help)\n");
        return 1;
    }

    CacheInspector inspector;
    if (!inspector.open(arguments.first())) {
        std::fprintf(stderr, "sentrel-cache: %s\n", qPrintable(inspector.errorString()));
        return 1;
    }

    if (parser.isSet(events)) {
#ifdef Q_OS_WIN
        // Byte for byte there too: in text mode each line would end in CR LF.
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        qint64 unprinted = 0; // rows not printed whole
        const bool read = inspector.forEachEvent([&unprinted](qint64 id,
                                                              const QByteArray &event,
                                                              bool decoded) {
            if (!decoded) {
                ++unprinted;
                std::fprintf(stderr,
                             "sentrel-cache: row %lld does not decode to an event (%lld bytes)\n",
                             static_cast<long long>(id),
                             static_cast<long long>(event.size()));
                return;
            }
            // Stored events are compact JSON already: print them byte for byte.
            if (event.size() <= rowLimit) {
                write(stdout, event + '\n');
                return;
            }
            // Cut before a UTF-8 sequence rather than through it.
            qsizetype cut = rowLimit;
            while (cut > rowLimit - 3 && (uchar(event.at(cut)) & 0xc0) == 0x80)
                --cut;
            write(stdout, event.left(cut) + '\n');
            ++unprinted;
            std::fprintf(stderr,
                         "sentrel-cache: row %lld is cut after %lld bytes; bytes left out: %lld\n",
                         static_cast<long long>(id),
                         static_cast<long long>(cut),
                         static_cast<long long>(event.size() - cut));
        });
        if (!read) {
            std::fprintf(stderr, "sentrel-cache: %s\n", qPrintable(inspector.errorString()));
            return 1;
        }
        return unprinted ? 2 : 0;
    }

    const CacheInspector::Summary summary = inspector.summary();
    if (parser.isSet(json))
        write(stdout, QJsonDocument(summary.toJson()).toJson(QJsonDocument::Compact) + '\n');
    else
        write(stdout, summary.toText().toUtf8() + '\n');
    return 0;
}
