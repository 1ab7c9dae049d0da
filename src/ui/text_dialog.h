#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <optional>

class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// What the caller asks of the text dialog; the dialog reads it when it is created.
struct TextDialogRequest
{
    QString hint;
    QString title;
    QString startText;
    int inputMode = 0; // 0 free text, 1 read-only
    int extraWidth = 0; // 0 keeps the layout size
    int extraHeight = 0;
    bool informationMode = false;
    bool scrollBars = false;
    int margin = 0; // below 1 means 5
    bool maximized = false;
    int fileMode = 0; // 0 none, 1 content button, 2 file-name button, 3 both
};

// The optional request fields that ShowTextDialog passes through unchanged.
struct TextDialogOptions
{
    int inputMode = 0;
    bool maximized = false;
    int extraWidth = 0;
    int extraHeight = 0;
    bool scrollBars = false;
    int margin = 0;
    int fileMode = 0;
};

// The one multi-line text dialog: input mode (editable, OK/Cancel, tool buttons) or information mode.
class TextDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TextDialog)

public:
    explicit TextDialog(const TextDialogRequest& request, QWidget* owner = nullptr);
    ~TextDialog() override;

    // The dialog that is open now, or null.
    static TextDialog* Current();

    bool Accepted() const { return m_accepted; }
    // The text at OK, lines joined by CR LF.
    QString ResultText() const { return m_resultText; }
    // The edited text, lines joined by CR LF.
    QString Text() const;
    int Margin() const { return m_margin; }

    void reject() override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Accept();
    void Restore();
    void Paste();
    void ImportFile(bool content);
    void LayOut();
    bool IsChanged() const;

    TextDialogRequest m_request;
    int m_margin = 5;
    bool m_accepted = false;
    QString m_resultText;

    QLineEdit* m_hint = nullptr;
    QPlainTextEdit* m_body = nullptr;
    QFrame* m_toolBar = nullptr;
    QPushButton* m_fileButton = nullptr;
    QPushButton* m_fileNameButton = nullptr;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
};

// Opens the text dialog modally. With a result pointer it is an input dialog, without one an
// information dialog. Returns whether OK was pressed; false at once when a dialog is already open.
// A hint left out is empty; a hint given empty gets the mode's default wording.
bool ShowTextDialog(const QString& startText = QString(), const std::optional<QString>& hint = std::nullopt,
    const QString& title = QString(), QWidget* owner = nullptr, QString* result = nullptr,
    const TextDialogOptions& options = {});

// A modal message box with the information icon; title "岚澈：" when empty.
QMessageBox::StandardButton ShowMessage(const QString& text, QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    const QString& title = QString(), QWidget* parent = nullptr);

// The help text behind the "疑点说明" picture and link.
QString HelpText();
void ShowHelpText(QWidget* owner);
