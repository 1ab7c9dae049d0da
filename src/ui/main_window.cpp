#include "ui/main_window.h"

#include "monitor/default_site_list.h"

#include "monitor/monitor_settings.h"
#include "monitor/monitoring_run.h"
#include "monitor/report_model.h"
#include "monitor/site_list.h"
#include "monitor/status_codes.h"
#include "store/form_state_store.h"
#include "store/persistence.h"
#include "ui/form_walk.h"
#include "ui/message_box.h"
#include "ui/picture_button.h"
#include "ui/report_view.h"
#include "ui/run_texts.h"
#include "ui/screen_fit.h"
#include "ui/state_icon_proxy.h"
#include "ui/status_code_popup.h"
#include "ui/text_dialog.h"
#include "ui/tray_icon.h"
#include "ui/ui_pictures.h"
#include "ui/url_open.h"
#include "ui/window_alerts.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QShortcut>
#include <QToolTip>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString kCopyCaption = u"复制全部"_s;

// Designed geometry of the two lists; they take up whatever the window grows by.
constexpr QRect kSiteListRect(16, 211, 824, 309);
constexpr QRect kAbnormalListRect(16, 528, 824, 184);
constexpr QPoint kCopyButtonPos(174, 529);
constexpr QPoint kMenuButtonPos(174, 212);
constexpr QPoint kAlertsButtonPos(94, 212); // between the header's caption and the menu button
constexpr QPoint kOperationsPos(440, 104);
constexpr int kMinimumListHeight = 60;
// Narrow windows put the run settings under the conditions: everything below moves down by this.
constexpr int kStackedShift = 100;

QString ColumnWidthsText(const ReportView* view)
{
    const QHeaderView* header = view->header();
    QStringList widths;
    for (int column = 0; column < header->count(); ++column)
        widths << QString::number(column == 0 ? view->UrlColumnWidth() : header->sectionSize(column));
    return widths.join(u',');
}

void ApplyColumnWidths(QHeaderView* header, const QString& text)
{
    const QStringList widths = text.split(u',');
    for (int column = 0; column < qMin(int(widths.size()), header->count()); ++column) {
        bool ok = false;
        const int width = widths.at(column).trimmed().toInt(&ok);
        if (ok && width >= 8 && width <= 5000)
            header->resizeSection(column, width);
    }
}

QLineEdit* MakeEdit(QWidget* parent, const QString& name, const QString& text, const QRect& geometry)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(geometry);
    return edit;
}

QCheckBox* MakeCheck(QWidget* parent, const QString& name, const QString& caption, bool checked, const QRect& geometry)
{
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setChecked(checked);
    box->setGeometry(geometry);
    return box;
}

QPushButton* MakeButton(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry)
{
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    return label;
}

PictureButton* MakePicture(QWidget* parent, const QString& name, const QString& picture, const QRect& geometry)
{
    auto* button = new PictureButton(parent);
    button->setObjectName(name);
    button->setPixmap(UiPicture(picture));
    button->setGeometry(geometry);
    return button;
}

PictureButton* MakeLink(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry)
{
    auto* link = new PictureButton(parent);
    link->setObjectName(name);
    link->setFont(UiFont(12));
    link->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    link->SetLinkText(caption);
    link->setGeometry(geometry);
    return link;
}

} // namespace

const QString& MakerAddresses::ProductPage()
{
    static const QString address = u"https://patrol-lamp.example/patrol-lamp/"_s;
    return address;
}

const QString& MakerAddresses::ChatPage()
{
    static const QString address = u"https://patrol-lamp.example/contact/"_s;
    return address;
}

const QString& MakerAddresses::ContactText()
{
    static const QString text = u"联系作者"_s;
    return text;
}

const QString& MakerAddresses::HomePage()
{
    static const QString address = u"https://patrol-lamp.example/"_s;
    return address;
}

