#include <windows.h>

#include "App.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int showCommand) {
    return RunApplication(instance, arguments, showCommand);
}
