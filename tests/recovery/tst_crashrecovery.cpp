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

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool append(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::Append) && f.write(bytes) == bytes.size();
}

// The environment with "NAME=value" settings applied; an empty value removes the variable.
QProcessEnvironment with(QProcessEnvironment env, const QStringList& settings)
{
    for (const QString& setting : settings) {
        const QString name = setting.section('=', 0, 0), value = setting.section('=', 1);
        value.isEmpty() ? env.remove(name) : env.insert(name, value);
    }
    return env;
}

void start(QProcess& program, const QProcessEnvironment& env, const QStringList& args = {})
{
    program.setProcessEnvironment(env);
    program.start(qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder", args);
    QVERIFY(program.waitForStarted());
}

// Collects the program's standard error until it matches or the time is up.
bool says(QProcess& program, QString& seen, const QString& pattern, int timeoutMs = 30000)
{
    return QTest::qWaitFor(
        [&] {
            seen += QString::fromLocal8Bit(program.readAllStandardError());
            return seen.contains(QRegularExpression(pattern));
        },
        timeoutMs);
}

// The seconds decoded at the rate, once the simulated device's tones were found on their channels.
double verifyTones(const QString& path, int rate)
{
    const QVector<QVector<float>> channels = MediaProbe::decode(path, rate);
    const auto tone = [&](int c) {
        return qRound(MediaProbe::dominantFrequency(channels.value(c), rate));
    };
    if (channels.size() != 2 || tone(0) != 1000 || tone(1) != 1500)
        QTest::qFail(qPrintable(path + ": not 1000 Hz left, 1500 Hz right"), __FILE__, __LINE__);
    return channels.value(0).size() / double(rate);
}

} // namespace

