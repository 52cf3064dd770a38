#pragma once
// Message boxes of the windows, through one door so that tests can answer them: answers preset
// with PresetAnswer are taken in order instead of showing a box, and every box asked for is
// recorded. Thread contract: the user-interface thread only.

#include <QMessageBox>
#include <QString>

#include <vector>

class TMessageBox {
public:
    struct TAsked {
        QMessageBox::Icon Icon;
        QString Title;
        QString Text;
        QMessageBox::StandardButtons Buttons;
    };

    // Shows a modal box (or takes the next preset answer) and returns the button chosen.
    static QMessageBox::StandardButton Show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                            const QString& text, QMessageBox::StandardButtons buttons);
    // Yes and No with the question icon; true for Yes.
    static bool Confirm(QWidget* parent, const QString& title, const QString& text);

    // For tests.
    static void PresetAnswer(QMessageBox::StandardButton answer);
    // The boxes asked for since the last call; forgets them and any answers left over.
    static std::vector<TAsked> TakeAsked();
};
