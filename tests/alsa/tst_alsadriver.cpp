// The ALSA driver without sound hardware: a private ALSA configuration (ALSA_CONFIG_PATH)
// defines PCMs from alsa-lib's own plugins - the file plugin, whose infile supplies known
// capture data, and the null plugin - in front of a test card plugin (testcardplugin.c) that
// limits formats, rates, channels and period sizes like a card and produces overruns and
// unplugging on demand.
#include "alsacardlist.h"
#include "alsadriver.h"
#include "alsadsdreorder.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "partitionmanager.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <mutex>

namespace {

const char* const kLayoutNames[] = {"u8", "u16le", "u16be", "u32le", "u32be"};
const char* const kLayoutFormats[] = {"DSD_U8", "DSD_U16_LE", "DSD_U16_BE", "DSD_U32_LE",
                                      "DSD_U32_BE"};
const int kLayoutBytes[] = {1, 2, 2, 4, 4};
const bool kLayoutLittle[] = {false, true, false, true, false};

// Sample i of channel c in the PCM capture files: never zero, the channel in the top nibble.
quint32 pcmWord(int channel, quint32 i)
{
    return (quint32(channel + 1) << 28) | (i & 0x0fffffffu);
}

// Byte j of channel c's DSD stream: the channel's big-endian 32-bit words pcmWord(c, 0), ...
// Every byte of a word differs from its neighbours, so any reordering shows.
quint8 dsdByte(int channel, quint32 j)
{
    return quint8(pcmWord(channel, j / 4) >> (8 * (3 - j % 4)));
}

// Interleaved frames of the channels first, first + 1, ...; one channel alone is its stream.
QByteArray pcmFrames(int channels, quint32 frames, int first = 0)
{
    QByteArray data(int(frames * quint32(channels) * 4), Qt::Uninitialized);
    uchar* p = reinterpret_cast<uchar*>(data.data());
    for (quint32 i = 0; i < frames; ++i)
        for (int c = first; c < first + channels; ++c, p += 4)
            qToLittleEndian(pcmWord(c, i), p);
    return data;
}

// ALSA's DSD words written the documented way: word bytes oldest first from the most
// significant end; big-endian words store that order, little-endian words the reverse.
QByteArray dsdFrames(int layout, int channels, quint32 frames, int first = 0)
{
    const int n = kLayoutBytes[layout];
    QByteArray data;
    for (quint32 f = 0; f < frames; ++f)
        for (int c = first; c < first + channels; ++c)
            for (int b = 0; b < n; ++b) {
                const int oldestFirst = kLayoutLittle[layout] ? n - 1 - b : b;
                data.append(char(dsdByte(c, f * quint32(n) + quint32(oldestFirst))));
            }
    return data;
}

// The PCM formats of real cards: how many bytes a sample takes on the card and how many of
// its bits are the sample.
struct PcmFormat
{
    const char* name;
    const char* alsa;
    int bytes;
    int bits;
};
const PcmFormat kPcmFormats[] = {{"s16", "S16_LE", 2, 16},
                                 {"s24_3", "S24_3LE", 3, 24},
                                 {"s24", "S24_LE", 4, 24},
                                 {"s32", "S32_LE", 4, 32}};

// Sample i of channel c as the host's 32-bit word at full resolution: spread over the whole
// range, so both signs and every byte position are exercised.
quint32 fullWord(int channel, quint32 i)
{
    return pcmWord(channel, i) * 0x9E3779B1u;
}

// Stereo frames as the card stores them: the top `bits` of each word, little-endian, in
// `bytes` bytes. S24_LE's unused top byte carries 0x5a on capture, which a reader must ignore,
// and the sign of the sample when played.
QByteArray cardFrames(const PcmFormat& f, quint32 frames, bool played)
{
    QByteArray b;
    for (quint32 i = 0; i < frames; ++i) {
        for (int c = 0; c < 2; ++c) {
            const quint32 sample = fullWord(c, i) >> (32 - f.bits);
            for (int k = 0; k < f.bits / 8; ++k)
                b.append(char(sample >> (8 * k)));
            if (f.bytes * 8 > f.bits)
                b.append(!played ? '\x5a' : fullWord(c, i) >> 31 ? '\xff' : '\0');
        }
    }
    return b;
}

// The first `bytes` bytes input `channel` of a test card delivers: its DSD stream, its PCM
// pattern words, or for a card of kPcmFormats[format] the card's sample in the top bits of
// the word with zeros below.
QByteArray captured(const QByteArray& device, int format, int channel, int bytes)
{
    if (device.startsWith("dsd_"))
        return dsdFrames(0, 1, quint32(bytes), channel);
    if (format < 0)
        return pcmFrames(1, quint32(bytes / 4), channel);
    QByteArray words(bytes, Qt::Uninitialized);
    const quint32 mask = ~quint32(0) << (32 - kPcmFormats[format].bits);
    for (int i = 0; i < bytes / 4; ++i)
        qToLittleEndian(fullWord(channel, quint32(i)) & mask, words.data() + 4 * i);
    return words;
}

// What a host sees of a stream: the bytes of every input half in the order delivered. With
// loopback it also plays each input half on the output of the same number.
struct Collector
{
    bool loopback = false;
    std::mutex mutex;
    ASIOBufferInfo infos[4]{};
    long count = 0;
    long halfBytes = 0;
    QByteArray data[4];
    QList<long> halves;
    std::atomic<int> switches{0};
    std::atomic<int> resets{0};
    std::atomic<int> resyncs{0};
};
Collector* g_collector = nullptr;

void collectSwitch(long index, ASIOBool)
{
    Collector& c = *g_collector;
    std::lock_guard<std::mutex> lock(c.mutex);
    for (long k = 0; k < c.count; ++k) {
        if (c.infos[k].isInput == ASIOTrue)
            c.data[k].append(static_cast<const char*>(c.infos[k].buffers[index]), int(c.halfBytes));
        else if (c.loopback)
            memcpy(c.infos[k].buffers[index], c.infos[c.infos[k].channelNum].buffers[index],
                   size_t(c.halfBytes));
    }
    c.halves << index;
    ++c.switches;
}

long collectMessage(long selector, long, void*, double*)
{
    if (selector == kAsioResetRequest)
        ++g_collector->resets;
    if (selector == kAsioResyncRequest)
        ++g_collector->resyncs;
    return 0;
}

void collectRateChange(ASIOSampleRate) {}

QByteArray readAll(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The sample data of a WAV file (little-endian 32-bit chunk sizes after a 12-byte header) or
// of a DSDIFF file (big-endian 64-bit sizes after a 16-byte header).
QByteArray sampleData(const QString& file)
{
    const QByteArray bytes = readAll(file);
    const bool dff = bytes.startsWith("FRM8");
    const int header = dff ? 12 : 8;
    for (int pos = dff ? 16 : 12; pos + header <= bytes.size();) {
        const quint64 size = dff ? qFromBigEndian<quint64>(bytes.constData() + pos + 4)
                                 : qFromLittleEndian<quint32>(bytes.constData() + pos + 4);
        if (bytes.mid(pos, 4) == (dff ? "DSD " : "data"))
            return bytes.mid(pos + header, int(size));
        pos += header + int(size) + int(size & 1);
    }
    return QByteArray();
}

// A played file after the silent frames written before the start.
QByteArray afterSilence(const QString& file, int frameBytes)
{
    const QByteArray out = readAll(file);
    int lead = 0;
    while (lead + frameBytes <= out.size() && out.mid(lead, frameBytes).count('\0') == frameBytes)
        lead += frameBytes;
    return out.mid(lead);
}

// Splits interleaved stereo PCM words into runs that count on without a gap; returns the
// first sample number of each run, or an empty list when a word is not a pattern word.
QList<quint32> patternRuns(const QByteArray& data)
{
    QList<quint32> starts;
    quint32 expected = 0;
    for (int pos = 0; pos + 8 <= data.size(); pos += 8) {
        const quint32 left = qFromLittleEndian<quint32>(data.constData() + pos);
        const quint32 right = qFromLittleEndian<quint32>(data.constData() + pos + 4);
        const quint32 i = left & 0x0fffffffu;
        if (left != pcmWord(0, i) || right != pcmWord(1, i))
            return {};
        if (starts.isEmpty() || i != expected)
            starts << i;
        expected = i + 1;
    }
    return starts;
}

} // namespace

class TestAlsaDriver : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString gone;
    QByteArray stereoFile;
    AsioController* controller = nullptr;
    QStringList log;

