#include "agent/entry.h"

int main(int argc, char* argv[]) {
    return tolvad_main(argc, argv);
}
