#include "commandline.h"

#include "appidentity.h"
#include "capturesettings.h"

#include <QRegularExpression>

namespace {
const char* const kProgram = "tessaro-recorder";
// DSD 1x: this rate and all above it record DSD.
constexpr double kLowestDsdRate = 2822400.0;
} // namespace

CommandLine::CommandLine()
    : m_version({QStringLiteral("v"), QStringLiteral("version")},
                tr("Print the version and exit.")),
      m_listDevices({QStringLiteral("l"), QStringLiteral("list-devices")},
                    tr("List the devices with the rates they accept and exit.")),
      m_record(QStringLiteral("record"),
               tr("Record into FILE without a window; - streams a PCM recording as WAV to "
                  "standard output."),
               QStringLiteral("FILE")),
      m_repair(QStringLiteral("repair"),
               tr("Repair the recordings FILE... cut off by a crash or power loss.")),
      m_device({QStringLiteral("D"), QStringLiteral("device")},
               tr("Device to record from (default: the remembered one)."), QStringLiteral("NAME")),
      m_rate({QStringLiteral("r"), QStringLiteral("rate")},
             tr("Sampling rate in Hz (default 44100); 2822400 and above record DSD."),
             QStringLiteral("HZ")),
      m_seconds({QStringLiteral("d"), QStringLiteral("seconds")},
                tr("Stop after N seconds (default: Ctrl+C or SIGTERM)."), QStringLiteral("N")),
      m_dsdType(QStringLiteral("dsd-type"),
                tr("File type of a DSD recording whose FILE has no .dsf or .dff extension."),
                QStringLiteral("dsf|dff")),
      m_giveUpAfter(QStringLiteral("give-up-after"),
                    tr("Fail when the device stays unplugged this long (default: wait)."),
                    QStringLiteral("SECONDS")),
      m_quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                    tr("Print nothing but errors on standard error.")),
      m_overwrite(QStringLiteral("overwrite"),
                  tr("Replace a file named FILE instead of recording to the next free "
                     "numbered name.")),
      m_inputs(QStringLiteral("inputs"),
               tr("Record the two adjacent inputs A and B, A odd (default: those chosen in the "
                  "settings, at first 1,2)."),
               QStringLiteral("A,B"))
{
    m_parser.setApplicationDescription(
        tr("Records two inputs of an audio interface as DSD or PCM."));
    m_parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    m_parser.addHelpOption();
    m_parser.addPositionalArgument(QStringLiteral("FILE"), tr("Recordings to repair."),
                                   QStringLiteral("[FILE...]"));
    m_parser.addOptions({m_version, m_listDevices, m_record, m_repair, m_device, m_rate, m_seconds,
                         m_dsdType, m_giveUpAfter, m_quietOption, m_overwrite, m_inputs});
    addCaptureOptions();
    // The window's toolkit takes these itself (-platform offscreen, -style fusion, ...).
    for (const char* name : {"platform", "style", "stylesheet", "geometry", "qwindowgeometry",
                             "qwindowtitle", "qwindowicon", "display", "platformtheme", "plugin"}) {
        QCommandLineOption toolkit(QLatin1String(name), QString(), QStringLiteral("value"));
        toolkit.setFlags(QCommandLineOption::HiddenFromHelp);
        m_parser.addOption(toolkit);
    }
}

bool CommandLine::parse(const QStringList& arguments)
{
    if (!m_parser.parse(arguments))
        return fail(m_parser.errorText());
    // Given twice, which one was meant is a guess; a script that appends its own --seconds to
    // a user's is told so instead of recording for the wrong time. The values of the short
    // and the long name of an option are counted together.
    QList<const QCommandLineOption*> single = {&m_record,  &m_device,      &m_rate,  &m_seconds,
                                               &m_dsdType, &m_giveUpAfter, &m_inputs};
    for (const QCommandLineOption& o : qAsConst(m_capture))
        single << &o;
    for (const QCommandLineOption* o : single) {
        if (m_parser.values(*o).size() > 1)
            return fail(tr("--%1 is given more than once.").arg(longName(*o)));
    }
    m_quiet = m_parser.isSet(m_quietOption);
    const bool repair = m_parser.isSet(m_repair);
    if (repair && m_parser.positionalArguments().isEmpty())
        return fail(tr("--repair needs at least one file."));
    if (!repair && !m_parser.positionalArguments().isEmpty())
        return fail(tr("Unexpected argument '%1'.").arg(m_parser.positionalArguments().first()));
    const QList<QPair<bool, Action>> actions = {
        {m_parser.isSet(QStringLiteral("help")) || m_parser.isSet(QStringLiteral("help-all")),
         Action::Help},
        {m_parser.isSet(m_version), Action::Version},
        {m_parser.isSet(m_listDevices), Action::ListDevices},
        {m_parser.isSet(m_record), Action::Record},
        {repair, Action::Repair}};
    int chosen = 0;
    for (const auto& a : actions) {
        if (a.first) {
            m_action = a.second;
            ++chosen;
        }
    }
    if (chosen > 1)
        return fail(
            tr("--help, --version, --list-devices, --record and --repair exclude each other."));
    if (m_action == Action::Record)
        return readRecording();
    single.removeFirst(); // --record
    single << &m_overwrite;
    for (const QCommandLineOption* o : single) {
        if (m_parser.isSet(*o))
            return fail(tr("--%1 applies only to --record.").arg(longName(*o)));
    }
    return true;
}

