#include "devservice/UWebSite.h"

#include <array>
#include <optional>
#include <utility>

#include "base/LStrings.h"

namespace {

const char* const Style = "<style>body{font-family:sans-serif;font-size:13px;margin:12px;line-height:1.4}"
                          "h1{font-size:18px}h2{font-size:15px;margin-top:18px}"
                          "table{border-collapse:collapse}td,th{padding:2px 8px;text-align:left}"
                          "nav a{margin-right:10px}</style>";

std::string Document(std::string_view title, std::string_view body) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HTMLEscape(title) + "</title>" + Style +
           "</head>\n<body>\n" + std::string(body) + "</body></html>\n";
}

const char* const Navigation = R"(<nav><a href="help.html">Help home</a><a href="index.html">Using Tessivar</a>
<a href="setupWizard.html">Setup wizard</a><a href="importWizard.html">Importing contacts</a></nav>
)";

const char* const HelpHome = R"(<h1>Tessivar Help</h1>
<p>Tessivar keeps unwanted mail out of your inbox. It sits between your mail program and your
mailboxes: your mail program fetches its mail from Tessivar on your own computer, and Tessivar
fetches it from your mail server, sorting every message by who sent it.</p>
<ul>
<li><a href="index.html">Using Tessivar</a>: what screening does, the main window and its lists,
approving and blocking.</li>
<li><a href="setupWizard.html">The setup wizard</a>: creating or joining your account, choosing
the mail accounts to screen.</li>
<li><a href="importWizard.html">Importing contacts</a>: approving the people in your address book.</li>
<li><a href="index.html#ByHand">Setting up a mail program by hand</a>.</li>
<li><a href="index.html#Challenge">What a sender sees</a>.</li>
</ul>
)";

const char* const Index = R"(<h1>Using Tessivar</h1>
<h2 id="Screening">What screening does</h2>
<p>Every message that reaches a screened mailbox is sorted by its sender:</p>
<ul>
<li>Mail from an <b>approved</b> sender or domain name is delivered to your mail program the next
time it checks for mail.</li>
<li>Mail from a <b>blocked</b> sender or domain name is kept back and never delivered unless you
approve it. So is mail that contains one of your blocked words or adult words, unless its sender
is approved.</li>
<li>Mail from anybody else <b>awaits authorization</b>. Tessivar asks the sender, once, to confirm
that a real person sent the message. When the sender confirms, the message and every later message
from that sender is delivered.</li>
</ul>
<h2 id="Challenge">What a sender sees</h2>
<p>A sender you have not approved receives one short mail from your address asking to confirm the
message. It names the subject and date of the message and holds a link. Opening the link shows the
message in question and a button; only the button confirms. A sender who confirmed is never asked
again. Senders are asked at most once a week, and nobody is asked about mail you already approved or
blocked.</p>
<h2 id="MainWindow">The main window</h2>
<p>Tessivar lives in the notification area of your desktop's panel. Double-click its icon, or choose
<b>Open</b> from its menu, to see the main window. The icon moves, a small window slides out of the
panel and a sound plays when new mail awaits authorization; each can be switched off under
Preferences.</p>
<ul>
<li><b>Pending Mail</b> lists the mail awaiting delivery, the mail awaiting authorization and the
blocked mail.</li>
<li><b>Review Approvals</b> lists your senders and domain names with their standing.</li>
<li><b>Activity</b> shows what Tessivar did recently.</li>
<li><b>Account Setup</b> shows your account on the Tessivar web site, with links to change your
password, the mail accounts that are screened, the word filters, your preferences and the access
lock.</li>
</ul>
<h2 id="Approving">Approving and blocking</h2>
<p>Select messages in a list and approve or block them. <b>Once only</b> decides for the selected
messages alone. <b>By sender</b> decides for everything from the same address, now and later.
<b>By domain name</b> decides for every sender of the same domain name (everyone at example.com,
say). Approved mail is delivered at the next check of your mail program; blocked mail is deleted
after the number of days you chose under Preferences, if you wish.</p>
<h2 id="Lock">Locking access</h2>
<p>With the access lock on, the main window asks for your unlock password each time it is opened,
so that nobody else at your computer can approve mail or change settings.</p>
<h2 id="ByHand">Setting up a mail program by hand</h2>
<p>The setup wizard changes the mail programs it knows for you. If your mail account is not listed,
point the account's incoming (POP3) server at Tessivar yourself:</p>
<ol>
<li>Open the account settings of your mail program and note the incoming server's name and port.</li>
<li>Set the incoming server to <code>127.0.0.1</code> and the port to the local port Tessivar shows
for the account in its activity log (ports start at 20001).</li>
<li>Keep your user name and password as they are: Tessivar uses them to log in to your real
mailbox.</li>
<li>Turn off encryption for the incoming server only: the connection never leaves your computer.
Tessivar uses an encrypted connection to your mail server where the server offers one.</li>
</ol>
<p>Restart your mail program afterwards. To stop screening, put the original server and port back.</p>
)";

