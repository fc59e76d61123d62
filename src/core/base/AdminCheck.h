#pragma once

// Who may use Quillmark: an administrator, which on Linux means the
// superuser or a member of one of the groups that distributions give
// administrative rights ("sudo" on Debian, "wheel" on Fedora, "admin" on
// older Ubuntu).

#include "platform/Platform.h"

// The rule itself, on an identity given by the caller so it can be tested
// without changing users.
bool IsAdminIdentity(const platform::UserIdentity &identity);

// The refusal shown to anyone else; the program ends after it.
QString NonAdminRefusalText();
