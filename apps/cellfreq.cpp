// cellfreq: the frequent-cell report, configured from the command line.
#include "driver/runconfig.h"

int main(int argc, char** argv) { return cellfreq::runcommand(argc, argv); }
