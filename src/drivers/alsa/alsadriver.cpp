#include "alsadriver.h"

#include "alsadevicereservation.h"
#include "alsadop.h"
#include "alsastream.h"
#include "asiotext.h"
#include "audiorates.h"
#include "builtindrivers.h"
#include "diagnosticsink.h"

#include <QElapsedTimer>
#include <QThread>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const long kDriverVersion = 1;

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

const long kPcmFloor = 32, kPcmCeiling = 16384;   // ASIO samples per half
const long kDsdFloor = 256, kDsdCeiling = 262144; // bits per channel and half
const long kPcmPreferredPer48k = 512;
const long kDsdPreferredPerMultiple = 32768;
// How long a card whose owner agreed to release it may stay busy.
const int kReleasedCardMs = 2000;

bool isPowerOfTwo(long v)
{
    return v > 0 && (v & (v - 1)) == 0;
}

long powerOfTwoAtLeast(long v)
{
    long p = 1;
    while (p < v)
        p <<= 1;
    return p;
}

long powerOfTwoAtMost(long v)
{
    long p = 1;
    while (p * 2 <= v)
        p <<= 1;
    return v < 1 ? 0 : p;
}

bool isDsdRate(double rate)
{
    return rate > 0 && rate / AlsaDriver::kDsdBaseRate >= 1.0;
}

ASIOSamples splitValue(uint64_t value)
{
    return ASIOSamples{uint32_t(value >> 32), uint32_t(value & 0xffffffffu)};
}

// Asks the host whether it takes bufferSwitchTimeInfo, as a driver does at buffer creation.
bool hostTakesTimeInfo(const ASIOCallbacks& callbacks)
{
    return callbacks.asioMessage && callbacks.bufferSwitchTimeInfo &&
           callbacks.asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) ==
               1 &&
           callbacks.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
}

bool formatOffered(const AlsaPcm& pcm, snd_pcm_format_t format)
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    return pcm.handle() && snd_pcm_hw_params_any(pcm.handle(), params) >= 0 &&
           snd_pcm_hw_params_test_format(pcm.handle(), params, format) == 0;
}

// The formats of interest to the driver that the device offers at some rate, by ALSA's names.
QString offeredFormats(const AlsaPcm& pcm)
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

QString openFailure(const QByteArray& device, int err)
{
    const QString name = QString::fromUtf8(device);
    const QString why = QString::fromLocal8Bit(snd_strerror(err));
    switch (-err) {
    case ENODEV:
    case ENXIO:
    case ENOENT:
    case EBADFD:
        return QStringLiteral("device unplugged (%1: %2)").arg(name, why);
    case EACCES:
    case EPERM:
        return QStringLiteral("no permission for %1: the user needs /dev/snd (group audio)")
            .arg(name);
    default:
        return QStringLiteral("%1 cannot be opened: %2").arg(name, why);
    }
}

} // namespace

void registerAlsaDrivers()
{
    BuiltinDrivers::addProvider(QStringLiteral("alsa"), []() {
        QList<BuiltinDriverClass> classes;
        for (const AlsaDeviceEntry& e : AlsaCardList::entries()) {
            BuiltinDriverClass c;
            c.keyName = e.description;
            c.clsid = e.clsid;
            c.description = e.description;
            c.create = [e]() -> IASIO* { return new AlsaDriver(e); };
            classes << c;
        }
        return classes;
    });
}

AlsaDriver::AlsaDriver(const AlsaDeviceEntry& entry) : m_entry(entry) {}

AlsaDriver::~AlsaDriver()
{
    if (m_stream)
        m_stream->release();
    // Released from inside a buffer switch, the stream is told to stop and ends on its own
    // thread as soon as the switch returns, without touching the PCMs closed here. They are
    // closed before the reservation goes, so that a sound server taking the card back finds
    // it free.
    m_capture.close();
    m_playback.close();
    dropReservation();
}