MainWindow::MainWindow(FormStateStore* store, QWidget* parent)
    : QWidget(parent)
    , m_store(store)
{
    setObjectName(u"主窗口"_s);
    setWindowTitle(Caption());
    setWindowIcon(QIcon(UiPicture(u"lamp"_s)));
    setFont(UiFont(15));
    move(50, 50);
    resize(kDesignedWidth, kDesignedHeight);
    setMinimumSize(kMinimumWidth, kMinimumHeight);

    m_run = new MonitoringRun(this);
    m_tray = new TrayIcon(this);

    BuildHeader();
    BuildConditions();
    BuildOperations();
    BuildLists();
    WireRun();
    m_alerts = new WindowAlerts({ this, m_run, m_siteView, m_abnormalView, m_tray, m_store });

    // Creation: the status code list, the stored values, then the enable rules they imply.
    LoadStatusCodeList();
    if (m_store != nullptr) {
        RestoreForm(*m_store, this, Persist::kSection);
        RestoreWindowState();
        // Without the live file nothing is saved: say so before anyone spends an afternoon on edits.
        if (!m_store->HasLiveFile() && !m_store->Path().isEmpty())
            setWindowTitle(Caption() + u" （"_s + UnsavedConfigReason(m_store->Path()) + u"，本窗口的改动不会保存）"_s);
    }
    // Inside the screen's available area, the lists shrunk if need be; the real frame decides again once known.
    ::FitIntoScreen(this);
    if (m_normalPlace.isNull())
        m_normalPlace = QRect(pos(), size());
    LayOut(); // a hidden window gets no resize event until it is shown
    ApplyEnableRules();
    m_baseTitle = windowTitle();
    m_alerts->SetTrayTitle(m_baseTitle);
    m_run->SetSiteListText(SiteListText());
    PushSettings();

    m_placeTimer.setSingleShot(true);
    m_placeTimer.setInterval(250);
    connect(&m_placeTimer, &QTimer::timeout, this, &MainWindow::NoteNormalPlace);

    m_logoTimer.setObjectName(u"时钟官网"_s);
    m_logoTimer.setInterval(20);
    connect(&m_logoTimer, &QTimer::timeout, this, &MainWindow::LogoStep);
    UpdateLogoTimer();
}

MainWindow::~MainWindow()
{
    Shutdown();
}

// Probes the folder itself: permissions alone lie to root and on read-only mounts.
QString MainWindow::UnsavedConfigReason(const QString& configPath)
{
    const QFileInfo info(configPath);
    const QByteArray probe = QFile::encodeName(
        info.absolutePath() + u"/.patrol-lamp-probe-"_s + QString::number(QCoreApplication::applicationPid()));
    const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        return u"配置文件所在的文件夹不能写入（%1）"_s.arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    ::close(fd);
    ::unlink(probe.constData());
    const QByteArray lock = QFile::encodeName(info.absoluteFilePath() + u".lock"_s);
    const int lockFd = ::open(lock.constData(), O_RDWR);
    if (lockFd < 0 && errno != ENOENT)
        return u"配置文件的锁文件不能写入（%1）"_s.arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (lockFd >= 0)
        ::close(lockFd);
    return u"配置文件正被另一个巡更灯使用"_s;
}

QString MainWindow::Caption()
{
    return Persist::WindowCaption();
}

QString MainWindow::SiteListText() const
{
    return m_siteListButton->property("tag").toString();
}

void MainWindow::SetSiteListText(const QString& text)
{
    m_siteListButton->setProperty("tag", text);
    m_run->SetSiteListText(text);
}

