#pragma once
// The main window's own frame: the caption band (artwork and title, the version text, the "Help!"
// button that turns underlined and blue under the pointer, an "Exit" button where there is no tray,
// the close button; dragging it moves the window) and the footer band (the state icon and text of the latest activity, cut with "...").
// Thread contract: the user-interface thread.

#include <QAbstractButton>
#include <QWidget>

// "v" and the first five characters of the program version: "v01.02".
QString VersionCaption();

// A flat text button of the caption band: white, underlined and blue while the pointer is over it.
class TCaptionButton : public QAbstractButton {
    Q_OBJECT
public:
    TCaptionButton(const QString& text, QWidget* parent);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool m_Hover = false;
};

class TTessivarCaptionBand : public QWidget {
    Q_OBJECT
public:
    explicit TTessivarCaptionBand(QWidget* parent);
    TCaptionButton& HelpButton() const { return *m_Help; }
    // "Exit": shown only where no tray menu offers it.
    TCaptionButton& ExitButton() const { return *m_Exit; }
    TCaptionButton& CloseButton() const { return *m_Close; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    TCaptionButton* m_Help;
    TCaptionButton* m_Exit;
    TCaptionButton* m_Close;
};

class TTessivarFooterBand : public QWidget {
    Q_OBJECT
public:
    explicit TTessivarFooterBand(QWidget* parent);
    // -1: no icon. An empty text leaves the footer blank.
    void SetStatus(int kind, const QString& text);
    int Kind() const { return m_Kind; }
    const QString& Text() const { return m_Text; }
    // The label that shows the text (and tells screen readers).
    const class QLabel& TextLabel() const { return *m_Label; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    class QLabel* m_Label;
    int m_Kind = -1;
    QString m_Text;
};

// White text on a one-pixel black shadow.
void DrawShadowedText(class QPainter& painter, const QRect& rect, int flags, const QString& text);
