#include "alsastream.h"

#include "diagnosticsink.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

const int kPollTimeoutMs = 1000;
const int kStalledPolls = 5; // this many silent seconds and the device counts as gone
const int kRealtimePriority = 70;

bool isXrun(long err)
{
    return err == -EPIPE || err == -ESTRPIPE;
}

} // namespace

AlsaStream::AlsaStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                       const ASIOCallbacks& callbacks, bool useTimeInfo, std::string deviceName)
    : HalfBufferStream(infos, count, bufferSize, dsd, callbacks, useTimeInfo, std::move(deviceName))
{
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

AlsaStream::~AlsaStream()
{
    joinThread(); // before the eventfd it polls goes
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

std::string AlsaStream::lostReason() const
{
    std::lock_guard<std::mutex> lock(m_positionMutex);
    return m_lostReason;
}

bool AlsaStream::start(const Direction& capture, const Direction& playback, long periodFrames,
                       double rate, std::string* error)
{
    if (m_state == State::Running)
        return true;
    joinThread(); // a thread that ended after the device was lost
    if (!capture.pcm || m_wakeFd < 0 || periodFrames < 1) {
        *error = "no capture device";
        return false;
    }
    m_capture = capture;
    m_playback = playback;
    m_periodFrames = periodFrames;
    m_rate = rate;
    m_captureBuffer.assign(size_t(periodFrames * capture.hwChannels * capture.wordBytes), 0);
    if (playback.pcm)
        m_playbackBuffer.assign(size_t(periodFrames * playback.hwChannels * playback.wordBytes),
                                uint8_t(playback.silence));
    // The driver opens DoP only on a card whose markers it has seen.
    m_dopChecker = AlsaDop::Checker();
    m_dopChecker.locked = true;
    m_dopMarker = 0;

    const int count = snd_pcm_poll_descriptors_count(capture.pcm);
    if (count < 1) {
        *error = "the capture device gives nothing to wait on";
        return false;
    }
    m_pollFds.assign(size_t(count + 1), pollfd{});
    if (snd_pcm_poll_descriptors(capture.pcm, m_pollFds.data(), unsigned(count)) != count) {
        *error = "the capture device's poll descriptors cannot be read";
        return false;
    }
    m_pollFds[size_t(count)] = pollfd{m_wakeFd, POLLIN, 0};
    uint64_t drained = 0;
    while (read(m_wakeFd, &drained, sizeof drained) == ssize_t(sizeof drained)) {
    }

    {
        std::lock_guard<std::mutex> lock(m_positionMutex);
        m_lostReason.clear();
    }
    prefillPlayback();
    const int err = snd_pcm_start(capture.pcm);
    if (err < 0) {
        *error = std::string("capture does not start: ") + snd_strerror(err);
        if (playback.pcm)
            snd_pcm_drop(playback.pcm);
        return false;
    }
    launch();
    return true;
}

void AlsaStream::wake()
{
    const uint64_t one = 1;
    if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof one) < 0) {
        // The counter is full, so a wake-up is pending already.
    }
}

void AlsaStream::halt()
{
    if (m_capture.pcm)
        snd_pcm_drop(m_capture.pcm);
    if (m_playback.pcm)
        snd_pcm_drop(m_playback.pcm);
}

