#include "appstyle.h"

#include <QCoreApplication>
#include <QPalette>
#include <QWidget>

// Q_INIT_RESOURCE cannot be used inside a namespace.
static void registerPictures()
{
    Q_INIT_RESOURCE(resources);
}

namespace AppStyle {

void registerResources()
{
    static const bool registered = (registerPictures(), true);
    Q_UNUSED(registered);
}

namespace {
QString tr(const char* text)
{
    return QCoreApplication::translate("AppStyle", text);
}
} // namespace

QString styleSheet()
{
    QString sheet;
    sheet += QStringLiteral("QPushButton {background-color: #7D7D7D;");
    sheet += QStringLiteral("color: black;");
    sheet += QStringLiteral("border-width: 1px;");
    sheet += QStringLiteral("border-top: 1px solid #888888;");
    sheet += QStringLiteral("border-left: 1px solid #888888;");
    sheet += QStringLiteral("border-right: 1px solid #888888;");
    sheet += QStringLiteral("border-bottom: 1px solid #888888;");
    sheet += QStringLiteral("border-style: solid;");
    sheet += QStringLiteral("border-radius: 5;");
    sheet += QStringLiteral("padding: 3px;");
    sheet += QStringLiteral("padding-left: 5px;");
    sheet += QStringLiteral("padding-right: 5px;");
    sheet += QStringLiteral("font: 17px;");
    sheet += QStringLiteral("font-weight: normal;");
    sheet += QStringLiteral("}\n");
    sheet += tr("QPushButton:hover{color: white;background-color: #7D7D7D;border-top: 1px solid "
                "#ffffff;border-left: 1px solid #ffffff;border-right: 1px solid "
                "#ffffff;border-bottom: 1px solid #ffffff;}\n");
    sheet += tr("QPushButton:pressed{color: white;background-color: #666666;border-top: 1px solid "
                "#404040;border-left: 1px solid #404040;border-right: 1px solid "
                "#404040;border-bottom: 1px solid #404040;}\n");
    sheet += tr("QPushButton:disabled{color: #7F7F7F;background-color: #999999;border-top: 1px "
                "solid #666666;border-left: 1px solid #666666;border-right: 1px solid "
                "#666666;border-bottom: 1px solid #666666;}\n");
    sheet += tr("QLineEdit{border: 0px solid #7D7D7D;border-radius: 3px;background: "
                "#7D7D7D;selection-background-color: #454545;}\n");
    sheet += tr("QLineEdit:disabled{border: 0px solid #7D7D7D;border-radius: 3px;color: "
                "#ABABAB;background: #7D7D7D;selection-background-color: #454545;}\n");
    sheet += tr("QMessageBox {font: 17px;color: rgb(255,230,230);background-color: "
                "qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 rgb(150,150,150), stop:1 "
                "rgb(100,100,100)); }\n");
    return sheet;
}

void applyPanelPalette(QWidget* widget)
{
    QPalette palette = widget->palette();
    const QBrush grey(QColor(0x99, 0x99, 0x99));
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setBrush(group, QPalette::Window, grey);
    widget->setPalette(palette);
}

} // namespace AppStyle
