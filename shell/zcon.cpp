// Quorvex Command Shell: one process per user session.
#include "startup.h"

int main(int argc, char** argv) {
    return zcon_main(argc, argv);
}
