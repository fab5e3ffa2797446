// Installs the build into a temporary DESTDIR and builds the .deb from it, as a packager would:
// the files a desktop expects, a desktop entry its validator accepts, icons of the named sizes,
// a manual page for every option, and a lean package whose dependencies shlibdeps found.
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kId = QStringLiteral("org.veloran.TessaroRecorder");
const QStringList kFiles = {
    "usr/bin/tessaro-recorder",
    "usr/share/applications/" + kId + ".desktop",
    "usr/share/icons/hicolor/128x128/apps/" + kId + ".png",
    "usr/share/icons/hicolor/256x256/apps/" + kId + ".png",
    "usr/share/icons/hicolor/48x48/apps/" + kId + ".png",
    "usr/share/man/man1/tessaro-recorder.1",
};

// Standard output of a program that must succeed; "<failed>" otherwise, which no check takes.
QString run(const QString& program, const QStringList& arguments, const QString& destDir = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!destDir.isEmpty())
        env.insert("DESTDIR", destDir);
    p.setProcessEnvironment(env);
    p.start(program, arguments);
    if (!p.waitForFinished(240000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
        return QStringLiteral("<failed>");
    }
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QStringList sortedLines(const QString& text)
{
    QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    lines.sort();
    return lines;
}
} // namespace

class TestPackaging : public QObject
{
    Q_OBJECT

private slots:
    void installsTheProgramsFiles()
    {
        QTemporaryDir dest;
        run("cmake", {"--install", TESSARO_BUILD_DIR, "--prefix", "/usr"}, dest.path());
        QCOMPARE(sortedLines(run("find", {dest.path(), "-type", "f", "-printf", "%P\n"})), kFiles);

        const QString share = dest.path() + "/usr/share/";
        QCOMPARE(run("desktop-file-validate", {share + "applications/" + kId + ".desktop"}),
                 QString());
        for (int size : {48, 128, 256}) {
            QImageReader icon(share +
                              QString("icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(kId));
            QCOMPARE(icon.format(), QByteArray("png"));
            QCOMPARE(icon.size(), QSize(size, size));
        }
        QFile manual(share + "man/man1/tessaro-recorder.1");
        QVERIFY(manual.open(QIODevice::ReadOnly));
        const QByteArray roff = manual.readAll();
        for (const char* option : {"help", "version", "list\\-devices", "record", "device", "rate",
                                   "seconds", "dsd\\-type", "give\\-up\\-after"})
            QVERIFY2(roff.contains(QByteArray("\\-\\-") + option), option);
    }

    void buildsALeanDebianPackage()
    {
        QTemporaryDir out;
        run("cpack", {"-G", "DEB", "-B", out.path(), "--config",
                      QString(TESSARO_BUILD_DIR) + "/CPackConfig.cmake"});
        const QString arch = run("dpkg", {"--print-architecture"}).trimmed();
        const QString deb = out.path() + "/tessaro-recorder_1.3_" + arch + ".deb";
        QVERIFY2(QFileInfo::exists(deb), qPrintable(deb));
        // Only the program's files: no tests, benchmarks or build files.
        QStringList listed;
        for (const QString& line : run("dpkg-deb", {"-c", deb}).split('\n', Qt::SkipEmptyParts)) {
            if (!line.startsWith('d'))
                listed << line.section("./", 1);
        }
        QCOMPARE(sortedLines(listed.join('\n')), kFiles);
        QCOMPARE(run("dpkg-deb", {"-f", deb, "Section"}), QString("sound\n"));
        QVERIFY(!run("dpkg-deb", {"-f", deb, "Maintainer"}).trimmed().isEmpty());
        QVERIFY(!run("dpkg-deb", {"-f", deb, "Description"}).trimmed().isEmpty());
        const QString depends = run("dpkg-deb", {"-f", deb, "Depends"});
        for (const char* library : {"libqt5core5a", "libqt5widgets5", "libasound2", "libc6"})
            QVERIFY2(depends.contains(library), qPrintable(depends));
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "tst_packaging.moc"
