// Writes the generated library of LibraryGenerator.h as <folder>/library.json,
// for measuring the program itself on a large library (load_peak.sh).
//
//   bench_write_library <folder> [items, default 100000]

#include "LibraryGenerator.h"

#include "platform/FileCoordination.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: bench_write_library <folder> [items]\n");
        return 1;
    }
    bool counted = true;
    const int count = arguments.size() > 2 ? arguments.at(2).toInt(&counted) : 100000;
    if (!counted || count < 0) {
        std::fprintf(stderr, "bench_write_library: the item count is not a number\n");
        return 1;
    }
    const QString folder = arguments.at(1);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "bench_write_library: cannot make %s\n", qPrintable(folder));
        return 1;
    }
    try {
        vellora::writeFileAtomically(folder + QStringLiteral("/library.json"),
                                     benchlibrary::makeLibrary(count).encode());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "bench_write_library: %s\n", error.what());
        return 1;
    }
    return 0;
}
