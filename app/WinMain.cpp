#include <windows.h>

#include "OPCS_App.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR arguments, int showCommand) {
    return RunApplication(instance, arguments, showCommand);
}