const char* const SetupWizard = R"(<h1>The setup wizard</h1>
<p>The wizard runs the first time you start Tessivar, and again whenever you open Tessivar before
it was completed. Closing it before the end ends the program; nothing is changed until the end.</p>
<h2 id="Welcome">Welcome</h2>
<p>Click <b>Next</b> to begin. <b>Help</b> on any page opens the part of this page about it.</p>
<h2 id="Account">Account setup</h2>
<p>Choose <b>New account</b> the first time you use Tessivar. Choose <b>Existing account</b> if you
already have one (on another computer, or from an earlier installation) and enter its e-mail address
and password: your approved and blocked senders, domain names and settings are then loaded from the
web site, which can take a moment for a long list.</p>
<h2 id="EmailAddress">Your e-mail address</h2>
<p>Your account is known by an e-mail address of yours, usually the one you want screened. It must
be a complete address such as <code>jane@example.com</code>. If an account with that address
exists already, the wizard tells you so: go back and choose Existing account.</p>
<h2 id="ChoosePassword">Your password</h2>
<p>Type the password for your Tessivar account twice. It protects your account on the web site;
it is not your mailbox's password.</p>
<h2 id="ConfigureMailAccounts">Mail accounts</h2>
<p>The wizard lists the mail accounts it found in your mail programs. Tick each one you want
screened. Tessivar then changes the account so that your mail program fetches mail through it, and
changes it back when Tessivar ends. Restart your mail programs afterwards. An account that is not
listed can be <a href="index.html#ByHand">set up by hand</a>.</p>
<h2 id="ImportContacts">Existing contacts</h2>
<p>If Tessivar finds address books on your computer, it offers to approve the people in them, so
that their mail is delivered at once. Tick the contacts to approve and confirm that you agree to
their being told, once, by a <a href="importEmail.html">short notice</a>.</p>
<h2 id="Complete">Setup complete</h2>
<p>Click <b>Finish</b>. Tessivar opens its main window and from now on screens the accounts you
chose. <a href="setupComplete.html">What happens next</a>.</p>
)";

const char* const ImportWizard = R"(<h1>Importing contacts</h1>
<h2 id="Welcome">Welcome</h2>
<p>The import wizard approves the people in your address books, so that their mail is delivered
without their being asked to confirm anything.</p>
<h2 id="ImportContacts">Choosing contacts</h2>
<p>Tick the contacts to approve; <b>Select All</b> and <b>Select None</b> help with long lists.
Contacts are read from the vCard files in your contacts folder and from the address book of your
mail program. Each approved contact receives <a href="importEmail.html">one short notice</a>;
you must agree to that before the wizard goes on.</p>
<h2 id="Complete">Complete</h2>
<p>The chosen contacts now appear as approved senders under Review Approvals. You can block any of
them there later.</p>
)";

const char* const ImportEmail = R"(<h1>The notice imported contacts receive</h1>
<p>When you import contacts, Tessivar sends each of them this notice once, from your address:</p>
<pre style="border:1px solid #999;padding:8px;white-space:pre-wrap">From: you@example.com
To: friend@example.org
Subject: you@example.com now screens mail with Tessivar

Hello,

you@example.com now uses Tessivar to keep unwanted mail away, and has
added you to the list of approved senders.

Your mail will keep arriving as before: you do not need to do anything.
Senders who are not approved are asked once to confirm that they sent
their message; you will not be asked.

This notice is sent only once.</pre>
<p>No other mail is ever sent to your contacts because of the import.</p>
)";

const char* const SetupComplete = R"(<h1>Setup complete</h1>
<p>Tessivar now screens the mail accounts you chose.</p>
<ol>
<li>Restart your mail programs so that they fetch mail through Tessivar.</li>
<li>Check for mail as usual. Mail from approved senders arrives as before; other mail waits in
Tessivar's <b>Pending Mail</b> lists until its sender confirms or you decide.</li>
<li>Review the <b>Mail Awaiting Authorization</b> list now and then: approve what you want by
sender or by domain name, and block what you do not.</li>
</ol>
<p>Tessivar starts with your desktop session and stays in the notification area. To stop screening
an account, open <b>Account Setup</b> and change the mail accounts.</p>
)";

