// Repair of recordings cut off by a crash, over real files whose headers are laid out field by
// field from the WAV, DSF and DSDIFF documents.
#include "audiofilerepair.h"

#include <QDataStream>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Outcome = AudioFileRepair::Outcome;

// A counting pattern (steps of 7): a cut or a shift shows as a wrong byte.
QByteArray counting(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7);
    return bytes;
}

class Bytes
{
public:
    explicit Bytes(QDataStream::ByteOrder order) : out(&bytes, QIODevice::WriteOnly)
    {
        out.setByteOrder(order);
    }
    Bytes& id(const char* fourCc) { out.writeRawData(fourCc, 4); return *this; }
    template <typename T> Bytes& n(T value) { out << value; return *this; }
    QByteArray bytes;
    QDataStream out;
};

// RIFF/WAVE, stereo, 32-bit PCM at 44100 Hz.
QByteArray wav(quint32 dataSize, quint32 riffSize, quint16 formatTag = 1)
{
    Bytes b(QDataStream::LittleEndian);
    b.id("RIFF").n(riffSize).id("WAVE").id("fmt ").n(quint32(16)).n(formatTag).n(quint16(2));
    b.n(quint32(44100)).n(quint32(352800)).n(quint16(8)).n(quint16(32));
    b.id("data").n(dataSize);
    return b.bytes;
}

// DSF, stereo DSD 1x, 1 bit per sample, 4096-byte blocks.
QByteArray dsf(quint64 dataSize, quint64 sampleCount, quint32 blockSize = 4096)
{
    Bytes b(QDataStream::LittleEndian);
    b.id("DSD ").n(quint64(28)).n(quint64(92 + dataSize)).n(quint64(0));
    b.id("fmt ").n(quint64(52)).n(quint32(1)).n(quint32(0)).n(quint32(2)).n(quint32(2));
    b.n(quint32(2822400)).n(quint32(1)).n(sampleCount).n(blockSize).n(quint32(0));
    b.id("data").n(quint64(dataSize + 12));
    return b.bytes;
}

// DSDIFF 1.5, stereo DSD 1x.
QByteArray dff(quint64 dataSize, const char* compression = "DSD ")
{
    Bytes b(QDataStream::BigEndian);
    b.id("FRM8").n(quint64(118 + dataSize)).id("DSD ");
    b.id("FVER").n(quint64(4)).n(quint32(0x01050000));
    b.id("PROP").n(quint64(74)).id("SND ");
    b.id("FS  ").n(quint64(4)).n(quint32(2822400));
    b.id("CHNL").n(quint64(10)).n(quint16(2)).id("SLFT").id("SRGT");
    b.id("CMPR").n(quint64(20)).id(compression).n(quint8(14));
    b.out.writeRawData("not compressed", 14);
    b.n(quint8(0)).id("DSD ").n(dataSize);
    return b.bytes;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), qint64(bytes.size()));
}

} // namespace

class TestFileRepair : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void repairFollowsTheLength_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<double>("seconds");
        auto row = [](const char* tag, const QByteArray& before, const QByteArray& after,
                      Outcome outcome, double seconds) {
            QTest::newRow(tag) << before << after << int(outcome) << seconds;
        };
        auto refused = [&](const char* tag, const QByteArray& bytes) {
            row(tag, bytes, bytes, Outcome::Refused, 0.0);
        };
        const QByteArray pcm = counting(8 * 441);          // 10 ms of stereo 32-bit frames
        const QByteArray groups = counting(3 * 2 * 4096);  // three DSF block groups
        const QByteArray dsd = counting(2 * 2822);         // 2822 bytes per channel
        const qint64 groupSamples = 3 * 4096 * 8;

        const QByteArray wavComplete = wav(pcm.size(), pcm.size() + 36) + pcm;
        row("wav complete", wavComplete, wavComplete, Outcome::Complete, 0.01);
        row("wav counts lag", wav(80, 116) + pcm, wavComplete, Outcome::Repaired, 0.01);
        row("wav partial frame", wav(0, 36) + pcm + counting(5), wavComplete, Outcome::Repaired,
            0.01);
        // Another program's file: the last block is padded, the count says how far.
        const QByteArray dsfPadded = dsf(groups.size(), groupSamples - 1000) + groups;
        row("dsf complete", dsfPadded, dsfPadded, Outcome::Complete,
            (groupSamples - 1000) / 2822400.0);
        const QByteArray dsfRepaired = dsf(groups.size(), groupSamples) + groups;
        row("dsf counts lag", dsf(2 * 4096, 4096 * 8) + groups, dsfRepaired, Outcome::Repaired,
            groupSamples / 2822400.0);
        row("dsf partial group", dsf(0, 0) + groups + counting(4096 + 3000), dsfRepaired,
            Outcome::Repaired, groupSamples / 2822400.0);
        const QByteArray dffComplete = dff(dsd.size()) + dsd;
        row("dff complete", dffComplete, dffComplete, Outcome::Complete, 2822 * 8 / 2822400.0);
        row("dff partial frame", dff(0) + dsd + counting(1), dffComplete, Outcome::Repaired,
            2822 * 8 / 2822400.0);

        refused("text file", "take notes: levels fine, mic 2 a bit hot\n");
        refused("mp3", QByteArray("ID3\x03\x00\x00\x00\x00\x00\x0a", 10) + QByteArray(10, '\0')
                           + QByteArray("\xff\xfb\x90\x64", 4) + dsd);
        refused("wav of floats", wav(0, 36, 3) + pcm);
        refused("dsf with 2048-byte blocks", dsf(0, 0, 2048) + groups);
        refused("dff compressed", dff(0, "DST ") + dsd);
        QByteArray hugeProperties = dff(0) + dsd;
        hugeProperties.replace(36, 8, QByteArray(8, '\xff'));
        refused("dff property size beyond the file", hugeProperties);
    }

    void repairFollowsTheLength()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(int, outcome);
        QFETCH(double, seconds);
        const QString path = dir.filePath(QTest::currentDataTag());
        writeFile(path, before);

        const AudioFileRepair::Result first = AudioFileRepair::repair(path);
        QCOMPARE(int(first.outcome), outcome);
        QCOMPARE(readAll(path), after);
        if (first.outcome != Outcome::Refused) {
            QCOMPARE(first.length, qint64(after.size()));
            QVERIFY(qAbs(first.seconds - seconds) < 1e-6);
        }
        const AudioFileRepair::Result again = AudioFileRepair::repair(path);
        const Outcome second = first.outcome == Outcome::Refused ? Outcome::Refused
                                                                 : Outcome::Complete;
        QCOMPARE(again.outcome, second);
        QCOMPARE(readAll(path), after);
    }
};

QTEST_GUILESS_MAIN(TestFileRepair)
#include "tst_filerepair.moc"
