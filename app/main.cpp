// korvane: the window for flashing packages into STM32F10x devices over a serial port.
#include "app/flasher_app.h"

int main(int argc, char** argv) {
    korvane::FlasherApp app(argc, argv);
    app.InitInstance();
    return 0;
}
