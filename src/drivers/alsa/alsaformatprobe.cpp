#include "alsaformatprobe.h"

#include "alsadop.h"
#include "audiorates.h"
#include "diagnosticsink.h"

#include <QStringList>
#include <cmath>

namespace {

struct DsdFormat
{
    snd_pcm_format_t format;
    AlsaDsdReorder::Layout layout;
};
// Larger words first: the same DSD rate then runs the card at fewer frames per second.
const DsdFormat kDsdFormats[] = {
    {SND_PCM_FORMAT_DSD_U32_BE, AlsaDsdReorder::Layout::U32BE},
    {SND_PCM_FORMAT_DSD_U32_LE, AlsaDsdReorder::Layout::U32LE},
    {SND_PCM_FORMAT_DSD_U16_BE, AlsaDsdReorder::Layout::U16BE},
    {SND_PCM_FORMAT_DSD_U16_LE, AlsaDsdReorder::Layout::U16LE},
    {SND_PCM_FORMAT_DSD_U8, AlsaDsdReorder::Layout::U8},
};

// The card's word is converted to the driver's 32-bit word on the device thread; the widest
// word the card offers keeps the most of its resolution.
const AlsaPcmConvert::Layout kPcmLayouts[] = {
    AlsaPcmConvert::Layout::S32,
    AlsaPcmConvert::Layout::S24In4,
    AlsaPcmConvert::Layout::S24In3,
    AlsaPcmConvert::Layout::S16,
};

AlsaFormatProbe::Setup pcmSetup(AlsaPcmConvert::Layout l, unsigned frameRate, bool dop)
{
    AlsaFormatProbe::Setup s;
    s.ok = true;
    s.dop = dop;
    s.format = AlsaPcmConvert::format(l);
    s.pcmLayout = l;
    s.wordBytes = AlsaPcmConvert::wordBytes(l);
    s.frameRate = frameRate;
    return s;
}

bool isWhole(double v)
{
    return v == std::floor(v);
}

} // namespace

long AlsaFormatProbe::Setup::samplesPerFrame(bool dsd) const
{
    if (!dsd)
        return 1;
    return dop ? AlsaDop::kBitsPerFrame : 8L * wordBytes;
}

void AlsaFormatProbe::learn(AlsaPcm& capture, unsigned channels, const QByteArray& captureName,
                            const AlsaPcm& playback, const QByteArray& playbackName)
{
    m_capture = &capture;
    m_channels = channels;
    m_pcm = offersPcm(capture);
    m_nativeDsd = offersNativeDsd(capture);
    DiagnosticSink::line("%s: capture offers %s", captureName.constData(),
                         qPrintable(offeredFormats(capture)));
    if (playback.isOpen())
        DiagnosticSink::line("%s: playback offers %s", playbackName.constData(),
                             qPrintable(offeredFormats(playback)));
    m_dopMarkers.clear();
    if (!m_nativeDsd)
        probeDop(capture, captureName);
    m_rateAnswers.clear();
    for (double r : AudioRates::kStandard)
        m_rateAnswers.insert(r, liveTakes(r));
}

AlsaFormatProbe::Setup AlsaFormatProbe::setupFor(const AlsaPcm& pcm, unsigned channels, bool dsd,
                                                 double rate) const
{
    if (!pcm.isOpen() || channels == 0 || rate <= 0 || !isWhole(rate) ||
        AudioRates::isDsd(rate) != dsd)
        return Setup();
    if (!dsd) {
        for (AlsaPcmConvert::Layout l : kPcmLayouts) {
            if (pcm.supports(AlsaPcmConvert::format(l), channels, unsigned(rate)))
                return pcmSetup(l, unsigned(rate), false);
        }
        return Setup();
    }
    if (!m_nativeDsd) {
        const double frameRate = rate / AlsaDop::kBitsPerFrame;
        for (AlsaPcmConvert::Layout l : kPcmLayouts) {
            if (AlsaDop::carries(l) && isWhole(frameRate) &&
                pcm.supports(AlsaPcmConvert::format(l), channels, unsigned(frameRate)))
                return pcmSetup(l, unsigned(frameRate), true);
        }
        return Setup();
    }
    for (const DsdFormat& f : kDsdFormats) {
        const int bytes = AlsaDsdReorder::wordBytes(f.layout);
        const double frameRate = rate / 8.0 / bytes;
        if (!isWhole(frameRate) || !pcm.supports(f.format, channels, unsigned(frameRate)))
            continue;
        Setup s;
        s.ok = true;
        s.format = f.format;
        s.layout = f.layout;
        s.wordBytes = bytes;
        s.frameRate = unsigned(frameRate);
        return s;
    }
    return Setup();
}

