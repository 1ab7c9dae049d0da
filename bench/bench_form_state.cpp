// Times SaveForm and RestoreForm of a window shaped like the main window with a 50,000-URL site list.
// Usage: bench_form_state [directory for the configuration file] (default: a temporary directory)
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/form_walk.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int kUrls = 50000;
constexpr int kRepetitions = 7;

template <typename T> T* Add(QWidget* parent, const QString& name)
{
    auto* widget = new T(parent);
    widget->setObjectName(name);
    return widget;
}

struct MainWindowShape
{
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    QPushButton* sites = nullptr;
    QLineEdit* threads = nullptr;

    MainWindowShape()
    {
        QWidget* w = window.get();
        auto* header = Add<QLabel>(w, u"图片框3"_s);
        for (const QString& name : { u"图片软件主页"_s, u"链接软件主页"_s, u"图片联系"_s, u"链接联系"_s,
                 u"图片疑点说明"_s, u"链接疑点说明"_s, u"图片岚澈软件"_s, u"标签4"_s })
            Add<QLabel>(header, name);
        auto* conditions = Add<QGroupBox>(w, u"分组框1"_s);
        Add<QCheckBox>(conditions, u"选择框按状态码"_s)->setChecked(true);
        Add<QLineEdit>(conditions, u"编辑框状态码"_s)->setText(u"200|301|100|302"_s);
        Add<QPushButton>(conditions, u"按钮弹出状态列表"_s);
        Add<QCheckBox>(conditions, u"选择框取反状态码"_s);
        Add<QCheckBox>(conditions, u"选择框按网页内容"_s);
        Add<QLineEdit>(conditions, u"编辑框网页内容"_s)->setText(u"网页代码中出现的内容"_s);
        Add<QPushButton>(conditions, u"按钮输入网页内容"_s);
        Add<QCheckBox>(conditions, u"选择框取反网页内容"_s);
        auto* run = Add<QGroupBox>(w, u"分组框2"_s);
        Add<QLabel>(run, u"标签1"_s);
        Add<QLineEdit>(run, u"编辑框超时秒"_s)->setText(u"10"_s);
        Add<QLabel>(run, u"标签2"_s);
        threads = Add<QLineEdit>(run, u"编辑框线程数"_s);
        threads->setText(u"5"_s);
        Add<QLabel>(run, u"标签3"_s);
        Add<QLineEdit>(run, u"编辑框间隔秒"_s)->setText(u"100"_s);
        sites = Add<QPushButton>(run, u"按钮输入网站列表"_s);
        Add<QPushButton>(run, u"按钮开始监控"_s);
        Add<QTableWidget>(w, u"超级列表框"_s);
        Add<QPushButton>(w, u"按钮复制全部"_s);
        Add<QTableWidget>(w, u"超级列表框2"_s);
    }
};

QString SiteList(int salt)
{
    QStringList urls;
    urls.reserve(kUrls);
    for (int i = 0; i < kUrls; ++i)
        urls.append(u"http://site%1.example.com/p%2"_s.arg(i).arg(salt));
    return urls.join(u"\r\n"_s);
}

void Report(const char* what, const std::function<void()>& prepare, const std::function<void()>& action)
{
    std::vector<double> ms;
    for (int i = 0; i < kRepetitions; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        action();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "%-38s min %8.2f ms   median %8.2f ms   max %8.2f ms\n", what, ms.front(), ms[ms.size() / 2], ms.back());
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir temp(argc > 1 ? QString::fromLocal8Bit(argv[1]) + u"/bench_form_state-XXXXXX"_s : QString());
    if (!temp.isValid()) {
        std::fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    const QString path = temp.filePath(Persist::ConfigFileName());
    const QString lists[2] = { SiteList(0), SiteList(1) };

    MainWindowShape form;
    form.sites->setProperty("tag", lists[0]);
    auto store = std::make_unique<FormStateStore>();

    Report(
        "SaveForm, first (new file)",
        [&] {
            store.reset();
            QFile::remove(path);
            store = std::make_unique<FormStateStore>();
            store->SetFile(path, 0);
        },
        [&] { SaveForm(*store, form.window.get()); });
    std::printf("configuration file: %lld bytes\n", qlonglong(QFile(path).size()));

    Report(
        "SaveForm, nothing changed", [] {}, [&] { SaveForm(*store, form.window.get()); });

    int threads = 5;
    Report(
        "SaveForm, thread count changed", [&] { form.threads->setText(QString::number(++threads)); },
        [&] { SaveForm(*store, form.window.get()); });

    int which = 0;
    Report(
        "SaveForm, site list changed", [&] { form.sites->setProperty("tag", lists[++which % 2]); },
        [&] { SaveForm(*store, form.window.get()); });

    std::unique_ptr<MainWindowShape> fresh;
    Report(
        "RestoreForm into a fresh window", [&] { fresh = std::make_unique<MainWindowShape>(); },
        [&] { RestoreForm(*store, fresh->window.get()); });
    if (fresh->sites->property("tag").toString() != form.sites->property("tag").toString()) {
        std::fprintf(stderr, "restored site list differs\n");
        return 1;
    }

    Report(
        "SetFile (open and load)", [&] { store.reset(); },
        [&] {
            store = std::make_unique<FormStateStore>();
            store->SetFile(path, 0);
        });
    return 0;
}