    QString path(const QString& name) const { return QDir(dir.path()).absoluteFilePath(name); }

    static AlsaDeviceEntry entryFor(const QByteArray& pcm)
    {
        for (const AlsaDeviceEntry& e : AlsaCardList::entries())
            if (e.captureDevice == pcm)
                return e;
        return AlsaDeviceEntry();
    }

    static AlsaDriver* initialized(const QByteArray& pcm)
    {
        auto* d = new AlsaDriver(entryFor(pcm));
        if (d->init(nullptr) != ASIOTrue) {
            qWarning("%s: %s", pcm.constData(), errorOf(d).constData());
            d->Release();
            return nullptr;
        }
        return d;
    }

    static QByteArray errorOf(IASIO* d)
    {
        char message[124];
        d->getErrorMessage(message);
        return message;
    }

    // Minimum, maximum, preferred size and granularity; empty when the driver refuses.
    static QList<long> bufferSizes(IASIO* d)
    {
        long min = 0, max = 0, preferred = 0, granularity = 0;
        if (d->getBufferSize(&min, &max, &preferred, &granularity) != ASE_OK)
            return {};
        return {min, max, preferred, granularity};
    }

    static bool setFormat(IASIO* d, long type)
    {
        ASIOIoFormat f{int32_t(type), {}};
        return d->future(kAsioSetIoFormat, &f) == ASE_SUCCESS;
    }

