// The real program killed with SIGKILL while recording, then repaired both ways: by its next
// start (from the journal of open recordings) and by "--repair". Standard tools must then
// read the whole take up to at most a second before the kill, tones on their channels.
#include "mediaprobe.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

QString programPath()
{
    return qEnvironmentVariable("TESSARO_BIN_DIR") + QStringLiteral("/tessaro-recorder");
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Collects the program's standard error until it holds the text or the time is up.
bool waitForError(QProcess& program, QString& seen, const QRegularExpression& text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!seen.contains(text) && clock.elapsed() < timeoutMs
           && program.state() == QProcess::Running) {
        program.waitForReadyRead(50);
        seen += QString::fromLocal8Bit(program.readAllStandardError());
    }
    seen += QString::fromLocal8Bit(program.readAllStandardError());
    return seen.contains(text);
}

} // namespace

class TestCrashRecovery : public QObject
{
    Q_OBJECT

private slots:
    void killedRecordingIsRepairedBothWays_data()
    {
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("dsdType");
        QTest::addColumn<QString>("take");
        QTest::addColumn<int>("decodeRate");
        QTest::newRow("wav 44.1 kHz") << "" << "" << "take.wav" << 44100;
        QTest::newRow("dsf DSD 1x") << "2822400" << "dsf" << "take.dsf" << 88200;
        QTest::newRow("dff DSD 1x") << "2822400" << "dff" << "take.dff" << 88200;
    }

    void killedRecordingIsRepairedBothWays()
    {
        QFETCH(QString, rate);
        QFETCH(QString, dsdType);
        QFETCH(QString, take);
        QFETCH(int, decodeRate);
        QTemporaryDir home;
        const QDir dir(home.path());
        const QString file = dir.filePath(take);
        const QString copy = dir.filePath("copy-" + take);
        const QString notes = dir.filePath("notes.txt");
        const QString journal = dir.filePath("state/Veloran/open-recordings");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_STATE_HOME", dir.filePath("state"));
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");

        // Recording, killed.
        QProcessEnvironment recordEnv = env;
        recordEnv.insert("QT_QPA_PLATFORM", "offscreen");
        recordEnv.insert("LD_PRELOAD", TESSARO_WINDOW_DRIVER_PATH);
        recordEnv.insert("TESSARO_DRIVE_DESTINATION", file);
        recordEnv.insert("TESSARO_DRIVE_RECORD_MS", "600000");
        recordEnv.insert("TESSARO_DRIVE_RATE", rate);
        recordEnv.insert("TESSARO_DRIVE_DSD_TYPE", dsdType);
        QProcess recorder;
        recorder.setProcessEnvironment(recordEnv);
        recorder.start(programPath(), QStringList());
        QVERIFY(recorder.waitForStarted());
        QString errors;
        QVERIFY2(waitForError(recorder, errors, QRegularExpression("window driver: clicked record"),
                              30000),
                 qPrintable(errors));
        QElapsedTimer recording;
        recording.start();
        waitForError(recorder, errors, QRegularExpression("never printed"), 3000);
        ::kill(pid_t(recorder.processId()), SIGKILL);
        const double recordedSeconds = recording.elapsed() / 1000.0;
        QVERIFY(recorder.waitForFinished(10000));
        QCOMPARE(recorder.exitStatus(), QProcess::CrashExit);
        QVERIFY2(readAll(journal) == file.toUtf8() + '\n', readAll(journal).constData());
        QVERIFY(QFile::copy(file, copy));

        // The next start repairs what the journal lists, and refuses a foreign file unchanged.
        QFile notesFile(notes);
        QVERIFY(notesFile.open(QIODevice::WriteOnly));
        notesFile.write("levels fine\n");
        notesFile.close();
        QFile journalFile(journal);
        QVERIFY(journalFile.open(QIODevice::Append));
        journalFile.write(notes.toUtf8() + '\n');
        journalFile.close();
        QProcessEnvironment startEnv = env;
        startEnv.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess restarted;
        restarted.setProcessEnvironment(startEnv);
        restarted.start(programPath(), QStringList());
        QVERIFY(restarted.waitForStarted());
        QString restartErrors;
        // The kill may fall just after a header update, before more data reached the disk.
        const QString outcome = QStringLiteral(": (repaired|complete)");
        const QRegularExpression repaired("\nInfo: " + QRegularExpression::escape(file) + outcome);
        const QRegularExpression refused(
            "\nError: " + QRegularExpression::escape(notes)
            + ": not repaired, not a WAV, DSF or DSDIFF file\n");
        QVERIFY2(waitForError(restarted, restartErrors, repaired, 30000),
                 qPrintable(restartErrors));
        QVERIFY2(waitForError(restarted, restartErrors, refused, 10000),
                 qPrintable(restartErrors));
        restarted.terminate();
        QVERIFY(restarted.waitForFinished(10000));
        QCOMPARE(readAll(journal), QByteArray());
        QCOMPARE(readAll(notes), QByteArray("levels fine\n"));

        // "--repair" without any display gives the same file.
        QProcessEnvironment cliEnv = env;
        cliEnv.remove("DISPLAY");
        cliEnv.remove("WAYLAND_DISPLAY");
        cliEnv.remove("QT_QPA_PLATFORM");
        QProcess repair;
        repair.setProcessEnvironment(cliEnv);
        repair.start(programPath(), {"--repair", copy});
        QVERIFY(repair.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(repair.readAllStandardOutput());
        const QRegularExpression repairedCopy("^" + QRegularExpression::escape(copy) + outcome);
        QVERIFY2(repair.exitCode() == 0 && out.contains(repairedCopy),
                 qPrintable(out + repair.readAllStandardError()));
        QCOMPARE(out.count('\n'), 1);
        QCOMPARE(readAll(copy), readAll(file));

        const MediaInfo info = MediaProbe::probe(file);
        QVERIFY(info.ok);
        QCOMPARE(info.channels, 2);
        const QVector<QVector<float>> channels = MediaProbe::decode(file, decodeRate);
        QCOMPARE(channels.size(), 2);
        const double decodedSeconds = double(channels[0].size()) / decodeRate;
        QVERIFY2(decodedSeconds >= recordedSeconds - 1.0 && decodedSeconds <= recordedSeconds + 0.5,
                 qPrintable(QStringLiteral("%1 s decoded of %2 s recorded")
                                .arg(decodedSeconds).arg(recordedSeconds)));
        qInfo("%.2f s decoded of %.2f s recorded", decodedSeconds, recordedSeconds);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[0], decodeRate)), 1000);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[1], decodeRate)), 1500);
    }
};

QTEST_GUILESS_MAIN(TestCrashRecovery)
#include "tst_crashrecovery.moc"
