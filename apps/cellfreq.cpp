// cellfreq: the frequent-cell report, configured from the command line.
#include "cellfreq/cli.h"

int main(int argc, char** argv) { return cellfreq::cli(argc, argv); }