    // Streams the inputs (and outputs, when the device has them) at the preferred size until
    // `switches` buffer switches arrived; the collector then holds what the host saw.
    bool stream(AlsaDriver* d, Collector* c, int switches)
    {
        long in = 0, out = 0;
        const QList<long> sizes = bufferSizes(d);
        if (d->getChannels(&in, &out) != ASE_OK || sizes.isEmpty())
            return false;
        const long preferred = sizes.at(2);
        c->count = in + out;
        for (long k = 0; k < c->count; ++k) {
            c->infos[k].isInput = k < in ? ASIOTrue : ASIOFalse;
            c->infos[k].channelNum = k < in ? k : k - in;
        }
        ASIOChannelInfo info{};
        info.isInput = ASIOTrue;
        if (d->getChannelInfo(&info) != ASE_OK)
            return false;
        c->halfBytes = info.type == ASIOSTDSDInt8MSB1 ? preferred / 8 : preferred * 4;
        static ASIOCallbacks callbacks{collectSwitch, collectRateChange, collectMessage, nullptr};
        g_collector = c;
        if (d->createBuffers(c->infos, c->count, preferred, &callbacks) != ASE_OK ||
            d->start() != ASE_OK)
            return false;
        const bool arrived = QTest::qWaitFor([&] { return c->switches >= switches; }, 20000);
        return d->stop() == ASE_OK && arrived;
    }

    bool writeFile(const QString& name, const QByteArray& data)
    {
        QFile f(path(name));
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }

