#include "app/UHeadless.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>

#include "app/UConsole.h"
#include "app/UIMAPCommands.h"
#include "base/LDates.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/URegistry.h"
#include "base/UWindows.h"
#include "core/UMessageLoop.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarLogItem.h"
#include "mail/UTessivarPOP3Server.h"
#include "service/UTessivarSynchronizationRetry.h"

namespace {

// One line of the activity log: local time, "error" for an error item, and the text, whose control
// characters (a line break in a server's answer, say) become spaces so that each item stays one line.
std::string LogLine(const TTessivarLogItem& item) {
    std::string details = item.Details();
    std::replace_if(
        details.begin(), details.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    return FormatDateTime("yyyy-mm-dd hh:nn:ss", item.Occurred()) +
           (item.Kind() == TTessivarLogItem::Error ? " error " : " ") + details + "\n";
}

// Written once screening has started: where the data lives, the mail program accounts found and
// which of them are screened on which local port, the IMAP mailboxes screened on their servers, and what
// to do when none is found or screened.
std::string StartupSummary(const TTessivarBusinessLogic& model) {
    std::string text = "Data folder: " + ProgramDirectory() + "\n";
    bool screened = false;
    const TTable rows = MailProgramAccounts(model, [&screened](const TTessivarAccount& account) {
        if (account.Redirected()) {
            screened = true;
            return "on local port " + std::to_string(account.Server().Port());
        }
        return std::string(account.Enabled() ? "enabled, not running" : "not screened");
    });
    const TTable imap = IMAPAccountRows(model, [&screened](const TTessivarAccount& account) {
        if (account.Redirected()) {
            screened = true;
            return std::string("screened on the server");
        }
        return std::string(account.Enabled() ? "enabled, not running" : "not screened");
    });
    if (rows.size() > 1)
        text += "Mail program accounts:\n" + TableText(rows, "  ");
    if (imap.size() > 1)
        text += "IMAP mailboxes:\n" + TableText(imap, "  ");
    if (rows.size() == 1 && imap.size() == 1) {
        const std::string file = RegistryFileName(HKEY_CURRENT_USER);
        text += "No mail program account was found in HKEY_CURRENT_USER.reg or HKEY_LOCAL_MACHINE.reg in " +
                file.substr(0, file.rfind('/')) +
                ".\nSet up your mail program's POP3 account there (see \"Mail programs\" in the README), then "
                "start tessivar again, or screen an IMAP mailbox on its server (\"tessivar imap add\").\n";
    } else if (!screened) {
        text += "None of them is screened: \"tessivar enable ADDRESS\" screens the account with that "
                "address from the next start (\"tessivar accounts\" lists them).\n";
    }
    text += ThunderbirdIMAPOffers(model);
    if (model.SetupRequired())
        text += "No Tessivar web account is set up, so unknown senders are not asked to authenticate: "
                "\"tessivar account create ADDRESS PASSWORD\" (or \"account join\" for an existing one) sets "
                "it up.\n";
    return text;
}

} // namespace

bool StopScreening(TMessageLoop& loop, TTessivarBusinessLogic& model) {
    bool clean = true;
    // An account whose restore failed is no longer redirected, so each retry goes on with the rest.
    for (int attempt = 0; attempt <= model.AccountCount(); ++attempt) {
        try {
            model.UnprotectAccounts();
            break;
        } catch (const std::exception& error) {
            Report(error);
            clean = false;
        }
    }
    loop.BeginShutdown();
    try {
        model.Shutdown();
    } catch (const std::exception& error) {
        Report(error);
        clean = false;
    }
    return clean;
}

int RunScreening() {
    TMessageLoop loop;
    loop.SetQuitBeginsShutdown(false);
    TQuitOnSignals signals(loop);
    int exitCode = 0;
    try {
        TTessivarBusinessLogic model(loop);
        model.OnLogItem = [](TTessivarLogItem& item) { WriteOut(LogLine(item)); };
        // Local changes reach the service five seconds after the change that asked for them.
        TLoopTimer tmrServerSync(loop, std::chrono::milliseconds(5000), [&model] { model.Synchronize(true); });
        model.OnChange = [&tmrServerSync](TTessivarBusinessLogic& changed) {
            if (changed.SynchronizationRequired())
                tmrServerSync.Start();
        };
        // A synchronisation that failed is tried again, later and later, while anything waits for it.
        TSynchronizationRetry syncRetry(loop, model);
        model.OnAccountClosed = [&](TAccountStatus, const std::string& title, const std::string& text) {
            std::cerr << "tessivar: " << title << " " << text << std::endl;
            model.AddLogItem(text, 1);
            exitCode = ExitFailure;
            loop.Quit();
        };
        model.OnNewVersion = [&model](const std::string& version) {
            model.AddLogItem("A new version of Tessivar (" + version + ") is available.", 0);
        };
        try {
            model.AddLogItem("Starting up...", 0);
            model.Startup();
            model.AddLogItem("Startup complete.", 0);
            WriteOut(StartupSummary(model));
            loop.Run();
        } catch (const std::exception& error) {
            Report(error);
            exitCode = ExitFailure;
        }
        if (!StopScreening(loop, model))
            exitCode = ExitFailure;
        model.OnChange = nullptr;
        model.OnAccountClosed = nullptr;
    } catch (const std::exception& error) {
        Report(error);
        exitCode = ExitFailure;
    }
    return exitCode;
}
