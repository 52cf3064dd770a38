#pragma once
// The comparison functions of the main window's lists. cmp(a, b) < 0 puts a before b under sort
// order +1; a list multiplies by its column's order. Text comparisons are alphabetical with A-Z
// folded. Each text comparison has a key function giving the same order: cmp(a, b) has the sign
// of comparing key(b) with key(a) byte by byte, so long lists sort on keys built once per row.
// Thread contract: the model's thread only (they read records).

#include <initializer_list>
#include <string>
#include <string_view>

class TTessivarDomainName;
class TTessivarEmail;
class TTessivarEmailAddress;
class TTessivarLogItem;

// Alphabetical comparison of two texts, each given as the concatenation of its parts, without
// building them; negative when a sorts before b.
int CompareTextParts(std::initializer_list<std::string_view> a, std::initializer_list<std::string_view> b);

// Mail lists: state, "From", "Subject", "Received".
int SortEmailsByState(const TTessivarEmail& a, const TTessivarEmail& b);
int SortEmailsByEmailAddress(const TTessivarEmail& a, const TTessivarEmail& b);
int SortEmailsBySubject(const TTessivarEmail& a, const TTessivarEmail& b);
int SortEmailsByReceived(const TTessivarEmail& a, const TTessivarEmail& b);
// Senders: state, "Email Address", "Name".
int SortEmailAddressByState(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b);
int SortEmailAddressByEmailAddress(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b);
int SortEmailAddressByDisplayName(const TTessivarEmailAddress& a, const TTessivarEmailAddress& b);
// Domain names: state, "Domain Name".
int SortDomainNameByState(const TTessivarDomainName& a, const TTessivarDomainName& b);
int SortDomainNameByDomainName(const TTessivarDomainName& a, const TTessivarDomainName& b);
// Activity log: state (the kind), "Occurred", "Details".
int SortLogItemsByKind(const TTessivarLogItem& a, const TTessivarLogItem& b);
int SortLogItemsByOccurred(const TTessivarLogItem& a, const TTessivarLogItem& b);
int SortLogItemsByDetails(const TTessivarLogItem& a, const TTessivarLogItem& b);

// Sort keys of the text comparisons (A-Z folded), written into `key`.
void EmailStateKey(const TTessivarEmail& email, std::string& key);
void EmailAddressKey(const TTessivarEmail& email, std::string& key);
void EmailSubjectKey(const TTessivarEmail& email, std::string& key);
void EmailAddressStateKey(const TTessivarEmailAddress& sender, std::string& key);
void EmailAddressAddressKey(const TTessivarEmailAddress& sender, std::string& key);
void EmailAddressDisplayNameKey(const TTessivarEmailAddress& sender, std::string& key);
void DomainNameKey(const TTessivarDomainName& domain, std::string& key);
void LogItemDetailsKey(const TTessivarLogItem& item, std::string& key);