bool AlsaFormatProbe::liveTakes(double rate) const
{
    if (!m_capture)
        return false;
    const Setup s = setupFor(*m_capture, m_channels, AudioRates::isDsd(rate), rate);
    return s.ok && (!s.dop || m_dopMarkers.value(rate, false));
}

bool AlsaFormatProbe::takes(double rate) const
{
    const auto cached = m_rateAnswers.constFind(rate);
    return cached != m_rateAnswers.constEnd() ? cached.value() : liveTakes(rate);
}

bool AlsaFormatProbe::hasDsd() const
{
    return m_nativeDsd || m_dopMarkers.key(true, 0.0) > 0;
}

QString AlsaFormatProbe::noDsdText(const QString& device) const
{
    if (m_dopMarkers.isEmpty())
        return QStringLiteral("%1 has no native DSD format, nor 24/32-bit PCM at 176.4/352.8 "
                              "kHz for DoP: DSD not available")
            .arg(device);
    return QStringLiteral("%1 has no native DSD and sent no DoP markers, only plain PCM: "
                          "DSD not available")
        .arg(device);
}

QString AlsaFormatProbe::noDopText(const QString& device, double rate) const
{
    if (!m_dopMarkers.contains(rate))
        return QString();
    return QStringLiteral("%1 sent no DoP markers at %2 kHz, only plain PCM: DSD %3x "
                          "not available")
        .arg(device)
        .arg(rate / AlsaDop::kBitsPerFrame / 1000)
        .arg(rate / AudioRates::kDsdBase);
}

// A short capture at each DSD rate the card could carry as DoP tells whether it does: a
// converter set to PCM sends the same format at the same rate without markers.
void AlsaFormatProbe::probeDop(AlsaPcm& capture, const QByteArray& name)
{
    for (double r : AudioRates::kStandard) {
        const Setup s = setupFor(capture, m_channels, true, r);
        if (!s.ok || !s.dop)
            continue;
        const bool seen = capture.carriesDop(s.pcmLayout, m_channels, s.frameRate);
        m_dopMarkers.insert(r, seen);
        if (seen)
            DiagnosticSink::line("%s: DoP markers at %u Hz: DSD %gx is taken as DoP in %s",
                                 name.constData(), s.frameRate, r / AudioRates::kDsdBase,
                                 snd_pcm_format_name(s.format));
        else
            DiagnosticSink::line(
                "%s: no DoP markers at %u Hz, only plain PCM: DSD %gx is not offered "
                "(set the converter to DSD/DoP output and choose the device again)",
                name.constData(), s.frameRate, r / AudioRates::kDsdBase);
    }
}

bool AlsaFormatProbe::formatOffered(const AlsaPcm& pcm, snd_pcm_format_t format)
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    return pcm.handle() && snd_pcm_hw_params_any(pcm.handle(), params) >= 0 &&
           snd_pcm_hw_params_test_format(pcm.handle(), params, format) == 0;
}

// The formats of interest to the driver that the device offers at some rate, by ALSA's names.
QString AlsaFormatProbe::offeredFormats(const AlsaPcm& pcm)
{
    QStringList names;
    for (AlsaPcmConvert::Layout l : kPcmLayouts) {
        if (formatOffered(pcm, AlsaPcmConvert::format(l)))
            names << QString::fromLatin1(snd_pcm_format_name(AlsaPcmConvert::format(l)));
    }
    for (const DsdFormat& f : kDsdFormats) {
        if (formatOffered(pcm, f.format))
            names << QString::fromLatin1(snd_pcm_format_name(f.format));
    }
    return names.isEmpty() ? QStringLiteral("none of S32_LE S24_LE S24_3LE S16_LE DSD")
                           : names.join(' ');
}

bool AlsaFormatProbe::offersNativeDsd(const AlsaPcm& pcm)
{
    for (const DsdFormat& f : kDsdFormats) {
        if (formatOffered(pcm, f.format))
            return true;
    }
    return false;
}

bool AlsaFormatProbe::offersPcm(const AlsaPcm& pcm)
{
    for (AlsaPcmConvert::Layout l : kPcmLayouts) {
        if (formatOffered(pcm, AlsaPcmConvert::format(l)))
            return true;
    }
    return false;
}
