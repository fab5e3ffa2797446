// Repair of recordings cut off by a crash, over real files whose headers are written out byte by
// byte from the WAV, DSF and DSDIFF documents.
#include "audiofilerepair.h"

#include <QTemporaryDir>
#include <QtEndian>
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

// An unsigned field of the given width, little- or big-endian.
QByteArray le(quint64 value, int width)
{
    value = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char*>(&value), width);
}

QByteArray be(quint64 value, int width)
{
    value = qToBigEndian(value);
    return QByteArray(reinterpret_cast<const char*>(&value) + 8 - width, width);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const auto fromHex = &QByteArray::fromHex;

// RIFF/WAVE, stereo, 32-bit PCM (format tag 1).
QByteArray wav(quint32 dataSize, quint32 riffSize, quint32 rate = 44100, const char* tag = "0100")
{
    return "RIFF" + le(riffSize, 4) + "WAVEfmt " + fromHex("10000000") + fromHex(tag) +
           fromHex("0200") + le(rate, 4) + le(rate * 8, 4) + fromHex("0800 2000") + "data" +
           le(dataSize, 4);
}

// WAVE_FORMAT_EXTENSIBLE, stereo 32-bit: cbSize 22, valid bits, channel mask, sub-format GUID.
QByteArray wavExtensible(quint16 subFormat, const QByteArray& samples)
{
    return "RIFF" + le(60 + samples.size(), 4) + "WAVEfmt " + le(40, 4) +
           fromHex("feff 0200 44ac0000 20620500 0800 2000 1600 2000 03000000") + le(subFormat, 2) +
           fromHex("0000 0000 1000 800000aa00389b71") + "data" + le(samples.size(), 4) + samples;
}

// The same with a Broadcast WAVE "bext" chunk of 604 bytes (the fixed 602 and a short coding
// history) before "data".
QByteArray wavWithBext(quint32 dataSize, quint32 riffSize)
{
    const QByteArray plain = wav(dataSize, riffSize);
    return plain.left(36) + "bext" + le(604, 4) + counting(604) + plain.mid(36);
}

// DSF, stereo DSD 1x, 1 bit per sample, 4096-byte blocks.
QByteArray dsf(quint64 dataSize, quint64 sampleCount, quint32 blockSize = 4096)
{
    return "DSD " + le(28, 8) + le(92 + dataSize, 8) + le(0, 8) + "fmt " + le(52, 8) +
           fromHex("01000000 00000000 02000000 02000000 00112b00 01000000") + le(sampleCount, 8) +
           le(blockSize, 4) + le(0, 4) + "data" + le(dataSize + 12, 8);
}

// DSDIFF 1.5, stereo DSD 1x, with a comment chunk before the sound data when comt is set.
QByteArray dff(quint64 dataSize, const char* compression = "DSD ", const QByteArray& comt = {})
{
    return "FRM8" + be(118 + comt.size() + dataSize, 8) + "DSD FVER" + be(4, 8) +
           fromHex("01050000") + "PROP" + be(74, 8) + "SND FS  " + be(4, 8) + fromHex("002b1100") +
           "CHNL" + be(10, 8) + fromHex("0002") + "SLFTSRGTCMPR" + be(20, 8) + compression +
           fromHex("0e") + "not compressed" + fromHex("00") + comt + "DSD " + be(dataSize, 8);
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
        QTest::addColumn<QString>("reason"); // of a refusal
        auto row = [](const char* tag, const QByteArray& before, const QByteArray& after,
                      Outcome outcome, double seconds = 0, const QString& reason = {}) {
            QTest::newRow(tag) << before << after << int(outcome) << seconds << reason;
        };
        auto refused = [&](const char* tag, const QByteArray& bytes, const QString& reason) {
            row(tag, bytes, bytes, Outcome::Refused, 0, reason);
        };
        const QString foreign = "not a recording of this program: ";
        const QByteArray pcm = counting(8 * 441);         // 10 ms of stereo 32-bit frames
        const QByteArray groups = counting(3 * 2 * 4096); // three DSF block groups
        const QByteArray dsd = counting(2 * 2822);        // 2822 bytes per channel
        const qint64 samples = 3 * 4096 * 8;              // in the three groups

        // Each repaired file must also be found complete by a second repair.
        row("wav 96 kHz, counts lag", wav(80, 116, 96000) + pcm,
            wav(pcm.size(), pcm.size() + 36, 96000) + pcm, Outcome::Repaired, 441 / 96000.0);
        row("wav partial frame", wav(0, 36) + pcm + counting(5),
            wav(pcm.size(), pcm.size() + 36) + pcm, Outcome::Repaired, 0.01);
        // Another program's file: the last block is padded, the count says how far.
        const QByteArray dsfPadded = dsf(groups.size(), samples - 1000) + groups;
        row("dsf complete", dsfPadded, dsfPadded, Outcome::Complete, (samples - 1000) / 2822400.0);
        const QByteArray dsfRepaired = dsf(groups.size(), samples) + groups;
        row("dsf counts lag", dsf(2 * 4096, 4096 * 8) + groups, dsfRepaired, Outcome::Repaired,
            samples / 2822400.0);
        row("dsf partial group", dsf(0, 0) + groups + counting(4096 + 3000), dsfRepaired,
            Outcome::Repaired, samples / 2822400.0);
        row("dff partial frame", dff(0) + dsd + counting(1), dff(dsd.size()) + dsd,
            Outcome::Repaired, 2822 * 8 / 2822400.0);

        // The recorder's own metadata: "bext" before "data", "COMT" before the sound data, an
        // ID3v2 tag after the DSF data (written at the close, so such a file is complete).
        row("wav with bext, partial frame", wavWithBext(0, 36 + 612) + pcm + counting(5),
            wavWithBext(pcm.size(), pcm.size() + 36 + 612) + pcm, Outcome::Repaired, 0.01);
        const QByteArray comt =
            "COMT" + be(22, 8) + fromHex("0001 07ea 0304 0506 0000 0000 00000006") + "note 1";
        row("dff with comment, counts lag", dff(2, "DSD ", comt) + dsd + counting(1),
            dff(dsd.size(), "DSD ", comt) + dsd, Outcome::Repaired, 2822 * 8 / 2822400.0);
        const QByteArray id3 = "ID3" + fromHex("040000 00000000");
        QByteArray tagged = dsf(groups.size(), samples) + groups + id3;
        tagged.replace(12, 16, le(92 + groups.size() + id3.size(), 8) + le(92 + groups.size(), 8));
        row("dsf with tag", tagged, tagged, Outcome::Complete, samples / 2822400.0);
        refused("text file", "take notes: levels fine, mic 2 a bit hot\n",
                "not a WAV, DSF or DSDIFF file");
        // Valid files of other programs, complete or not, are not ours to change.
        const QByteArray list =
            "LIST" + le(26, 4) + "INFOISFT" + le(14, 4) + QByteArray("Lavf59.27.100", 14);
        refused("wav with LIST chunk",
                wav(pcm.size(), pcm.size() + 70).left(36) + list + "data" + le(pcm.size(), 4) + pcm,
                foreign + "WAV with a LIST chunk");
        refused("wav of floats", wav(0, 36, 44100, "0300") + pcm, foreign + "WAV of float samples");
        refused("wav extensible float", wavExtensible(3, pcm), foreign + "WAV of float samples");
        refused("wav extensible pcm", wavExtensible(1, pcm),
                foreign + "WAV with an extensible format chunk");
        refused("wav data chunk damaged",
                wav(0, 36).left(36) + fromHex("00ff00ff") + le(0, 4) + pcm,
                "damaged header (data chunk)");
        refused("dsf with 2048-byte blocks", dsf(0, 0, 2048) + groups,
                "damaged header (sample format)");
        refused("dff compressed", dff(0, "DST ") + dsd,
                foreign + "DSDIFF of compressed sound data");
        refused("wav with bext, then another chunk",
                wavWithBext(0, 36).left(36 + 612) + "LIST" + le(4, 4) + "INFO" + "data" +
                    le(pcm.size(), 4) + pcm,
                foreign + "WAV with a LIST chunk");
        refused("dff property size beyond the file",
                dff(0).left(36) + fromHex("ffffffffffffffff") + dff(0).mid(44) + dsd,
                "damaged header (chunk size)");
    }

    void repairFollowsTheLength()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(int, outcome);
        QFETCH(double, seconds);
        QFETCH(QString, reason);
        const QString path = dir.filePath(QTest::currentDataTag());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        file.close();

        const AudioFileRepair::Result first = AudioFileRepair::repair(path);
        QCOMPARE(int(first.outcome), outcome);
        QCOMPARE(first.reason, reason);
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