// The card is asked for on the session bus first, so that a sound server lets it go.
int AlsaDriver::openCapture()
{
    if (!m_reservation)
        m_reservation = new AlsaDeviceReservation(m_entry.card, m_entry.description);
    if (m_reservation->acquire() == AlsaDeviceReservation::Outcome::Refused)
        return -EBUSY;
    int err = m_capture.open(m_entry.captureDevice, SND_PCM_STREAM_CAPTURE);
    // A sound server that agreed may close the card a moment after its answer.
    QElapsedTimer clock;
    clock.start();
    while (err == -EBUSY && m_reservation->tookOver() && clock.elapsed() < kReleasedCardMs) {
        QThread::msleep(50);
        err = m_capture.open(m_entry.captureDevice, SND_PCM_STREAM_CAPTURE);
    }
    return err;
}

ASIOBool AlsaDriver::failInit(const QString& text)
{
    setError(text);
    m_capture.close();
    m_playback.close();
    dropReservation();
    return ASIOFalse;
}

// A driver released on the device thread leaves the reservation to the thread it lives on.
void AlsaDriver::dropReservation()
{
    if (!m_reservation)
        return;
    if (m_reservation->thread() == QThread::currentThread())
        delete m_reservation;
    else
        m_reservation->deleteLater();
    m_reservation = nullptr;
}

unsigned long AlsaDriver::AddRef()
{
    return ++m_refs;
}

