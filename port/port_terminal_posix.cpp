#include <sys/ioctl.h>
#include <unistd.h>

#include "port/port.h"

namespace port {

bool StandardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int StandardOutputColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return size.ws_col;
}

}  // namespace port
