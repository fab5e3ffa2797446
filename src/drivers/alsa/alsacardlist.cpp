#include "alsacardlist.h"

#include "asiodrivers.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <alsa/asoundlib.h>

namespace {

QString asciiOnly(const QString& text)
{
    QString out;
    for (QChar c : text)
        out += (c.unicode() >= 0x20 && c.unicode() < 0x7f) ? c : QLatin1Char('_');
    return out.trimmed();
}

// The first device of the card that has a subdevice in the given direction, or -1.
int firstDevice(snd_ctl_t* ctl, snd_pcm_stream_t stream)
{
    snd_pcm_info_t* info = nullptr;
    snd_pcm_info_alloca(&info);
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        snd_pcm_info_set_device(info, unsigned(device));
        snd_pcm_info_set_subdevice(info, 0);
        snd_pcm_info_set_stream(info, stream);
        if (snd_ctl_pcm_info(ctl, info) == 0)
            return device;
    }
    return -1;
}

} // namespace

QString AlsaCardList::classId(const QByteArray& key)
{
    const QByteArray h =
        QCryptographicHash::hash("tessaro-alsa:" + key, QCryptographicHash::Md5).toHex();
    return QStringLiteral("{%1-%2-%3-%4-%5}")
        .arg(QString::fromLatin1(h.mid(0, 8)), QString::fromLatin1(h.mid(8, 4)),
             QString::fromLatin1(h.mid(12, 4)), QString::fromLatin1(h.mid(16, 4)),
             QString::fromLatin1(h.mid(20, 12)));
}

QString AlsaCardList::description(const QString& name, const QString& shortName,
                                  QList<QByteArray>* taken)
{
    const QString base = asciiOnly(name).isEmpty() ? QStringLiteral("Sound card") : asciiOnly(name);
    return QString::fromLatin1(listedDriverName(base.toLatin1(), asciiOnly(shortName).toLatin1(),
                                                QByteArray(kSuffix), taken));
}

QList<AlsaDeviceEntry> AlsaCardList::cards()
{
    QList<AlsaDeviceEntry> list;
    QList<QByteArray> taken;
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        const QByteArray ctlName = "hw:" + QByteArray::number(card);
        if (snd_ctl_open(&ctl, ctlName.constData(), 0) < 0)
            continue;
        snd_ctl_card_info_t* info = nullptr;
        snd_ctl_card_info_alloca(&info);
        if (snd_ctl_card_info(ctl, info) == 0) {
            const int capture = firstDevice(ctl, SND_PCM_STREAM_CAPTURE);
            const int playback = firstDevice(ctl, SND_PCM_STREAM_PLAYBACK);
            if (capture >= 0) {
                const QByteArray id = snd_ctl_card_info_get_id(info);
                AlsaDeviceEntry e;
                // A card's id is short (at most 15 characters) and unique among the cards.
                e.description = description(QString::fromUtf8(snd_ctl_card_info_get_name(info)),
                                            QString::fromLatin1(id), &taken);
                e.clsid = classId("card:" + id);
                e.card = card;
                e.captureDevice = "hw:CARD=" + id + ",DEV=" + QByteArray::number(capture);
                if (playback >= 0)
                    e.playbackDevice = "hw:CARD=" + id + ",DEV=" + QByteArray::number(playback);
                list << e;
            }
        }
        snd_ctl_close(ctl);
    }
    return list;
}

QList<AlsaDeviceEntry> AlsaCardList::namedDevices(const QString& commaSeparatedNames)
{
    QList<AlsaDeviceEntry> list;
    QList<QByteArray> taken;
    for (const QString& part : commaSeparatedNames.split(QLatin1Char(','))) {
        const QByteArray pcm = part.trimmed().toUtf8();
        if (pcm.isEmpty())
            continue;
        AlsaDeviceEntry e;
        e.description = description(QString::fromUtf8(pcm), QString(), &taken);
        e.clsid = classId("pcm:" + pcm);
        e.captureDevice = pcm;
        e.playbackDevice = pcm;
        e.card = cardNumber(pcm);
        list << e;
    }
    return list;
}

int AlsaCardList::cardNumber(const QByteArray& pcm)
{
    static const QRegularExpression hwName(QStringLiteral("^(?:plug)?hw:(?:CARD=)?([^,]+)"));
    const QRegularExpressionMatch m = hwName.match(QString::fromUtf8(pcm));
    if (!m.hasMatch())
        return -1;
    bool number = false;
    const int card = m.captured(1).toInt(&number);
    if (number)
        return card >= 0 ? card : -1;
    const int index = snd_card_get_index(m.captured(1).toUtf8().constData());
    return index >= 0 ? index : -1;
}

QList<AlsaDeviceEntry> AlsaCardList::entries()
{
    QList<AlsaDeviceEntry> all = cards();
    QList<QByteArray> taken;
    for (const AlsaDeviceEntry& e : all)
        taken << e.description.toLatin1();
    for (AlsaDeviceEntry e : namedDevices(qEnvironmentVariable(kDevicesVariable))) {
        e.description = description(QString::fromUtf8(e.captureDevice), QString(), &taken);
        all << e;
    }
    return all;
}
