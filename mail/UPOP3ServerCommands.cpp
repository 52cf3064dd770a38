// The command table of TPOP3ServerEngine: state rules, fixed replies and the calls to the handlers.

#include <algorithm>
#include <cctype>

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "mail/UPOP3Channel.h"
#include "mail/UPOP3ServerEngine.h"

namespace {

std::string NotHandled(std::string_view word) {
    return "-ERR Command Not Handled: " + std::string(word);
}

// Sets the reply for a missing handler and returns false; true when the handler exists.
template <typename THandler> bool HasHandler(const THandler& handler, TPOP3Command& command) {
    if (handler)
        return true;
    command.Reply = {NotHandled(POP3CommandWord(command.Kind))};
    return false;
}

bool InTransaction(TPOP3Command& command) {
    if (command.Connection.State() == TPOP3State::TransactionState)
        return true;
    command.Reply = {"-ERR Please login first"};
    return false;
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "... HTTP/1.1", "... HTTP/2", "... HTTP/1.0" (letter case ignored): the end of an HTTP request line.
bool EndsWithHTTPVersion(std::string_view line) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    std::size_t end = line.size();
    while (end > 0 && (IsDigit(line[end - 1]) || line[end - 1] == '.'))
        --end;
    if (end == line.size() || !IsDigit(line[end]))
        return false;
    constexpr std::string_view Marker = " HTTP/";
    if (end < Marker.size())
        return false;
    const std::string_view before = line.substr(end - Marker.size(), Marker.size());
    for (std::size_t i = 0; i < Marker.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(before[i])) != Marker[i])
            return false;
    }
    return true;
}

// Whether the answer to the command is multi-line (and so must end with "."), given its reply.
bool IsMultiLineAnswer(const TPOP3Command& command) {
    if (command.Reply.empty() || !StartsWithText("+OK", command.Reply.front(), false))
        return false;
    switch (command.Kind) {
    case TPOP3CommandKind::RETR:
    case TPOP3CommandKind::TOP:
        return true;
    case TPOP3CommandKind::LIST:
    case TPOP3CommandKind::UIDL:
        return POP3NumberOrDefault(command.ParameterText) == -1;
    default:
        return false;
    }
}

} // namespace

bool IsPOP3CommandLine(std::string_view line) {
    const std::size_t wordEnd = std::min(line.find(' '), line.size());
    if (wordEnd < 3 || wordEnd > 4)
        return false;
    for (std::size_t i = 0; i < wordEnd; ++i) {
        if (!IsAsciiLetter(line[i]))
            return false;
    }
    return !EndsWithHTTPVersion(line);
}

bool TPOP3ServerEngine::ServeLine(TPOP3ServerConnection& connection, TPOP3Channel& channel, const std::string& line) {
    if (OnBeforeCommandHandler)
        OnBeforeCommandHandler(connection, line);
    if (connection.State() == TPOP3State::AuthorizationState && !IsPOP3CommandLine(line)) {
        Debug("TPOP3ServerEngine: " + connection.PeerAddress() +
              " sent a line that is no POP3 command before logging in; connection closed.");
        return false;
    }
    const TPOP3CommandKind kind = MatchPOP3Command(line);
    if (kind == TPOP3CommandKind::Unknown) {
        channel.WriteLine("-ERR Sorry, Unknown Command");
        return true;
    }
    TPOP3Command command(connection, kind, line);
    ServeCommand(command);
    // A handler that answered nothing would leave the client waiting for ever.
    if (command.Reply.empty()) {
        command.Reply = {NotHandled(POP3CommandWord(kind))};
        command.Response.clear();
    }
    std::string output;
    for (const std::string& replyLine : command.Reply)
        output.append(replyLine).append("\r\n");
    if (!command.Response.empty()) {
        for (const std::string& responseLine : command.Response)
            output.append(StuffPOP3Line(responseLine)).append("\r\n");
        output.append(".\r\n");
    } else if (IsMultiLineAnswer(command) && command.Reply.back() != ".") {
        output.append(".\r\n");
    }
    channel.Write(output);
    return kind != TPOP3CommandKind::QUIT;
}

void TPOP3ServerEngine::ServeCommand(TPOP3Command& command) {
    TPOP3ServerConnection& connection = command.Connection;
    switch (command.Kind) {
    // The whole argument is the name or the password, blanks included (RFC 1939); an argument left
    // out leaves it empty, so a PASS never logs in with the words of an earlier one.
    case TPOP3CommandKind::USER:
        connection.m_Username = command.ParameterText;
        command.Reply = {"+OK Password required"};
        break;
    case TPOP3CommandKind::PASS:
        connection.m_Password = command.ParameterText;
        if (HasHandler(CheckUser, command)) {
            connection.m_LoginFailureReply.clear();
            CheckUser(connection);
            if (connection.State() == TPOP3State::TransactionState)
                command.Reply = {"+OK Login OK"};
            else
                command.Reply = {connection.m_LoginFailureReply.empty() ? std::string("-ERR Login failed")
                                                                        : connection.m_LoginFailureReply};
        }
        break;
    case TPOP3CommandKind::LIST:
        if (InTransaction(command) && HasHandler(OnLIST, command))
            OnLIST(command, POP3NumberOrDefault(command.ParameterText));
        break;
    case TPOP3CommandKind::RETR:
        if (InTransaction(command) && HasHandler(OnRETR, command))
            OnRETR(command, POP3NumberOrDefault(command.ParameterText));
        break;
    case TPOP3CommandKind::DELE:
        if (InTransaction(command) && HasHandler(OnDELE, command)) {
            int32_t number = 0;
            if (TryStrToInt(Trim(command.ParameterText), number))
                OnDELE(command, number);
            else
                command.Reply = {"-ERR Invalid Message Number"};
        }
        break;
    case TPOP3CommandKind::UIDL:
        if (InTransaction(command) && HasHandler(OnUIDL, command))
            OnUIDL(command, POP3NumberOrDefault(command.ParameterText));
        break;
    case TPOP3CommandKind::STAT:
        if (InTransaction(command) && HasHandler(OnSTAT, command))
            OnSTAT(command);
        break;
    case TPOP3CommandKind::TOP:
        if (InTransaction(command) && HasHandler(OnTOP, command)) {
            // Both numbers are required; a negative line count other than -1 is as invalid as -1.
            int32_t number = -1;
            int32_t lines = -1;
            const bool valid = command.Parameters.size() >= 2 && TryStrToInt(command.Parameters[0], number) &&
                               TryStrToInt(command.Parameters[1], lines) && number != -1 && lines >= 0;
            if (valid)
                OnTOP(command, number, lines);
            else
                command.Reply = {"-ERR Invalid Syntax"};
        }
        break;
    case TPOP3CommandKind::NOOP:
        command.Reply = {"+OK NOOP"};
        break;
    case TPOP3CommandKind::APOP:
        command.Reply = {connection.State() == TPOP3State::AuthorizationState ? NotHandled("APOP")
                                                                              : "-ERR Wrong State"};
        break;
    case TPOP3CommandKind::RSET:
        if (InTransaction(command) && HasHandler(OnRSET, command)) {
            command.Reply = {"+OK Reset"};
            OnRSET(command);
        }
        break;
    case TPOP3CommandKind::QUIT:
        command.Reply = {"+OK Closing communication channel"};
        if (connection.State() == TPOP3State::TransactionState && OnQUIT)
            OnQUIT(command, connection);
        break;
    case TPOP3CommandKind::Unknown:
        break;
    }
}
