#ifndef TESSARO_APPSTYLE_H
#define TESSARO_APPSTYLE_H

#include <QString>

class QWidget;

// The look shared by the main window and the settings dialog. GUI thread.
namespace AppStyle {

// Makes the pictures (":/record_black.png" ...) available; they live in this static library,
// which Qt does not register by itself. Safe to call more than once.
void registerResources();

// The application style sheet: grey rounded push buttons, flat grey line edits and the
// gradient message box.
QString styleSheet();
// The grey panel colour (#999999) as the Window role of every colour group.
void applyPanelPalette(QWidget* widget);

} // namespace AppStyle

#endif
