// cellfreq100: the frequent-cell report with its fixed configuration.
#include "cellfreq/fixed.h"

int main() { return cellfreq::run_fixed(cellfreq::fixed_program::cellfreq100); }
