#include "core/UTessivarSchema.h"

#include "core/USQLite.h"

#include <string>

// The texts, runs of eight blanks included, are those every existing database was created with.
const std::array<std::string_view, 7> TessivarSchemaStatements = {
    "CREATE TABLE Configuration(        DataVersion BIGINT,        UserName VARCHAR,        Password VARCHAR,        Signature VARCHAR,        BlockedWords VARCHAR,        AdultWords VARCHAR,        UnlockPassword VARCHAR,        LockAccess BOOLEAN,        Modified BOOLEAN);",
    "INSERT INTO Configuration(        DataVersion,        LockAccess,        Modified)VALUES(        0,        'false',        'true');",
    "CREATE TABLE Accounts(        ID INTEGER PRIMARY KEY,        EmailAddress VARCHAR,        RemoteServer VARCHAR,        RemotePort INTEGER,        Username VARCHAR,        Enabled BOOLEAN);",
    "CREATE TABLE DomainNames(        ID INTEGER PRIMARY KEY,        DomainName VARCHAR,        Notes VARCHAR,        ApprovalStatus INTEGER,        Deleted BOOLEAN,        Modified BOOLEAN);",
    "CREATE TABLE EmailAddresses(        ID INTEGER PRIMARY KEY,        Username VARCHAR,        DomainNameID INTEGER,        DisplayName VARCHAR,        Notes VARCHAR,        ApprovalStatus INTEGER,        AuthenticationStatus INTEGER,        Deleted BOOLEAN,        Modified BOOLEAN);",
    "CREATE TABLE Emails(        ID INTEGER PRIMARY KEY,        AccountID INTEGER,        MessageID VARCHAR,        FromEmailAddressID INTEGER,        FromDisplayName VARCHAR,        Subject VARCHAR,        Received DATETIME,        ApprovalStatus INTEGER,        WordBlocked BOOLEAN,        AdultBlocked BOOLEAN,        Deleted BOOLEAN);",
    "CREATE TABLE EmailAddressesRequiringAuthorization(        FromEmailAddress VARCHAR,        FromDisplayName VARCHAR,        ToEmailAddress VARCHAR,        ToDisplayName VARCHAR,        Subject VARCHAR,        Received DATETIME,        SyncID INTEGER);",
};

void CreateTessivarSchema(TSQLite& database) {
    for (const std::string_view statement : TessivarSchemaStatements)
        database.Execute(std::string(statement));
}
