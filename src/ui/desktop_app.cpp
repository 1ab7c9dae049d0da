#include "ui/desktop_app.h"

#include <QApplication>

int RunDesktop(int argc, char** argv)
{
    QApplication app(argc, argv);
    return 0;
}
