// Repair of recordings cut off by a crash, over real files whose headers are laid out field by
// field from the WAV, DSF and DSDIFF documents; and the journal that lists files left open.
#include "audiofilerepair.h"
#include "recordingjournal.h"

#include <QDataStream>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Outcome = AudioFileRepair::Outcome;

// Bytes 0, 1, 2, ... : a cut shows as a wrong byte.
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
        const int repaired = int(Outcome::Repaired), complete = int(Outcome::Complete),
                  refused = int(Outcome::Refused);
        const QByteArray pcm = counting(8 * 441);          // 10 ms of stereo 32-bit frames
        const QByteArray groups = counting(3 * 2 * 4096);  // three DSF block groups
        const QByteArray dsd = counting(2 * 2822);         // about 8 ms of stereo DSD 1x
        const double dsdSeconds = 2822 * 8 / 2822400.0;
        const double groupsSeconds = 3 * 4096 * 8 / 2822400.0;

        const QByteArray wavComplete = wav(pcm.size(), pcm.size() + 36) + pcm;
        QTest::newRow("wav complete") << wavComplete << wavComplete << complete << 0.01;
        QTest::newRow("wav counts lag") << wav(80, 116) + pcm << wavComplete << repaired << 0.01;
        QTest::newRow("wav partial frame") << wav(0, 36) + pcm + counting(5) << wavComplete
                                           << repaired << 0.01;
        QTest::newRow("wav header alone") << wav(0, 36) + counting(7) << wav(0, 36) << repaired << 0.0;

        QTest::newRow("dsf complete") << dsf(groups.size(), 3 * 4096 * 8) + groups
                                      << dsf(groups.size(), 3 * 4096 * 8) + groups << complete
                                      << groupsSeconds;
        // Another program's file: the last block is padded, the count says how far.
        QTest::newRow("dsf complete, last block part full")
            << dsf(groups.size(), 3 * 4096 * 8 - 1000) + groups
            << dsf(groups.size(), 3 * 4096 * 8 - 1000) + groups << complete
            << (3 * 4096 * 8 - 1000) / 2822400.0;
        QTest::newRow("dsf counts lag") << dsf(2 * 4096, 4096 * 8) + groups
                                        << dsf(groups.size(), 3 * 4096 * 8) + groups << repaired
                                        << groupsSeconds;
        QTest::newRow("dsf partial group") << dsf(0, 0) + groups + counting(4096 + 3000)
                                           << dsf(groups.size(), 3 * 4096 * 8) + groups << repaired
                                           << groupsSeconds;

        QTest::newRow("dff complete") << dff(dsd.size()) + dsd << dff(dsd.size()) + dsd << complete
                                      << dsdSeconds;
        QTest::newRow("dff counts lag") << dff(1000) + dsd << dff(dsd.size()) + dsd << repaired
                                        << dsdSeconds;
        QTest::newRow("dff partial frame") << dff(0) + dsd + counting(1)
                                           << dff(dsd.size()) + dsd << repaired << dsdSeconds;

        const QByteArray text = "take notes: levels fine, mic 2 a bit hot\n";
        const QByteArray mp3 = QByteArray("ID3\x03\x00\x00\x00\x00\x00\x0a", 10)
                               + QByteArray(10, '\0') + QByteArray("\xff\xfb\x90\x64", 4) + dsd;
        const QByteArray floatWav = wav(0, 36, 3) + pcm;
        const QByteArray blocks2k = dsf(0, 0, 2048) + groups;
        const QByteArray dst = dff(0, "DST ") + dsd;
        QByteArray noVersion = dff(0) + dsd;
        noVersion.replace(16, 4, "FVEX");
        QByteArray hugeProperties = dff(0) + dsd;
        hugeProperties.replace(36, 8, QByteArray(8, '\xff'));
        QTest::newRow("text file") << text << text << refused << 0.0;
        QTest::newRow("mp3") << mp3 << mp3 << refused << 0.0;
        QTest::newRow("empty file") << QByteArray() << QByteArray() << refused << 0.0;
        QTest::newRow("wav cut inside the header") << wav(0, 36).left(30) << wav(0, 36).left(30)
                                                   << refused << 0.0;
        QTest::newRow("wav of floats") << floatWav << floatWav << refused << 0.0;
        QTest::newRow("dsf with 2048-byte blocks") << blocks2k << blocks2k << refused << 0.0;
        QTest::newRow("dff compressed") << dst << dst << refused << 0.0;
        QTest::newRow("dff without version") << noVersion << noVersion << refused << 0.0;
        QTest::newRow("dff property size beyond the file") << hugeProperties << hugeProperties
                                                           << refused << 0.0;
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
        QVERIFY(AudioFileRepair::describe(path, again).contains(path));
    }

    void journalListsWhatIsOpen()
    {
        const QString path = dir.filePath("state/Veloran/open-recordings");
        RecordingJournal journal(path);
        journal.add(dir.filePath("a.dsf"));
        journal.add(dir.filePath("b.dsf"));
        journal.add(dir.filePath("a.dsf"));
        QDir::setCurrent(dir.path());
        journal.add(QStringLiteral("c.wav"));
        journal.remove(dir.filePath("a.dsf"));
        // What the next start finds.
        QCOMPARE(RecordingJournal(path).entries(),
                 QStringList({dir.filePath("b.dsf"), dir.filePath("c.wav")}));
        journal.clear();
        QCOMPARE(RecordingJournal(path).entries(), QStringList());

        qputenv("XDG_STATE_HOME", "/var/state-test");
        QCOMPARE(RecordingJournal::defaultPath(),
                 QStringLiteral("/var/state-test/Veloran/open-recordings"));
        qputenv("XDG_STATE_HOME", "");
        QCOMPARE(RecordingJournal::defaultPath(),
                 QDir::home().filePath(".local/state/Veloran/open-recordings"));
    }
};

QTEST_GUILESS_MAIN(TestFileRepair)
#include "tst_filerepair.moc"
