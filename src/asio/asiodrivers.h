#ifndef TESSARO_ASIODRIVERS_H
#define TESSARO_ASIODRIVERS_H

#include "iasio.h"

#include <QByteArray>
#include <QList>
#include <cstdint>

// Driver names are handed out through buffers of this many bytes, the NUL included.
constexpr int kAsioDriverNameSize = 32;

// The name a driver is listed under, so that it fits a handed-out name buffer whole and is
// unique: name + suffix when that fits and is free, else shorter + suffix, else (when neither
// fits) the start of name with a tag derived from all of it ("<start>~1a2b" + suffix); the
// first of these numbered (" 2", " 3" ...) when all are taken.
// A cut name could equal another's and is not the name the user knows, so names are never cut.
// Extends taken.
QByteArray listedDriverName(const QByteArray& name, const QByteArray& shorter,
                            const QByteArray& suffix, QList<QByteArray>* taken);

// A 16-byte class identifier, as parsed from the registry's "clsid" text.
struct AsioClassId
{
    uint8_t bytes[16];
};

struct AsioDriverEntry
{
    int id = 0;
    AsioClassId clsid{};
    char serverPath[512] = {};
    char name[128] = {};
    IASIO* instance = nullptr;
    AsioDriverEntry* next = nullptr;
};

enum
{
    DRVERR_INVALID_PARAM = -5001,
    DRVERR_DEVICE_ALREADY_OPEN = -5002,
    DRVERR_DEVICE_NOT_FOUND = -5003
};

// The installed drivers, read from the registry (through AsioPlatform) at construction and at
// each rescan, and the one that is current. Owns its entries and every instance an entry holds.
// A description that does not fit a handed-out name is listed under the driver's key name, or
// a tagged short form of it (listedDriverName).
//
// Threads: GUI thread only.
class AsioDrivers
{
public:
    AsioDrivers();
    AsioDrivers(const AsioDrivers&) = delete;
    AsioDrivers& operator=(const AsioDrivers&) = delete;
    virtual ~AsioDrivers();

    virtual int entryCount() const;
    virtual long entryName(int id, char* buffer, int size) const;
    virtual long entryNames(char** names, long max) const;
    virtual long openDriver(int id, IASIO** driver);
    virtual long closeDriver(int id);
    virtual bool loadDriver(const char* name);
    virtual void removeCurrentDriver();
    // Reads the registry again, for drivers installed (cards plugged in) since; every open
    // instance is released first, so the caller has none in use.
    virtual void rescan();

private:
    void readRegistry();
    void clear();
    AsioDriverEntry* entry(int id) const;
    void appendEntry(const AsioClassId& clsid, const char* description, const char* keyName);

    AsioDriverEntry* m_first = nullptr;
    int m_count = 0;
    int m_currentId = -1;
    bool m_runtimeStarted = false;
};

// The driver the host operations forward to; null when none. Changes only while the driver is
// not streaming, so the driver thread may read it without a lock.
extern IASIO* currentAsioDriver;

// Loads a driver by name through the process-wide load list (created on first use).
bool loadAsioDriver(const char* name);
// Reads the load list's registry again; refused (false) while a driver is current.
bool rescanAsioDrivers();

// Host operations over the current driver; each answers ASE_NotPresent without one.
ASIOError ASIOInit(ASIODriverInfo* info);
ASIOError ASIOExit();
ASIOError ASIOStart();
ASIOError ASIOStop();
ASIOError ASIOGetChannels(long* numInputChannels, long* numOutputChannels);
ASIOError ASIOGetLatencies(long* inputLatency, long* outputLatency);
ASIOError ASIOGetBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity);
ASIOError ASIOCanSampleRate(ASIOSampleRate sampleRate);
ASIOError ASIOGetSampleRate(ASIOSampleRate* currentRate);
ASIOError ASIOSetSampleRate(ASIOSampleRate sampleRate);
ASIOError ASIOGetSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp);
ASIOError ASIOGetChannelInfo(ASIOChannelInfo* info);
ASIOError ASIOCreateBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks);
ASIOError ASIODisposeBuffers();
ASIOError ASIOFuture(long selector, void* params);
ASIOError ASIOOutputReady();

#endif
