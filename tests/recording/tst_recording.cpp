// The recording library under real threads and real files: the pool, part and track names,
// the writer thread, the three format writers byte by byte against the published layouts, and
// the checks of a destination before anything is recorded. The writer's data are counting
// words: channel c, sample n carries (n << 1) | c, so loss, repetition, reordering and swapped
// channels all show when the files are read back.
#include "audiofile.h"
#include "audiofilewriter.h"
#include "clockfilename.h"
#include "mediaprobe.h"
#include "nextnumberedname.h"
#include "partitionmanager.h"
#include "recordingdestination.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <numeric>
#include <thread>

namespace {
constexpr int kWordsPerBlock = 256;
constexpr int kBlockBytes = kWordsPerBlock * 4;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

quint32 word(const QByteArray& f, int pos)
{
    return qFromLittleEndian<quint32>(f.constData() + pos);
}

// Checks the data size of a stereo WAV file and the counting pattern from sample n on; returns
// the next expected sample number, or -1 on a mismatch.
qint64 checkPattern(const QString& path, qint64 n)
{
    const QByteArray f = readAll(path);
    if (f.size() < 44 || f.left(4) != "RIFF" || word(f, 40) != quint32(f.size() - 44))
        return -1;
    for (int pos = 44; pos + 8 <= f.size(); pos += 8, ++n) {
        if (word(f, pos) != quint32(n << 1) || word(f, pos + 4) != quint32((n << 1) | 1))
            return -1;
    }
    return n;
}

// Writes one file of the given type from per-channel byte arrays, cut into frames of frameBytes.
void writeFile(const QString& path, int type, int rate, const QVector<QByteArray>& channels,
               int frameBytes, const RecordingMetadata& metadata = {})
{
    AudioFile file(path, type, channels.size());
    file.setSampleRate(rate);
    file.setBitsPerSample(32);
    file.setMetadata(metadata);
    QVERIFY(file.open());
    const int total = channels.isEmpty() ? 0 : channels[0].size();
    for (int offset = 0; offset < total; offset += frameBytes) {
        AudioBuffer frame(channels.size(), qMin(frameBytes, total - offset));
        for (int c = 0; c < channels.size(); ++c)
            frame.setChannelData(c, (uchar*)channels[c].constData() + offset);
        QVERIFY(file.writeBuffer(frame));
    }
    file.close();
}

// fromHex skips the blanks that group the fields.
QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A fixed-length text field of a Broadcast WAVE "bext" chunk, NUL-filled.
QByteArray field(const QByteArray& text, int length)
{
    return text + QByteArray(length - text.size(), '\0');
}

// The recording every metadata case describes: 4 March 2026, 05:06:07, from "Card".
const RecordingMetadata kTake(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7)), "Card", "REF1");

// Samples since midnight at 48 kHz of the first sample of kTake: 18367 s x 48000.
constexpr quint32 kTakeTimeReference = 881616000;

} // namespace

// Re-emits the writer's signals on the test's thread, where a QSignalSpy may watch them: the
// writer emits from its own thread, and a spy on the writer itself would fill its list there
// while the test reads it.
class Relay : public QObject
{
    Q_OBJECT
public:
    explicit Relay(AudioFileWriter* writer) : QObject(writer)
    {
        connect(writer, &AudioFileWriter::fileOpened, this, &Relay::fileOpened,
                Qt::QueuedConnection);
        connect(writer, &AudioFileWriter::fileClosed, this, &Relay::fileClosed,
                Qt::QueuedConnection);
        connect(writer, &AudioFileWriter::error, this, &Relay::error, Qt::QueuedConnection);
    }
signals:
    void fileOpened(const QString& name);
    void fileClosed(const QString& name);
    void error(int code, QString msg);
};

