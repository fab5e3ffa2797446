// The real tessaro-recorder on its command line: options, the device list, recordings without
// a display checked by ffprobe/ffmpeg, a SIGTERM in the middle, and failures with their status.
#include "mediaprobe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {
const char* const kSimulated = "Halvik Simulated Device";
const QString kSettings = QStringLiteral("[INPUT]\ndevice=Halvik Simulated Device\n"
                                         "default_dsd_type=dff\n");
} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        home.reset(new QTemporaryDir);
        QVERIFY(home->isValid());
        QVERIFY(QDir(home->path()).mkpath("config/Veloran"));
        QFile ini(settingsPath());
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(kSettings.toUtf8());
    }

    void cleanup()
    {
        // Every run, whatever it did, leaves the settings as they were.
        QFile ini(settingsPath());
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(ini.readAll()), kSettings);
    }

    void answersAndExits_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("line"); // a line standard output must hold
        QTest::newRow("version") << "--version"
                                 << "tessaro-recorder 1.3";
        QTest::newRow("help")
            << "--help"
            << "  --give-up-after <SECONDS>  Fail when the device stays unplugged this long";
        QTest::newRow("list")
            << "--list-devices"
            << "Halvik Simulated Device (remembered): 44100, 48000, 88200, 96000, 176400, "
               "192000, 352800, 384000, 2822400 (DSD 1x), 5644800 (DSD 2x), 11289600 (DSD 4x)";
    }

    void answersAndExits()
    {
        QFETCH(QString, option);
        QFETCH(QString, line);
        const Result r = runProgram({option});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.split('\n').contains(line), qPrintable(r.out));
    }

    void refusesBadOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("problem");
        QTest::newRow("unknown") << QStringList{"--loud"} << "Unknown option 'loud'.";
        QTest::newRow("rate text") << QStringList{"--record", "x", "--rate", "fast"}
                                   << "--rate needs a number from 1 to 100000000, not 'fast'.";
        QTest::newRow("negative seconds")
            << QStringList{"--record", "x", "--seconds", "-3"}
            << "--seconds needs a number from 0 to 2000000, not '-3'.";
        QTest::newRow("endless wait")
            << QStringList{"--record", "x", "--give-up-after", "1e12"}
            << "--give-up-after needs a number from 0 to 2000000, not '1e12'.";
        QTest::newRow("zero seconds") << QStringList{"--record", "x", "--seconds", "0"}
                                      << "--seconds must be more than 0, not '0'.";
        QTest::newRow("dsd type") << QStringList{"--record", "x", "--dsd-type", "mp3"}
                                  << "--dsd-type must be dsf or dff, not 'mp3'.";
        QTest::newRow("no file") << QStringList{"--record"} << "Missing value after '--record'.";
        QTest::newRow("rate alone")
            << QStringList{"--rate", "96000"} << "--rate applies only to --record.";
        QTest::newRow("positional") << QStringList{"take.wav"} << "Unexpected argument 'take.wav'.";
    }

    // Status 2 and exactly one line on standard error, nothing on standard output.
    void refusesBadOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, problem);
        const Result r = runProgram(arguments);
        QCOMPARE(r.status, 2);
        QCOMPARE(r.err, "tessaro-recorder: " + problem + " Use --help to see the options.\n");
        QCOMPARE(r.out, QString());
    }

    void recordsWithoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("decodeRate");

        // No extension: --dsd-type picks the container; a .wav name for DSD would be replaced.
        QTest::newRow("DSD 1x DSF") << QStringList{"--record",   "take", "--rate",    "2822400",
                                                   "--dsd-type", "dsf",  "--seconds", "3"}
                                    << "take.dsf"
                                    << "dsf" << 88200;
        QTest::newRow("PCM 96 kHz WAV") << QStringList{"--record", "take.dff", "--rate",    "96000",
                                                       "--device", kSimulated, "--seconds", "3"}
                                        << "take.wav"
                                        << "wav" << 96000;
    }

    void recordsWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        QFETCH(QString, format);
        QFETCH(int, decodeRate);
        const Result r = runProgram(arguments);
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QVERIFY2(r.err.contains(
                     QRegularExpression("00:00:02  [0-9.]+ MB written  RAM buffer [0-9.]+ %")),
                 qPrintable(r.err));
        checkTones(path(file), format, 3.0, 0.2, decodeRate);
    }

    void sigtermFinishesTheFile()
    {
        QProcess recorder;
        startProgram(&recorder, {"--record", "take.wav", "--rate", "48000"});
        QByteArray err;
        const auto started = [&] {
            err += recorder.readAllStandardError();
            return err.contains("recording 48.0 kHz to");
        };
        QVERIFY(QTest::qWaitFor(started, 20000));
        QTest::qWait(2000);
        QCOMPARE(recorder.state(), QProcess::Running);
        recorder.terminate();
        QVERIFY(recorder.waitForFinished(20000));
        QCOMPARE(recorder.exitStatus(), QProcess::NormalExit);
        QVERIFY2(recorder.exitCode() == 0, recorder.readAllStandardError().constData());
        // The header's sizes must match the data for ffprobe to see the 2 s.
        checkTones(path("take.wav"), "wav", 2.0, 0.3, 48000);
    }

    void failsWithOneClearLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("unplugAfterMs"); // < 0: the device stays plugged in
        QTest::addColumn<QString>("reason");

        QTest::newRow("no such device")
            << QStringList{"--record", "a.wav", "--device", "Nope (ALSA)"} << -1
            << "no device named 'Nope (ALSA)'";
        QTest::newRow("rate refused") << QStringList{"--record", "a.wav", "--rate", "12345"} << -1
                                      << "Halvik Simulated Device refuses the rate 12345 Hz";
        QTest::newRow("folder missing")
            << QStringList{"--record", "no/such/folder/a.wav"} << -1 << "cannot record to";
        QTest::newRow("unplugged too long")
            << QStringList{"--record", "a.wav", "--give-up-after", "1"} << 1000
            << "stayed unplugged for 1 s";
    }

    void failsWithOneClearLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, unplugAfterMs);
        QFETCH(QString, reason);
        QProcess recorder;
        startProgram(&recorder, arguments);
        if (unplugAfterMs >= 0) {
            QTest::qWait(unplugAfterMs);
            QFile unplug(path("unplug"));
            QVERIFY(unplug.open(QIODevice::WriteOnly));
        }
        QVERIFY(recorder.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(recorder.readAllStandardError());
        QCOMPARE(recorder.exitCode(), 1);
        const QStringList ours = err.split('\n').filter(QRegularExpression("^tessaro-recorder: "));
        QCOMPARE(ours.size(), 1);
        QVERIFY2(ours.first().contains(reason), qPrintable(err));
    }

