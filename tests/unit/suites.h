// Several QtTest classes in one executable, so that a folder builds and
// links once: each file registers its class with ZAVO_SUITE, one file adds
// ZAVO_SUITES_MAIN, and the classes run in turn with the same arguments.
#pragma once

#include <QTest>

#include <functional>
#include <memory>
#include <vector>

inline std::vector<std::function<QObject *()>> &zavoSuites()
{
    static std::vector<std::function<QObject *()>> all;
    return all;
}

#define ZAVO_SUITE(Class) \
    [[maybe_unused]] static const bool zavoSuite##Class = \
        (zavoSuites().push_back([] { return static_cast<QObject *>(new Class); }), true);

#define ZAVO_SUITES_MAIN(Application) \
    int main(int argc, char *argv[]) \
    { \
        QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true); \
        Application app(argc, argv); \
        int failed = 0; \
        for (const auto &make : zavoSuites()) { \
            const std::unique_ptr<QObject> suite(make()); \
            failed += QTest::qExec(suite.get(), argc, argv); \
        } \
        return failed > 0 ? 1 : 0; \
    }