class TestCrashRecovery : public QObject
{
    Q_OBJECT

private slots:
    void killedRecordingIsRepairedBothWays_data()
    {
        // The take: WAV at 44.1 kHz through the window, DSF and DSDIFF at DSD 1x from the command
        // line (the window's way to DSD, its settings dialog, is the window tests' part).
        QTest::addColumn<bool>("headless");
        QTest::newRow("take.wav") << false;
        QTest::newRow("take.dsf headless") << true;
        QTest::newRow("take.dff headless") << true;
    }
    void killedRecordingIsRepairedBothWays()
    {
        QFETCH(bool, headless);
        const QString take = QString(QTest::currentDataTag()).section(' ', 0, 0);
        QTemporaryDir home;
        const QDir dir(home.path());
        const QString file = dir.filePath(take), copy = dir.filePath("copy-" + take);
        const QString other = dir.filePath("other.wav"), notes = dir.filePath("notes.txt");
        const QString journal = dir.filePath("state/Veloran/open-recordings");
        const QString settings = dir.filePath("config/Veloran/Tessaro Recorder.ini");
        const QProcessEnvironment env = with(
            QProcessEnvironment::systemEnvironment(),
            {"DISPLAY=", "QT_QPA_PLATFORM=offscreen", "HOME=" + home.path(),
             "XDG_CONFIG_HOME=" + dir.filePath("config"), "XDG_STATE_HOME=" + dir.filePath("state"),
             "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0"});
        const QProcessEnvironment window =
            with(env, {"LD_PRELOAD=" TESSARO_WINDOW_DRIVER_PATH,
                       "TESSARO_DRIVE_DESTINATION=" + file, "TESSARO_DRIVE_RECORD_MS=600000"});
        QProcess recorder;
        if (headless)
            start(recorder, env, {"--record", file, "--rate", "2822400"});
        else
            start(recorder, window);
        QString errors;
        QVERIFY2(says(recorder, errors, headless ? "recording started" : "clicked record"),
                 qPrintable(errors));
        QElapsedTimer recording;
        recording.start();
        // A second recorder started meanwhile leaves the files of the first alone. It records
        // through its window too, the tone 20 dB lower and a burst in its right input: its meters
        // just before the stop and its file; once it closed, the journal lists the first file only.
        QProcess second;
        start(second,
              with(window, {"TESSARO_DRIVE_DESTINATION=" + other, "TESSARO_DRIVE_RECORD_MS=2500",
                            "TESSARO_SIMULATED_TONE_DB=-26.02", "TESSARO_SIMULATED_BURST=1@1"}));
        QVERIFY(second.waitForFinished(60000));
        const QString secondErrors = QString::fromLocal8Bit(second.readAllStandardError());
        QVERIFY2(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0 &&
                     secondErrors.contains("\nWarning: another recorder is running") &&
                     secondErrors.contains("window driver: clicked close"),
                 qPrintable(secondErrors));
        const QRegularExpressionMatch m =
            QRegularExpression("meters left: (\\S+) dBFS; right: (\\S+) dBFS(, clipped)?;")
                .match(secondErrors);
        QVERIFY2(m.hasMatch() && qAbs(m.captured(1).toDouble() + 26.0) <= 0.5 &&
                     qAbs(m.captured(2).toDouble() + 26.0) <= 0.5 && !m.captured(3).isEmpty(),
                 qPrintable(secondErrors));
        const MediaInfo info = MediaProbe::probe(other);
        QVERIFY2(info.sampleRate == 44100 && info.duration > 1.5 && info.duration < 4.0,
                 qPrintable(QString("%1 Hz, %2 s").arg(info.sampleRate).arg(info.duration)));
        verifyTones(other, 44100);
        QCOMPARE(readAll(journal), file.toUtf8() + '\n');

        QTest::qWait(qMax(0, 3000 - int(recording.elapsed())));
        ::kill(pid_t(recorder.processId()), SIGKILL);
        const double recordedSeconds = recording.elapsed() / 1000.0;
        QVERIFY(recorder.waitForFinished(10000));
        QVERIFY(QFile::copy(file, copy));

        // The next start repairs what the journal lists and refuses a foreign file unchanged.
        QVERIFY(append(notes, "levels fine\n") && append(journal, notes.toUtf8() + '\n'));
        QProcess restarted;
        start(restarted, env);
        // The kill may fall just after a header update, before more data reached the disk.
        const QString outcome = ": (repaired|complete)";
        QVERIFY2(says(restarted, errors, "\nInfo: " + QRegularExpression::escape(file) + outcome),
                 qPrintable(errors));
        QVERIFY2(says(restarted, errors,
                      "\nError: " + QRegularExpression::escape(notes) +
                          ": not repaired, not a WAV, DSF or DSDIFF file\n"),
                 qPrintable(errors));
        // Ended as a terminal's Ctrl+C or a logout ends it, it still saves its settings.
        QVERIFY(QFile::remove(settings));
        restarted.terminate();
        QVERIFY(restarted.waitForFinished(10000));
        QVERIFY(restarted.exitStatus() == QProcess::NormalExit && restarted.exitCode() == 0);
        const QStringList ini = QString(readAll(settings)).split('\n');
        for (const char* line :
             {"[INPUT]", "device=Halvik Simulated Device", "[AUTO_SPLIT]", "[CONFIG]"})
            QVERIFY2(ini.contains(line), qPrintable(ini.join('\n')));
        QCOMPARE(readAll(journal), QByteArray());
        QCOMPARE(readAll(notes), QByteArray("levels fine\n"));

        // "--repair", without any display, makes the same file of the copy.
        QProcess repair;
        start(repair, with(env, {"QT_QPA_PLATFORM="}), {"--repair", copy});
        QVERIFY(repair.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(repair.readAllStandardOutput());
        const QRegularExpression line("\\A" + QRegularExpression::escape(copy) + outcome +
                                      ".*\n\\z");
        QVERIFY2(repair.exitCode() == 0 && out.contains(line), qPrintable(out));
        QCOMPARE(readAll(copy), readAll(file));

        const double decodedSeconds = verifyTones(file, 88200);
        qInfo("%.2f s decoded of %.2f s recorded", decodedSeconds, recordedSeconds);
        QVERIFY(decodedSeconds >= recordedSeconds - 1.0 && decodedSeconds <= recordedSeconds + 0.5);
    }
};

QTEST_GUILESS_MAIN(TestCrashRecovery)
#include "tst_crashrecovery.moc"
