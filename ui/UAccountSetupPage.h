#pragma once
// The Account Setup page while no web page fills it: the account's settings as links of the
// program's own "tessivar:" scheme, run by the same in-page command rule as links of a page.
// Thread contract: the user-interface thread.

#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The command of an in-page link: the text after "tessivar:" (letter case as written) up to the
// first "?"; none for a link of any other scheme, which the page follows itself.
std::optional<std::string> InPageCommand(const std::string& url);

class TAccountSetupPage : public QWidget {
    Q_OBJECT
public:
    // `execute` runs one command; `commands` are the ones offered, each with its link text.
    TAccountSetupPage(std::vector<std::pair<std::string, QString>> commands,
                      std::function<void(const std::string&)> execute, QWidget* parent = nullptr);
    // What a click on a link does.
    void LinkActivated(const QString& url);

private:
    std::function<void(const std::string&)> m_Execute;
};
