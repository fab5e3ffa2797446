#ifndef TESSARO_TST_DRIVERREGISTRY_H
#define TESSARO_TST_DRIVERREGISTRY_H

#include <QObject>

// The driver list over registry files written by the test, loading through the load list,
// and the host operations' behaviour without a driver.
class TestDriverRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listsBuiltinsThenFileKeysInOrder();
    void shortensAndBoundsNames();
    void skipsBrokenKeysSilently();
    void findsClassIdsInAnyLetterCase();
    void emptyRegistryStartsNoRuntime();
    void reportsBadLinesAndKeepsTheRest();
    void openAndCloseAnswerTheirCodes();
    void destructionReleasesOpenInstances();

    void loadingTheCurrentDriverReopensIt();
    void failedLoadRestoresThePreviousDriver();
    void unknownNameLeavesTheCurrentDriver();
    void loadsOnlyTheShortenedLongName();
    void hostOperationsWithoutDriver();
    void failedInitFillsTheErrorMessage();
    void successfulInitFillsTheDriverInfo();
    void loadsADriverModule();
};

#endif
