#ifndef TESSARO_ALSAFORMATPROBE_H
#define TESSARO_ALSAFORMATPROBE_H

#include "alsadsdreorder.h"
#include "alsapcm.h"
#include "alsapcmconvert.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// What an ALSA device runs in the driver's two IO formats, learnt once when the driver opens it.
//
// PCM: the first of S32_LE, S24_LE, S24_3LE and S16_LE that the device takes at the rate.
// DSD: where the capture device offers a native DSD format, a DSD rate r runs the card at
// r / 8 / w frames per second, w the bytes of the DSD word: the first of DSD_U32_BE,
// DSD_U32_LE, DSD_U16_BE, DSD_U16_LE, DSD_U8 that allows that rate. Without one, DoP: a DSD
// rate r whose r / 16 the card takes as PCM in S32_LE, S24_LE or S24_3LE, offered when learn()
// found DoP markers in a short capture at that rate. The formats each device offers, and the
// markers found or not, are written to standard error.
//
// Threads: the driver's (GUI) thread, while no stream runs.
class AlsaFormatProbe
{
public:
    // How one direction runs in one IO format at one rate.
    struct Setup
    {
        bool ok = false;
        snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
        AlsaDsdReorder::Layout layout = AlsaDsdReorder::Layout::U8;
        AlsaPcmConvert::Layout pcmLayout = AlsaPcmConvert::Layout::S32;
        bool dop = false; // a DSD rate carried in PCM words of pcmLayout
        int wordBytes = 4;
        unsigned frameRate = 0;
        // ASIO samples per channel in one ALSA frame: 1 in PCM, the DSD bits of a word in DSD.
        long samplesPerFrame(bool dsd) const;
    };

    // Opened devices only. Reports the formats of both, looks for DoP markers where the capture
    // device has no native DSD (capturing briefly), and answers the standard rates.
    void learn(AlsaPcm& capture, unsigned channels, const QByteArray& captureName,
               const AlsaPcm& playback, const QByteArray& playbackName);

    Setup setupFor(const AlsaPcm& pcm, unsigned channels, bool dsd, double rate) const;
    // Whether the capture device runs at the rate, in the IO format the rate belongs to. The
    // standard rates are answered from what learn() found, so a streaming device is not asked.
    bool takes(double rate) const;
    bool knows(double rate) const { return m_rateAnswers.contains(rate); }
    bool hasPcm() const { return m_pcm; }
    bool hasDsd() const;
    // Why DSD is not available; `device` names the card.
    QString noDsdText(const QString& device) const;
    // Why a DSD rate the card could carry as DoP was refused, or empty when it could not.
    QString noDopText(const QString& device, double rate) const;

    static bool offersNativeDsd(const AlsaPcm& pcm);
    static bool offersPcm(const AlsaPcm& pcm);

private:
    static bool formatOffered(const AlsaPcm& pcm, snd_pcm_format_t format);
    static QString offeredFormats(const AlsaPcm& pcm);
    bool liveTakes(double rate) const;
    void probeDop(AlsaPcm& capture, const QByteArray& name);

    const AlsaPcm* m_capture = nullptr;
    unsigned m_channels = 0;
    bool m_pcm = false;
    bool m_nativeDsd = false;
    QMap<double, bool> m_rateAnswers; // of the standard rates
    QMap<double, bool> m_dopMarkers;  // DSD rates the card could carry as DoP: markers seen
};

#endif
