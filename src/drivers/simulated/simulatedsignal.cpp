#include "simulatedsignal.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <numeric>

namespace {

// Samples of the shortest run that holds a whole number of periods of frequency at rate.
size_t periodLength(double rate, double frequency)
{
    const uint64_t r = uint64_t(std::llround(rate));
    const uint64_t f = uint64_t(std::llround(frequency));
    return size_t(r / std::gcd(r, f));
}

// The modulator's noise transfer (1 - z^-1)^5 / A(z), as a converter's modulator shapes it: A
// holds the poles of a fifth-order Butterworth high-pass, placed so that the gain at the highest
// frequencies is 1.5. Up to 20 kHz the noise comes to about -110 dB of full scale at DSD 1x,
// and tones up to -5 dBFS keep the loop stable. kNoiseFeedback[k - 1] = {b_k, a_k}.
const double kNoiseFeedback[SimulatedSignal::kOrder][2] = {
    {-5.0, -4.1922821511385058}, {10.0, 7.0857914157082877},   {-10.0, -6.0296073835111077},
    {5.0, 2.5812079389633515},   {-1.0, -0.44444444401209626},
};

// A stable loop keeps the quantiser's input below 1.4 at -6 dBFS; an overloaded one is reset,
// as converters do, instead of running away.
const double kOverload = 4.0;

} // namespace

void SimulatedSignal::prepare(SimulatedDriver::Signal signal, bool dsd, double rate, long channel)
{
    m_signal = signal;
    m_dsd = dsd;
    m_channel = channel;
    m_phase = 0;
    m_position = 0;
    std::fill(std::begin(m_feedback), std::end(m_feedback), 0.0);
    m_burstLeft = 0;
    m_pcmTable.clear();
    m_dsdTable.clear();
    if (signal != SimulatedDriver::Signal::Tone)
        return;
    const double frequency = SimulatedDriver::kToneHz[channel % SimulatedDriver::kInputChannels];
    size_t length = periodLength(rate, frequency);
    if (dsd) {
        // Whole bytes: as many periods as make the length a multiple of 8 samples.
        length *= 8 / std::gcd(length, size_t(8));
        m_dsdBits.assign(length / 8, 0);
        m_bitsGain = std::nan("");
    }
    const double step = 2.0 * M_PI * frequency / rate;
    for (size_t i = 0; i < length; ++i) {
        const double x = SimulatedDriver::kToneAmplitude * std::sin(step * double(i));
        if (dsd)
            m_dsdTable.push_back(float(x));
        else
            m_pcmTable.push_back(int32_t(std::lround(x * 2147483647.0)));
    }
}

void SimulatedSignal::fill(unsigned char* data, long samples)
{
    if (!data || samples <= 0)
        return;
    m_gain = SimulatedDriver::toneGain();
    const long burst = fillBurst(data, samples);
    m_position += uint64_t(burst);
    data += m_dsd ? burst / 8 : burst * 4;
    samples -= burst;
    const bool tone = m_signal == SimulatedDriver::Signal::Tone;
    if (m_dsd)
        tone ? fillDsdTone(data, samples) : fillDsdPattern(data, samples);
    else
        tone ? fillPcmTone(data, samples) : fillPcmPattern(data, samples);
    m_position += uint64_t(samples);
}

void SimulatedSignal::startBurst(long samples)
{
    m_burstLeft = m_dsd ? (samples + 7) / 8 * 8 : samples;
}

// Writes what is left of a burst, at most `samples`; returns the samples written.
long SimulatedSignal::fillBurst(unsigned char* data, long samples)
{
    const long n = std::min(samples, m_burstLeft);
    m_burstLeft -= n;
    if (m_dsd) {
        std::fill(data, data + n / 8, uint8_t(0xff));
        return n;
    }
    for (long i = 0; i < n; ++i) {
        const uint32_t v = uint32_t(INT32_MAX);
        for (int b = 0; b < 4; ++b)
            *data++ = uint8_t(v >> (8 * b));
    }
    return n;
}

void SimulatedSignal::fillPcmTone(unsigned char* data, long samples)
{
    const double limit = 2147483647.0;
    for (long i = 0; i < samples; ++i) {
        const double x = std::clamp(std::round(m_pcmTable[m_phase] * m_gain), -limit - 1, limit);
        const uint32_t v = uint32_t(int32_t(x));
        m_phase = m_phase + 1 == m_pcmTable.size() ? 0 : m_phase + 1;
        for (int b = 0; b < 4; ++b)
            *data++ = uint8_t(v >> (8 * b));
    }
}

void SimulatedSignal::fillPcmPattern(unsigned char* data, long samples)
{
    for (long i = 0; i < samples; ++i) {
        const uint32_t v = SimulatedDriver::patternWord(m_channel, m_position + uint64_t(i));
        for (int b = 0; b < 4; ++b)
            *data++ = uint8_t(v >> (8 * b));
    }
}

// Error feedback: with q = y - v the quantisation error and r = y - x the noise the output
// carries, y = x + NTF q when v = x + sum over k of (b_k q[n-k] - a_k r[n-k]). The sum is kept in
// transposed form, so one sample waits on one multiply-add, not on ten.
bool SimulatedSignal::modulate(float x)
{
    const double v = double(x) + m_feedback[0];
    const bool one = v >= 0.0;
    const double y = one ? 1.0 : -1.0;
    const double q = y - v;
    const double r = y - double(x);
    for (int k = 0; k < kOrder; ++k) {
        const double later = k + 1 < kOrder ? m_feedback[k + 1] : 0.0;
        m_feedback[k] = later + kNoiseFeedback[k][0] * q - kNoiseFeedback[k][1] * r;
    }
    if (std::abs(v) > kOverload)
        std::fill(std::begin(m_feedback), std::end(m_feedback), 0.0);
    return one;
}

// The modulated bits of the tone's table are replayed; they are made again only when the gain
// changes. A burst leaves the replay position where it was, as it leaves the tone's phase.
void SimulatedSignal::fillDsdTone(unsigned char* data, long samples)
{
    if (m_gain != m_bitsGain)
        modulateTable();
    const size_t length = m_dsdBits.size();
    size_t at = m_phase / 8;
    for (size_t left = size_t(samples / 8); left > 0;) {
        const size_t run = std::min(left, length - at);
        std::memcpy(data, m_dsdBits.data() + at, run);
        data += run;
        left -= run;
        at = at + run == length ? 0 : at + run;
    }
    m_phase = at * 8;
}

// Two passes over the table: the first lets the modulator settle into the tone at this gain,
// the second is kept, so that its end leads into its own start as a continuous stream would.
void SimulatedSignal::modulateTable()
{
    for (int pass = 0; pass < 2; ++pass) {
        size_t phase = 0;
        for (uint8_t& byte : m_dsdBits) {
            uint8_t bits = 0;
            for (int b = 0; b < 8; ++b)
                bits = uint8_t(bits << 1 | (modulate(float(m_dsdTable[phase++] * m_gain)) ? 1 : 0));
            if (pass == 1)
                byte = bits;
        }
    }
    m_bitsGain = m_gain;
}

void SimulatedSignal::fillDsdPattern(unsigned char* data, long samples)
{
    const uint64_t firstByte = m_position / 8;
    for (long byte = 0; byte < samples / 8; ++byte)
        data[byte] = SimulatedDriver::patternByte(m_channel, firstByte + uint64_t(byte));
}
