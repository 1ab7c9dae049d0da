// Draws the program's pictures (header buttons, logo, row states, window icon) into src/ui/resources, and the
// desktop icon (SVG and PNGs of the hicolor sizes) into packaging/icons. The files are committed; run this only
// to change them:
//   g++ -std=c++20 -fPIC tools/make_pictures.cpp $(pkg-config --cflags --libs Qt6Gui Qt6Svg) -o /tmp/make_pictures
//   QT_QPA_PLATFORM=offscreen /tmp/make_pictures src/ui/resources packaging/icons
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgGenerator>

#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

QFont CjkFont(int pixels, bool bold)
{
    QFont font;
    font.setFamilies({ u"Noto Sans CJK SC"_s, u"WenQuanYi Micro Hei"_s });
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

bool Save(const QString& folder, const QString& name, int w, int h, const std::function<void(QPainter&)>& draw)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        draw(p);
    }
    const QString path = folder + u'/' + name;
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// A rounded tile with a soft gradient, the common ground of the three header buttons.
void Tile(QPainter& p, const QColor& top, const QColor& bottom)
{
    QLinearGradient g(0, 4, 0, 60);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QPen(bottom.darker(130), 1.5));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(5.5, 5.5, 53, 53), 12, 12);
}

// The lamp: the program's own sign, on the window icon and the logo.
void Lamp(QPainter& p, const QRectF& box)
{
    const qreal w = box.width();
    const qreal h = box.height();
    const qreal x = box.left();
    const qreal y = box.top();
    QRadialGradient glow(QPointF(x + w / 2, y + h * 0.52), w * 0.55);
    glow.setColorAt(0, QColor(255, 226, 120, 230));
    glow.setColorAt(1, QColor(255, 200, 60, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(x + w / 2, y + h * 0.52), w * 0.55, h * 0.5);
    // handle and cap
    p.setPen(QPen(QColor(60, 60, 70), w * 0.06, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(x + w * 0.33, y + h * 0.02, w * 0.34, h * 0.26), 0, 180 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 70, 82));
    p.drawRoundedRect(QRectF(x + w * 0.26, y + h * 0.16, w * 0.48, h * 0.12), 3, 3);
    // glass
    QLinearGradient glass(x, 0, x + w, 0);
    glass.setColorAt(0, QColor(255, 190, 40));
    glass.setColorAt(0.5, QColor(255, 244, 170));
    glass.setColorAt(1, QColor(240, 160, 20));
    QPainterPath body;
    body.moveTo(x + w * 0.30, y + h * 0.28);
    body.lineTo(x + w * 0.70, y + h * 0.28);
    body.lineTo(x + w * 0.78, y + h * 0.78);
    body.lineTo(x + w * 0.22, y + h * 0.78);
    body.closeSubpath();
    p.setBrush(glass);
    p.setPen(QPen(QColor(120, 80, 10), w * 0.03));
    p.drawPath(body);
    p.setPen(QPen(QColor(200, 90, 10), w * 0.05, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x + w * 0.5, y + h * 0.42), QPointF(x + w * 0.5, y + h * 0.62));
    // base
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 70, 82));
    p.drawRoundedRect(QRectF(x + w * 0.18, y + h * 0.78, w * 0.64, h * 0.12), 3, 3);
}

void StateDisc(QPainter& p, const QColor& color)
{
    QRadialGradient g(QPointF(9, 8), 14);
    g.setColorAt(0, color.lighter(150));
    g.setColorAt(1, color);
    p.setPen(QPen(color.darker(140), 1));
    p.setBrush(g);
    p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
}

// The desktop icon on a 64-unit grid: the lamp on a night-blue tile, readable down to 16 px.
void AppIcon(QPainter& p)
{
    QLinearGradient g(0, 2, 0, 62);
    g.setColorAt(0, QColor(40, 98, 170));
    g.setColorAt(1, QColor(22, 46, 92));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    Lamp(p, QRectF(9, 6, 46, 52));
}

