#include <windows.h>

#include "app/main_window.h"

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int)
{
    return run_program(module);
}