// Name, title and body of each help page.
const std::array<std::pair<const char*, std::pair<const char*, const char*>>, 6> Pages = {{
    {"help.html", {"Tessivar Help", HelpHome}},
    {"index.html", {"Using Tessivar", Index}},
    {"setupWizard.html", {"The setup wizard", SetupWizard}},
    {"importWizard.html", {"Importing contacts", ImportWizard}},
    {"importEmail.html", {"The notice imported contacts receive", ImportEmail}},
    {"setupComplete.html", {"Setup complete", SetupComplete}},
}};

const char* const Upgrade = R"(<h1>A new version of Tessivar</h1>
<p>A newer version of Tessivar is available. To install it:</p>
<ol>
<li>End Tessivar with <b>Exit</b> in its menu, so that your mail programs are pointed back at
your mail servers.</li>
<li>Install the new version with your system's package tools, or build it from the source
release, into the same folder as before, so that it keeps your database and stored mail.</li>
<li>Start Tessivar again. Your settings and lists are kept.</li>
</ol>
)";

std::string Row(std::string_view label, std::string_view value) {
    return "<tr><th>" + HTMLEscape(label) + "</th><td>" + HTMLEscape(value) + "</td></tr>\n";
}

} // namespace

std::optional<std::string> HelpPage(std::string_view name) {
    if (name == "upgrade.html")
        return UpgradePage();
    for (const auto& [page, content] : Pages)
        if (name == page)
            return Document(content.first, std::string(Navigation) + content.second);
    return std::nullopt;
}

std::string UpgradePage() {
    return Document("A new version of Tessivar", Upgrade);
}

TPage AccountSetupPage(const TAccountView& account) {
    const auto count = [](int approved, int blocked) {
        return std::to_string(approved) + " approved, " + std::to_string(blocked) + " blocked";
    };
    std::string body = "<h1>Your Tessivar account</h1>\n<table>\n";
    body += Row("E-mail address", account.EmailAddress);
    body += Row("Account standing", account.Status);
    body += Row("Senders", count(account.ApprovedSenders, account.BlockedSenders));
    body += Row("Domain names", count(account.ApprovedDomainNames, account.BlockedDomainNames));
    body += Row("Blocked words", account.HasBlockedWords ? "in use" : "none");
    body += Row("Adult words", account.HasAdultWords ? "in use" : "none");
    body += Row("Access lock", account.LockAccess ? "on" : "off");
    body += "</table>\n<h2>Settings</h2>\n<ul>\n"
            "<li><a id=\"changepassword\" href=\"tessivar:changepassword\">Change your password</a></li>\n"
            "<li><a id=\"changemailaccounts\" href=\"tessivar:changemailaccounts\">Choose the mail accounts "
            "to screen</a></li>\n"
            "<li><a id=\"changewordfilters\" href=\"tessivar:changewordfilters\">Blocked words and adult "
            "words</a></li>\n"
            "<li><a id=\"changepreferences\" href=\"tessivar:changepreferences\">Preferences</a></li>\n"
            "<li><a id=\"changelockaccess\" href=\"tessivar:changelockaccess\">Lock access to Tessivar with a "
            "password</a></li>\n</ul>\n"
            "<p><a href=\"/help/index.html\">Help on using Tessivar</a></p>\n";
    return {200, Document("Your Tessivar account", body)};
}

TPage AccountRefusedPage() {
    return {403, Document("Sign-in failed", "<h1>Sign-in failed</h1>\n<p>The e-mail address or the password of "
                                            "your Tessivar account is wrong.</p>\n")};
}

TPage AccountThrottledPage() {
    return {429, Document("Sign-in failed", "<h1>Sign-in failed</h1>\n<p>Too many wrong passwords were tried. Please "
                                            "try again in a quarter of an hour.</p>\n")};
}

namespace {

// "+" is a blank, "%XX" a byte; a "%" without two hexadecimal digits stays as it is.
std::string FormDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            decoded += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

} // namespace

std::optional<std::string> FormField(std::string_view form, std::string_view name) {
    while (!form.empty()) {
        const size_t end = form.find('&');
        const std::string_view pair = form.substr(0, end);
        const size_t equals = pair.find('=');
        if (FormDecode(pair.substr(0, equals)) == name)
            return equals == std::string_view::npos ? std::string() : FormDecode(pair.substr(equals + 1));
        if (end == std::string_view::npos)
            break;
        form.remove_prefix(end + 1);
    }
    return std::nullopt;
}
