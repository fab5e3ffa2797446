#include "audiofilerepair.h"

#include <QFile>
#include <QFileInfo>
#include <QVector>
#include <QtEndian>
#include <unistd.h>

namespace {

using Outcome = AudioFileRepair::Outcome;

// What a format's reading of the header asks for: either a refusal, or the file as it is
// (complete), or new values for a few header fields and a new length.
struct Plan
{
    QString refusal;
    bool complete = false;
    qint64 length = 0;
    double seconds = 0.0;
    QVector<QPair<qint64, QByteArray>> patches;
};

// Chunks before the sound data are small; a header longer than this is not one of ours.
constexpr qint64 kHeadLimit = 1 << 20;
constexpr qint64 kDsfBlock = 4096;

class Header
{
public:
    Header(const QByteArray& bytes, qint64 fileLength) : bytes(bytes), length(fileLength) {}

    bool has(qint64 offset, qint64 size) const
    {
        return offset >= 0 && size >= 0 && offset + size <= bytes.size();
    }
    bool id(qint64 offset, const char* fourCc) const
    {
        return has(offset, 4) && bytes.mid(int(offset), 4) == QByteArray(fourCc, 4);
    }
    template <typename T> T le(qint64 offset) const
    {
        return has(offset, sizeof(T)) ? qFromLittleEndian<T>(bytes.constData() + offset) : T(0);
    }
    template <typename T> T be(qint64 offset) const
    {
        return has(offset, sizeof(T)) ? qFromBigEndian<T>(bytes.constData() + offset) : T(0);
    }

