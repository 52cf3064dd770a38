#include "mail/UMIME.h"

TMIMEHeader::TMIMEHeader() {
    SetSeparator(":");
    SetValueSeparator(";");
}

TMIMEHeaderList::TMIMEHeaderList() : TNameValuesList(ItemClassOf<TMIMEHeader>()) {
    SetLineSeparator("\r\n");
}

TMIMEHeader& TMIMEHeaderList::Items(int index) const {
    return static_cast<TMIMEHeader&>(TNameValuesList::Items(index));
}

TMIMEHeader& TMIMEHeaderList::NewItem() {
    return static_cast<TMIMEHeader&>(TNameValuesList::NewItem());
}

TMIMEHeader& TMIMEHeaderList::Add(std::string_view name, std::string_view value) {
    return static_cast<TMIMEHeader&>(TNameValuesList::Add(name, value));
}

TMIMEHeader& TMIMEHeaderList::AddLine(std::string_view line) {
    return static_cast<TMIMEHeader&>(AddFromString(line));
}
