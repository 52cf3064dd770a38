#pragma once
// The registry: two roots (current user, local machine) of keys holding typed values, each root
// kept in one file in the text form of registry exports (base/URegistryText.h).
//
// Thread contract: callable from any thread. One process-wide lock guards every root; a TRegistry
// object itself belongs to one thread at a time. Every change reaches disk atomically before the
// call returns (temporary file, flush, rename; owner-only permissions), and a file changed on disk
// by another process is read again before the next access.
//
// Files: <dir>/HKEY_CURRENT_USER.reg and <dir>/HKEY_LOCAL_MACHINE.reg, where <dir> is
// $TESSIVAR_REGISTRY_DIR when set, else $XDG_CONFIG_HOME/tessivar, else ~/.config/tessivar. A
// missing file is an empty root. A damaged file is reported in the trace and read as far as it is
// valid; before the first rewrite its original text is kept beside it as "<file>.damaged". A file
// that exists but cannot be read is an empty root that refuses every write, so it is never
// overwritten.
//
// Paths name keys from the root: "\Software\Tessivar" and "Software\Tessivar" are the same key,
// whatever key is open. Key and value names compare with A-Z folded and keep their letter case.
//
// Values of an unexpected type: ReadString of an integer gives its decimal text, of binary data
// ""; ReadIntegerDefault of anything but an integer gives the default; ReadBinaryData of anything
// but binary data gives no bytes. Only ReadInteger raises (missing value or wrong type).

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/LStrings.h"
#include "base/UException.h"

struct TRegistryValue;

TESSIVAR_EXCEPTION(ERegistryException, Exception);

enum class TRegistryRoot { CurrentUser, LocalMachine };
inline constexpr TRegistryRoot HKEY_CURRENT_USER = TRegistryRoot::CurrentUser;
inline constexpr TRegistryRoot HKEY_LOCAL_MACHINE = TRegistryRoot::LocalMachine;

enum class TRegDataType { rdUnknown, rdString, rdInteger, rdBinary };

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
const char* RegistryRootName(TRegistryRoot root);
// The file that holds the root, per the rules above.
std::string RegistryFileName(TRegistryRoot root);

class TRegistry {
public:
    explicit TRegistry(TRegistryRoot root = HKEY_CURRENT_USER);
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    TRegistryRoot RootKey() const { return m_Root; }
    // Closes the open key.
    void SetRootKey(TRegistryRoot root);

    // Opens the key for reading and writing, creating it and its missing parents when canCreate.
    // False when it is missing (and not to be created), the path is not valid, or creating failed.
    bool OpenKey(std::string_view path, bool canCreate);
    // Opens an existing key; every change made through this object then raises ERegistryException.
    bool OpenKeyReadOnly(std::string_view path);
    void CloseKey();
    bool HasCurrentKey() const { return m_HasKey; }
    // Path of the open key without leading backslash, names in their stored case; "" when none.
    std::string CurrentPath() const;

    bool KeyExists(std::string_view path) const;
    // Deletes the key with all its subkeys and values; false when it does not exist.
    bool DeleteKey(std::string_view path);

    // The operations below work on the open key, or on the root itself when no key is open. If
    // the open key was deleted meanwhile, reads find nothing and writes raise.
    TStringArray GetKeyNames() const;
    TStringArray GetValueNames() const;
    bool ValueExists(std::string_view name) const;
    TRegDataType GetDataType(std::string_view name) const;

    std::string ReadString(std::string_view name) const;
    void WriteString(std::string_view name, std::string_view value);
    // Raises ERegistryException "Failed to get data for 'name'" or "Invalid data type for 'name'".
    int32_t ReadInteger(std::string_view name) const;
    int32_t ReadIntegerDefault(std::string_view name, int32_t fallback) const;
    void WriteInteger(std::string_view name, int32_t value);
    std::vector<uint8_t> ReadBinaryData(std::string_view name) const;
    void WriteBinaryData(std::string_view name, const std::vector<uint8_t>& data);
    bool DeleteValue(std::string_view name);

private:
    // Raises ERegistryException(failure + reason) when the key is open read-only.
    void CheckWritable(const std::string& failure) const;
    void StoreValue(TRegistryValue value);

    TRegistryRoot m_Root;
    bool m_HasKey = false;
    bool m_ReadOnly = false;
    std::vector<std::string> m_Path; // names of the open key, as stored
};

// Makes the changes of one thread a single write of each file touched: they all reach disk at
// Commit, or none does. Holds the registry lock from construction to destruction, so other threads
// neither see nor interleave with the half-made change. Without Commit (an exception on the way)
// the changes are dropped and the roots are read again from disk. Batches may nest; the outermost
// one writes.
class TRegistryBatch {
public:
    TRegistryBatch();
    ~TRegistryBatch();
    TRegistryBatch(const TRegistryBatch&) = delete;
    TRegistryBatch& operator=(const TRegistryBatch&) = delete;

    // Raises ERegistryException when a file cannot be written; the changes are then dropped.
    void Commit();

private:
    std::unique_lock<std::recursive_mutex> m_Lock;
    bool m_Done = false;
};