    const QByteArray bytes;
    const qint64 length;
};

template <typename T> QByteArray littleEndian(T value)
{
    QByteArray out(sizeof(T), Qt::Uninitialized);
    qToLittleEndian<T>(value, out.data());
    return out;
}

template <typename T> QByteArray bigEndian(T value)
{
    QByteArray out(sizeof(T), Qt::Uninitialized);
    qToBigEndian<T>(value, out.data());
    return out;
}

Plan refuse(const QString& reason)
{
    Plan plan;
    plan.refusal = reason;
    return plan;
}

Plan damaged(const char* field)
{
    return refuse(AudioFileRepair::tr("damaged header (%1)").arg(QString::fromLatin1(field)));
}

// A size field as a number, or -1 when it exceeds the limit (the file can hold no such thing).
qint64 sizeWithin(quint64 value, qint64 limit)
{
    return value <= quint64(limit) ? qint64(value) : -1;
}

qint64 roundDown(qint64 value, qint64 unit)
{
    return value - value % unit;
}

// Where "data" begins in a WAV file: at 36, or after the Broadcast WAVE "bext" chunk that the
// recorder puts there; -1 for any other chunk (a file we did not write).
qint64 wavDataChunk(const Header& h)
{
    if (!h.id(36, "bext"))
        return 36;
    const qint64 size = h.le<quint32>(40);
    if (size < 602 || size % 2 != 0 || !h.has(36, 8 + size + 8))
        return -1;
    return 44 + size;
}

Plan foreign(const QString& what)
{
    return refuse(AudioFileRepair::tr("not a recording of this program: %1").arg(what));
}

bool isChunkId(const Header& h, qint64 offset)
{
    if (!h.has(offset, 4))
        return false;
    for (int i = 0; i < 4; ++i) {
        const char c = h.bytes.at(int(offset) + i);
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// What shows a WAV to be another program's, though it may be perfectly valid: sample words
// other than integer PCM, a format chunk of another size, a chunk before the sound data. Empty
// when the layout is ours; a header that is damaged instead is left to the field checks.
QString foreignWavLayout(const Header& h)
{
    if (!h.id(12, "fmt "))
        return QString();
    const quint16 tag = h.le<quint16>(20);
    const bool extensible = tag == 0xfffe && h.le<quint32>(16) >= 40;
    const quint16 coding = extensible ? h.le<quint16>(44) : tag;
    if (coding == 3)
        return AudioFileRepair::tr("WAV of float samples");
    if (extensible)
        return AudioFileRepair::tr("WAV with an extensible format chunk");
    if (tag != 1)
        return AudioFileRepair::tr("WAV of format tag %1").arg(tag);
    const quint32 fmtSize = h.le<quint32>(16);
    if (fmtSize != 16)
        return AudioFileRepair::tr("WAV with a %1-byte format chunk").arg(fmtSize);
    // Our own "bext" may come first; the chunk after it must then be "data" too.
    const qint64 next = h.id(36, "bext") ? wavDataChunk(h) : 36;
    if (next >= 0 && isChunkId(h, next) && !h.id(next, "data"))
        return AudioFileRepair::tr("WAV with a %1 chunk")
            .arg(QString::fromLatin1(h.bytes.mid(int(next), 4)).trimmed());
    return QString();
}

// RIFF/WAVE with the canonical 44-byte header: "fmt " of plain PCM, maybe "bext", then "data".
Plan planWav(const Header& h)
{
    const QString other = foreignWavLayout(h);
    if (!other.isEmpty())
        return foreign(other);
    if (h.length < 44)
        return damaged("shorter than the 44-byte header");
    const quint16 channels = h.le<quint16>(22);
    const quint32 rate = h.le<quint32>(24);
    const quint16 blockAlign = h.le<quint16>(32);
    const quint16 bits = h.le<quint16>(34);
    if (!h.id(12, "fmt ") || h.le<quint32>(16) != 16 || h.le<quint16>(20) != 1)
        return damaged("fmt chunk");
    if (channels == 0 || rate == 0 || bits == 0 || bits % 8 != 0 || bits > 32 ||
        blockAlign != channels * bits / 8 || h.le<quint32>(28) != rate * blockAlign)
        return damaged("sample format");
    const qint64 chunk = wavDataChunk(h);
    if (chunk < 0 || !h.id(chunk, "data"))
        return damaged("data chunk");

    Plan plan;
    const qint64 start = chunk + 8;
    const qint64 declared = h.le<quint32>(chunk + 4);
    plan.complete = h.le<quint32>(4) + qint64(8) == h.length && start + declared <= h.length &&
                    declared % blockAlign == 0;
    const qint64 data = plan.complete ? declared : roundDown(h.length - start, blockAlign);
    if (data + start - 8 > qint64(0xffffffffu))
        return refuse(AudioFileRepair::tr("more data than a WAV header can count"));
    plan.length = plan.complete ? h.length : start + data;
    plan.seconds = double(data) / blockAlign / rate;
    plan.patches = {{4, littleEndian<quint32>(quint32(start - 8 + data))},
                    {chunk + 4, littleEndian<quint32>(quint32(data))}};
    return plan;
}

int dsfChannelsOfType(quint32 channelType)
{
    static const int channels[] = {0, 1, 2, 3, 4, 4, 5, 6};
    return channelType < 8 ? channels[channelType] : 0;
}

// DSF: "DSD ", "fmt " and "data" chunks of 28, 52 and 12 bytes, sample data in block groups.
Plan planDsf(const Header& h)
{
    if (h.length < 92)
        return damaged("shorter than the 92-byte header");
    if (h.le<quint64>(4) != 28 || !h.id(28, "fmt ") || h.le<quint64>(32) != 52 ||
        h.le<quint32>(40) != 1 || h.le<quint32>(44) != 0)
        return damaged("fmt chunk");
    const quint32 channels = h.le<quint32>(52);
    const quint32 rate = h.le<quint32>(56);
    const quint32 bits = h.le<quint32>(60);
    if (channels == 0 || int(channels) != dsfChannelsOfType(h.le<quint32>(48)) || rate == 0 ||
        (bits != 1 && bits != 8) || h.le<quint32>(72) != kDsfBlock)
        return damaged("sample format");
    if (!h.id(80, "data"))
        return damaged("data chunk");

    const qint64 group = kDsfBlock * channels;
    const qint64 samplesPerBlock = kDsfBlock * 8 / bits;
    const qint64 metadata = sizeWithin(h.le<quint64>(20), h.length);
    const qint64 declared = sizeWithin(h.le<quint64>(84), h.length) - 12;
    const qint64 declaredCount = sizeWithin(h.le<quint64>(64), h.length * 8);
    const qint64 declaredCapacity = declared / channels * 8 / bits;
    Plan plan;
    plan.complete = sizeWithin(h.le<quint64>(12), h.length) == h.length && declared >= 0 &&
                    declared % group == 0 &&
                    92 + declared == (metadata != 0 ? metadata : h.length) &&
                    declaredCount <= declaredCapacity &&
                    declaredCount > declaredCapacity - (declared > 0 ? samplesPerBlock : 1);
    if (plan.complete) {
        plan.length = h.length;
        plan.seconds = double(declaredCount) / rate;
        return plan;
    }
    if (metadata != 0)
        return refuse(AudioFileRepair::tr("a metadata chunk would be cut off"));
    const qint64 data = roundDown(h.length - 92, group);
    const qint64 count = data / channels * 8 / bits;
    plan.length = 92 + data;
    plan.seconds = double(count) / rate;
    plan.patches = {{12, littleEndian<quint64>(quint64(92 + data))},
                    {64, littleEndian<quint64>(quint64(count))},
                    {84, littleEndian<quint64>(quint64(data + 12))}};
    return plan;
}

// The sound properties of a DSDIFF "PROP" chunk: sample rate, channels, compression.
struct DffProperties
{
    quint32 rate = 0;
    quint16 channels = 0;
    bool uncompressed = false;
};

bool readDffProperties(const Header& h, qint64 begin, qint64 end, DffProperties& props)
{
    for (qint64 pos = begin; pos + 12 <= end;) {
        const qint64 size = sizeWithin(h.be<quint64>(pos + 4), end);
        if (size < 0 || size > end - pos - 12)
            return false;
        if (h.id(pos, "FS  ") && size == 4)
            props.rate = h.be<quint32>(pos + 12);
        if (h.id(pos, "CHNL") && size >= 2) {
            props.channels = h.be<quint16>(pos + 12);
            if (size != 2 + 4 * qint64(props.channels))
                return false;
        }
        if (h.id(pos, "CMPR"))
            props.uncompressed = h.id(pos + 12, "DSD ");
        pos += 12 + size + (size & 1);
    }
    return props.rate > 0 && props.channels > 0;
}

// DSDIFF: "FRM8" of type "DSD ", a version chunk, the properties, further local chunks, and
// the "DSD " sound data chunk, whose bytes run to the end of a file cut off by a crash.
Plan planDff(const Header& h)
{
    DffProperties props;
    bool version = false;
    qint64 pos = 16;
    for (;;) {
        if (!h.has(pos, 12))
            return damaged("no sound data chunk");
        const qint64 size = sizeWithin(h.be<quint64>(pos + 4), h.length);
        if (h.id(pos, "DSD "))
            break;
        if (size < 0 || size > h.length - pos - 12)
            return damaged("chunk size");
        if (h.id(pos, "FVER"))
            version = size == 4 && h.be<quint32>(pos + 12) >> 24 == 1;
        if (h.id(pos, "PROP") && !(h.id(pos + 12, "SND ") && h.has(pos, 12 + size) &&
                                   readDffProperties(h, pos + 16, pos + 12 + size, props)))
            return damaged("property chunk");
        pos += 12 + size + (size & 1);
    }
    if (!version)
        return damaged("format version");
    if (props.rate == 0)
        return damaged("property chunk");
    if (!props.uncompressed)
        return foreign(AudioFileRepair::tr("DSDIFF of compressed sound data"));

    const qint64 dataStart = pos + 12;
    const qint64 declared = sizeWithin(h.be<quint64>(pos + 4), h.length);
    Plan plan;
    plan.complete = sizeWithin(h.be<quint64>(4), h.length) == h.length - 12 && declared >= 0 &&
                    declared <= h.length - dataStart && declared % props.channels == 0;
    const qint64 data = plan.complete ? declared : roundDown(h.length - dataStart, props.channels);
    plan.length = plan.complete ? h.length : dataStart + data;
    plan.seconds = double(data) / props.channels * 8 / props.rate;
    plan.patches = {{4, bigEndian<quint64>(quint64(dataStart + data - 12))},
                    {pos + 4, bigEndian<quint64>(quint64(data))}};
    return plan;
}

Plan planFor(const Header& h)
{
    if (h.id(0, "RIFF") && h.id(8, "WAVE"))
        return planWav(h);
    if (h.id(0, "FRM8") && h.id(12, "DSD "))
        return planDff(h);
    if (h.id(0, "DSD "))
        return planDsf(h);
    return refuse(AudioFileRepair::tr("not a WAV, DSF or DSDIFF file"));
}

// The header first, then the length: cut off between the two, the file is repaired again.
bool apply(QFile& file, const Plan& plan)
{
    for (const auto& patch : plan.patches) {
        if (!file.seek(patch.first) || file.write(patch.second) != patch.second.size())
            return false;
    }
    return file.flush() && file.resize(plan.length) && ::fsync(file.handle()) == 0;
}

Plan readPlan(const QString& fileName)
{
    if (!QFileInfo(fileName).isFile())
        return refuse(QFileInfo::exists(fileName) ? AudioFileRepair::tr("not a file")
                                                  : AudioFileRepair::tr("no such file"));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(AudioFileRepair::tr("cannot be read: %1").arg(file.errorString()));
    return planFor(Header(file.read(kHeadLimit), file.size()));
}

} // namespace

AudioFileRepair::Result AudioFileRepair::inspect(const QString& fileName)
{
    Result result;
    const Plan plan = readPlan(fileName);
    if (!plan.refusal.isEmpty()) {
        result.reason = plan.refusal;
        return result;
    }
    if (!plan.complete) {
        result.reason = tr("its header does not count the data on the disk");
        return result;
    }
    result.outcome = Outcome::Complete;
    result.length = plan.length;
    result.seconds = plan.seconds;
    return result;
}

AudioFileRepair::Result AudioFileRepair::repair(const QString& fileName)
{
    Result result;
    const Plan plan = readPlan(fileName);
    if (!plan.refusal.isEmpty()) {
        result.reason = plan.refusal;
        return result;
    }
    result.length = plan.length;
    result.seconds = plan.seconds;
    if (plan.complete) {
        result.outcome = Outcome::Complete;
        return result;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadWrite) || !apply(file, plan)) {
        result.reason = tr("cannot be written: %1").arg(file.errorString());
        return result;
    }
    result.outcome = Outcome::Repaired;
    return result;
}

QString AudioFileRepair::describe(const QString& fileName, const Result& result)
{
    const QString seconds = QString::number(result.seconds, 'f', 1);
    switch (result.outcome) {
    case Outcome::Repaired:
        return tr("%1: repaired, now %2 bytes, %3 s of audio")
            .arg(fileName)
            .arg(result.length)
            .arg(seconds);
    case Outcome::Complete:
        return tr("%1: complete, left unchanged (%2 bytes, %3 s of audio)")
            .arg(fileName)
            .arg(result.length)
            .arg(seconds);
    case Outcome::Refused:
        break;
    }
    return tr("%1: not repaired, %2").arg(fileName, result.reason);
}
