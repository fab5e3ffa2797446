// A driver module as a third party would ship it: a shared library exporting the factory.
// It knows one class id, initializes and names itself; every other call answers ASE_NotPresent.

#include "iasio.h"

#include <cstring>

namespace {

const char* const kModuleClsid = "{9b1f3c2a-4d5e-4f60-8a7b-1c2d3e4f5a6b}";

class ModuleDriver : public IASIO
{
public:
    unsigned long AddRef() override { return ++m_refs; }
    unsigned long Release() override
    {
        const unsigned long left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }
    ASIOBool init(void*) override { return ASIOTrue; }
    void getDriverName(char* name) override { strcpy(name, "Module Driver"); }
    long getDriverVersion() override { return 7; }
    void getErrorMessage(char* string) override { strcpy(string, ""); }
    ASIOError start() override { return ASE_NotPresent; }
    ASIOError stop() override { return ASE_NotPresent; }
    ASIOError getChannels(long*, long*) override { return ASE_NotPresent; }
    ASIOError getLatencies(long*, long*) override { return ASE_NotPresent; }
    ASIOError getBufferSize(long*, long*, long*, long*) override { return ASE_NotPresent; }
    ASIOError canSampleRate(ASIOSampleRate) override { return ASE_NotPresent; }
    ASIOError getSampleRate(ASIOSampleRate*) override { return ASE_NotPresent; }
    ASIOError setSampleRate(ASIOSampleRate) override { return ASE_NotPresent; }
    ASIOError getClockSources(ASIOClockSource*, long*) override { return ASE_NotPresent; }
    ASIOError setClockSource(long) override { return ASE_NotPresent; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_NotPresent; }
    ASIOError getChannelInfo(ASIOChannelInfo*) override { return ASE_NotPresent; }
    ASIOError createBuffers(ASIOBufferInfo*, long, long, ASIOCallbacks*) override
    {
        return ASE_NotPresent;
    }
    ASIOError disposeBuffers() override { return ASE_NotPresent; }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(long, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_NotPresent; }

private:
    ~ModuleDriver() override = default;
    unsigned long m_refs = 1;
};

} // namespace

extern "C" __attribute__((visibility("default"))) IASIO* tessaroCreateAsioDriver(const char* clsid)
{
    return clsid && strcmp(clsid, kModuleClsid) == 0 ? new ModuleDriver : nullptr;
}
