#pragma once
// The Account Setup page where no embedded web page can be shown (the browser engine refuses to run
// as root with its sandbox on): the account's settings as links of the program's own "tessivar:"
// scheme, run by the same in-page command rule as the links of the web page. Thread contract: the
// user-interface thread.

#include <QWidget>

#include <functional>
#include <string>
#include <utility>
#include <vector>

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
