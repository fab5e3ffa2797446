#include "asiodrivers.h"

#include "asioclassid.h"
#include "asioplatform.h"
#include "asiotext.h"

#include <QtGlobal>
#include <cstring>

IASIO* currentAsioDriver = nullptr;

namespace {

const int kHandedOutNameSize = kAsioDriverNameSize;
const ASIOError kNotPresent = ASE_NotPresent;
const int kMaxClsidTextLength = 100;

void lowercaseAscii(char* text)
{
    for (; *text; ++text) {
        if (*text >= 'A' && *text <= 'Z')
            *text = char(*text - 'A' + 'a');
    }
}

// True when the class key's "InprocServer32" default value names an existing file.
bool serverOfClassExists(AsioPlatform& platform, AsioPlatform::Key classKey)
{
    AsioPlatform::Key serverKey;
    if (!platform.openSubKey(classKey, "InprocServer32", &serverKey))
        return false;
    char serverPath[512];
    const bool found = platform.queryStringValue(serverKey, "", serverPath, sizeof serverPath) &&
                       platform.fileExists(serverPath);
    platform.closeKey(serverKey);
    return found;
}

// Lowercases clsidText in place and looks it up under "clsid" of the classes root; the first
// key of equal name decides.
bool findClass(AsioPlatform& platform, char* clsidText)
{
    lowercaseAscii(clsidText);
    AsioPlatform::Key classes;
    if (!platform.openKey(AsioPlatform::Root::ClassesRoot, "clsid", &classes))
        return false;
    bool found = false;
    char name[512];
    for (int index = 0;; ++index) {
        const AsioPlatform::EnumResult r = platform.enumKey(classes, index, name, sizeof name);
        if (r == AsioPlatform::EnumResult::End)
            break;
        if (r == AsioPlatform::EnumResult::NameTooLong)
            continue;
        lowercaseAscii(name);
        if (strcmp(name, clsidText) != 0)
            continue;
        AsioPlatform::Key classKey;
        if (platform.openSubKey(classes, name, &classKey)) {
            found = serverOfClassExists(platform, classKey);
            platform.closeKey(classKey);
        }
        break;
    }
    platform.closeKey(classes);
    return found;
}

AsioDrivers* loadList = nullptr;

// FNV-1a: the same tag for the same name in every run, unlike qHash.
quint32 stableHash(const QByteArray& text)
{
    quint32 h = 2166136261u;
    for (char c : text)
        h = (h ^ quint8(c)) * 16777619u;
    return h;
}

// The start of name and "~" with four hex digits of the whole name, in room bytes.
QByteArray taggedName(const QByteArray& name, int room)
{
    const QByteArray tag =
        '~' + QByteArray::number(stableHash(name) & 0xffff, 16).rightJustified(4, '0');
    return name.left(qMax(0, room - tag.size())).trimmed() + tag;
}

} // namespace

QByteArray listedDriverName(const QByteArray& name, const QByteArray& shorter,
                            const QByteArray& suffix, QList<QByteArray>* taken)
{
    const int room = kAsioDriverNameSize - 1 - suffix.size();
    QList<QByteArray> candidates;
    if (name.size() <= room)
        candidates << name;
    if (!shorter.isEmpty() && shorter.size() <= room)
        candidates << shorter;
    if (candidates.isEmpty())
        candidates << taggedName(name, room);
    const QByteArray first = candidates.first();
    for (int n = 2;; ++n) {
        for (const QByteArray& candidate : qAsConst(candidates)) {
            if (!taken->contains(candidate + suffix)) {
                taken->append(candidate + suffix);
                return candidate + suffix;
            }
        }
        const QByteArray number = ' ' + QByteArray::number(n);
        const int left = room - number.size();
        candidates = {(first.size() <= left ? first : taggedName(first, left)) + number};
    }
}

AsioDrivers::AsioDrivers()
{
    readRegistry();
}

void AsioDrivers::rescan()
{
    clear();
    readRegistry();
}

void AsioDrivers::readRegistry()
{
    AsioPlatform& platform = AsioPlatform::instance();
    AsioPlatform::Key asioKey;
    if (!platform.openKey(AsioPlatform::Root::LocalMachine, "software\\asio", &asioKey))
        return;
    char keyName[128];
    for (int index = 0;; ++index) {
        const AsioPlatform::EnumResult r =
            platform.enumKey(asioKey, index, keyName, sizeof keyName);
        if (r == AsioPlatform::EnumResult::End)
            break;
        if (r == AsioPlatform::EnumResult::NameTooLong) {
            qWarning("driver key %d under software\\asio has a name of more than 127 characters "
                     "and is left out of the driver list",
                     index);
            continue;
        }
        AsioPlatform::Key driverKey;
        if (!platform.openSubKey(asioKey, keyName, &driverKey))
            continue;
        char clsidText[256];
        if (platform.queryStringValue(driverKey, "clsid", clsidText, sizeof clsidText) &&
            findClass(platform, clsidText)) {
            AsioClassId clsid{};
            parseAsioClassId(clsidText, &clsid, kMaxClsidTextLength);
            char description[256];
            const bool described = platform.queryStringValue(driverKey, "description", description,
                                                             sizeof description);
            appendEntry(clsid, described ? description : keyName, keyName);
        }
        platform.closeKey(driverKey);
    }
    platform.closeKey(asioKey);
    if (m_count > 0 && !m_runtimeStarted)
        m_runtimeStarted = platform.startComponentRuntime();
}