unsigned long AlsaDriver::Release()
{
    const unsigned long left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

unsigned long AlsaDriver::xrunCount() const
{
    return m_stream ? m_stream->xruns() : 0;
}

unsigned long AlsaDriver::dopLossCount() const
{
    return m_stream ? m_stream->dopLosses() : 0;
}

void AlsaDriver::setError(const QString& text)
{
    copyAsioText(m_errorMessage, sizeof m_errorMessage, text.toUtf8().constData());
}

bool AlsaDriver::isRunning() const
{
    return m_stream && m_stream->state() == AlsaStream::State::Running;
}

AlsaDriver::Setup AlsaDriver::setupFor(const AlsaPcm& pcm, unsigned channels, bool dsd,
                                       double rate) const
{
    Setup s;
    if (!pcm.isOpen() || channels == 0 || rate <= 0 || rate != std::floor(rate))
        return s;
    if (!dsd) {
        if (isDsdRate(rate))
            return s;
        for (AlsaPcmConvert::Layout l : kPcmLayouts) {
            if (!pcm.supports(AlsaPcmConvert::format(l), channels, unsigned(rate)))
                continue;
            s.ok = true;
            s.format = AlsaPcmConvert::format(l);
            s.pcmLayout = l;
            s.wordBytes = AlsaPcmConvert::wordBytes(l);
            s.frameRate = unsigned(rate);
            return s;
        }
        return s;
    }
    if (!isDsdRate(rate))
        return s;
    if (!m_nativeDsd) {
        const double frameRate = rate / AlsaDop::kBitsPerFrame;
        for (AlsaPcmConvert::Layout l : kPcmLayouts) {
            if (!AlsaDop::carries(l) || frameRate != std::floor(frameRate) ||
                !pcm.supports(AlsaPcmConvert::format(l), channels, unsigned(frameRate)))
                continue;
            s.ok = true;
            s.dop = true;
            s.format = AlsaPcmConvert::format(l);
            s.pcmLayout = l;
            s.wordBytes = AlsaPcmConvert::wordBytes(l);
            s.frameRate = unsigned(frameRate);
            return s;
        }
        return s;
    }
    for (const DsdFormat& f : kDsdFormats) {
        const int bytes = AlsaDsdReorder::wordBytes(f.layout);
        const double frameRate = rate / 8.0 / bytes;
        if (frameRate != std::floor(frameRate) ||
            !pcm.supports(f.format, channels, unsigned(frameRate)))
            continue;
        s.ok = true;
        s.format = f.format;
        s.layout = f.layout;
        s.wordBytes = bytes;
        s.frameRate = unsigned(frameRate);
        return s;
    }
    return s;
}

bool AlsaDriver::deviceTakes(double rate) const
{
    const Setup s = setupFor(m_capture, m_captureChannels, isDsdRate(rate), rate);
    return s.ok && (!s.dop || m_dopMarkers.value(rate, false));
}

bool AlsaDriver::acceptsRate(double rate) const
{
    return isDsdRate(rate) == isDsd() && deviceTakes(rate);
}

bool AlsaDriver::hasNativeDsd() const
{
    for (const DsdFormat& f : kDsdFormats) {
        if (formatOffered(m_capture, f.format))
            return true;
    }
    return false;
}

bool AlsaDriver::hasDsd() const
{
    return m_nativeDsd || m_dopMarkers.key(true, 0.0) > 0;
}

QString AlsaDriver::noDsdReason() const
{
    if (m_dopMarkers.isEmpty())
        return QStringLiteral("%1 has no native DSD format, nor 24/32-bit PCM at 176.4/352.8 "
                              "kHz for DoP: DSD not available")
            .arg(m_entry.description);
    return QStringLiteral("%1 has no native DSD and sent no DoP markers, only plain PCM: "
                          "DSD not available")
        .arg(m_entry.description);
}

// A short capture at each DSD rate the card could carry as DoP tells whether it does: a
// converter set to PCM sends the same format at the same rate without markers.
void AlsaDriver::probeDop()
{
    m_dopMarkers.clear();
    for (double r : AudioRates::kStandard) {
        const Setup s = setupFor(m_capture, m_captureChannels, true, r);
        if (!s.ok || !s.dop)
            continue;
        const bool seen = m_capture.carriesDop(s.pcmLayout, m_captureChannels, s.frameRate);
        m_dopMarkers.insert(r, seen);
        if (seen)
            DiagnosticSink::line("%s: DoP markers at %u Hz: DSD %gx is taken as DoP in %s",
                                 m_entry.captureDevice.constData(), s.frameRate, r / kDsdBaseRate,
                                 snd_pcm_format_name(s.format));
        else
            DiagnosticSink::line(
                "%s: no DoP markers at %u Hz, only plain PCM: DSD %gx is not offered "
                "(set the converter to DSD/DoP output and choose the device again)",
                m_entry.captureDevice.constData(), s.frameRate, r / kDsdBaseRate);
    }
}

bool AlsaDriver::hasPcm() const
{
    for (AlsaPcmConvert::Layout l : kPcmLayouts) {
        if (formatOffered(m_capture, AlsaPcmConvert::format(l)))
            return true;
    }
    return false;
}

void AlsaDriver::reportFormats() const
{
    DiagnosticSink::line("%s: capture offers %s", m_entry.captureDevice.constData(),
                         qPrintable(offeredFormats(m_capture)));
    if (m_playback.isOpen())
        DiagnosticSink::line("%s: playback offers %s", m_entry.playbackDevice.constData(),
                             qPrintable(offeredFormats(m_playback)));
}

long AlsaDriver::inputCount() const
{
    return long(qMin(m_captureChannels, 2u));
}

long AlsaDriver::outputCount() const
{
    if (!setupFor(m_playback, m_playbackChannels, isDsd(), m_rate).ok)
        return 0;
    return long(qMin(m_playbackChannels, 2u));
}

long AlsaDriver::samplesPerFrame(const Setup& s) const
{
    if (!isDsd())
        return 1;
    return s.dop ? AlsaDop::kBitsPerFrame : 8L * s.wordBytes;
}

ASIOBool AlsaDriver::init(void*)
{
    if (m_initialized)
        return ASIOTrue;
    const int err = openCapture();
    if (err == -EBUSY) {
        const QString busy = m_reservation->busyText(QString::fromUtf8(m_entry.captureDevice));
        DiagnosticSink::line("%s", qPrintable(busy));
        return failInit(busy);
    }
    if (err < 0)
        return failInit(openFailure(m_entry.captureDevice, err));
    m_captureChannels = m_capture.channels();
    if (m_captureChannels == 0)
        return failInit(QStringLiteral("%1 reports no capture channels")
                            .arg(QString::fromUtf8(m_entry.captureDevice)));
    const bool pcm = hasPcm();
    m_nativeDsd = hasNativeDsd();
    if (!pcm && !m_nativeDsd)
        return failInit(QStringLiteral("%1 captures neither PCM (S32_LE, S24_LE, S24_3LE, S16_LE) "
                                       "nor native DSD")
                            .arg(QString::fromUtf8(m_entry.captureDevice)));
    m_playbackChannels = 0;
    if (!m_entry.playbackDevice.isEmpty()) {
        const int perr = m_playback.open(m_entry.playbackDevice, SND_PCM_STREAM_PLAYBACK);
        if (perr == 0)
            m_playbackChannels = m_playback.channels();
        else
            DiagnosticSink::line("%s: no monitoring outputs: playback cannot be opened: %s",
                                 m_entry.playbackDevice.constData(), snd_strerror(perr));
    }
    reportFormats();
    if (!m_nativeDsd)
        probeDop();
    m_rateAnswers.clear();
    for (double r : AudioRates::kStandard)
        m_rateAnswers.insert(r, deviceTakes(r));
    m_format = pcm ? kASIOPCMFormat : kASIODSDFormat;
    m_rate = 0;
    for (double r : AudioRates::kStandard) {
        if (acceptsRate(r)) {
            m_rate = r;
            break;
        }
    }
    if (m_rate == 0)
        m_rate = pcm ? AudioRates::kStandard[0] : kDsdBaseRate;
    m_errorMessage[0] = '\0';
    m_initialized = true;
    return ASIOTrue;
}

void AlsaDriver::getDriverName(char* name)
{
    if (name)
        copyAsioText(name, 32, m_entry.description.toUtf8().constData());
}

long AlsaDriver::getDriverVersion()
{
    return kDriverVersion;
}

void AlsaDriver::getErrorMessage(char* string)
{
    if (!string)
        return;
    if (m_errorMessage[0]) {
        copyAsioText(string, 124, m_errorMessage);
    } else if (m_stream && m_stream->state() == AlsaStream::State::Lost) {
        copyAsioText(string, 124, m_stream->lostReason().c_str());
    } else if (dopLossCount() > 0) {
        char text[124];
        snprintf(text, sizeof text, "DoP markers lost %lu times on %s: the card sent plain PCM",
                 dopLossCount(), m_entry.captureDevice.constData());
        copyAsioText(string, 124, text);
    } else if (xrunCount() > 0) {
        char text[124];
        snprintf(text, sizeof text, "%lu overruns or underruns recovered on %s", xrunCount(),
                 m_entry.captureDevice.constData());
        copyAsioText(string, 124, text);
    } else {
        string[0] = '\0';
    }
}

ASIOError AlsaDriver::start()
{
    if (!m_initialized || !m_stream)
        return ASE_InvalidMode;
    if (isRunning())
        return ASE_OK;
    const Setup in = setupFor(m_capture, m_captureChannels, isDsd(), m_rate);
    if (!in.ok) {
        setError(QStringLiteral("%1 does not run at %2 Hz").arg(m_entry.description).arg(m_rate));
        return ASE_NoClock;
    }
    const long periodFrames = m_stream->bufferSize() / samplesPerFrame(in);
    QString why;
    const int err = m_capture.configure(in.format, m_captureChannels, in.frameRate,
                                        snd_pcm_uframes_t(periodFrames), &why);
    if (err < 0) {
        if (err == -ENODEV || err == -EBADFD) {
            setError(QStringLiteral("device unplugged (%1)").arg(why));
            return ASE_NotPresent;
        }
        setError(QStringLiteral("capture: %1").arg(why));
        return ASE_HWMalfunction;
    }
    const auto direction = [this](const AlsaPcm& pcm, const Setup& s, unsigned channels) {
        AlsaStream::Direction d;
        d.pcm = pcm.handle();
        d.dsd = isDsd();
        d.layout = s.layout;
        d.pcmLayout = s.pcmLayout;
        d.dop = s.dop;
        d.wordBytes = s.wordBytes;
        d.hwChannels = int(channels);
        d.silence = int(snd_pcm_format_silence_64(s.format) & 0xff);
        return d;
    };
    const AlsaStream::Direction capture = direction(m_capture, in, m_captureChannels);

    AlsaStream::Direction playback;
    playback.pcm = nullptr;
    const Setup out = setupFor(m_playback, m_playbackChannels, isDsd(), m_rate);
    if (out.ok) {
        // The inputs matter more than monitoring: where the outputs cannot run with the
        // inputs' period, the recorder records without them.
        if (m_stream->bufferSize() / samplesPerFrame(out) != periodFrames)
            DiagnosticSink::line("%s: outputs not played: playback word size differs from capture",
                                 m_entry.playbackDevice.constData());
        else if (m_playback.configure(out.format, m_playbackChannels, out.frameRate,
                                      snd_pcm_uframes_t(periodFrames), &why) != 0)
            DiagnosticSink::line("%s: outputs not played: %s", m_entry.playbackDevice.constData(),
                                 qPrintable(why));
        else
            playback = direction(m_playback, out, m_playbackChannels);
    }
    std::string error;
    if (!m_stream->start(capture, playback, periodFrames, m_rate, &error)) {
        setError(QString::fromStdString(error));
        return ASE_HWMalfunction;
    }
    DiagnosticSink::line("%s: capture as %s%s at %u frames/s, playback %s%s",
                         m_entry.captureDevice.constData(), in.dop ? "DoP in " : "",
                         snd_pcm_format_name(in.format), in.frameRate,
                         playback.pcm && out.dop ? "DoP in " : "",
                         playback.pcm ? snd_pcm_format_name(out.format) : "off");
    m_errorMessage[0] = '\0';
    return ASE_OK;
}

ASIOError AlsaDriver::stop()
{
    if (!m_stream)
        return ASE_OK;
    return m_stream->stop();
}

ASIOError AlsaDriver::getChannels(long* numInputChannels, long* numOutputChannels)
{
    if (!numInputChannels || !numOutputChannels)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    *numInputChannels = inputCount();
    *numOutputChannels = outputCount();
    return ASE_OK;
}

ASIOError AlsaDriver::getLatencies(long* inputLatency, long* outputLatency)
{
    if (!inputLatency || !outputLatency)
        return ASE_InvalidParameter;
    long size = 0, unused = 0;
    if (m_stream)
        size = m_stream->bufferSize();
    else if (getBufferSize(&unused, &unused, &size, &unused) != ASE_OK)
        return ASE_NotPresent;
    // One period waits in the capture buffer; the output goes out behind the two periods of
    // silence written before the start.
    *inputLatency = size;
    *outputLatency = 2 * size;
    return ASE_OK;
}

ASIOError AlsaDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                    long* granularity)
{
    if (!minSize || !maxSize || !preferredSize || !granularity)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    if (isRunning()) {
        // The device is configured; the sizes stay those it was created with.
        *minSize = *maxSize = *preferredSize = m_stream->bufferSize();
        *granularity = -1;
        return ASE_OK;
    }
    const Setup in = setupFor(m_capture, m_captureChannels, isDsd(), m_rate);
    snd_pcm_uframes_t lo = 0, hi = 0;
    if (!in.ok || !m_capture.periodRange(in.format, m_captureChannels, in.frameRate, &lo, &hi)) {
        setError(QStringLiteral("%1 reports no period sizes at %2 Hz")
                     .arg(m_entry.description)
                     .arg(m_rate));
        return ASE_NotPresent;
    }
    const Setup out = setupFor(m_playback, m_playbackChannels, isDsd(), m_rate);
    snd_pcm_uframes_t outLo = 0, outHi = 0;
    if (out.ok && samplesPerFrame(out) == samplesPerFrame(in) &&
        m_playback.periodRange(out.format, m_playbackChannels, out.frameRate, &outLo, &outHi) &&
        qMax(lo, outLo) <= qMin(hi, outHi)) {
        lo = qMax(lo, outLo); // a size that also suits the outputs, where there is one
        hi = qMin(hi, outHi);
    }
    const long k = samplesPerFrame(in);
    const long floor = isDsd() ? kDsdFloor : kPcmFloor;
    const long ceiling = isDsd() ? kDsdCeiling : kPcmCeiling;
    const long lowest =
        powerOfTwoAtLeast(qMax(long(qMin<snd_pcm_uframes_t>(lo, 1u << 24)) * k, floor));
    const long highest =
        powerOfTwoAtMost(qMin(long(qMin<snd_pcm_uframes_t>(hi, 1u << 24)) * k, ceiling));
    if (lowest > highest) {
        setError(
            QStringLiteral("%1 allows no period of a power-of-two size").arg(m_entry.description));
        return ASE_NotPresent;
    }
    const long preferred =
        isDsd()
            ? kDsdPreferredPerMultiple * long(m_rate / kDsdBaseRate)
            : kPcmPreferredPer48k * powerOfTwoAtMost(qMax(1L, long(std::lround(m_rate / 48000.0))));
    *minSize = lowest;
    *maxSize = highest;
    *preferredSize = qBound(lowest, preferred, highest);
    *granularity = -1;
    return ASE_OK;
}

