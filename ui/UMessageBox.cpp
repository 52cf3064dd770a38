#include "ui/UMessageBox.h"

#include <deque>

namespace {

struct TPresets {
    std::deque<QMessageBox::StandardButton> Answers;
    std::vector<TMessageBox::TAsked> Asked;
};

TPresets& Presets() {
    static TPresets presets;
    return presets;
}

} // namespace

QMessageBox::StandardButton TMessageBox::Show(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                              const QString& text, QMessageBox::StandardButtons buttons) {
    TPresets& presets = Presets();
    presets.Asked.push_back({icon, title, text, buttons});
    if (!presets.Answers.empty()) {
        const QMessageBox::StandardButton answer = presets.Answers.front();
        presets.Answers.pop_front();
        return answer;
    }
    QMessageBox box(icon, title, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool TMessageBox::Confirm(QWidget* parent, const QString& title, const QString& text) {
    return Show(parent, QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TMessageBox::PresetAnswer(QMessageBox::StandardButton answer) {
    Presets().Answers.push_back(answer);
}

std::vector<TMessageBox::TAsked> TMessageBox::TakeAsked() {
    TPresets& presets = Presets();
    std::vector<TAsked> asked;
    asked.swap(presets.Asked);
    presets.Answers.clear();
    return asked;
}
