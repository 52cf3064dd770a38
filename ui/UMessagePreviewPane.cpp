#include "ui/UMessagePreviewPane.h"

#include "base/UDebug.h"
#include "core/UTessivarEmail.h"
#include "ui/UMessagePreview.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QVBoxLayout>

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QString SizeText(qint64 bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg((bytes + 512) / 1024);
    return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

TMessagePreviewPane::TMessagePreviewPane(QWidget* parent)
    : QWidget(parent), lblHeaders(new QLabel(this)), mmoText(new QPlainTextEdit(this)),
      lblAttachments(new QLabel(this)) {
    setObjectName(QStringLiteral("pnlPreview"));
    setAccessibleName(QStringLiteral("Message preview"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    lblHeaders->setObjectName(QStringLiteral("lblPreviewHeaders"));
    // Plain text: a header is shown as written, never as markup.
    lblHeaders->setTextFormat(Qt::PlainText);
    lblHeaders->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    lblHeaders->setWordWrap(true);
    mmoText->setObjectName(QStringLiteral("mmoPreview"));
    mmoText->setReadOnly(true);
    mmoText->setAccessibleName(QStringLiteral("Message text"));
    lblAttachments->setObjectName(QStringLiteral("lblPreviewAttachments"));
    lblAttachments->setTextFormat(Qt::PlainText);
    lblAttachments->setWordWrap(true);
    layout->addWidget(lblHeaders);
    layout->addWidget(mmoText, 1);
    layout->addWidget(lblAttachments);
    Clear(QString());
}

void TMessagePreviewPane::Forget() {
    m_Shown = nullptr;
    m_ShownID = -1;
}

void TMessagePreviewPane::ShowEmail(const TTessivarEmail* email) {
    if (email == m_Shown && (!email || email->ID() == m_ShownID))
        return;
    m_Shown = email;
    m_ShownID = email ? email->ID() : -1;
    if (!email) {
        Clear(QString());
        return;
    }
    try {
        ShowPreview(PreviewMessageFile(email->FileName()));
    } catch (const std::exception& error) {
        DebugException("TMessagePreviewPane", error);
        Clear(QStringLiteral("The message could not be read from the message store."));
    }
}

void TMessagePreviewPane::ShowPreview(const TMessagePreview& preview) {
    const QString headers = QStringLiteral("From: %1\nTo: %2\nDate: %3\nSubject: %4")
                                .arg(FromUtf8(preview.From), FromUtf8(preview.To), FromUtf8(preview.Date),
                                     FromUtf8(preview.Subject));
    lblHeaders->setText(headers);
    QString text = FromUtf8(preview.Text);
    if (preview.TextCut)
        text += QStringLiteral("\n\n[The message is longer than the preview shows.]");
    mmoText->setPlainText(text);
    QStringList attachments;
    for (const TMessageAttachment& attachment : preview.Attachments)
        attachments << QStringLiteral("%1 (%2)").arg(FromUtf8(attachment.Name), SizeText(attachment.Size));
    lblAttachments->setText(attachments.isEmpty() ? QString()
                                                  : QStringLiteral("Attachments: ") + attachments.join(QStringLiteral(", ")));
    lblAttachments->setVisible(!attachments.isEmpty());
}

void TMessagePreviewPane::Clear(const QString& note) {
    lblHeaders->setText(QString());
    mmoText->setPlainText(note);
    lblAttachments->clear();
    lblAttachments->hide();
}

QString TMessagePreviewPane::HeaderText() const {
    return lblHeaders->text();
}

QString TMessagePreviewPane::BodyText() const {
    return mmoText->toPlainText();
}

QString TMessagePreviewPane::AttachmentsText() const {
    return lblAttachments->text();
}