bool CommandLine::readRecording()
{
    m_recording.file = m_parser.value(m_record).trimmed();
    if (m_recording.file.isEmpty())
        return fail(tr("--record needs a file name."));
    m_recording.device = m_parser.value(m_device);
    if (m_parser.isSet(m_device) && m_recording.device.trimmed().isEmpty())
        return fail(tr("--device needs a device name."));
    // Timers count milliseconds in an int: 2,000,000 s (23 days) is the longest they can wait.
    if (!readNumber(m_rate, 1.0, 1e8, &m_recording.rate) ||
        !readNumber(m_seconds, 0.0, 2e6, &m_recording.seconds) ||
        !readNumber(m_giveUpAfter, 0.0, 2e6, &m_recording.giveUpAfter))
        return false;
    if (m_parser.isSet(m_seconds) && m_recording.seconds <= 0.0)
        return fail(tr("--seconds must be more than 0, not '%1'.").arg(m_parser.value(m_seconds)));
    if (m_parser.isSet(m_dsdType)) {
        m_recording.dsdType = m_parser.value(m_dsdType).toLower();
        if (m_recording.dsdType != QLatin1String("dsf") &&
            m_recording.dsdType != QLatin1String("dff"))
            return fail(
                tr("--dsd-type must be dsf or dff, not '%1'.").arg(m_parser.value(m_dsdType)));
    }
    m_recording.overwrite = m_parser.isSet(m_overwrite);
    if (!readInputs() || !readCaptureOptions())
        return false;
    // A stream cannot go back to fill in its sizes: only WAV, whose readers accept sizes left
    // at the largest value, can be streamed.
    if (m_recording.toStandardOutput() && m_recording.rate >= kLowestDsdRate)
        return fail(tr("DSD cannot be streamed to standard output (--record -); "
                       "record it into a file, or choose a PCM rate below %1 Hz.")
                        .arg(kLowestDsdRate, 0, 'f', 0));
    return true;
}

void CommandLine::addCaptureOptions()
{
    for (const CaptureSettings::Field& field : CaptureSettings::fields()) {
        m_capture << QCommandLineOption(QLatin1String(field.option),
                                        CaptureSettings::tr(field.help),
                                        QLatin1String(field.valueName));
        m_parser.addOption(m_capture.last());
    }
}

bool CommandLine::readCaptureOptions()
{
    const auto& fields = CaptureSettings::fields();
    for (int i = 0; i < m_capture.size(); ++i) {
        double value = 0.0;
        if (!m_parser.isSet(m_capture[i]))
            continue;
        if (!readNumber(m_capture[i], fields[size_t(i)].minimum, fields[size_t(i)].maximum, &value))
            return false;
        m_recording.capture << qMakePair(i, value);
    }
    return true;
}

// An option left out keeps its default; one given must be a number from minimum to maximum.
bool CommandLine::readNumber(const QCommandLineOption& option, double minimum, double maximum,
                             double* value)
{
    if (!m_parser.isSet(option))
        return true;
    bool ok = false;
    const QString text = m_parser.value(option);
    const double number = text.toDouble(&ok);
    if (!ok || !(number >= minimum && number <= maximum))
        return fail(tr("--%1 needs a number from %2 to %3, not '%4'.")
                        .arg(longName(option))
                        .arg(minimum)
                        .arg(maximum, 0, 'f', 0)
                        .arg(text));
    *value = number;
    return true;
}

// "3,4": a pair as the settings offer them, so a file's left and right are two neighbours.
bool CommandLine::readInputs()
{
    if (!m_parser.isSet(m_inputs))
        return true;
    const QString text = m_parser.value(m_inputs);
    const QRegularExpressionMatch pair =
        QRegularExpression(QStringLiteral("^\\s*(\\d{1,4})\\s*,\\s*(\\d{1,4})\\s*$")).match(text);
    const int first = pair.hasMatch() ? pair.captured(1).toInt() : 0;
    if (first % 2 != 1 || pair.captured(2).toInt() != first + 1)
        return fail(tr("--inputs needs two adjacent inputs, the first odd (1,2 or 3,4 or ...), "
                       "not '%1'.")
                        .arg(text));
    m_recording.inputPair = (first + 1) / 2;
    return true;
}

bool CommandLine::fail(const QString& problem)
{
    m_error = tr("%1: %2 Use --help to see the options.").arg(QLatin1String(kProgram), problem);
    return false;
}

// The long name, as the messages use it even when the short one was typed.
QString CommandLine::longName(const QCommandLineOption& option)
{
    return option.names().constLast();
}

// The parser names the program as it was started (a build or install path); the usage line
// names it as the user types it.
QString CommandLine::helpText() const
{
    QString text = m_parser.helpText();
    const QString started = QCoreApplication::arguments().value(0);
    const QString usage = QCommandLineParser::tr("Usage: %1").arg(started);
    if (!started.isEmpty() && text.startsWith(usage))
        text.replace(0, usage.size(),
                     QCommandLineParser::tr("Usage: %1").arg(QLatin1String(kProgram)));
    return text;
}

QString CommandLine::versionText()
{
    return QStringLiteral("%1 %2").arg(QLatin1String(kProgram),
                                       QLatin1String(AppIdentity::kVersion));
}
