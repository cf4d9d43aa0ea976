#include "driver/command_line.h"

int main(int argc, char** argv) {
    return runQuorvexa(argc, argv);
}
