// The real tessaro-recorder on its command line: options, the device list, recordings without
// a display checked by ffprobe/ffmpeg, a SIGTERM in the middle, and failures with their status.
// Every run leaves the settings file as it was.
#include "mediaprobe.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {
const QString kSettings = QStringLiteral("[INPUT]\ndevice=Halvik Simulated Device\n");
}

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        home.reset(new QTemporaryDir);
        QVERIFY(QDir(home->path()).mkpath("config/Veloran"));
        QFile ini(settingsPath());
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(kSettings.toUtf8()) > 0);
    }

    void cleanup()
    {
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
        QProcess p;
        start(&p, {option});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        QVERIFY2(out.split('\n').contains(line), qPrintable(out));
    }

    void recordsWithoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("terminateAfterMs"); // 0: the recording ends by --seconds
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("decodeRate");
        QTest::addColumn<double>("seconds");
        // The container follows the data: no extension takes --dsd-type, PCM is always WAV.
        QTest::newRow("DSD 1x DSF") << QStringList{"--record",   "take", "--rate",    "2822400",
                                                   "--dsd-type", "dsf",  "--seconds", "3"}
                                    << 0 << "take.dsf" << 88200 << 3.0;
        QTest::newRow("PCM 96 kHz WAV")
            << QStringList{"--record",  "take.dff", "--rate",
                           "96000",     "--device", "Halvik Simulated Device",
                           "--seconds", "3"}
            << 0 << "take.wav" << 96000 << 3.0;
        // The header's sizes must match the data for ffprobe to see the 2 s.
        QTest::newRow("SIGTERM") << QStringList{"--record", "take.wav", "--rate", "48000"} << 2000
                                 << "take.wav" << 48000 << 2.0;
    }

    void recordsWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, terminateAfterMs);
        QFETCH(QString, file);
        QFETCH(int, decodeRate);
        QFETCH(double, seconds);
        QProcess p;
        start(&p, arguments);
        QByteArray err;
        const auto says = [&](const char* text) {
            err += p.readAllStandardError();
            return err.contains(text);
        };
        if (terminateAfterMs > 0) {
            QVERIFY(QTest::qWaitFor([&] { return says("recording 48.0 kHz to"); }, 20000));
            QTest::qWait(terminateAfterMs);
            p.terminate();
        }
        QVERIFY(p.waitForFinished(60000));
        err += p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, err.constData());
        // The tone is at -6 dBFS in PCM and at the 0 dB reference (50 % modulation) in DSD.
        const QRegularExpressionMatch progress =
            QRegularExpression("00:00:01  [0-9.]+ MB written  RAM buffer [0-9.]+ %  "
                               "peak (-?[0-9.]+) / (-?[0-9.]+) dB\n")
                .match(QString::fromLocal8Bit(err));
        QVERIFY2(progress.hasMatch(), err.constData());
        const double toneDb = decodeRate == 88200 ? 0.0 : -6.0;
        for (int input : {1, 2})
            QVERIFY2(qAbs(progress.captured(input).toDouble() - toneDb) <= 0.5, err.constData());

        const MediaInfo info = MediaProbe::probe(path(file));
        QCOMPARE(info.channels, 2);
        QVERIFY2(qAbs(info.duration - seconds) <= 0.2, qPrintable(QString::number(info.duration)));
        const QVector<QVector<float>> channels = MediaProbe::decode(path(file), decodeRate);
        QCOMPARE(channels.size(), 2);
        // The simulated device's tones: 1000 Hz left, 1500 Hz right.
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[0], decodeRate)), 1000);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[1], decodeRate)), 1500);
    }

    void failsWithOneLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("unplugAfterMs"); // < 0: the device stays plugged in
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line"); // all of standard error
        const QString hint = " Use --help to see the options.";
        QTest::newRow("unknown") << QStringList{"--loud"} << -1 << 2
                                 << "Unknown option 'loud'." + hint;
        QTest::newRow("rate text")
            << QStringList{"--record", "x", "--rate", "fast"} << -1 << 2
            << "--rate needs a number from 1 to 100000000, not 'fast'." + hint;
        QTest::newRow("negative seconds")
            << QStringList{"--record", "x", "--seconds", "-3"} << -1 << 2
            << "--seconds needs a number from 0 to 2000000, not '-3'." + hint;
        QTest::newRow("endless wait")
            << QStringList{"--record", "x", "--give-up-after", "1e12"} << -1 << 2
            << "--give-up-after needs a number from 0 to 2000000, not '1e12'." + hint;
        QTest::newRow("dsd type") << QStringList{"--record", "x", "--dsd-type", "mp3"} << -1 << 2
                                  << "--dsd-type must be dsf or dff, not 'mp3'." + hint;
        QTest::newRow("rate alone") << QStringList{"--rate", "96000"} << -1 << 2
                                    << "--rate applies only to --record." + hint;
        QTest::newRow("repair nothing") << QStringList{"--repair"} << -1 << 2
                                        << "--repair needs at least one file." + hint;
        QTest::newRow("stray file") << QStringList{"take.wav"} << -1 << 2
                                    << "Unexpected argument 'take.wav'." + hint;
        QTest::newRow("no such device")
            << QStringList{"--record", "a.wav", "--device", "Nope (ALSA)"} << -1 << 1
            << "no device named 'Nope (ALSA)' (--list-devices shows the devices)";
        QTest::newRow("rate refused")
            << QStringList{"--record", "a.wav", "--rate", "12345"} << -1 << 1
            << "Halvik Simulated Device refuses the rate 12345 Hz (it accepts 44100, 48000, "
               "88200, 96000, 176400, 192000, 352800, 384000, 2822400 (DSD 1x), "
               "5644800 (DSD 2x), 11289600 (DSD 4x))";
        QTest::newRow("folder given") << QStringList{"--record", "."} << -1 << 1
                                      << "cannot record to %1: '%1' is a folder, not a file";
        QTest::newRow("folder missing") << QStringList{"--record", "no/such/a.wav"} << -1 << 1
                                        << "cannot record to %1/no/such/a.wav: the folder "
                                           "'%1/no/such' does not exist";
        QTest::newRow("unplugged too long")
            << QStringList{"--record", "a.wav", "--give-up-after", "1"} << 1000 << 1
            << "Halvik Simulated Device stayed unplugged for 1 s";
    }

    // The one line that names the program and the problem; the log may add lines of its own.
    void failsWithOneLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, unplugAfterMs);
        QFETCH(int, status);
        QFETCH(QString, line);
        QProcess p;
        start(&p, arguments);
        QByteArray err;
        if (unplugAfterMs >= 0) {
            // Unplugged once the recording runs: a device lost while it starts up is another case.
            QVERIFY(QTest::qWaitFor([&] {
                err += p.readAllStandardError();
                return err.contains("recording 44.1 kHz to");
            }, 20000));
            QTest::qWait(unplugAfterMs);
            QFile unplug(path("unplug"));
            QVERIFY(unplug.open(QIODevice::WriteOnly));
        }
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), status);
        err += p.readAllStandardError();
        const QStringList ours = QString::fromLocal8Bit(err)
                                     .split('\n')
                                     .filter(QRegularExpression("^tessaro-recorder: "));
        const QString expected = line.contains("%1") ? line.arg(home->path()) : line;
        QCOMPARE(ours, QStringList{"tessaro-recorder: " + expected});
        if (status == 2) // refused before anything ran
            QCOMPARE(p.readAllStandardOutput(), QByteArray());
    }

private:
    QString path(const QString& name) const { return QDir(home->path()).filePath(name); }
    QString settingsPath() const { return path("config/Veloran/Tessaro Recorder.ini"); }

    // A throw-away home, no display of any kind, the simulated device's unplug switch in it.
    void start(QProcess* p, const QStringList& arguments) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "TESSARO_ALSA_DEVICES"})
            env.remove(name);
        env.insert("HOME", home->path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("TESSARO_SIMULATED_UNPLUG_FILE", path("unplug"));
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(home->path());
        p->start(qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder", arguments);
        QVERIFY(p->waitForStarted());
    }

    std::unique_ptr<QTemporaryDir> home;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
