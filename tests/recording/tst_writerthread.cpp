// The pool, part naming and the writer thread under real threads and real files. Data are
// counting words: channel c, sample n carries (n << 1) | c, so loss, repetition, reordering and
// swapped channels all show when the files are read back.
#include "audiofilewriter.h"
#include "nextnumberedname.h"
#include "partitionmanager.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <thread>

namespace {

constexpr int kWordsPerBlock = 256;
constexpr int kBlockBytes = kWordsPerBlock * 4;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// Reads the interleaved stereo words of a WAV file and checks the counting pattern from
// firstSample on; returns the next expected sample number, or -1 on a mismatch.
qint64 checkPattern(const QString& path, qint64 firstSample)
{
    const QByteArray f = readAll(path);
    if (f.size() < 44 || f.left(4) != "RIFF")
        return -1;
    const quint32 dataSize = qFromLittleEndian<quint32>(f.constData() + 40);
    if (dataSize != quint32(f.size() - 44))
        return -1;
    qint64 n = firstSample;
    for (int pos = 44; pos + 8 <= f.size(); pos += 8, ++n) {
        if (qFromLittleEndian<quint32>(f.constData() + pos) != quint32(n << 1)
            || qFromLittleEndian<quint32>(f.constData() + pos + 4) != quint32((n << 1) | 1))
            return -1;
    }
    return n;
}

} // namespace

