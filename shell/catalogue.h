// The catalogue of start-up failure messages, shown in an error box.
#pragma once

#include <string>

#include "shell/platform.h"

namespace shell {

enum CatalogueId : unsigned {
    messageWindowClass = 1,
    messageMainWindow = 2,
    messageNetwork = 3,
    messageSerial = 6,
    messageSettings = 7,
    messageThread = 8,
};

// Shows catalogue text `id` with its English gloss in a modal error box
// captioned `caption`. An id without text shows an empty box. The console
// adds `detail` (what failed and why); a box keeps to the catalogue's text.
int showCatalogueMessage(InstanceHandle instance, const char* caption, unsigned id, const std::string& detail);

}  // namespace shell
