// Process entry: no arguments, no configuration file.
#include "app/app_state.h"
#include "app/lifecycle.h"

// The program's one process-wide state, zero at process start.
static AppState app_state;

int main() { return run_application(app_state); }