class TestRecording : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QSharedPointer<PartitionManager> pool;
    qint64 nextSample = 0;

    void feedBlock(AudioFileWriter& writer, int channel, qint64 firstSample,
                   int bytes = kBlockBytes)
    {
        uchar* p = pool->acquire();
        QVERIFY(p);
        for (int i = 0; i < bytes / 4; ++i)
            qToLittleEndian<quint32>(quint32(((firstSample + i) << 1) | channel), p + i * 4);
        writer.append(channel, p, bytes);
    }
    void feedFrames(AudioFileWriter& writer, int frames)
    {
        for (int f = 0; f < frames; ++f, nextSample += kWordsPerBlock) {
            feedBlock(writer, 0, nextSample);
            feedBlock(writer, 1, nextSample);
        }
    }
    bool waitAllFree()
    {
        return QTest::qWaitFor([&] { return pool->usedCount() == 0; }, 5000);
    }
    // Closes the file and waits until it is finished and every block is back in the pool.
    bool closeAndDrain(AudioFileWriter& writer)
    {
        QSignalSpy closed(new Relay(&writer), &Relay::fileClosed);
        writer.closeFile();
        return QTest::qWaitFor([&] { return !closed.isEmpty() && pool->usedCount() == 0; }, 5000);
    }
    QString path(const QString& name) { return QDir(dir.path()).absoluteFilePath(name); }

