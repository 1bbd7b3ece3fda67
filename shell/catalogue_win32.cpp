#include "shell/catalogue.h"

namespace shell {

int showCatalogueMessage(InstanceHandle instance, const char* caption, unsigned id) {
    char text[256] = "";
    LoadStringA(instance, id, text, sizeof text);
    return MessageBoxA(nullptr, text, caption, MB_ICONERROR | MB_OK);
}

}  // namespace shell
