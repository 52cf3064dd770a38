#include "core/UIMAPAccountSetup.h"

#include "base/LStrings.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"

TKeptIMAPAccount KeepIMAPAccount(TTessivarBusinessLogic& model, const TIMAPServer& server,
                                 const std::string& password) {
    TKeptIMAPAccount kept;
    kept.PasswordPlace = KeepIMAPPassword(server, password);
    try {
        kept.Account =
            &model.AddIMAPAccount(server.EmailAddress, server.Username, server.Host, server.Port, server.Security);
    } catch (...) {
        ForgetIMAPPassword(server);
        throw;
    }
    return kept;
}

const TTessivarAccount* POP3AccountScreening(const TTessivarBusinessLogic& model, const std::string& address) {
    for (int i = 0; i < model.AccountCount(); ++i) {
        const TTessivarAccount& account = model.Accounts(i);
        if (!account.IsIMAP() && account.Enabled() && account.HasMailClientAccounts() &&
            SameText(account.EmailAddress(), address))
            return &account;
    }
    return nullptr;
}

bool ScreenedTheOtherWay(const TTessivarBusinessLogic& model, const TTessivarAccount& account) {
    for (int i = 0; i < model.AccountCount(); ++i) {
        const TTessivarAccount& other = model.Accounts(i);
        if (other.Enabled() && other.IsIMAP() != account.IsIMAP() &&
            (other.IsIMAP() || other.HasMailClientAccounts()) && SameText(other.EmailAddress(), account.EmailAddress()))
            return true;
    }
    return false;
}
