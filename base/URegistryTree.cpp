#include "base/URegistryTree.h"

#include <algorithm>

namespace {

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldCase(x) == FoldCase(y); });
}

// Byte order of the folded names, so that "a" < "B" < "c".
bool NameBefore(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(FoldCase(x)) < static_cast<unsigned char>(FoldCase(y));
    });
}

} // namespace

TRegistryValue TRegistryValue::String(std::string name, std::string text) {
    TRegistryValue value;
    value.Name = std::move(name);
    value.Type = REG_SZ;
    value.Text = std::move(text);
    return value;
}

TRegistryValue TRegistryValue::Integer(std::string name, uint32_t number) {
    TRegistryValue value;
    value.Name = std::move(name);
    value.Type = REG_DWORD;
    value.Number = number;
    return value;
}

TRegistryValue TRegistryValue::Binary(std::string name, std::vector<uint8_t> bytes, uint32_t type) {
    TRegistryValue value;
    value.Name = std::move(name);
    value.Type = type;
    value.Bytes = std::move(bytes);
    return value;
}

TRegistryNode* TRegistryNode::FindSubKey(std::string_view name) const {
    auto it = std::lower_bound(
        m_SubKeys.begin(), m_SubKeys.end(), name,
        [](const std::unique_ptr<TRegistryNode>& node, std::string_view n) { return NameBefore(node->m_Name, n); });
    return it != m_SubKeys.end() && SameName((*it)->m_Name, name) ? it->get() : nullptr;
}

TRegistryNode& TRegistryNode::AddSubKey(std::string_view name) {
    auto it = std::lower_bound(
        m_SubKeys.begin(), m_SubKeys.end(), name,
        [](const std::unique_ptr<TRegistryNode>& node, std::string_view n) { return NameBefore(node->m_Name, n); });
    if (it != m_SubKeys.end() && SameName((*it)->m_Name, name))
        return **it;
    return **m_SubKeys.insert(it, std::make_unique<TRegistryNode>(std::string(name)));
}

bool TRegistryNode::RemoveSubKey(std::string_view name) {
    auto it = std::find_if(m_SubKeys.begin(), m_SubKeys.end(),
                           [&](const std::unique_ptr<TRegistryNode>& node) { return SameName(node->m_Name, name); });
    if (it == m_SubKeys.end())
        return false;
    m_SubKeys.erase(it);
    return true;
}

const TRegistryValue* TRegistryNode::FindValue(std::string_view name) const {
    for (const TRegistryValue& value : m_Values)
        if (SameName(value.Name, name))
            return &value;
    return nullptr;
}

void TRegistryNode::SetValue(TRegistryValue value) {
    for (TRegistryValue& existing : m_Values)
        if (SameName(existing.Name, value.Name)) {
            value.Name = std::move(existing.Name);
            existing = std::move(value);
            return;
        }
    m_Values.push_back(std::move(value));
}

bool TRegistryNode::RemoveValue(std::string_view name) {
    auto it = std::find_if(m_Values.begin(), m_Values.end(),
                           [&](const TRegistryValue& value) { return SameName(value.Name, name); });
    if (it == m_Values.end())
        return false;
    m_Values.erase(it);
    return true;
}

TRegistryNode* TRegistryNode::Find(const std::vector<std::string>& path) {
    TRegistryNode* node = this;
    for (const std::string& name : path) {
        node = node->FindSubKey(name);
        if (!node)
            return nullptr;
    }
    return node;
}

bool IsValidRegistryKeyName(std::string_view name) {
    if (name.empty() || name.size() > RegistryMaxKeyNameLength)
        return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

bool SplitRegistryPath(std::string_view path, std::vector<std::string>& names) {
    names.clear();
    if (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    if (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    if (path.empty())
        return true;
    size_t start = 0;
    while (true) {
        size_t end = path.find('\\', start);
        std::string_view name =
            path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!IsValidRegistryKeyName(name) || names.size() >= RegistryMaxKeyDepth) {
            names.clear();
            return false;
        }
        names.emplace_back(name);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}
