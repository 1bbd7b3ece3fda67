#include "shell/catalogue.h"

namespace shell {

// Through the wide functions: the ANSI ones would turn the Japanese into '?'
// outside a Japanese locale.
int showCatalogueMessage(InstanceHandle instance, const char* caption, unsigned id, const std::string&) {
    wchar_t text[512] = L"";
    wchar_t wideCaption[128] = L"";
    LoadStringW(instance, id, text, 512);
    MultiByteToWideChar(CP_ACP, 0, caption, -1, wideCaption, 128);
    return MessageBoxW(nullptr, text, wideCaption, MB_ICONERROR | MB_OK);
}

}  // namespace shell
