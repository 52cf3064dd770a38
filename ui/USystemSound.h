#pragma once
// System sounds by their alias, played through the desktop's sound theme without waiting for the
// end. Known aliases: "SystemAsterisk" (the theme's "dialog-information"). Where no sound server
// or theme sound exists, nothing is played and nothing is reported to the user (the trace says why).
// Thread contract: the user-interface thread.

#include <string>

// The theme's sound name of an alias; empty for an alias that has none.
std::string SoundThemeName(const std::string& alias);
void PlaySystemSound(const std::string& alias);
