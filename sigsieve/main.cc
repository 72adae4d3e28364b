#include "sigsieve.h"

int main(int argc, char** argv) {
    return runSigsieve(argc, argv);
}
