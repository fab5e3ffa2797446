// The real tessaro-recorder as a user runs it: options, the device list, recordings without a
// display checked by ffprobe/ffmpeg, a SIGTERM in the middle, and failures with their status;
// every such run leaves the settings file as it was. Then a recording killed with SIGKILL while a
// second recorder records through its window, repaired both ways: by the next start (from the
// journal of open recordings) and by "--repair"; standard tools must then read the whole take up
// to at most a second before the kill, tones on their channels.
#include "mediaprobe.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {
const QString kSettings = QStringLiteral("[INPUT]\ndevice=Halvik Simulated Device\n");
const QString kRates =
    "44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 2822400 (DSD 1x), "
    "5644800 (DSD 2x), 11289600 (DSD 4x)";

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

// The tones decoded at the rate, "left right" in Hz.
QString tones(const QString& path, int rate)
{
    QStringList found;
    for (const QVector<float>& channel : MediaProbe::decode(path, rate))
        found << QString::number(qRound(MediaProbe::dominantFrequency(channel, rate)));
    return found.join(' ');
}
// The size the "data" chunk declares and the number of bytes that follow its header: chunks
// before it (the recording's "bext") are stepped over.
std::pair<quint32, qint64> wavData(const QByteArray& wav)
{
    qint64 at = 12;
    while (at + 8 <= wav.size() && wav.mid(int(at), 4) != "data")
        at += 8 + qFromLittleEndian<quint32>(wav.constData() + at + 4);
    if (at + 8 > wav.size())
        return {0, -1};
    return {qFromLittleEndian<quint32>(wav.constData() + at + 4), wav.size() - at - 8};
}

// The 32-bit words of a WAV's data, both channels interleaved.
QVector<qint32> wavWords(const QString& path)
{
    const QByteArray wav = readAll(path);
    const qint64 bytes = wavData(wav).second;
    QVector<qint32> words(int(qMax<qint64>(0, bytes) / 4));
    std::memcpy(words.data(), wav.constData() + wav.size() - bytes, size_t(words.size()) * 4);
    return words;
}

// The simulated device's tone on input c at sample n of its period, as its documentation
// defines it: round(0.5 * (2^31 - 1) * sin(2 pi f n / rate)).
qint32 toneWord(int c, qint64 n, int rate)
{
    const double f = c == 0 ? 1000.0 : 1500.0;
    return qint32(std::lround(0.5 * std::sin(2.0 * M_PI * f * double(n) / rate) * 2147483647.0));
}

