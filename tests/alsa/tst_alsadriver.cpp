// The ALSA driver without sound hardware: a private ALSA configuration (ALSA_CONFIG_PATH)
// puts alsa-lib's file plugin - whose infile supplies known capture data and whose file keeps
// what was played - in front of a test card plugin (testcardplugin.c) that limits formats,
// rates, channels and period sizes like a card and produces overruns and unplugging on demand.
#include "alsacardlist.h"
#include "alsadriver.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "partitionmanager.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingReply>
#include <QtTest>
#include <atomic>

namespace {

// Sample i of channel c: spread over the whole range by an odd factor, so both signs and
// every byte value occur and neighbouring bytes differ; the inverse factor reads c and i back.
const quint32 kSpread = 0x9E3779B1u, kUnspread = 0x0E8B2F51u;
quint32 word(int c, quint32 i)
{
    return ((quint32(c + 1) << 28) | (i & 0x0fffffffu)) * kSpread;
}

// The test cards' formats: bytes a sample takes on the card, the bits of it that are the
// sample (0: DSD, whose words hold the oldest bit in the most significant place), byte order.
struct Format
{
    const char* alsa;
    int bytes, bits;
    bool little;
};
const Format kFormats[] = {
    {"S32_LE", 4, 32, true},     {"S16_LE", 2, 16, true},    {"S24_3LE", 3, 24, true},
    {"S24_LE", 4, 24, true},     {"DSD_U8", 1, 0, false},    {"DSD_U16_LE", 2, 0, true},
    {"DSD_U16_BE", 2, 0, false}, {"DSD_U32_LE", 4, 0, true}, {"DSD_U32_BE", 4, 0, false}};

// Frames of the channels first, first + 1, ... as a card in format f stores them. A DSD
// channel's stream is its words big-endian; a PCM sample is the top bits of its word. The
// unused top byte of S24_LE carries 0x5a on capture, which a reader must ignore, and the
// sign of the sample when played.
QByteArray cardData(const Format& f, int first, int channels, quint32 frames, bool played)
{
    QByteArray data;
    for (quint32 i = 0; i < frames; ++i) {
        for (int c = first; c < first + channels; ++c) {
            for (int b = 0; b < f.bytes && !f.bits; ++b) {
                const quint32 j = i * quint32(f.bytes) + quint32(f.little ? f.bytes - 1 - b : b);
                data.append(char(word(c, j / 4) >> (8 * (3 - j % 4))));
            }
            for (int k = 0; k < f.bits / 8; ++k)
                data.append(char(word(c, i) >> (32 - f.bits + 8 * k)));
            if (f.bits && f.bytes * 8 > f.bits)
                data.append(!played ? '\x5a' : word(c, i) >> 31 ? '\xff' : '\0');
        }
    }
    return data;
}

// The first `bytes` bytes input c of a card in format f hands the host: its DSD stream, or
// its samples at the top of 32-bit words with zeros below.
QByteArray hostData(const Format& f, int c, int bytes)
{
    if (!f.bits)
        return cardData(kFormats[4], c, 1, quint32(bytes), false);
    QByteArray words(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes / 4; ++i)
        qToLittleEndian(word(c, quint32(i)) & ~quint32(0) << (32 - f.bits), words.data() + 4 * i);
    return words;
}

// DoP: the 16 DSD bits of frame i of channel c count on, spread by an odd factor so that the
// two bytes differ and a frame out of place shows. The stream of channel c from frame `first`
// on, older byte first, with the idle pattern over the frames [idleFrom, idleTo).
quint16 dopBits(int c, quint32 i)
{
    return quint16((i + quint32(c) * 0x5000u) * 0x9E37u);
}

QByteArray dopStream(int c, quint32 first, quint32 frames, quint32 idleFrom = 0, quint32 idleTo = 0)
{
    QByteArray stream;
    for (quint32 i = first; i < first + frames; ++i) {
        const quint16 bits = i >= idleFrom && i < idleTo ? 0x6969 : dopBits(c, i);
        stream.append(char(bits >> 8)).append(char(bits));
    }
    return stream;
}

// Stereo DoP frames of a card in format f (S32_LE, S24_LE or S24_3LE) carrying two streams:
// the markers 0x05 and 0xFA in turn from `phase`, except over the frames [plainFrom, plainTo),
// which are plain PCM (top byte 0x12). The 24-bit sample sits at the top of an S32_LE word and
// is sign-extended in S24_LE.
QByteArray dopFrames(const Format& f, const QByteArray (&streams)[2], int phase, int plainFrom = 0,
                     int plainTo = 0)
{
    QByteArray data;
    for (int i = 0; 2 * i + 1 < streams[0].size(); ++i) {
        const char top = i >= plainFrom && i < plainTo ? '\x12' : (i + phase) % 2 ? '\xfa' : '\x05';
        for (const QByteArray& s : streams) {
            if (f.bits == 32)
                data.append('\0');
            data.append(s.at(2 * i + 1)).append(s.at(2 * i)).append(top);
            if (f.bits == 24 && f.bytes == 4)
                data.append(top < 0 ? '\xff' : '\0');
        }
    }
    return data;
}

QByteArray readAll(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A played file after the silent frames written before the start.
QByteArray afterSilence(const QString& file, int frameBytes, char silence)
{
    const QByteArray out = readAll(file);
    int lead = 0;
    while (lead + frameBytes <= out.size() &&
           out.mid(lead, frameBytes).count(silence) == frameBytes)
        lead += frameBytes;
    return out.mid(lead);
}

// Splits stereo 32-bit sample data into stretches that count on without a gap: the first
// sample number of each, or nothing when a sample is not the pattern.
QList<quint32> runs(const QByteArray& data)
{
    QList<quint32> starts;
    quint32 next = 0;
    for (int pos = 0; pos + 8 <= data.size(); pos += 8) {
        const quint32 w[2] = {qFromLittleEndian<quint32>(data.constData() + pos),
                              qFromLittleEndian<quint32>(data.constData() + pos + 4)};
        const quint32 i = (w[0] * kUnspread) & 0x0fffffffu;
        if (w[0] != word(0, i) || w[1] != word(1, i))
            return {};
        if (starts.isEmpty() || i != next)
            starts << i;
        next = i + 1;
    }
    return starts;
}

AsioHostState& host()
{
    return *AsioHostState::instance();
}

// What the host hands on of a stream: the bytes of every input half in the order delivered,
// read once the device thread has ended. It also plays each input half on the output of the
// same number.
struct Collector : AudioBufferProcessor
{
    void processBuffer(unsigned char* in, long channel, ASIOSampleType type, long size,
                       long half) override
    {
        halfBytes = type == ASIOSTDSDInt8MSB1 ? size / 8 : size * 4;
        data[channel].append(reinterpret_cast<const char*>(in), int(halfBytes));
        if (channel < host().outputBufferCount)
            memcpy(host().bufferInfos[host().inputBufferCount + channel].buffers[half], in,
                   size_t(halfBytes));
        halves << half;
        switches += channel == host().inputBufferCount - 1;
    }
    void driverResetRequested() override { ++resets; }
    void driverResyncRequested() override { ++resyncs; }

    long halfBytes = 0;
    QByteArray data[2];
    QList<long> halves; // of every input in turn
    std::atomic<int> switches{0}, resets{0}, resyncs{0};
};

} // namespace

class TestAlsaDriver : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString gone;
    QProcess bus; // the private session bus, where dbus-daemon is installed
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
        const ASIOError sizes = d->getBufferSize(&min, &max, &preferred, &granularity);
        return sizes == ASE_OK ? QList<long>{min, max, preferred, granularity} : QList<long>();
    }

    // Streams the device through the host at the rate, at the preferred size, until `switches`
    // buffer switches arrived; the collector then holds what the host handed on. The host
    // asks for the inputs from `firstInput` on.
    static bool stream(const QByteArray& device, double rate, Collector* c, int switches,
                       long firstInput = 0)
    {
        ASIOIoFormat format{rate > 384000 ? kASIODSDFormat : kASIOPCMFormat, {}};
        host().firstInputChannel = firstInput;
        host().setBufferProcessor(c);
        host().installAsioCallbacks();
        if (!loadAsioDriver(entryFor(device).description.toUtf8().constData()) ||
            ASIOInit(&host().driverInfo) != ASE_OK ||
            ASIOFuture(kAsioSetIoFormat, &format) != ASE_SUCCESS ||
            ASIOSetSampleRate(rate) != ASE_OK || initAsioStaticData(host()) != 0 ||
            host().createAsioBuffers(host()) != ASE_OK || ASIOStart() != ASE_OK)
            return false;
        const bool arrived = QTest::qWaitFor([&] { return c->switches >= switches; }, 20000);
        return ASIOStop() == ASE_OK && arrived;
    }

    bool writeFile(const QString& name, const QByteArray& data)
    {
        QFile f(path(name));
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    }

    // A card of the test plugin in format f with the file plugin in front: capture reads
    // `frames` frames of the pattern, what is played lands in <name>_played.raw.
    bool addDevice(QString* conf, const QString& name, const Format& f, const QString& rates,
                   int channels, quint32 frames, const QString& extra = {})
    {
        const QString formats = QString(f.bits ? "\"%1\"" : "\"S32_LE\" \"%1\"").arg(f.alsa);
        return addDevice(conf, name, formats, rates, channels,
                         cardData(f, 0, channels, frames, false), extra);
    }

    // A card that offers the formats and rates given and captures `data`.
    bool addDevice(QString* conf, const QString& name, const QString& formats, const QString& rates,
                   int channels, const QByteArray& data, const QString& extra = {})
    {
        *conf +=
            QStringLiteral("pcm.%1_card { type tessarotestcard formats [ %2 ] rates [ %3 ] "
                           "channels %4 %5 }\n"
                           "pcm.%1 { type asym capture.pcm { type file slave.pcm \"%1_card\" "
                           "file \"/dev/null\" infile \"%6.raw\" format \"raw\" } playback.pcm "
                           "{ type file slave.pcm \"%1_card\" file \"%6_played.raw\" format "
                           "\"raw\" } }\n")
                .arg(name, formats, rates, QString::number(channels), extra, path(name));
        return writeFile(name + ".raw", data);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        // A private session bus for the reservation; without dbus-daemon an address where no
        // bus listens, so that no test reaches the desktop's.
        QByteArray address = "unix:path=" + QFile::encodeName(path("no-bus"));
        if (!QStandardPaths::findExecutable("dbus-daemon").isEmpty()) {
            bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
            QVERIFY(bus.waitForReadyRead(10000));
            address = bus.readLine().trimmed();
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        gone = path("card-gone");
        QString conf = QStringLiteral("pcm_type.tessarotestcard { lib \"%1\" }\n")
                           .arg(QLatin1String(TESSARO_TEST_CARD_PLUGIN));
        QVERIFY(addDevice(&conf, "halvik_stereo", kFormats[0], "44100 48000 96000", 2, 48000 * 20,
                          QStringLiteral("gone_file \"%1\"").arg(gone)));
        QVERIFY(addDevice(&conf, "mono", kFormats[0], "48000", 1, 96000));
        QVERIFY(
            addDevice(&conf, "eight", kFormats[0], "48000", 8, 96000, "playback 0 xrun_at 4800"));
        QVERIFY(addDevice(&conf, "four", kFormats[0], "48000", 4, 96000, "playback 0"));
        // Takes 2 to 6 channels; its data is laid out for the 4 that carry inputs 3-4.
        QVERIFY(addDevice(&conf, "two_to_six", "\"S32_LE\"", "48000", 2,
                          cardData(kFormats[0], 0, 4, 96000, false), "channels_max 6"));
        for (int k = 1; k < 9; ++k) {
            // DSD cards offer the frame rates of DSD 1x and 2x in their word size.
            const int x1 = 2822400 / 8 / kFormats[k].bytes;
            QVERIFY(addDevice(&conf, QString(kFormats[k].alsa).toLower(), kFormats[k],
                              kFormats[k].bits
                                  ? "48000"
                                  : QStringLiteral("44100 48000 %1 %2").arg(x1).arg(2 * x1),
                              2, quint32(kFormats[k].bits ? 96000 : 3 * x1)));
        }
        // DoP cards: a second of DoP at 2x in S32_LE, S24_3LE and S24_LE; one whose markers
        // stop for 8192 frames; and one that sends plain PCM at the DoP rates.
        const quint32 n = 352800;
        for (int k : {0, 2, 3})
            QVERIFY(addDevice(&conf, QString("dop_%1").arg(kFormats[k].alsa).toLower(),
                              QString("\"%1\"").arg(kFormats[k].alsa), "176400 352800", 2,
                              dopFrames(kFormats[k], {dopStream(0, 0, n), dopStream(1, 0, n)}, 0)));
        QVERIFY(addDevice(&conf, "dop_lost", "\"S32_LE\"", "176400", 2,
                          dopFrames(kFormats[0], {dopStream(0, 0, n), dopStream(1, 0, n)}, 0, 16384,
                                    16384 + 8192)));
        QVERIFY(addDevice(&conf, "plain_hirate", kFormats[0], "44100 176400 352800", 2, n));
        // "hw:7" is card 7 to the driver, whose reservation it asks for: here a test card that
        // cannot be opened while reserved-busy exists.
        QVERIFY(addDevice(&conf, "reserved", kFormats[0], "48000", 2, 96000,
                          QStringLiteral("busy_file \"%1\"").arg(path("reserved-busy"))));
        conf += QStringLiteral("pcm.hw { @args [ CARD ] @args.CARD { type string } type asym "
                               "capture.pcm \"reserved\" playback.pcm \"reserved\" }\n");
        conf += QStringLiteral("pcm.plain_null { type null }\n");
        QVERIFY(writeFile("asoundrc", conf.toUtf8()));
        qputenv("ALSA_CONFIG_PATH", QFile::encodeName(path("asoundrc")));
        qputenv(AlsaCardList::kDevicesVariable,
                "halvik_stereo, "
                "mono,eight,four,two_to_six,s16_le,s24_3le,s24_le,dsd_u8,dsd_u16_le,dsd_u16_be,"
                "dsd_u32_le,dsd_u32_be,dop_s32_le,dop_s24_3le,dop_s24_le,dop_lost,plain_hirate,hw:"
                "7,plain_null,"
                "tessaro_missing,"
                "a_device_name_much_longer_than_the_limit");

        registerAlsaDrivers();
        QSharedPointer<PartitionManager> pool(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(&host(), QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                                        writer, this);
        controller->setEmbedMetadata(false); // the plain header the data are read after
        writer->setParent(controller);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg), this,
                [this](QString msg) { log << msg; });
        controller->scanDrivers();
    }

    // Names of at most 31 bytes ending in " (ALSA)", never cut: a PCM name too long for them is
    // listed under its start tagged with a hash of the whole (FNV-1a, low 16 bits), a card's
    // under its id; equal names are numbered. The name listed is the one the driver list loads.
    // Class ids follow the device, not the order of the list.
    void listsConfiguredDevicesUnderNamesThatFit()
    {
        QStringList names, expected;
        QSet<QString> ids;
        for (const AlsaDeviceEntry& e : AlsaCardList::entries()) {
            names << e.description;
            ids << e.clsid;
        }
        for (const QByteArray& device : qgetenv(AlsaCardList::kDevicesVariable).split(','))
            expected << QString(device.trimmed()) + " (ALSA)";
        expected.last() = "a_device_name_much_~aa9f (ALSA)";
        QCOMPARE(names, expected);
        QCOMPARE(ids.size(), names.size());
        QVERIFY(controller->driverNames().contains(expected.last()));
        QVERIFY(loadAsioDriver(expected.last().toLatin1().constData()));
        ASIOExit();
        // A hw name tells the card (for its reservation); a card id that is not there, none.
        QCOMPARE((QList<int>{entryFor("hw:7").card, entryFor("halvik_stereo").card,
                             AlsaCardList::cardNumber("plughw:CARD=3,DEV=0"),
                             AlsaCardList::cardNumber("hw:CARD=tessaro_no_such_card")}),
                 (QList<int>{7, -1, 3, -1}));
        const auto again = AlsaCardList::namedDevices("eight,halvik_stereo");
        QCOMPARE(again.at(1).clsid, entryFor("halvik_stereo").clsid);
        QList<QByteArray> taken{"same name (ALSA)"};
        const QString card = "USB Audio Interface Pro Eight Channels";
        QCOMPARE(QStringList({AlsaCardList::description("same name", "", &taken),
                              AlsaCardList::description(card, "ProEight", &taken),
                              AlsaCardList::description(card, "ProEight", &taken)}),
                 QStringList({"same name 2 (ALSA)", "ProEight (ALSA)", "ProEight 2 (ALSA)"}));
    }

    // A missing device refuses to start, naming itself. The stereo card takes no DSD; the DSD
    // card takes DSD 1x and 2x once set to DSD, and is PCM at 44.1 kHz when set back. Periods
    // of 1024 to 32768 bytes are 128 to 4096 stereo S32 frames, and hold 4096 to 131072 one-bit
    // samples per channel.
    void negotiatesRatesFormatsAndBufferSizes()
    {
        const long ok = ASE_OK, noClock = ASE_NoClock;
        auto* missing = new AlsaDriver(entryFor("tessaro_missing"));
        QCOMPARE(missing->init(nullptr), ASIOFalse);
        QVERIFY2(errorOf(missing).contains("tessaro_missing"), errorOf(missing));
        missing->Release();

        // (The rates the stereo card takes show in the recording through the controller.)
        auto* d = new AlsaDriver(entryFor("halvik_stereo"));
        QCOMPARE(d->init(nullptr), ASIOTrue);
        QCOMPARE(d->setSampleRate(48000), ok);
        QCOMPARE(bufferSizes(d), (QList<long>{128, 4096, 512, -1}));
        QCOMPARE(d->setSampleRate(96000), ASIOError(ASE_OK));
        QCOMPARE(bufferSizes(d).at(2), 1024L);
        ASIOIoFormat format{kASIODSDFormat, {}};
        QCOMPARE((QList<long>{d->future(kAsioCanDoIoFormat, &format),
                              d->future(kAsioSetIoFormat, &format)}),
                 (QList<long>{ASE_NotPresent, ASE_NotPresent}));
        QVERIFY2(errorOf(d).contains("no native DSD"), errorOf(d));
        format.FormatType = kASIOFormatInvalid;
        QCOMPARE(d->future(kAsioGetIoFormat, &format), ASIOError(ASE_SUCCESS));
        QCOMPARE(format.FormatType, int32_t(kASIOPCMFormat));
        d->Release();

        d = new AlsaDriver(entryFor("dsd_u32_le"));
        QCOMPARE(d->init(nullptr), ASIOTrue);
        QCOMPARE((QList<long>{d->canSampleRate(2822400), d->canSampleRate(5644800),
                              d->canSampleRate(11289600), d->setSampleRate(2822400)}),
                 (QList<long>{ok, ok, noClock, noClock})); // the last still in PCM
        format.FormatType = kASIODSDFormat;
        QCOMPARE(d->future(kAsioSetIoFormat, &format), ASIOError(ASE_SUCCESS));
        double rate = 0;
        QCOMPARE(d->getSampleRate(&rate), ASIOError(ASE_OK));
        QCOMPARE(rate, 2822400.0);
        QCOMPARE(d->setSampleRate(48000), noClock);
        QCOMPARE(bufferSizes(d), (QList<long>{4096, 131072, 32768, -1}));
        // DSD 2x keeps the time a buffer lasts.
        QCOMPARE(d->setSampleRate(5644800), ok);
        QCOMPARE(bufferSizes(d).at(2), 65536L);
        format.FormatType = kASIOPCMFormat;
        QCOMPARE(d->future(kAsioSetIoFormat, &format), ASIOError(ASE_SUCCESS));
        QCOMPARE(d->getSampleRate(&rate), ASIOError(ASE_OK));
        QCOMPARE(rate, 44100.0);
        d->Release();

        // Without native DSD, DoP where the card shows its markers (at 176.4 and 352.8 kHz, not
        // at 705.6 kHz, which it lacks); 16 one-bit samples a frame of 128 to 4096 S32 frames. A
        // card that sends plain PCM at those rates is refused DSD, saying why.
        const long success = ASE_SUCCESS, notPresent = ASE_NotPresent;
        d = new AlsaDriver(entryFor("dop_s32_le"));
        QCOMPARE(d->init(nullptr), ASIOTrue);
        format.FormatType = kASIODSDFormat;
        QCOMPARE((QList<long>{d->canSampleRate(2822400), d->canSampleRate(5644800),
                              d->canSampleRate(11289600), d->future(kAsioSetIoFormat, &format)}),
                 (QList<long>{ok, ok, noClock, success}));
        QCOMPARE(bufferSizes(d), (QList<long>{2048, 65536, 32768, -1}));
        d->Release();
        d = new AlsaDriver(entryFor("plain_hirate"));
        QCOMPARE(d->init(nullptr), ASIOTrue);
        QCOMPARE((QList<long>{d->canSampleRate(176400), d->canSampleRate(2822400),
                              d->canSampleRate(5644800), d->future(kAsioCanDoIoFormat, &format),
                              d->future(kAsioSetIoFormat, &format)}),
                 (QList<long>{ok, noClock, noClock, notPresent, notPresent}));
        QVERIFY2(errorOf(d).contains("sent no DoP markers, only plain PCM"), errorOf(d));
        d->Release();
    }

    // A DoP card hands the host the 16 bits of every frame as DSD bytes, the older byte first,
    // on both channels and across the periods (2048 frames at DSD 1x, 4096 at 2x); the stream
    // starts wherever the count has got to after the frames read at init. Monitoring goes back
    // to the card as DoP. Where the markers stop for 8192 frames (from frame 16384), the host
    // gets DSD idle for those and the 64 frames in which they must show again, and the loss
    // is counted once, as a resync.
    void takesDsdOverPcm_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<int>("format"); // in kFormats
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("losses");
        QTest::newRow("S32_LE 1x") << QByteArray("dop_s32_le") << 0 << 2822400.0 << 0;
        QTest::newRow("S32_LE 2x") << QByteArray("dop_s32_le") << 0 << 5644800.0 << 0;
        QTest::newRow("S24_3LE 1x") << QByteArray("dop_s24_3le") << 2 << 2822400.0 << 0;
        QTest::newRow("S24_LE 2x") << QByteArray("dop_s24_le") << 3 << 5644800.0 << 0;
        QTest::newRow("markers lost") << QByteArray("dop_lost") << 0 << 2822400.0 << 1;
    }

    void takesDsdOverPcm()
    {
        QFETCH(QByteArray, device);
        QFETCH(int, format);
        QFETCH(double, rate);
        QFETCH(int, losses);
        const Format& f = kFormats[format];
        Collector c;
        QVERIFY(stream(device, rate, &c, 16));
        QCOMPARE((QList<int>{int(static_cast<AlsaDriver*>(currentAsioDriver)->dopLossCount()),
                             c.resyncs.load()}),
                 (QList<int>{losses, losses}));
        if (losses)
            QVERIFY2(errorOf(currentAsioDriver).contains("DoP markers lost"),
                     errorOf(currentAsioDriver));
        ASIOExit();
        QCOMPARE(c.halfBytes, long(rate / 2822400 * 4096));
        quint32 first = 0;
        while (first < 65536 && dopStream(0, first, 1) != c.data[0].left(2))
            ++first;
        const quint32 frames = quint32(c.data[0].size() / 2);
        const quint32 idleFrom = losses ? 16384 : 0, idleTo = losses ? 16384 + 8192 + 64 : 0;
        QVERIFY(frames >= 16 * quint32(c.halfBytes) / 2 && first + frames > idleTo);
        const QByteArray expected[2] = {dopStream(0, first, frames, idleFrom, idleTo),
                                        dopStream(1, first, frames, idleFrom, idleTo)};
        QVERIFY(c.data[0] == expected[0]);
        QVERIFY(c.data[1] == expected[1]);

        // Played: the idle frames written before the start, then the inputs from their first
        // frame on, the markers alternating throughout.
        const QByteArray played = readAll(path(device + "_played.raw"));
        const int frameBytes = 2 * f.bytes;
        const QByteArray idle[2] = {dopStream(0, 0, 1, 0, 1), dopStream(1, 0, 1, 0, 1)};
        int lead = 0;
        while (played.mid(lead * frameBytes, frameBytes) == dopFrames(f, idle, lead % 2))
            ++lead;
        const QByteArray out = played.mid(lead * frameBytes);
        QVERIFY(lead >= 2 && out.size() >= c.halfBytes / 2 * frameBytes);
        QCOMPARE(out, dopFrames(f, expected, lead % 2).left(out.size()));
    }

    // A mono card offers one input and one output, a capture-only card no outputs, a card of
    // more channels all of them as inputs; the inputs asked for carry their channels' data in
    // order, whatever the DSD word layout or PCM sample format, and each input played back on
    // its output becomes the card's sample again. A card that takes 2 to 6 channels is opened
    // with the 4 that inputs 3-4 need. The eight channel card overruns once after 4800 frames
    // (512 a switch): the driver recovers, counts and reports it, and loses nothing the card
    // still had.
    void streamsEachChannelInOrderBothWays_data()
    {
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<int>("format");           // in kFormats
        QTest::addColumn<QList<long>>("channels"); // inputs, outputs
        QTest::addColumn<long>("first");           // input recorded first
        QTest::newRow("stereo") << QByteArray("halvik_stereo") << 0 << QList<long>{2, 2} << 0L;
        QTest::newRow("mono") << QByteArray("mono") << 0 << QList<long>{1, 1} << 0L;
        QTest::newRow("first two of eight, overrun")
            << QByteArray("eight") << 0 << QList<long>{8, 0} << 0L;
        QTest::newRow("inputs 7-8 of eight") << QByteArray("eight") << 0 << QList<long>{8, 0} << 6L;
        QTest::newRow("inputs 3-4 of four") << QByteArray("four") << 0 << QList<long>{4, 0} << 2L;
        QTest::newRow("inputs 3-4 of 2 to 6")
            << QByteArray("two_to_six") << 0 << QList<long>{6, 2} << 2L;
        for (int k = 1; k < 9; ++k)
            QTest::newRow(kFormats[k].alsa)
                << QByteArray(kFormats[k].alsa).toLower() << k << QList<long>{2, 2} << 0L;
    }

    void streamsEachChannelInOrderBothWays()
    {
        QFETCH(QByteArray, device);
        QFETCH(int, format);
        QFETCH(QList<long>, channels);
        QFETCH(long, first);
        const Format& f = kFormats[format];
        Collector c;
        QVERIFY(stream(device, f.bits ? 48000 : 2822400, &c, 12, first));
        const long in = host().inputChannelCount, out = host().outputChannelCount;
        QCOMPARE((QList<long>{in, out}), channels);
        if (device == "eight" && first == 0) {
            const auto* d = static_cast<AlsaDriver*>(currentAsioDriver);
            QVERIFY(d->xrunCount() >= 1 && c.resyncs >= 1);
            QVERIFY2(errorOf(currentAsioDriver).contains("overruns or underruns recovered"),
                     errorOf(currentAsioDriver));
        }
        ASIOExit(); // closes the PCMs, so a played file is complete
        QCOMPARE(c.resets.load(), 0);
        const long used = host().inputBufferCount;
        QCOMPARE(used, qMin(in, 2L));
        for (int i = 0; i < c.halves.size(); ++i)
            QCOMPARE(c.halves.at(i), long(i / used % 2));
        for (long k = 0; k < used; ++k) {
            QVERIFY(c.data[k].size() >= 12 * c.halfBytes);
            QVERIFY2(c.data[k] == hostData(f, int(first + k), c.data[k].size()),
                     qPrintable(QString::number(k)));
        }
        if (out == 0)
            return;
        // The played file holds the inputs from their first frame on.
        const QByteArray played =
            afterSilence(path(device + "_played.raw"), int(out) * f.bytes, f.bits ? '\0' : '\x69');
        QVERIFY(played.size() >= 2 * c.halfBytes);
        const quint32 frames = quint32(played.size() / (int(out) * f.bytes));
        QCOMPARE(played, cardData(f, int(first), int(out), frames, true));
    }

    // The card's reservation on the private bus, held by a program as a sound server holds it.
    // One that agrees to release the card stops keeping it busy, and the driver opens it,
    // keeps the name while it holds the card, answers another program's request with false,
    // and frees the name when released. One that refuses keeps the card; the driver leaves
    // it and its message names the holder.
    void reservesTheCardOnTheSessionBus_data()
    {
        QTest::addColumn<bool>("releases");
        QTest::newRow("holder releases") << true;
        QTest::newRow("holder refuses") << false;
    }

    void reservesTheCardOnTheSessionBus()
    {
        QFETCH(bool, releases);
        if (bus.state() != QProcess::Running)
            QSKIP("dbus-daemon is not installed: the card's reservation is not tested");
        const QString service = "org.freedesktop.ReserveDevice1.Audio7";
        QVERIFY(writeFile("reserved-busy", {}));
        QProcess holder;
        holder.start(
            TESSARO_RESERVATION_HOLDER,
            {"7", "Test Sound Server", releases ? "release" : "refuse", path("reserved-busy")});
        QVERIFY(holder.waitForReadyRead(10000));
        QDBusConnectionInterface* names = QDBusConnection::sessionBus().interface();
        const QString holderName = names->serviceOwner(service);

        auto* d = new AlsaDriver(entryFor("hw:7"));
        if (!releases) {
            QCOMPARE(d->init(nullptr), ASIOFalse);
            QCOMPARE(errorOf(d), QByteArray("hw:7 is busy: Test Sound Server holds it and would "
                                            "not release it; quit or stop Test Sound Server to "
                                            "free the card"));
            d->Release();
            QCOMPARE(names->serviceOwner(service).value(), holderName);
            return;
        }
        QCOMPARE(d->init(nullptr), ASIOTrue);
        QCOMPARE(names->serviceOwner(service).value(), QDBusConnection::sessionBus().baseService());
        QDBusConnection other = QDBusConnection::connectToBus(
            QString(qgetenv("DBUS_SESSION_BUS_ADDRESS")), "another program");
        QDBusPendingReply<bool> answer = other.asyncCall(
            QDBusMessage::createMethodCall(service, "/org/freedesktop/ReserveDevice1/Audio7",
                                           "org.freedesktop.ReserveDevice1", "RequestRelease")
            << 1000);
        QVERIFY(QTest::qWaitFor([&] { return answer.isFinished(); }, 10000));
        QVERIFY2(answer.isValid() && !answer.value(), qPrintable(answer.error().message()));
        d->Release();
        QVERIFY(!names->isServiceRegistered(service).value());
    }

    // A card that vanishes while streaming: one reset request and the reason in the error text.
    // (That no session starts until it is back shows in the recording across an unplug.)
    void vanishedCardSendsOneReset()
    {
        Collector c;
        QVERIFY(stream("halvik_stereo", 48000, &c, 2));
        QCOMPARE(ASIOStart(), ASIOError(ASE_OK));
        QVERIFY(writeFile("card-gone", QByteArray()));
        QVERIFY(QTest::qWaitFor([&] { return c.resets > 0; }, 10000));
        const QByteArray error = errorOf(currentAsioDriver);
        QVERIFY2(error.contains("device unplugged"), error);
        QCOMPARE(ASIOStop(), ASIOError(ASE_OK)); // the device thread has ended
        QCOMPARE(c.resets.load(), 1);
        ASIOExit();
        QVERIFY(QFile::remove(gone));
    }

    // The capture data lands in the file byte for byte, from the half-buffer where the
    // recording began. Across an unplug the same WAV file holds two takes of it: the card's data
    // up to the unplug, then the data of the card as it came back, which starts at its
    // beginning again; monitoring played that back from its first frame on. (The DSD words of
    // the cards reach the host in order in the stream table; the controller tests carry DSD
    // from the host into the files.)
    void recordsAcrossAnUnplugThroughTheController()
    {
        host().setBufferProcessor(controller); // the stream cases put a collector there
        // The vendor word in the name makes it a supported device.
        const QString driver = "halvik_stereo (ALSA)";
        QVERIFY2(controller->driverNames().contains(driver),
                 qPrintable(controller->driverNames().join(',')));
        QVERIFY(controller->initializeDriver(driver, 48000));
        QCOMPARE(controller->sampleRate(), 48000.0);
        // Only the rates the card takes, of all the host probes.
        QCOMPARE(controller->sampleRates(), (QList<double>{44100, 48000, 96000}));
        QVERIFY(controller->isStreaming());
        QSignalSpy unplugged(controller, &AsioController::unplugged);
        QSignalSpy ready(controller, &AsioController::driverReady);
        controller->setFileName(path("take.wav"));
        QVERIFY(controller->startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= 0.5, 20000);
        QVERIFY(writeFile("card-gone", QByteArray()));
        QVERIFY(unplugged.wait(10000));
        QVERIFY(controller->isReconnecting() && controller->isRecording());
        log.clear();
        QTRY_VERIFY_WITH_TIMEOUT(
            log.contains("hardware input or output is not present or available"), 10000);
        QVERIFY(QFile::remove(gone));
        QVERIFY(ready.wait(10000));
        const double before = controller->recordedSeconds();
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= before + 0.3, 20000);
        QVERIFY(controller->stopRecording());
        QTRY_VERIFY_WITH_TIMEOUT(controller->isIdle(), 10000);
        controller->unloadCurrentDriver();
        // The sample data after the 44-byte header of a plain PCM WAV file.
        const QByteArray data = readAll(path("take.wav")).mid(44);
        QVERIFY(data.size() >= 8 * 48000 * 0.8); // the seconds recorded
        const QList<quint32> starts = runs(data);
        QCOMPARE(starts.size(), 2);
        QCOMPARE(starts.at(1), 0u);
        QVERIFY(!QFile::exists(path("take_0002.wav")));
        const QByteArray out = afterSilence(path("halvik_stereo_played.raw"), 8, '\0');
        QVERIFY(out.size() >= 8 * 4800); // a tenth of a second at least
        QCOMPARE(out, readAll(path("halvik_stereo.raw")).left(out.size()));
    }
};

QTEST_GUILESS_MAIN(TestAlsaDriver)
#include "tst_alsadriver.moc"