void MainWindow::BuildHeader()
{
    m_header = new QWidget(this);
    m_header->setObjectName(u"图片框3"_s);
    m_header->setGeometry(0, 0, 1000, 90);

    PictureButton* homePicture = MakePicture(m_header, u"图片软件主页"_s, u"home"_s, QRect(16, 0, 64, 64));
    PictureButton* homeLink = MakeLink(m_header, u"链接软件主页"_s, u"软件主页"_s, QRect(16, 64, 64, 24));
    PictureButton* contactPicture = MakePicture(m_header, u"图片联系"_s, u"contact"_s, QRect(96, 0, 64, 64));
    PictureButton* contactLink
        = MakeLink(m_header, u"链接联系"_s, MakerAddresses::ContactText(), QRect(96, 64, 64, 24));
    m_helpPicture = MakePicture(m_header, u"图片疑点说明"_s, u"help"_s, QRect(176, 0, 64, 64));
    PictureButton* helpLink = MakeLink(m_header, u"链接疑点说明"_s, u"疑点说明"_s, QRect(176, 64, 64, 24));
    helpLink->setProperty("tag", u"2"_s);
    m_logo = MakePicture(m_header, u"图片岚澈软件"_s, u"logo"_s, QRect(424, 12, 195, 64));
    m_logo->setAlignment(Qt::AlignCenter);

    m_separator = MakeLabel(m_header, u"标签4"_s, QString(), QRect(0, 88, 1200, 2));
    m_separator->setFrameStyle(QFrame::HLine | QFrame::Sunken);

    homeLink->setProperty("address", MakerAddresses::ProductPage());
    contactLink->setProperty("address", MakerAddresses::ChatPage());
    homeLink->setToolTip(MakerAddresses::ProductPage());
    contactLink->setToolTip(MakerAddresses::ChatPage());

    connect(homePicture, &PictureButton::Clicked, this, [] { OpenWebAddress(MakerAddresses::ProductPage()); });
    connect(homeLink, &PictureButton::Clicked, this, [] { OpenWebAddress(MakerAddresses::ProductPage()); });
    connect(contactPicture, &PictureButton::Clicked, this, [] { OpenWebAddress(MakerAddresses::ChatPage()); });
    connect(contactLink, &PictureButton::Clicked, this, [] { OpenWebAddress(MakerAddresses::ChatPage()); });
    connect(m_helpPicture, &PictureButton::Clicked, this, [this] { ShowHelpText(this); });
    connect(helpLink, &PictureButton::LeftPressed, this, [this] { ShowHelpText(this); });
    connect(m_logo, &PictureButton::Clicked, this, [] { OpenWebAddress(MakerAddresses::HomePage()); });
    // Stopped for good: the timer's period becomes 0.
    connect(m_logo, &PictureButton::RightPressed, this, [this] {
        m_logoStopped = true;
        m_logoTimer.stop();
        m_logoTimer.setInterval(0);
    });
}

void MainWindow::BuildConditions()
{
    auto* group = new QGroupBox(u"监控条件：条件为真表示网站正常，否则不正常"_s, this);
    group->setObjectName(u"分组框1"_s);
    group->setGeometry(16, 104, 400, 93);

    const MonitorSettings defaults;
    m_byStatus
        = MakeCheck(group, Persist::kStatusCodesCheck, u"条件：网页状态"_s, defaults.byStatus, QRect(12, 24, 133, 24));
    m_statusCodes = MakeEdit(group, Persist::kStatusCodesEdit, defaults.statusCodes, QRect(148, 24, 185, 24));
    // The popup button sits inside the edit box's right end; keep the text clear of it.
    m_statusCodes->setTextMargins(0, 0, 24, 0);
    m_statusPopupButton = MakeButton(group, Persist::kStatusPopupButton, u"▼"_s, QRect(310, 26, 20, 20));
    m_statusPopupButton->setFont(UiBlackFont(14));
    m_statusPopupButton->installEventFilter(this);
    m_invertStatus
        = MakeCheck(group, Persist::kInvertStatusCheck, u"取反"_s, defaults.invertStatus, QRect(343, 24, 56, 24));

    m_byContent
        = MakeCheck(group, Persist::kContentCheck, u"条件：网页内容"_s, defaults.byContent, QRect(12, 56, 133, 24));
    m_contentKeywords = MakeEdit(group, Persist::kContentEdit, defaults.contentKeywords, QRect(148, 56, 185, 24));
    m_contentKeywords->setTextMargins(0, 0, 24, 0);
    m_contentInputButton = MakeButton(group, Persist::kContentInputButton, u".."_s, QRect(310, 58, 20, 20));
    m_contentInputButton->setFont(UiFont(14));
    m_invertContent
        = MakeCheck(group, Persist::kInvertContentCheck, u"取反"_s, defaults.invertContent, QRect(343, 56, 56, 24));

    connect(m_byStatus, &QCheckBox::toggled, this, &MainWindow::ApplyEnableRules);
    connect(m_byContent, &QCheckBox::toggled, this, &MainWindow::ApplyEnableRules);
    connect(m_statusPopupButton, &QPushButton::clicked, this, &MainWindow::ShowStatusPopup);
    connect(m_contentInputButton, &QPushButton::clicked, this, &MainWindow::InputPageText);
    for (QCheckBox* box : { m_byStatus, m_invertStatus, m_byContent, m_invertContent })
        connect(box, &QCheckBox::toggled, this, &MainWindow::PushSettings);
    for (QLineEdit* edit : { m_statusCodes, m_contentKeywords })
        connect(edit, &QLineEdit::textChanged, this, &MainWindow::PushSettings);
}

