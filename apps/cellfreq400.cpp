// cellfreq400: the frequent-cell report with its fixed configuration.
#include "driver/runconfig.h"

int main() { return cellfreq::runfixed(cellfreq::config400(), "cellfreq400"); }
