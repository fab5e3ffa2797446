// Holds a sound card's reservation on the session bus, as a sound server does, for the ALSA
// driver tests:
//   reservationholder <card> <application name> release|refuse <busy file>
// It owns org.freedesktop.ReserveDevice1.Audio<card>, allowing replacement, and answers
// RequestRelease as told; agreeing, it first removes the file that keeps the test card busy,
// as a sound server closes the card. It prints "ready" once it owns the name.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <cstdio>

class Holder : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ReserveDevice1")
    Q_PROPERTY(QString ApplicationName MEMBER name)
    Q_PROPERTY(QString ApplicationDeviceName MEMBER device)
    Q_PROPERTY(int Priority MEMBER priority)

public:
    QString name, device = QStringLiteral("Test card"), busyFile;
    int priority = 0;
    bool releases = false;

public slots:
    bool RequestRelease(int) { return releases && QFile::remove(busyFile); }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    Holder holder;
    holder.name = args.at(2);
    holder.releases = args.at(3) == QLatin1String("release");
    holder.busyFile = args.at(4);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString card = QStringLiteral("Audio") + args.at(1);
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/ReserveDevice1/") + card, &holder,
                            QDBusConnection::ExportAllSlots |
                                QDBusConnection::ExportAllProperties) ||
        bus.interface()->registerService(QStringLiteral("org.freedesktop.ReserveDevice1.") + card,
                                         QDBusConnectionInterface::DontQueueService,
                                         QDBusConnectionInterface::AllowReplacement) !=
            QDBusConnectionInterface::ServiceRegistered)
        return 1;
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}

#include "reservationholder.moc"