void MainWindow::BuildOperations()
{
    auto* group = new QGroupBox(u"监控操作"_s, this);
    group->setObjectName(u"分组框2"_s);
    group->setGeometry(440, 104, 400, 93);

    MakeLabel(group, u"标签1"_s, u"超时秒："_s, QRect(10, 24, 64, 20));
    const MonitorSettings defaults;
    m_timeout = MakeEdit(group, Persist::kTimeoutEdit, defaults.timeoutText, QRect(74, 24, 48, 20));
    MakeLabel(group, u"标签2"_s, u"线程数："_s, QRect(146, 24, 64, 20));
    m_threads = MakeEdit(group, Persist::kThreadsEdit, defaults.threadsText, QRect(210, 24, 48, 20));
    MakeLabel(group, u"标签3"_s, u"刷新秒："_s, QRect(274, 24, 64, 20));
    m_interval = MakeEdit(group, Persist::kIntervalEdit, defaults.intervalText, QRect(338, 24, 48, 20));

    auto* integerText = new QRegularExpressionValidator(QRegularExpression(u"[0-9]*"_s), this);
    auto* decimalText = new QRegularExpressionValidator(QRegularExpression(u"[0-9]*\\.?[0-9]*"_s), this);
    m_timeout->setValidator(integerText);
    m_threads->setValidator(integerText);
    m_interval->setValidator(decimalText);

    m_siteListButton = MakeButton(group, Persist::kSiteListButton, u"输入网站列表.."_s, QRect(10, 52, 168, 32));
    m_siteListButton->setProperty("tag", ::DefaultSiteList());
    m_startButton
        = MakeButton(group, Persist::kStartButton, StartButtonCaption(m_run->State()), QRect(186, 52, 200, 32));

    connect(m_siteListButton, &QPushButton::clicked, this, &MainWindow::InputSiteList);
    connect(m_threads, &QLineEdit::textChanged, this, &MainWindow::ShowThreadLimit);
    for (QLineEdit* edit : { m_timeout, m_threads, m_interval })
        connect(edit, &QLineEdit::textChanged, this, &MainWindow::PushSettings);
}

void MainWindow::BuildLists()
{
    m_siteView = new ReportView(this);
    m_siteView->setObjectName(u"超级列表框"_s);
    m_siteView->setGeometry(kSiteListRect);
    auto* siteProxy = new StateIconProxy(ReportModel::StateRole, this);
    siteProxy->setSourceModel(m_run->SiteModel());
    m_siteView->setModel(siteProxy);

    m_abnormalView = new ReportView(this);
    m_abnormalView->setObjectName(u"超级列表框2"_s);
    m_abnormalView->setGeometry(kAbnormalListRect);
    auto* abnormalProxy = new StateIconProxy(ReportModel::StateRole, this);
    abnormalProxy->setSourceModel(m_run->AbnormalModel());
    m_abnormalView->setModel(abnormalProxy);

    // Created after the list so it sits on the list's header.
    m_copyAllButton = MakeButton(this, Persist::kCopyAllButton, kCopyCaption, QRect(kCopyButtonPos, QSize(83, 20)));
    m_copiedTimer.setSingleShot(true);
    m_copiedTimer.setInterval(1000);
    connect(&m_copiedTimer, &QTimer::timeout, this, [this] { m_copyAllButton->setText(kCopyCaption); });
    connect(m_copyAllButton, &QPushButton::clicked, this, &MainWindow::CopyAllAbnormal);

    // On the site list's header as 复制全部 is on the other's; no kind prefix, so the form walk leaves it out.
    m_menuButton = MakeButton(this, u"菜单导出与设置"_s, u"导出/设置 ▾"_s, QRect(kMenuButtonPos, QSize(88, 20)));
    connect(m_menuButton, &QPushButton::clicked, this, [this] {
        ReportView* view = m_abnormalView->hasFocus() ? m_abnormalView : m_siteView;
        m_alerts->ShowMenu(view, m_menuButton->mapToGlobal(QPoint(0, m_menuButton->height())));
    });
    // The alert settings one click away, beside the menu that also offers them; no kind prefix either.
    m_alertsButton = MakeButton(this, u"打开提醒设置"_s, u"提醒设置…"_s, QRect(kAlertsButtonPos, QSize(76, 20)));
    m_alertsButton->setToolTip(u"通知目标（群机器人、聊天服务、JSON 网址）、测试通知、减少打扰与历史记录"_s);
    connect(m_alertsButton, &QPushButton::clicked, this, [this] { m_alerts->EditSettings(); });
}

