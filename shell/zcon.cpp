// Quorvex Command Shell: one process per user session.
#include "zcon.h"

int main(int argc, char** argv) {
    return zcon_main(argc, argv);
}
