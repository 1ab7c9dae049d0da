#include "ui/text_dialog.h"

#include "ui/message_box.h"
#include "ui/screen_fit.h"
#include "ui/ui_pictures.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStringDecoder>
#include <QTextCodec>

using namespace Qt::StringLiterals;

namespace {

constexpr QSize kDesignedClientSize(479, 355);
constexpr int kHintHeight = 33;
constexpr int kButtonHeight = 24;
constexpr int kButtonWidth = 64;
constexpr int kToolBarHeight = 34;

// The form store walks every named widget of the main window, and this dialog lives under it while open.
const QString kNoSaveTag = u"禁止保存"_s;

TextDialog* g_current = nullptr;

QString ToCrLf(QString text)
{
    return text.replace(u'\n', u"\r\n"_s);
}

QString ToLf(QString text)
{
    return text.replace(u"\r\n"_s, u"\n"_s).replace(u'\r', u'\n');
}

QPushButton* MakeButton(QWidget* parent, const QString& name, const QString& caption, const QRect& geometry)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setProperty("tag", kNoSaveTag);
    button->setAutoDefault(false);
    button->setGeometry(geometry);
    return button;
}

} // namespace

TextDialog::TextDialog(const TextDialogRequest& request, QWidget* owner)
    : QDialog(owner)
    , m_request(request)
{
    g_current = this;
    setObjectName(u"文本对话框"_s);
    setFont(UiFont(15));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    resize(kDesignedClientSize);

    m_hint = new QLineEdit(this);
    m_hint->setObjectName(u"编辑框提示"_s);
    m_hint->setProperty("tag", kNoSaveTag);
    m_hint->setReadOnly(true);
    m_hint->setFrame(false);
    m_hint->setFocusPolicy(Qt::ClickFocus);
    m_hint->setGeometry(13, 8, 395, kHintHeight);
    QPalette hintPalette = m_hint->palette();
    hintPalette.setColor(QPalette::Base, hintPalette.color(QPalette::Window));
    m_hint->setPalette(hintPalette);

    m_body = new QPlainTextEdit(this);
    m_body->setObjectName(u"编辑框正文"_s);
    m_body->setProperty("tag", kNoSaveTag);
    m_body->setGeometry(5, 56, 411, 168);
    // A tab typed into a URL list is never wanted; Tab and Shift+Tab move the focus as in every other box.
    m_body->setTabChangesFocus(true);

    m_toolBar = new QFrame(this);
    m_toolBar->setObjectName(u"外形框"_s);
    m_toolBar->setGeometry(8, 320, 336, kToolBarHeight);
    QPushButton* restoreButton = MakeButton(m_toolBar, u"按钮恢复"_s, u"恢复"_s, QRect(0, 5, 51, 24));
    QPushButton* clearButton = MakeButton(m_toolBar, u"按钮清空"_s, u"清空"_s, QRect(54, 5, 51, 24));
    QPushButton* pasteButton = MakeButton(m_toolBar, u"按钮粘贴"_s, u"粘贴"_s, QRect(107, 5, 85, 24));
    m_fileButton = MakeButton(m_toolBar, u"按钮文件"_s, u"内容"_s, QRect(208, 5, 51, 24));
    m_fileNameButton = MakeButton(m_toolBar, u"按钮文件名"_s, u"文件名"_s, QRect(259, 5, 69, 24));
    m_okButton = MakeButton(this, u"按钮确定"_s, u"确定"_s, QRect(351, 328, kButtonWidth, kButtonHeight));
    m_cancelButton = MakeButton(this, u"按钮取消"_s, u"取消"_s, QRect(414, 328, kButtonWidth, kButtonHeight));

    connect(restoreButton, &QPushButton::clicked, this, &TextDialog::Restore);
    connect(clearButton, &QPushButton::clicked, m_body, &QPlainTextEdit::clear);
    connect(pasteButton, &QPushButton::clicked, this, &TextDialog::Paste);
    connect(m_fileButton, &QPushButton::clicked, this, [this] { ImportFile(true); });
    connect(m_fileNameButton, &QPushButton::clicked, this, [this] { ImportFile(false); });
    connect(m_okButton, &QPushButton::clicked, this, &TextDialog::Accept);
    // The cancel button closes without the "changed" question; only the close box asks.
    connect(m_cancelButton, &QPushButton::clicked, this, [this] { QDialog::reject(); });

    // Creation, in the order the dialog has always applied its request.
    m_fileButton->setVisible(m_request.fileMode == 1 || m_request.fileMode == 3);
    m_fileNameButton->setVisible(m_request.fileMode == 2 || m_request.fileMode == 3);

    m_hint->setText(m_request.hint);
    m_hint->setCursorPosition(0);
    setWindowTitle(m_request.title);
    m_body->setPlainText(m_request.startText);
    m_body->setReadOnly(m_request.inputMode == 1);

    if (m_request.informationMode) {
        m_okButton->hide();
        m_toolBar->hide();
        QPalette bodyPalette = m_body->palette();
        bodyPalette.setColor(QPalette::Base, bodyPalette.color(QPalette::Window));
        m_body->setPalette(bodyPalette);
        m_body->setReadOnly(true);
        QFont bold = m_hint->font();
        bold.setBold(true);
        m_hint->setFont(bold);
        m_cancelButton->setText(u"关闭(&G)"_s);
        m_cancelButton->setDefault(true);
    }

    if (m_request.scrollBars) {
        m_body->setLineWrapMode(QPlainTextEdit::NoWrap);
        m_body->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        m_body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    }

    m_margin = m_request.margin < 1 ? 5 : m_request.margin;

    // Qt sizes are client sizes, so the frame term of the designed formula is zero.
    QSize size = this->size();
    if (m_request.extraWidth != 0)
        size.setWidth(m_request.extraWidth + 2 * m_margin);
    if (m_request.extraHeight != 0)
        size.setHeight(kHintHeight + 2 * m_margin + m_request.extraHeight + 3 * m_margin + kButtonHeight);
    resize(size);
    FitIntoScreen(this);
    size = this->size();
    LayOut();

    const QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect area = screen->geometry();
        move(area.left() + qRound(area.width() / 2.0 - size.width() / 2.0),
            area.top() + qRound((area.height() - 30) / 2.0 - size.height() / 2.0));
    }

    if (m_request.maximized)
        setWindowState(windowState() | Qt::WindowMaximized);

    m_body->setFocus();
}

