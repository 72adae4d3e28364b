#include "cohortmeans.h"

int main(int argc, char** argv) {
    return runCohortmeans(argc, argv);
}
