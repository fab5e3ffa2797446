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
const QString kRates =
    "44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 2822400 (DSD 1x), "
    "5644800 (DSD 2x), 11289600 (DSD 4x)";
} // namespace

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

    void recordsWithoutDisplay_data()
    {
        QTest::addColumn<QString>("arguments"); // "_" stands for a space within an argument
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("decodeRate");
        // The container follows the data: no extension takes --dsd-type, PCM is always WAV.
        QTest::newRow("DSD 1x DSF") << "--record take --rate 2822400 --dsd-type dsf --seconds 3"
                                    << "take.dsf" << 88200;
        QTest::newRow("PCM 96 kHz WAV")
            << "--record take.dff --rate 96000 --device Halvik_Simulated_Device --seconds 3"
            << "take.wav" << 96000;
        // Ended by SIGTERM after two seconds, as a terminal's Ctrl+C ends it.
        QTest::newRow("SIGTERM") << "--record take.wav --rate 48000"
                                 << "take.wav" << 48000;
    }
    void recordsWithoutDisplay()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, file);
        QFETCH(int, decodeRate);
        const bool terminated = !arguments.contains("--seconds");
        QProcess p;
        start(&p, arguments);
        QByteArray err;
        if (terminated) {
            QVERIFY(waitFor(&p, &err, "\n00:00:02  "));
            p.terminate();
        }
        QVERIFY(p.waitForFinished(60000));
        err += p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, err.constData());
        // The tone is at -6 dBFS in PCM and at the 0 dB reference (50 % modulation) in DSD.
        const QRegularExpressionMatch progress =
            QRegularExpression("00:00:01  [0-9.]+ MB written  RAM buffer "
                               "[0-9.]+ %  peak (-?[0-9.]+) / (-?[0-9.]+) dB\n")
                .match(QString::fromLocal8Bit(err));
        const double toneDb = decodeRate == 88200 ? 0.0 : -6.0;
        QVERIFY2(progress.hasMatch() && qAbs(progress.captured(1).toDouble() - toneDb) <= 0.5 &&
                     qAbs(progress.captured(2).toDouble() - toneDb) <= 0.5,
                 err.constData());
        // A terminated take keeps at least the two seconds reported, its header counting them all.
        const double seconds = MediaProbe::probe(path(file)).duration;
        QVERIFY2(terminated ? seconds >= 1.5 && seconds < 10 : qAbs(seconds - 3.0) <= 0.2,
                 qPrintable(QString::number(seconds)));
        QStringList tones;
        for (const QVector<float>& channel : MediaProbe::decode(path(file), decodeRate))
            tones << QString::number(qRound(MediaProbe::dominantFrequency(channel, decodeRate)));
        // The simulated device's tones: 1000 Hz left, 1500 Hz right.
        QCOMPARE(tones, QStringList({"1000", "1500"}));
    }

    void answersWithOneLine_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("status");
        // Status 0: one line of standard output; else all of ours on standard error.
        QTest::addColumn<QString>("line");
        const QString hint = " Use --help to see the options.";
        auto row = [](const char* tag, const char* arguments, int status, const QString& line) {
            QTest::newRow(tag) << QString(arguments) << status << line;
        };
        row("version", "--version", 0, "tessaro-recorder 1.3");
        row("help", "--help", 0,
            "  --give-up-after <SECONDS>  Fail when the device stays unplugged this long");
        row("list", "--list-devices", 0, "Halvik Simulated Device (remembered): " + kRates);
        row("unknown", "--loud", 2, "Unknown option 'loud'." + hint);
        row("rate text", "--record x --rate fast", 2,
            "--rate needs a number from 1 to 100000000, not 'fast'." + hint);
        row("negative seconds", "--record x --seconds -3", 2,
            "--seconds needs a number from 0 to 2000000, not '-3'." + hint);
        row("endless wait", "--record x --give-up-after 1e12", 2,
            "--give-up-after needs a number from 0 to 2000000, not '1e12'." + hint);
        row("dsd type", "--record x --dsd-type mp3", 2,
            "--dsd-type must be dsf or dff, not 'mp3'." + hint);
        row("rate alone", "--rate 96000", 2, "--rate applies only to --record." + hint);
        row("repair nothing", "--repair", 2, "--repair needs at least one file." + hint);
        row("stray file", "take.wav", 2, "Unexpected argument 'take.wav'." + hint);
        row("no such device", "--record a.wav --device Nope_(ALSA)", 1,
            "no device named 'Nope (ALSA)' (--list-devices shows the devices)");
        row("rate refused", "--record a.wav --rate 12345", 1,
            "Halvik Simulated Device refuses the rate 12345 Hz (it accepts " + kRates + ")");
        row("folder given", "--record .", 1, "cannot record to %1: '%1' is a folder, not a file");
        row("folder missing", "--record no/such/a.wav", 1,
            "cannot record to %1/no/such/a.wav: the folder '%1/no/such' does not exist");
        // Unplugged once the recording runs: a device lost while it starts up is another case.
        row("unplugged too long", "--record a.wav --give-up-after 1", 1,
            "Halvik Simulated Device stayed unplugged for 1 s");
    }
    void answersWithOneLine()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, line);
        QProcess p;
        start(&p, arguments);
        QByteArray err;
        if (QByteArray(QTest::currentDataTag()).startsWith("unplugged")) {
            QVERIFY(waitFor(&p, &err, "\n00:00:01  "));
            QFile unplug(path("unplug"));
            QVERIFY(unplug.open(QIODevice::WriteOnly));
        }
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), status);
        err += p.readAllStandardError();
        const QStringList out = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n');
        if (status == 0)
            QVERIFY2(out.contains(line), qPrintable(out.join('\n')));
        if (status == 2) // refused before anything ran
            QCOMPARE(out, QStringList{""});
        // The one line that names the program and the problem; the log may add lines of its own.
        const QStringList ours = QString::fromLocal8Bit(err).split('\n').filter(
            QRegularExpression("^tessaro-recorder: "));
        QCOMPARE(ours, status == 0
                           ? QStringList()
                           : QStringList{"tessaro-recorder: " +
                                         (line.contains("%1") ? line.arg(home->path()) : line)});
    }

private:
    QString path(const QString& name) const { return QDir(home->path()).filePath(name); }
    QString settingsPath() const { return path("config/Veloran/Tessaro Recorder.ini"); }

    // A throw-away home, no display of any kind, the simulated device's unplug switch in it.
    void start(QProcess* p, const QString& arguments) const
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
        p->start(qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder",
                 arguments.split(' ').replaceInStrings("_", " "));
        QVERIFY(p->waitForStarted());
    }

    static bool waitFor(QProcess* p, QByteArray* err, const char* text)
    {
        return QTest::qWaitFor([&] { return (*err += p->readAllStandardError()).contains(text); },
                               20000);
    }

    std::unique_ptr<QTemporaryDir> home;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