// Seconds into the decoded channel where it first reaches a tenth of full scale.
double onsetSeconds(const QVector<float>& samples, int rate)
{
    for (int i = 0; i < samples.size(); ++i)
        if (std::abs(samples[i]) >= 0.1f)
            return double(i) / rate;
    return -1;
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        home.reset(new QTemporaryDir);
        QVERIFY(QDir(home->path()).mkpath("config/Veloran"));
        QFile ini(path("config/Veloran/Tessaro Recorder.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(kSettings.toUtf8()) > 0);
    }

    void cleanup()
    {
        QCOMPARE(QString(readAll(path("config/Veloran/Tessaro Recorder.ini"))), kSettings);
    }

    // Listing records nothing, so it takes no RAM buffer however large the setting: it used to
    // commit all of it first (4.2 GB and 15 s here). Run first, so that no recording of another
    // test, with its buffer of the default 256 MiB, counts in the children's largest size.
    void listingTakesNoRecordingBuffer()
    {
        QVERIFY(QDir(home->path()).mkpath("big/Veloran"));
        QFile ini(path("big/Veloran/Tessaro Recorder.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly) &&
                ini.write("[INPUT]\nrecording_buffer_MB=4095\n") > 0);
        ini.close();
        QProcess p;
        start(p, {"--list-devices"}, {"XDG_CONFIG_HOME=" + path("big")});
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitCode(), 0);
        const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
        QVERIFY2(out.contains("Halvik Simulated Device: 4 inputs; " + kRates + "\n"),
                 qPrintable(out));
        struct rusage children = {};
        QCOMPARE(::getrusage(RUSAGE_CHILDREN, &children), 0);
        QVERIFY2(children.ru_maxrss < 1024 * 1024, // KiB
                 qPrintable(QString::number(children.ru_maxrss)));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("arguments"); // "_" stands for a space within an argument
        QTest::addColumn<int>("status");
        // Status 0: a line of standard output; else all of ours on standard error.
        QTest::addColumn<QString>("line");
        // A recording: its file, decoded at this rate.
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("decodeRate");
        auto row = [](const char* tag, const char* arguments, int status, const QString& line,
                      const char* file = "", int decodeRate = 0) {
            QTest::newRow(tag) << QString(arguments) << status << line << QString(file)
                               << decodeRate;
        };
        // The container follows the data: no extension takes --dsd-type, PCM is always WAV.
        row("DSD 1x DSF", "--record take --rate 2822400 --dsd-type dsf --seconds 3", 0, "",
            "take.dsf", 88200);
        // Ended by SIGTERM after two seconds, as a terminal's Ctrl+C ends it.
        row("PCM 96 kHz WAV, SIGTERM",
            "--record take.dff --rate 96000 --device Halvik_Simulated_Device", 0, "", "take.wav",
            96000);
        // The short options; quiet leaves standard error empty when all goes well.
        row("short options, quiet", "-q -r 48000 -d 3 --record take -D Halvik_Simulated_Device", 0,
            "", "take.wav", 48000);
        // take.wav exists (longer than the take): it is replaced only when asked to be.
        row("existing, --overwrite", "--record take.wav -d 3 --overwrite", 0, "", "take.wav",
            44100);
        row("existing, a free name", "--record take.wav -d 3", 0, "", "take_0002.wav", 44100);
        // Any pair of adjacent inputs: the simulated device's third and fourth tones.
        row("inputs 3,4, PCM", "--record take -r 48000 -d 3 --inputs 3,4", 0, "", "take.wav",
            48000);
        row("inputs 3,4, DSD 2x DFF", "--record take.dff -r 5644800 -d 3 --inputs 3,4", 0, "",
            "take.dff", 88200);
        row("version", "--version", 0, "tessaro-recorder 1.3");
        row("list", "--list-devices", 0,
            "Halvik Simulated Device (remembered): 4 inputs; " + kRates);
        row("list, short", "-l", 0, "Halvik Simulated Device (remembered): 4 inputs; " + kRates);
        // The program as it is installed, not the path it was started from.
        row("help", "--help", 0, "Usage: tessaro-recorder [options] [FILE...]");
        // Bad input is refused before anything runs, each with its own reason.
        const QString hint = " Use --help to see the options.";
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
        row("option twice", "--record x --seconds 3 --seconds 5", 2,
            "--seconds is given more than once." + hint);
        row("short and long", "--record x -r 48000 --rate 96000", 2,
            "--rate is given more than once." + hint);
        row("overwrite alone", "--overwrite", 2, "--overwrite applies only to --record." + hint);
        for (const char* pair : {"2,3", "3", "3,5", "0,1", "3,4,5"})
            row(qPrintable(QString("inputs ") + pair),
                qPrintable(QString("--record x --inputs ") + pair), 2,
                QString("--inputs needs two adjacent inputs, the first odd (1,2 or 3,4 or ...), "
                        "not '%1'.")
                        .arg(pair) +
                    hint);
        row("inputs alone", "--inputs 3,4", 2, "--inputs applies only to --record." + hint);
        row("inputs beyond the device", "--record a.wav --inputs 5,6", 1,
            "Halvik Simulated Device has 4 inputs, not inputs 5,6 (--list-devices shows the "
            "inputs of each device)");
        row("pre-record too long", "--record x --pre-record 31", 2,
            "--pre-record needs a number from 0 to 30, not '31'." + hint);
        row("start level above 0", "--record x --start-level 6", 2,
            "--start-level needs a number from -120 to 0, not '6'." + hint);
        row("split twice", "--record x --split-on-silence 2 --split-on-silence 3", 2,
            "--split-on-silence is given more than once." + hint);
        row("stop after silence alone", "--stop-after-silence 2", 2,
            "--stop-after-silence applies only to --record." + hint);
        row("DSD to standard output", "--record - -r 2822400", 2,
            "DSD cannot be streamed to standard output (--record -); record it into a file, or "
            "choose a PCM rate below 2822400 Hz." +
                hint);
        row("folder given", "--record .", 1, "cannot record to %1: '%1' is a folder, not a file");
        row("no such device", "--record a.wav -D Nope_(ALSA)", 1,
            "no device named 'Nope (ALSA)' (--list-devices shows the devices)");
        row("rate refused", "--record a.wav --rate 12345", 1,
            "Halvik Simulated Device refuses the rate 12345 Hz (it accepts " + kRates + ")");
        row("folder missing", "--record no/such/a.wav", 1,
            "cannot record to %1/no/such/a.wav: the folder '%1/no/such' does not exist");
        // Refused at the start, not when the first split part would need a longer name.
        const QString longName(250, 'x');
        row("name too long", qPrintable("--record " + longName), 1,
            "cannot record to %1/" + longName + ": the name '" + longName +
                "' is too long: with the numbers of its tracks and parts (_9999_part9999) it "
                "needs 264 bytes, more than the 255 the file system allows");
        // Unplugged once the recording runs: a device lost while it starts up is another case.
        row("unplugged too long", "--record a.wav --give-up-after 1", 1,
            "Halvik Simulated Device stayed unplugged for 1 s");
    }
    void commandLine()
    {
        QFETCH(QString, arguments);
        QFETCH(int, status);
        QFETCH(QString, line);
        QFETCH(QString, file);
        QFETCH(int, decodeRate);
        const QByteArray existing(4000000, 'x');
        const bool exists = QString(QTest::currentDataTag()).startsWith("existing");
        QFile old(path("take.wav"));
        QVERIFY(!exists || (old.open(QIODevice::WriteOnly) && old.write(existing) > 0));
        old.close();
        QProcess p;
        start(p, arguments.split(' ').replaceInStrings("_", " "));
        QString err;
        const bool terminated = QString(QTest::currentDataTag()).endsWith("SIGTERM");
        if (terminated) {
            QVERIFY(says(p, err, "\n00:00:02  "));
            p.terminate();
        }
        if (QString(QTest::currentDataTag()).startsWith("unplugged")) {
            QVERIFY(says(p, err, "\n00:00:01  "));
            QVERIFY(QFile(path("unplug")).open(QIODevice::WriteOnly));
        }
        QVERIFY(p.waitForFinished(60000));
        err += QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == status, qPrintable(err));
        const bool quiet = arguments.split(' ').contains("-q");
        if (quiet)
            QCOMPARE(err, QString());
        const QStringList out = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n');
        // A script reads standard output: a recording writes nothing there, whatever happens;
        // neither does a command refused before anything ran.
        if (status == 2 || arguments.contains("--record"))
            QCOMPARE(out, QStringList{""});
        else if (status == 0)
            QVERIFY2(out.contains(line), qPrintable(out.join('\n')));
        // The one line that names the program and the problem; the log may add lines of its own.
        QCOMPARE(err.split('\n').filter(QRegularExpression("^tessaro-recorder: ")),
                 status == 0 ? QStringList()
                             : QStringList{"tessaro-recorder: " +
                                           (line.contains("%1") ? line.arg(home->path()) : line)});
        // Refused before it began, a recording leaves no file.
        if (status != 0 && !arguments.contains("--give-up-after"))
            QVERIFY(!QFile::exists(path("a.wav")));
        if (file.isEmpty())
            return;
        if (exists)
            QCOMPARE(readAll(path("take.wav")) == existing, file != "take.wav");
        // The header counts exactly the data on the disk: nothing of a replaced file is left.
        const QByteArray wav = readAll(path(file));
        QVERIFY(!file.endsWith(".wav") || qint64(wavData(wav).first) == wavData(wav).second);
        const double seconds = MediaProbe::probe(path(file)).duration;
        // The simulated device's tones: 1000 Hz left, 1500 Hz right; 2000 and 2500 on 3 and 4.
        QCOMPARE(tones(path(file), decodeRate),
                 QString(arguments.contains("--inputs 3,4") ? "2000 2500" : "1000 1500"));
        // A terminated take keeps at least the two seconds reported, its header counting them all.
        QVERIFY2(terminated ? seconds >= 1.5 && seconds < 10 : qAbs(seconds - 3.0) <= 0.2,
                 qPrintable(QString::number(seconds)));
        if (quiet)
            return;
        // The tone is at -6 dBFS in PCM and at the 0 dB reference (50 % modulation) in DSD.
        const QRegularExpressionMatch progress =
            QRegularExpression("00:00:01  [0-9.]+ MB written  RAM buffer "
                               "[0-9.]+ %  peak (-?[0-9.]+) / (-?[0-9.]+) dB\n")
                .match(err);
        const double toneDb = decodeRate == 88200 ? 0.0 : -6.0;
        QVERIFY2(progress.hasMatch() && qAbs(progress.captured(1).toDouble() - toneDb) <= 0.5 &&
                     qAbs(progress.captured(2).toDouble() - toneDb) <= 0.5,
                 qPrintable(err));
    }

    // Hands-free capture on the simulated device playing a programme of tone and silence
    // (TESSARO_SIMULATED_PATTERN), the files read by ffprobe and decoded. Times are those of the
    // file: the tone's onset, its length, where each track begins.
    void handsFreeCapture_data()
    {
        QTest::addColumn<QString>("programme");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<double>("onset");  // where the tone begins in the (first) file, s
        QTest::addColumn<double>("length"); // of the (first) file, s; 0: not checked
        QTest::addColumn<QString>("logged");
        // The pre-record is gathered first, so the start falls 1 s into the tone: the file
        // holds the second before it and the tone's first second.
        QTest::newRow("pre-record")
            << "silence:1,tone:30"
            << "--pre-record 2 --seconds 3" << 1.0 << 5.0 << "pre-recording 2.0 s";
        QTest::newRow("start level") << "silence:2,tone:3"
                                     << "--start-level -40 --seconds 2" << 0.0 << 2.0
                                     << "a signal reached \u2212"
                                        "40 dB";
        QTest::newRow("start level, pre-record")
            << "silence:2,tone:3"
            << "--start-level -40 --pre-record 1 --seconds 2" << 1.0 << 3.0
            << "armed: waiting for a signal above \u2212"
               "40 dB";
        QTest::newRow("start level, DSD")
            << "silence:2,tone:3"
            << "--rate 2822400 --start-level -40 --seconds 2" << 0.0 << 2.0 << "";
        QTest::newRow("stop after silence") << "tone:3,silence:30"
                                            << "--stop-after-silence 2" << 0.0 << 5.0
                                            << "the inputs stayed below \u2212"
                                               "60 dB for 2 s: "
                                               "recording stopped";
        // One file per burst of tone: each new track begins in the gap, at most 1 s before the
        // tone returns.
        QTest::newRow("split on silence")
            << "tone:3,silence:2"
            << "--split-on-silence 1 --min-track 1 --seconds 11" << 0.0 << 0.0
            << "silence of 1 s or more ended: track 3 begins";
    }
    void handsFreeCapture()
    {
        QFETCH(QString, programme);
        QFETCH(QString, arguments);
        QFETCH(double, onset);
        QFETCH(double, length);
        QFETCH(QString, logged);
        const bool dsd = arguments.contains("2822400");
        const QString take = dsd ? "take.dsf" : "take.wav";
        QProcess p;
        start(p, QStringList{"--record", take} + arguments.split(' '),
              {"TESSARO_SIMULATED_PATTERN=" + programme});
        QVERIFY(p.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(p.readAllStandardError());
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, qPrintable(err));
        QVERIFY2(err.contains(logged), qPrintable(err));
        const int rate = dsd ? 88200 : 44100;
        const auto decoded = MediaProbe::decode(path(take), rate);
        const double probed = MediaProbe::probe(path(take)).duration;
        const double found = onsetSeconds(decoded.value(0), rate);
        // The start falls at the next buffer (11.6 ms at 44.1 kHz), or the pre-record's buffer
        // rounds up its length. Without a start level the program starts once the pre-record
        // is full, by its own timer: on a busy machine that may come a little late, and the
        // pre-record then holds a little more of the tone.
        const double late = arguments.contains("--start-level") ? 0.02 : 0.25;
        // The stop after silence is decided on the driver thread and carried out like a pressed
        // stop, by the program's next look (every 50 ms, later on a busy machine).
        const double longer = arguments.contains("--stop-after-silence") ? 1.0 : 0.1;
        QVERIFY2(found >= onset - late && found <= onset + 0.1 &&
                     (length == 0 || (probed >= length - 0.1 && probed <= length + longer)),
                 qPrintable(QString("tone at %1 s of %2 s").arg(found).arg(probed)));
        QCOMPARE(tones(path(take), rate), QString("1000 1500"));
        if (!programme.endsWith("silence:2"))
            return;
        QCOMPARE(QDir(home->path()).entryList({"take*"}),
                 QStringList({"take.wav", "take_0002.wav", "take_0003.wav"}));
        QVector<qint32> all;
        for (const char* file : {"take.wav", "take_0002.wav", "take_0003.wav"}) {
            const QVector<qint32> words = wavWords(path(file));
            const QString name(file);
            // Tracks after the first begin with silence of the gap, at most 1 s of it.
            int lead = 0;
            while (lead < words.size() && words[lead] == 0 && words[lead + 1] == 0)
                lead += 2;
            QVERIFY2(name == "take.wav" || (lead > 0 && lead / 2 <= 44100),
                     qPrintable(name + ": " + QString::number(lead / 2)));
            all += words;
        }
        // Every sample of the three files in a row is the device's gated tone at one and the
        // same position: a burst's first sample is its tone's 0, after a silence of at least
        // 1 s; bursts of 3 s are 5 s apart.
        qint64 burst = 0;
        for (qint64 k = 2, zeros = 0; burst == 0 && k < all.size(); k += 2) {
            zeros = all[int(k)] == 0 ? zeros + 1 : zeros;
            if (all[int(k)] != 0 && zeros >= 44100)
                burst = k / 2 - 1;
            else if (all[int(k)] != 0)
                zeros = 0;
        }
        QVERIFY(burst > 0);
        qint64 wrong = 0;
        for (qint64 n = 0; n < all.size() / 2; ++n) {
            const qint64 t = ((n - burst) % 220500 + 220500) % 220500;
            for (int c = 0; c < 2; ++c) {
                const qint32 expected = t < 132300 ? toneWord(c, t, 44100) : 0;
                wrong += std::abs(qint64(all[int(2 * n + c)]) - expected) > 2;
            }
        }
        QCOMPARE(wrong, qint64(0));
    }

    // A remembered device that is away is never replaced by the simulated test tone: a
    // recording from the command line refuses to start, naming it, and leaves no file; the
    // window waits for it, trying once a second, and brings it up once it is installed.
    void absentRememberedDeviceIsWaitedFor()
    {
        const QString device = "Studio Card (USB)",
                      clsid = "{9b1f3c2a-4d5e-4f60-8a7b-1c2d3e4f5a6b}";
        const QString settings = "[INPUT]\ndevice=" + device + "\n";
        for (const QString& dir : {"config", "window"}) {
            QVERIFY(QDir(home->path()).mkpath(dir + "/Veloran"));
            QFile ini(path(dir + "/Veloran/Tessaro Recorder.ini"));
            QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(settings.toUtf8()) > 0);
        }
        const QStringList env{"TESSARO_ASIO_REGISTRY=" + path("asio.ini")};
        QProcess record;
        start(record, {"--record", "concert", "--seconds", "2"}, env);
        QVERIFY(record.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(record.readAllStandardError());
        QVERIFY2(record.exitCode() == 1 &&
                     err.split('\n').filter(QRegularExpression("^tessaro-recorder: ")) ==
                         QStringList{"tessaro-recorder: the device " + device + " is not present"},
                 qPrintable(err));
        QCOMPARE(QDir(home->path()).entryList({"concert*"}), QStringList());
        QCOMPARE(QString(readAll(path("config/Veloran/Tessaro Recorder.ini"))), settings);

        QProcess window;
        start(window, {},
              env + QStringList{"XDG_CONFIG_HOME=" + path("window"), "QT_QPA_PLATFORM=offscreen"});
        // The start's attempt and two more of the reconnection's once a second.
        const QString attempt = "\nWarning: " + device + " not found in the driver list\n";
        QString seen;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         seen += QString::fromLocal8Bit(window.readAllStandardError());
                         return seen.count(attempt) >= 3;
                     },
                     30000),
                 qPrintable(seen));
        QFile registry(path("asio.ini"));
        QVERIFY(registry.open(QIODevice::WriteOnly));
        registry.write(QString("[HKLM\\software\\asio\\Studio Card]\nclsid = %1\ndescription = %2\n"
                               "[HKCR\\clsid\\%1\\InprocServer32]\n@ = %3\n")
                           .arg(clsid, device, TESSARO_TEST_MODULE_PATH)
                           .toUtf8());
        registry.close();
        QVERIFY2(says(window, seen,
                      "\nInfo: driver " + QRegularExpression::escape(device) + " initialized\n"),
                 qPrintable(seen));
        QVERIFY2(!seen.contains("driver Halvik Simulated Device initialized"), qPrintable(seen));
        window.terminate();
        QVERIFY(window.waitForFinished(10000) && window.exitCode() == 0);
        QVERIFY(QString(readAll(path("window/Veloran/Tessaro Recorder.ini")))
                    .contains("\ndevice=" + device + "\n"));
        QFile restore(path("config/Veloran/Tessaro Recorder.ini"));
        QVERIFY(restore.open(QIODevice::WriteOnly) && restore.write(kSettings.toUtf8()) > 0);
    }

    void signalsNeverCutTheTake_data()
    {
        QTest::addColumn<bool>("hangUp");
        QTest::newRow("SIGHUP") << true;
        QTest::newRow("standard error into a closed pipe") << false;
    }
    // A closed terminal, an ssh logout, or a reader of the messages that went away (a quit pager,
    // `| head`) never cut the take short: the file is complete, its header counting every byte
    // on the disk, and the journal of open recordings is empty.
    void signalsNeverCutTheTake()
    {
        QFETCH(bool, hangUp);
        QProcess p;
        if (hangUp) {
            start(p, {"--record", "take.wav", "--rate", "96000"});
            QString err;
            QVERIFY(says(p, err, "\n00:00:02  "));
            ::kill(pid_t(p.processId()), SIGHUP);
        } else {
            // head takes the first line and goes: every later line meets a closed pipe.
            start(
                p,
                {"-c",
                 "{ \"$0\" --record take.wav --rate 96000 --seconds 4 2>&1 >out; echo $? >status; }"
                 " | head -1",
                 recorder()},
                {}, "/bin/sh");
        }
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(hangUp ? QByteArray::number(p.exitCode()) + '\n' : readAll(path("status")),
                 QByteArray("0\n"));
        QCOMPARE(hangUp ? p.readAllStandardOutput() : readAll(path("out")), QByteArray());
        // The RIFF size (offset 4) and the data chunk's size count every byte on the disk.
        const QByteArray wav = readAll(path("take.wav"));
        QVERIFY(wav.size() > 44 + 96000 * 8);
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 4), quint32(wav.size() - 8));
        const auto data = wavData(wav);
        QCOMPARE(qint64(data.first), data.second);
        const double seconds = MediaProbe::probe(path("take.wav")).duration;
        QVERIFY2(hangUp ? seconds >= 1.5 && seconds < 10 : qAbs(seconds - 4.0) <= 0.2,
                 qPrintable(QString::number(seconds)));
        QCOMPARE(readAll(path("state/Veloran/open-recordings")), QByteArray());
    }

    void streamToStandardOutput_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QString>("seconds");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errors"); // all of standard error, quiet as it is
        QTest::newRow("ffprobe") << "ffprobe -v error -count_packets -of compact=p=0:nk=1 "
                                    "-show_entries stream=codec_name,sample_rate,channels pipe:0"
                                 << "-d 2" << 0 << "";
        // No time limit: the reader that goes is what ends the take.
        QTest::newRow("head -c 1000")
            << "head -c 1000"
            << "" << 1
            << "Error: writer error 5: -: Broken pipe\n"
               "tessaro-recorder: recording stopped: standard output: Broken pipe\n";
    }
    // --record - sends a WAV stream down a pipe, whose sizes are unknown when its header goes
    // out: both are the largest value. Nothing else reaches standard output, no file is left
    // and the journal stays empty; a reader that closes its end stops the take at once.
    void streamToStandardOutput()
    {
        QFETCH(QString, reader);
        QFETCH(QString, seconds);
        QFETCH(int, status);
        QFETCH(QString, errors);
        QProcess p;
        start(p,
              {"-c",
               QString("{ \"$0\" -q -r 48000 %1 --record - 2>err; echo $? >status; } | "
                       "tee stream.wav | %2 >out")
                   .arg(seconds, reader),
               recorder()},
              {}, "/bin/sh");
        QVERIFY(p.waitForFinished(60000));
        QCOMPARE(QString(readAll(path("err"))), errors);
        QCOMPARE(readAll(path("status")), QByteArray::number(status) + '\n');
        const QByteArray wav = readAll(path("stream.wav"));
        QVERIFY(wav.size() >= 1000);
        QCOMPARE(wav.left(4) + wav.mid(8, 4), QByteArray("RIFFWAVE"));
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 4), 0xFFFFFFFFu);
        QCOMPARE(wavData(wav).first, 0xFFFFFFFFu);
        QCOMPARE(readAll(path("state/Veloran/open-recordings")), QByteArray());
        QCOMPARE(QDir(home->path()).entryList(QDir::Files),
                 (QStringList{"err", "out", "status", "stream.wav"}));
        if (status != 0) {
            QCOMPARE(readAll(path("out")), wav.left(1000));
            return;
        }
        QCOMPARE(readAll(path("out")), QByteArray("pcm_s32le|48000|2\n"));
        QVERIFY2(qAbs(wavData(wav).second - 2 * 48000 * 8) <= 48000 * 8 / 10,
                 qPrintable(QString::number(wavData(wav).second)));
        QCOMPARE(tones(path("stream.wav"), 48000), QString("1000 1500"));
    }

    // Ctrl+C before the first block reached the file: no file is left, and the status says so.
    // The program's standard error goes into a full pipe, so it waits in its first message,
    // with its handlers installed, until the pipe is read: the signal comes while it starts up.
    void stopBeforeRecordingLeavesNoFile()
    {
        int pipe[2];
        QCOMPARE(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
        QVERIFY(::fcntl(pipe[1], F_SETPIPE_SZ, 4096) > 0);
        const QByteArray filler(512, '.');
        while (::write(pipe[1], filler.constData(), size_t(filler.size())) > 0) {
        }
        QProcess p;
        p.setStandardErrorFile("/proc/self/fd/" + QString::number(pipe[1]));
        start(p, {"--record", "take.wav"});
        const QString wchan = QString("/proc/%1/wchan").arg(p.processId());
        QVERIFY(QTest::qWaitFor([&] { return readAll(wchan).contains("pipe_write"); }, 30000));
        ::kill(pid_t(p.processId()), SIGINT);
        QByteArray err;
        QVERIFY(QTest::qWaitFor(
            [&] {
                char chunk[4096];
                for (ssize_t n; (n = ::read(pipe[0], chunk, sizeof chunk)) > 0;)
                    err.append(chunk, int(n));
                return p.state() == QProcess::NotRunning;
            },
            60000));
        ::close(pipe[0]);
        ::close(pipe[1]);
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 1, err.constData());
        QVERIFY2(err.endsWith("\ntessaro-recorder: stopped before recording began\n"),
                 err.constData());
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
        QCOMPARE(QDir(home->path()).entryList({"take*"}), QStringList());
    }

    // --repair leaves a valid file of another program alone and says why, on standard error.
    void repairRefusesAForeignFile()
    {
        const QString foreign = path("foreign.wav");
        QProcess make;
        make.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "sine=d=0.1", "-c:a", "pcm_s16le",
                              foreign});
        QVERIFY(make.waitForFinished(30000) && make.exitCode() == 0);
        const QByteArray before = readAll(foreign);
        QCOMPARE(before.mid(36, 4), QByteArray("LIST")); // a chunk before the sound data
        QProcess p;
        start(p, {"--repair", foreign});
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        QCOMPARE(p.readAllStandardOutput(), QByteArray());
        QCOMPARE(QString::fromLocal8Bit(p.readAllStandardError()),
                 foreign +
                     ": not repaired, not a recording of this program: WAV with a LIST chunk\n");
        QCOMPARE(readAll(foreign), before);
    }

    // Five recorders started at once to one name: each claims a file of its own, names it in
    // its "finished" line, and that file holds its own take whole; the lengths tell the takes
    // apart.
    void recordersStartedAtOnceShareNoFile()
    {
        std::vector<std::unique_ptr<QProcess>> runs;
        for (int i = 0; i < 5; ++i) {
            runs.emplace_back(new QProcess);
            start(*runs.back(), {"--record", "same", "--seconds", QString::number(2 + i)});
        }
        QStringList files;
        for (int i = 0; i < 5; ++i) {
            QProcess& p = *runs[i];
            QVERIFY(p.waitForFinished(60000));
            const QString err = QString::fromLocal8Bit(p.readAllStandardError());
            QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, qPrintable(err));
            const QString file = QRegularExpression("\nfinished (.*)\n").match(err).captured(1);
            const QByteArray bytes = readAll(file);
            // The header counts exactly the data that follow it.
            QVERIFY2(bytes.size() > 44 && qint64(wavData(bytes).first) == wavData(bytes).second,
                     qPrintable(err));
            const double seconds = MediaProbe::probe(file).duration;
            QVERIFY2(qAbs(seconds - (2 + i)) <= 0.4,
                     qPrintable(file + ": " + QString::number(seconds)));
            files << file;
        }
        files.removeDuplicates();
        QCOMPARE(files.size(), 5);
        QCOMPARE(QDir(home->path()).entryList({"same*"}, QDir::Files).size(), 5);
    }

    // A name with clock fields is filled in as the recording starts, and the file says when and
    // from which device it was recorded, unless the settings say no.
    void clockNamesAndMetadata_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("name"); // the file recorded, as a pattern
        QTest::addColumn<bool>("embedded");
        QTest::newRow("dff") << "--record %Y-%m-%d_%H%M%S.dff --rate 2822400 --seconds 1"
                             << ""
                             << "\\d{4}-\\d\\d-\\d\\d_\\d{6}\\.dff" << true;
        QTest::newRow("wav") << "--record %Y-%m-%d_%H%M%S.wav --seconds 1"
                             << ""
                             << "\\d{4}-\\d\\d-\\d\\d_\\d{6}\\.wav" << true;
        QTest::newRow("wav, metadata off") << "--record plain%%.wav --seconds 1"
                                           << "[CONFIG]\nembed_metadata=false\n"
                                           << "plain%\\.wav" << false;
    }

    void clockNamesAndMetadata()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, config);
        QFETCH(QString, name);
        QFETCH(bool, embedded);
        const QString ini = path("config/Veloran/Tessaro Recorder.ini");
        const auto setIni = [&](const QString& text) {
            QFile f(ini);
            return f.open(QIODevice::WriteOnly) && f.write(text.toUtf8()) == text.toUtf8().size();
        };
        QVERIFY(setIni(kSettings + config));
        QProcess p;
        start(p, arguments.split(' '));
        QVERIFY(p.waitForFinished(60000) && p.exitCode() == 0);
        QCOMPARE(QString(readAll(ini)), kSettings + config);
        QVERIFY(setIni(kSettings));
        const QStringList files = QDir(home->path()).entryList(QDir::Files);
        QCOMPARE(files.filter(QRegularExpression("^" + name + "$")).size(), 1);
        const QString file = files.filter(QRegularExpression("^" + name + "$")).value(0);
        const QMap<QString, QString> tags = MediaProbe::probe(path(file)).tags;
        if (!embedded) {
            QCOMPARE(tags, (QMap<QString, QString>{}));
            QCOMPARE(readAll(path(file)).mid(36, 4), QByteArray("data"));
            return;
        }
        // The time in the file is the start's, as the name's is (a few seconds apart at most).
        const QString recorded =
            file.endsWith(".wav")
                ? tags.value("date") + "T" + tags.value("creation_time")
                : QRegularExpression(
                      "Recorded (\\S+) with Tessaro Recorder 1.3 from Halvik Simulated "
                      "Device")
                      .match(tags.value("comment"))
                      .captured(1);
        const QDateTime named = QDateTime::fromString(file.left(17), "yyyy-MM-dd_HHmmss");
        const qint64 apart = named.secsTo(QDateTime::fromString(recorded, Qt::ISODate));
        QVERIFY2(named.isValid() && apart >= 0 && apart <= 10, qPrintable(file + " " + recorded));
        if (file.endsWith(".wav"))
            QVERIFY(tags.value("coding_history").contains("Halvik Simulated Device"));
    }

    void killedRecordingIsRepairedBothWays_data()
    {
        // The take is recorded from the command line; the window records the second recorder's.
        QTest::addColumn<QString>("rate");
        QTest::newRow("take.wav") << "44100";
        QTest::newRow("take.dsf") << "2822400";
        QTest::newRow("take.dff") << "2822400";
    }
    void killedRecordingIsRepairedBothWays()
    {
        QFETCH(QString, rate);
        const QString file = path(QTest::currentDataTag());
        const QString copy = path(QString("copy-") + QTest::currentDataTag());
        const QString other = path("other.wav"), notes = path("notes.txt");
        const QString journal = path("state/Veloran/open-recordings");
        // The settings the window saves go elsewhere than those the fixture compares.
        const QString settings = path("window/Veloran/Tessaro Recorder.ini");
        const QStringList env{"XDG_CONFIG_HOME=" + path("window"), "QT_QPA_PLATFORM=offscreen"};
        QProcess recorder;
        start(recorder, {"--record", file, "--rate", rate}, env);
        QString errors;
        QVERIFY2(says(recorder, errors, "recording started"), qPrintable(errors));
        QElapsedTimer recording;
        recording.start();
        // A second recorder started meanwhile leaves the files of the first alone. It records
        // through its window, the tone 20 dB lower and a burst in its right input: its meters
        // just before the stop and its file; once it closed, the journal lists the first file only.
        QProcess second;
        start(second, {},
              env + QStringList{"LD_PRELOAD=" TESSARO_WINDOW_DRIVER_PATH,
                                "TESSARO_DRIVE_DESTINATION=" + other,
                                "TESSARO_DRIVE_RECORD_MS=2500", "TESSARO_SIMULATED_TONE_DB=-26.02",
                                "TESSARO_SIMULATED_BURST=1@1"});
        QVERIFY(second.waitForFinished(60000));
        const QString secondErrors = QString::fromLocal8Bit(second.readAllStandardError());
        QVERIFY2(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0 &&
                     secondErrors.contains("\nWarning: another recorder is running"),
                 qPrintable(secondErrors));
        const QRegularExpressionMatch m =
            QRegularExpression("meters left: (\\S+) dBFS; right: (\\S+) dBFS(, clipped)?;")
                .match(secondErrors);
        QVERIFY2(m.hasMatch() && qAbs(m.captured(1).toDouble() + 26.0) <= 0.5 &&
                     qAbs(m.captured(2).toDouble() + 26.0) <= 0.5 && !m.captured(3).isEmpty(),
                 qPrintable(secondErrors));
        QCOMPARE(tones(other, 44100), QString("1000 1500"));
        QCOMPARE(readAll(journal), file.toUtf8() + '\n');

        QTest::qWait(qMax(0, 3000 - int(recording.elapsed())));
        ::kill(pid_t(recorder.processId()), SIGKILL);
        const double recordedSeconds = recording.elapsed() / 1000.0;
        QVERIFY(recorder.waitForFinished(10000));
        QVERIFY(QFile::copy(file, copy));

        // The next start repairs what the journal lists and refuses a foreign file unchanged.
        QFile note(notes);
        QVERIFY(note.open(QIODevice::WriteOnly) && note.write("levels fine\n") > 0);
        note.close();
        QFile listed(journal);
        QVERIFY(listed.open(QIODevice::Append) && listed.write(notes.toUtf8() + '\n') > 0);
        listed.close();
        QProcess restarted;
        start(restarted, {}, env);
        // The kill may fall just after a header update, before more data reached the disk.
        const QString outcome = ": (repaired|complete)";
        QVERIFY2(says(restarted, errors, "\nInfo: " + QRegularExpression::escape(file) + outcome),
                 qPrintable(errors));
        QVERIFY2(says(restarted, errors,
                      "\nError: " + QRegularExpression::escape(notes) +
                          ": not repaired, not a WAV, DSF or DSDIFF file\n"),
                 qPrintable(errors));
        // Ended as a closed terminal or a logout ends it (SIGHUP), it still saves its settings.
        QVERIFY(QFile::remove(settings));
        ::kill(pid_t(restarted.processId()), SIGHUP);
        QVERIFY(restarted.waitForFinished(10000));
        QVERIFY(restarted.exitStatus() == QProcess::NormalExit && restarted.exitCode() == 0);
        // The input group is saved last, after the others.
        const QString ini = readAll(settings);
        QVERIFY2(ini.contains("\ndevice=Halvik Simulated Device\n"), qPrintable(ini));
        QCOMPARE(readAll(journal), QByteArray());
        QCOMPARE(readAll(notes), QByteArray("levels fine\n"));

        // "--repair", without any display, makes the same file of the copy.
        QProcess repair;
        start(repair, {"--repair", copy});
        QVERIFY(repair.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(repair.readAllStandardOutput());
        const QRegularExpression line("\\A" + QRegularExpression::escape(copy) + outcome +
                                      ".*\n\\z");
        QVERIFY2(repair.exitCode() == 0 && out.contains(line), qPrintable(out));
        QCOMPARE(readAll(copy), readAll(file));

        QCOMPARE(tones(file, 88200), QString("1000 1500"));
        const double decodedSeconds = MediaProbe::probe(file).duration;
        qInfo("%.2f s decoded of %.2f s recorded", decodedSeconds, recordedSeconds);
        QVERIFY(decodedSeconds >= recordedSeconds - 1.0 && decodedSeconds <= recordedSeconds + 0.5);
    }

private:
    QString path(const QString& name) const { return QDir(home->path()).filePath(name); }

    static QString recorder()
    {
        return qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder";
    }

    // Runs the program (or another, such as a shell around it) in a throw-away home, without any
    // display, the simulated device's unplug switch in it; "NAME=value" settings go on top.
    void start(QProcess& p, const QStringList& arguments, const QStringList& settings = {},
               const QString& program = recorder()) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name :
             {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "TESSARO_ALSA_DEVICES"})
            env.remove(name);
        env.insert("HOME", home->path());
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_STATE_HOME", path("state"));
        env.insert("TESSARO_SIMULATED_UNPLUG_FILE", path("unplug"));
        env.insert("ASAN_OPTIONS",
                   qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        for (const QString& setting : settings)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(home->path());
        p.start(program, arguments);
        QVERIFY(p.waitForStarted());
    }

    std::unique_ptr<QTemporaryDir> home;
};

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
