#pragma once
// The pane below the mail lists that shows the selected message: From, To, Date and Subject, its
// text (never anything fetched or run: plain text only) and its attachments by name and size. The
// message is read from its store file when it is selected, and only while the pane is open.
// Thread contract: the user-interface thread (the model's thread) only.

#include <QWidget>

class QLabel;
class QPlainTextEdit;
class TTessivarEmail;
struct TMessagePreview;

// "1.2 MB", "340 KB", "12 bytes".
QString SizeText(qint64 bytes);

class TMessagePreviewPane : public QWidget {
    Q_OBJECT
public:
    explicit TMessagePreviewPane(QWidget* parent = nullptr);

    // Shows the email (none: an empty pane). The same email again is not read again.
    void ShowEmail(const TTessivarEmail* email);
    // Shows what was read.
    void ShowPreview(const TMessagePreview& preview);
    // Forgets the email shown, so that the next ShowEmail reads it again.
    void Forget();

    QString HeaderText() const;
    QString BodyText() const;
    QString AttachmentsText() const;

private:
    void Clear(const QString& note);

    QLabel* lblHeaders;
    QPlainTextEdit* mmoText;
    QLabel* lblAttachments;
    const TTessivarEmail* m_Shown = nullptr;
    int m_ShownID = -1;
};
