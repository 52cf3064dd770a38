#include "core/UIMAPSecretService.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"

namespace {

// After the service failed to answer, it is not asked again for a while, so that a missing keyring
// costs one time-out, not one per account.
constexpr auto RetryAfterSilence = std::chrono::minutes(5);
std::atomic<std::chrono::steady_clock::rep> SilentUntil{0};

const SecretSchema& Schema() {
    static const SecretSchema schema = [] {
        SecretSchema made{};
        made.name = "org.tessivar.IMAPPassword";
        made.flags = SECRET_SCHEMA_NONE;
        made.attributes[0] = {"address", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[1] = {"host", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[2] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
        made.attributes[3] = {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING};
        return made;
    }();
    return schema;
}

struct TGObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using TGObject = std::unique_ptr<T, TGObjectUnref>;

struct TGErrorHolder {
    GError* Error = nullptr;
    ~TGErrorHolder() { g_clear_error(&Error); }
    std::string Text() const { return Error ? Error->message : "no answer"; }
};

struct THashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using TAttributes = std::unique_ptr<GHashTable, THashTableUnref>;

TAttributes Attributes(const TIMAPServer& server) {
    // Address and host compare in any letter case, as in the password file.
    return TAttributes(secret_attributes_build(&Schema(), "address", LowerCase(server.EmailAddress).c_str(), "host",
                                               LowerCase(server.Host).c_str(), "user", server.Username.c_str(),
                                               nullptr));
}

// Cancels the calls that use Get() when the time-out passes first.
class TCancelAfter {
public:
    explicit TCancelAfter(int timeoutMs)
        : m_Cancellable(g_cancellable_new()), m_Thread([this, timeoutMs] {
              std::unique_lock lock(m_Lock);
              if (!m_Done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_Finished; }))
                  g_cancellable_cancel(m_Cancellable.get());
          }) {}
    ~TCancelAfter() {
        {
            std::lock_guard lock(m_Lock);
            m_Finished = true;
        }
        m_Done.notify_one();
        m_Thread.join();
    }
    TCancelAfter(const TCancelAfter&) = delete;
    TCancelAfter& operator=(const TCancelAfter&) = delete;
    GCancellable* Get() const { return m_Cancellable.get(); }

private:
    TGObject<GCancellable> m_Cancellable;
    std::mutex m_Lock;
    std::condition_variable m_Done;
    bool m_Finished = false;
    std::thread m_Thread;
};

void NoteSilence(const std::string& what, const TGErrorHolder& error) {
    Debug("The Secret Service did not answer (" + what + "): " + error.Text());
    SilentUntil = (std::chrono::steady_clock::now() + RetryAfterSilence).time_since_epoch().count();
}

// The service, its session open; null when it does not answer.
TGObject<SecretService> Service(const TCancelAfter& cancel) {
    TGErrorHolder error;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancel.Get(), &error.Error);
    if (!service)
        NoteSilence("connect", error);
    return TGObject<SecretService>(service);
}

// The unlocked items of the server's password; nullopt when the service did not answer.
std::optional<GList*> UnlockedItems(SecretService* service, const TIMAPServer& server, const TCancelAfter& cancel,
                                    bool loadSecrets) {
    TGErrorHolder error;
    const TAttributes attributes = Attributes(server);
    // Without SECRET_SEARCH_UNLOCK: a locked item stays locked rather than prompting.
    const int flags = SECRET_SEARCH_ALL | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
    GList* items = secret_service_search_sync(service, &Schema(), attributes.get(),
                                              static_cast<SecretSearchFlags>(flags), cancel.Get(), &error.Error);
    if (error.Error) {
        NoteSilence("search", error);
        return std::nullopt;
    }
    return items;
}

struct TItemList {
    GList* Items;
    ~TItemList() { g_list_free_full(Items, g_object_unref); }
};

} // namespace

namespace {

// A session bus is there and the service has not been silent lately.
bool SecretServiceReachable() {
    if (std::chrono::steady_clock::now().time_since_epoch().count() < SilentUntil.load())
        return false;
    if (!EnvironmentText("DBUS_SESSION_BUS_ADDRESS").empty())
        return true;
    // The bus a systemd user session keeps at a fixed place; without either, GLib would try to
    // start a bus of its own, which a program without a desktop must not do.
    const std::string runtime = EnvironmentText("XDG_RUNTIME_DIR");
    struct stat status {};
    return !runtime.empty() && ::stat((runtime + "/bus").c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

} // namespace

bool SecretServiceWanted() {
    return !SameText(EnvironmentText("TESSIVAR_PASSWORD_STORE"), "file") && SecretServiceReachable();
}

TSecretLookup LookupSecretPassword(const TIMAPServer& server) {
    TSecretLookup lookup;
    if (!SecretServiceWanted())
        return lookup;
    TCancelAfter cancel(SecretServiceTimeoutMs);
    const TGObject<SecretService> service = Service(cancel);
    if (!service)
        return lookup;
    const auto items = UnlockedItems(service.get(), server, cancel, true);
    if (!items)
        return lookup;
    const TItemList owned{*items};
    for (GList* node = owned.Items; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item))
            continue;
        SecretValue* value = secret_item_get_secret(item);
        if (!value)
            continue;
        gsize length = 0;
        const gchar* text = secret_value_get(value, &length);
        lookup.Password = std::string(text, length);
        secret_value_unref(value);
        break;
    }
    // Locked items count as no answer: the password may be there, and the file may hold a copy.
    lookup.Answered = lookup.Password.has_value() || owned.Items == nullptr;
    return lookup;
}

bool StoreSecretPassword(const TIMAPServer& server, const std::string& password) {
    if (!SecretServiceWanted())
        return false;
    TCancelAfter cancel(SecretServiceTimeoutMs);
    const TGObject<SecretService> service = Service(cancel);
    if (!service)
        return false;
    TGErrorHolder error;
    // Storing into a locked keyring would ask to unlock it: the password goes to the file instead.
    const TGObject<SecretCollection> collection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancel.Get(), &error.Error));
    if (!collection || secret_collection_get_locked(collection.get())) {
        Debug("The Secret Service's default keyring is missing or locked; the password is kept elsewhere.");
        return false;
    }
    const std::string label =
        "Tessivar IMAP password for " + server.EmailAddress + " (" + server.Username + " at " + server.Host + ")";
    SecretValue* value = secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain");
    const TAttributes attributes = Attributes(server);
    const gboolean stored =
        secret_service_store_sync(service.get(), &Schema(), attributes.get(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                  value, cancel.Get(), &error.Error);
    secret_value_unref(value);
    if (!stored)
        NoteSilence("store", error);
    return stored;
}

bool ClearSecretPassword(const TIMAPServer& server) {
    // Also when the file is chosen: a copy left in the keyring would be read first.
    if (!SecretServiceReachable())
        return false;
    TCancelAfter cancel(SecretServiceTimeoutMs);
    const TGObject<SecretService> service = Service(cancel);
    if (!service)
        return false;
    const auto items = UnlockedItems(service.get(), server, cancel, false);
    if (!items)
        return false;
    const TItemList owned{*items};
    bool cleared = true;
    for (GList* node = owned.Items; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        TGErrorHolder error;
        if (secret_item_get_locked(item) || !secret_item_delete_sync(item, cancel.Get(), &error.Error))
            cleared = false;
    }
    return cleared;
}
