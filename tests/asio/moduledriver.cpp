// A driver module as a third party would ship it: a shared library exporting the factory. It
// knows one class id, under which it offers the simulated device.

#include "simulateddriver.h"

#include <cstring>

extern "C" __attribute__((visibility("default"))) IASIO* tessaroCreateAsioDriver(const char* clsid)
{
    const bool known = clsid && strcmp(clsid, "{9b1f3c2a-4d5e-4f60-8a7b-1c2d3e4f5a6b}") == 0;
    return known ? new SimulatedDriver : nullptr;
}