bool SaveIcons(const QString& folder)
{
    bool ok = true;
    for (const int size : { 16, 22, 24, 32, 48, 64, 128, 256 }) {
        ok &= Save(folder, u"%1.png"_s.arg(size), size, size, [size](QPainter& p) {
            p.scale(size / 64.0, size / 64.0);
            AppIcon(p);
        });
    }
    QSvgGenerator svg;
    svg.setFileName(folder + u"/scalable.svg"_s);
    svg.setSize(QSize(64, 64));
    svg.setViewBox(QRect(0, 0, 64, 64));
    svg.setTitle(u"patrol-lamp"_s);
    QPainter p(&svg);
    p.setRenderHint(QPainter::Antialiasing);
    AppIcon(p);
    return ok && p.end();
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"."_s;
    bool ok = true;

    // Home page: a house.
    ok &= Save(folder, u"home.png"_s, 64, 64, [](QPainter& p) {
        Tile(p, QColor(120, 190, 255), QColor(30, 110, 210));
        QPainterPath roof;
        roof.moveTo(14, 32);
        roof.lineTo(32, 15);
        roof.lineTo(50, 32);
        p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(roof);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(20, 31, 24, 17));
        p.setBrush(QColor(30, 110, 210));
        p.drawRoundedRect(QRectF(28, 36, 8, 12), 2, 2);
    });

    // Contact: a speech bubble.
    ok &= Save(folder, u"contact.png"_s, 64, 64, [](QPainter& p) {
        Tile(p, QColor(140, 225, 150), QColor(30, 150, 70));
        QPainterPath bubble;
        bubble.addRoundedRect(QRectF(13, 15, 38, 26), 9, 9);
        QPainterPath tail;
        tail.moveTo(20, 38);
        tail.lineTo(16, 50);
        tail.lineTo(30, 40);
        tail.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPath(bubble.united(tail));
        p.setBrush(QColor(30, 150, 70));
        for (int i = 0; i < 3; ++i)
            p.drawEllipse(QPointF(23 + i * 9, 28), 3, 3);
    });

    // Help: a question mark.
    ok &= Save(folder, u"help.png"_s, 64, 64, [](QPainter& p) {
        Tile(p, QColor(255, 205, 120), QColor(225, 120, 20));
        QFont font(u"DejaVu Sans"_s);
        font.setPixelSize(40);
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(5, 5, 54, 54), Qt::AlignCenter, u"?"_s);
    });

    // Logo: the lamp and the maker's name.
    ok &= Save(folder, u"logo.png"_s, 195, 66, [](QPainter& p) {
        QLinearGradient g(0, 0, 195, 0);
        g.setColorAt(0, QColor(22, 46, 92));
        g.setColorAt(1, QColor(40, 98, 170));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawRoundedRect(QRectF(1, 3, 193, 60), 10, 10);
        Lamp(p, QRectF(8, 8, 48, 50));
        p.setFont(CjkFont(26, true));
        p.setPen(QColor(255, 236, 170));
        p.drawText(QRectF(60, 6, 132, 34), Qt::AlignCenter, u"岚澈软件"_s);
        QFont small(u"DejaVu Sans"_s);
        small.setPixelSize(11);
        p.setFont(small);
        p.setPen(QColor(200, 220, 250));
        p.drawText(QRectF(60, 38, 132, 18), Qt::AlignCenter, u"patrol-lamp"_s);
    });

    ok &= Save(folder, u"lamp.png"_s, 64, 64, [](QPainter& p) { Lamp(p, QRectF(4, 2, 56, 60)); });

    // Row states: normal, abnormal, check in progress.
    ok &= Save(folder, u"state_normal.png"_s, 24, 24, [](QPainter& p) {
        StateDisc(p, QColor(40, 160, 60));
        p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF({ QPointF(7, 12.5), QPointF(10.5, 16), QPointF(17, 8.5) }));
    });
    ok &= Save(folder, u"state_abnormal.png"_s, 24, 24, [](QPainter& p) {
        StateDisc(p, QColor(210, 40, 40));
        p.setPen(QPen(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 8), QPointF(16, 16));
        p.drawLine(QPointF(16, 8), QPointF(8, 16));
    });
    ok &= Save(folder, u"state_busy.png"_s, 24, 24, [](QPainter& p) {
        StateDisc(p, QColor(40, 110, 210));
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(7, 7, 10, 10), 30 * 16, 280 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawPolygon(QPolygonF({ QPointF(15.5, 5.5), QPointF(19.5, 9.5), QPointF(14, 11) }));
    });
    if (argc > 2)
        ok &= SaveIcons(QString::fromLocal8Bit(argv[2]));
    return ok ? 0 : 1;
}
