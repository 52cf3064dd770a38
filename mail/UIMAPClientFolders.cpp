#include "mail/UIMAPClient.h"

#include <poll.h>

#include <algorithm>
#include <ctime>

#include "base/LStrings.h"
#include "mail/USockets.h"

// The operations on folders and messages, and the waits for changes.

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string SinceDate(int days) {
    const std::time_t when = std::time(nullptr) - static_cast<std::time_t>(std::max(days, 0)) * 86400;
    std::tm local{};
    localtime_r(&when, &local);
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return std::to_string(local.tm_mday) + "-" + Months[local.tm_mon] + "-" + std::to_string(local.tm_year + 1900);
}

// The destination UID that COPYUID gives for uid ("<validity> <source set> <destination set>").
uint32_t CopiedUID(const TIMAPResponse& response, uint32_t uid) {
    if (response.Code != "COPYUID")
        return 0;
    const TStringArray parts = SplitText(response.CodeText, " ");
    if (parts.size() != 3)
        return 0;
    try {
        std::vector<uint32_t> sources, targets;
        AppendSequenceSet(parts[1], sources, 1000);
        AppendSequenceSet(parts[2], targets, 1000);
        // Sets of the same length map in order.
        const auto at = std::find(sources.begin(), sources.end(), uid);
        if (at == sources.end() || sources.size() != targets.size())
            return 0;
        return targets[static_cast<std::size_t>(at - sources.begin())];
    } catch (const EIMAPException&) {
        return 0;
    }
}

} // namespace

void TIMAPClient::LearnHierarchy() {
    if (m_HierarchyKnown)
        return;
    m_Separator = "/";
    m_Prefix.clear();
    bool found = false;
    if (HasCapability("NAMESPACE")) {
        const TResult result = Command("NAMESPACE");
        for (const TIMAPResponse& response : result.Untagged) {
            // (("prefix" "separator") ...) for the personal namespaces, then others' and shared.
            if (response.Name != "NAMESPACE" || response.Values.empty())
                continue;
            const TIMAPValue& personal = response.Values[0];
            if (personal.Kind == TIMAPValue::TKind::List && !personal.Items.empty() &&
                personal.Items[0].Items.size() >= 2) {
                m_Prefix = DecodeMailboxName(personal.Items[0].Items[0].AsText());
                m_Separator = personal.Items[0].Items[1].AsText();
                found = true;
            }
        }
    }
    if (!found) {
        const TResult result = Command("LIST \"\" \"\"");
        for (const TIMAPResponse& response : result.Untagged)
            if (response.Name == "LIST" && response.Values.size() >= 2)
                m_Separator = response.Values[1].AsText();
    }
    m_HierarchyKnown = true;
}

std::string TIMAPClient::ServerName(const std::string& name) {
    if (SameText(name, IMAPInboxFolder))
        return std::string(IMAPInboxFolder);
    LearnHierarchy();
    std::string full = m_Separator.empty() ? name : ReplaceAll(name, "/", m_Separator);
    if (!m_Prefix.empty() && !full.starts_with(m_Prefix))
        full = m_Prefix + full;
    return EncodeMailboxName(full);
}

std::string TIMAPClient::ProgramName(const std::string& serverName) {
    LearnHierarchy();
    std::string name = DecodeMailboxName(serverName);
    if (!m_Prefix.empty() && name.starts_with(m_Prefix) && name.size() > m_Prefix.size())
        name.erase(0, m_Prefix.size());
    return m_Separator.empty() || m_Separator == "/" ? name : ReplaceAll(name, m_Separator, "/");
}

namespace {

// While it lives, what the server reports about the client's own fetches and moves is not taken for
// another client's change.
struct TOwnChanges {
    bool& Flag;
    explicit TOwnChanges(bool& flag) : Flag(flag) { Flag = true; }
    ~TOwnChanges() { Flag = false; }
};

// A mailbox name argument: always quoted, as modified UTF-7 is ASCII.
std::string MailboxArgument(const std::string& serverName) {
    if (const std::optional<std::string> quoted = QuotedIMAPString(serverName))
        return *quoted;
    throw EIMAPException("Folder name too long: " + serverName.substr(0, 100));
}

bool HasAttribute(const TIMAPValue& attributes, std::string_view name) {
    return std::any_of(attributes.Items.begin(), attributes.Items.end(),
                       [&](const TIMAPValue& value) { return value.IsAtom(name); });
}

} // namespace