    // A card of the test plugin with the file plugin in front: capture reads `data`; with
    // playback, what is played lands in <name>_played.raw.
    bool addDevice(QString* conf, const QString& name, const QString& formats, const QString& rates,
                   int channels, const QByteArray& data, bool playback, const QString& extra = {})
    {
        *conf += QStringLiteral("pcm.%1_card { type tessarotestcard formats [ %2 ] rates [ %3 ] "
                                "channels %4 period_bytes_min 1024 period_bytes_max 32768 "
                                "playback %5 %6 }\n")
                     .arg(name, formats, rates, QString::number(channels),
                          QString::number(int(playback)), extra);
        const QString capture = QStringLiteral("type file slave.pcm \"%1_card\" file \"/dev/null\" "
                                               "infile \"%2\" format \"raw\"")
                                    .arg(name, path(name + ".raw"));
        *conf += playback ? QStringLiteral("pcm.%1 { type asym capture.pcm { %2 } playback.pcm { "
                                           "type file slave.pcm \"%1_card\" file \"%3\" "
                                           "format \"raw\" } }\n")
                                .arg(name, capture, path(name + "_played.raw"))
                          : QStringLiteral("pcm.%1 { %2 }\n").arg(name, capture);
        return writeFile(name + ".raw", data);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        gone = path("card-gone");
        stereoFile = pcmFrames(2, 48000 * 20);
        QString conf = QStringLiteral("pcm_type.tessarotestcard { lib \"%1\" }\n")
                           .arg(QLatin1String(TESSARO_TEST_CARD_PLUGIN));
        QVERIFY(addDevice(&conf, "halvik_stereo", "\"S32_LE\"", "44100 48000 96000", 2, stereoFile,
                          true, QStringLiteral("gone_file \"%1\"").arg(gone)));
        QVERIFY(addDevice(&conf, "mono", "\"S32_LE\"", "48000", 1, pcmFrames(1, 96000), true));
        QVERIFY(addDevice(&conf, "eight", "\"S32_LE\"", "48000", 8, pcmFrames(8, 96000), false,
                          "xrun_at 4800"));
        for (int l = 0; l < 5; ++l) {
            // Frame rates of DSD 1x and 2x in every word size.
            const int x1 = 2822400 / 8 / kLayoutBytes[l];
            QVERIFY(addDevice(&conf, QStringLiteral("dsd_%1").arg(kLayoutNames[l]),
                              QStringLiteral("\"S32_LE\" \"%1\"").arg(kLayoutFormats[l]),
                              QStringLiteral("44100 48000 %1 %2").arg(x1).arg(2 * x1), 2,
                              dsdFrames(l, 2, 3 * 352800 / quint32(kLayoutBytes[l])), false));
        }
        for (const PcmFormat& f : kPcmFormats)
            QVERIFY(addDevice(&conf, QStringLiteral("pcm_%1").arg(f.name),
                              QStringLiteral("\"%1\"").arg(f.alsa), "48000", 2,
                              cardFrames(f, 48000, false), true));
        conf += QStringLiteral("pcm.plain_null { type null }\n");
        QVERIFY(writeFile("asoundrc", conf.toUtf8()));
        qputenv("ALSA_CONFIG_PATH", QFile::encodeName(path("asoundrc")));
        qputenv(AlsaCardList::kDevicesVariable,
                "halvik_stereo, mono,eight,dsd_u8,dsd_u16le,dsd_u16be,dsd_u32le,dsd_u32be,"
                "pcm_s16,pcm_s24_3,pcm_s24,pcm_s32,plain_null,tessaro_missing,"
                "a_device_name_much_longer_than_the_limit");
    }

    // Capture runs through the whole driver below; no card here plays DSD, so the way back
    // into the card's words is checked on its own: each channel lands in its own words, the
    // others keep their bytes.
    void reorderPutsTimeOrderIntoEveryLayout_data()
    {
        QTest::addColumn<int>("layout");
        for (int l = 0; l < 5; ++l)
            QTest::newRow(kLayoutFormats[l]) << l;
    }

