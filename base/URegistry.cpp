#include "base/URegistry.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "base/URegistryStore.h"
#include "base/URegistryTree.h"

namespace {

using TGuard = std::lock_guard<std::recursive_mutex>;

std::string Quoted(std::string_view name) {
    return "'" + std::string(name) + "'";
}

std::string SetFailure(std::string_view name) {
    return "Failed to set data for " + Quoted(name);
}

std::string RegistryDirectory() {
    std::string directory = EnvironmentText("TESSIVAR_REGISTRY_DIR");
    if (!directory.empty())
        return directory;
    return ConfigDirectory() + "/tessivar";
}

// The key the object has open (or the root); nullptr when it was deleted meanwhile.
TRegistryNode* OpenNode(TRegistryRoot root, const std::vector<std::string>& path) {
    return RegistryStore::Tree(root).Find(path);
}

} // namespace

const char* RegistryRootName(TRegistryRoot root) {
    return root == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::string RegistryFileName(TRegistryRoot root) {
    std::string directory = RegistryDirectory();
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    return directory + "/" + RegistryRootName(root) + ".reg";
}

TRegistry::TRegistry(TRegistryRoot root) : m_Root(root) {}

void TRegistry::SetRootKey(TRegistryRoot root) {
    CloseKey();
    m_Root = root;
}

bool TRegistry::OpenKey(std::string_view path, bool canCreate) {
    std::vector<std::string> names;
    if (!SplitRegistryPath(path, names))
        return false;
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* tree = &RegistryStore::Tree(m_Root);
    if (!tree->Find(names)) {
        if (!canCreate)
            return false;
        std::string failure = "Failed to create key " + Quoted(path);
        try {
            RegistryStore::CheckWritable(m_Root, failure);
            TRegistryNode* node = tree;
            for (const std::string& name : names)
                node = &node->AddSubKey(name);
            RegistryStore::Save(m_Root, failure);
        } catch (const ERegistryException& e) {
            DebugException("TRegistry", e);
            return false;
        }
    }
    // The stored names, so that CurrentPath shows the key's own letter case.
    m_Path.clear();
    TRegistryNode* node = tree;
    for (const std::string& name : names) {
        node = node->FindSubKey(name);
        m_Path.push_back(node->Name());
    }
    m_HasKey = true;
    m_ReadOnly = false;
    return true;
}

bool TRegistry::OpenKeyReadOnly(std::string_view path) {
    if (!OpenKey(path, false))
        return false;
    m_ReadOnly = true;
    return true;
}

void TRegistry::CloseKey() {
    m_HasKey = false;
    m_ReadOnly = false;
    m_Path.clear();
}

std::string TRegistry::CurrentPath() const {
    std::string path;
    for (const std::string& name : m_Path) {
        if (!path.empty())
            path += '\\';
        path += name;
    }
    return path;
}

bool TRegistry::KeyExists(std::string_view path) const {
    std::vector<std::string> names;
    if (!SplitRegistryPath(path, names))
        return false;
    TGuard guard(RegistryStore::Lock());
    return RegistryStore::Tree(m_Root).Find(names) != nullptr;
}

bool TRegistry::DeleteKey(std::string_view path) {
    std::string failure = "Failed to delete key " + Quoted(path);
    if (m_ReadOnly)
        throw ERegistryException(failure + ": the key is open read-only");
    std::vector<std::string> names;
    if (!SplitRegistryPath(path, names) || names.empty())
        return false;
    std::string last = std::move(names.back());
    names.pop_back();
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* parent = RegistryStore::Tree(m_Root).Find(names);
    if (!parent || !parent->FindSubKey(last))
        return false;
    RegistryStore::CheckWritable(m_Root, failure);
    parent->RemoveSubKey(last);
    RegistryStore::Save(m_Root, failure);
    return true;
}

TStringArray TRegistry::GetKeyNames() const {
    TGuard guard(RegistryStore::Lock());
    TStringArray names;
    if (TRegistryNode* node = OpenNode(m_Root, m_Path))
        for (const auto& [name, sub] : node->SubKeys())
            names.push_back(name);
    return names;
}

TStringArray TRegistry::GetValueNames() const {
    TGuard guard(RegistryStore::Lock());
    TStringArray names;
    if (TRegistryNode* node = OpenNode(m_Root, m_Path))
        for (const TRegistryValue& value : node->Values())
            names.push_back(value.Name);
    return names;
}

bool TRegistry::ValueExists(std::string_view name) const {
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    return node && node->FindValue(name);
}

TRegDataType TRegistry::GetDataType(std::string_view name) const {
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    const TRegistryValue* value = node ? node->FindValue(name) : nullptr;
    if (!value)
        return TRegDataType::rdUnknown;
    switch (value->Type) {
    case REG_SZ:
        return TRegDataType::rdString;
    case REG_DWORD:
        return TRegDataType::rdInteger;
    case REG_BINARY:
        return TRegDataType::rdBinary;
    default:
        return TRegDataType::rdUnknown;
    }
}

std::string TRegistry::ReadString(std::string_view name) const {
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    const TRegistryValue* value = node ? node->FindValue(name) : nullptr;
    if (!value)
        return {};
    if (value->Type == REG_SZ)
        return value->Text;
    if (value->Type == REG_DWORD)
        return std::to_string(static_cast<int32_t>(value->Number));
    return {};
}

int32_t TRegistry::ReadInteger(std::string_view name) const {
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    const TRegistryValue* value = node ? node->FindValue(name) : nullptr;
    if (!value)
        throw ERegistryException("Failed to get data for " + Quoted(name));
    if (value->Type != REG_DWORD)
        throw ERegistryException("Invalid data type for " + Quoted(name));
    return static_cast<int32_t>(value->Number);
}

int32_t TRegistry::ReadIntegerDefault(std::string_view name, int32_t fallback) const {
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    const TRegistryValue* value = node ? node->FindValue(name) : nullptr;
    return value && value->Type == REG_DWORD ? static_cast<int32_t>(value->Number) : fallback;
}

std::vector<uint8_t> TRegistry::ReadBinaryData(std::string_view name) const {
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    const TRegistryValue* value = node ? node->FindValue(name) : nullptr;
    if (!value || value->Type == REG_SZ || value->Type == REG_DWORD)
        return {};
    return value->Bytes;
}

void TRegistry::WriteString(std::string_view name, std::string_view value) {
    StoreValue(TRegistryValue::String(std::string(name), std::string(value)));
}

void TRegistry::WriteInteger(std::string_view name, int32_t value) {
    StoreValue(TRegistryValue::Integer(std::string(name), static_cast<uint32_t>(value)));
}

void TRegistry::WriteBinaryData(std::string_view name, const std::vector<uint8_t>& data) {
    StoreValue(TRegistryValue::Binary(std::string(name), data));
}

void TRegistry::StoreValue(TRegistryValue value) {
    std::string failure = SetFailure(value.Name);
    CheckWritable(failure);
    if (value.Name.size() > RegistryMaxValueNameLength)
        throw ERegistryException(failure + ": the name is too long");
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    if (!node)
        throw ERegistryException(failure + ": the key was deleted");
    RegistryStore::CheckWritable(m_Root, failure);
    node->SetValue(std::move(value));
    RegistryStore::Save(m_Root, failure);
}

bool TRegistry::DeleteValue(std::string_view name) {
    std::string failure = "Failed to delete value " + Quoted(name);
    CheckWritable(failure);
    TGuard guard(RegistryStore::Lock());
    TRegistryNode* node = OpenNode(m_Root, m_Path);
    if (!node || !node->FindValue(name))
        return false;
    RegistryStore::CheckWritable(m_Root, failure);
    node->RemoveValue(name);
    RegistryStore::Save(m_Root, failure);
    return true;
}

void TRegistry::CheckWritable(const std::string& failure) const {
    if (m_ReadOnly)
        throw ERegistryException(failure + ": the key is open read-only");
}

TRegistryBatch::TRegistryBatch() : m_Lock(RegistryStore::Lock()) {
    RegistryStore::BeginBatch();
}

TRegistryBatch::~TRegistryBatch() {
    if (!m_Done)
        RegistryStore::AbortBatch();
}

void TRegistryBatch::Commit() {
    if (m_Done)
        return;
    m_Done = true;
    RegistryStore::CommitBatch();
}
