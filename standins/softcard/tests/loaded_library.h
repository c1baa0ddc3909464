// Test support: the software card loaded as its callers load it (the shared
// library and its function list), over a private state file per test program.
#ifndef SOFTCARD_TESTS_LOADED_LIBRARY_H
#define SOFTCARD_TESTS_LOADED_LIBRARY_H

#include <cstdint>
#include <string>

#include "pkcs11.h"

namespace softcard_test {

// A state file name of its own for this process (so test programs can run in
// parallel), exported as VEL_SOFTCARD_STATE before the library is loaded.
std::string usePrivateState(const char *tag);
// Loads the library once and returns its function list (aborts the test program
// when the library cannot be loaded: nothing else can run).
CK_FUNCTION_LIST *functions();
// The vendor entry point, looked up in the loaded library.
CK_IC_ForceCloseChannel01 forceCloseChannel();
// A file of the software card's build folder (its control program, test cards,
// the expected results made at build time), wherever the caller was built.
std::string beside(const char *file);
// Runs the control program with these arguments; returns its exit code.
int control(const std::string &args);
// Runs this test program again as a second process with these arguments;
// its standard output goes to *out.
int runSelf(const char *argv0, const std::string &args, std::string *out);
// The calling thread's id as the library knows it.
uint32_t currentThread();
void removeFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);
std::string readFile(const std::string &path);

} // namespace softcard_test

#endif
