#pragma once
// MIME header lists: headers as name/values pairs with the text form "Name:value1;value2", one
// header per line, lines joined by CR LF. Thread contract: no internal locking; a list is used by
// one thread at a time.

#include <string>
#include <string_view>

#include "base/UCommonClasses.h"

// One header: name and value joined by ":", values joined by ";".
class TMIMEHeader : public TNameValuesPair {
public:
    TMIMEHeader();

    static const char* StaticClassName() { return "TMIMEHeader"; }
    const char* ClassName() const override { return StaticClassName(); }
};

// An owning list of TMIMEHeader items.
class TMIMEHeaderList : public TNameValuesList {
public:
    TMIMEHeaderList();

    TMIMEHeader& Items(int index) const override;
    TMIMEHeader& NewItem() override;

    // Appends a header; the value is cut at every ";" into its values.
    TMIMEHeader& Add(std::string_view name, std::string_view value);
    // Appends a header read from "Name: value"; a line without ":" fails with NameValueException
    // and the new, empty header stays in the list.
    TMIMEHeader& AddLine(std::string_view line);

    // Clears the list and adds one header per CR LF separated line, the text after the last
    // separator included; stops at the first line without ":" with NameValueException.
    void SetText(std::string_view text) { SetAsString(text); }
    // Each header as Name + ":" + Value, joined by CR LF; empty for an empty list.
    std::string GetText() const { return AsString(); }
};