void MainWindow::WireRun()
{
    m_run->SetSaveFormHook([this] { SaveForm(); });

    connect(m_startButton, &QPushButton::clicked, this, [this] {
        m_run->SetSiteListText(SiteListText());
        PushSettings();
        m_run->Click();
    });
    auto* startKey = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(startKey, &QShortcut::activated, m_startButton, &QPushButton::click);
    connect(m_run, &MonitoringRun::StateChanged, m_startButton,
        [this](MonitoringRun::RunState state) { m_startButton->setText(StartButtonCaption(state)); });
    connect(m_run, &MonitoringRun::ListsFilled, this, [this](int sites) {
        m_run->SiteModel()->SetHeaderText(SiteListHeader(sites));
        m_run->AbnormalModel()->SetHeaderText(AbnormalListHeader(-1));
    });
    connect(m_run, &MonitoringRun::AbnormalCountChanged, this,
        [this](int abnormal) { m_run->AbnormalModel()->SetHeaderText(AbnormalListHeader(abnormal)); });
    connect(
        m_run, &MonitoringRun::MessageRequested, this, [this](const QString& text) { MessageBox::Notify(this, text); });
    connect(m_run, &MonitoringRun::WarningRequested, this,
        [this](const QString& text) { MessageBox::Notify(this, text, QString(), QMessageBox::Warning); });

    // The last step of the path described in monitor/check_workers.h: view requests merged per 25 ms.
    m_viewTimer.setSingleShot(true);
    m_viewTimer.setInterval(25);
    connect(&m_viewTimer, &QTimer::timeout, this, &MainWindow::FlushViewRequests);
    connect(m_run, &MonitoringRun::CheckCountsChanged, this, [this](int running, int row) {
        m_pendingRunning = running;
        m_pendingRow = row;
        m_captionPending = true;
        if (!m_viewTimer.isActive())
            m_viewTimer.start();
    });
    connect(m_run, &MonitoringRun::CurrentRowRequested, this, [this](int row) {
        m_pendingCurrentRow = row;
        if (!m_viewTimer.isActive())
            m_viewTimer.start();
    });
    connect(m_run, &MonitoringRun::AbnormalRowAdded, this, [this](int row) {
        m_pendingAbnormal = QPersistentModelIndex(m_abnormalView->model()->index(row, 0));
        if (!m_viewTimer.isActive())
            m_viewTimer.start();
    });
    // A stopped run has no progress: the caption drops it and the tray shows the plain title again.
    connect(m_run, &MonitoringRun::RunFinished, this, [this] {
        m_captionPending = true;
        FlushViewRequests();
        m_alerts->RefreshTray();
    });
}

void MainWindow::FlushViewRequests()
{
    if (m_captionPending) {
        m_captionPending = false;
        const QString caption = CheckCaption(m_baseTitle, m_pendingRunning, m_pendingRow);
        const QString progress = ProgressText();
        setWindowTitle(progress.isEmpty() ? caption : caption + u' ' + progress);
    }
    // The run follows its rows only in a list the user is not working in.
    const int currentRow = std::exchange(m_pendingCurrentRow, -1);
    if (currentRow >= 0 && !m_siteView->UserBusy())
        m_siteView->SelectRow(currentRow);
    const QPersistentModelIndex abnormal = std::exchange(m_pendingAbnormal, QPersistentModelIndex());
    if (abnormal.isValid() && !m_abnormalView->UserBusy())
        m_abnormalView->scrollTo(abnormal);
}

void MainWindow::ApplyEnableRules()
{
    const bool byStatus = m_byStatus->isChecked();
    m_statusCodes->setEnabled(byStatus);
    m_statusPopupButton->setEnabled(byStatus);
    m_invertStatus->setEnabled(byStatus);
    const bool byContent = m_byContent->isChecked();
    m_contentKeywords->setEnabled(byContent);
    m_contentInputButton->setEnabled(byContent);
    m_invertContent->setEnabled(byContent);
}

