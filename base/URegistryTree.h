#pragma once
// The in-memory form of one registry root: a tree of keys with typed values. Plain data without
// locking: the registry store guards every tree with its process-wide lock, and the text parser
// builds trees that no other thread sees yet.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Windows value type numbers, as they appear in "hex(N):" data of the text form.
constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;

// Limits of the Windows registry; deeper or longer names are refused.
constexpr size_t RegistryMaxKeyNameLength = 255;
constexpr size_t RegistryMaxValueNameLength = 16383;
constexpr size_t RegistryMaxKeyDepth = 512;

struct TRegistryValue {
    std::string Name;           // "" is the key's default value
    uint32_t Type = REG_SZ;     // one of the REG_ numbers, or any other type kept as raw bytes
    std::string Text;           // REG_SZ
    uint32_t Number = 0;        // REG_DWORD
    std::vector<uint8_t> Bytes; // REG_BINARY and every other type

    static TRegistryValue String(std::string name, std::string text);
    static TRegistryValue Integer(std::string name, uint32_t number);
    static TRegistryValue Binary(std::string name, std::vector<uint8_t> bytes, uint32_t type = REG_BINARY);
};

// Orders names with A-Z folded, so that "a" < "B" < "c" and "A" == "a".
struct TRegistryNameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// One key. Names compare with A-Z folded and keep the letter case they were created with; subkeys
// stay sorted by folded name, values keep the order in which they were first written. Every
// operation takes logarithmic or constant time, so that huge files cannot make loading hang.
class TRegistryNode {
public:
    using TSubKeys = std::map<std::string, std::unique_ptr<TRegistryNode>, TRegistryNameLess>;
    using TValues = std::list<TRegistryValue>;

    explicit TRegistryNode(std::string name = {}) : m_Name(std::move(name)) {}
    TRegistryNode(const TRegistryNode&) = delete;
    TRegistryNode& operator=(const TRegistryNode&) = delete;

    const std::string& Name() const { return m_Name; }

    TRegistryNode* FindSubKey(std::string_view name) const;
    // The existing subkey of that name, or a new one.
    TRegistryNode& AddSubKey(std::string_view name);
    bool RemoveSubKey(std::string_view name);
    const TSubKeys& SubKeys() const { return m_SubKeys; }

    const TRegistryValue* FindValue(std::string_view name) const;
    // Replaces the value of the same name (keeping its place and stored name) or appends it.
    void SetValue(TRegistryValue value);
    bool RemoveValue(std::string_view name);
    const TValues& Values() const { return m_Values; }

    // The key at the end of the path of names below this one, or nullptr.
    TRegistryNode* Find(const std::vector<std::string>& path);

private:
    std::string m_Name;
    TSubKeys m_SubKeys;
    TValues m_Values;
    std::unordered_map<std::string, TValues::iterator> m_ValueIndex; // by folded name
};

// A name a key may have: 1 to 255 bytes, no backslash, no control characters.
bool IsValidRegistryKeyName(std::string_view name);
// Splits "\A\B\C" (leading and trailing backslash optional) into its key names. False when a name
// is not valid or the path is deeper than the registry allows; "" and "\" are the root (no names).
bool SplitRegistryPath(std::string_view path, std::vector<std::string>& names);
