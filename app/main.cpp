#include "app/main_dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return static_cast<int>(runMainDialog(instance));
}
