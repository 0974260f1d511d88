// Writing the settings back. The file belongs to the user: the window
// changes the entries whose meaning changed, in the lines where they
// stand, and leaves comments, order, blank lines and everything else as
// the user wrote it.
#pragma once

#include <string>
#include <string_view>

#include "app/settings.h"

namespace tl::app {

// `text` (a settings file's content, possibly empty) with `want` written
// into it. An entry whose value means what `want` says stays untouched; a
// changed one is rewritten where it stands; a missing one goes at the end
// of its section, a missing section at the end of the file. Raises
// SettingsError when `text` itself holds a mistake: what the user meant
// there cannot be kept.
std::string updateSettingsText(std::string_view text, const Settings& want, const std::string& path);

// Reads the file at `path` (none there: empty), updates it as above and
// writes it back whole. "" on success, else a German sentence saying why
// not; the file is then as it was.
std::string saveSettings(const std::string& path, const Settings& want);

// Replaces the file at `path` with `text` all at once: written beside it,
// then renamed over it, so that a reader sees the old file or the new one
// and a failure leaves the old one whole. A link is followed and stays a
// link. "" on success, else a German sentence saying why not. One per
// platform.
std::string writeWhole(const std::string& path, const std::string& text);

}  // namespace tl::app