ASIOError AlsaDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    if (!m_initialized)
        return ASE_NotPresent;
    // The answers for the standard rates were found at init(), so the probe never touches
    // a device that is streaming.
    const auto cached = m_rateAnswers.constFind(sampleRate);
    if (cached != m_rateAnswers.constEnd())
        return cached.value() ? ASE_OK : ASE_NoClock;
    if (isRunning())
        return ASE_NoClock;
    return deviceTakes(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError AlsaDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (!sampleRate)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    *sampleRate = m_rate;
    return ASE_OK;
}

ASIOError AlsaDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    if (!m_initialized)
        return ASE_NotPresent;
    if (sampleRate == m_rate)
        return ASE_OK;
    if (isRunning())
        return ASE_InvalidMode;
    if (!acceptsRate(sampleRate)) {
        if (isDsd() && m_dopMarkers.contains(sampleRate))
            setError(QStringLiteral("%1 sent no DoP markers at %2 kHz, only plain PCM: DSD %3x "
                                    "not available")
                         .arg(m_entry.description)
                         .arg(sampleRate / AlsaDop::kBitsPerFrame / 1000)
                         .arg(sampleRate / kDsdBaseRate));
        return ASE_NoClock;
    }
    m_rate = sampleRate;
    return ASE_OK;
}

