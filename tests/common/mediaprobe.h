#ifndef TESSARO_MEDIAPROBE_H
#define TESSARO_MEDIAPROBE_H

#include <QMap>
#include <QString>
#include <QVector>

// What ffprobe and ffmpeg, standard tools independent of our code, make of a recorded file.
struct MediaInfo
{
    QString formatName;
    int channels = 0;
    double duration = 0.0;
    QMap<QString, QString> tags; // the container's metadata, as -show_format gives it
};

class MediaProbe
{
public:
    static MediaInfo probe(const QString& path);
    // Decodes to 32-bit float, one vector per channel; DSD is converted to outputRate Hz.
    static QVector<QVector<float>> decode(const QString& path, int outputRate = 0);
    // The frequency (Hz) with the strongest response among 10 Hz steps from 100 to 20000 Hz.
    static double dominantFrequency(const QVector<float>& samples, int sampleRate);
};

#endif