private:
    struct Result
    {
        int status = -1;
        QString out;
        QString err;
    };

    QString path(const QString& name) const { return QDir(home->path()).filePath(name); }
    QString settingsPath() const { return path("config/Veloran/Tessaro Recorder.ini"); }

    // A throw-away home, no display of any kind, the simulated device's unplug switch in it.
    void startProgram(QProcess* recorder, const QStringList& arguments) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "TESSARO_ALSA_DEVICES"})
            env.remove(name);
        env.insert("HOME", home->path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("TESSARO_SIMULATED_UNPLUG_FILE", path("unplug"));
        recorder->setProcessEnvironment(env);
        recorder->setWorkingDirectory(home->path());
        recorder->start(qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder", arguments);
        QVERIFY(recorder->waitForStarted());
    }

    Result runProgram(const QStringList& arguments) const
    {
        QProcess recorder;
        startProgram(&recorder, arguments);
        Result r;
        if (!recorder.waitForFinished(60000) || recorder.exitStatus() != QProcess::NormalExit)
            return r;
        r.status = recorder.exitCode();
        r.out = QString::fromLocal8Bit(recorder.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(recorder.readAllStandardError());
        return r;
    }

    // The simulated device's 1000 Hz tone on the left and 1500 Hz on the right, measured.
    static void checkTones(const QString& file, const QString& format, double seconds,
                           double tolerance, int decodeRate)
    {
        const MediaInfo info = MediaProbe::probe(file);
        QVERIFY2(info.ok, qPrintable(file));
        QCOMPARE(info.formatName, format);
        QCOMPARE(info.channels, 2);
        QVERIFY2(qAbs(info.duration - seconds) <= tolerance,
                 qPrintable(QString::number(info.duration)));
        const QVector<QVector<float>> channels = MediaProbe::decode(file, decodeRate);
        QCOMPARE(channels.size(), 2);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[0], decodeRate)), 1000);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[1], decodeRate)), 1500);
    }

    std::unique_ptr<QTemporaryDir> home;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
