#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>

// The pictures shipped as resources; the path is ":/ui/<name>.png".
QPixmap UiPicture(const QString& name);

// The program's font at the given pixel height: SimSun where installed, else a CJK font that is.
QFont UiFont(int pixelSize = 15);

// The bold sans font of the status popup button.
QFont UiBlackFont(int pixelSize);
