#include "agent/modes.h"

int main(int argc, char* argv[]) {
    return tolvad_main(argc, argv);
}
