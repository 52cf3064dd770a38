#pragma once
// The text form of one registry root, as registry exports write it. Pure functions of text;
// callable from any thread.
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CURRENT_USER\Software\Tessivar]
//     @="default value"
//     "Name"="text with \\ and \""
//     "Count"=dword:0000002a
//     "Blob"=hex:01,02,ff
//
// Strings escape backslash and quote as \\ and \", and also line feed, carriage return and NUL as
// \n, \r and \0 so that every text survives a round trip; any other backslash stands for itself.
// The parser also accepts CR LF line ends, a UTF-8 or UTF-16LE byte order mark (UTF-16 files are
// read as UTF-8), "REGEDIT4" as header, ";" comments, hex data continued over lines ending in "\",
// "hex(N):" data of other value types (kept byte for byte), and the deletions [-key] and "name"=-.
//
// Damaged input is read as far as it is valid: every line that cannot be understood is skipped
// and reported, everything valid is kept. A section header that names another root, an invalid
// key name or a key deeper than the registry allows is reported, and the values below it, up to
// the next section header, are skipped. A value line before any section header is skipped. Keys
// beyond 64 MiB of full key paths are skipped likewise, which bounds what a file can expand to.

#include <memory>
#include <string>
#include <string_view>

#include "base/LStrings.h"

class TRegistryNode;

struct TRegistryParseResult {
    std::unique_ptr<TRegistryNode> Root;
    // One entry per skipped line or section, "line N: reason"; empty when the text was sound.
    TStringArray Problems;
};

// rootName: "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE", matched with A-Z folded.
TRegistryParseResult ParseRegistryText(std::string_view text, std::string_view rootName);

// Header, blank line, then one section per key in depth-first order (subkeys sorted), each
// followed by a blank line. The root gets a section only when it holds values; every other key
// gets one, with or without values, so that empty keys survive. Lines end with LF.
std::string FormatRegistryText(const TRegistryNode& root, std::string_view rootName);
