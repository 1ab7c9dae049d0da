#include "ui/ui_pictures.h"

#include <QDir>

using namespace Qt::StringLiterals;

// Outside any namespace: the resource initialiser is declared where it is called.
static void EnsureResources()
{
    // A static library's resources are only linked in when something asks for them.
    static const bool once = [] {
        Q_INIT_RESOURCE(ui_resources);
        return true;
    }();
    Q_UNUSED(once);
}

QPixmap UiPicture(const QString& name)
{
    EnsureResources();
    return QPixmap(u":/ui/"_s + name + u".png"_s);
}

QFont UiFont(int pixelSize)
{
    QFont font;
    font.setFamilies({ u"SimSun"_s, u"Noto Serif CJK SC"_s, u"Noto Sans CJK SC"_s, u"WenQuanYi Micro Hei"_s });
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Normal);
    return font;
}

QFont UiBlackFont(int pixelSize)
{
    QFont font;
    font.setFamilies({ u"SimHei"_s, u"Noto Sans CJK SC"_s, u"WenQuanYi Micro Hei"_s });
    font.setPixelSize(pixelSize);
    return font;
}
