#include "devicelist.h"

#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiorates.h"

#include <algorithm>

namespace {}

QStringList DeviceList::describe(const QStringList& driverNames, const QString& remembered)
{
    QStringList lines;
    for (const QString& name : driverNames) {
        const QString mark = name == remembered ? tr(" (remembered)") : QString();
        lines << QStringLiteral("%1%2: %3").arg(name, mark, describeDriver(name));
    }
    if (!remembered.isEmpty() && !driverNames.contains(remembered))
        lines << tr("%1 (remembered): not present").arg(remembered);
    return lines;
}

QString DeviceList::rateText(double rate)
{
    if (rate >= AudioRates::kDsdBase)
        return tr("%1 (DSD %2x)").arg(qint64(rate)).arg(int(rate / AudioRates::kDsdBase));
    return QString::number(qint64(rate));
}

QString DeviceList::inputsText(long count)
{
    return count == 1 ? tr("1 input") : tr("%1 inputs").arg(count);
}

QString DeviceList::describeDriver(const QString& name)
{
    const QByteArray latin = name.toLatin1();
    if (!loadAsioDriver(latin.constData()))
        return tr("cannot be loaded");
    ASIODriverInfo info{};
    info.asioVersion = 2;
    if (ASIOInit(&info) != ASE_OK) {
        ASIOExit();
        return tr("not available (%1)").arg(QString::fromLocal8Bit(info.errorMessage));
    }
    long inputs = 0, outputs = 0;
    ASIOGetChannels(&inputs, &outputs);
    // A driver may accept the rates of one mode only while it is in that mode.
    QList<double> rates = acceptedRates(kASIOPCMFormat);
    for (double r : acceptedRates(kASIODSDFormat)) {
        if (!rates.contains(r))
            rates << r;
    }
    ASIOExit();
    std::sort(rates.begin(), rates.end());
    QStringList texts;
    for (double r : qAsConst(rates))
        texts << rateText(r);
    return tr("%1; %2").arg(inputsText(inputs), texts.isEmpty() ? tr("no rate accepted")
                                                                : texts.join(QStringLiteral(", ")));
}

QList<double> DeviceList::acceptedRates(int ioFormat)
{
    ASIOIoFormat format{};
    format.FormatType = ioFormat;
    ASIOFuture(kAsioSetIoFormat, &format);
    QList<double> rates;
    for (const QString& text : sampleRateCandidates()) {
        bool ok = false;
        const double rate = text.toDouble(&ok);
        if (ok)
            rates << rate;
    }
    return rates;
}