    void reorderPutsTimeOrderIntoEveryLayout()
    {
        QFETCH(int, layout);
        const int n = kLayoutBytes[layout];
        const quint32 frames = 64;
        const QByteArray interleaved = dsdFrames(layout, 3, frames);
        QByteArray rebuilt(interleaved.size(), '\x5a');
        const QByteArray middle = dsdFrames(0, 1, frames * quint32(n), 1);
        AlsaDsdReorder::insert(AlsaDsdReorder::Layout(layout),
                               reinterpret_cast<const uint8_t*>(middle.constData()), frames, 3 * n,
                               1, reinterpret_cast<uint8_t*>(rebuilt.data()));
        for (int pos = 0; pos < interleaved.size(); ++pos)
            QCOMPARE(rebuilt.at(pos), (pos / n) % 3 == 1 ? interleaved.at(pos) : '\x5a');
    }

    // Names of at most 31 bytes ending in " (ALSA)"; class ids that follow the device, not
    // the order of the list.
    void listsConfiguredDevicesUnderNamesThatFit()
    {
        const QList<AlsaDeviceEntry> entries = AlsaCardList::entries();
        QStringList names;
        QSet<QString> ids;
        const QRegularExpression clsid(
            "^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$");
        for (const AlsaDeviceEntry& e : entries) {
            names << e.description;
            ids << e.clsid;
            QVERIFY2(e.description.toUtf8().size() <= 31, qPrintable(e.description));
            QVERIFY(e.description.endsWith(" (ALSA)"));
            QVERIFY2(clsid.match(e.clsid).hasMatch(), qPrintable(e.clsid));
        }
        for (const char* name : {"halvik_stereo (ALSA)", "dsd_u32le (ALSA)",
                                 "a_device_name_much_longe (ALSA)"}) // 24 characters kept
            QVERIFY2(names.contains(name), name);
        QCOMPARE(ids.size(), entries.size());
        const auto again = AlsaCardList::namedDevices("eight,halvik_stereo");
        QCOMPARE(again.at(1).clsid, entryFor("halvik_stereo").clsid);
        QVERIFY(again.at(0).clsid != again.at(1).clsid);
        QList<QString> taken{"same name (ALSA)"};
        QCOMPARE(AlsaCardList::description("same name", &taken), QString("same name 2 (ALSA)"));
    }

