// Installs the build into a temporary DESTDIR and builds the .deb from it, as a packager would:
// the files a desktop expects, a desktop entry its validator accepts, icons of the named sizes,
// a manual page that documents every option the program offers, and a lean package.
#include <QDir>
#include <QDirIterator>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
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
} // namespace

class TestPackaging : public QObject
{
    Q_OBJECT

private slots:
    void installsTheProgramsFiles()
    {
        QTemporaryDir dest;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", dest.path());
        run("cmake", {"--install", TESSARO_BUILD_DIR, "--prefix", "/usr"}, env);
        QCOMPARE(filesUnder(dest.path()), kFiles);

        const QString root = dest.path() + "/usr/share/";
        QCOMPARE(run("desktop-file-validate", {root + "applications/" + kId + ".desktop"}),
                 QString());
        for (int size : {48, 128, 256}) {
            QImageReader icon(root + QString("icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(kId));
            QCOMPARE(icon.format(), QByteArray("png"));
            QCOMPARE(icon.size(), QSize(size, size));
        }
        QFile manual(root + "man/man1/tessaro-recorder.1");
        QVERIFY(manual.open(QIODevice::ReadOnly));
        const QString roff = QString::fromUtf8(manual.readAll());
        for (const QString& option : programOptions())
            QVERIFY2(roff.contains(QString(option).replace("-", "\\-")), qPrintable(option));
    }

    void buildsALeanDebianPackage()
    {
        QTemporaryDir out;
        run("cpack", {"-G", "DEB", "-B", out.path(), "--config",
                      QString(TESSARO_BUILD_DIR) + "/CPackConfig.cmake"});
        const QString arch = run("dpkg", {"--print-architecture"}).trimmed();
        const QString deb = out.path() + "/tessaro-recorder_1.3_" + arch + ".deb";
        QVERIFY2(QFileInfo::exists(deb), qPrintable(deb));

        QStringList listed;
        for (const QString& line : run("dpkg-deb", {"-c", deb}).split('\n', Qt::SkipEmptyParts)) {
            if (!line.startsWith('d')) // directories come with the files
                listed << line.section("./", 1);
        }
        listed.sort();
        QCOMPARE(listed, kFiles);
        QCOMPARE(run("dpkg-deb", {"-f", deb, "Section"}).trimmed(), QString("sound"));
        QVERIFY(!run("dpkg-deb", {"-f", deb, "Maintainer"}).trimmed().isEmpty());
        QVERIFY(!run("dpkg-deb", {"-f", deb, "Description"}).trimmed().isEmpty());
        // Found by shlibdeps from what the program links, not written by hand.
        const QString depends = run("dpkg-deb", {"-f", deb, "Depends"});
        for (const char* library : {"libqt5core5a", "libqt5widgets5", "libasound2", "libc6"})
            QVERIFY2(depends.contains(library), qPrintable(depends));
    }

private:
    static QString run(const QString& program, const QStringList& arguments,
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program, arguments);
        if (!p.waitForFinished(240000) || p.exitCode() != 0) {
            qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
            return QStringLiteral("<failed>");
        }
        return QString::fromLocal8Bit(p.readAllStandardOutput() + p.readAllStandardError());
    }

    static QStringList filesUnder(const QString& root)
    {
        QStringList files;
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(root).relativeFilePath(it.next());
        files.sort();
        return files;
    }

    // The long options the program's own --help lists.
    static QStringList programOptions()
    {
        const QString help =
            run(qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder", {"--help"});
        QStringList options;
        QRegularExpressionMatchIterator it = QRegularExpression("  (--[a-z-]+)").globalMatch(help);
        while (it.hasNext())
            options << it.next().captured(1);
        options.removeAll("--help-all");
        return options;
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "tst_packaging.moc"