void MainWindow::PushSettings()
{
    if (m_run == nullptr || m_interval == nullptr)
        return;
    MonitorSettings settings;
    for (const SettingsField& field : SettingsFields()) {
        if (field.text)
            settings.*field.text = findChild<QLineEdit*>(field.key)->text();
        else
            settings.*field.flag = findChild<QCheckBox*>(field.key)->isChecked();
    }
    m_run->SetSettings(settings);
}

void MainWindow::SaveForm()
{
    if (m_store == nullptr)
        return;
    // One file replacement for both sections.
    m_store->BeginBatch();
    ::SaveForm(*m_store, this, Persist::kSection);
    SaveWindowState();
    m_store->EndBatch();
}

void MainWindow::SaveWindowState()
{
    // The last normal-state place, so a maximized window comes back maximized over the place it had before;
    // a maximized frame's corner and size say nothing about it.
    NoteNormalPlace();
    m_store->SetSection(Persist::kWindowSection);
    m_store->WriteText(Persist::kWindowLeft, QString::number(m_normalPlace.left()));
    m_store->WriteText(Persist::kWindowTop, QString::number(m_normalPlace.top()));
    m_store->WriteText(Persist::kWindowWidth, QString::number(m_normalPlace.width()));
    m_store->WriteText(Persist::kWindowHeight, QString::number(m_normalPlace.height()));
    m_store->WriteBool(Persist::kWindowMaximized, isMaximized());
    m_store->WriteText(Persist::kSiteColumnWidths, ColumnWidthsText(m_siteView));
    m_store->WriteText(Persist::kAbnormalColumnWidths, ColumnWidthsText(m_abnormalView));
}

void MainWindow::RestoreWindowState()
{
    m_store->SetSection(Persist::kWindowSection);
    auto number = [this](const QString& key, int low, int high) -> std::optional<int> {
        const std::optional<QString> text = m_store->StoredText(key);
        bool ok = false;
        const int value = text.has_value() ? text->trimmed().toInt(&ok) : 0;
        if (!ok || value < low || value > high)
            return std::nullopt;
        return value;
    };
    // Anything missing or absurd keeps the designed geometry; FitIntoScreen then brings it onto the screen.
    const auto left = number(Persist::kWindowLeft, -100000, 100000);
    const auto top = number(Persist::kWindowTop, -100000, 100000);
    const auto width = number(Persist::kWindowWidth, kMinimumWidth, 20000);
    const auto height = number(Persist::kWindowHeight, kMinimumHeight, 20000);
    if (left && top && width && height) {
        move(*left, *top);
        resize(*width, *height);
    }
    ::FitIntoScreen(this);
    m_normalPlace = QRect(pos(), size());
    if (m_store->ReadBool(Persist::kWindowMaximized, false))
        setWindowState(windowState() | Qt::WindowMaximized);
    ApplyColumnWidths(m_siteView->header(), m_store->ReadText(Persist::kSiteColumnWidths));
    ApplyColumnWidths(m_abnormalView->header(), m_store->ReadText(Persist::kAbnormalColumnWidths));
}

// The run caps the thread count; say so where the number is typed.
void MainWindow::ShowThreadLimit()
{
    bool ok = false;
    const qlonglong threads = m_threads->text().toLongLong(&ok);
    const bool over = ok && threads > MonitoringRun::kMaxConcurrentChecks;
    const QString hint
        = over ? u"线程数最多 %1，监控时按 %1 个线程运行"_s.arg(MonitoringRun::kMaxConcurrentChecks) : QString();
    m_threads->setToolTip(hint);
    if (over && m_threads->isVisible())
        QToolTip::showText(m_threads->mapToGlobal(QPoint(0, m_threads->height())), hint, m_threads);
    else if (!over)
        QToolTip::hideText();
}

void MainWindow::InputSiteList()
{
    QString result;
    if (!ShowTextDialog(SiteListText(), std::nullopt, u"请输入网站地址列表："_s, nullptr, &result))
        return;
    SetSiteListText(result);
    if (const QString nonWeb = NonWebEntriesText(result); !nonWeb.isEmpty())
        MessageBox::Notify(this, u"这些条目不是 http/https 网址，检查时按不支持的网址报告：\n"_s + nonWeb, QString(),
            QMessageBox::Warning);
}

