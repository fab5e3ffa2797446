#include "asiotestfixture.h"
#include "tst_driverregistry.h"
#include "tst_hoststate.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir workDir;
    if (!workDir.isValid())
        return 1;
    AsioTestFixture::setUp(workDir.path());
    int failures = 0;
    {
        TestDriverRegistry test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        TestHostState test;
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures;
}