TextDialog::~TextDialog()
{
    if (g_current == this)
        g_current = nullptr;
}

TextDialog* TextDialog::Current()
{
    return g_current;
}

QString TextDialog::Text() const
{
    return ToCrLf(m_body->toPlainText());
}

void TextDialog::reject()
{
    // The close box and Escape: an edited input must not be lost without asking.
    if (!m_request.informationMode && IsChanged()
        && ShowMessage(u"内容已被改动，是否要放弃？"_s, QMessageBox::Yes | QMessageBox::No, QString(), this)
            != QMessageBox::Yes)
        return;
    QDialog::reject();
}

void TextDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    LayOut();
}

void TextDialog::Accept()
{
    m_resultText = Text();
    m_accepted = true;
    QDialog::accept();
}

void TextDialog::Restore()
{
    if (!m_request.startText.isEmpty())
        m_body->setPlainText(m_request.startText);
    else
        ShowMessage(u"启动值为空！"_s, QMessageBox::Ok, QString(), this);
}

void TextDialog::Paste()
{
    m_body->setPlainText(QGuiApplication::clipboard()->text());
}

void TextDialog::ImportFile(bool content)
{
    QFileDialog fileDialog(this, u"选择一个文本文件，导入其文本数据"_s);
    fileDialog.setObjectName(u"导入文本文件对话框"_s);
    fileDialog.setFileMode(QFileDialog::ExistingFile);
    fileDialog.setNameFilters({ u"Txt文本 (*.txt *.text)"_s, u"Ini配置 (*.ini *.inf)"_s, u"全部文件 (*)"_s });
    if (fileDialog.exec() != QDialog::Accepted || fileDialog.selectedFiles().isEmpty())
        return;
    const QString path = fileDialog.selectedFiles().constFirst();
    if (!content) {
        m_body->setPlainText(path);
        return;
    }
    QFile file(path);
    constexpr qint64 kMaxImport = 64 * 1024 * 1024;
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxImport)
        return;
    const QByteArray bytes = file.readAll();
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    if (utf8.hasError()) {
        if (QTextCodec* gb = QTextCodec::codecForName("GB18030"))
            text = gb->toUnicode(bytes);
    }
    m_body->setPlainText(text);
}

