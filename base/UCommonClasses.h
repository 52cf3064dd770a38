#pragma once
// Typed lists and name/value lists with a line text form. Thread contract: no internal locking;
// each list and pair is used by one thread at a time (the thread that owns it).

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/UException.h"

TESSIVAR_EXCEPTION(TypedListException, Exception);
TESSIVAR_EXCEPTION(NameValueException, Exception);

// Root of every object a TTypedList can hold.
class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;

    static const char* StaticClassName() { return "TObject"; }
    virtual const char* ClassName() const { return StaticClassName(); }
};

// Describes the class every item of a list must be of: its name, a test whether an object is of
// that class or derives from it, and a factory for a new instance.
struct TItemClass {
    const char* Name;
    bool (*IsInstance)(const TObject& item);
    std::unique_ptr<TObject> (*Create)();
};

template <class T> const TItemClass& ItemClassOf() {
    static const TItemClass itemClass{
        T::StaticClassName(),
        [](const TObject& item) { return dynamic_cast<const T*>(&item) != nullptr; },
        []() -> std::unique_ptr<TObject> { return std::make_unique<T>(); },
    };
    return itemClass;
}

// An owning list whose items must all be of its item class. Clearing or destroying the list
// destroys the items.
class TTypedList {
public:
    explicit TTypedList(const TItemClass& itemClass);
    TTypedList(const TTypedList&) = delete;
    TTypedList& operator=(const TTypedList&) = delete;
    virtual ~TTypedList();

    const TItemClass& ItemClass() const { return m_ItemClass; }
    // The list always owns its items.
    bool OwnsObjects() const { return true; }

    // Takes ownership of item and appends it. Fails with TypedListException "Value must be of
    // type <item class>" when the item is not of the item class; the item is then destroyed.
    TObject& AddItem(std::unique_ptr<TObject> item);
    // Creates an item of the item class, appends it through AddItem and returns it.
    virtual TObject& NewItem();

    int Count() const { return static_cast<int>(m_Items.size()); }
    // Index from 0; fails with TypedListException when out of range.
    TObject& Item(int index) const;
    void Delete(int index);
    void Clear();

private:
    const TItemClass& m_ItemClass;
    std::vector<std::unique_ptr<TObject>> m_Items;
};

// A name and a value with a text form Name + Separator + Value.
class TNameValuePair : public TObject {
public:
    TNameValuePair() = default;

    static const char* StaticClassName() { return "TNameValuePair"; }
    const char* ClassName() const override { return StaticClassName(); }

    const std::string& Name() const { return m_Name; }
    void SetName(std::string_view name) { m_Name = name; }
    virtual std::string Value() const { return m_Value; }
    virtual void SetValue(std::string_view value) { m_Value = value; }
    const std::string& Separator() const { return m_Separator; }
    void SetSeparator(std::string_view separator) { m_Separator = separator; }

    std::string AsString() const;
    // Splits at the first Separator into the trimmed name and the trimmed value. Without a
    // separator fails with NameValueException and leaves the pair unchanged.
    void SetAsString(std::string_view text);

private:
    std::string m_Name;
    std::string m_Value;
    std::string m_Separator = "=";
};

// A name with several values; the single-text Value is the values joined by ValueSeparator.
class TNameValuesPair : public TNameValuePair {
public:
    TNameValuesPair() = default;

    static const char* StaticClassName() { return "TNameValuesPair"; }
    const char* ClassName() const override { return StaticClassName(); }

    std::string Value() const override;
    // Replaces Values with the pieces of value cut at every ValueSeparator (untrimmed); an empty
    // text gives no values.
    void SetValue(std::string_view value) override;

    std::vector<std::string>& Values() { return m_Values; }
    const std::vector<std::string>& Values() const { return m_Values; }
    const std::string& ValueSeparator() const { return m_ValueSeparator; }
    void SetValueSeparator(std::string_view separator) { m_ValueSeparator = separator; }

private:
    std::vector<std::string> m_Values;
    std::string m_ValueSeparator = ";";
};

// An owning list of name/value pairs with a text form: one pair per line, lines joined by
// LineSeparator.
class TNameValueList : public TTypedList {
public:
    TNameValueList();

    virtual TNameValuePair& Items(int index) const;
    TNameValuePair& NewItem() override;

    // Appends a pair with that name and value.
    TNameValuePair& Add(std::string_view name, std::string_view value);
    // Appends a pair and sets its text. On failure the new, empty pair stays in the list.
    TNameValuePair& AddFromString(std::string_view text);
    // Index of the first pair whose name equals name ignoring letter case; -1 when none.
    int IndexOfName(std::string_view name) const;

    const std::string& LineSeparator() const { return m_LineSeparator; }
    void SetLineSeparator(std::string_view separator) { m_LineSeparator = separator; }

    std::string AsString() const;
    // Clears the list, then adds one pair per line. A line without a separator (an empty line
    // included) fails with NameValueException; the pairs read before it stay in the list.
    void SetAsString(std::string_view text);

protected:
    explicit TNameValueList(const TItemClass& itemClass);

private:
    std::string m_LineSeparator = "\r\n";
};

// A name/value list whose items hold several values each.
class TNameValuesList : public TNameValueList {
public:
    TNameValuesList();

    TNameValuesPair& Items(int index) const override;
    TNameValuesPair& NewItem() override;

protected:
    explicit TNameValuesList(const TItemClass& itemClass);
};
