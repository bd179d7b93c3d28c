// A target's rules over its committed seeds, without libFuzzer: the regular
// test build runs this, so every build checks the seeds, not only the fuzz
// run. A broken rule aborts with the rule's name, which fails the test.
#include "harness.h"

#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir folder(QFile::decodeName(argv[i]));
        for (const QString &name : folder.entryList(QDir::Files, QDir::Name)) {
            QFile file(folder.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
                return 1;
            }
            std::printf("%s\n", qPrintable(name));
            fuzzOne(file.readAll());
            ++inputs;
        }
    }
    std::printf("%d inputs, every rule held\n", inputs);
    return inputs > 0 ? 0 : 1; // no seeds found is no test
}
