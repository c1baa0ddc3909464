// The program entry of every windowed program built on the class layer.
#include "classlib/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return cl::AfxWinMain(instance);
}
