// A module for the loader's tests that needs a function no program has: loading it must fail
// at once rather than at its first call.
extern "C" int TvnTestNoSuchFunction();
extern "C" int TvnTestEntry(int value) { return TvnTestNoSuchFunction() + value; }