AsioDrivers::~AsioDrivers()
{
    clear();
    if (m_runtimeStarted)
        AsioPlatform::instance().endComponentRuntime();
}

void AsioDrivers::clear()
{
    for (AsioDriverEntry* e = m_first; e; e = e->next)
        closeDriver(e->id);
    for (AsioDriverEntry* e = m_first; e;) {
        AsioDriverEntry* next = e->next;
        delete e;
        e = next;
    }
    m_first = nullptr;
    m_count = 0;
    m_currentId = -1;
}

void AsioDrivers::appendEntry(const AsioClassId& clsid, const char* description,
                              const char* keyName)
{
    QList<QByteArray> taken;
    for (AsioDriverEntry* e = m_first; e; e = e->next)
        taken << QByteArray(e->name);
    auto* e = new AsioDriverEntry;
    e->id = m_count;
    e->clsid = clsid;
    const QByteArray name = listedDriverName(QByteArray(description).left(sizeof e->name - 1),
                                             QByteArray(keyName), QByteArray(), &taken);
    copyAsioText(e->name, sizeof e->name, name.constData());
    AsioDriverEntry** tail = &m_first;
    while (*tail)
        tail = &(*tail)->next;
    *tail = e;
    ++m_count;
}

AsioDriverEntry* AsioDrivers::entry(int id) const
{
    for (AsioDriverEntry* e = m_first; e; e = e->next) {
        if (e->id == id)
            return e;
    }
    return nullptr;
}

int AsioDrivers::entryCount() const
{
    return m_count;
}

long AsioDrivers::entryName(int id, char* buffer, int size) const
{
    if (!buffer || size < 1)
        return DRVERR_INVALID_PARAM;
    const AsioDriverEntry* e = entry(id);
    if (!e)
        return DRVERR_DEVICE_NOT_FOUND;
    const size_t capacity = size_t(size);
    if (strlen(e->name) < capacity) {
        copyAsioText(buffer, capacity, e->name);
        return 0;
    }
    const size_t kept = capacity > 4 ? capacity - 4 : 0;
    memcpy(buffer, e->name, kept);
    copyAsioText(buffer + kept, capacity - kept, "...");
    return 0;
}

long AsioDrivers::entryNames(char** names, long max) const
{
    if (!names)
        return 0;
    const long n = qMin(long(m_count), max);
    for (long i = 0; i < n; ++i)
        entryName(int(i), names[i], kHandedOutNameSize);
    return qMax(n, 0L);
}

long AsioDrivers::openDriver(int id, IASIO** driver)
{
    if (!driver)
        return DRVERR_INVALID_PARAM;
    AsioDriverEntry* e = entry(id);
    if (!e)
        return DRVERR_DEVICE_NOT_FOUND;
    if (e->instance)
        return DRVERR_DEVICE_ALREADY_OPEN;
    IASIO* instance = nullptr;
    const long result = AsioPlatform::instance().createInstance(e->clsid, &instance);
    if (result != 0)
        return result;
    e->instance = instance;
    *driver = instance;
    return 0;
}

long AsioDrivers::closeDriver(int id)
{
    AsioDriverEntry* e = entry(id);
    if (e && e->instance) {
        e->instance->Release();
        e->instance = nullptr;
    }
    return 0;
}

bool AsioDrivers::loadDriver(const char* name)
{
    if (!name)
        return false;
    char entryText[kHandedOutNameSize];
    for (AsioDriverEntry* e = m_first; e; e = e->next) {
        entryName(e->id, entryText, sizeof entryText);
        if (strcmp(entryText, name) != 0)
            continue;
        char previous[kHandedOutNameSize] = {};
        if (entryName(m_currentId, previous, sizeof previous) != 0)
            previous[0] = '\0';
        removeCurrentDriver();
        if (openDriver(e->id, &currentAsioDriver) == 0) {
            m_currentId = e->id;
            return true;
        }
        currentAsioDriver = nullptr;
        if (previous[0] && strcmp(previous, name) != 0)
            loadDriver(previous);
        return false;
    }
    return false;
}

void AsioDrivers::removeCurrentDriver()
{
    if (m_currentId != -1)
        closeDriver(m_currentId);
    m_currentId = -1;
}

