#ifndef TESSARO_IASIO_H
#define TESSARO_IASIO_H

#include "asio.h"

// The driver object the host talks to. On Windows this is a COM in-process server; here an
// instance comes from a built-in class table or from a shared library's exported factory
// (see AsioPlatform). Reference counting mirrors COM: the creator holds one reference and
// gives it back with Release(), which destroys the driver when the count reaches zero.
//
// Threads: every operation is called on the host's GUI thread, except getSamplePosition and
// outputReady, which the host also calls from inside the driver's own buffer-switch callback.
class IASIO
{
public:
    virtual unsigned long AddRef() = 0;
    virtual unsigned long Release() = 0;

    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0; // 32 bytes, NUL-terminated
    virtual long getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0; // 124 bytes, NUL-terminated
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(long* numInputChannels, long* numOutputChannels) = 0;
    virtual ASIOError getLatencies(long* inputLatency, long* outputLatency) = 0;
    virtual ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                    long* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) = 0;
    virtual ASIOError setClockSource(long reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(long selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;

protected:
    virtual ~IASIO() = default;
};

// The one C function a driver module (shared library) exports. It returns a new instance with
// one reference held by the caller, or null when the module does not provide the class.
extern "C" typedef IASIO* (*TessaroCreateAsioDriverFn)(const char* clsid);
#define TESSARO_ASIO_DRIVER_FACTORY "tessaroCreateAsioDriver"

#endif