void MainWindow::InputPageText()
{
    QString result;
    if (ShowTextDialog(m_contentKeywords->text(), u"如【根据相关法律法规和政策，部分搜索结果未予显示。】："_s,
            u"输入一段在网页中会出现的文字或代码"_s, this, &result))
        m_contentKeywords->setText(result);
}

StatusCodePopup* MainWindow::ShowStatusPopup()
{
    if (m_statusPopup != nullptr)
        m_statusPopup->close();
    m_statusPopup = new StatusCodePopup(StatusCodeList(), this);
    connect(m_statusPopup, &StatusCodePopup::Chosen, this, &MainWindow::AddStatusCode);
    // Not modal: the run's updates keep flowing while the list is open.
    m_statusPopup->ShowUnder(m_statusPopupButton);
    return m_statusPopup;
}

void MainWindow::AddStatusCode(const QString& line)
{
    const QString code = line.section(u'|', 0, 0).trimmed();
    if (code.isEmpty())
        return;
    const QString text = m_statusCodes->text();
    if (text.split(u'|').contains(code))
        return;
    if (text.isEmpty() || text.endsWith(u'|'))
        m_statusCodes->setText(text + code);
    else
        m_statusCodes->setText(text + u'|' + code);
}

void MainWindow::CopyAllAbnormal()
{
    QGuiApplication::clipboard()->setText(m_abnormalView->AllUrls());
    m_copyAllButton->setText(u"已复制"_s);
    m_copiedTimer.start();
}

void MainWindow::LogoStep()
{
    const int helpRight = m_helpPicture->x() + m_helpPicture->width();
    if (!m_logoMovingLeft) {
        m_logo->move(m_logo->x() + 1, m_logo->y());
        if (m_logo->x() + m_logo->width() > width() - 20)
            m_logoMovingLeft = true;
    } else {
        m_logo->move(m_logo->x() - 1, m_logo->y());
        if (m_logo->x() < helpRight + 20)
            m_logoMovingLeft = false;
    }
}

bool MainWindow::LogoRunning() const
{
    return m_logoTimer.isActive();
}

// Nobody sees the logo while the window is hidden or minimized: no 50 Hz timer then.
void MainWindow::UpdateLogoTimer()
{
    const bool wanted = !m_logoStopped && !m_closed && isVisible() && !isMinimized();
    if (wanted && !m_logoTimer.isActive())
        m_logoTimer.start();
    else if (!wanted && m_logoTimer.isActive())
        m_logoTimer.stop();
}

QString MainWindow::ProgressText() const
{
    const int pass = m_run->PassNumber();
    if (m_run->IsIdle() || pass <= 0)
        return {};
    return u"第%1轮 %2/%3"_s.arg(pass).arg(m_run->FinishedInPass()).arg(m_run->SiteModel()->rowCount());
}

void MainWindow::TrayOperation(TrayIcon::Operation operation)
{
    if (operation == TrayIcon::Operation::ShowOrHide) {
        // A minimized window counts as out of sight: the click brings it back rather than hiding it.
        if (isVisible() && !isMinimized())
            hide();
        else
            BringToFront();
    } else if (operation == TrayIcon::Operation::Exit) {
        ConfirmExit();
    }
}

void MainWindow::BringToFront()
{
    if (!isVisible())
        show();
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
    setFocus(Qt::ActiveWindowFocusReason);
}

void MainWindow::ConfirmExit()
{
    const auto answer = MessageBox::Show(this, u"确定要退出 "_s + windowTitle() + u" ？"_s, windowTitle(),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Question);
    if (answer != QMessageBox::Ok)
        return;
    m_tray->Remove();
    close();
}

bool MainWindow::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        AddTrayIcon();
    return QWidget::event(event);
}

// On the first show or activation, whichever comes first: without a window manager there may be no activation.
// The icon is added even while there is no tray; it appears when a panel starts later.
void MainWindow::AddTrayIcon()
{
    if (m_trayAdded || m_closed)
        return;
    m_trayAdded = true;
    connect(m_tray, &TrayIcon::Activated, this, &MainWindow::TrayOperation);
    m_tray->Add(windowIcon(), m_baseTitle);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    FitToFrameOnce();
    AddTrayIcon();
    UpdateLogoTimer();
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    UpdateLogoTimer();
}

void MainWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        UpdateLogoTimer();
        if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized))
            m_placeTimer.stop();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Closing is never refused: store the values, end the run, and let the program go.
    if (!m_closed) {
        SaveForm();
        Shutdown();
        m_tray->Remove();
        m_closed = true;
        emit Closed();
    }
    event->accept();
}

void MainWindow::Shutdown()
{
    m_logoTimer.stop();
    m_viewTimer.stop();
    if (m_run != nullptr)
        m_run->Shutdown();
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayOut();
    NotePlaceLater();
}

void MainWindow::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    NotePlaceLater();
}

// A maximize can deliver its new geometry before its state change: a place is noted only once it has lasted.
void MainWindow::NotePlaceLater()
{
    if (isVisible())
        m_placeTimer.start();
    else
        NoteNormalPlace();
}

// The first time the window manager's frame is known (at the show, or when the frame arrives), fit with it.
void MainWindow::FitToFrameOnce()
{
    if (m_framedFit || frameGeometry() == geometry())
        return;
    m_framedFit = true;
    ::FitIntoScreen(this);
}

// Frame corner and client size while the window is shown in the normal state.
void MainWindow::NoteNormalPlace()
{
    if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen | Qt::WindowMinimized))
        return;
    if (!isVisible()) {
        m_normalPlace = QRect(pos(), size());
        return;
    }
    FitToFrameOnce();
    m_normalPlace = QRect(frameGeometry().topLeft(), size());
}

// Only the lists give up or take height; the controls above them keep their designed places.
void MainWindow::LayOut()
{
    if (m_menuButton == nullptr)
        return;
    // A wide window keeps the logo's whole travel inside the header.
    m_header->resize(qMax(1000, width()), m_header->height());
    m_separator->resize(qMax(1200, width()), m_separator->height());

    // Side by side as long as the run settings fit, with a little room to spare for rounding at scaled displays.
    const bool stacked = width() < kOperationsPos.x() + 400 + 4;
    QWidget* operations = m_startButton->parentWidget();
    operations->move(stacked ? QPoint(kSiteListRect.left(), kOperationsPos.y() + kStackedShift) : kOperationsPos);
    const int listsTop = kSiteListRect.top() + (stacked ? kStackedShift : 0);

    const int gap = kAbnormalListRect.top() - kSiteListRect.bottom() - 1;
    const int bottomMargin = kDesignedHeight - kAbnormalListRect.bottom() - 1;
    const int listWidth = qMax(200, width() - kSiteListRect.left() - (kDesignedWidth - kSiteListRect.right() - 1));
    const int room = qMax(2 * kMinimumListHeight, height() - listsTop - gap - bottomMargin);
    const int designedRoom = kSiteListRect.height() + kAbnormalListRect.height();
    const int siteHeight
        = qBound(kMinimumListHeight, room * kSiteListRect.height() / designedRoom, room - kMinimumListHeight);
    const int abnormalHeight = room - siteHeight;
    m_siteView->setGeometry(kSiteListRect.left(), listsTop, listWidth, siteHeight);
    const int abnormalTop = listsTop + siteHeight + gap;
    m_abnormalView->setGeometry(kAbnormalListRect.left(), abnormalTop, listWidth, abnormalHeight);
    m_copyAllButton->move(kCopyButtonPos.x(), abnormalTop + (kCopyButtonPos.y() - kAbnormalListRect.top()));
    m_menuButton->move(kMenuButtonPos.x(), listsTop + (kMenuButtonPos.y() - kSiteListRect.top()));
    m_alertsButton->move(kAlertsButtonPos.x(), listsTop + (kAlertsButtonPos.y() - kSiteListRect.top()));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Event filters see presses on a disabled button too; a greyed ▼ must not empty the greyed box.
    if (watched == m_statusPopupButton && event->type() == QEvent::MouseButtonPress
        && static_cast<QMouseEvent*>(event)->button() == Qt::RightButton && m_statusPopupButton->isEnabled()) {
        m_statusCodes->clear();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
