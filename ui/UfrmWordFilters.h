#pragma once
// The word filters window: the blocked words and the adult words lists, on two tabs, each with its
// own "Ok" and "Cancel"; both lists are taken over together. Created once and shown again and
// again, modally, centred on the desktop. Thread contract: the user-interface thread (the model's
// thread) only, but for NormalizeWordList (any thread).

#include <QDialog>

#include <string>

class QPlainTextEdit;
class QTabWidget;
class TTessivarBusinessLogic;

// A word list as typed, tidied: line breaks become blanks, the comma-separated items are trimmed,
// sorted and freed of repeats without regard to letter case and joined with ", ". A text without a
// comma stays as typed but for the line breaks and runs of blanks.
std::string NormalizeWordList(const std::string& text);

class TfrmWordFilters : public QDialog {
    Q_OBJECT
public:
    explicit TfrmWordFilters(QWidget* parent = nullptr);

    // Shows the model's lists; on OK both, normalised, replace them in one bracket of the model.
    // True when closed with OK and applied.
    bool EditWordFilters(TTessivarBusinessLogic& model);

private:
    // One tab: its caption, the box's caption and the box's and buttons' name part.
    QPlainTextEdit* AddPage(const QString& caption, const QString& prompt, const QString& name);

    QTabWidget* vtcWordFilters;
    QPlainTextEdit* mmoBlockedWords;
    QPlainTextEdit* mmoAdultWords;
};
