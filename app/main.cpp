// Process entry: no arguments, no configuration file.
#include "app/lifecycle.h"

int main() { return run_application(); }
