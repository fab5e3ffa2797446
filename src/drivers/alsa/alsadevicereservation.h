#ifndef TESSARO_ALSADEVICERESERVATION_H
#define TESSARO_ALSADEVICERESERVATION_H

#include <QDBusConnection>
#include <QObject>
#include <QString>

// A sound card's reservation on the session bus, by the freedesktop device-reservation
// protocol: whoever owns the bus name org.freedesktop.ReserveDevice1.Audio<card> uses the
// card, and exports /org/freedesktop/ReserveDevice1/Audio<card> with the interface
// org.freedesktop.ReserveDevice1 (RequestRelease and three properties). A sound server
// (PipeWire, PulseAudio) gives the card up when asked with a higher priority than its own,
// and takes it back once the name is free again.
//
// acquire() takes the name, asking its owner to release the card first where there is one;
// the destructor gives the name back. While this object holds the name, every other
// program's RequestRelease is answered with false: the recorder does not give up a card it
// records from. Without a session bus (or a QCoreApplication, or a card number) there is
// nothing to reserve and acquire() says so; the driver then opens the card as it always did.
//
// holderOf() names the program that holds a card from the kernel's view: the owner process
// of an open PCM in /proc/asound/card<N>/pcm*/sub*/status.
//
// Threads: created, used and destroyed on one thread (the GUI thread), whose event loop
// answers RequestRelease; acquire() blocks it for the bus calls (a few seconds at most).
class AlsaDeviceReservation : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ReserveDevice1")
    Q_PROPERTY(QString ApplicationName READ applicationName)
    Q_PROPERTY(QString ApplicationDeviceName READ applicationDeviceName)
    Q_PROPERTY(int Priority READ priority)

public:
    // Above the sound servers' own (0), so they release the card when asked.
    static constexpr int kPriority = 10;

    enum class Outcome
    {
        Reserved,      // the name is ours: open the card
        NotReservable, // no bus, or no card number: open the card as always
        Refused        // the owner kept the card: holder() names it
    };

    AlsaDeviceReservation(int card, const QString& deviceName);
    ~AlsaDeviceReservation() override;

    Outcome acquire();
    // The ApplicationName of the owner asked to release the card (empty where it had none).
    QString holder() const { return m_holder; }
    // Whether the card was taken from another owner, who may close it a moment after agreeing.
    bool tookOver() const { return m_tookOver; }

    static QString holderOf(int card);

    QString applicationName() const;
    QString applicationDeviceName() const { return m_deviceName; }
    int priority() const { return kPriority; }

public slots:
    bool RequestRelease(int priority);

private:
    bool registerName(bool replace);
    bool askOwnerToRelease();
    void release();

    const int m_card;
    const QString m_deviceName;
    const QString m_service;
    const QString m_path;
    QDBusConnection m_bus;
    bool m_exported = false;
    bool m_held = false;
    bool m_tookOver = false;
    QString m_holder;
};

#endif
