#ifndef TESSARO_TST_HOSTSTATE_H
#define TESSARO_TST_HOSTSTATE_H

#include <QObject>

// The host state record, its set-up operations and the four callbacks, against the
// scriptable test driver.
class TestHostState : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void eightByEightDeviceGetsTwoPlusTwoBuffers();
    void twoInputsNoOutputsGiveTwoCallsPerSwitch();
    void switchesFromADriverThreadAlternateHalves();
    void failedPositionQueryStillDeliversBuffers();
    void timeInfoRecordIsCopied();
    void ignoresBadHalvesAndMissingProcessor();
    void asioMessageReplies();
    void resetRequestReachesTheProcessor();
    void candidateTextsFollowTheDriver();
    void staticDataReportsTheFirstFailingQuery();
    void bufferCreationReportsTheFailingCall();
};

#endif
