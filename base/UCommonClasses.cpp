#include "base/UCommonClasses.h"

#include "base/LStrings.h"

namespace {

// The pieces of text cut at every occurrence of separator, the last piece included. An empty
// separator never matches, so the whole text is one piece.
std::vector<std::string_view> CutAt(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string_view::npos; at = text.find(separator, start)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

} // namespace

// TTypedList

TTypedList::TTypedList(const TItemClass& itemClass) : m_ItemClass(itemClass) {}

TTypedList::~TTypedList() = default;

TObject& TTypedList::AddItem(std::unique_ptr<TObject> item) {
    if (!item || !m_ItemClass.IsInstance(*item))
        throw TypedListException(std::string("Value must be of type ") + m_ItemClass.Name);
    m_Items.push_back(std::move(item));
    return *m_Items.back();
}

TObject& TTypedList::NewItem() {
    return AddItem(m_ItemClass.Create());
}

TObject& TTypedList::Item(int index) const {
    if (index < 0 || index >= Count())
        throw TypedListException("List index out of bounds (" + std::to_string(index) + ")");
    return *m_Items[static_cast<size_t>(index)];
}

void TTypedList::Delete(int index) {
    Item(index); // range check
    m_Items.erase(m_Items.begin() + index);
}

void TTypedList::Clear() {
    m_Items.clear();
}

// TNameValuePair

std::string TNameValuePair::AsString() const {
    return m_Name + m_Separator + Value();
}

void TNameValuePair::SetAsString(std::string_view text) {
    const size_t at = m_Separator.empty() ? std::string_view::npos : text.find(m_Separator);
    if (at == std::string_view::npos)
        throw NameValueException("A name/value pair must have a name part at a minimum. The data supplied was \"" +
                                 std::string(text) + "\".");
    std::string name = Trim(text.substr(0, at));
    SetValue(Trim(text.substr(at + m_Separator.size())));
    m_Name = std::move(name);
}

// TNameValuesPair

std::string TNameValuesPair::Value() const {
    return JoinText(m_Values, m_ValueSeparator);
}

void TNameValuesPair::SetValue(std::string_view value) {
    m_Values.clear();
    if (value.empty())
        return;
    for (std::string_view piece : CutAt(value, m_ValueSeparator))
        m_Values.emplace_back(piece);
}

// TNameValueList

TNameValueList::TNameValueList() : TNameValueList(ItemClassOf<TNameValuePair>()) {}

TNameValueList::TNameValueList(const TItemClass& itemClass) : TTypedList(itemClass) {}

TNameValuePair& TNameValueList::Items(int index) const {
    // Every item passed the item class test of AddItem, and the item class derives from
    // TNameValuePair.
    return static_cast<TNameValuePair&>(Item(index));
}

TNameValuePair& TNameValueList::NewItem() {
    return static_cast<TNameValuePair&>(TTypedList::NewItem());
}

TNameValuePair& TNameValueList::Add(std::string_view name, std::string_view value) {
    TNameValuePair& pair = NewItem();
    pair.SetName(name);
    pair.SetValue(value);
    return pair;
}

TNameValuePair& TNameValueList::AddFromString(std::string_view text) {
    TNameValuePair& pair = NewItem();
    pair.SetAsString(text);
    return pair;
}

int TNameValueList::IndexOfName(std::string_view name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(Items(i).Name(), name))
            return i;
    return -1;
}

std::string TNameValueList::AsString() const {
    std::string text;
    for (int i = 0; i < Count(); ++i) {
        if (i > 0)
            text += m_LineSeparator;
        text += Items(i).AsString();
    }
    return text;
}

void TNameValueList::SetAsString(std::string_view text) {
    Clear();
    if (text.empty())
        return;
    for (std::string_view line : CutAt(text, m_LineSeparator))
        AddFromString(line);
}

// TNameValuesList

TNameValuesList::TNameValuesList() : TNameValuesList(ItemClassOf<TNameValuesPair>()) {}

TNameValuesList::TNameValuesList(const TItemClass& itemClass) : TNameValueList(itemClass) {}

TNameValuesPair& TNameValuesList::Items(int index) const {
    return static_cast<TNameValuesPair&>(TNameValueList::Items(index));
}

TNameValuesPair& TNameValuesList::NewItem() {
    return static_cast<TNameValuesPair&>(TNameValueList::NewItem());
}
