// System errors as the user reads them: a German phrase, and for whoever
// helps them the failed call and errno's name. Never the C library's
// strerror, which is English under LANG=C and repeats the phrase otherwise.
#pragma once
#include <string>

namespace tl::core_linux {
// A German phrase for an errno value, as a user can act on it.
std::string osReason(int errnum);
// "open: EACCES" (or "open: Fehler 200" for a value without a name): the
// bracketed detail after a reason.
std::string osCall(const char* call, int errnum);
}  // namespace tl::core_linux
