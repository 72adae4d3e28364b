#include "seedtiler.h"

int main(int argc, char** argv) {
    return runSeedtiler(argc, argv);
}