private slots:
    void init()
    {
        pool.reset(new PartitionManager(kBlockBytes * 512));
        QVERIFY(pool->setPartitionSize(kBlockBytes));
        nextSample = 0;
    }

    void poolHandsOutAndTakesBack()
    {
        PartitionManager small(10);
        const bool sizes[] = {small.setPartitionSize(10), small.setPartitionSize(0),
                              small.setPartitionSize(3)};
        QCOMPARE(QList<bool>(sizes, sizes + 3), (QList<bool>{false, false, true}));
        QCOMPARE(small.partitionCount(), 3);
        uchar* a = small.acquire();
        uchar* b = small.acquire();
        QCOMPARE((QList<qint64>{b - a, small.acquire() - a}), (QList<qint64>{3, 6}));
        QVERIFY(!small.acquire());
        QVERIFY(!small.setPartitionSize(2));
        QCOMPARE(small.partitionSize(), 3u);
        small.release(a + 1);
        small.release(nullptr);
        QCOMPARE(small.usedCount(), 3);
        small.release(b);
        small.release(b); // a second release of the same block frees nothing
        QCOMPARE(small.usedCount(), 2);
        QCOMPARE(small.acquire(), b);
    }

    // Parts and tracks count on from 0002 in four digits or more; a name whose number is not
    // one of ours gets a number of its own.
    void namesFollowTheNumbering()
    {
        const auto next = [this](const char* name, const char* marker) {
            return nextNumberedName(path(name), marker).replace(dir.path(), "@");
        };
        QCOMPARE(
            (QStringList{next("take.dsf", "_part"), next("take_part0002.dsf", "_part"),
                         next("take_part0009.dff", "_part"), next("take_part9999.dsf", "_part"),
                         next("take_part10000.dsf", "_part"), next("take", "_part"),
                         next("take.dsf", "_"), next("take_0002.dsf", "_"),
                         next("take_part0002.dsf", "_")}),
            (QStringList{"@/take_part0002.dsf", "@/take_part0003.dsf", "@/take_part0010.dff",
                         "@/take_part10000.dsf", "@/take_part10000_part0002.dsf",
                         "@/take_part0002.", "@/take_0002.dsf", "@/take_0003.dsf",
                         "@/take_part0002_0002.dsf"}));
    }

    // One writer through a next track while writing, a close, a block arriving after the close
    // (it belongs to no recording) and its destruction with a full queue (which is drained).
    void writesEveryFrameOnceAcrossTracksAndDrainsAtTheEnd()
    {
        QByteArray closed;
        qint64 first = 0;
        {
            AudioFileWriter writer(pool);
            writer.start(path("a.wav"), 0, 2, 32, 48000);
            feedFrames(writer, 40);
            // Frames still queued at the next start go to the next track, so a loaded machine
            // could leave a.wav empty: the switch waits until the first 40 are taken.
            QVERIFY(waitAllFree());
            writer.start(path("b.wav"), 0, 2, 32, 48000);
            feedFrames(writer, 40);
            QVERIFY(closeAndDrain(writer));
            QCOMPARE(checkPattern(path("b.wav"), checkPattern(path("a.wav"), 0)), nextSample);
            closed = readAll(path("b.wav"));
            writer.closeFile();
            feedBlock(writer, 0, 99999);
            first = nextSample;
            QSignalSpy opened(new Relay(&writer), &Relay::fileOpened);
            writer.start(path("c.wav"), 0, 2, 32, 48000);
            QCOMPARE(pool->usedCount(), 0);
            // Once the file is open, a frame whose channel 1 never comes holds up the queue, so
            // all that follows is still queued when the writer is destroyed.
            QTRY_COMPARE(opened.count(), 1);
            feedBlock(writer, 0, 0);
            feedFrames(writer, 200);
        }
        QCOMPARE(pool->usedCount(), 0);
        QCOMPARE(checkPattern(path("c.wav"), first), nextSample);
        QCOMPARE(readAll(path("b.wav")), closed);
        // A writer that waits idle between takes and is destroyed right after the next start
        // still writes that take: the quit must not overtake the start it follows.
        for (int take = 0; take < 20; ++take) {
            const QString name = path(QString("quick%1.wav").arg(take));
            {
                AudioFileWriter writer(pool);
                writer.start(path("idle.wav"), 0, 2, 32, 48000);
                QVERIFY(closeAndDrain(writer));
                writer.start(name, 0, 2, 32, 48000);
                first = nextSample;
                feedFrames(writer, 2);
            }
            QCOMPARE(checkPattern(name, first), nextSample);
        }
    }

    // A driver thread hands blocks over while the GUI thread stops the take at some point: the
    // file holds the counting pattern from its start without a gap, every block given after
    // the stop goes back to the pool, and a new take gets the blocks handed over after it.
    void driverThreadBlocksArriveOnceInOrderAcrossAStop_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("words"); // per channel block
        QTest::newRow("48 kHz, 2 words") << 48000 << 2;
        QTest::newRow("48 kHz, 256 words") << 48000 << 256;
        QTest::newRow("384 kHz, 64 words") << 384000 << 64;
        QTest::newRow("384 kHz, 4096 words") << 384000 << 4096;
    }
    void driverThreadBlocksArriveOnceInOrderAcrossAStop()
    {
        QFETCH(int, rate);
        QFETCH(int, words);
        pool.reset(new PartitionManager(64 * 4096 * 4));
        QVERIFY(pool->setPartitionSize(uint(words * 4)));
        AudioFileWriter writer(pool);
        // Names of their own per row: a name already taken would be numbered past, and the
        // check would read an earlier row's file.
        const QString take = QString("%1-%2-%3.wav").arg("%1").arg(rate).arg(words);
        std::atomic<qint64> handed{0}; // frames handed over so far
        std::atomic<bool> done{false};
        const auto drive = [&](qint64 frames) {
            for (qint64 n = handed; n < frames; ++n) {
                for (int channel = 0; channel < 2; ++channel) {
                    uchar* p = nullptr;
                    while (!(p = pool->acquire()))
                        std::this_thread::yield();
                    for (int i = 0; i < words; ++i)
                        qToLittleEndian<quint32>(quint32(((n * words + i) << 1) | channel),
                                                 p + i * 4);
                    writer.append(channel, p, words * 4);
                }
                handed = n + 1;
            }
            done = true;
        };
        writer.start(path(take.arg("first")), 0, 2, 32, rate);
        std::thread driver(drive, qint64(4000));
        QTRY_VERIFY(handed > 1000 || done);
        QVERIFY(closeAndDrain(writer));
        driver.join();
        QCOMPARE(pool->usedCount(), 0);
        const qint64 kept = checkPattern(path(take.arg("first")), 0);
        QVERIFY2(kept > 0 && kept % words == 0 && kept <= 4000 * words,
                 qPrintable(QString::number(kept)));

        const qint64 from = handed;
        writer.start(path(take.arg("second")), 0, 2, 32, rate);
        std::thread second(drive, from + 500);
        second.join();
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(checkPattern(path(take.arg("second")), from * words), (from + 500) * words);
    }

    // A part ends before the frame that would reach the maximum, but holds one frame at least.
    void splitsAtTheMaximumIntoNumberedParts_data()
    {
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("firstPartFrames");
        QTest::newRow("ten frames per part") << qint64(44 + 10 * 2 * kBlockBytes) << 25 << 9;
        QTest::newRow("tiny maximum") << qint64(1025) << 3 << 1;
    }

    void splitsAtTheMaximumIntoNumberedParts()
    {
        QFETCH(qint64, maxSize);
        QFETCH(int, frames);
        QFETCH(int, firstPartFrames);
        const QString stem = QString("s%1").arg(frames);
        const QStringList files{stem + ".wav", stem + "_part0002.wav", stem + "_part0003.wav"};
        AudioFileWriter writer(pool);
        QSignalSpy errors(new Relay(&writer), &Relay::error);
        writer.setFileMaxSize(1024);
        QTRY_COMPARE(errors.value(0), (QVariantList{3, "maximum size too small"}));
        QCOMPARE(writer.fileMaxSize(), qint64(524288000));
        writer.setFileMaxSize(maxSize);
        writer.start(path(files[0]), 0, 2, 32, 48000);
        feedFrames(writer, frames);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(QDir(dir.path()).entryList({QString("s%1*").arg(frames)}, QDir::Files, QDir::Name),
                 files);
        QCOMPARE(QFileInfo(path(files[0])).size(), qint64(44 + firstPartFrames * 2 * kBlockBytes));
        const auto onFrom = [this](qint64 n, const QString& f) { return checkPattern(path(f), n); };
        QCOMPARE(std::accumulate(files.begin(), files.end(), qint64(0), onFrom), nextSample);
        QCOMPARE(writer.fileName(), path(files.last()));
        QCOMPARE(errors.count(), 1);
    }

    // A name is claimed by creating its file: a file another program made under the name after
    // it was chosen stays as it is, at the start and at a split alike, and the take goes on
    // under the next free name, which fileName() and fileNameTaken report. Only an explicit
    // overwrite replaces a file.
    void takenNamesAreNeverTruncated()
    {
        const QByteArray foreign("another program's file");
        for (const char* name : {"taken.wav", "taken_0002_part0002.wav", "mine.wav"}) {
            QFile f(path(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(foreign) == foreign.size());
        }
        AudioFileWriter writer(pool);
        QSignalSpy taken(&writer, &AudioFileWriter::fileNameTaken);
        writer.setFileMaxSize(44 + 4 * 2 * kBlockBytes); // three frames a part
        writer.start(path("taken.wav"), 0, 2, 32, 48000);
        feedFrames(writer, 6);
        QVERIFY(closeAndDrain(writer));
        const QString first = path("taken_0002.wav"), second = path("taken_0002_part0003.wav");
        QCOMPARE(checkPattern(second, checkPattern(first, 0)), nextSample);
        QCOMPARE(readAll(path("taken.wav")) + readAll(path("taken_0002_part0002.wav")),
                 foreign + foreign);
        QCOMPARE(writer.fileName(), second);
        QCOMPARE(taken, (QList<QVariantList>{{path("taken.wav"), first},
                                             {path("taken_0002_part0002.wav"), second}}));

        writer.start(path("mine.wav"), 0, 2, 32, 48000, true);
        const qint64 from = nextSample;
        feedFrames(writer, 2);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(checkPattern(path("mine.wav"), from), nextSample);
        QCOMPARE(taken.size(), 2);
    }

    void pairsChannelsAndHoldsAnIncompleteFrameUntilClose()
    {
        AudioFileWriter writer(pool);
        QSignalSpy errors(new Relay(&writer), &Relay::error);
        writer.start(path("hold.wav"), 0, 2, 32, 48000);
        feedBlock(writer, 1, 0); // channel 1 before any channel 0: dropped
        feedBlock(writer, 0, 0);
        feedBlock(writer, 1, 0, kBlockBytes / 2); // shorter: the frame shrinks to it
        feedBlock(writer, 0, 1000);               // channel 1 never comes
        feedBlock(writer, 0, 2000);
        feedBlock(writer, 1, 2000);
        feedBlock(writer, 0, 3000);         // a stop fell before its channel 1
        QTRY_COMPARE(pool->usedCount(), 4); // the incomplete frames and the one between them wait
        QVERIFY(closeAndDrain(writer));
        // Only the frame in the middle is a fault; the last half frame is where the take ends.
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0), QVariant(2));
        const QByteArray f = readAll(path("hold.wav"));
        QCOMPARE(f.size(), 44 + kBlockBytes + 2 * kBlockBytes);
        QCOMPARE(word(f, 44 + kBlockBytes), quint32(4000));
        // Blocks held for a file that cannot be opened go back to the pool at once, not at the
        // close: the pool would fill up while the recorder still counts as recording.
        writer.start(path("hold2.wav"), 0, 2, 32, 48000);
        feedBlock(writer, 0, 0);
        feedFrames(writer, 3);
        writer.start(path("missing/take.wav"), 0, 2, 32, 48000);
        QVERIFY(waitAllFree());
    }

    // Data reach the file a quarter second of audio after they came at the latest, the header
    // follows every second of audio. 8000 Hz stereo 32-bit is 64000 bytes a second, 2048 a frame.
    void dataAndHeaderReachTheDiskInTime_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("onDiskAtLeast");
        QTest::addColumn<int>("headerAtLeast");
        QTest::newRow("a third of a second") << 10 << 16000 << 0;
        QTest::newRow("over a second") << 40 << 64000 << 64000;
        QTest::newRow("header due with the last frame") << 32 << 64000 << 64000;
    }

    void dataAndHeaderReachTheDiskInTime()
    {
        QFETCH(int, frames);
        QFETCH(int, onDiskAtLeast);
        QFETCH(int, headerAtLeast);
        AudioFileWriter writer(pool);
        const QString file = path(QString("live%1.wav").arg(frames));
        writer.start(file, 0, 2, 32, 8000);
        feedFrames(writer, frames);
        QByteArray f;
        QTRY_VERIFY2((f = readAll(file)).size() - 44 >= onDiskAtLeast &&
                         word(f, 40) >= quint32(headerAtLeast),
                     qPrintable(QString("%1 bytes, header %2").arg(f.size()).arg(word(f, 40))));
        QVERIFY(word(f, 40) <= quint32(f.size() - 44));
        // A player opening the file now, or after a crash, trusts both sizes: they must agree.
        QCOMPARE(word(f, 4), word(f, 40) + 36);
        QVERIFY(closeAndDrain(writer));
    }

    void emptyFilesCarryTheHeaderAlone()
    {
        writeFile(path("e.dsf"), 2, 2822400, {QByteArray(), QByteArray()}, 1);
        QCOMPARE(readAll(path("e.dsf")),
                 hex("44534420 1c00000000000000 5c00000000000000 0000000000000000"
                     "666d7420 3400000000000000 01000000 00000000 02000000 02000000"
                     "0011 2b00 01000000 0000000000000000 00100000 00000000"
                     "64617461 0c00000000000000"));
        writeFile(path("e.dff"), 1, 5644800, {QByteArray(), QByteArray()}, 1);
        QCOMPARE(readAll(path("e.dff")), hex("46524d38 0000000000000076 44534420"
                                             "46564552 0000000000000004 01050000"
                                             "50524f50 000000000000004a 534e4420"
                                             "46532020 0000000000000004 00562200"
                                             "43484e4c 000000000000000a 0002 534c4654 53524754"
                                             "434d5052 0000000000000014 44534420 0e") +
                                             QByteArray("not compressed") +
                                             hex("00 44534420 0000000000000000"));
        writeFile(path("e.wav"), 0, 192000, {QByteArray(), QByteArray()}, 1);
        QCOMPARE(readAll(path("e.wav")),
                 hex("52494646 24000000 57415645 666d7420 10000000 0100 0200"
                     "00ee0200 00701700 0800 2000 64617461 00000000"));
    }

    // The header fields are file size, sample count per channel (without padding) and data
    // chunk size; the samples follow bit-reversed, each channel in 4096-byte blocks, the last
    // one padded with zeros. Every byte value is reversed, and frames of 4608 bytes take both
    // the whole-block way and the staged one.
    void dsfStoresBitReversedBlocksWithPadding()
    {
        const int n = 18005;
        QByteArray left(n, '\0'), reversedLeft(n, '\0'), expected;
        for (int i = 0; i < n; ++i) {
            left[i] = char(i * 7 + i / 251);
            for (int bit = 0; bit < 8; ++bit)
                reversedLeft[i] = char(reversedLeft[i] | (uchar(left[i]) >> bit & 1) << (7 - bit));
        }
        writeFile(path("p.dsf"), 2, 2822400, {left, QByteArray(n, '\x69')}, 4608);
        const QByteArray f = readAll(path("p.dsf"));
        QCOMPARE(f.mid(12, 8) + f.mid(64, 8) + f.mid(84, 8), // 92 + 40960, 144040, 40960 + 12
                 hex("5ca0000000000000 a832020000000000 0ca0000000000000"));
        for (int at = 0; at < n; at += 4096)
            expected += reversedLeft.mid(at, 4096).leftJustified(4096, '\0') +
                        QByteArray(qMin(4096, n - at), '\x96').leftJustified(4096, '\0');
        QCOMPARE(f.mid(92), expected);
        writeFile(path("b.dsf"), 2, 2822400, {QByteArray(4096, 'A'), QByteArray(4096, 'B')}, 512);
        const QByteArray full = readAll(path("b.dsf"));
        // 32768 samples, and no padding block
        QCOMPARE(full.mid(64, 8) + full.mid(92),
                 hex("0080000000000000") + QByteArray(4096, '\x82') + QByteArray(4096, 'B'));
    }

    void dffAndWavInterleave()
    {
        writeFile(path("i.dff"), 1, 2822400, {QByteArray("ABC"), QByteArray("DEF")}, 3);
        const QByteArray dff = readAll(path("i.dff"));
        // Form size 118 + 6, sound data size 6, then the interleaved bytes.
        QCOMPARE(dff.mid(4, 8) + dff.mid(122), hex("000000000000007c 0000000000000006") + "ADBECF");
        writeFile(path("i.wav"), 0, 44100, {hex("0102030405060708"), hex("1112131415161718")}, 8);
        const QByteArray wav = readAll(path("i.wav"));
        // RIFF size 36 + 16, byte rate 352800, data size 16, then the interleaved words.
        QCOMPARE(wav.mid(4, 4) + wav.mid(28, 4) + wav.mid(40),
                 hex("34000000 20620500 10000000 01020304 11121314 05060708 15161718"));
    }

    // What a writer cannot store is refused: nothing half written, no file of an unknown type.
    // Each format's own place for the recording's metadata, laid out from its document (EBU
    // Tech 3285 "bext", ID3v2.4 at the DSF metadata pointer, DSDIFF 1.5 "COMT"), read back by
    // ffprobe; switched off, the canonical headers of the cases above and no tags.
    void metadataInEachFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("embedded");
        QTest::addColumn<int>("offset");
        QTest::addColumn<QByteArray>("expected"); // at offset, to the end of the header
        QTest::addColumn<int>("sizesOffset");
        QTest::addColumn<QByteArray>("sizes"); // the size fields that count it
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QString>("value");
        const QByteArray bext = "bext" + hex("94020000") + QByteArray(256, '\0') +
                                field("Tessaro Recorder", 32) + field("REF1", 32) + "2026-03-04" +
                                "05:06:07" + hex("80648c34 00000000 0100") +
                                QByteArray(64 + 190, '\0') +
                                "A=PCM,F=48000,W=32,M=stereo,T=Tessaro Recorder 1.3; Card\r\n";
        QTest::newRow("wav") << 0 << true << 36 << bext + "data" + hex("10000000") << 4
                             << hex("d0020000") << "date"
                             << "2026-03-04";
        QTest::newRow("wav off") << 0 << false << 36 << "data" + hex("10000000") << 4
                                 << hex("34000000") << "date"
                                 << "";
        const QByteArray comt = "COMT" +
                                hex("0000000000000050 0001 07ea 03 04 05 06 0000 0000 00000040") +
                                "Recorded 2026-03-04T05:06:07 with Tessaro Recorder 1.3 from Card";
        QTest::newRow("dff") << 1 << true << 118 << comt + "DSD " + hex("0000000000000006") << 4
                             << hex("00000000000000d8") << "comment"
                             << "Recorded 2026-03-04T05:06:07 with Tessaro Recorder 1.3 from Card";
        QTest::newRow("dff off") << 1 << false << 118 << "DSD " + hex("0000000000000006") << 4
                                 << hex("000000000000007c") << "comment"
                                 << "";
        const QByteArray id3 = "ID3" + hex("040000 00000053") + "TDRC" + hex("00000014 0000 03") +
                               "2026-03-04T05:06:07" + "TSSE" + hex("00000015 0000 03") +
                               "Tessaro Recorder 1.3" + "TXXX" + hex("0000000c 0000 03") +
                               "device" + hex("00") + "Card";
        QTest::newRow("dsf") << 2 << true << 92 + 8192 << id3 << 12
                             << hex("b920000000000000 5c20000000000000") << "date"
                             << "2026-03-04T05:06:07";
        QTest::newRow("dsf off") << 2 << false << 92 + 8192 << QByteArray() << 12
                                 << hex("5c20000000000000 0000000000000000") << "date"
                                 << "";
    }

    void metadataInEachFormat()
    {
        QFETCH(int, type);
        QFETCH(bool, embedded);
        QFETCH(int, offset);
        QFETCH(QByteArray, expected);
        QFETCH(int, sizesOffset);
        QFETCH(QByteArray, sizes);
        QFETCH(QString, tag);
        QFETCH(QString, value);
        const QString name = path(QString("meta%1%2").arg(type).arg(embedded));
        const RecordingMetadata metadata = embedded ? kTake : RecordingMetadata();
        if (type == 0)
            writeFile(name, 0, 48000, {hex("0102030405060708"), hex("1112131415161718")}, 8,
                      metadata);
        else
            writeFile(
                name, type, 2822400,
                {QByteArray(type == 1 ? 3 : 1000, 'A'), QByteArray(type == 1 ? 3 : 1000, 'B')},
                1000, metadata);
        const QByteArray bytes = readAll(name);
        QCOMPARE(bytes.mid(offset, expected.size()), expected);
        QCOMPARE(bytes.mid(sizesOffset, sizes.size()), sizes);
        if (type != 2) // the sound data close WAV and DSDIFF files, the tag a DSF file
            QCOMPARE(bytes.size(), offset + expected.size() + (type == 0 ? 16 : 6));
        else
            QCOMPARE(bytes.size(), offset + expected.size());
        QCOMPARE(MediaProbe::probe(name).tags.value(tag), value);
    }

    // Every part of a split recording names the time of its own first sample.
    void splitPartsCountOnFromTheRecordingsStart()
    {
        const QStringList files{"m.wav", "m_part0002.wav", "m_part0003.wav"};
        AudioFileWriter writer(pool);
        writer.setFileMaxSize(712 + 10 * 2 * kBlockBytes);
        writer.setMetadata(kTake);
        writer.start(path(files[0]), 0, 2, 32, 48000);
        feedFrames(writer, 25);
        QVERIFY(closeAndDrain(writer));
        QList<quint32> references;
        for (const QString& f : files)
            references << word(readAll(path(f)), 36 + 8 + 338);
        const quint32 part = 9 * kWordsPerBlock; // nine frames fit below the maximum
        QCOMPARE(references, (QList<quint32>{kTakeTimeReference, kTakeTimeReference + part,
                                             kTakeTimeReference + 2 * part}));
    }

    // Date and time fields take the moment given; anything else, a lone % included, stays.
    void clockFieldsAreFilledIn()
    {
        const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7));
        QCOMPARE((QStringList{ClockFileName::expand("~/rec/%Y-%m-%d_%H%M%S.dsf", at),
                              ClockFileName::expand("100%%_%Y%q%", at),
                              ClockFileName::expand("take.wav", at)}),
                 (QStringList{"~/rec/2026-03-04_050607.dsf", "100%_2026%q%", "take.wav"}));
        QCOMPARE(
            (QList<bool>{ClockFileName::hasFields("a%S"), ClockFileName::hasFields("50%.wav")}),
            (QList<bool>{true, false}));
    }

    void refusesWhatItCannotStore_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("filledChannels");
        QTest::newRow("unknown type") << path("x.raw") << 3 << 2;
        QTest::newRow("wav, incomplete frame") << path("inc.wav") << 0 << 1;
        // /dev/full accepts the open and refuses every byte, like a disk that is full.
        QTest::newRow("wav, full disk") << "/dev/full" << 0 << 2;
        QTest::newRow("dff, full disk") << "/dev/full" << 1 << 2;
    }

    void refusesWhatItCannotStore()
    {
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(int, filledChannels);
        AudioFile file(name, type, 2);
        file.setReplaceExisting(true); // /dev/full exists: only an explicit overwrite opens it
        QCOMPARE(file.open(), type <= 2);
        QByteArray data(64 * 1024, 'x');
        AudioBuffer frame(2, data.size());
        for (int c = 0; c < filledChannels; ++c)
            frame.setChannelData(c, (uchar*)data.data());
        QVERIFY(!file.writeBuffer(frame));
        if (type > 2)
            QCOMPARE(QString("%1, %2 bytes, exists: %3")
                         .arg(file.errorString())
                         .arg(file.size())
                         .arg(QFile::exists(name)),
                     QString("No Implementation Set, 0 bytes, exists: 0"));
    }

    // The container follows the data, blanks around a name never reach the file, blanks alone
    // are no name; relative names resolve against the working directory, as typed names do.
    // Only wav, dsf and dff are extensions: other text after a dot belongs to the name. After a
    // settings change (last argument) the chosen DSD container wins over a typed one.
    void conformedName()
    {
        QVERIFY(QDir::setCurrent(dir.path()));
        const auto conformed = [this](const char* typed, bool dsd, const char* dsdType,
                                      bool settings = false) {
            const QString name = RecordingDestination::conformedName(
                typed, dsd, dsdType,
                settings ? RecordingDestination::DsdContainer::FromSettings
                         : RecordingDestination::DsdContainer::AsTyped);
            return name.isEmpty() ? QString("-") : QString(name).replace(dir.path(), "@");
        };
        QCOMPARE(
            (QStringList{conformed("take.dsf", false, "dsf"), conformed("take.wav", true, "dff"),
                         conformed("take.dsf", true, "dff"), conformed("TAKE.WAV", false, "dsf"),
                         conformed("take", false, "dff"), conformed("take", true, "DSF"),
                         conformed(" take.wav", false, "dff"), conformed("sp.dsf ", true, "dff"),
                         conformed("take .wav\t", false, "dff"), conformed("   ", false, "dsf"),
                         conformed("take.dsf", true, "dff", true),
                         conformed("take.Dff", false, "dsf", true),
                         conformed("Konzert 12.05.2024", false, "dff"),
                         conformed("Konzert 12.05.2024", true, "dff", true),
                         conformed("mix.v2.wav", true, "dsf"), conformed("take.", false, "dsf")}),
            (QStringList{"@/take.wav", "@/take.dff", "@/take.dsf", "@/TAKE.WAV", "@/take.wav",
                         "@/take.dsf", "@/take.wav", "@/sp.dsf", "@/take .wav", "-", "@/take.dff",
                         "@/take.wav", "@/Konzert 12.05.2024.wav", "@/Konzert 12.05.2024.dff",
                         "@/mix.v2.dsf", "@/take.wav"}));
        QVERIFY(RecordingDestination::availableBytes(path("take.wav")) > 0);
    }

    void problems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QString() << "no destination file name";
        QTest::newRow("only blanks") << QStringLiteral("   ") << "no destination file name";
        QTest::newRow("existing folder") << path("folder") << "is a folder";
        QTest::newRow("missing folder") << path("missing/take.wav") << "does not exist";
        QTest::newRow("file as folder") << path("plain.wav/take.wav") << "is not a folder";
        QTest::newRow("new file") << path("new.wav") << QString();
        QTest::newRow("existing file") << path("plain.wav") << QString();
        // The longest name of a take adds "_9999_part9999": 241 + 14 bytes is the limit of 255.
        QTest::newRow("name too long") << path(QString(300, QLatin1Char('x')) + ".wav")
                                       << "more than the 255 the file system allows";
        QTest::newRow("no room for the numbers") << path(QString(238, QLatin1Char('x')) + ".wav")
                                                 << "it needs 256 bytes, more than the 255";
        QTest::newRow("room for the numbers")
            << path(QString(237, QLatin1Char('x')) + ".wav") << QString();
    }
    void problems()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QDir(dir.path()).mkpath(QStringLiteral("folder"));
        QVERIFY(QFile(path("plain.wav")).open(QIODevice::WriteOnly));
        const bool existed = QFileInfo::exists(name);
        const QString problem = RecordingDestination::problem(name);
        QVERIFY2(reason.isEmpty() ? problem.isEmpty() : problem.contains(reason),
                 qPrintable(problem));
        QCOMPARE(QFileInfo::exists(name), existed); // the check leaves no trace
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "tst_recording.moc"