ASIOError AlsaDriver::getClockSources(ASIOClockSource* clocks, long* numSources)
{
    if (!clocks || !numSources || *numSources < 1)
        return ASE_InvalidParameter;
    memset(clocks, 0, sizeof *clocks);
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = ASIOTrue;
    copyAsioText(clocks->name, sizeof clocks->name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError AlsaDriver::setClockSource(long reference)
{
    return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError AlsaDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    if (!isRunning())
        return ASE_SPNotAdvancing;
    uint64_t samples = 0, timeNs = 0;
    m_stream->position(&samples, &timeNs);
    *sPos = splitValue(samples);
    *tStamp = splitValue(timeNs);
    return ASE_OK;
}

ASIOError AlsaDriver::getChannelInfo(ASIOChannelInfo* info)
{
    if (!info)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    const long count = info->isInput ? inputCount() : outputCount();
    if (info->channel < 0 || info->channel >= count)
        return ASE_InvalidParameter;
    info->isActive = m_stream && m_stream->hasChannel(info->channel, info->isInput == ASIOTrue)
                         ? ASIOTrue
                         : ASIOFalse;
    info->channelGroup = 0;
    info->type = isDsd() ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    snprintf(info->name, sizeof info->name, "%s %ld", info->isInput ? "Input" : "Output",
             info->channel + 1);
    return ASE_OK;
}

ASIOError AlsaDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                    ASIOCallbacks* callbacks)
{
    if (!m_initialized)
        return ASE_NotPresent;
    if (!bufferInfos || !callbacks || numChannels < 1 || numChannels > inputCount() + outputCount())
        return ASE_InvalidParameter;
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    const ASIOError sizes = getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    if (sizes != ASE_OK)
        return sizes;
    if (bufferSize < minSize || bufferSize > maxSize || !isPowerOfTwo(bufferSize))
        return ASE_InvalidMode;
    for (long i = 0; i < numChannels; ++i) {
        const long count = bufferInfos[i].isInput ? inputCount() : outputCount();
        if (bufferInfos[i].channelNum < 0 || bufferInfos[i].channelNum >= count)
            return ASE_InvalidParameter;
        for (long j = 0; j < i; ++j) {
            if (bufferInfos[j].isInput == bufferInfos[i].isInput &&
                bufferInfos[j].channelNum == bufferInfos[i].channelNum)
                return ASE_InvalidParameter;
        }
    }
    const ASIOError disposed = disposeBuffers();
    if (disposed != ASE_OK)
        return disposed;
    m_stream = std::make_shared<AlsaStream>(bufferInfos, numChannels, bufferSize, isDsd(),
                                            *callbacks, hostTakesTimeInfo(*callbacks),
                                            m_entry.captureDevice.toStdString());
    return ASE_OK;
}

ASIOError AlsaDriver::disposeBuffers()
{
    if (!m_stream)
        return ASE_OK;
    const ASIOError stopped = m_stream->stop();
    if (stopped != ASE_OK)
        return stopped;
    m_stream.reset();
    return ASE_OK;
}

ASIOError AlsaDriver::controlPanel()
{
    return ASE_NotPresent;
}

ASIOError AlsaDriver::setIoFormat(const ASIOIoFormat* format)
{
    if (format->FormatType != kASIOPCMFormat && format->FormatType != kASIODSDFormat)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    if (format->FormatType == m_format)
        return ASE_SUCCESS;
    const bool dsd = format->FormatType == kASIODSDFormat;
    if (dsd && !hasDsd()) {
        setError(noDsdReason());
        return ASE_NotPresent;
    }
    if (!dsd && !hasPcm()) {
        setError(QStringLiteral("%1 offers no PCM format (S32_LE, S24_LE, S24_3LE, S16_LE)")
                     .arg(m_entry.description));
        return ASE_NotPresent;
    }
    if (m_stream)
        return ASE_InvalidMode;
    m_format = format->FormatType;
    if (!acceptsRate(m_rate)) {
        for (double r : AudioRates::kStandard) {
            if (acceptsRate(r)) {
                m_rate = r;
                break;
            }
        }
    }
    return ASE_SUCCESS;
}

ASIOError AlsaDriver::future(long selector, void* opt)
{
    auto* format = static_cast<ASIOIoFormat*>(opt);
    switch (selector) {
    case kAsioSetIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        return setIoFormat(format);
    case kAsioGetIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        format->FormatType = m_format;
        return ASE_SUCCESS;
    case kAsioCanDoIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        if (!m_initialized)
            return ASE_NotPresent;
        if (format->FormatType == kASIOPCMFormat)
            return hasPcm() ? ASE_SUCCESS : ASE_NotPresent;
        if (format->FormatType == kASIODSDFormat)
            return hasDsd() ? ASE_SUCCESS : ASE_NotPresent;
        return ASE_NotPresent;
    default:
        return ASE_NotPresent;
    }
}

ASIOError AlsaDriver::outputReady()
{
    return ASE_OK;
}