class TestWriterThread : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QSharedPointer<PartitionManager> pool;
    qint64 nextSample = 0;

    void feedBlock(AudioFileWriter& writer, int channel, qint64 firstSample, int bytes = kBlockBytes)
    {
        uchar* p = pool->acquire();
        QVERIFY(p);
        for (int i = 0; i < bytes / 4; ++i)
            qToLittleEndian<quint32>(quint32(((firstSample + i) << 1) | channel), p + i * 4);
        writer.append(channel, p, bytes);
    }
    void feedFrames(AudioFileWriter& writer, int frames)
    {
        for (int f = 0; f < frames; ++f) {
            feedBlock(writer, 0, nextSample);
            feedBlock(writer, 1, nextSample);
            nextSample += kWordsPerBlock;
        }
    }
    bool waitAllFree() { return QTest::qWaitFor([&] { return pool->usedCount() == 0; }, 5000); }
    // Closes the file and waits until the writer has taken every block back to the pool.
    bool closeAndDrain(AudioFileWriter& writer)
    {
        writer.closeFile();
        const bool drained = waitAllFree();
        QTest::qWait(100);
        return drained;
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
        QVERIFY(!small.setPartitionSize(10));
        QVERIFY(!small.setPartitionSize(0));
        QVERIFY(small.setPartitionSize(3));
        QCOMPARE(small.partitionCount(), 3);
        uchar* a = small.acquire();
        uchar* b = small.acquire();
        uchar* c = small.acquire();
        QCOMPARE(b - a, 3);
        QCOMPARE(c - a, 6);
        QVERIFY(!small.acquire());
        QVERIFY(!small.setPartitionSize(2));
        QCOMPARE(small.partitionSize(), 3u);
        small.release(a + 1);
        small.release(nullptr);
        QCOMPARE(small.usedCount(), 3);
        small.release(b);
        small.release(b);
        QCOMPARE(small.usedCount(), 2);
        QCOMPARE(small.acquire(), b);
    }

    void namesFollowTheNumbering_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("marker");
        QTest::addColumn<QString>("next");
        QTest::newRow("first part") << "take.dsf" << "_part" << "take_part0002.dsf";
        QTest::newRow("next part") << "take_part0002.dsf" << "_part" << "take_part0003.dsf";
        QTest::newRow("carry") << "take_part0009.dff" << "_part" << "take_part0010.dff";
        QTest::newRow("five digits") << "take_part9999.dsf" << "_part" << "take_part10000.dsf";
        QTest::newRow("not numbered") << "take_part10000.dsf" << "_part"
                                      << "take_part10000_part0002.dsf";
        QTest::newRow("bare marker") << "_part0003.dsf" << "_part" << "_part0003_part0002.dsf";
        QTest::newRow("two dots") << "a.b.wav" << "_part" << "a.b_part0002.wav";
        QTest::newRow("no suffix") << "take" << "_part" << "take_part0002.";
        QTest::newRow("track") << "take.dsf" << "_" << "take_0002.dsf";
        QTest::newRow("next track") << "take_0002.dsf" << "_" << "take_0003.dsf";
        QTest::newRow("part as track") << "take_part0002.dsf" << "_" << "take_part0002_0002.dsf";
    }

    void namesFollowTheNumbering()
    {
        QFETCH(QString, name);
        QFETCH(QString, marker);
        QFETCH(QString, next);
        QCOMPARE(nextNumberedName(path(name), marker), path(next));
    }

    void writesEveryFrameOnceAcrossNextFile()
    {
        AudioFileWriter writer(pool);
        writer.start(path("a.wav"), 0, 2, 32, 48000);
        feedFrames(writer, 40);
        // Frames still queued at the next start go to the next track, so a loaded machine could
        // leave a.wav empty: the switch waits until the first 40 are taken.
        QVERIFY(waitAllFree());
        writer.start(path("b.wav"), 0, 2, 32, 48000);  // next track while writing
        feedFrames(writer, 40);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(checkPattern(path("b.wav"), checkPattern(path("a.wav"), 0)), nextSample);
    }

    // A part ends before the frame that would reach the maximum, but holds one frame at least.
    void splitsAtTheMaximumIntoNumberedParts_data()
    {
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("firstPartFrames");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("ten frames per part") << qint64(44 + 10 * 2 * kBlockBytes) << 25 << 9
                                             << QStringList{"s25.wav", "s25_part0002.wav", "s25_part0003.wav"};
        QTest::newRow("tiny maximum") << qint64(1025) << 3 << 1
                                      << QStringList{"s3.wav", "s3_part0002.wav", "s3_part0003.wav"};
    }

    void splitsAtTheMaximumIntoNumberedParts()
    {
        QFETCH(qint64, maxSize);
        QFETCH(int, frames);
        QFETCH(int, firstPartFrames);
        QFETCH(QStringList, files);
        AudioFileWriter writer(pool);
        QSignalSpy errors(&writer, &AudioFileWriter::error);
        writer.setFileMaxSize(1024);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(1).toString(), QString("maximum size too small"));
        QCOMPARE(writer.fileMaxSize(), qint64(524288000));
        writer.setFileMaxSize(maxSize);
        writer.start(path(files[0]), 0, 2, 32, 48000);
        feedFrames(writer, frames);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(QDir(dir.path()).entryList({QString("s%1*").arg(frames)}, QDir::Files, QDir::Name), files);
        QCOMPARE(QFileInfo(path(files[0])).size(), qint64(44 + firstPartFrames * 2 * kBlockBytes));
        qint64 n = 0;
        for (const QString& f : files)
            n = checkPattern(path(f), n);
        QCOMPARE(n, nextSample);
        QCOMPARE(writer.fileName(), path(files.last()));
    }

    void pairsChannelsAndHoldsAnIncompleteFrameUntilClose()
    {
        AudioFileWriter writer(pool);
        QSignalSpy errors(&writer, &AudioFileWriter::error);
        writer.start(path("hold.wav"), 0, 2, 32, 48000);
        feedBlock(writer, 1, 0);                      // channel 1 before any channel 0: dropped
        feedBlock(writer, 0, 0);
        feedBlock(writer, 1, 0, kBlockBytes / 2);     // shorter: the frame shrinks to it
        feedBlock(writer, 0, 1000);                   // channel 1 never comes
        feedBlock(writer, 0, 2000);
        feedBlock(writer, 1, 2000);
        feedBlock(writer, 0, 3000);                   // a stop fell before its channel 1
        QTest::qWait(200);
        QCOMPARE(pool->usedCount(), 4);  // the incomplete frames and the one between them wait
        writer.closeFile();
        QVERIFY(waitAllFree());
        // Only the frame in the middle is a fault; the last half frame is where the take ends.
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toInt(), 2);
        const QByteArray f = readAll(path("hold.wav"));
        QCOMPARE(f.size(), 44 + kBlockBytes + 2 * kBlockBytes);
        QCOMPARE(qFromLittleEndian<quint32>(f.constData() + 44 + kBlockBytes), quint32(4000));
    }

    void staleBlocksDoNotOpenTheNextRecording()
    {
        AudioFileWriter writer(pool);
        writer.start(path("one.wav"), 0, 2, 32, 48000);
        feedFrames(writer, 4);
        QVERIFY(closeAndDrain(writer));
        const QByteArray closed = readAll(path("one.wav"));
        writer.closeFile();
        feedBlock(writer, 0, 99999);  // arrives after the close: belongs to no recording
        QTest::qWait(100);
        QCOMPARE(readAll(path("one.wav")), closed);
        nextSample = 0;
        writer.start(path("two.wav"), 0, 2, 32, 48000);
        QCOMPARE(pool->usedCount(), 0);
        feedFrames(writer, 4);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(checkPattern(path("two.wav"), 0), nextSample);
    }

    void destructionDrainsTheQueue()
    {
        {
            AudioFileWriter writer(pool);
            writer.start(path("drain.wav"), 0, 2, 32, 48000);
            std::thread producer([&] { feedFrames(writer, 200); });
            producer.join();
        }
        QCOMPARE(pool->usedCount(), 0);
        QCOMPARE(checkPattern(path("drain.wav"), 0), nextSample);
    }

    void unusableDestinationIsReportedOnceAndFreesThePool_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::newRow("blank name") << "   " << 0 << 1 << "invalid filename";
        QTest::newRow("missing folder") << path("no/such/dir/x.wav") << 0 << 4 << "No such file or directory";
        QTest::newRow("name of a folder") << path("folder.dff") << 1 << 4 << "Is a directory";
        QTest::newRow("takes no header") << "/dev/full" << 2 << 4 << "No space left on device";
        QTest::newRow("unknown type") << path("x.raw") << 7 << 4 << "No Implementation Set";
    }

    void unusableDestinationIsReportedOnceAndFreesThePool()
    {
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(int, code);
        QFETCH(QString, reason);
        QDir(dir.path()).mkpath("folder.dff");
        AudioFileWriter writer(pool);
        QSignalSpy errors(&writer, &AudioFileWriter::error);
        writer.start(name, type, 2, 32, 48000);
        QVERIFY(QTest::qWaitFor([&] { return errors.count() == 1; }, 2000));
        QCOMPARE(errors.at(0).at(0).toInt(), code);
        const QString message = code == 1 ? reason : QDir::toNativeSeparators(name) + ": " + reason;
        QCOMPARE(errors.at(0).at(1).toString(), message);
        // Blocks that keep coming until the recording is stopped go straight back to the pool,
        // without another message.
        feedFrames(writer, 20);
        QCOMPARE(pool->usedCount(), 0);
        writer.closeFile();
        QTest::qWait(100);
        QCOMPARE(errors.count(), 1);
        const qint64 first = nextSample;
        writer.start(path("after.wav"), 0, 2, 32, 48000);
        feedFrames(writer, 3);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(checkPattern(path("after.wav"), first), nextSample);
    }

    // DSF groups a 4096-byte block of each channel, every byte's bits reversed, whatever size
    // the driver's blocks have; the last group is padded with zeros.
    void dsfBlocksDoNotDependOnTheDriversBlockSize_data()
    {
        QTest::addColumn<int>("blockBytes");
        QTest::newRow("whole blocks") << 4096;
        QTest::newRow("small blocks") << 1024;
        QTest::newRow("straddling blocks") << 4608;
    }

    void dsfBlocksDoNotDependOnTheDriversBlockSize()
    {
        QFETCH(int, blockBytes);
        pool.reset(new PartitionManager(blockBytes * 64));
        QVERIFY(pool->setPartitionSize(blockBytes));
        const int perChannel = 4 * 4608;
        auto byteOf = [](int channel, int i) { return uchar(i * 7 + channel * 131 + i / 251); };
        {
            AudioFileWriter writer(pool);
            writer.start(path("blocks.dsf"), 2, 2, 32, 2822400);
            for (int offset = 0; offset < perChannel; offset += blockBytes) {
                const int bytes = qMin(blockBytes, perChannel - offset);
                for (int channel = 0; channel < 2; ++channel) {
                    uchar* p = pool->acquire();
                    QVERIFY(p);
                    for (int i = 0; i < bytes; ++i)
                        p[i] = byteOf(channel, offset + i);
                    writer.append(channel, p, bytes);
                }
            }
            writer.closeFile();
        }
        QByteArray expected;
        for (int group = 0; group * 4096 < perChannel; ++group) {
            for (int channel = 0; channel < 2; ++channel) {
                for (int i = group * 4096; i < (group + 1) * 4096; ++i) {
                    uchar reversed = 0;
                    for (int bit = 0; i < perChannel && bit < 8; ++bit)
                        reversed |= ((byteOf(channel, i) >> bit) & 1) << (7 - bit);
                    expected.append(char(reversed));
                }
            }
        }
        QCOMPARE(readAll(path("blocks.dsf")).mid(92), expected);
    }

    // 8000 Hz stereo 32-bit is 64000 bytes a second, 2048 bytes a frame.
    void dataReachTheDiskWithinAQuarterSecond_data()
    {
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("onDiskAtLeast");
        QTest::addColumn<int>("headerAtLeast");
        QTest::newRow("a third of a second") << 10 << 16000 << 0;
        QTest::newRow("over a second") << 40 << 64000 << 64000;
        QTest::newRow("header due with the last frame") << 32 << 64000 << 64000;
    }

    void dataReachTheDiskWithinAQuarterSecond()
    {
        QFETCH(int, frames);
        QFETCH(int, onDiskAtLeast);
        QFETCH(int, headerAtLeast);
        AudioFileWriter writer(pool);
        writer.start(path("live.wav"), 0, 2, 32, 8000);
        feedFrames(writer, frames);
        QTest::qWait(300);
        const QByteArray f = readAll(path("live.wav"));
        const quint32 claimed = qFromLittleEndian<quint32>(f.constData() + 40);
        QVERIFY2(f.size() - 44 >= onDiskAtLeast, qPrintable(QString::number(f.size())));
        QVERIFY2(claimed >= quint32(headerAtLeast), qPrintable(QString::number(claimed)));
        QVERIFY(claimed <= quint32(f.size() - 44));
        // A player opening the file now, or after a crash, trusts both sizes: they must agree.
        QCOMPARE(qFromLittleEndian<quint32>(f.constData() + 4), claimed + 36);
        writer.closeFile();
        QVERIFY(waitAllFree());
    }
};
QTEST_GUILESS_MAIN(TestWriterThread)
#include "tst_writerthread.moc"