bool loadAsioDriver(const char* name)
{
    if (!loadList)
        loadList = new AsioDrivers;
    return loadList->loadDriver(name);
}

bool rescanAsioDrivers()
{
    if (currentAsioDriver)
        return false;
    if (loadList)
        loadList->rescan();
    return true;
}

ASIOError ASIOInit(ASIODriverInfo* info)
{
    if (!info)
        return ASE_InvalidParameter;
    info->driverVersion = 0;
    copyAsioText(info->name, sizeof info->name, "No ASIO Driver");
    if (!currentAsioDriver)
        return ASE_NotPresent;
    if (!currentAsioDriver->init(info->sysRef)) {
        char message[sizeof info->errorMessage] = {};
        currentAsioDriver->getErrorMessage(message);
        message[sizeof message - 1] = '\0';
        copyAsioText(info->errorMessage, sizeof info->errorMessage, message);
        currentAsioDriver = nullptr;
        return ASE_NotPresent;
    }
    copyAsioText(info->errorMessage, sizeof info->errorMessage, "No ASIO Driver Error");
    char name[sizeof info->name] = {};
    currentAsioDriver->getDriverName(name);
    name[sizeof name - 1] = '\0';
    copyAsioText(info->name, sizeof info->name, name);
    info->driverVersion = currentAsioDriver->getDriverVersion();
    return ASE_OK;
}

ASIOError ASIOExit()
{
    if (currentAsioDriver && loadList)
        loadList->removeCurrentDriver();
    currentAsioDriver = nullptr;
    return ASE_OK;
}

ASIOError ASIOStart()
{
    return currentAsioDriver ? currentAsioDriver->start() : kNotPresent;
}

ASIOError ASIOStop()
{
    return currentAsioDriver ? currentAsioDriver->stop() : kNotPresent;
}

ASIOError ASIOGetChannels(long* numInputChannels, long* numOutputChannels)
{
    if (currentAsioDriver)
        return currentAsioDriver->getChannels(numInputChannels, numOutputChannels);
    if (numInputChannels)
        *numInputChannels = 0;
    if (numOutputChannels)
        *numOutputChannels = 0;
    return ASE_NotPresent;
}

ASIOError ASIOGetLatencies(long* inputLatency, long* outputLatency)
{
    if (currentAsioDriver)
        return currentAsioDriver->getLatencies(inputLatency, outputLatency);
    if (inputLatency)
        *inputLatency = 0;
    if (outputLatency)
        *outputLatency = 0;
    return ASE_NotPresent;
}

ASIOError ASIOGetBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity)
{
    if (currentAsioDriver)
        return currentAsioDriver->getBufferSize(minSize, maxSize, preferredSize, granularity);
    for (long* value : {minSize, maxSize, preferredSize, granularity}) {
        if (value)
            *value = 0;
    }
    return ASE_NotPresent;
}

ASIOError ASIOCanSampleRate(ASIOSampleRate sampleRate)
{
    return currentAsioDriver ? currentAsioDriver->canSampleRate(sampleRate) : kNotPresent;
}

ASIOError ASIOGetSampleRate(ASIOSampleRate* currentRate)
{
    return currentAsioDriver ? currentAsioDriver->getSampleRate(currentRate) : kNotPresent;
}

ASIOError ASIOSetSampleRate(ASIOSampleRate sampleRate)
{
    return currentAsioDriver ? currentAsioDriver->setSampleRate(sampleRate) : kNotPresent;
}

ASIOError ASIOGetSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    return currentAsioDriver ? currentAsioDriver->getSamplePosition(sPos, tStamp) : kNotPresent;
}

ASIOError ASIOGetChannelInfo(ASIOChannelInfo* info)
{
    if (currentAsioDriver)
        return currentAsioDriver->getChannelInfo(info);
    if (info) {
        info->channelGroup = -1;
        info->type = ASIOSTInt16MSB;
        copyAsioText(info->name, sizeof info->name, "None");
    }
    return ASE_NotPresent;
}

ASIOError ASIOCreateBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks)
{
    if (currentAsioDriver)
        return currentAsioDriver->createBuffers(bufferInfos, numChannels, bufferSize, callbacks);
    for (long i = 0; bufferInfos && i < numChannels; ++i)
        bufferInfos[i].buffers[0] = bufferInfos[i].buffers[1] = nullptr;
    return ASE_NotPresent;
}

ASIOError ASIODisposeBuffers()
{
    return currentAsioDriver ? currentAsioDriver->disposeBuffers() : kNotPresent;
}

ASIOError ASIOFuture(long selector, void* params)
{
    return currentAsioDriver ? currentAsioDriver->future(selector, params) : kNotPresent;
}

ASIOError ASIOOutputReady()
{
    return currentAsioDriver ? currentAsioDriver->outputReady() : kNotPresent;
}
