#include <string>

#include "shell/catalogue.h"
#include "shell/catalogue_texts.h"
#include "shell/frontend.h"

namespace shell {

namespace {

struct Entry {
    unsigned id;
    const char* text;
    const char* gloss;
};

const Entry catalogue[] = {
    {messageWindowClass, CATALOGUE_TEXT_1, CATALOGUE_GLOSS_1},
    {messageMainWindow, CATALOGUE_TEXT_2, CATALOGUE_GLOSS_2},
    {messageNetwork, CATALOGUE_TEXT_3, CATALOGUE_GLOSS_3},
    {messageSerial, CATALOGUE_TEXT_6, CATALOGUE_GLOSS_6},
    {messageSettings, CATALOGUE_TEXT_7, CATALOGUE_GLOSS_7},
    {messageThread, CATALOGUE_TEXT_8, CATALOGUE_GLOSS_8},
};

}  // namespace

int showCatalogueMessage(InstanceHandle, const char* caption, unsigned id, const std::string& detail) {
    std::string text;
    for (const Entry& entry : catalogue) {
        if (entry.id == id) {
            text = std::string(entry.text) + " (" + entry.gloss + ")";
            break;
        }
    }
    if (!detail.empty()) text += ": " + detail;
    showMessageBox(caption, text.c_str(), BoxIcon::error);
    return 1;  // IDOK: the console has nothing to press
}

}  // namespace shell
