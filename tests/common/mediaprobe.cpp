#include "mediaprobe.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cmath>

MediaInfo MediaProbe::probe(const QString& path)
{
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {"-v", "error", "-show_entries",
                   "stream=channels:format=format_name,duration:format_tags", "-of", "json", path});
    MediaInfo info;
    if (!ffprobe.waitForFinished(30000) || ffprobe.exitCode() != 0)
        return info;
    const QJsonObject root = QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
    const QJsonObject format = root.value("format").toObject();
    info.formatName = format.value("format_name").toString();
    info.duration = format.value("duration").toString().toDouble();
    const QJsonObject tags = format.value("tags").toObject();
    for (auto it = tags.begin(); it != tags.end(); ++it)
        info.tags.insert(it.key(), it.value().toString());
    info.channels = root.value("streams").toArray().at(0).toObject().value("channels").toInt();
    return info;
}

QVector<QVector<float>> MediaProbe::decode(const QString& path, int outputRate)
{
    const MediaInfo info = probe(path);
    QStringList args{"-v", "error", "-i", path};
    if (outputRate > 0)
        args << "-ar" << QString::number(outputRate);
    args << "-f"
         << "f32le"
         << "-acodec"
         << "pcm_f32le"
         << "-";
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), args);
    QVector<QVector<float>> channels;
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitCode() != 0 || info.channels <= 0)
        return channels;
    const QByteArray raw = ffmpeg.readAllStandardOutput();
    const auto* samples = reinterpret_cast<const float*>(raw.constData());
    const int count = raw.size() / int(sizeof(float)) / info.channels * info.channels;
    channels.resize(info.channels);
    for (int i = 0; i < count; ++i)
        channels[i % info.channels].append(samples[i]);
    return channels;
}

double MediaProbe::dominantFrequency(const QVector<float>& samples, int sampleRate)
{
    // Goertzel over the middle of the signal, away from any start-up transient.
    const int start = samples.size() / 4;
    const int count = qMin(samples.size() / 2, sampleRate);
    double best = 0.0, bestPower = -1.0;
    for (int f = 100; f <= 20000; f += 10) {
        const double coeff = 2.0 * std::cos(2.0 * M_PI * f / sampleRate);
        double s1 = 0.0, s2 = 0.0;
        for (int i = 0; i < count; ++i) {
            const double s0 = samples[start + i] + coeff * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    return best;
}
