// A module for the loader's tests: one entry that can be called.
extern "C" int TvnTestEntry(int value) { return value + 1; }
