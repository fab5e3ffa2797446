#ifndef TESSARO_SIMULATEDSIGNAL_H
#define TESSARO_SIMULATEDSIGNAL_H

#include "simulateddriver.h"

#include <cstdint>
#include <vector>

// The input signal of one simulated channel (see SimulatedDriver for its definition). The tone
// is read from a table of one whole number of periods, computed by prepare, so filling a
// buffer allocates nothing and calls no trigonometry. A DSD tone is modulated once per gain
// over that table and then replayed, so it costs a copy per buffer.
//
// Threads: prepare on the GUI thread before the stream starts; fill and startBurst on the
// device thread. The tone's gain (SimulatedDriver::toneGain) is read once per fill.
class SimulatedSignal
{
public:
    static constexpr int kOrder = 5; // of the DSD modulator

    void prepare(SimulatedDriver::Signal signal, bool dsd, double rate, long channel);
    // Writes the next `samples` samples (PCM: 4 bytes each; DSD: samples / 8 bytes).
    void fill(unsigned char* data, long samples);
    // The next `samples` samples (rounded up to whole DSD bytes) are at full scale.
    void startBurst(long samples);

private:
    void fillPcmTone(unsigned char* data, long samples);
    void fillPcmPattern(unsigned char* data, long samples);
    void fillDsdTone(unsigned char* data, long samples);
    void fillDsdPattern(unsigned char* data, long samples);
    bool modulate(float x);
    void modulateTable();
    long fillBurst(unsigned char* data, long samples);

    SimulatedDriver::Signal m_signal = SimulatedDriver::Signal::Tone;
    bool m_dsd = false;
    long m_channel = 0;
    std::vector<int32_t> m_pcmTable;
    std::vector<float> m_dsdTable;
    std::vector<uint8_t> m_dsdBits; // the table modulated at m_bitsGain
    double m_bitsGain = 0.0;
    size_t m_phase = 0;
    uint64_t m_position = 0;
    long m_burstLeft = 0;
    double m_gain = 1.0;
    double m_feedback[kOrder] = {}; // the modulator's noise feedback, transposed
};

#endif
