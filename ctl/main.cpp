#include "ctl/ctl.h"

int main(int argc, char* argv[]) {
    return tolvactl_main(argc, argv);
}
