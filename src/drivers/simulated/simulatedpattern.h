#ifndef TESSARO_SIMULATEDPATTERN_H
#define TESSARO_SIMULATEDPATTERN_H

#include <QString>
#include <cstdint>
#include <vector>

// A programme for the simulated device's tones: "silence:2,tone:3,silence:1.5,tone:4" lets the
// tone through for 3 s after 2 s of silence, and so on, in seconds from the start of the
// stream, repeated for ever. Hands-free capture (a level-triggered start, a stop after silence,
// a new track at every gap) can so be tried without a player at the inputs. Silence is digital
// silence: PCM words of 0, DSD bytes of the idle pattern 0x69, which carries nothing in the
// audio band. The tone runs on underneath, so its phase after a gap is the one a continuous
// tone would have there; DSD is gated in whole bytes.
//
// Threads: parse and prepare on the GUI thread before the stream starts; gate on the device
// thread, reading only what prepare left.
class SimulatedPattern
{
public:
    static constexpr const char* kVariable = "TESSARO_SIMULATED_PATTERN";
    static constexpr unsigned char kDsdSilence = 0x69;

    // False, with the reason, when text is not a programme; an empty text is none.
    bool parse(const QString& text, QString* problem);
    // The programme of the environment variable; one that cannot be read is reported on
    // standard error and leaves the tone ungated.
    void readEnvironment();
    // Converts the steps to samples at the rate.
    void prepare(double rate);
    bool isActive() const { return m_periodSamples > 0; }
    // Silences the samples of data (PCM: 4 bytes each, DSD: 8 to a byte) that the programme
    // has in silence; first is the index of data's first sample since the start of the stream.
    void gate(unsigned char* data, long samples, uint64_t first, bool dsd) const;
    // Whether the sample at that index since the start is in a tone step.
    bool isTone(uint64_t sample) const;

private:
    struct Step
    {
        bool tone = false;
        double seconds = 0.0;
        uint64_t end = 0; // the sample after the step, counted from the period's start
    };

    std::vector<Step> m_steps;
    uint64_t m_periodSamples = 0;
};

#endif
