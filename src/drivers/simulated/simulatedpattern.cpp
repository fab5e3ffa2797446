#include "simulatedpattern.h"

#include "diagnosticsink.h"

#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// A step longer than a day is surely a typing error; shorter than a sample cannot be heard.
constexpr double kLongestStepSeconds = 86400.0;

} // namespace

bool SimulatedPattern::parse(const QString& text, QString* problem)
{
    m_steps.clear();
    m_periodSamples = 0;
    if (text.trimmed().isEmpty())
        return true;
    std::vector<Step> steps;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QString kind = item.section(QLatin1Char(':'), 0, 0).trimmed();
        bool ok = false;
        const double seconds = item.section(QLatin1Char(':'), 1).trimmed().toDouble(&ok);
        if ((kind != QLatin1String("tone") && kind != QLatin1String("silence")) || !ok ||
            !(seconds > 0.0 && seconds <= kLongestStepSeconds)) {
            *problem = QStringLiteral("'%1' is not tone:SECONDS or silence:SECONDS (more than 0, "
                                      "at most %2)")
                           .arg(item.trimmed())
                           .arg(kLongestStepSeconds);
            return false;
        }
        steps.push_back(Step{kind == QLatin1String("tone"), seconds, 0});
    }
    m_steps = steps;
    return true;
}

void SimulatedPattern::readEnvironment()
{
    const QString text = qEnvironmentVariable(kVariable);
    QString problem;
    if (!parse(text, &problem))
        DiagnosticSink::line("Halvik Simulated Device: %s=\"%s\": %s; the tone plays throughout",
                             kVariable, qPrintable(text), qPrintable(problem));
}

void SimulatedPattern::prepare(double rate)
{
    double seconds = 0.0;
    for (Step& step : m_steps) {
        seconds += step.seconds;
        step.end = uint64_t(std::llround(seconds * rate));
    }
    m_periodSamples = m_steps.empty() ? 0 : m_steps.back().end;
}

bool SimulatedPattern::isTone(uint64_t sample) const
{
    if (!isActive())
        return true;
    const uint64_t at = sample % m_periodSamples;
    for (const Step& step : m_steps) {
        if (at < step.end)
            return step.tone;
    }
    return true;
}

// Runs of one step at a time; a DSD byte is silent when its first sample is.
void SimulatedPattern::gate(unsigned char* data, long samples, uint64_t first, bool dsd) const
{
    if (!isActive() || !data || samples <= 0)
        return;
    const uint64_t last = first + uint64_t(samples);
    for (uint64_t p = first; p < last;) {
        const uint64_t at = p % m_periodSamples;
        const Step* step = &m_steps.back();
        for (const Step& s : m_steps) {
            if (at < s.end) {
                step = &s;
                break;
            }
        }
        const uint64_t end = std::min(last, p + (step->end - at));
        if (!step->tone) {
            if (dsd) {
                const uint64_t from = (p - first + 7) / 8, to = (end - first + 7) / 8;
                std::memset(data + from, kDsdSilence, size_t(to - from));
            } else {
                std::memset(data + 4 * (p - first), 0, size_t(4 * (end - p)));
            }
        }
        p = end;
    }
}
