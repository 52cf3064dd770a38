#pragma once
// The new-version prompt: offered when the web service reports a newer program (the model decides
// that, once per run). "Yes" opens the upgrade page in the user's web browser and ends the program;
// "No" closes the prompt. Created once, shown modally, centred on the desktop.
// Thread contract: the user-interface thread only.

#include <QDialog>

#include <functional>
#include <string>

class QUrl;

class TfrmNewVersion : public QDialog {
    Q_OBJECT
public:
    // `endProgram` ends the run; `openURL` opens a page in the user's web browser (by default the
    // desktop's choice; a failure to open it is not reported).
    explicit TfrmNewVersion(std::function<void()> endProgram, std::function<void(const QUrl&)> openURL = {},
                            QWidget* parent = nullptr);

    // The model's OnNewVersion: shows the prompt modally. True when the user chose "Yes".
    bool NewVersion(const std::string& version);

private:
    std::function<void()> m_EndProgram;
    std::function<void(const QUrl&)> m_OpenURL;
};
