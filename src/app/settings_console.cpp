// Placeholder until the settings console lands.
#include "app/settings_console.h"

int32_t SettingsConsole(std::vector<std::string>&, Settings&, uint32_t&) { return 1; }