bool TIMAPClient::FolderExists(const std::string& serverName) {
    const TResult result = Command("LIST \"\" " + MailboxArgument(serverName));
    ExpectOK(result, "LIST");
    const std::string wanted = DecodeMailboxName(serverName);
    for (const TIMAPResponse& response : result.Untagged) {
        if (response.Name != "LIST" || response.Values.size() < 3)
            continue;
        if (HasAttribute(response.Values[0], "\\NonExistent"))
            continue;
        const std::string name = DecodeMailboxName(response.Values[2].AsText());
        if (name == wanted || (SameText(name, IMAPInboxFolder) && SameText(wanted, IMAPInboxFolder)))
            return true;
    }
    return false;
}

std::string TIMAPClient::SpecialUseFolder(const std::string& use) {
    const bool selection = HasCapability("SPECIAL-USE") && HasCapability("LIST-EXTENDED");
    const TResult result = Command(selection ? "LIST (SPECIAL-USE) \"\" \"*\"" : "LIST \"\" \"*\"");
    ExpectOK(result, "LIST");
    for (const TIMAPResponse& response : result.Untagged) {
        if (response.Name != "LIST" || response.Values.size() < 3)
            continue;
        const TIMAPValue& attributes = response.Values[0];
        if (HasAttribute(attributes, use) && !HasAttribute(attributes, "\\Noselect") &&
            !HasAttribute(attributes, "\\NonExistent"))
            return ProgramName(response.Values[2].AsText());
    }
    return {};
}

void TIMAPClient::EnsureFolder(const std::string& name) {
    LearnHierarchy();
    // In a flat namespace the name is one level, slashes and all.
    const TStringArray levels = m_Separator.empty() ? TStringArray{name} : SplitText(name, "/");
    std::string path;
    for (const std::string& level : levels) {
        path += (path.empty() ? "" : "/") + level;
        if (level.empty())
            continue;
        const std::string serverName = ServerName(path);
        if (!FolderExists(serverName)) {
            const TResult created = Command("CREATE " + MailboxArgument(serverName));
            // Another client may have created it a moment ago.
            const bool exists = created.Tagged.Code == "ALREADYEXISTS" ||
                                LowerCase(created.Tagged.Text).find("already exists") != std::string::npos;
            if (!created.OK() && !exists)
                ExpectOK(created, "CREATE " + path);
        }
        ExpectOK(Command("SUBSCRIBE " + MailboxArgument(serverName)), "SUBSCRIBE " + path);
    }
}

TIMAPFolderState TIMAPClient::Select(const std::string& folder) {
    m_Selected = false;
    m_Exists = 0;
    const TResult result = Command("SELECT " + MailboxArgument(ServerName(folder)));
    ExpectOK(result, "SELECT " + folder);
    if (result.Tagged.Code == "READ-ONLY")
        throw EIMAPException("SELECT " + folder + " failed: the folder is read-only.");
    TIMAPFolderState state;
    for (const TIMAPResponse& response : result.Untagged) {
        TIMAPValue number;
        number.Kind = TIMAPValue::TKind::Atom;
        number.Text = response.CodeText;
        if (response.Status == "OK" && response.Code == "UIDVALIDITY")
            state.UIDValidity = number.AsNumber().value_or(0);
        else if (response.Status == "OK" && response.Code == "UIDNEXT")
            state.UIDNext = number.AsNumber().value_or(0);
    }
    state.Exists = m_Exists;
    m_Selected = true;
    m_ChangePending = false;
    return state;
}

// ---- Messages ----------------------------------------------------------------------------------

