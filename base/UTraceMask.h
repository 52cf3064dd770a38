#pragma once
// Secrets kept out of the trace: the texts of the password elements of a service message (the
// account's password, a new one, the unlock password of the account settings) and the values of
// password columns are replaced in the copy that is traced; what is sent or stored is not changed.
// Thread contract: pure functions, any thread.

#include <string>
#include <string_view>

// What a secret is traced as.
extern const char* const MaskedSecret;

// True for the names of elements and columns that hold a password: those ending in "Password",
// without regard to letter case.
bool IsSecretName(std::string_view name);

// The XML text (wire or indented trace form) with the text of every element whose name is a
// secret name replaced by MaskedSecret; empty elements stay empty. Text that is not well formed
// is masked as far as its tags can be read.
std::string MaskSecretElements(std::string_view xml);
