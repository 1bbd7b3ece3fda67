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
    {messageWindowClass, CATALOGUE_TEXT_1, "the window class could not be registered"},
    {messageMainWindow, CATALOGUE_TEXT_2, "the main window could not be created"},
    {messageNetwork, CATALOGUE_TEXT_3, "a network error occurred"},
    {messageSerial, CATALOGUE_TEXT_6, "an error occurred on the serial side"},
    {messageSettings, CATALOGUE_TEXT_7, "the settings file morvane.ini contains an error"},
    {messageThread, CATALOGUE_TEXT_8, "an error occurred while creating a thread"},
};

}  // namespace

int showCatalogueMessage(InstanceHandle, const char* caption, unsigned id) {
    std::string text;
    for (const Entry& entry : catalogue) {
        if (entry.id == id) {
            text = std::string(entry.text) + " (" + entry.gloss + ")";
            break;
        }
    }
    showMessageBox(caption, text.c_str(), BoxIcon::error);
    return 1;  // IDOK: the console has nothing to press
}

}  // namespace shell