std::vector<uint32_t> TIMAPClient::SearchUIDs(const std::vector<TPart>& criteria) {
    std::vector<TPart> parts = {TPart{TPart::TKind::Text, "UID SEARCH "}};
    parts.insert(parts.end(), criteria.begin(), criteria.end());
    const TResult result = Command(parts);
    ExpectOK(result, "SEARCH");
    std::vector<uint32_t> uids;
    for (const TIMAPResponse& response : result.Untagged) {
        if (response.Name == "SEARCH") {
            uids.insert(uids.end(), response.Numbers.begin(), response.Numbers.end());
        } else if (response.Name == "ESEARCH") {
            // [(TAG "T1")] [UID] ALL 1:3,5 ...: the set follows ALL wherever it stands.
            const std::vector<TIMAPValue>& values = response.Values;
            for (std::size_t i = 0; i + 1 < values.size(); ++i)
                if (values[i].IsAtom("ALL"))
                    AppendSequenceSet(values[i + 1].AsText(), uids, IMAPMaximumValues * 10);
        }
    }
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

std::vector<uint32_t> TIMAPClient::UIDsFrom(uint32_t from) {
    from = std::max<uint32_t>(from, 1);
    std::vector<uint32_t> uids = SearchUIDs({TPart{TPart::TKind::Text, "UID " + std::to_string(from) + ":*"}});
    // "n:*" takes in the folder's last message even when its UID is below n.
    uids.erase(std::remove_if(uids.begin(), uids.end(), [&](uint32_t uid) { return uid < from; }), uids.end());
    return uids;
}

std::vector<uint32_t> TIMAPClient::UIDsSince(int days) {
    return SearchUIDs({TPart{TPart::TKind::Text, "SINCE " + SinceDate(days)}});
}

std::vector<uint32_t> TIMAPClient::UIDsWithMessageID(const std::string& messageId) {
    // An empty text would match every message that has the header at all.
    if (Trim(messageId).empty() || messageId.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return {};
    if (const std::optional<std::string> quoted = QuotedIMAPString(messageId))
        return SearchUIDs({TPart{TPart::TKind::Text, "HEADER Message-ID " + *quoted}});
    return SearchUIDs(
        {TPart{TPart::TKind::Text, "CHARSET UTF-8 HEADER Message-ID "}, TPart{TPart::TKind::Literal, messageId}});
}

std::optional<std::vector<TIMAPValue>> TIMAPClient::FetchItems(uint32_t uid, const std::string& items) {
    const TOwnChanges own(m_OwnChanges);
    TResult result = Command("UID FETCH " + std::to_string(uid) + " (UID " + items + ")");
    ExpectOK(result, "FETCH");
    std::optional<std::vector<TIMAPValue>> merged;
    for (TIMAPResponse& response : result.Untagged) {
        if (response.Name != "FETCH")
            continue;
        const TIMAPValue* value = FindItem(response.Values, "UID");
        if (!value || value->AsNumber() != uid)
            continue;
        if (!merged)
            merged.emplace();
        std::move(response.Values.begin(), response.Values.end(), std::back_inserter(*merged));
    }
    return merged;
}

namespace {

// The section's value among the items ("BODY[]<0>" answers "BODY.PEEK[]<0.n>").
TIMAPValue* SectionItem(std::vector<TIMAPValue>& items, std::string_view section) {
    for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
        const std::string& name = items[i].Text;
        if (items[i].Kind == TIMAPValue::TKind::Atom && name.size() >= section.size() &&
            SameText(std::string_view(name).substr(0, section.size()), section) &&
            (name.size() == section.size() || name[section.size()] == '<'))
            return &items[i + 1];
    }
    return nullptr;
}

} // namespace

std::optional<std::string> TIMAPClient::Fetch(uint32_t uid) {
    // The size first, and never more than the limit: a larger message is refused while the
    // connection stays in step.
    std::optional<std::vector<TIMAPValue>> items =
        FetchItems(uid, "RFC822.SIZE BODY.PEEK[]<0." + std::to_string(IMAPMaximumMessageSize) + ">");
    if (!items)
        return std::nullopt;
    const TIMAPValue* size = FindItem(*items, "RFC822.SIZE");
    TIMAPValue* body = SectionItem(*items, "BODY[]");
    const uint64_t told = size && size->AsNumber() ? *size->AsNumber() : 0;
    if (told > IMAPMaximumMessageSize || (body && !size && body->Text.size() >= IMAPMaximumMessageSize))
        throw EIMAPException("Message too large: " + std::to_string(told) + " bytes.");
    if (!body || body->Kind == TIMAPValue::TKind::Nil || body->Kind == TIMAPValue::TKind::List)
        return std::nullopt;
    return std::move(body->Text);
}

std::optional<std::string> TIMAPClient::FetchHeader(uint32_t uid) {
    std::optional<std::vector<TIMAPValue>> items = FetchItems(uid, "BODY.PEEK[HEADER]");
    if (!items)
        return std::nullopt;
    TIMAPValue* header = SectionItem(*items, "BODY[HEADER]");
    if (!header || header->Kind != TIMAPValue::TKind::String)
        return std::nullopt;
    return std::move(header->Text);
}

uint32_t TIMAPClient::Move(uint32_t uid, const std::string& target) {
    const std::string serverTarget = ServerName(target);
    bool tryCreate = false;
    const uint32_t moved = MoveOnce(uid, serverTarget, tryCreate);
    if (!tryCreate)
        return moved;
    EnsureFolder(target);
    return MoveOnce(uid, serverTarget, tryCreate);
}

uint32_t TIMAPClient::MoveOnce(uint32_t uid, const std::string& serverTarget, bool& tryCreate) {
    const std::string set = std::to_string(uid);
    const std::string mailbox = MailboxArgument(serverTarget);
    const auto checked = [&](const TResult& result, const std::string& command) {
        tryCreate = !result.OK() && result.Tagged.Code == "TRYCREATE" && !tryCreate;
        if (!tryCreate)
            ExpectOK(result, command);
    };
    const auto copied = [&](const TResult& result) {
        uint32_t target = CopiedUID(result.Tagged, uid);
        for (const TIMAPResponse& response : result.Untagged)
            if (!target && response.Status == "OK")
                target = CopiedUID(response, uid);
        return target;
    };
    const TOwnChanges own(m_OwnChanges);
    if (HasMove()) {
        const TResult result = Command("UID MOVE " + set + " " + mailbox);
        checked(result, "MOVE");
        return tryCreate ? 0 : copied(result);
    }
    const TResult result = Command("UID COPY " + set + " " + mailbox);
    checked(result, "COPY");
    if (tryCreate)
        return 0;
    ExpectOK(Command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)"), "STORE");
    // Only this message: a plain EXPUNGE would also remove what other clients marked deleted.
    if (HasUIDPlus()) {
        ExpectOK(Command("UID EXPUNGE " + set), "EXPUNGE");
        return copied(result);
    }
    return 0;
}

// ---- Waiting -----------------------------------------------------------------------------------

bool TIMAPClient::WaitForChange(milliseconds timeout) {
    Stream();
    if (!m_Selected)
        throw EIMAPException("No folder is selected.");
    const auto deadline = steady_clock::now() + timeout;
    for (;;) {
        if (m_ChangePending) {
            m_ChangePending = false;
            return true;
        }
        if (m_WakeRequested.exchange(false))
            return false;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (HasIdle())
            IdleOnce(std::min(left, milliseconds(IMAPIdleRestartMs)));
        else
            PollOnce(std::min(left, milliseconds(IMAPPollIntervalMs)));
    }
}

bool TIMAPClient::IdleOnce(milliseconds timeout) {
    const std::string tag = "T" + std::to_string(m_NextTag++);
    SendLine(tag + " IDLE");
    for (;;) {
        TIMAPResponse response = ReadResponseNow();
        if (response.Kind == TIMAPResponse::TKind::Continuation)
            break;
        if (response.Kind == TIMAPResponse::TKind::Tagged)
            throw EIMAPException("IDLE failed: " + IMAPStatusText(response));
        NoteUntagged(response);
    }
    const auto deadline = steady_clock::now() + timeout;
    while (!m_ChangePending && !m_WakeRequested.load()) {
        // The wait is cut into short slices, so that a Wake from another thread ends it soon.
        const auto now = steady_clock::now();
        if (now >= deadline)
            break;
        std::optional<TIMAPResponse> response = ReadResponse(std::min(deadline, now + milliseconds(IMAPWakeCheckMs)));
        if (!response)
            continue;
        // A server may end an IDLE on its own.
        if (response->Kind == TIMAPResponse::TKind::Tagged && response->Tag == tag)
            return m_ChangePending;
        if (response->Kind != TIMAPResponse::TKind::Untagged)
            OutOfStep("Unexpected response during IDLE.");
        NoteUntagged(*response);
    }
    SendLine("DONE");
    for (;;) {
        TIMAPResponse response = ReadResponseNow();
        if (response.Kind == TIMAPResponse::TKind::Tagged && response.Tag == tag)
            break;
        NoteUntagged(response);
    }
    return m_ChangePending;
}

bool TIMAPClient::PollOnce(milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    for (auto now = steady_clock::now(); now < deadline && !m_WakeRequested.load(); now = steady_clock::now()) {
        pollfd wait{m_Abort->Handle(), POLLIN, 0};
        const auto slice =
            std::min(std::chrono::duration_cast<milliseconds>(deadline - now), milliseconds(IMAPWakeCheckMs));
        if (::poll(&wait, 1, static_cast<int>(slice.count())) > 0)
            break;
    }
    ExpectOK(Command("NOOP"), "NOOP");
    return m_ChangePending;
}
