// Destination names: the container follows the data, blanks never change the file, and every
// unusable destination is named before anything is recorded.
#include "recordingdestination.h"

#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

class TestDestination : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

    QString at(const QString& name) const { return QDir(dir.path()).filePath(name); }

private slots:
    void conformedName_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("dsd");
        QTest::addColumn<QString>("dsdType");
        QTest::addColumn<QString>("expected");
        QTest::newRow("dsf typed in PCM") << "take.dsf" << false << "dsf" << "take.wav";
        QTest::newRow("wav typed in DSD") << "take.wav" << true << "dff" << "take.dff";
        QTest::newRow("other DSD container kept") << "take.dsf" << true << "dff" << "take.dsf";
        QTest::newRow("upper case kept") << "TAKE.WAV" << false << "dsf" << "TAKE.WAV";
        QTest::newRow("no extension, PCM") << "take" << false << "dff" << "take.wav";
        QTest::newRow("no extension, DSD") << "take" << true << "DSF" << "take.dsf";
        QTest::newRow("dotted base") << "my.take.dff" << false << "dff" << "my.take.wav";
        QTest::newRow("leading blank") << " take.wav" << false << "dff" << "take.wav";
        QTest::newRow("trailing blank, DSD") << "sp.dsf " << true << "dff" << "sp.dsf";
        QTest::newRow("blank before extension") << "take .wav\t" << false << "dff" << "take .wav";
        QTest::newRow("only blanks: no name") << "   " << false << "dsf" << "";
    }
    void conformedName()
    {
        QFETCH(QString, typed);
        QFETCH(bool, dsd);
        QFETCH(QString, dsdType);
        QFETCH(QString, expected);
        // Relative names resolve against the working directory, as typed names do.
        QVERIFY(QDir::setCurrent(dir.path()));
        QCOMPARE(RecordingDestination::conformedName(typed, dsd, dsdType),
                 expected.isEmpty() ? QString() : at(expected));
        QVERIFY(expected.isEmpty() || RecordingDestination::availableBytes(at(expected)) > 0);
    }

    void problems_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QString() << "no destination file name";
        QTest::newRow("only blanks") << QStringLiteral("   ") << "no destination file name";
        QTest::newRow("existing folder") << at("folder") << "is a folder";
        QTest::newRow("missing folder") << at("missing/take.wav") << "does not exist";
        QTest::newRow("file as folder") << at("plain.wav/take.wav") << "is not a folder";
        QTest::newRow("new file") << at("new.wav") << QString();
        QTest::newRow("existing file") << at("plain.wav") << QString();
        QTest::newRow("name too long") << at(QString(300, QLatin1Char('x')) + ".wav")
                                       << "File name too long";
    }
    void problems()
    {
        QFETCH(QString, name);
        QFETCH(QString, reason);
        QDir(dir.path()).mkpath(QStringLiteral("folder"));
        QVERIFY(QFile(at("plain.wav")).open(QIODevice::WriteOnly));
        const bool existed = QFileInfo::exists(name);
        const QString problem = RecordingDestination::problem(name);
        QVERIFY2(reason.isEmpty() ? problem.isEmpty() : problem.contains(reason), qPrintable(problem));
        QCOMPARE(QFileInfo::exists(name), existed);  // the check leaves no trace
    }

    void readOnlyFolderIsNamed()
    {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QDir(dir.path()).mkpath(QStringLiteral("locked"));
        QFile::setPermissions(at("locked"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        QVERIFY(RecordingDestination::problem(at("locked/take.wav")).contains("cannot be written"));
        QFile::setPermissions(at("locked"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                | QFileDevice::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(TestDestination)
#include "tst_destination.moc"
