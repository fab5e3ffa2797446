#include "asiohoststate.h"

#include "asiodrivers.h"
#include "audiorates.h"
#include "diagnosticsink.h"

#include <QtGlobal>
#include <cstring>

namespace {

const long kMaxBuffersPerDirection = 2;

long replyToSelectorSupported(long value)
{
    switch (value) {
    case kAsioEngineVersion:
    case kAsioResetRequest:
    case kAsioResyncRequest:
    case kAsioLatenciesChanged:
    case kAsioSupportsTimeInfo:
    case kAsioSupportsTimeCode:
    case kAsioSupportsInputMonitor:
        return 1;
    default:
        return 0;
    }
}

} // namespace

AsioHostState* AsioHostState::instance()
{
    static AsioHostState* state = new AsioHostState;
    return state;
}

void AsioHostState::setBufferProcessor(AudioBufferProcessor* p)
{
    processor = p;
}

void AsioHostState::bufferSwitch(long index, ASIOBool processNow)
{
    ASIOTime timeInfo;
    memset(&timeInfo, 0, sizeof timeInfo);
    if (ASIOGetSamplePosition(&timeInfo.timeInfo.samplePosition, &timeInfo.timeInfo.systemTime) ==
        ASE_OK)
        timeInfo.timeInfo.flags = kSystemTimeValid | kSamplePositionValid;
    bufferSwitchTimeInfo(&timeInfo, index, processNow);
}

ASIOTime* AsioHostState::bufferSwitchTimeInfo(ASIOTime* timeInfo, long index, ASIOBool)
{
    if (index != 0 && index != 1)
        return nullptr;
    AsioHostState* s = instance();
    if (timeInfo)
        s->lastTimeInfo = *timeInfo;
    else
        memset(&s->lastTimeInfo, 0, sizeof s->lastTimeInfo);
    const AsioTimeInfo& t = s->lastTimeInfo.timeInfo;
    s->lastSystemTimeNs = (t.flags & kSystemTimeValid) ? asioValueToDouble(t.systemTime) : 0.0;
    s->lastSamplePosition =
        (t.flags & kSamplePositionValid) ? asioValueToDouble(t.samplePosition) : 0.0;
    const ASIOTimeCode& tc = s->lastTimeInfo.timeCode;
    s->lastTimeCodeSamples = (tc.flags & kTcValid) ? asioValueToDouble(tc.timeCodeSamples) : 0.0;

    const long count = qMin(s->inputBufferCount + s->outputBufferCount, 4L);
    for (long k = 0; s->processor && k < count; ++k) {
        const ASIOBufferInfo& info = s->bufferInfos[k];
        if (info.isInput != ASIOTrue || !info.buffers[index])
            continue;
        s->processor->processBuffer(static_cast<unsigned char*>(info.buffers[index]), k,
                                    s->channelInfos[k].type, s->preferredBufferSize, index);
    }
    if (s->outputReadySupported)
        ASIOOutputReady();
    return nullptr;
}

long AsioHostState::asioMessage(long selector, long value, void*, double*)
{
    switch (selector) {
    case kAsioSelectorSupported:
        return replyToSelectorSupported(value);
    case kAsioEngineVersion:
        return 2;
    case kAsioResetRequest:
        if (AudioBufferProcessor* p = instance()->processor)
            p->driverResetRequested();
        return 1;
    case kAsioResyncRequest:
        if (AudioBufferProcessor* p = instance()->processor)
            p->driverResyncRequested();
        return 1;
    case kAsioLatenciesChanged:
    case kAsioSupportsTimeInfo:
        return 1;
    default:
        return 0;
    }
}

void AsioHostState::sampleRateDidChange(ASIOSampleRate rate)
{
    DiagnosticSink::line("CALLBACK: sample rate changed to %f", rate);
}

void AsioHostState::installAsioCallbacks()
{
    callbacks.bufferSwitch = &AsioHostState::bufferSwitch;
    callbacks.sampleRateDidChange = &AsioHostState::sampleRateDidChange;
    callbacks.asioMessage = &AsioHostState::asioMessage;
    callbacks.bufferSwitchTimeInfo = &AsioHostState::bufferSwitchTimeInfo;
}

ASIOError AsioHostState::createAsioBuffers(AsioDriverData& d)
{
    d.inputBufferCount =
        qBound(0L, d.inputChannelCount - d.firstInputChannel, kMaxBuffersPerDirection);
    d.outputBufferCount = qBound(0L, d.outputChannelCount, kMaxBuffersPerDirection);
    const long total = d.inputBufferCount + d.outputBufferCount;
    // Entries beyond this driver's channels must not keep a previous driver's freed buffers.
    for (long k = total; k < long(sizeof d.bufferInfos / sizeof d.bufferInfos[0]); ++k)
        d.bufferInfos[k] = ASIOBufferInfo{};
    for (long k = 0; k < total; ++k) {
        ASIOBufferInfo& info = d.bufferInfos[k];
        const bool input = k < d.inputBufferCount;
        info.isInput = input ? ASIOTrue : ASIOFalse;
        info.channelNum = input ? d.firstInputChannel + k : k - d.inputBufferCount;
        info.buffers[0] = info.buffers[1] = nullptr;
    }
    const ASIOError created =
        ASIOCreateBuffers(d.bufferInfos, total, d.preferredBufferSize, &callbacks);
    if (created != ASE_OK)
        return created;
    for (long k = 0; k < total; ++k) {
        d.channelInfos[k].channel = d.bufferInfos[k].channelNum;
        d.channelInfos[k].isInput = d.bufferInfos[k].isInput;
        const ASIOError info = ASIOGetChannelInfo(&d.channelInfos[k]);
        if (info != ASE_OK)
            return info;
    }
    const ASIOError latencies = ASIOGetLatencies(&d.inputLatency, &d.outputLatency);
    if (latencies == ASE_OK) {
        DiagnosticSink::line("ASIOGetLatencies (input: %d, output: %d);", int(d.inputLatency),
                             int(d.outputLatency));
    }
    return latencies;
}

int initAsioStaticData(AsioDriverData& d)
{
    if (ASIOGetChannels(&d.inputChannelCount, &d.outputChannelCount) != ASE_OK)
        return -1;
    if (ASIOGetBufferSize(&d.minBufferSize, &d.maxBufferSize, &d.preferredBufferSize,
                          &d.bufferSizeGranularity) != ASE_OK)
        return -2;
    if (ASIOGetSampleRate(&d.sampleRate) != ASE_OK)
        return -3;
    d.outputReadySupported = ASIOOutputReady() == ASE_OK;
    DiagnosticSink::line("ASIOOutputReady(); - %s",
                         d.outputReadySupported ? "Supported" : "Not supported");
    return 0;
}

QStringList sampleRateCandidates()
{
    QStringList candidates;
    for (double standard : AudioRates::kStandard) {
        const QString rate = QString::number(standard, 'f', 1);
        if (ASIOCanSampleRate(rate.toDouble()) == ASE_OK)
            candidates << rate;
        else
            candidates << QStringLiteral("%1 not supported").arg(rate);
    }
    return candidates;
}
