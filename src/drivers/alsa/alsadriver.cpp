#include "alsadriver.h"

#include "alsadevicereservation.h"
#include "alsastream.h"
#include "asiotext.h"
#include "builtindrivers.h"
#include "diagnosticsink.h"

#include <QElapsedTimer>
#include <QThread>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace {

const long kPcmFloor = 32, kPcmCeiling = 16384;   // ASIO samples per half
const long kDsdFloor = 256, kDsdCeiling = 262144; // bits per channel and half
const long kPcmPreferredPer48k = 512;
const long kDsdPreferredPerMultiple = 32768;
// How long a card whose owner agreed to release it may stay busy.
const int kReleasedCardMs = 2000;

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
    // The stream goes first: released on its own thread it ends without touching the PCMs
    // closed here. They are closed before the reservation goes, so that a sound server taking
    // the card back finds it free.
    releaseStream();
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

AlsaStream* AlsaDriver::stream() const
{
    return static_cast<AlsaStream*>(m_stream.get());
}

unsigned long AlsaDriver::xrunCount() const
{
    return m_stream ? stream()->xruns() : 0;
}

unsigned long AlsaDriver::dopLossCount() const
{
    return m_stream ? stream()->dopLosses() : 0;
}

long AlsaDriver::inputCount() const
{
    return long(m_inputChannels);
}

long AlsaDriver::outputCount() const
{
    if (!playbackSetup().ok)
        return 0;
    return long(qMin(m_playbackChannels, 2u));
}

AlsaDriver::Setup AlsaDriver::captureSetup(unsigned channels) const
{
    return m_formats.setupFor(m_capture, channels, isDsd(), m_rate);
}

AlsaDriver::Setup AlsaDriver::playbackSetup() const
{
    return m_formats.setupFor(m_playback, m_playbackChannels, isDsd(), m_rate);
}

bool AlsaDriver::acceptsRate(double rate) const
{
    return AudioRates::isDsd(rate) == isDsd() && m_formats.takes(rate);
}

bool AlsaDriver::offersFormat(ASIOIoFormatType type) const
{
    return type == kASIODSDFormat ? m_formats.hasDsd() : m_formats.hasPcm();
}

QString AlsaDriver::missingFormatText(ASIOIoFormatType type) const
{
    if (type == kASIODSDFormat)
        return m_formats.noDsdText(m_entry.description);
    return QStringLiteral("%1 offers no PCM format (S32_LE, S24_LE, S24_3LE, S16_LE)")
        .arg(m_entry.description);
}

QByteArray AlsaDriver::channelNote(bool input) const
{
    const Setup s = input ? captureSetup(m_captureChannels) : playbackSetup();
    return isDsd() && s.dop ? QByteArrayLiteral("DoP") : QByteArray();
}

QString AlsaDriver::refusedRateText(double rate) const
{
    return isDsd() ? m_formats.noDopText(m_entry.description, rate) : QString();
}

std::shared_ptr<HalfBufferStream> AlsaDriver::makeStream(ASIOBufferInfo* infos, long count,
                                                         long bufferSize,
                                                         const ASIOCallbacks& callbacks,
                                                         bool useTimeInfo)
{
    return std::make_shared<AlsaStream>(infos, count, bufferSize, isDsd(), callbacks, useTimeInfo,
                                        m_entry.captureDevice.toStdString());
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
    m_inputChannels = qBound(m_captureChannels, m_capture.maxChannels(), kMaxInputs);
    if (m_captureChannels == 0)
        return failInit(QStringLiteral("%1 reports no capture channels")
                            .arg(QString::fromUtf8(m_entry.captureDevice)));
    const bool pcm = AlsaFormatProbe::offersPcm(m_capture);
    if (!pcm && !AlsaFormatProbe::offersNativeDsd(m_capture))
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
    m_formats.learn(m_capture, m_captureChannels, m_entry.captureDevice, m_playback,
                    m_entry.playbackDevice);
    m_format = pcm ? kASIOPCMFormat : kASIODSDFormat;
    m_rate = firstAcceptedRate();
    if (m_rate == 0)
        m_rate = pcm ? AudioRates::kStandard[0] : kDsdBaseRate;
    m_errorMessage[0] = '\0';
    m_initialized = true;
    return ASIOTrue;
}

void AlsaDriver::getErrorMessage(char* string)
{
    if (!string)
        return;
    if (m_errorMessage[0]) {
        copyAsioText(string, 124, m_errorMessage);
    } else if (m_stream && m_stream->state() == AlsaStream::State::Lost) {
        copyAsioText(string, 124, stream()->lostReason().c_str());
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
    const unsigned channels = m_capture.channelsSpanning(unsigned(m_stream->inputSpan()));
    if (channels == 0) {
        setError(QStringLiteral("%1 cannot be opened with %2 channels")
                     .arg(m_entry.description)
                     .arg(m_stream->inputSpan()));
        return ASE_InvalidMode;
    }
    const Setup in = captureSetup(channels);
    if (!in.ok) {
        setError(QStringLiteral("%1 does not run at %2 Hz").arg(m_entry.description).arg(m_rate));
        return ASE_NoClock;
    }
    const long periodFrames = m_stream->bufferSize() / in.samplesPerFrame(isDsd());
    QString why;
    const int err = m_capture.configure(in.format, channels, in.frameRate,
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
    const AlsaStream::Direction capture = direction(m_capture, in, channels);

    AlsaStream::Direction playback;
    playback.pcm = nullptr;
    const Setup out = playbackSetup();
    if (out.ok) {
        // The inputs matter more than monitoring: where the outputs cannot run with the
        // inputs' period, the recorder records without them.
        if (m_stream->bufferSize() / out.samplesPerFrame(isDsd()) != periodFrames)
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
    if (!stream()->start(capture, playback, periodFrames, m_rate, &error)) {
        setError(QString::fromStdString(error));
        return ASE_HWMalfunction;
    }
    DiagnosticSink::line("%s: capture of %u channels as %s%s at %u frames/s, playback %s%s",
                         m_entry.captureDevice.constData(), channels, in.dop ? "DoP in " : "",
                         snd_pcm_format_name(in.format), in.frameRate,
                         playback.pcm && out.dop ? "DoP in " : "",
                         playback.pcm ? snd_pcm_format_name(out.format) : "off");
    m_errorMessage[0] = '\0';
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
    const Setup in = captureSetup(m_captureChannels);
    snd_pcm_uframes_t lo = 0, hi = 0;
    if (!in.ok || !m_capture.periodRange(in.format, m_captureChannels, in.frameRate, &lo, &hi)) {
        setError(QStringLiteral("%1 reports no period sizes at %2 Hz")
                     .arg(m_entry.description)
                     .arg(m_rate));
        return ASE_NotPresent;
    }
    const Setup out = playbackSetup();
    snd_pcm_uframes_t outLo = 0, outHi = 0;
    if (out.ok && out.samplesPerFrame(isDsd()) == in.samplesPerFrame(isDsd()) &&
        m_playback.periodRange(out.format, m_playbackChannels, out.frameRate, &outLo, &outHi) &&
        qMax(lo, outLo) <= qMin(hi, outHi)) {
        lo = qMax(lo, outLo); // a size that also suits the outputs, where there is one
        hi = qMin(hi, outHi);
    }
    const long k = in.samplesPerFrame(isDsd());
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
    if (isRunning() && !m_formats.knows(sampleRate))
        return ASE_NoClock;
    return m_formats.takes(sampleRate) ? ASE_OK : ASE_NoClock;
}
