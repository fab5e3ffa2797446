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
    QByteArray bytes;
    while (bytes.size() < size)
        bytes += char(bytes.size() * 7);
    return bytes;
}

struct Id
{
    const char* fourCc;
};
QDataStream& operator<<(QDataStream& s, Id id)
{
    s.writeRawData(id.fourCc, 4);
    return s;
}

// RIFF/WAVE, stereo, 32-bit PCM at 44100 Hz.
QByteArray wav(quint32 dataSize, quint32 riffSize, quint16 formatTag = 1)
{
    QByteArray b;
    QDataStream s(&b, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << Id{"RIFF"} << riffSize << Id{"WAVE"} << Id{"fmt "} << quint32(16) << formatTag
      << quint16(2) << quint32(44100) << quint32(352800) << quint16(8) << quint16(32) << Id{"data"}
      << dataSize;
    return b;
}

// DSF, stereo DSD 1x, 1 bit per sample, 4096-byte blocks.
QByteArray dsf(quint64 dataSize, quint64 sampleCount, quint32 blockSize = 4096)
{
    QByteArray b;
    QDataStream s(&b, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << Id{"DSD "} << quint64(28) << quint64(92 + dataSize) << quint64(0) << Id{"fmt "}
      << quint64(52) << quint32(1) << quint32(0) << quint32(2) << quint32(2) << quint32(2822400)
      << quint32(1) << sampleCount << blockSize << quint32(0) << Id{"data"}
      << quint64(dataSize + 12);
    return b;
}

// DSDIFF 1.5, stereo DSD 1x.
QByteArray dff(quint64 dataSize, const char* compression = "DSD ")
{
    QByteArray b;
    QDataStream s(&b, QIODevice::WriteOnly); // big-endian
    s << Id{"FRM8"} << quint64(118 + dataSize) << Id{"DSD "} << Id{"FVER"} << quint64(4)
      << quint32(0x01050000) << Id{"PROP"} << quint64(74) << Id{"SND "} << Id{"FS  "} << quint64(4)
      << quint32(2822400) << Id{"CHNL"} << quint64(10) << quint16(2) << Id{"SLFT"} << Id{"SRGT"}
      << Id{"CMPR"} << quint64(20) << Id{compression} << quint8(14) << Id{"not "} << Id{"comp"}
      << Id{"ress"} << quint8('e') << quint8('d') << quint8(0) << Id{"DSD "} << dataSize;
    return b;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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
            row(tag, bytes, bytes, Outcome::Refused, 0);
        };
        const QByteArray pcm = counting(8 * 441);         // 10 ms of stereo 32-bit frames
        const QByteArray groups = counting(3 * 2 * 4096); // three DSF block groups
        const QByteArray dsd = counting(2 * 2822);        // 2822 bytes per channel
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
        refused("mp3", QByteArray("ID3\x03\x00\x00\x00\x00\x00\x0a", 10) + QByteArray(10, '\0') +
                           QByteArray("\xff\xfb\x90\x64", 4) + dsd);
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
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        file.close();

        const AudioFileRepair::Result first = AudioFileRepair::repair(path);
        QCOMPARE(int(first.outcome), outcome);
        QCOMPARE(readAll(path), after);
        if (first.outcome != Outcome::Refused) {
            QCOMPARE(first.length, qint64(after.size()));
            QVERIFY(qAbs(first.seconds - seconds) < 1e-6);
        }
        // A second repair finds nothing more to do.
        const Outcome second =
            first.outcome == Outcome::Refused ? Outcome::Refused : Outcome::Complete;
        QCOMPARE(AudioFileRepair::repair(path).outcome, second);
        QCOMPARE(readAll(path), after);
    }
};

QTEST_GUILESS_MAIN(TestFileRepair)
#include "tst_filerepair.moc"
