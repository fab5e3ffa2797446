#ifndef TESSARO_COMMANDLINE_H
#define TESSARO_COMMANDLINE_H

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

// What the user asked for on the command line, checked before any application object exists,
// so a bad option ends the program before a window or a driver is touched.
//
// Threads: main thread only, before the event loop.
class CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)
public:
    enum class Action
    {
        Window,
        Help,
        Version,
        ListDevices,
        Record,
        Repair
    };

    // What --record does. A negative duration or give-up time means "no limit".
    struct Recording
    {
        QString file;
        QString device; // empty: the remembered device, else the start-up rule
        double rate = 44100.0;
        double seconds = -1.0;
        QString dsdType; // "dsf", "dff" or empty for the remembered type
        double giveUpAfter = -1.0;
        bool overwrite = false; // replace a file of that name instead of numbering the take
        int inputPair = 0;      // 1 for inputs 1,2, 2 for 3,4, ...; 0: the remembered pair
        // Hands-free capture given on the command line: a field of CaptureSettings::fields()
        // and its value, over what the settings file says.
        QList<QPair<int, double>> capture;
        bool toStandardOutput() const { return file == QLatin1String("-"); }
    };

    CommandLine();

    // arguments includes the program name first, as in argv. False when they cannot be used;
    // errorText() then names the problem in one line.
    bool parse(const QStringList& arguments);

    Action action() const { return m_action; }
    const Recording& recording() const { return m_recording; }
    // Standard error carries errors only.
    bool quiet() const { return m_quiet; }
    // The files named after --repair, at least one.
    QStringList repairFiles() const { return m_parser.positionalArguments(); }
    QString errorText() const { return m_error; }
    // Needs a QCoreApplication (the usage line names the running program).
    QString helpText() const;
    static QString versionText();

private:
    bool readRecording();
    void addCaptureOptions();
    bool readCaptureOptions();
    bool readNumber(const QCommandLineOption& option, double minimum, double maximum,
                    double* value);
    bool readInputs();
    bool fail(const QString& problem);
    static QString longName(const QCommandLineOption& option);

    QCommandLineParser m_parser;
    QCommandLineOption m_version;
    QCommandLineOption m_listDevices;
    QCommandLineOption m_record;
    QCommandLineOption m_repair;
    QCommandLineOption m_device;
    QCommandLineOption m_rate;
    QCommandLineOption m_seconds;
    QCommandLineOption m_dsdType;
    QCommandLineOption m_giveUpAfter;
    QCommandLineOption m_quietOption;
    QCommandLineOption m_overwrite;
    QCommandLineOption m_inputs;
    QList<QCommandLineOption> m_capture; // in the order of CaptureSettings::fields()
    Action m_action = Action::Window;
    Recording m_recording;
    bool m_quiet = false;
    QString m_error;
};

#endif
