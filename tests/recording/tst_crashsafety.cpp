// A recording process killed with SIGKILL leaves a file that standard tools read, holding the
// recorded pattern up to about a second before the kill.
#include "mediaprobe.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <csignal>

class TestCrashSafety : public QObject
{
    Q_OBJECT
private slots:
    void killedRecorderLeavesAPlayableFile()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("crash.wav");
        QProcess child;
        child.start(QStringLiteral(TESSARO_CRASHWRITER), {file});
        QVERIFY(child.waitForStarted());
        QTest::qWait(2500);
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(5000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(bytes.size() > 44);
        const quint32 claimed = qFromLittleEndian<quint32>(bytes.constData() + 40);
        QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 4), claimed + 36);
        QVERIFY(claimed <= quint32(bytes.size() - 44));
        const double seconds = claimed / (48000.0 * 8);
        QVERIFY2(seconds >= 1.2 && seconds <= 2.6, qPrintable(QString::number(seconds)));
        for (quint32 pos = 0, n = 0; pos + 8 <= claimed; pos += 8, ++n) {
            QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 44 + pos), n << 1);
            QCOMPARE(qFromLittleEndian<quint32>(bytes.constData() + 48 + pos), (n << 1) | 1);
        }
        const MediaInfo info = MediaProbe::probe(file);
        QVERIFY(info.ok);
        QCOMPARE(info.sampleRate, 48000);
        QVERIFY(info.duration >= 1.2);
    }
};

QTEST_GUILESS_MAIN(TestCrashSafety)
#include "tst_crashsafety.moc"