    void negotiatesRatesChannelsAndBufferSizes()
    {
        auto* missing = new AlsaDriver(entryFor("tessaro_missing"));
        QCOMPARE(missing->init(nullptr), ASIOFalse);
        QVERIFY2(errorOf(missing).contains("tessaro_missing"), errorOf(missing));
        long in = 0, out = 0;
        QCOMPARE(missing->getChannels(&in, &out), ASIOError(ASE_NotPresent));
        QCOMPARE(missing->start(), ASIOError(ASE_InvalidMode));
        missing->Release();

        AlsaDriver* d = initialized("halvik_stereo");
        QVERIFY(d);
        char name[32];
        d->getDriverName(name);
        QCOMPARE(QByteArray(name), QByteArray("halvik_stereo (ALSA)"));
        // The card takes 44100, 48000 and 96000 Hz, no other rate and no DSD.
        for (double r : {44100.0, 48000.0, 96000.0})
            QCOMPARE(d->canSampleRate(r), ASIOError(ASE_OK));
        for (double r : {88200.0, 192000.0, 384000.0, 2822400.0, 12345.0})
            QCOMPARE(d->canSampleRate(r), ASIOError(ASE_NoClock));
        QCOMPARE(d->setSampleRate(88200), ASIOError(ASE_NoClock));
        QCOMPARE(d->setSampleRate(48000), ASIOError(ASE_OK));
        // Periods of 1024 to 32768 bytes are 128 to 4096 stereo S32 frames.
        QCOMPARE(bufferSizes(d), (QList<long>{128, 4096, 512, -1}));
        QCOMPARE(d->setSampleRate(96000), ASIOError(ASE_OK));
        QCOMPARE(bufferSizes(d).at(2), 1024L);
        ASIOCallbacks callbacks{collectSwitch, collectRateChange, collectMessage, nullptr};
        ASIOBufferInfo infos[2] = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}};
        QCOMPARE(d->createBuffers(infos, 2, 8192, &callbacks), ASIOError(ASE_InvalidMode));
        QCOMPARE(d->createBuffers(infos, 2, 96, &callbacks), ASIOError(ASE_InvalidMode));
        ASIOBufferInfo third[1] = {{ASIOTrue, 2, {}}};
        QCOMPARE(d->createBuffers(third, 1, 512, &callbacks), ASIOError(ASE_InvalidParameter));

        // No native DSD: the DSD format is refused with a reason, PCM stays.
        ASIOIoFormat format{kASIODSDFormat, {}};
        QCOMPARE(d->future(kAsioCanDoIoFormat, &format), ASIOError(ASE_NotPresent));
        QCOMPARE(d->future(kAsioSetIoFormat, &format), ASIOError(ASE_NotPresent));
        QVERIFY2(errorOf(d).contains("no native DSD"), errorOf(d));
        format.FormatType = kASIOFormatInvalid;
        QCOMPARE(d->future(kAsioGetIoFormat, &format), ASIOError(ASE_SUCCESS));
        QCOMPARE(format.FormatType, int32_t(kASIOPCMFormat));
        d->Release();
    }

    void nativeDsdFormatsSetDsdRatesAndSizes()
    {
        AlsaDriver* d = initialized("dsd_u32le");
        QVERIFY(d);
        // 88200 and 176400 frames per second of 32-bit words are DSD 1x and 2x.
        QCOMPARE((QList<ASIOError>{d->canSampleRate(2822400), d->canSampleRate(5644800),
                                   d->canSampleRate(11289600)}),
                 (QList<ASIOError>{ASE_OK, ASE_OK, ASE_NoClock}));
        QCOMPARE(d->setSampleRate(2822400), ASIOError(ASE_NoClock)); // still PCM
        QVERIFY(setFormat(d, kASIODSDFormat));
        double rate = 0;
        QCOMPARE(d->getSampleRate(&rate), ASIOError(ASE_OK));
        QCOMPARE(rate, 2822400.0);
        QCOMPARE(d->setSampleRate(48000), ASIOError(ASE_NoClock));
        ASIOChannelInfo info{};
        info.isInput = ASIOTrue;
        QCOMPARE(d->getChannelInfo(&info), ASIOError(ASE_OK));
        QCOMPARE(info.type, ASIOSampleType(ASIOSTDSDInt8MSB1));
        // Periods of 1024 to 32768 bytes hold 512 to 16384 bytes per channel: 4096 to 131072
        // one-bit samples per channel and half.
        QCOMPARE(bufferSizes(d), (QList<long>{4096, 131072, 32768, -1}));
        // DSD 2x keeps the time a buffer lasts.
        QCOMPARE(d->setSampleRate(5644800), ASIOError(ASE_OK));
        QCOMPARE(bufferSizes(d).at(2), 65536L);
        QVERIFY(setFormat(d, kASIOPCMFormat));
        QCOMPARE(d->getSampleRate(&rate), ASIOError(ASE_OK));
        QCOMPARE(rate, 44100.0);
        d->Release();
    }

    // A mono card offers one input and one output, a capture-only card no outputs; the inputs
    // carry their channels' data in order, whatever the DSD word layout or PCM sample format.
    // The PCM format cards also play each input back on its output: played, each word
    // becomes the card's sample again. The eight channel card overruns once after 4800 frames
    // (512 a switch): the driver recovers, counts and reports it, and loses nothing the card
    // still had.
    void deliversCaptureInOrderOnEachChannel_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QList<long>>("channels"); // inputs, outputs
        QTest::addColumn<int>("format");           // in kPcmFormats, played back; or -1
        QTest::addColumn<bool>("overruns");
        const QList<long> duplex{2, 2}, captureOnly{2, 0};
        QTest::newRow("stereo") << QByteArray("halvik_stereo") << duplex << -1 << false;
        QTest::newRow("first two of eight, overrun")
            << QByteArray("eight") << captureOnly << -1 << true;
        QTest::newRow("mono") << QByteArray("mono") << QList<long>{1, 1} << -1 << false;
        for (int l = 0; l < 5; ++l)
            QTest::newRow(kLayoutFormats[l])
                << QByteArray("dsd_") + kLayoutNames[l] << captureOnly << -1 << false;
        for (int k = 0; k < 4; ++k)
            QTest::newRow(kPcmFormats[k].alsa)
                << QByteArray("pcm_") + kPcmFormats[k].name << duplex << k << false;
    }

    void deliversCaptureInOrderOnEachChannel()
    {
        QFETCH(QByteArray, device);
        QFETCH(QList<long>, channels);
        QFETCH(int, format);
        QFETCH(bool, overruns);
        AlsaDriver* d = initialized(device);
        QVERIFY(d);
        const bool dsd = device.startsWith("dsd_");
        QVERIFY(!dsd || setFormat(d, kASIODSDFormat));
        QCOMPARE(d->setSampleRate(dsd ? 2822400 : 48000), ASIOError(ASE_OK));
        long in = 0, out = 0;
        QCOMPARE(d->getChannels(&in, &out), ASIOError(ASE_OK));
        QCOMPARE((QList<long>{in, out}), channels);
        Collector c;
        c.loopback = format >= 0;
        QVERIFY(stream(d, &c, 12));
        if (overruns) {
            QVERIFY(d->xrunCount() >= 1);
            QVERIFY(c.resyncs >= 1);
            QVERIFY2(errorOf(d).contains("overruns or underruns recovered"), errorOf(d));
        }
        d->Release(); // closes the PCMs, so a played file is complete
        QCOMPARE(c.resets.load(), 0);
        for (int i = 0; i < c.halves.size(); ++i)
            QCOMPARE(c.halves.at(i), long(i % 2));
        for (long k = 0; k < in; ++k) {
            const QByteArray& got = c.data[k];
            QVERIFY(got.size() >= 12 * c.halfBytes);
            QVERIFY2(got == captured(device, format, int(k), got.size()),
                     qPrintable(QString("channel %1").arg(k)));
        }
        if (format < 0)
            return;
        // The played file holds the inputs from their first frame on.
        const PcmFormat& f = kPcmFormats[format];
        const QByteArray played = afterSilence(path(device + "_played.raw"), 2 * f.bytes);
        const int n = qMin(played.size(), c.data[0].size() / 4 * 2 * f.bytes);
        QVERIFY(n >= 2 * c.halfBytes / 4 * 2 * f.bytes); // two halves at least
        QCOMPARE(played.left(n), cardFrames(f, quint32(c.data[0].size() / 4), true).left(n));
    }

    void vanishedCardSendsResetAndRefusesInitUntilBack()
    {
        AlsaDriver* d = initialized("halvik_stereo");
        QVERIFY(d);
        Collector c;
        QVERIFY(stream(d, &c, 2));
        QCOMPARE(d->start(), ASIOError(ASE_OK));
        QVERIFY(writeFile("card-gone", QByteArray()));
        QVERIFY(QTest::qWaitFor([&] { return c.resets > 0; }, 10000));
        QTest::qWait(200);
        QCOMPARE(c.resets.load(), 1);
        QVERIFY2(errorOf(d).contains("device unplugged"), errorOf(d));
        QCOMPARE(d->stop(), ASIOError(ASE_OK));
        d->Release();

        auto* again = new AlsaDriver(entryFor("halvik_stereo"));
        QCOMPARE(again->init(nullptr), ASIOFalse);
        QVERIFY2(errorOf(again).startsWith("device unplugged"), errorOf(again));
        QVERIFY(QFile::remove(gone));
        QCOMPARE(again->init(nullptr), ASIOTrue);
        again->Release();
    }

    void recordsNativeDsdThroughTheControllerIntoDff()
    {
        registerAlsaDrivers();
        AsioHostState* host = AsioHostState::instance();
        QSharedPointer<AsioDrivers> drivers(new AsioDrivers);
        QSharedPointer<PartitionManager> pool(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(host, drivers, pool, writer, 64, this);
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg), this,
                [this](QString msg) { log << msg; });
        controller->scanDrivers();
        QVERIFY(controller->initializeDriver("dsd_u32le (ALSA)", 2822400));
        QCOMPARE(controller->sampleRate(), 2822400.0);
        QVERIFY(controller->isDsd());
        controller->setFileName(path("take.dff"));
        QVERIFY(controller->startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= 0.5, 20000);
        QVERIFY(controller->stopRecording());
        QTRY_VERIFY_WITH_TIMEOUT(controller->isIdle(), 10000);
        controller->unloadCurrentDriver();
        const QByteArray data = sampleData(path("take.dff"));
        QVERIFY(data.size() >= 2 * 2822400 / 8 / 2);
        // DSDIFF interleaves the channels byte by byte; each must be its stream, in order,
        // from the half-buffer where the recording began.
        QByteArray channel[2];
        for (int i = 0; i < data.size(); ++i)
            channel[i % 2].append(data.at(i));
        const quint32 firstWord = qFromBigEndian<quint32>(channel[0].constData());
        const int offset = int(4 * (firstWord & 0x0fffffffu));
        for (int c = 0; c < 2; ++c)
            QVERIFY2(channel[c] == captured("dsd_", -1, c, offset + channel[c].size()).mid(offset),
                     qPrintable(QString("channel %1").arg(c)));
    }

    // The capture data lands in the file byte for byte, monitored to the outputs. Across an
    // unplug the same file holds two takes of it: the card's own data up to the unplug, then
    // the data of the card as it came back, which starts at its beginning again.
    void recordsCaptureByteForByteAndOnAcrossAnUnplug()
    {
        QVERIFY(controller);
        // The vendor word in the name makes it a supported device.
        QVERIFY2(controller->driverNames().contains("halvik_stereo (ALSA)"),
                 qPrintable(controller->driverNames().join(',')));
        QVERIFY(controller->initializeDriver("halvik_stereo (ALSA)", 48000));
        QCOMPARE(controller->sampleRate(), 48000.0);
        QCOMPARE(controller->sampleRates(), (QList<double>{44100, 48000, 96000}));
        QVERIFY(controller->isStreaming());
        QSignalSpy unplugged(controller, &AsioController::unplugged);
        QSignalSpy ready(controller, &AsioController::driverReady);
        controller->setFileName(path("take.wav"));
        QVERIFY(controller->startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= 0.5, 20000);
        QVERIFY(writeFile("card-gone", QByteArray()));
        QVERIFY(unplugged.wait(10000));
        QVERIFY(controller->isReconnecting());
        QVERIFY(controller->isRecording());
        log.clear();
        QTRY_VERIFY(log.contains("hardware input or output is not present or available"));
        QVERIFY(QFile::remove(gone));
        QVERIFY(ready.wait(10000));
        const double before = controller->recordedSeconds();
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= before + 0.3, 20000);
        controller->stopRecording();
        QTRY_VERIFY_WITH_TIMEOUT(controller->isIdle(), 10000);
        controller->unloadCurrentDriver();
        QVERIFY(!QFile::exists(path("take_0002.wav")));
        const QByteArray data = sampleData(path("take.wav"));
        QVERIFY(data.size() >= 8 * 48000 * 8 / 10);
        const QList<quint32> runs = patternRuns(data);
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs.at(1), 0u);

        // Monitoring played the capture data back from its first frame on, since the replug.
        const QByteArray out = afterSilence(path("halvik_stereo_played.raw"), 8);
        QVERIFY(out.size() >= 8 * 4800); // a tenth of a second at least
        QCOMPARE(out, stereoFile.left(out.size()));
    }
};

QTEST_GUILESS_MAIN(TestAlsaDriver)
#include "tst_alsadriver.moc"