void TextDialog::LayOut()
{
    const int m = m_margin;
    const int w = width();
    const int h = height();
    m_hint->setGeometry(m, m, qMax(0, w - 2 * m), kHintHeight);
    const int buttonTop = h - m - kButtonHeight;
    m_cancelButton->move(w - m - kButtonWidth, buttonTop);
    m_okButton->move(m_cancelButton->x() - kButtonWidth - 1, buttonTop);
    m_toolBar->move(m, buttonTop - 5);
    const int bodyTop = m + kHintHeight + m;
    m_body->setGeometry(m, bodyTop, qMax(0, w - 2 * m), qMax(0, buttonTop - 2 * m - bodyTop));
}

bool TextDialog::IsChanged() const
{
    return m_body->toPlainText() != ToLf(m_request.startText);
}

bool ShowTextDialog(const QString& startText, const std::optional<QString>& hint, const QString& title, QWidget* owner,
    QString* result, const TextDialogOptions& options)
{
    if (TextDialog::Current() != nullptr)
        return false;
    const bool inputMode = result != nullptr;

    TextDialogRequest request;
    request.hint = hint.value_or(QString());
    if (hint.has_value() && hint->isEmpty())
        request.hint = inputMode ? u"请输入数据："_s : u"以下为信息详情："_s;
    request.title = title;
    if (request.title.isEmpty())
        request.title = inputMode ? u"输入："_s : u"信息："_s;
    request.startText = startText;
    request.informationMode = !inputMode;
    request.inputMode = options.inputMode;
    request.maximized = options.maximized;
    request.extraWidth = options.extraWidth;
    request.extraHeight = options.extraHeight;
    request.scrollBars = options.scrollBars;
    request.margin = options.margin;
    request.fileMode = options.fileMode;

    // The owner may go away while the dialog runs (the program is ended from the tray).
    QPointer<TextDialog> dialog = new TextDialog(request, owner);
    dialog->exec();
    if (dialog.isNull())
        return false;
    const bool accepted = dialog->Accepted();
    const QString text = dialog->ResultText();
    delete dialog;
    if (accepted && result != nullptr)
        *result = text;
    return accepted;
}

QMessageBox::StandardButton ShowMessage(
    const QString& text, QMessageBox::StandardButtons buttons, const QString& title, QWidget* parent)
{
    return MessageBox::Show(parent, text, title.isEmpty() ? u"岚澈："_s : title, buttons, QMessageBox::Information);
}

QString HelpText()
{
    const QString crlf = u"\r\n"_s;
    struct Paragraph
    {
        QString text;
        int breaks;
    };
    const Paragraph paragraphs[] = {
        { u"岚澈软件出品的网站访问情况批量监控工具。"_s, 2 },
        { u"如果你有几百几千甚至几万个网站，那就一定需要实时掌握每个网站是否能正常访问。本软件可以多线程二十小时动态监控网站的访问情况，并将不正常的网站单独列出以供排查纠正。"_s,
            2 },
        { u"右键单击列表中的网址可以打开，左键双击可以复制。"_s, 5 },
        { u"【监控条件设置】"_s, 2 },
        { u"按网页状态：根据目标网页返回的状态码来判断。可以输入状态码，如200、301等，多个状态码使用“|”隔开，如“200|301”。取反就是将真变为假，假变为真。"_s,
            2 },
        { u"按网页内容：根据目标网页返回的源代码来判断。可以输入关键字，多个关键字使用“|”隔开，如百度的限制搜索提示“根据相关法律法规和政策，部分搜索结果未予显示”。取反就是将真变为假，假变为真。"_s,
            3 },
        { u"当所有条件为真时，软件就会判断为正常的（√），否则就是不正常的（×）。"_s, 3 },
        { u"【其他设置】"_s, 2 },
        { u"线程数：可以设置同时监控访问的线程数，假如有1000个网站，线程数为10，则需要轮替100批次来完成1000个网站的访问，每批次10个网站访问。"_s,
            2 },
        { u"超时秒：请求网页最多等待时间，如果超出这个时间目标网页还没响应就会停止继续请求。"_s, 2 },
        { u"刷新秒：每个网站的刷新间隔时间，假如刷新秒为30，也就是半分钟，假如12:30:02访问一次，下一次则是在12:30:32访问，以此类推。"_s,
            0 },
    };
    QString text;
    for (const Paragraph& paragraph : paragraphs)
        text += paragraph.text + crlf.repeated(paragraph.breaks);
    return text;
}

void ShowHelpText(QWidget* owner)
{
    ShowTextDialog(HelpText(), std::nullopt, u"疑点说明"_s, owner);
}
