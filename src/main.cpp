// Start-up: the headless command when asked for, otherwise the desktop window.
#include "cli/headless.h"
#include "store/persistence.h"
#include "ui/desktop_app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

constexpr int kExitNoDisplay = 3;

bool HasEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value;
}

void Print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

QString UsageText()
{
    return u"用法：patrol-lamp [--config FILE]\n"
           "      patrol-lamp --headless [选项]（patrol-lamp --headless --help 显示其选项）\n"
           "监控一组网站能否访问：有窗口时打开主窗口，--headless 无窗口运行并逐行输出结果。\n"
           "\n"
           "  --config FILE   配置文件（默认见下）\n"
           "  --headless      无窗口运行，不需要图形显示\n"
           "  --help          显示本说明\n"
           "  --version       显示版本\n"
           "\n"
           "配置文件：程序目录可写时在程序旁（%1），否则在 $XDG_CONFIG_HOME/patrol-lamp/（默认 "
           "~/.config/patrol-lamp/）。\n"
           "本机当前为：%2\n"_s.arg(Persist::ConfigFileName(), Persist::DefaultConfigPath(Persist::ProgramFolder()));
}

} // namespace

int main(int argc, char** argv)
{
    RaiseOpenFileLimit();
    bool platformGiven = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0)
            return RunHeadless(argc, argv);
    }
    // These answer without a display, where the window's start would abort inside Qt.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Print(stdout, UsageText());
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            Print(stdout, Persist::ProgramTitle() + u" patrol-lamp "_s + Persist::ProgramVersion() + u'\n');
            return 0;
        }
        if (std::strcmp(argv[i], "-platform") == 0)
            platformGiven = true;
    }
    if (!platformGiven && !HasEnv("QT_QPA_PLATFORM") && !HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY")) {
        Print(stderr, u"patrol-lamp: 没有图形显示（DISPLAY/WAYLAND_DISPLAY 未设置）；无窗口运行请用 --headless\n"_s);
        return kExitNoDisplay;
    }
    return RunDesktop(argc, argv);
}