void AlsaStream::setRealtimePriority()
{
    // Where the process may not use SCHED_FIFO the thread simply keeps its normal priority.
    const int highest = sched_get_priority_max(SCHED_FIFO);
    if (highest < 1)
        return;
    sched_param param{};
    param.sched_priority = std::min(kRealtimePriority, highest);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void AlsaStream::lose(const std::string& reason)
{
    {
        std::lock_guard<std::mutex> lock(m_positionMutex);
        m_lostReason = reason;
    }
    DiagnosticSink::line("%s: %s", m_deviceName.c_str(), reason.c_str());
    signalLost();
}

bool AlsaStream::recover(snd_pcm_t* pcm, int err, bool playback)
{
    const unsigned long count = ++m_xruns;
    int r = snd_pcm_recover(pcm, err, 1);
    if (r == 0) {
        if (playback)
            prefillPlayback();
        else
            r = snd_pcm_start(pcm);
    }
    if (r < 0) {
        lose(std::string("device unplugged: recovery from ") + (playback ? "underrun" : "overrun") +
             " failed: " + snd_strerror(r));
        return false;
    }
    DiagnosticSink::line("%s: %s recovered (%lu so far)", m_deviceName.c_str(),
                         playback ? "playback underrun" : "capture overrun", count);
    if (m_callbacks.asioMessage)
        m_callbacks.asioMessage(kAsioResyncRequest, 0, nullptr, nullptr);
    return true;
}

void AlsaStream::fillPlaybackSilence()
{
    if (!m_playback.dop) {
        std::fill(m_playbackBuffer.begin(), m_playbackBuffer.end(), uint8_t(m_playback.silence));
        return;
    }
    AlsaDop::fillIdle(m_playback.pcmLayout, m_periodFrames,
                      m_playback.hwChannels * m_playback.wordBytes, m_playback.hwChannels,
                      m_dopMarker, m_playbackBuffer.data());
    m_dopMarker = int((m_dopMarker + m_periodFrames) & 1);
}

void AlsaStream::prefillPlayback()
{
    if (!m_playback.pcm)
        return;
    for (int i = 0; i < 2; ++i) {
        fillPlaybackSilence();
        snd_pcm_writei(m_playback.pcm, m_playbackBuffer.data(), snd_pcm_uframes_t(m_periodFrames));
    }
    snd_pcm_start(m_playback.pcm);
}

// Reads what the card has; false when the device is gone.
bool AlsaStream::readPeriod(long* filled)
{
    const int frameBytes = m_capture.hwChannels * m_capture.wordBytes;
    while (*filled < m_periodFrames) {
        const snd_pcm_sframes_t n =
            snd_pcm_readi(m_capture.pcm, m_captureBuffer.data() + *filled * frameBytes,
                          snd_pcm_uframes_t(m_periodFrames - *filled));
        if (n > 0) {
            *filled += long(n);
        } else if (n == -EAGAIN || n == 0) {
            return true;
        } else if (isXrun(long(n))) {
            // What was read before the overrun is kept: it is the card's data up to the gap.
            return recover(m_capture.pcm, int(n), false);
        } else {
            lose(std::string("device unplugged: ") + snd_strerror(int(n)));
            return false;
        }
    }
    return true;
}

void AlsaStream::checkDop()
{
    const unsigned lost = AlsaDop::check(m_capture.pcmLayout, m_captureBuffer.data(),
                                         m_periodFrames, m_capture.hwChannels * m_capture.wordBytes,
                                         m_capture.hwChannels, &m_dopChecker);
    for (unsigned i = 0; i < lost; ++i) {
        if (++m_dopLosses == 1)
            DiagnosticSink::line("%s: DoP markers lost: the card sends plain PCM; DSD silence is "
                                 "recorded until they are back",
                                 m_deviceName.c_str());
        if (m_callbacks.asioMessage)
            m_callbacks.asioMessage(kAsioResyncRequest, 0, nullptr, nullptr);
    }
}

void AlsaStream::splitInputs(long half)
{
    const int frameBytes = m_capture.hwChannels * m_capture.wordBytes;
    if (m_capture.dop)
        checkDop();
    for (Channel& c : m_channels) {
        if (!c.input || c.number >= m_capture.hwChannels)
            continue;
        uint8_t* out = c.halves[half].data();
        if (m_capture.dop) {
            AlsaDop::extract(m_capture.pcmLayout, m_captureBuffer.data(), m_periodFrames,
                             frameBytes, int(c.number), out);
        } else if (m_dsd) {
            AlsaDsdReorder::extract(m_capture.layout, m_captureBuffer.data(), m_periodFrames,
                                    frameBytes, int(c.number), out);
        } else {
            AlsaPcmConvert::extract(m_capture.pcmLayout, m_captureBuffer.data(), m_periodFrames,
                                    frameBytes, int(c.number), out);
        }
    }
}

void AlsaStream::joinOutputs(long half)
{
    const int frameBytes = m_playback.hwChannels * m_playback.wordBytes;
    const int marker = m_dopMarker;
    fillPlaybackSilence();
    for (const Channel& c : m_channels) {
        if (c.input || c.number >= m_playback.hwChannels)
            continue;
        const uint8_t* in = c.halves[half].data();
        if (m_playback.dop) {
            AlsaDop::insert(m_playback.pcmLayout, in, m_periodFrames, frameBytes, int(c.number),
                            marker, m_playbackBuffer.data());
        } else if (m_dsd) {
            AlsaDsdReorder::insert(m_playback.layout, in, m_periodFrames, frameBytes, int(c.number),
                                   m_playbackBuffer.data());
        } else {
            AlsaPcmConvert::insert(m_playback.pcmLayout, in, m_periodFrames, frameBytes,
                                   int(c.number), m_playbackBuffer.data());
        }
    }
}

void AlsaStream::writeOutputs(long half)
{
    if (!m_playback.pcm)
        return;
    joinOutputs(half);
    const snd_pcm_sframes_t n =
        snd_pcm_writei(m_playback.pcm, m_playbackBuffer.data(), snd_pcm_uframes_t(m_periodFrames));
    if (n >= 0 || n == -EAGAIN)
        return; // a full playback buffer drops this period rather than block the inputs
    if (isXrun(long(n)))
        recover(m_playback.pcm, int(n), true);
    else
        lose(std::string("device unplugged: playback: ") + snd_strerror(int(n)));
}

void AlsaStream::run()
{
    setRealtimePriority();
    const unsigned captureFds = unsigned(m_pollFds.size() - 1);
    uint64_t n = 0;
    long filled = 0;
    int silentPolls = 0;
    while (!m_stopRequested) {
        const int ready = poll(m_pollFds.data(), nfds_t(m_pollFds.size()), kPollTimeoutMs);
        if (m_stopRequested)
            return;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            lose(std::string("device unplugged: poll failed: ") + strerror(errno));
            return;
        }
        if (ready == 0) {
            if (++silentPolls >= kStalledPolls) {
                lose("device unplugged: no data for 5 s");
                return;
            }
            continue;
        }
        unsigned short revents = 0;
        const int err =
            snd_pcm_poll_descriptors_revents(m_capture.pcm, m_pollFds.data(), captureFds, &revents);
        if (err < 0) {
            lose(std::string("device unplugged: ") + snd_strerror(err));
            return;
        }
        if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
            // Bring the state up to date first: a plugin learns of the fault only when asked
            // for its position.
            const snd_pcm_sframes_t avail = snd_pcm_avail_update(m_capture.pcm);
            if (isXrun(long(avail))) {
                if (!recover(m_capture.pcm, int(avail), false))
                    return;
                continue;
            }
            const snd_pcm_state_t state = snd_pcm_state(m_capture.pcm);
            if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED) {
                if (!recover(m_capture.pcm, state == SND_PCM_STATE_XRUN ? -EPIPE : -ESTRPIPE,
                             false))
                    return;
                continue;
            }
            lose(std::string("device unplugged: the card reports ") +
                 (revents & POLLHUP ? "a hang-up" : "an error") + " (state " +
                 snd_pcm_state_name(state) + ")");
            return;
        }
        if (!(revents & POLLIN))
            continue;
        silentPolls = 0;
        if (!readPeriod(&filled))
            return;
        if (filled < m_periodFrames)
            continue;
        filled = 0;
        const long half = long(n % 2);
        splitInputs(half);
        deliver(n, monotonicNs(), ASIOTrue);
        ++n;
        // A host that released the driver inside the switch has closed the PCMs: do not
        // touch them again.
        if (m_stopRequested || m_state == State::Lost)
            return;
        writeOutputs(half);
        if (m_state == State::Lost)
            return;
    }
}
