#include "shell/entry.h"
#include "shell/process_end.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    shell::endProcess(shell::programMain(instance, showCommand));
}
