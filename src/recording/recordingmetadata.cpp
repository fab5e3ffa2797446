#include "recordingmetadata.h"

#include <QRandomGenerator>
#include <QtEndian>

namespace {

constexpr const char* kOriginator = "Tessaro Recorder";

// The text fields of these chunks are ASCII: anything else (or a control character) becomes
// '_', so a device name never makes a field longer than counted.
QByteArray ascii(const QString& text)
{
    QByteArray out;
    out.reserve(text.size());
    for (const QChar c : text)
        out += c.unicode() >= 0x20 && c.unicode() < 0x7f ? char(c.unicode()) : '_';
    return out;
}

// A fixed-length text field: cut to the length, the rest NUL.
void appendField(QByteArray& out, const QByteArray& text, int length)
{
    const QByteArray field = text.left(length);
    out += field;
    out += QByteArray(length - field.size(), '\0');
}

template <typename T> void appendLittle(QByteArray& out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian<T>(value, bytes);
    out.append(bytes, int(sizeof(T)));
}

template <typename T> void appendBig(QByteArray& out, T value)
{
    char bytes[sizeof(T)];
    qToBigEndian<T>(value, bytes);
    out.append(bytes, int(sizeof(T)));
}

// ID3v2 sizes keep the high bit of every byte clear: 7 bits per byte, 28 in all.
void appendSynchsafe(QByteArray& out, quint32 value)
{
    for (int shift = 21; shift >= 0; shift -= 7)
        out += char((value >> shift) & 0x7f);
}

// An ID3v2.4 frame without flags; its content starts with the UTF-8 encoding byte.
QByteArray id3Frame(const char* id, const QByteArray& utf8Content)
{
    QByteArray frame(id, 4);
    appendSynchsafe(frame, quint32(utf8Content.size() + 1));
    frame += QByteArray(2, '\0');
    frame += char(3);
    frame += utf8Content;
    return frame;
}

} // namespace

RecordingMetadata::RecordingMetadata(const QDateTime& start, const QString& device,
                                     const QString& reference)
    : enabled(true), start(start), device_(device), reference(reference)
{}

RecordingMetadata RecordingMetadata::startingNow(const QString& device)
{
    const QDateTime now = QDateTime::currentDateTime();
    const QString reference =
        QStringLiteral("TR%1%2")
            .arg(now.toString(QStringLiteral("yyyyMMddHHmmsszzz")))
            .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    return RecordingMetadata(now, device, reference);
}

bool RecordingMetadata::isEnabled() const
{
    return enabled;
}

RecordingMetadata RecordingMetadata::advancedBy(qint64 samplesPerChannel) const
{
    RecordingMetadata next = *this;
    next.samplesBefore += samplesPerChannel;
    return next;
}

QDateTime RecordingMetadata::firstSample(int rate) const
{
    return rate > 0 ? start.addMSecs(samplesBefore * 1000 / rate) : start;
}

// Counted from the start's midnight and taken modulo a day, so a part that begins after the
// next midnight counts from that one, as its origination date says.
qint64 RecordingMetadata::samplesSinceMidnight(int rate) const
{
    if (rate <= 0)
        return 0;
    const qint64 startSamples = qint64(start.time().msecsSinceStartOfDay()) * rate / 1000;
    return (startSamples + samplesBefore) % (qint64(86400) * rate);
}

QByteArray RecordingMetadata::bextChunk(int rate, int channels, int bits) const
{
    if (!enabled)
        return {};
    const QDateTime first = firstSample(rate);
    const quint64 reference64 = quint64(samplesSinceMidnight(rate));
    QByteArray body;
    appendField(body, {}, 256); // description
    appendField(body, kOriginator, 32);
    appendField(body, ascii(reference), 32);
    appendField(body, ascii(first.toString(QStringLiteral("yyyy-MM-dd"))), 10);
    appendField(body, ascii(first.toString(QStringLiteral("HH:mm:ss"))), 8);
    appendLittle<quint32>(body, quint32(reference64 & 0xffffffffu));
    appendLittle<quint32>(body, quint32(reference64 >> 32));
    appendLittle<quint16>(body, 1);     // version
    body += QByteArray(64 + 190, '\0'); // UMID, reserved
    body += ascii(QStringLiteral("A=PCM,F=%1,W=%2,M=%3,T=%4; %5")
                      .arg(rate)
                      .arg(bits)
                      .arg(channels == 2   ? QStringLiteral("stereo")
                           : channels == 1 ? QStringLiteral("mono")
                                           : QStringLiteral("multichannel"))
                      .arg(QString::fromLatin1(Software), device_)) +
            "\r\n";
    if (body.size() % 2)
        body += '\0';
    QByteArray chunk("bext");
    appendLittle<quint32>(chunk, quint32(body.size()));
    return chunk + body;
}

QByteArray RecordingMetadata::id3v2Tag(int rate) const
{
    if (!enabled)
        return {};
    const QString date = firstSample(rate).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    const QByteArray frames = id3Frame("TDRC", date.toUtf8()) + id3Frame("TSSE", Software) +
                              id3Frame("TXXX", "device" + QByteArray(1, '\0') + device_.toUtf8());
    QByteArray tag("ID3\x04\x00\x00", 6);
    appendSynchsafe(tag, quint32(frames.size()));
    return tag + frames;
}

QByteArray RecordingMetadata::comtChunk(int rate) const
{
    if (!enabled)
        return {};
    const QDateTime first = firstSample(rate);
    QByteArray text = ascii(QStringLiteral("Recorded %1 with %2 from %3")
                                .arg(first.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")),
                                     QString::fromLatin1(Software), device_));
    QByteArray body;
    appendBig<quint16>(body, 1); // one comment
    appendBig<quint16>(body, quint16(first.date().year()));
    body += char(first.date().month());
    body += char(first.date().day());
    body += char(first.time().hour());
    body += char(first.time().minute());
    appendBig<quint16>(body, 0); // general comment
    appendBig<quint16>(body, 0);
    appendBig<quint32>(body, quint32(text.size()));
    body += text;
    if (text.size() % 2)
        body += '\0';
    QByteArray chunk("COMT");
    appendBig<quint64>(chunk, quint64(body.size()));
    return chunk + body;
}
