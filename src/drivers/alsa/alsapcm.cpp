#include "alsapcm.h"

#include "alsadop.h"

#include <QElapsedTimer>
#include <vector>

namespace {

// About 46 ms at DSD 1x; a converter sending DoP shows its markers from the first frames.
const long kDopProbeFrames = 8192;
const int kDopProbeMs = 1000;

} // namespace

AlsaPcm::~AlsaPcm()
{
    close();
}

int AlsaPcm::open(const QByteArray& name, snd_pcm_stream_t stream)
{
    close();
    return snd_pcm_open(&m_pcm, name.constData(), stream, SND_PCM_NONBLOCK);
}

void AlsaPcm::close()
{
    if (m_pcm)
        snd_pcm_close(m_pcm);
    m_pcm = nullptr;
}

unsigned AlsaPcm::channels() const
{
    if (!m_pcm)
        return 0;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    if (snd_pcm_hw_params_any(m_pcm, params) < 0)
        return 0;
    if (snd_pcm_hw_params_test_channels(m_pcm, params, 2) == 0)
        return 2;
    unsigned minimum = 0;
    if (snd_pcm_hw_params_get_channels_min(params, &minimum) < 0)
        return 0;
    return minimum;
}

unsigned AlsaPcm::maxChannels() const
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    unsigned maximum = 0;
    if (!m_pcm || snd_pcm_hw_params_any(m_pcm, params) < 0 ||
        snd_pcm_hw_params_get_channels_max(params, &maximum) < 0)
        return 0;
    return maximum;
}

// A card may take only some counts between its least and its most (2, 4 and 8, say).
unsigned AlsaPcm::channelsSpanning(unsigned span) const
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    if (!m_pcm || snd_pcm_hw_params_any(m_pcm, params) < 0)
        return 0;
    const unsigned most = maxChannels();
    for (unsigned n = qMax(span, channels()); n > 0 && n <= most; ++n) {
        if (snd_pcm_hw_params_test_channels(m_pcm, params, n) == 0)
            return n;
    }
    return 0;
}

bool AlsaPcm::refine(snd_pcm_hw_params_t* params, snd_pcm_format_t format, unsigned channels,
                     unsigned rate) const
{
    unsigned periods = 2;
    return m_pcm && snd_pcm_hw_params_any(m_pcm, params) >= 0 &&
           snd_pcm_hw_params_set_access(m_pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) == 0 &&
           snd_pcm_hw_params_set_format(m_pcm, params, format) == 0 &&
           snd_pcm_hw_params_set_channels(m_pcm, params, channels) == 0 &&
           snd_pcm_hw_params_set_rate(m_pcm, params, rate, 0) == 0 &&
           snd_pcm_hw_params_set_periods_min(m_pcm, params, &periods, nullptr) == 0;
}

bool AlsaPcm::supports(snd_pcm_format_t format, unsigned channels, unsigned rate) const
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    return refine(params, format, channels, rate);
}

bool AlsaPcm::periodRange(snd_pcm_format_t format, unsigned channels, unsigned rate,
                          snd_pcm_uframes_t* minFrames, snd_pcm_uframes_t* maxFrames) const
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    if (!refine(params, format, channels, rate))
        return false;
    int dir = 0;
    return snd_pcm_hw_params_get_period_size_min(params, minFrames, &dir) == 0 &&
           snd_pcm_hw_params_get_period_size_max(params, maxFrames, &dir) == 0;
}

int AlsaPcm::configure(snd_pcm_format_t format, unsigned channels, unsigned rate,
                       snd_pcm_uframes_t period, QString* error)
{
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    const auto fail = [error](const char* what, int code) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                                  QString::fromLocal8Bit(snd_strerror(code)));
        return code < 0 ? code : -EINVAL;
    };
    if (!m_pcm)
        return fail("device not open", -ENODEV);
    snd_pcm_drop(m_pcm);
    int err = snd_pcm_hw_params_any(m_pcm, params);
    if (err < 0)
        return fail("no hardware parameters", err);
    if ((err = snd_pcm_hw_params_set_access(m_pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
        return fail("interleaved access refused", err);
    if ((err = snd_pcm_hw_params_set_format(m_pcm, params, format)) < 0)
        return fail(snd_pcm_format_name(format), err);
    if ((err = snd_pcm_hw_params_set_channels(m_pcm, params, channels)) < 0)
        return fail("channel count refused", err);
    if ((err = snd_pcm_hw_params_set_rate(m_pcm, params, rate, 0)) < 0)
        return fail("rate refused", err);
    if ((err = snd_pcm_hw_params_set_period_size(m_pcm, params, period, 0)) < 0)
        return fail("period size refused", err);
    // Two periods are the least a double buffer needs; more give slack where the card
    // allows it without a larger period.
    unsigned periods = 4;
    if ((err = snd_pcm_hw_params_set_periods_near(m_pcm, params, &periods, nullptr)) < 0 ||
        periods < 2)
        return fail("fewer than 2 periods", err);
    if ((err = snd_pcm_hw_params(m_pcm, params)) < 0)
        return fail("hardware parameters refused", err);

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_uframes_t boundary = 0;
    if ((err = snd_pcm_sw_params_current(m_pcm, sw)) < 0 ||
        (err = snd_pcm_sw_params_get_boundary(sw, &boundary)) < 0 ||
        (err = snd_pcm_sw_params_set_start_threshold(m_pcm, sw, boundary)) < 0 ||
        (err = snd_pcm_sw_params_set_avail_min(m_pcm, sw, period)) < 0 ||
        (err = snd_pcm_sw_params(m_pcm, sw)) < 0)
        return fail("software parameters refused", err);
    if ((err = snd_pcm_prepare(m_pcm)) < 0)
        return fail("prepare failed", err);
    return 0;
}

bool AlsaPcm::carriesDop(AlsaPcmConvert::Layout layout, unsigned channels, unsigned rate)
{
    const snd_pcm_format_t format = AlsaPcmConvert::format(layout);
    snd_pcm_uframes_t lo = 0, hi = 0;
    if (!periodRange(format, channels, rate, &lo, &hi))
        return false;
    const snd_pcm_uframes_t period = qBound(lo, snd_pcm_uframes_t(1024), hi);
    if (configure(format, channels, rate, period, nullptr) < 0)
        return false;
    const int frameBytes = int(channels) * AlsaPcmConvert::wordBytes(layout);
    std::vector<uint8_t> frames(size_t(period) * size_t(frameBytes));
    AlsaDop::Checker checker;
    long seen = 0;
    QElapsedTimer clock;
    clock.start();
    int err = snd_pcm_start(m_pcm);
    while (err >= 0 && !checker.locked && seen < kDopProbeFrames && clock.elapsed() < kDopProbeMs) {
        snd_pcm_wait(m_pcm, 100);
        const snd_pcm_sframes_t n = snd_pcm_readi(m_pcm, frames.data(), period);
        if (n == -EAGAIN)
            continue;
        if (n < 0) {
            err = snd_pcm_recover(m_pcm, int(n), 1);
            if (err >= 0)
                err = snd_pcm_start(m_pcm);
            continue;
        }
        AlsaDop::check(layout, frames.data(), long(n), frameBytes, int(channels), &checker);
        seen += long(n);
    }
    snd_pcm_drop(m_pcm);
    return checker.locked;
}
