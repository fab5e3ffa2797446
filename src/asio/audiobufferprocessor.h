#ifndef TESSARO_AUDIOBUFFERPROCESSOR_H
#define TESSARO_AUDIOBUFFERPROCESSOR_H

#include "asio.h"

// What the host layer calls from the driver's thread. Nothing is ever deleted through it.
class AudioBufferProcessor
{
public:
    // Driver thread, once per input buffer per buffer switch: no allocation, no I/O, no waits.
    virtual void processBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                               long bufferSize, long bufferIndex) = 0;
    // Driver thread, when the driver asks for a reset (device lost). Must return promptly.
    virtual void driverResetRequested() = 0;
    // Driver thread, when the driver lost samples and resynchronised (an overrun or underrun).
    // Must return promptly.
    virtual void driverResyncRequested() {}
};

#endif
