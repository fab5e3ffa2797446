#ifndef TESSARO_ALSACARDLIST_H
#define TESSARO_ALSACARDLIST_H

#include <QByteArray>
#include <QList>
#include <QString>

// One recording device the ALSA driver offers: which PCM it captures from, which it plays the
// monitoring outputs to, and how it is listed.
struct AlsaDeviceEntry
{
    QString description;       // the listed driver name, "<card name> (ALSA)", < 32 bytes
    QString clsid;             // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", stable per device
    QByteArray captureDevice;  // ALSA PCM name opened for capture
    QByteArray playbackDevice; // ALSA PCM name opened for playback; empty: capture only
    int card = -1;             // the card's number (its reservation on the bus); -1 unknown
};

// Finds the devices the ALSA driver offers, each time it is asked:
// - every sound card that has a capture device, as "hw:CARD=<id>,DEV=<n>" of its first
//   capture device and its first playback device (none when the card cannot play), listed
//   under the card's own name;
// - every PCM named in the environment variable TESSARO_ALSA_DEVICES (names separated by
//   commas, e.g. "mycapture,plughw:1"), captured from and played to under that name, listed
//   under the name itself. These may be any PCM of the ALSA configuration, such as the
//   plugin devices of a private configuration given through ALSA_CONFIG_PATH; whether they
//   can be opened is found out when the driver is initialised, not here. A name of the hw
//   layer ("hw:1", "plughw:CARD=Pro,DEV=0") tells the card it opens.
//
// Names: ASCII only (other characters become '_'), "<name> (ALSA)" when that fits the 32-byte
// driver name with its NUL; else a card is listed under its id ("<id> (ALSA)"), and a PCM name
// under its start with a tag of the whole ("<start>~1a2b (ALSA)"); never cut, so the name
// listed is the one --device and the settings take. A name already taken gets " 2", " 3" ...
// before the suffix (listedDriverName). Class ids are derived from the card's id string or the
// PCM name, so a card keeps its id when it is plugged into another port.
//
// Threads: any thread; nothing is shared.
class AlsaCardList
{
public:
    static constexpr const char* kDevicesVariable = "TESSARO_ALSA_DEVICES";
    static constexpr const char* kSuffix = " (ALSA)";

    static QList<AlsaDeviceEntry> entries();
    static QList<AlsaDeviceEntry> cards();
    static QList<AlsaDeviceEntry> namedDevices(const QString& commaSeparatedNames);

    // "<name> (ALSA)", or "<shortName> (ALSA)" where that does not fit a driver name, made
    // unique against `taken` (which it extends).
    static QString description(const QString& name, const QString& shortName,
                               QList<QByteArray>* taken);
    static QString classId(const QByteArray& key);
    // The card a PCM name of the hw layer opens, else -1.
    static int cardNumber(const QByteArray& pcm);
};

#endif
