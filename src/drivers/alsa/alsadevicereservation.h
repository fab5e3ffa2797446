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
// busyText() tells who holds a card that cannot be opened and how to free it: the owner of
// the reservation that refused, else the owner process of an open PCM of the card in
// /proc/asound/card<N>/pcm*/sub*/status.
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
    // Whether the card was taken from another owner, who may close it a moment after agreeing.
    bool tookOver() const { return m_tookOver; }
    // Why `device` of this card is busy, naming the program that holds it.
    QString busyText(const QString& device) const;

    QString applicationName() const;
    QString applicationDeviceName() const { return m_deviceName; }
    int priority() const { return kPriority; }

public slots:
    bool RequestRelease(int priority);

private:
    bool registerName(bool replace);
    bool askOwnerToRelease();
    void release();
    QString processHoldingCard() const;

    const int m_card;
    const QString m_deviceName;
    const QString m_service;
    const QString m_path;
    QDBusConnection m_bus;
    bool m_exported = false;
    bool m_held = false;
    bool m_tookOver = false;
    bool m_refused = false;
    QString m_holder; // the ApplicationName of the owner asked to release the card
};

#endif
