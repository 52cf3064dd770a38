#include "base/URegistryTree.h"

#include <algorithm>

namespace {

char FoldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view name) {
    std::string folded(name);
    for (char& c : folded)
        c = FoldCase(c);
    return folded;
}

} // namespace

bool TRegistryNameLess::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(FoldCase(x)) < static_cast<unsigned char>(FoldCase(y));
    });
}

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
    auto it = m_SubKeys.find(name);
    return it != m_SubKeys.end() ? it->second.get() : nullptr;
}

TRegistryNode& TRegistryNode::AddSubKey(std::string_view name) {
    auto it = m_SubKeys.lower_bound(name);
    if (it == m_SubKeys.end() || TRegistryNameLess()(name, it->first))
        it = m_SubKeys.emplace_hint(it, std::string(name), std::make_unique<TRegistryNode>(std::string(name)));
    return *it->second;
}

bool TRegistryNode::RemoveSubKey(std::string_view name) {
    auto it = m_SubKeys.find(name);
    if (it == m_SubKeys.end())
        return false;
    m_SubKeys.erase(it);
    return true;
}

const TRegistryValue* TRegistryNode::FindValue(std::string_view name) const {
    auto it = m_ValueIndex.find(Folded(name));
    return it != m_ValueIndex.end() ? &*it->second : nullptr;
}

void TRegistryNode::SetValue(TRegistryValue value) {
    std::string key = Folded(value.Name);
    if (auto it = m_ValueIndex.find(key); it != m_ValueIndex.end()) {
        value.Name = std::move(it->second->Name);
        *it->second = std::move(value);
        return;
    }
    m_Values.push_back(std::move(value));
    m_ValueIndex.emplace(std::move(key), std::prev(m_Values.end()));
}

bool TRegistryNode::RemoveValue(std::string_view name) {
    auto it = m_ValueIndex.find(Folded(name));
    if (it == m_ValueIndex.end())
        return false;
    m_Values.erase(it->second);
    m_ValueIndex.erase(it);
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
