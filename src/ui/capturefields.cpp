#include "capturefields.h"

#include <QDoubleSpinBox>

namespace {

struct Look
{
    const char* label;
    const char* unit;
    const char* zero; // what 0 means, where it means more than the number
};

// In the order of CaptureSettings::fields().
const Look kLooks[] = {
    {QT_TRANSLATE_NOOP("CaptureFields", "Pre-record"), "s",
     QT_TRANSLATE_NOOP("CaptureFields", "off")},
    {QT_TRANSLATE_NOOP("CaptureFields", "Start level"), "dB",
     QT_TRANSLATE_NOOP("CaptureFields", "off")},
    {QT_TRANSLATE_NOOP("CaptureFields", "Silence level"), "dB", nullptr},
    {QT_TRANSLATE_NOOP("CaptureFields", "Stop after"), "s",
     QT_TRANSLATE_NOOP("CaptureFields", "off")},
    {QT_TRANSLATE_NOOP("CaptureFields", "Split after"), "s",
     QT_TRANSLATE_NOOP("CaptureFields", "off")},
    {QT_TRANSLATE_NOOP("CaptureFields", "Min. track"), "s",
     QT_TRANSLATE_NOOP("CaptureFields", "none")},
};
static_assert(sizeof kLooks / sizeof kLooks[0] == 6, "a look for every field");

// "12.5 s", "-40.0 dB", or the word for 0 where 0 switches the choice off; a level's 0 is the
// top of its range, where the spin box's own special value (its minimum) cannot serve.
class CaptureSpinBox : public QDoubleSpinBox
{
public:
    CaptureSpinBox(const QString& unit, const QString& zero, QWidget* parent)
        : QDoubleSpinBox(parent), unit(QLatin1Char(' ') + unit), zero(zero)
    {}

    QString textFromValue(double value) const override
    {
        return value == 0.0 && !zero.isEmpty() ? zero : QDoubleSpinBox::textFromValue(value) + unit;
    }
    double valueFromText(const QString& text) const override
    {
        const QString number = bare(text);
        return !zero.isEmpty() && number == zero ? 0.0 : QDoubleSpinBox::valueFromText(number);
    }
    QValidator::State validate(QString& text, int& pos) const override
    {
        QString number = bare(text);
        if (!zero.isEmpty() && zero.startsWith(number) && !number.isEmpty())
            return number == zero ? QValidator::Acceptable : QValidator::Intermediate;
        return QDoubleSpinBox::validate(number, pos);
    }

private:
    QString bare(QString text) const { return text.remove(unit).trimmed(); }

    QString unit;
    QString zero;
};

} // namespace

CaptureFields::CaptureFields(QWidget* parent)
{
    const auto& fields = CaptureSettings::fields();
    for (size_t i = 0; i < fields.size(); ++i) {
        const Look& look = kLooks[i];
        auto* box = new CaptureSpinBox(QLatin1String(look.unit),
                                       look.zero ? tr(look.zero) : QString(), parent);
        box->setObjectName(QStringLiteral("capture_%1").arg(QLatin1String(fields[i].key)));
        box->setDecimals(1);
        // The silence level has no "off": its 0 would only stand for the default.
        box->setRange(fields[i].minimum, look.zero ? fields[i].maximum : -1.0);
        m_rows << qMakePair(tr(look.label), static_cast<QDoubleSpinBox*>(box));
    }
    setSettings(CaptureSettings());
}

CaptureSettings CaptureFields::settings() const
{
    CaptureSettings settings;
    const auto& fields = CaptureSettings::fields();
    for (int i = 0; i < m_rows.size(); ++i)
        settings.set(fields[size_t(i)], m_rows[i].second->value());
    return settings;
}

void CaptureFields::setSettings(const CaptureSettings& settings)
{
    const auto& fields = CaptureSettings::fields();
    for (int i = 0; i < m_rows.size(); ++i)
        m_rows[i].second->setValue(settings.*(fields[size_t(i)].value));
}
