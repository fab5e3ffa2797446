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

namespace {
constexpr int kWordsPerBlock = 256;
constexpr int kBlockBytes = kWordsPerBlock * 4;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

quint32 word(const QByteArray& f, int pos) { return qFromLittleEndian<quint32>(f.constData() + pos); }

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
        for (int f = 0; f < frames; ++f, nextSample += kWordsPerBlock) {
            feedBlock(writer, 0, nextSample);
            feedBlock(writer, 1, nextSample);
        }
    }
    bool waitAllFree() { return QTest::qWaitFor([&] { return pool->usedCount() == 0; }, 5000); }
    // Closes the file and waits until it is finished and every block is back in the pool.
    bool closeAndDrain(AudioFileWriter& writer)
    {
        QSignalSpy closed(&writer, &AudioFileWriter::fileClosed);
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
        QVERIFY(!small.setPartitionSize(10));
        QVERIFY(!small.setPartitionSize(0));
        QVERIFY(small.setPartitionSize(3));
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
        small.release(b);  // a second release of the same block frees nothing
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
        QTest::newRow("not numbered") << "take_part10000.dsf" << "_part" << "take_part10000_part0002.dsf";
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
            QSignalSpy opened(&writer, &AudioFileWriter::fileOpened);
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

    // A part ends before the frame that would reach the maximum, but holds one frame at least.
    void splitsAtTheMaximumIntoNumberedParts_data()
    {
        QTest::addColumn<qint64>("maxSize");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("firstPartFrames");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("ten frames per part")
            << qint64(44 + 10 * 2 * kBlockBytes) << 25 << 9
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
        QCOMPARE(errors.value(0), (QVariantList{3, "maximum size too small"}));
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
        QCOMPARE(errors.count(), 1);
    }

    void pairsChannelsAndHoldsAnIncompleteFrameUntilClose()
    {
        AudioFileWriter writer(pool);
        QSignalSpy errors(&writer, &AudioFileWriter::error);
        writer.start(path("hold.wav"), 0, 2, 32, 48000);
        feedBlock(writer, 1, 0);                   // channel 1 before any channel 0: dropped
        feedBlock(writer, 0, 0);
        feedBlock(writer, 1, 0, kBlockBytes / 2);  // shorter: the frame shrinks to it
        feedBlock(writer, 0, 1000);                // channel 1 never comes
        feedBlock(writer, 0, 2000);
        feedBlock(writer, 1, 2000);
        feedBlock(writer, 0, 3000);                // a stop fell before its channel 1
        QTRY_COMPARE(pool->usedCount(), 4);  // the incomplete frames and the one between them wait
        QVERIFY(closeAndDrain(writer));
        // Only the frame in the middle is a fault; the last half frame is where the take ends.
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toInt(), 2);
        const QByteArray f = readAll(path("hold.wav"));
        QCOMPARE(f.size(), 44 + kBlockBytes + 2 * kBlockBytes);
        QCOMPARE(word(f, 44 + kBlockBytes), quint32(4000));
    }

    void unusableDestinationIsReportedOnceAndFreesThePool_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<QVariantList>("error");
        const QString noDir = path("no/such/dir/x.wav"), folder = path("folder.dff"), raw = path("x.raw");
        QTest::newRow("blank name") << "   " << 0 << QVariantList{1, "invalid filename"};
        QTest::newRow("missing folder") << noDir << 0 << QVariantList{4, noDir + ": No such file or directory"};
        QTest::newRow("name of a folder") << folder << 1 << QVariantList{4, folder + ": Is a directory"};
        QTest::newRow("takes no header") << "/dev/full" << 2
                                         << QVariantList{4, "/dev/full: No space left on device"};
        QTest::newRow("unknown type") << raw << 7 << QVariantList{4, raw + ": No Implementation Set"};
    }

    void unusableDestinationIsReportedOnceAndFreesThePool()
    {
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(QVariantList, error);
        QDir(dir.path()).mkpath("folder.dff");
        AudioFileWriter writer(pool);
        QSignalSpy errors(&writer, &AudioFileWriter::error);
        writer.start(name, type, 2, 32, 48000);
        QTRY_COMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0), error);
        // Blocks that keep coming until the recording is stopped go straight back to the pool,
        // without another message; the next start records again.
        feedFrames(writer, 20);
        QCOMPARE(pool->usedCount(), 0);
        writer.closeFile();
        const qint64 first = nextSample;
        writer.start(path("after.wav"), 0, 2, 32, 48000);
        feedFrames(writer, 3);
        QVERIFY(closeAndDrain(writer));
        QCOMPARE(checkPattern(path("after.wav"), first), nextSample);
        QCOMPARE(errors.count(), 1);
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
        QTRY_VERIFY2((f = readAll(file)).size() - 44 >= onDiskAtLeast
                         && word(f, 40) >= quint32(headerAtLeast),
                     qPrintable(QString("%1 bytes, header %2").arg(f.size()).arg(word(f, 40))));
        QVERIFY(word(f, 40) <= quint32(f.size() - 44));
        // A player opening the file now, or after a crash, trusts both sizes: they must agree.
        QCOMPARE(word(f, 4), word(f, 40) + 36);
        QVERIFY(closeAndDrain(writer));
    }
};
QTEST_GUILESS_MAIN(TestWriterThread)
#include "tst_writerthread.moc"
