// Internal (service) mode: on Windows the current user's registry value "intern" under
// "\Software\Kalvenor\Quor" holding 8147; elsewhere the per-user file $XDG_CONFIG_HOME/pellory/intern
// (default ~/.config/pellory/intern) holding the text 8147.
#pragma once

bool ReadInternalMode();
