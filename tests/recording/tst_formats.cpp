// The three format writers, byte by byte against the published layouts, and through ffprobe.
#include "audiofile.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Writes one file of the given type from per-channel byte arrays, cut into frames of frameBytes.
void writeFile(const QString& path, int type, int rate, const QVector<QByteArray>& channels,
               int frameBytes)
{
    AudioFile file(path, type, channels.size());
    file.setSampleRate(rate);
    file.setBitsPerSample(32);
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

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

} // namespace

class TestFormats : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString path(const QString& name) { return dir.filePath(name); }

private slots:
    void emptyFilesCarryTheHeaderAlone()
    {
        writeFile(path("e.dsf"), 2, 2822400, {QByteArray(), QByteArray()}, 1);
        QCOMPARE(readAll(path("e.dsf")),
                 hex("44534420 1c00000000000000 5c00000000000000 0000000000000000"
                     "666d7420 3400000000000000 01000000 00000000 02000000 02000000"
                     "0011 2b00 01000000 0000000000000000 00100000 00000000"
                     "64617461 0c00000000000000"));
        writeFile(path("e.dff"), 1, 5644800, {QByteArray(), QByteArray()}, 1);
        QCOMPARE(readAll(path("e.dff")),
                 hex("46524d38 0000000000000076 44534420"
                     "46564552 0000000000000004 01050000"
                     "50524f50 000000000000004a 534e4420"
                     "46532020 0000000000000004 00562200"
                     "43484e4c 000000000000000a 0002 534c4654 53524754"
                     "434d5052 0000000000000014 44534420 0e") +
                     QByteArray("not compressed") + hex("00 44534420 0000000000000000"));
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
        QCOMPARE(f.mid(12, 8) + f.mid(64, 8) + f.mid(84, 8),  // 92 + 40960, 144040, 40960 + 12
                 hex("5ca0000000000000 a832020000000000 0ca0000000000000"));
        for (int at = 0; at < n; at += 4096)
            expected += reversedLeft.mid(at, 4096).leftJustified(4096, '\0')
                        + QByteArray(qMin(4096, n - at), '\x96').leftJustified(4096, '\0');
        QCOMPARE(f.mid(92), expected);
        writeFile(path("b.dsf"), 2, 2822400, {QByteArray(4096, 'A'), QByteArray(4096, 'B')}, 512);
        const QByteArray full = readAll(path("b.dsf"));
        QCOMPARE(full.mid(64, 8), hex("0080000000000000"));  // 32768 samples
        QCOMPARE(full.mid(92), QByteArray(4096, '\x82') + QByteArray(4096, 'B'));  // no padding block
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
    void refusesWhatItCannotStore_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("filledChannels");
        QTest::newRow("unknown type") << path("x.raw") << 3 << 2;
        QTest::newRow("wav, incomplete frame") << path("inc.wav") << 0 << 1;
        QTest::newRow("dff, incomplete frame") << path("inc.dff") << 1 << 1;
        QTest::newRow("dsf, incomplete frame") << path("inc.dsf") << 2 << 1;
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
        const bool known = type <= 2;
        QCOMPARE(file.open(), known);
        QByteArray data(64 * 1024, 'x');
        AudioBuffer frame(2, data.size());
        for (int c = 0; c < filledChannels; ++c)
            frame.setChannelData(c, (uchar*)data.data());
        QVERIFY(!file.writeBuffer(frame));
        if (!known) {
            QCOMPARE(file.errorString(), QString("No Implementation Set"));
            QCOMPARE(file.size(), 0);
            QVERIFY(!QFile::exists(name));
        }
    }
};

QTEST_GUILESS_MAIN(TestFormats)
#include "tst_formats.moc"
