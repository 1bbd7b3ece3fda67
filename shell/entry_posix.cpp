#include "shell/entry.h"
#include "shell/frontend.h"

int main() {
    constexpr int showWindow = 5;  // SW_SHOW: the console front end shows nothing anyway
    shell::endProcess(shell::programMain(nullptr, showWindow));
}
