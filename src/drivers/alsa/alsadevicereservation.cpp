#include "alsadevicereservation.h"

#include "diagnosticsink.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cstdio>
#include <unistd.h>

namespace {

const char* const kInterface = "org.freedesktop.ReserveDevice1";
const int kCallTimeoutMs = 5000;
// How long an owner that agreed to release the card may take to give up the name.
const int kHandOverMs = 2000;

QDBusConnection sessionBusIfAny()
{
    // Without an application object QtDBus cannot deliver the calls of others.
    if (!QCoreApplication::instance())
        return QDBusConnection(QString());
    return QDBusConnection::sessionBus();
}

QString readLine(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readLine()).trimmed() : QString();
}

// "owner_pid   : 1234" in a substream's status, or 0.
qint64 ownerPid(const QString& statusFile)
{
    QFile f(statusFile);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        if (line.startsWith("owner_pid"))
            return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return 0;
}

} // namespace

AlsaDeviceReservation::AlsaDeviceReservation(int card, const QString& deviceName)
    : m_card(card), m_deviceName(deviceName),
      m_service(QStringLiteral("org.freedesktop.ReserveDevice1.Audio%1").arg(card)),
      m_path(QStringLiteral("/org/freedesktop/ReserveDevice1/Audio%1").arg(card)),
      m_bus(sessionBusIfAny())
{}

AlsaDeviceReservation::~AlsaDeviceReservation()
{
    release();
}

QString AlsaDeviceReservation::applicationName() const
{
    return QStringLiteral("Tessaro Recorder");
}

bool AlsaDeviceReservation::RequestRelease(int priority)
{
    DiagnosticSink::line(
        "card %d: a program asked for it with priority %d; it stays with the recorder", m_card,
        priority);
    return false;
}

AlsaDeviceReservation::Outcome AlsaDeviceReservation::acquire()
{
    if (m_held)
        return Outcome::Reserved;
    m_refused = false;
    if (m_card < 0 || !m_bus.isConnected() || !m_bus.interface())
        return Outcome::NotReservable;
    // Exported before the name is taken, so that nobody finds the name without the object.
    m_exported = m_bus.registerObject(
        m_path, this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
    if (!m_exported) {
        DiagnosticSink::line("card %d: %s is already exported here; not reserved", m_card,
                             qPrintable(m_path));
        return Outcome::NotReservable;
    }
    if (registerName(false))
        return Outcome::Reserved;
    QElapsedTimer clock;
    clock.start();
    m_refused = !askOwnerToRelease();
    while (!m_refused && !registerName(true)) {
        m_refused = clock.elapsed() > kHandOverMs;
        QThread::msleep(50);
    }
    if (m_refused) {
        release();
        return Outcome::Refused;
    }
    m_tookOver = true;
    return Outcome::Reserved;
}

// Replacing works where the owner allowed it; otherwise the name is free once it let go.
bool AlsaDeviceReservation::registerName(bool replace)
{
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        m_bus.interface()->registerService(m_service,
                                           replace
                                               ? QDBusConnectionInterface::ReplaceExistingService
                                               : QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    m_held = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
    return m_held;
}

bool AlsaDeviceReservation::askOwnerToRelease()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        m_service, m_path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << QString::fromLatin1(kInterface) << QStringLiteral("ApplicationName");
    const QDBusMessage name = m_bus.call(get, QDBus::Block, kCallTimeoutMs);
    if (name.type() == QDBusMessage::ReplyMessage && !name.arguments().isEmpty())
        m_holder = name.arguments().at(0).value<QDBusVariant>().variant().toString();

    QDBusMessage request = QDBusMessage::createMethodCall(
        m_service, m_path, QString::fromLatin1(kInterface), QStringLiteral("RequestRelease"));
    request << kPriority;
    const QDBusMessage answer = m_bus.call(request, QDBus::Block, kCallTimeoutMs);
    const bool granted = answer.type() == QDBusMessage::ReplyMessage &&
                         !answer.arguments().isEmpty() && answer.arguments().at(0).toBool();
    DiagnosticSink::line("card %d: %s %s to release it", m_card,
                         m_holder.isEmpty() ? "its owner on the session bus" : qPrintable(m_holder),
                         granted ? "agreed"
                         : answer.type() == QDBusMessage::ReplyMessage
                             ? "refused"
                             : "did not answer the request");
    return granted;
}

void AlsaDeviceReservation::release()
{
    if (m_held)
        m_bus.interface()->unregisterService(m_service);
    if (m_exported)
        m_bus.unregisterObject(m_path);
    m_held = false;
    m_exported = false;
}

QString AlsaDeviceReservation::busyText(const QString& device) const
{
    if (m_refused && !m_holder.isEmpty())
        return QStringLiteral("%1 is busy: %2 holds it and would not release it; quit or stop %2 "
                              "to free the card")
            .arg(device, m_holder);
    const QString process = processHoldingCard();
    if (!process.isEmpty())
        return QStringLiteral("%1 is busy: %2 holds it; quit or stop that program to free the card")
            .arg(device, process);
    return QStringLiteral("%1 is busy: another program is using it (fuser -v /dev/snd/* names it)")
        .arg(device);
}

QString AlsaDeviceReservation::processHoldingCard() const
{
    if (m_card < 0)
        return QString();
    const QDir dir(QStringLiteral("/proc/asound/card%1").arg(m_card));
    for (const QString& pcm : dir.entryList({QStringLiteral("pcm*")}, QDir::Dirs)) {
        const QDir pcmDir(dir.filePath(pcm));
        for (const QString& sub : pcmDir.entryList({QStringLiteral("sub*")}, QDir::Dirs)) {
            const qint64 pid = ownerPid(pcmDir.filePath(sub + QStringLiteral("/status")));
            if (pid <= 0 || pid == qint64(getpid()))
                continue;
            const QString name = readLine(QStringLiteral("/proc/%1/comm").arg(pid));
            return QStringLiteral("%1 (pid %2)")
                .arg(name.isEmpty() ? QStringLiteral("a program") : name)
                .arg(pid);
        }
    }
    return QString();
}
