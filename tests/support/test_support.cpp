// Shared test harness (see test_support.h).
