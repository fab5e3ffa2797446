// Installs the build into a temporary DESTDIR and builds the .deb from it, as a packager would:
// the files a desktop expects, a desktop entry its validator accepts, icons in their places,
// a manual page for every option, and a lean package whose dependencies shlibdeps found and
// that lintian accepts.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kId = QStringLiteral("org.veloran.TessaroRecorder");
const QStringList kFiles = {
    "usr/bin/tessaro-recorder",
    "usr/share/applications/" + kId + ".desktop",
    "usr/share/doc/tessaro-recorder/changelog.Debian.gz",
    "usr/share/doc/tessaro-recorder/copyright",
    "usr/share/icons/hicolor/128x128/apps/" + kId + ".png",
    "usr/share/icons/hicolor/256x256/apps/" + kId + ".png",
    "usr/share/icons/hicolor/48x48/apps/" + kId + ".png",
    "usr/share/lintian/overrides/tessaro-recorder",
    "usr/share/man/man1/tessaro-recorder.1.gz",
};

// The sorted lines of standard output of a program that must succeed; "<failed>" otherwise.
QStringList run(const QString& program, const QStringList& arguments, const QString& destDir = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DESTDIR", destDir);
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
        return {"<failed>"};
    }
    QStringList lines =
        QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}
} // namespace

class TestPackaging : public QObject
{
    Q_OBJECT

private slots:
    // Installed and packaged alike: the same files, none of the tests, benchmarks or build files.
    void installsAndPackagesTheProgramsFiles()
    {
        QTemporaryDir dest, out, unpacked;
        const auto files = [](const QString& dir) {
            return run("find", {dir, "-not", "-type", "d", "-printf", "%P\n"});
        };
        run("cmake", {"--install", TESSARO_BUILD_DIR, "--prefix", "/usr"}, dest.path());
        QCOMPARE(files(dest.path()), kFiles);
        const QString share = dest.path() + "/usr/share/";
        QCOMPARE(run("desktop-file-validate", {share + "applications/" + kId + ".desktop"}), {});
        const QString roff = run("zcat", {share + "man/man1/tessaro-recorder.1.gz"}).join('\n');
        for (const char* option :
             {"help", "version", "list\\-devices", "record", "device", "rate", "seconds",
              "dsd\\-type", "give\\-up\\-after", "pre\\-record", "start\\-level", "silence\\-level",
              "stop\\-after\\-silence", "split\\-on\\-silence", "min\\-track"})
            QVERIFY2(roff.contains(QString("\\-\\-") + option), option);

        run("cpack", {"-G", "DEB", "-B", out.path(), "--config",
                      QString(TESSARO_BUILD_DIR) + "/CPackConfig.cmake"});
        const QString deb = out.path() + "/tessaro-recorder_1.3-1_" +
                            run("dpkg", {"--print-architecture"}).value(0) + ".deb";
        run("dpkg-deb", {"-x", deb, unpacked.path()});
        QCOMPARE(files(unpacked.path()), kFiles);
        // Hardened as Debian builds: bound at start behind a read-only relocation table, PIE,
        // checked memory and string calls, a stack protector; no compiler notes.
        const QString elf = run("readelf", {"-W", "--dynamic", "--program-headers", "--sections",
                                            "--dyn-syms", unpacked.path() + "/" + kFiles[0]})
                                .join('\n');
#ifdef TESSARO_HARDENED
        for (const char* mark :
             {"BIND_NOW", "PIE", "GNU_RELRO", "__memcpy_chk", "__stack_chk_fail"})
            QVERIFY2(elf.contains(mark), mark);
#endif
        QVERIFY(!elf.contains(".comment"));
        // In the sound section, with the dependencies shlibdeps found (the lines come sorted).
        const QString fields = run("dpkg-deb", {"-f", deb, "Section", "Depends"}).join('\n');
        const QRegularExpression expected("^Depends: (?=.*libqt5core5a)(?=.*libqt5widgets5)"
                                          "(?=.*libasound2)(?=.*libc6).*\nSection: sound$");
        QVERIFY2(fields.contains(expected), qPrintable(fields));
        // Debian's own checker: no error, no warning (informational tags are allowed).
        QProcess lintian;
        lintian.start("lintian", {"--fail-on", "error,warning", deb});
        QVERIFY(lintian.waitForFinished(600000));
        const QString report = QString::fromLocal8Bit(lintian.readAll());
        QVERIFY2(lintian.exitStatus() == QProcess::NormalExit && lintian.exitCode() == 0,
                 qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "tst_packaging.moc"
